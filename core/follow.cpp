#include "follow.h"

#include <cmath>
#include <limits>

#include "fastmode.h"
#include "galaxy.h"
#include "integrator.h"

namespace {
// The galaxy's equations of motion for the eighth-order method, on the values that
// move: x, y, vx, vy of each body (z and vz are held fixed, so they would only dilute
// the error norm).
struct fast_eqn {
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

bool advance(const params& p, follower& f, orbit_state& s, double target, const std::atomic<bool>* stop) {
    if (f.how.kind == method::bs) return taketstep(p, s, target, f.evaluations, stop);
    if (p.n_particles == 1) {  // the fast mode's lanes, one of them
        one_star src;
        src.task = {&p, &f, &s, &target, 1, stop, 0};
        follow_lanes(src, lane_path::scalar);
        return src.ok;
    }
    if (4 * p.n_particles > dop853_capacity) return false;
    if (s.t == target) return true;
    const fast_eqn rhs{p};
    const bool behind = f.running && (target - f.run.t) * f.run.h < 0 &&
                        !(f.run.dense && (target - f.run.t_old) * f.run.h >= 0);
    if (!f.running || behind) {  // a new integration from s, towards target
        double y0[dop853_capacity];
        pack_xy(s, p.n_particles, y0);
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
        const double next = next_leg_end(p, f.run.t, dir);
        if ((next - target) * dir >= 0) {
            ok = dop853_advance(rhs, f.run, target, out, next, stop, max_work);
            break;
        }
        if (!(ok = dop853_advance(rhs, f.run, next, out, next, stop, max_work))) break;
    }
    if (!ok) {
        s.t = f.run.t;
        unpack_xy(f.run.y, p.n_particles, s);
        f.running = false;
        return false;
    }
    s.t = target;
    unpack_xy(out, p.n_particles, s);
    return true;
}

double next_leg_end(const params& p, double t, double dir) {
    double next = next_switch(p, t, dir);
    // the same test as a step's: 0.1 |h| must exceed the rounding of t
    while (std::isfinite(next) && !(0.1 * std::fabs(next - t) > std::fabs(t) * dop853_roundoff))
        next = next_switch(p, next, dir);
    return next;
}

namespace {
inline constexpr int landing_steps = 8;  // a step aimed at the target lands on it or within rounding
}

bool land(const params& p, orbit_state& s, double target) {
    for (int n = 0; n < landing_steps && s.t != target; ++n) {
        double h = target - s.t;
        if (!integrate(p, s, h)) return false;
    }
    // h + t need not round to target: what is left is a rounding of the time itself
    if (!(std::fabs(target - s.t) <= 4 * std::numeric_limits<double>::epsilon() * std::fabs(target)))
        return s.t == target;
    s.t = target;
    return true;
}

std::vector<double> listed(const output_times& times) {
    std::vector<double> out;
    out.reserve(times.count > 0 ? std::size_t(times.count) : 0);
    double t = times.start;
    for (long k = 0; k < times.count; ++k) out.push_back(t = times.list ? times.list[k] : t + times.step);
    return out;
}
