// angle and statistics helpers, record lines, orbit files
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

#include "follow.h"
#include "params.h"
#include "state.h"

double residual(double x);                   // angle reduced to one turn, [0, 2pi]
double get_mean(const double* a, int n);     // arithmetic mean; NaN for n = 0
double get_sig(const double* a, int n);      // population standard deviation; NaN for n = 0
double findmin(const double* a, int n);      // n >= 1; a NaN never replaces the running value
double findmax(const double* a, int n);
// Position and inertial velocity turned into a frame rotating at omega since t = 0.
void coordrot(const orbit_state& s, double* xr, double* yr, double* vxr, double* vyr, double omega);

double get_ll(orbit_state s);  // angular momentum r * v_phi, bit for bit the record line's L

// The orbit quantities of one record line, in the order they are evaluated: radius,
// azimuth [0, 2pi], radial velocity (positive inwards), v_phi - v_c, angular momentum,
// radial action, epicycle amplitude over v_c, epicycle phase, kinetic energy, Phi0,
// then per pattern its full-amplitude potential and its phase angle [0, 2pi].
struct record_line {
    double r, phi, u, dv, L, J, e, theta1, KE, p0;
    double pk[max_patterns], fk[max_patterns];
};
record_line measure(const params& p, const orbit_state& s);

// Header lines of the two kinds of record file.
inline constexpr const char* indexed_header1 =
    "#i,to,x ,y ,vx,vy,r ,phi,u ,v ,L ,J ,e ,theta1,KE,p0,p1,f1,p2,f2 ..\n";
inline constexpr const char* indexed_header2 =
    "#1,2 ,3 ,4 ,5 ,6 ,7 ,8  ,9 ,10,11,12,13,14    ,15,16,17,18,19,20\n";
inline constexpr const char* orbit_header1 =
    "#t,x,y,vx,vy,r,phi,u,v,L ,J ,e ,theta1,KE,p0,p1,f1,p2,f2 ..\n";
inline constexpr const char* orbit_header2 =
    "#1,2,3,4 ,5 ,6,7  ,8,9,10,11,12,13    ,14,15,16,17,18,19\n";

// NaN as the C library prints it carries its sign ("-nan" for 0/0 on x86); every
// printed NaN reads "nan". Every other value passes unchanged.
inline double shown(double v) { return v != v ? std::fabs(v) : v; }

// Orbit record lines: indexed (member index, time in orbits, 4 digits) and
// plain (time in model units, 3 digits). Every value is followed by one space.
void print_stuff(std::FILE* f, const params& p, int index, orbit_state s);
void print_stuff(std::FILE* f, const params& p, orbit_state s);

// The orbit file of a saved star: its initial state integrated again output time
// by output time, one plain record line per output time.
struct saved_orbit {
    enum status_t { ok, cannot_create, cannot_write, integration_failed } status = ok;
    int error = 0;      // errno of a failed creation or write
    double L1 = 0;      // angular momentum at the last output time
    double dl = 0;      // change of angular momentum, L1 - L0
    double t_fail = 0;  // time reached when the integration failed
};
// 0 while f has met no write error; else its reason (errno, EIO when none is known).
// Call it right after the write, before anything else can change errno.
int write_error(std::FILE* f);

// The output times of an orbit file after its first line, at t = 0: a running sum of
// dt_int, nsteps times.
output_times orbit_file_times(const params& p);

// The file is written under a temporary name (temporary_name(path, ...)) and renamed
// to path once it is whole, so that path never holds a cut orbit; a failed file
// leaves nothing behind.
saved_orbit save_one(const params& p, const std::string& path, orbit_state s, const integrator& how = {});
inline constexpr const char* orbit_part_suffix = ".part";

// A temporary name beside `stem`: stem + "." + six letters or digits drawn from `draw`
// (a 64-bit state, advanced) + suffix. In the same folder as stem, so that renaming it
// to stem stays on one file system.
std::string temporary_name(const std::string& stem, const char* suffix, std::uint64_t& draw);
// Creates a new file for writing under a temporary name that no file had, with
// exclusive creation, so that neither the leftover of an interrupted run nor a link
// planted under a name known in advance is ever opened; mode 0666 less the umask, as
// fopen creates. Returns the descriptor and sets `name`, or -1 with errno set.
int create_temporary(const std::string& stem, const char* suffix, std::string& name, std::uint64_t& draw);
// Closes the creation of temporaries for the rest of the process, for a stop that is
// about to remove them: returns once every temporary that another thread was creating
// is in its folder (or after a few seconds), and a thread that comes to create one
// afterwards sleeps until the process ends. Async-signal-safe; the calling thread must
// not be inside create_temporary, which it cannot be when called from the handler of
// a signal, since create_temporary blocks signals while it names a file.
void close_temporaries();
// A state for temporary_name that no other process can foresee.
std::uint64_t unforeseeable_draw();
// The summary line of a written orbit file: "%s dl = %.3f\n".
void print_summary(std::FILE* out, const std::string& path, double dl);
// "<setup>_<count><suffix>": the name of a survey's orbit file.
std::string orbit_name(const std::string& setup, long count, const char* suffix);
