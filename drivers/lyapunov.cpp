#include "lyapunov.h"

#include <cmath>

#include "tasks.h"

namespace {

// the values of body b that move: x, y, vx, vy
inline constexpr int moving[4] = {0, 1, 3, 4};

double separation(const orbit_state& s) {
    double d2 = 0;
    for (const int i : moving) d2 = d2 + sq(s.w[6 + i] - s.w[i]);
    return std::sqrt(d2);
}

}  // namespace

int lyapunov(const params& p, const orbit_state& star, const lyapunov_run& run, double* lambda,
             const std::atomic<bool>* stop) {
    for (int k = 0; k < run.intervals; ++k) lambda[k] = NAN;
    // the star as body 0, its shadow as body 1; z and vz are held at +0
    params two = p;
    two.n_particles = 2;
    two.number_equations = 12;
    orbit_state s;
    s.t = run.t0;
    const double along = 0.5 * run.d0;  // each of the four components of d0 (1, 1, 1, 1)/2
    for (const int i : moving) {
        s.w[i] = star.w[i];
        s.w[6 + i] = star.w[i] + along;
    }
    follower f;
    f.how = run.how;
    double sum = 0;  // sum of ln(d_j / d0)
    for (int k = 0; k < run.intervals; ++k) {
        const double target = run.t0 + double(k + 1) * run.tau;
        if (!advance(two, f, s, target, stop)) return k;
        const double d = separation(s);
        if (!(d > 0 && d < INFINITY)) return k;
        sum = sum + std::log(d / run.d0);
        // the extrapolation integrator stops within its tolerance of the target: the
        // exponent is taken over the time actually elapsed
        lambda[k] = sum / (s.t - run.t0);
        const double shrink = run.d0 / d;
        for (const int i : moving) s.w[6 + i] = s.w[i] + (s.w[6 + i] - s.w[i]) * shrink;
        f.running = false;  // the shadow moved: the eighth-order method starts afresh
    }
    return run.intervals;
}

void lyapunov_stars(const params& p, long n, const orbit_state* stars, const double* phases,
                    const lyapunov_run& run, double* lambda, int* done, int nthreads,
                    const std::atomic<bool>* stop) {
    const int np = p.npatterns;
    for_tasks(n, nthreads, [&](long i) {
        params q = p;
        if (phases)
            for (int k = 0; k < np; ++k) q.phi0[k] = phases[i * np + k];
        done[i] = lyapunov(q, stars[i], run, lambda + i * run.intervals, stop);
    });
}
