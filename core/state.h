// orbit_state record, cpstate, snapshot files
#pragma once

#include <cstdio>

inline constexpr int state_values = 20;  // phase-space values per record: 3 particles and 2 spare

// The time followed by the phase-space values; particle p holds w[6p..6p+5] =
// x, y, z, vx, vy, vz. The same record carries derivatives (its t then unused).
struct orbit_state {
    double t = 0;
    double w[state_values] = {};
};
static_assert(sizeof(orbit_state) == 168, "orbit_state must be 21 packed doubles");
static_assert(alignof(orbit_state) == alignof(double), "orbit_state must hold doubles only");

// x, y, vx, vy of each of `bodies` bodies of s, four values a body, and back: the
// values that move in the disc plane (z and vz of dst are kept).
void pack_xy(const orbit_state& s, int bodies, double* y);
void unpack_xy(const double* y, int bodies, orbit_state& dst);
// One body at time t from its x, y, vx, vy; z and vz +0.
orbit_state state_xy(const double* xyv, double t);

// Copies t and the six values of the first particle; w[6..19] of dst are kept.
void cpstate(orbit_state& dst, const orbit_state& src);

// Snapshot files: record k occupies bytes 168k .. 168k+167, native byte order.
// A negative index lies outside the format: nothing is written, the result is 0.
int write_system_state(std::FILE* file, int index, orbit_state state);
// Returns 1 on a whole record read; otherwise prints "# read failed." on
// standard output and returns 0. A negative index returns 0 and reads nothing.
int read_system_state(std::FILE* file, int index, orbit_state& state);
