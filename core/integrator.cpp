#include "integrator.h"

#include <cmath>

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

}  // namespace

int integrate(const params& p, orbit_state& s, double& step, long& evaluations) {
    if (planar(p, s)) {
        planar_state q;
        q.t = s.t;
        pack_xy(s, p.n_particles, q.w);
        const int ok = bs_step(
            [&p, &evaluations](const planar_state& y, planar_state& f) {
                ++evaluations;
                eqn_xy(p, y.t, y.w, f.w);
            },
            4, q, step);
        if (ok) {
            s.t = q.t;
            unpack_xy(q.w, p.n_particles, s);
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

