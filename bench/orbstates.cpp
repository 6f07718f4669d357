// orbstates: the stars of a survey setup as orbmigrate draws them, each integrated
// alone to the end of the run on one thread, with the full-precision states a peer
// integrator can be compared against.
//
//   orbstates [--integrator bs|dop853] [--tol T] SETUP
//
// One line per star, "x y vx vy" at t = 0 then at the end, with 17 significant digits;
// last "# stars S orbits O cpu_s C evaluations E": the CPU time of the integrations
// alone and the right-hand-side evaluations they made. The fast mode runs the stars in
// the vector lanes of one thread (ORBKIT_SIMD picks the path).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "orbits.h"
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
    int i = 1;
    for (; i + 1 < argc && std::strncmp(argv[i], "--", 2) == 0; i += 2) {
        if (std::strcmp(argv[i], "--integrator") == 0 && std::strcmp(argv[i + 1], "dop853") == 0)
            how.kind = method::dop853;
        else if (std::strcmp(argv[i], "--integrator") == 0 && std::strcmp(argv[i + 1], "bs") == 0)
            how.kind = method::bs;
        else if (std::strcmp(argv[i], "--tol") == 0)
            how.tol = std::atof(argv[i + 1]);
        else
            break;
    }
    if (argc - i != 1) {
        std::fprintf(stderr, "usage: orbstates [--integrator bs|dop853] [--tol T] SETUP\n");
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
    // the fast mode's stars in the vector lanes of this thread, as a survey runs them
    std::vector<follower> runs(stars.size());
    long next = 0;
    follow_orbits(
        how, [&]() -> long { return next < long(stars.size()) ? next++ : -1; },
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
            evaluations += runs[i].evaluations + runs[i].run.evaluations;
        });
    const double cpu = double(std::clock() - c0) / CLOCKS_PER_SEC;

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
