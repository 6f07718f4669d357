// the survey experiment as numbers: stars drawn in order, each body followed to the end
// of the run, one table row per star, and which stars' orbits are kept
#pragma once

#include <algorithm>
#include <atomic>
#include <vector>

#include "follow.h"
#include "orbits.h"
#include "params.h"
#include "state.h"

inline constexpr double twin_offset = 1e-9;  // the twin starts this much further out in x
// Stars are drawn, followed and tabled in batches of this many, so memory does not
// grow with nstars; large enough that threads rarely wait for each other.
inline constexpr int survey_batch = 256;

// A survey star as drawn: the initial state of each body (the star, its twin), the
// model with the pattern phases drawn for it, and where each body's integration ended.
struct survey_star {
    orbit_state init[2];
    params model;
    orbit_state end[2];
    bool ok[2];
};

// The two surveys: the star alone (rows L0 dL x y), or the star and its twin 1e-9
// further out in x (rows L0 L1 L2: initial, final, the twin's final).
struct survey_kind {
    int bodies;
    int columns;
    const char* names[4];
};
inline constexpr survey_kind migrate_kind = {1, 4, {"L0", "dL", "x", "y"}};
inline constexpr survey_kind twin_kind = {2, 3, {"L0", "L1", "L2", nullptr}};

// Draws the next star of a survey: every random number of one star, in the order
// the surveys draw them. p receives the phases drawn (randp0 == 1), as do_one leaves it.
void draw_star(params& p, rand48& g, survey_star& s);
// Integrates body b (0 the star, 1 the twin) from its initial state to tmax.
void follow_star(survey_star& s, int b, double tmax, const std::atomic<bool>* stop = nullptr,
                 const integrator& how = {});
// The final angular momentum of body b; NaN, with NaN values in end[b], when its
// integration failed.
double final_l(survey_star& s, int b);
// A followed star's table row (kind.columns values; NaN values for a failed body).
// True when its orbit is kept: its own change dL lies strictly between l_min and
// l_max (the star alone decides, never the twin).
bool star_row(const params& p, const survey_kind& kind, survey_star& s, double* row);

// Follows bodies of the batch's stars taken from take() (task i: body i % bodies of
// batch[i / bodies]) to tmax with how, on the calling thread, each with runs[i];
// kept(i) once end and ok of task i are in place. The same bits as follow_star.
template <class Take, class Kept>
void follow_bodies(survey_star* batch, int bodies, const double& tmax, const integrator& how,
                   const std::atomic<bool>* stop, follower* runs, Take&& take, Kept&& kept) {
    const auto setup = [&](long i, lane_task& t) {
        survey_star& s = batch[i / bodies];
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
    follow_orbits(how, take, setup, [&](long i, const lane_task&, long, bool ok) {
        batch[i / bodies].ok[i % bodies] = ok;
        kept(i);
    });
}

// The survey of p.nstars stars, in batches. Every star is drawn in order on the
// caller's thread (every random number); then share(tasks, body) must run body(take)
// on every thread that takes part (on all threads, or on every rank of a job), take()
// handing out the batch's bodies 0 .. tasks-1 once each and -1 after; kept(batch, i)
// is told on the worker's thread when body i is followed; then done(first, n, batch)
// takes the n stars from star number `first` on and returns false to end the survey.
// Returns false when done ended it.
template <class Share, class Kept, class Done>
bool run_survey_batches(params& p, rand48& g, const survey_kind& kind, double tmax, const integrator& how,
                        const std::atomic<bool>* stop, Share&& share, Kept&& kept, Done&& done) {
    std::vector<survey_star> batch(survey_batch);
    std::vector<follower> runs(std::size_t(kind.bodies) * survey_batch);
    const int bodies = kind.bodies;
    for (long first = 0; first < p.nstars; first += survey_batch) {
        const int n = int(std::min<long>(survey_batch, p.nstars - first));
        for (int i = 0; i < n; ++i) draw_star(p, g, batch[i]);
        share(long(bodies) * n, [&](auto&& take) {
            follow_bodies(batch.data(), bodies, tmax, how, stop, runs.data(), take,
                          [&](long i) { kept(batch.data(), i); });
        });
        if (!done(first, n, batch.data())) return false;
    }
    return true;
}
