// the fast mode: the eighth-order method on stars in vector lanes, each with its own steps and output times
#pragma once

#include <atomic>

#include "follow.h"
#include "integrator.h"
#include "lanes.h"
#include "params.h"
#include "state.h"

// One star for the lanes: its model, its integration (carried across calls, as by
// advance), its state and its output times. The state is advanced to each output
// time in turn, exactly as successive calls of advance(p, *run, *s, time) would do,
// to the same bits.
struct lane_task {
    const params* p = nullptr;
    follower* run = nullptr;
    orbit_state* s = nullptr;
    const double* times = nullptr;
    long ntimes = 0;
    const std::atomic<bool>* stop = nullptr;
    long id = 0;  // the caller's number for the task
};

// Where a batch's stars come from and where their output times go. next fills the
// next task, false when there is none; reached is told each output time of a task in
// turn, with *task.s at that time (ok) or where the integration ended (not ok: the
// task's last call).
class lane_source {
public:
    virtual bool next(lane_task& task) = 0;
    virtual void reached(const lane_task& task, long index, bool ok) = 0;

protected:
    ~lane_source() = default;
};

// Follows every task of src on path: up to its width at once, a lane whose star is
// done taking the next one. Only stars of one body (n_particles 1) take a lane; others
// are followed one by one on the scalar path.
void follow_lanes(lane_source& src, lane_path path);

// The same for tasks 0 .. n-1 taken one at a time from take() (a number, or a
// negative one when none is left): setup(i, task) fills task i and reached(i, task,
// index, ok) is told its output times. On the path chosen_lane_path().
template <class Take, class Setup, class Reached>
void follow_taken(Take&& take, Setup&& setup, Reached&& reached) {
    struct source final : lane_source {
        Take& take;
        Setup& setup;
        Reached& done;
        source(Take& t, Setup& s, Reached& r) : take(t), setup(s), done(r) {}
        bool next(lane_task& task) override {
            const long i = take();
            if (i < 0) return false;
            task = lane_task{};
            setup(i, task);
            task.id = i;
            return true;
        }
        void reached(const lane_task& task, long index, bool ok) override { done(task.id, task, index, ok); }
    } src(take, setup, reached);
    follow_lanes(src, chosen_lane_path());
}

// -grad Phi at (x, y, z = 0) and time t by the fast mode's force field (one lane).
void fast_force(const params& p, double x, double y, double t, double& fx, double& fy);
