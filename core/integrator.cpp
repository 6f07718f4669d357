#include "integrator.h"

#include "galaxy.h"

int integrate(const params& p, orbit_state& s, double& step) {
    return bs_step([&p](const orbit_state& y, orbit_state& f) { eqn(p, y, f); },
                   p.number_equations, s, step);
}

namespace {
inline constexpr int max_correction_steps = 100000;  // each one at least halves the distance left
bool stopped(const std::atomic<bool>* stop) { return stop && stop->load(std::memory_order_relaxed); }
}  // namespace

bool taketstep(const params& p, orbit_state& s, double target, const std::atomic<bool>* stop) {
    double h = taketstep_first_step;
    while (target > s.t) {
        if (stopped(stop)) return false;
        const double before = s.t;
        if (!integrate(p, s, h)) return false;
        if (!(s.t > before)) return false;  // the step no longer moves the time
    }
    double d = target - s.t;
    for (int n = 0; std::fabs(d) > taketstep_tolerance; ++n) {
        if (n == max_correction_steps || stopped(stop) || !integrate(p, s, d)) return false;
        d = target - s.t;
    }
    return std::fabs(d) <= taketstep_tolerance;
}
