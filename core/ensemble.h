// survey stars and the spread ensemble: what the programs and the Python module draw and follow
#pragma once

#include <atomic>
#include <vector>

#include "fastmode.h"
#include "integrator.h"
#include "params.h"
#include "state.h"

// ---- surveys: independent stars, each followed to the end of the run

inline constexpr double twin_offset = 1e-9;  // the twin starts this much further out in x

// A survey star as drawn: the initial state of each body (the star, its twin), the
// model with the pattern phases drawn for it, and where each body's integration ended.
struct survey_star {
    orbit_state init[2];
    params model;
    orbit_state end[2];
    bool ok[2];
};

// Draws the next star of a survey: every random number of one star, in the order
// the surveys draw them. p receives the phases drawn (randp0 == 1), as do_one leaves it.
void draw_star(params& p, rand48& g, survey_star& s);
// Integrates body b (0 the star, 1 the twin) from its initial state to tmax.
void follow_star(survey_star& s, int b, double tmax, const std::atomic<bool>* stop = nullptr,
                 const integrator& how = {});
// Follows bodies of survey stars to tmax in the fast mode's lanes: task i is body
// i % bodies of stars[i / bodies], followed by runs[i]; tasks are taken from take()
// until it returns a negative number, and done(i) is called once s.end and s.ok of
// task i are in place. The same bits as follow_star with how.
template <class Take, class Done>
void follow_stars_fast(survey_star* stars, int bodies, const double& tmax, const integrator& how,
                       const std::atomic<bool>* stop, follower* runs, Take&& take, Done&& done) {
    auto setup = [&](long i, lane_task& t) {
        survey_star& s = stars[i / bodies];
        const int b = int(i % bodies);
        s.end[b] = s.init[b];
        runs[i] = follower{};
        runs[i].how = how;
        t.p = &s.model;
        t.run = &runs[i];
        t.s = &s.end[b];
        t.times = &tmax;
        t.ntimes = 1;
        t.stop = stop;
    };
    auto reached = [&](long i, const lane_task&, long, bool ok) {
        stars[i / bodies].ok[i % bodies] = ok;
        done(i);
    };
    follow_taken(take, setup, reached);
}
// The final angular momentum of body b; NaN, with NaN values in end[b], when its
// integration failed.
double final_l(survey_star& s, int b);

// ---- the spread ensemble: a reference star and its displaced neighbours

inline constexpr int ensemble_capacity = 210;
inline constexpr double velocity_offset = 0.005;  // velocity offsets per unit mixtime, speed units
inline constexpr int offset_tries = 1000;

// A random offset uniform inside the unit circle, by rejection; (0, 0) if every try fails.
void givedxdy(rand48& g, double* dx, double* dy);

// Members 0 .. n-1 (n <= ensemble_capacity): member 0 is the reference star
// drawn by do_one, every other one is displaced from it by mixtime in position
// and by velocity_offset mixtime in velocity.
void draw_ensemble(params& p, rand48& g, int n, orbit_state* member);

// The output times of the ensemble: dt_int, 2 dt_int, ... up to tmax, each the
// previous one plus dt_int (a running sum, not k * dt_int). Empty when dt_int
// could never pass tmax (see spread_interval_ok).
std::vector<double> spread_times(const params& p, double tmax);
// False when the output times t = dt_int, 2 dt_int, ... would never pass tmax.
bool spread_interval_ok(const params& p, double tmax);

// Advances every living member to t, in parallel. A member whose integration fails
// gets failed[i] set, alive[i] cleared and NaN phase-space values (its time stays
// where it stopped). Each member is followed by runs[i] across the output times;
// without runs, by the extrapolation integrator.
void advance_ensemble(const params& p, int n, orbit_state* member, bool* alive, bool* failed,
                      double t, const std::atomic<bool>* stop = nullptr, follower* runs = nullptr);

// The spread of the ensemble at one output time: the largest distance of a member
// from member 0, the standard deviation of the angular momenta and the largest
// change of a member's angular momentum relative to member 0's. A failed member
// makes rmax and lmax NaN.
struct spread_figures {
    double rmax, lsig, lmax;
};
spread_figures measure_spread(const orbit_state* member, int n);
