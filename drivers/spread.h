// the spread experiment as numbers: a reference star and its displaced neighbours,
// advanced together through the output times, and how far they spread
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "follow.h"
#include "params.h"
#include "state.h"

inline constexpr int ensemble_capacity = 210;
inline constexpr double velocity_offset = 0.005;  // velocity offsets per unit mixtime, speed units
inline constexpr int offset_tries = 1000;

// A random offset uniform inside the unit circle, by rejection; (0, 0) if every try fails.
void givedxdy(rand48& g, double* dx, double* dy);

// Members 0 .. n-1 (n <= ensemble_capacity): member 0 is the reference star
// drawn by do_one, every other one is displaced from it by mixtime in position
// and by velocity_offset mixtime in velocity.
void draw_ensemble(params& p, rand48& g, int n, orbit_state* member);

// The one rule for the output interval: the output times dt_int, 2 dt_int, ... must
// pass tmax, so dt_int (model units) must be positive and finite. Empty when it is;
// else why not: "dt_int must be a positive, finite number of orbits, got -0.25".
std::string spread_interval_problem(const params& p);

// The output times of the ensemble, dt_int, 2 dt_int, ... up to tmax, each the
// previous one plus dt_int (a running sum, not k * dt_int), handed to at(t) one at a
// time until it returns false: a run of 2e9 output times needs no list of them.
// None when dt_int breaks the rule above.
template <class At>
void for_spread_times(const params& p, double tmax, At&& at) {
    if (!spread_interval_problem(p).empty()) return;
    for (double t = p.dt_int; t <= tmax; t = t + p.dt_int)
        if (!at(t)) return;
}
std::vector<double> spread_times(const params& p, double tmax);

// The spread of the ensemble at one output time: the largest distance of a member
// from member 0, the standard deviation of the angular momenta and the largest
// change of a member's angular momentum relative to member 0's. A failed member
// makes rmax and lmax NaN.
struct spread_figures {
    double rmax, lsig, lmax;
};
spread_figures measure_spread(const orbit_state* member, int n);

// The ensemble of a run: its members, which are still followed, and each member's
// integration, carried across the output times.
struct ensemble {
    params p;
    integrator how;
    int n = 0;
    orbit_state member[ensemble_capacity];
    bool alive[ensemble_capacity] = {};
    follower runs[ensemble_capacity];
};
// Draws the p.nstars members (none for nstars <= 0) with p and g, to be followed with how.
void start_ensemble(ensemble& e, params& p, rand48& g, const integrator& how);
// Advances every living member to t on `threads` threads (0: the default). A member
// whose integration fails gets failed[i] set, alive[i] cleared and NaN phase-space
// values (its time stays where it stopped). Returns the spread at t.
spread_figures advance_ensemble(ensemble& e, double t, bool* failed, const std::atomic<bool>* stop = nullptr,
                                int threads = 0);
