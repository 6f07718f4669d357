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

// One value as the setup reader took it: which parameter, from which line.
struct setup_value {
    const char* name;   // the parameter's name, as in params
    int line;           // line of the file on which its setup line starts
    std::string text;   // that setup line, without its line end
    bool converted;     // false: the line's start did not convert and the value was kept
    double value;       // the value in the file's units, before any conversion
};

// Setup reader. Reads the setup lines from f into p and seeds g. Problems are
// reported through `diag` as "path:line: message" lines; warnings (a line whose
// start does not convert, an over-long line) let the reading go on, errors
// (the file ends early, npatterns beyond the arrays) make it return false.
// On success writes "file read in, npatterns=%d \n" to `out`. When `trace` is
// given, every value read is appended to it in file order.
bool readsetup(std::FILE* f, const std::string& path, params& p, rand48& g,
               std::FILE* out, std::FILE* diag, const char* program,
               std::vector<setup_value>* trace = nullptr);
// The reading alone: the values as the file gives them (times in orbits, phases in
// degrees), reported as readsetup reports them. readsetup is this, to_model_units
// and seed_run.
bool read_setup_values(std::FILE* f, const std::string& path, params& p, std::FILE* diag,
                       const char* program, std::vector<setup_value>* trace = nullptr);
// Orbits to model time units (x 2 pi), degrees to radians: dt_int, phi0, growtime, starttime.
void to_model_units(params& p);
// Seeds g from lseed; a negative lseed seeds from the clock.
void seed_run(const params& p, rand48& g);

// How a program turns the setup into its run length.
enum class run_length { surveys, spread };
// The time the run integrates to, model units: nsteps output intervals for the
// surveys, one more for the spread ensemble.
double run_end(const params& p, run_length kind);

double norm(rand48& g);                           // standard normal deviate, polar method
void do_one(orbit_state& s, params& p, rand48& g);  // initial state of one star
