// run parameters, setup reader, start-up, 48-bit generator, initial conditions
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "state.h"

inline constexpr double twopi = 6.283185307179586;          // 2*pi, the one used everywhere
inline constexpr double pi = 3.141592653589793;             // exactly half of twopi
inline constexpr double deg2rad = 0.017453292519943295;     // pi/180
inline constexpr int max_patterns = 10;                     // capacity of the per-pattern arrays
inline constexpr int setup_line_bytes = 180;  // a setup line is read into 180 bytes: 179 characters at most

inline double sq(double v) { return v * v; }  // explicit product: same bits in every build type

// The run parameters: filled once by readsetup, then read-only. A star whose
// pattern phases are redrawn (randp0 == 1) carries its own copy.
struct params {
    double gamma_ = 0;    // logarithmic slope of the rotation curve, v_c ~ r^gamma_
    double NU = 0;        // kept, read by nothing
    double mixtime = 0;   // scale of the spread ensemble's offsets
    double dt_int = 0;    // output interval, model time units (file: orbits)
    int nsteps = 0;       // number of output intervals
    int nstars = 0;       // stars (or ensemble members) of a run
    double disp_u0 = 0;   // dispersion of the initial radial velocity
    double r_min = 0;     // inner radius of the initial positions
    double r_max = 0;     // outer radius of the initial positions
    std::int64_t lseed = 0;  // seed; negative: from the clock
    int randp0 = 0;       // 1: redraw the phases of patterns 1.. for every star
    double l_min = 0;     // window on the change of angular momentum, lower bound
    double l_max = 0;     // upper bound
    int npatterns = 0;    // 0 .. max_patterns

    // per pattern k (see galaxy.h for the meaning of each)
    double mm[max_patterns] = {};         // number of arms
    double epsilon[max_patterns] = {};    // amplitude, speed^2
    double phi0[max_patterns] = {};       // phase at t = 0, radians (file: degrees)
    double alpha[max_patterns] = {};      // coefficient of ln r in the phase
    double Omegas[max_patterns] = {};     // pattern speed, radians per time unit
    double growtime[max_patterns] = {};   // duration of the linear growth (file: orbits)
    double starttime[max_patterns] = {};  // start of the growth (file: orbits)
    double smin[max_patterns] = {};       // inner edge of the flat annulus
    double smax[max_patterns] = {};       // outer edge of the flat annulus
    double wmin[max_patterns] = {};       // Gaussian taper width inside smin
    double wmax[max_patterns] = {};       // Gaussian taper width outside smax

    // model variables set by do_one
    int n_particles = 0;
    int number_equations = 0;  // 6 * n_particles, at most state_values
};

// The 48-bit linear congruential generator, bit for bit POSIX drand48/srand48.
struct rand48 {
    std::uint64_t x = 0;  // the C library's state before any seeding
};
inline constexpr std::uint64_t rand48_mask = (1ull << 48) - 1;
inline void seed48(rand48& g, std::int64_t seed) {
    // srand48 keeps the low 32 bits of its argument above the fixed low word 0x330E
    g.x = ((std::uint64_t(seed) & 0xFFFFFFFFull) << 16) | 0x330Eull;
}
inline double next(rand48& g) {
    g.x = (0x5DEECE66Dull * g.x + 0xB) & rand48_mask;
    return double(g.x) * 0x1p-48;  // exact map of the state onto [0, 1)
}

// ---- the setup fields: one table, in file order, that the reader, --help, --check,
// the Python module and the plotting tool all iterate

enum class field_type { real, integer, seed };  // seed: the 64-bit lseed
// What the reader multiplies a value by to turn the file's unit into model units.
enum class file_unit { none, orbits, degrees };

struct setup_field {
    const char* name;     // as in params and in setup files
    const char* unit;     // unit of the value in the file ("" for a pure number)
    const char* meaning;  // one line for --help
    field_type type;
    file_unit conversion;
    double params::*real;                      // a scalar double, or null
    int params::*integer;                      // a scalar int, or null (lseed: both null)
    double (params::*pattern)[max_patterns];  // a per-pattern array, or null
};
inline constexpr int scalar_count = 14;    // scalar lines before the pattern blocks
inline constexpr int pattern_fields = 11;  // lines of one pattern block
extern const setup_field scalar_fields[scalar_count];
extern const setup_field block_fields[pattern_fields];
const setup_field* find_field(const char* name);  // null for a name that is no field

