// orbstates: the stars of a survey setup as orbmigrate draws them, each integrated
// alone to the end of the run on one thread, with the full-precision states a peer
// integrator can be compared against.
//
//   orbstates [--integrator bs|dop853] [--tol T] [--model] SETUP
//
// With --model, first the model: "# gamma_ G randp0 R", "# pattern mm epsilon phi0
// alpha Omegas growtime starttime smin smax" per pattern (angles in radians, times in
// model units) and "# force x y t dPhi/dx dPhi/dy" at a few points, so that a peer's
// model can be checked. Then one line per star, "x y vx vy" at t = 0 then at the end,
// with 17 significant digits; last "# stars S orbits O cpu_s C evaluations E": the CPU
// time of the integrations alone and the right-hand-side evaluations they made. The
// fast mode runs the stars in the vector lanes of one thread (ORBKIT_SIMD picks the path).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "fastmode.h"
#include "galaxy.h"
#include "integrator.h"
#include "params.h"
#include "state.h"

namespace {
struct drawn {
    params model;  // with the pattern phases drawn for this star
    orbit_state start, end;
};
}  // namespace

int main(int argc, char** argv) {
    integrator how;
    bool model = false;
    int i = 1;
    for (; i + 1 < argc && std::strncmp(argv[i], "--", 2) == 0; i += 2) {
        if (std::strcmp(argv[i], "--model") == 0) {
            model = true;
            --i;  // a flag without a value
        } else if (std::strcmp(argv[i], "--integrator") == 0 && std::strcmp(argv[i + 1], "dop853") == 0)
            how.kind = method::dop853;
        else if (std::strcmp(argv[i], "--integrator") == 0 && std::strcmp(argv[i + 1], "bs") == 0)
            how.kind = method::bs;
        else if (std::strcmp(argv[i], "--tol") == 0)
            how.tol = std::atof(argv[i + 1]);
        else
            break;
    }
    if (argc - i != 1) {
        std::fprintf(stderr, "usage: orbstates [--integrator bs|dop853] [--tol T] [--model] SETUP\n");
        return 2;
    }
    const char* path = argv[i];
    std::FILE* f = std::fopen(path, "r");
    if (!f) {
        std::fprintf(stderr, "orbstates: %s: cannot open\n", path);
        return 2;
    }
    params p;
    rand48 g;
    const bool ok = readsetup(f, path, p, g, stderr, stderr, "orbstates");
    std::fclose(f);
    if (!ok) return 2;
    const double tmax = p.dt_int * p.nsteps;  // the survey programs' run length

    std::vector<drawn> stars(p.nstars > 0 ? p.nstars : 0);
    for (drawn& s : stars) {  // the random numbers in orbmigrate's order
        do_one(s.start, p, g);
        s.model = p;
    }
    long evaluations = 0;
    int failed = 0;
    const std::clock_t c0 = std::clock();
    if (how.kind == method::bs) {
        for (drawn& s : stars) {
            s.end = s.start;
            if (!taketstep(s.model, s.end, tmax, evaluations)) ++failed;
        }
    } else {  // the fast mode's lanes on this thread, as a survey runs them
        std::vector<follower> runs(stars.size());
        long next = 0;
        follow_taken([&]() -> long { return next < long(stars.size()) ? next++ : -1; },
                     [&](long i, lane_task& t) {
                         stars[i].end = stars[i].start;
                         runs[i].how = how;
                         t.p = &stars[i].model;
                         t.run = &runs[i];
                         t.s = &stars[i].end;
                         t.times = &tmax;
                         t.ntimes = 1;
                     },
                     [&](long i, const lane_task&, long, bool ok) {
                         if (!ok) ++failed;
                         evaluations += runs[i].run.evaluations;
                     });
    }
    const double cpu = double(std::clock() - c0) / CLOCKS_PER_SEC;

    if (model) {
        std::printf("# gamma_ %.17g randp0 %d\n", p.gamma_, p.randp0);
        for (int k = 0; k < p.npatterns; ++k)
            std::printf("# pattern %.17g %.17g %.17g %.17g %.17g %.17g %.17g %.17g %.17g\n", p.mm[k],
                        p.epsilon[k], p.phi0[k], p.alpha[k], p.Omegas[k], p.growtime[k], p.starttime[k],
                        p.smin[k], p.smax[k]);
        const double points[][3] = {{1.0, 0.0, 0.0}, {1.3, -0.9, 2.5}, {-2.2, 1.1, 40.0}, {0.4, 2.7, 300.0}};
        for (const auto& q : points) {
            double dx, dy, dz, dt;
            dphi(p, &dx, &dy, &dz, &dt, q[0], q[1], 0, q[2]);
            std::printf("# force %.17g %.17g %.17g %.17g %.17g\n", q[0], q[1], q[2], dx, dy);
        }
    }
    for (const drawn& s : stars) {
        for (const orbit_state* q : {&s.start, &s.end})
            std::printf("%.17g %.17g %.17g %.17g ", q->w[0], q->w[1], q->w[3], q->w[4]);
        std::printf("\n");
    }
    std::printf("# stars %zu orbits %.17g cpu_s %.6f evaluations %ld\n", stars.size(), tmax / twopi, cpu,
                evaluations);
    if (failed) std::fprintf(stderr, "orbstates: %d integrations failed\n", failed);
    return failed ? 1 : 0;
}
