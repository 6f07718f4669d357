// many independent orbits, each through its output times, with either integrator: the
// one loop under the surveys, the ensemble, the module's integrate and the benchmarks
#pragma once

#include "fastmode.h"
#include "follow.h"

// Follows the orbits taken one by one from take() (a number, or -1 when none is left)
// on the calling thread: setup(i, task) fills orbit i's model, follower (whose `how`
// chooses the method), state and output times; reached(i, task, k, ok) is told each
// output time in turn, with *task.s at time k (ok) or where the integration ended (not
// ok: the orbit's last call). The eighth-order method's orbits share the lanes of the
// vector unit (up to eight at once, each with its own steps), the extrapolation step's
// run one after the other; either way an orbit's bits are those of successive advance
// calls. Every orbit taken must use the method `how`.
template <class Take, class Setup, class Reached>
void follow_orbits(const integrator& how, Take&& take, Setup&& setup, Reached&& reached) {
    if (how.kind == method::dop853) {
        follow_taken(take, setup, reached);
        return;
    }
    for (long i; (i = take()) >= 0;) {
        lane_task t;
        setup(i, t);
        t.id = i;
        const long done = follow_times(*t.p, *t.run, *t.s, output_times::of(t.times, t.ntimes),
                                       [&](long k, const orbit_state&) {
                                           reached(i, t, k, true);
                                           return true;
                                       },
                                       t.stop);
        if (done < t.ntimes) reached(i, t, done, false);
    }
}