// A field's value in p as a double (pattern fields: pattern k), and its setting.
double field_value(const params& p, const setup_field& f, int k = 0);
void set_field(params& p, const setup_field& f, double v, int k = 0);
inline double model_unit(file_unit u) { return u == file_unit::orbits ? twopi : u == file_unit::degrees ? deg2rad : 1.0; }

// ---- what the reader says

// A warning lets the reading go on; an error refuses the setup. The text follows
// "PATH:LINE: warning: " or "PATH:LINE: " (line 0: "PATH: ", about the whole file);
// the programs print "PROGRAM: " before it.
struct setup_note {
    enum kind_t { warning, error } kind;
    int line;
    std::string text;
};
std::string note_message(const std::string& path, const setup_note& n);  // without the program
// Text that came from input (a path, a setup line) as it may reach a terminal:
// control bytes shown as \xHH, so that no escape sequence in a file's name or line
// acts on the terminal. Every message of the reader passes through it.
std::string printable(const std::string& text);
void print_notes(std::FILE* diag, const char* program, const std::string& path,
                 const std::vector<setup_note>& notes);

// The checks of one field's value once it is known, in the order of the file; the
// reader runs them right after the field's line, the Python module for every field it
// is given. Pattern fields: of pattern k. Appends {kind, text without a location}
// notes; an error means the value is refused.
void check_field(const params& p, const setup_field& f, int k, std::vector<setup_note>& notes);

// A pattern's own checks once its block is whole (the reader and check_field run them
// after its last line): an envelope that is 0 at every radius r > 0 is refused.
void check_pattern(const params& p, int k, std::vector<setup_note>& notes);
bool envelope_vanishes(const params& p, int k);  // amp(p, k, r) == 0 for every r > 0
// The range of an integer field (int, or 64 bits for lseed), and the reader's words for
// a value beyond it: "NAME: DIGITS is outside the integers from MIN to MAX".
void integer_limits(const setup_field& f, long long& lo, long long& hi);
std::string integer_range_text(const setup_field& f, const std::string& digits);

// One value as the setup reader took it: which parameter, from which line.
struct setup_value {
    const char* name;   // the parameter's name, as in params
    int line;           // line of the file on which its setup line starts
    std::string text;   // that setup line, without its line end
    bool converted;     // false: the line's start did not convert and the value was kept
    double value;       // the value in the file's units, before any conversion
};

// All the reader learnt of a setup file.
struct setup_read {
    bool ok = false;                  // false: refused (an error note says why)
    std::vector<setup_note> notes;    // in the order of the file
    std::vector<setup_value> values;  // every value read, in file order
    int unread_first = 0;             // lines after the last value that hold text (0: none)
    int unread_last = 0;
};

// Reads the setup lines from f into p, in the file's units (times in orbits, phases in
// degrees): a line at a time into setup_line_bytes bytes, a value at the start of each,
// anything after it a comment. `checker` names the program whose --check the advice of a
// warning points to.
setup_read read_setup(std::FILE* f, const std::string& path, params& p, const char* checker,
                      bool scan_rest = false);
// The setup reader of the programs: read_setup, its notes on `diag` as
// "PROGRAM: PATH:LINE: ..." lines, to_model_units, seed_run (a seed taken for a
// negative lseed is said on `diag`), and on success "file read in, npatterns=%d \n" on `out`.
// `values`, when given, receives every value read and its line.
bool readsetup(std::FILE* f, const std::string& path, params& p, rand48& g,
               std::FILE* out, std::FILE* diag, const char* program,
               std::vector<setup_value>* values = nullptr);
// Orbits to model time units (x 2 pi), degrees to radians: dt_int, phi0, growtime, starttime.
void to_model_units(params& p);
// Seeds g from lseed and returns the seed taken. A negative lseed takes a seed from
// the system's random source (two runs started in the same second differ), from
// 0 to 2^32 - 1: as lseed it repeats the run.
std::int64_t seed_run(const params& p, rand48& g);

// How a program turns the setup into its run length.
enum class run_length { surveys, spread };
// The time the run integrates to, model units: nsteps output intervals for the
// surveys, one more for the spread ensemble.
double run_end(const params& p, run_length kind);

double norm(rand48& g);                           // standard normal deviate, polar method
void do_one(orbit_state& s, params& p, rand48& g);  // initial state of one star
