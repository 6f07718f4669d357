#include "ensemble.h"

#include <cmath>

#include "integrator.h"
#include "output.h"

void draw_star(params& p, rand48& g, survey_star& s) {
    do_one(s.init[0], p, g);
    s.model = p;  // with the phases drawn for this star
    cpstate(s.init[1], s.init[0]);
    s.init[1].w[0] = s.init[1].w[0] + twin_offset;
}

void follow_star(survey_star& s, int b, double tmax, const std::atomic<bool>* stop,
                 const integrator& how) {
    s.end[b] = s.init[b];
    follower f;
    f.how = how;
    s.ok[b] = taketstep(s.model, f, s.end[b], tmax, stop);
}

double final_l(survey_star& s, int b) {
    if (s.ok[b]) return get_ll(s.end[b]);
    for (double& v : s.end[b].w) v = NAN;
    return NAN;
}

void givedxdy(rand48& g, double* dx, double* dy) {
    *dx = 0;
    *dy = 0;
    for (int n = 0; n < offset_tries; ++n) {
        const double u1 = next(g);
        const double a = (u1 + u1) - 1;
        const double u2 = next(g);
        const double b = (u2 + u2) - 1;
        if (a * a + b * b < 1) {
            *dx = a;
            *dy = b;
            return;
        }
    }
}

void draw_ensemble(params& p, rand48& g, int n, orbit_state* member) {
    orbit_state reference;
    do_one(reference, p, g);
    for (int i = 0; i < n; ++i) {
        orbit_state& s = member[i];
        cpstate(s, reference);
        if (i == 0) continue;
        double dx, dy;
        givedxdy(g, &dx, &dy);
        s.w[0] = p.mixtime * dx + s.w[0];
        s.w[1] = p.mixtime * dy + s.w[1];
        const double dvx = velocity_offset * norm(g);
        const double dvy = velocity_offset * norm(g);
        s.w[3] = p.mixtime * dvx + s.w[3];
        s.w[4] = p.mixtime * dvy + s.w[4];
    }
}

bool spread_interval_ok(const params& p, double tmax) {
    return !(p.dt_int <= tmax && !(p.dt_int > 0 && std::isfinite(p.dt_int)));
}

std::vector<double> spread_times(const params& p, double tmax) {
    std::vector<double> times;
    if (!spread_interval_ok(p, tmax)) return times;
    for (double t = p.dt_int; t <= tmax; t = t + p.dt_int) times.push_back(t);
    return times;
}

void advance_ensemble(const params& p, int n, orbit_state* member, bool* alive, bool* failed,
                      double t, const std::atomic<bool>* stop, follower* runs) {
    if (runs && n > 0 && runs[0].how.kind == method::dop853) {  // the fast mode: members in lanes
        std::atomic<int> next{0};
        const auto take = [&]() -> long {
            for (int i; (i = next.fetch_add(1, std::memory_order_relaxed)) < n;) {
                failed[i] = false;
                if (alive[i]) return i;
            }
            return -1;
        };
        const auto setup = [&](long i, lane_task& task) {
            task.p = &p;
            task.run = &runs[i];
            task.s = &member[i];
            task.times = &t;
            task.ntimes = 1;
            task.stop = stop;
        };
        const auto reached = [&](long i, const lane_task&, long, bool ok) { failed[i] = !ok; };
#pragma omp parallel
        follow_taken(take, setup, reached);
    } else {
#pragma omp parallel for schedule(dynamic, 1)
        for (int i = 0; i < n; ++i)
            failed[i] = alive[i] && !(runs ? taketstep(p, runs[i], member[i], t, stop) : taketstep(p, member[i], t, stop));
    }
    for (int i = 0; i < n; ++i) {
        if (!failed[i]) continue;
        alive[i] = false;
        for (int v = 0; v < 6; ++v) member[i].w[v] = NAN;
    }
}

spread_figures measure_spread(const orbit_state* member, int n) {
    double L[ensemble_capacity];
    double rmax = 0;
    for (int i = 0; i < n; ++i) {
        const double dx = member[i].w[0] - member[0].w[0];
        const double dy = member[i].w[1] - member[0].w[1];
        const double d = std::sqrt(dx * dx + dy * dy);
        if (std::isnan(d) || d > rmax) rmax = d;  // a failed member spoils the figure: NaN sticks
        L[i] = get_ll(member[i]);
    }
    double lmax = 0;
    for (int i = 1; i < n; ++i)
        if (std::isnan(L[i] - L[0]) || std::fabs(L[i] - L[0]) > lmax) lmax = std::fabs(L[i] - L[0]);
    return {rmax, get_sig(L, n), lmax};
}
