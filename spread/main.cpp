// orbspread: follows an ensemble of neighbouring orbits started from one star and
// records how fast it spreads in position and in angular momentum.
#include <cmath>
#include <cstdio>

#include "integrator.h"
#include "output.h"
#include "params.h"
#include "run.h"

namespace {
const char* const program = "orbspread";
inline constexpr int ensemble_capacity = 210;
inline constexpr double velocity_offset = 0.005;  // velocity offsets per unit mixtime, speed units
inline constexpr int offset_tries = 1000;
inline constexpr const char* spread_header = "#time rmax lsig lmax\n";
inline constexpr const char* spread_row = "%.3e %.3e %.3e %.3e\n";  // t (orbits), rmax, lsig, lmax

// A random offset uniform inside the unit circle, by rejection; (0, 0) if every try fails.
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
}  // namespace

int main(int argc, char** argv) {
    params p;
    rand48 g;
    double tmax;
    if (int status = startup(argc, argv, program, run_length::spread, p, g, tmax); status >= 0)
        return status;
    const int nstars = p.nstars;
    if (nstars > ensemble_capacity) {
        std::printf("make state larger\n");
        return 0;
    }
    const std::string setup = argv[1];
    if (p.dt_int <= tmax && !(p.dt_int > 0 && std::isfinite(p.dt_int))) {
        // the output times t = dt_int, 2 dt_int, ... would never pass tmax
        std::fprintf(stderr, "%s: %s: dt_int must be a positive, finite number of orbits, got %g\n",
                     program, setup.c_str(), p.dt_int / twopi);
        return 2;
    }
    std::FILE* records = open_output(program, setup + ".x");
    if (!records) return 2;
    std::FILE* spread = open_output(program, setup + ".l");
    if (!spread) {
        std::fclose(records);
        std::remove((setup + ".x").c_str());  // a refused run leaves no output file
        return 2;
    }
    std::fputs(indexed_header1, records);
    std::fputs(indexed_header2, records);
    std::fputs(spread_header, spread);

    static orbit_state member[ensemble_capacity];
    static double L[ensemble_capacity];
    static bool alive[ensemble_capacity];
    orbit_state reference;
    do_one(reference, p, g);
    for (int i = 0; i < nstars; ++i) {
        orbit_state& s = member[i];
        cpstate(s, reference);
        alive[i] = true;
        if (i > 0) {
            double dx, dy;
            givedxdy(g, &dx, &dy);
            s.w[0] = p.mixtime * dx + s.w[0];
            s.w[1] = p.mixtime * dy + s.w[1];
            const double dvx = velocity_offset * norm(g);
            const double dvy = velocity_offset * norm(g);
            s.w[3] = p.mixtime * dvx + s.w[3];
            s.w[4] = p.mixtime * dvy + s.w[4];
        }
        print_stuff(records, p, i, s);
    }

    progress bar(program, long(p.nsteps) + 1, "output times");
    long done = 0;
    for (double t = p.dt_int; t <= tmax; t = t + p.dt_int) {  // a running sum, not k * dt_int
        std::fputs("\n", records);
        bool failed[ensemble_capacity] = {};
#pragma omp parallel for schedule(dynamic, 1)
        for (int i = 0; i < nstars; ++i)
            if (alive[i]) failed[i] = !taketstep(p, member[i], t);
        for (int i = 0; i < nstars; ++i) {
            if (failed[i]) {
                std::fprintf(stderr, "%s: member %d: integration failed at t = %.6g; it prints as nan from now on\n",
                             program, i, member[i].t);
                alive[i] = false;
                for (int v = 0; v < 6; ++v) member[i].w[v] = NAN;
            }
            print_stuff(records, p, i, member[i]);
        }
        double rmax = 0;
        for (int i = 0; i < nstars; ++i) {
            const double dx = member[i].w[0] - member[0].w[0];
            const double dy = member[i].w[1] - member[0].w[1];
            const double d = std::sqrt(dx * dx + dy * dy);
            if (std::isnan(d) || d > rmax) rmax = d;  // a failed member spoils the figure: NaN sticks
            L[i] = get_ll(member[i]);
        }
        double lmax = 0;
        for (int i = 1; i < nstars; ++i)
            if (std::isnan(L[i] - L[0]) || std::fabs(L[i] - L[0]) > lmax) lmax = std::fabs(L[i] - L[0]);
        const double lsig = get_sig(L, nstars);
        std::fprintf(spread, spread_row, t / twopi, rmax, lsig, lmax);
        std::fflush(records);
        std::fflush(spread);
        bar.update(++done);
    }
    bar.finish();
    std::fclose(records);
    std::fclose(spread);
    return 1;
}
