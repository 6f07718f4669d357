// the integrator a run chooses, one call that advances a state with it, and the one
// loop of an orbit through a list of output times
#pragma once

#include <atomic>
#include <vector>

#include "dop853.h"
#include "params.h"
#include "state.h"

// Three roles meet here: the integrators (integrator.h, the extrapolation step whose
// printed digits are defined; fastmode.h, the lane engine of the eighth-order method),
// the right-hand side (galaxy.h: eqn_xy for the first; lanes_kernel.h's galaxy for the
// second), and what is done with the states at the output times (the observer the
// caller hands to follow_times).

// The integrator a program runs: the extrapolation step (the default, whose output is
// defined to the last bit), or the eighth-order method at a relative and absolute tolerance.
enum class method { bs, dop853 };
struct integrator {
    method kind = method::bs;
    double tol = dop853_default_tol;
};

inline constexpr int fast_bodies = 3;  // bodies of a model the eighth-order method follows

// One orbit followed through a sequence of output times. The eighth-order method
// carries its integration from one output time to the next (the output state is
// interpolated, the integration goes on from the last step), so it keeps a run: one
// per body, each body an orbit of its own in the fixed potential.
struct follower {
    integrator how;
    dop853_run run;                       // the first body's (a star's only one)
    dop853_run more[fast_bodies - 1];     // the further bodies' of a model of several
    bool running = false;
    long evaluations = 0;  // right-hand-side evaluations of the extrapolation step
};

// Advances s to target with f's integrator: taketstep for the extrapolation step;
// for the eighth-order method s.t becomes target exactly and x, y, vx, vy of every
// body come from its run (z and vz are held as the equations of motion hold them).
// False when the integration failed or was stopped; s then holds the last state
// reached (of several bodies: the time and values where the first failing body's
// integration ended, the bodies before it at target).
bool advance(const params& p, follower& f, orbit_state& s, double target,
             const std::atomic<bool>* stop = nullptr);

// Lands s exactly on target with extrapolation steps aimed at it, from a state that
// taketstep left within taketstep_tolerance of it. For output at the exact time asked
// for, on a copy: the path the programs follow goes on from the state taketstep
// reached. False when a step fails.
bool land(const params& p, orbit_state& s, double target);

// Output times: a list, or a running sum from `start` (t_k = t_{k-1} + step, which is
// not start + k step), so that a run of 2e9 output times needs no list of them.
struct output_times {
    const double* list = nullptr;  // the times themselves, or null for the running sum
    long count = 0;
    double step = 0;
    double start = 0;
    static output_times of(const double* t, long n) { return {t, n, 0, 0}; }
    static output_times every(double step, long n, double start = 0) { return {nullptr, n, step, start}; }
};

// The times themselves, as follow_times takes them.
std::vector<double> listed(const output_times& times);

// Follows s through the output times with how: advances to each in turn and hands the
// state to observe(k, s), which returns false to end the run there. Returns the number
// of output times reached and observed; fewer than times.count after a failure (s
// then holds the last state reached) or when the observer ended the run.
template <class Observer>
long follow_times(const params& p, follower& f, orbit_state& s, const output_times& times, Observer&& observe,
                  const std::atomic<bool>* stop = nullptr) {
    double t = times.start;
    for (long k = 0; k < times.count; ++k) {
        t = times.list ? times.list[k] : t + times.step;
        if (!advance(p, f, s, t, stop)) return k;
        if (!observe(k, s)) return k + 1;
    }
    return times.count;
}
// The same with a fresh follower of method how.
template <class Observer>
long follow_times(const params& p, const integrator& how, orbit_state& s, const output_times& times,
                  Observer&& observe, const std::atomic<bool>* stop = nullptr) {
    follower f;
    f.how = how;
    return follow_times(p, f, s, times, observe, stop);
}
