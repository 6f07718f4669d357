// the fast mode: the eighth-order method on stars in vector lanes, each with its own steps and output times
#pragma once

#include <atomic>
#include <cmath>

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
// done taking the next one. Tasks are of one body (n_particles 1): a model of several
// bodies is followed body by body (advance does), and such a task here fails at once.
void follow_lanes(lane_source& src, lane_path path);

// ---- the engine: the eighth-order method on up to lane_capacity orbits at once --------

// One leg of a lane's orbit: advance *r until its last step reaches target, writing the
// state there (through the continuous extension when the step passed it: output times
// never shorten a step). No step crosses `barrier` (a time at which the right-hand side
// is not smooth, at or beyond target): the step that would is shortened to end on it,
// since the method's order and its error estimate both assume a smooth right-hand side
// within the step. With `fresh`, the integration starts from r's t, y, rtol and atol
// towards target, its first step chosen from the first two derivatives. The leg fails
// when a step fails (the time no longer moves; *r then holds the last state reached),
// when *stop is set (checked before every attempt), when the run's attempts reach
// max_work, or when target lies behind r->t outside the last step.
struct lane_leg {
    dop853_run* r = nullptr;
    double target = 0;
    double barrier = INFINITY;
    const std::atomic<bool>* stop = nullptr;
    double max_work = INFINITY;
    bool fresh = false;
    const params* model = nullptr;  // the lane's model from this leg on (null: unchanged)
};

// Hands legs to the lanes of an engine and is told how each ended (out: the state at
// its target when ok). next(lane, leg) fills the lane's next leg, false when it has none.
class lane_client {
public:
    virtual bool next(int lane, lane_leg& leg) = 0;
    virtual void reached(int lane, const lane_leg& leg, bool ok, const double* out) = 0;

protected:
    ~lane_client() = default;
};

// Runs every leg of c on the kernels k (of the galaxy on a vector path, or of another
// right-hand side), each lane with its own steps.
void run_lanes(const lane_kernels& k, lane_client& c);

// One orbit on lane 0 of k, for the proofs of the method (m: the lane's model, for the
// galaxy's kernels): the starting step of a fresh run r from (t0, y0) in the direction
// dir (+1 or -1); one attempt of the step r.h from r.t (accepted: r advances and, with
// dense, keeps the continuous extension; a step shortened to end on a given time passes
// it as t_end, so that it ends there exactly); and a leg as above.
void dop853_start(const lane_kernels& k, dop853_run& r, double t0, const double* y0, double rtol, double atol,
                  double dir, const lane_model* m = nullptr);
dop853_outcome dop853_attempt(const lane_kernels& k, dop853_run& r, bool dense, double t_end = NAN,
                              const lane_model* m = nullptr);
bool dop853_advance(const lane_kernels& k, dop853_run& r, double target, double* out, double barrier = INFINITY,
                    const std::atomic<bool>* stop = nullptr, double max_work = INFINITY);

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

// The next switch of the force beyond t (next_switch) that the eighth-order method can
// end a step on. Two switches given in orbits, as a transient's end of growth
// (starttime + growtime) and its copy's start, can land a rounding apart in model time;
// a step from the first to the second would not move the time and would fail the star,
// so a switch within rounding of t is crossed instead (its kink is below the rounding).
double next_leg_end(const params& p, double t, double dir);

// -grad Phi at (x, y, z = 0) and time t by the fast mode's force field (one lane).
void fast_force(const params& p, double x, double y, double t, double& fx, double& fy);
