#include "lyapunov.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "orbits.h"
#include "tasks.h"

namespace {

// the values of a body that move: x, y, vx, vy
inline constexpr int moving[4] = {0, 1, 3, 4};
inline constexpr long star_batch = 256;  // fast mode: stars (and shadows) on the lanes per round

double target_of(const lyapunov_run& run, long k) {
    if (k + 1 == run.intervals && std::isfinite(run.tend)) return run.tend;
    return run.t0 + double(k + 1) * run.tau;
}

// One renormalisation of a shadow (xy: x, y, vx, vy) against its star (xy too): adds
// ln(d / d0) to sum and pulls the shadow back to d0. False when d is not a positive
// finite number.
bool renormalise(const lyapunov_run& run, const double* star, double* shadow, double& sum) {
    double d2 = 0;
    for (int c = 0; c < 4; ++c) d2 = d2 + sq(shadow[c] - star[c]);
    const double d = std::sqrt(d2);
    if (!(d > 0 && d < INFINITY)) return false;
    sum = sum + std::log(d / run.d0);
    const double shrink = run.d0 / d;
    for (int c = 0; c < 4; ++c) shadow[c] = star[c] + (shadow[c] - star[c]) * shrink;
    return true;
}

// Star and shadow as the two bodies of one system (the extrapolation integrator).
int lyapunov_joint(const params& p, const orbit_state& star, const lyapunov_run& run, double* lambda,
                   const std::atomic<bool>* stop) {
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
        if (!advance(two, f, s, target_of(run, k), stop)) return k;
        double xy[8];
        pack_xy(s, 2, xy);
        if (!renormalise(run, xy, xy + 4, sum)) return k;
        unpack_xy(xy, 2, s);
        // the extrapolation integrator stops within its tolerance of the target: the
        // exponent is taken over the time actually elapsed
        lambda[k] = sum / (s.t - run.t0);
        f.running = false;  // the shadow moved: the integration starts afresh
    }
    return run.intervals;
}

// Star and shadow apart (the eighth-order method). Both start afresh from every
// renormalisation, so that they take the same steps but for the rounding of d0: the
// integration errors of the two, each some 1e-13 of the orbit's scale per step and
// more where the output is interpolated, then cancel in their difference instead of
// adding to d (as they would, and bias ln d by up to 1e-2 per interval at d0 = 1e-9,
// if the star's integration ran on with steps of its own).
int lyapunov_apart(const params& p, const orbit_state& star, const lyapunov_run& run, double* lambda,
                   const std::atomic<bool>* stop) {
    params one = p;
    one.n_particles = 1;
    one.number_equations = 6;
    double xy[4], shadow[4];
    pack_xy(star, 1, xy);
    for (int c = 0; c < 4; ++c) shadow[c] = xy[c] + 0.5 * run.d0;  // d0 along (1, 1, 1, 1)/2
    double sum = 0;
    for (int k = 0; k < run.intervals; ++k) {
        const double from = k == 0 ? run.t0 : target_of(run, k - 1), target = target_of(run, k);
        orbit_state s = state_xy(xy, from), w = state_xy(shadow, from);
        follower f, g;
        f.how = g.how = run.how;
        if (!advance(one, f, s, target, stop) || !advance(one, g, w, target, stop)) return k;
        pack_xy(s, 1, xy);
        pack_xy(w, 1, shadow);
        if (!renormalise(run, xy, shadow, sum)) return k;
        lambda[k] = sum / (target - run.t0);
    }
    return run.intervals;
}

}  // namespace

int lyapunov(const params& p, const orbit_state& star, const lyapunov_run& run, double* lambda,
             const std::atomic<bool>* stop) {
    for (int k = 0; k < run.intervals; ++k) lambda[k] = NAN;
    if (run.how.kind == method::bs) return lyapunov_joint(p, star, run, lambda, stop);
    return lyapunov_apart(p, star, run, lambda, stop);
}

void lyapunov_stars(const params& p, long n, const orbit_state* stars, const double* phases,
                    const lyapunov_run& run, double* lambda, int* done, int nthreads,
                    const std::atomic<bool>* stop, std::atomic<long>* completed) {
    const int np = p.npatterns;
    const auto model_of = [&](long i, params& q) {
        q = p;
        q.n_particles = 1;
        q.number_equations = 6;
        if (phases)
            for (int k = 0; k < np; ++k) q.phi0[k] = phases[i * np + k];
    };
    if (run.how.kind == method::bs) {
        for_tasks(n, nthreads, [&](long i) {
            params q;
            model_of(i, q);
            done[i] = lyapunov(q, stars[i], run, lambda + i * run.intervals, stop);
            if (completed) completed->fetch_add(1, std::memory_order_relaxed);
        });
        return;
    }
    // The eighth-order method, the same numbers as lyapunov_apart: one interval at a
    // time, every star of a batch and its shadow as two orbits on the lanes.
    const long K = run.intervals;
    std::vector<params> models(star_batch);
    std::vector<follower> runs(2 * star_batch);
    std::vector<orbit_state> now(2 * star_batch);
    std::vector<double> xy(2 * star_batch * 4), sum(star_batch);  // star i at 8i, its shadow at 8i + 4
    std::vector<long> todo(star_batch);
    std::vector<char> ok(2 * star_batch);
    for (long first = 0; first < n; first += star_batch) {
        const long nb = std::min(star_batch, n - first);
        for (long i = 0; i < nb; ++i) {
            for (long k = 0; k < K; ++k) lambda[(first + i) * K + k] = NAN;
            done[first + i] = 0;
            model_of(first + i, models[i]);
            pack_xy(stars[first + i], 1, &xy[8 * i]);
            for (int c = 0; c < 4; ++c) xy[8 * i + 4 + c] = xy[8 * i + c] + 0.5 * run.d0;
            sum[i] = 0;
        }
        for (long k = 0; k < K && !(stop && stop->load()); ++k) {
            long count = 0;
            for (long i = 0; i < nb; ++i)
                if (done[first + i] == k) todo[count++] = i;
            if (count == 0) break;
            const double from = k == 0 ? run.t0 : target_of(run, k - 1), target = target_of(run, k);
            for_taken(2 * count, nthreads, [&](auto&& take) {
                const auto setup = [&](long j, lane_task& task) {  // j = 2 (star's place) + body
                    const long i = todo[j / 2];
                    runs[j] = follower{};
                    runs[j].how = run.how;
                    now[j] = state_xy(&xy[8 * i + 4 * (j % 2)], from);
                    ok[j] = 0;
                    task.p = &models[i];
                    task.run = &runs[j];
                    task.s = &now[j];
                    task.times = &target;
                    task.ntimes = 1;
                    task.stop = stop;
                };
                const auto at = [&](long j, const lane_task& task, long, bool reached) {
                    if (!reached) return;
                    pack_xy(*task.s, 1, &xy[8 * todo[j / 2] + 4 * (j % 2)]);
                    ok[j] = 1;
                };
                follow_orbits(run.how, take, setup, at);
            });
            for (long j = 0; j < count; ++j) {
                const long i = todo[j];
                if (!ok[2 * j] || !ok[2 * j + 1] || !renormalise(run, &xy[8 * i], &xy[8 * i + 4], sum[i])) continue;
                lambda[(first + i) * K + k] = sum[i] / (target - run.t0);
                done[first + i] = int(k + 1);
            }
        }
        if (completed) completed->fetch_add(nb, std::memory_order_relaxed);
    }
}
