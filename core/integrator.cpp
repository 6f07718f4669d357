#include "integrator.h"

#include <cmath>

#include "fastmode.h"
#include "galaxy.h"

namespace {

// x, y, vx, vy of one star: the values that move in the disc plane.
struct planar_state {
    double t = 0;
    double w[4] = {};
};

// True when the step may integrate only x, y, vx, vy: one star with z and vz both +0.
// The equations then give z' = +0 and vz' = -0, so z and vz stay +0 through every
// substep and every extrapolation, and their errors are 0, which never raises the
// maximum: the four-value step takes the same steps to the same bits.
bool planar(const params& p, const orbit_state& s) {
    return p.n_particles == 1 && p.number_equations == 6 && s.w[2] == 0 && s.w[5] == 0 &&
           !std::signbit(s.w[2]) && !std::signbit(s.w[5]);
}

// x, y, vx, vy of each body of s into y, four values a body, and back.
void get_planar(const params& p, const orbit_state& s, double* y) {
    for (int b = 0; b < p.n_particles; ++b) {
        y[4 * b] = s.w[6 * b];
        y[4 * b + 1] = s.w[6 * b + 1];
        y[4 * b + 2] = s.w[6 * b + 3];
        y[4 * b + 3] = s.w[6 * b + 4];
    }
}

void put_planar(const params& p, const double* y, orbit_state& s) {
    for (int b = 0; b < p.n_particles; ++b) {
        s.w[6 * b] = y[4 * b];
        s.w[6 * b + 1] = y[4 * b + 1];
        s.w[6 * b + 3] = y[4 * b + 2];
        s.w[6 * b + 4] = y[4 * b + 3];
    }
}

}  // namespace

int integrate(const params& p, orbit_state& s, double& step, long& evaluations) {
    if (planar(p, s)) {
        planar_state q;
        q.t = s.t;
        get_planar(p, s, q.w);
        const int ok = bs_step(
            [&p, &evaluations](const planar_state& y, planar_state& f) {
                ++evaluations;
                eqn_planar(p, y.t, y.w, f.w);
            },
            4, q, step);
        if (ok) {
            s.t = q.t;
            put_planar(p, q.w, s);
        }
        return ok;
    }
    return bs_step(
        [&p, &evaluations](const orbit_state& y, orbit_state& f) {
            ++evaluations;
            eqn(p, y, f);
        },
        p.number_equations, s, step);
}

int integrate(const params& p, orbit_state& s, double& step) {
    long evaluations = 0;
    return integrate(p, s, step, evaluations);
}

namespace {
inline constexpr int max_correction_steps = 100000;  // each one at least halves the distance left
bool stopped(const std::atomic<bool>* stop) { return stop && stop->load(std::memory_order_relaxed); }
}  // namespace

bool taketstep(const params& p, orbit_state& s, double target, long& evaluations,
               const std::atomic<bool>* stop) {
    double h = taketstep_first_step;
    // NaN distances compare false: a budget that is not a number ends at the first step
    const double budget = taketstep_min_steps + taketstep_steps_per_time * std::fabs(target - s.t);
    for (double steps = 0; target > s.t; steps = steps + 1) {
        if (stopped(stop)) return false;
        if (!(steps < budget)) return false;  // a star that needs this many steps is lost anyway
        const double before = s.t;
        if (!integrate(p, s, h, evaluations)) return false;
        if (!(s.t > before)) return false;  // the step no longer moves the time
    }
    double d = target - s.t;
    for (int n = 0; std::fabs(d) > taketstep_tolerance; ++n) {
        if (n == max_correction_steps || stopped(stop) || !integrate(p, s, d, evaluations)) return false;
        d = target - s.t;
    }
    return std::fabs(d) <= taketstep_tolerance;
}

bool taketstep(const params& p, orbit_state& s, double target, const std::atomic<bool>* stop) {
    long evaluations = 0;
    return taketstep(p, s, target, evaluations, stop);
}

namespace {
// The galaxy's equations of motion for the eighth-order method, on the values that
// move: x, y, vx, vy of each body (z and vz are held fixed, so they would only dilute
// the error norm).
struct planar_eqn {
    const params& p;
    void operator()(double t, const double* y, double* f) const {
        for (int b = 0; b < p.n_particles; ++b) {
            const double* q = y + 4 * b;
            double* d = f + 4 * b;
            d[0] = q[2];
            d[1] = q[3];
            fast_force(p, q[0], q[1], t, d[2], d[3]);
        }
    }
};

// The first time strictly beyond t in direction dir at which a pattern's force
// switches: its growth starts (a kink, or a jump when growtime is 0) or ends (a kink).
// Infinite when there is none.
double next_switch(const params& p, double t, double dir) {
    double next = dir * INFINITY;
    for (int k = 0; k < p.npatterns; ++k)
        for (const double s : {p.starttime[k], p.starttime[k] + p.growtime[k]})
            if ((s - t) * dir > 0 && (s - next) * dir < 0) next = s;
    return next;
}
}  // namespace

namespace {
// One star through one output time, for the lanes on the scalar path.
struct one_star final : lane_source {
    lane_task task;
    bool given = false, ok = false;
    bool next(lane_task& t) override {
        if (given) return false;
        given = true;
        t = task;
        return true;
    }
    void reached(const lane_task&, long, bool result) override { ok = result; }
};
}  // namespace

bool taketstep(const params& p, follower& f, orbit_state& s, double target,
               const std::atomic<bool>* stop) {
    if (f.how.kind == method::bs) return taketstep(p, s, target, stop);
    if (p.n_particles == 1) {  // the fast mode's lanes, one of them
        one_star src;
        src.task = {&p, &f, &s, &target, 1, stop, 0};
        follow_lanes(src, lane_path::scalar);
        return src.ok;
    }
    if (4 * p.n_particles > dop853_capacity) return false;
    if (s.t == target) return true;
    const planar_eqn rhs{p};
    const bool behind = f.running && (target - f.run.t) * f.run.h < 0 &&
                        !(f.run.dense && (target - f.run.t_old) * f.run.h >= 0);
    if (!f.running || behind) {  // a new integration from s, towards target
        double y0[dop853_capacity];
        get_planar(p, s, y0);
        dop853_start(rhs, f.run, 4 * p.n_particles, s.t, y0, f.how.tol, f.how.tol,
                     target > s.t ? 1.0 : -1.0);
        f.running = true;
    }
    // the exact integrator's work budget, counted in attempted steps
    const double max_work = double(f.run.steps + f.run.rejections) + taketstep_min_steps +
                            taketstep_steps_per_time * std::fabs(target - s.t);
    double out[dop853_capacity];
    bool ok;
    for (;;) {  // no step crosses a switch of a pattern's growth
        const double dir = f.run.h < 0 ? -1.0 : 1.0;
        const double next = next_switch(p, f.run.t, dir);
        if ((next - target) * dir >= 0) {
            ok = dop853_advance(rhs, f.run, target, out, next, stop, max_work);
            break;
        }
        if (!(ok = dop853_advance(rhs, f.run, next, out, next, stop, max_work))) break;
    }
    if (!ok) {
        s.t = f.run.t;
        put_planar(p, f.run.y, s);
        f.running = false;
        return false;
    }
    s.t = target;
    put_planar(p, out, s);
    return true;
}
