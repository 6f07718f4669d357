#include "follow.h"

#include <cmath>
#include <limits>

#include "fastmode.h"
#include "integrator.h"

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

bool advance_star(const params& p, follower& f, orbit_state& s, double target, const std::atomic<bool>* stop) {
    one_star src;
    src.task = {&p, &f, &s, &target, 1, stop, 0};
    follow_lanes(src, lane_path::scalar);
    return src.ok;
}
}  // namespace

bool advance(const params& p, follower& f, orbit_state& s, double target, const std::atomic<bool>* stop) {
    if (f.how.kind == method::bs) return taketstep(p, s, target, f.evaluations, stop);
    if (p.n_particles == 1) return advance_star(p, f, s, target, stop);  // the fast mode's lanes, one of them
    if (p.n_particles < 1 || p.n_particles > fast_bodies) return false;
    // several bodies: each is an orbit of its own in the fixed potential
    params one = p;
    one.n_particles = 1;
    one.number_equations = 6;
    const bool running = f.running;
    for (int b = 0; b < p.n_particles; ++b) {
        dop853_run& run = b == 0 ? f.run : f.more[b - 1];
        follower g;
        g.how = f.how;
        g.run = run;
        g.running = running;
        orbit_state body;
        body.t = s.t;
        for (int i = 0; i < 6; ++i) body.w[i] = s.w[6 * b + i];
        const bool ok = advance_star(one, g, body, target, stop);
        run = g.run;
        for (int i = 0; i < 6; ++i) s.w[6 * b + i] = body.w[i];
        if (!ok) {
            s.t = body.t;
            f.running = false;
            return false;
        }
    }
    s.t = target;
    f.running = true;
    return true;
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
