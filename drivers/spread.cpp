#include "spread.h"

#include <cmath>

#include "output.h"
#include "orbits.h"
#include "tasks.h"

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

std::string spread_interval_problem(const params& p) {
    if (p.dt_int > 0 && std::isfinite(p.dt_int)) return "";
    // output times t = dt_int, 2 dt_int, ... that never pass tmax, or never reach it
    char buf[96];
    std::snprintf(buf, sizeof buf, "dt_int must be a positive, finite number of orbits, got %g",
                  shown(p.dt_int / twopi));
    return buf;
}

std::vector<double> spread_times(const params& p, double tmax) {
    std::vector<double> times;
    for_spread_times(p, tmax, [&](double t) {
        times.push_back(t);
        return true;
    });
    return times;
}

void start_ensemble(ensemble& e, params& p, rand48& g, const integrator& how) {
    e.n = p.nstars > 0 ? p.nstars : 0;
    draw_ensemble(p, g, e.n, e.member);
    e.p = p;
    e.how = how;
    for (int i = 0; i < e.n; ++i) {
        e.alive[i] = true;
        e.runs[i] = follower();
        e.runs[i].how = how;
    }
}

spread_figures advance_ensemble(ensemble& e, double t, bool* failed, const std::atomic<bool>* stop, int threads) {
    for_taken(e.n, threads, [&](auto&& take) {
        const auto living = [&]() -> long {  // the members still followed
            for (long i; (i = take()) >= 0;)
                if (e.alive[i]) return i;
            return -1;
        };
        const auto setup = [&](long i, lane_task& task) {
            task.p = &e.p;
            task.run = &e.runs[i];
            task.s = &e.member[i];
            task.times = &t;
            task.ntimes = 1;
            task.stop = stop;
        };
        follow_orbits(e.how, living, setup, [&](long i, const lane_task&, long, bool ok) { failed[i] = !ok; });
    });
    for (int i = 0; i < e.n; ++i) {
        if (!failed[i]) continue;
        e.alive[i] = false;
        for (int v = 0; v < 6; ++v) e.member[i].w[v] = NAN;
    }
    return measure_spread(e.member, e.n);
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
