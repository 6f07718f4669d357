// orbspread: follows an ensemble of neighbouring orbits started from one star and
// records how fast it spreads in position and in angular momentum.
#include <cmath>
#include <cstdio>

#include "cli.h"
#include "ensemble.h"
#include "output.h"
#include "params.h"
#include "run.h"

namespace {
const program_info info = {
    "orbspread", run_length::spread,
    "Follows an ensemble of nstars neighbouring orbits (at most 210), started from one star\n"
    "drawn at random with offsets of scale mixtime, over (nsteps + 1) x dt_int, and records\n"
    "how fast it spreads in position and in angular momentum.\n",
    "  SETUP.x     every member's record line (i, time in orbits, x, y, vx, vy, ...) at the\n"
    "              start and at every output time, one block per time\n"
    "  SETUP.l     per output time: time in orbits, rmax, lsig, lmax\n",
    "; more than 210 members (\"make state larger\")"};
const char* const program = info.name;
inline constexpr const char* spread_header = "#time rmax lsig lmax\n";
inline constexpr const char* spread_row = "%.3e %.3e %.3e %.3e\n";  // t (orbits), rmax, lsig, lmax
}  // namespace

int main(int argc, char** argv) {
    run_start run;
    if (int status = startup(argc, argv, info, run); status >= 0) return status;
    params& p = run.p;
    rand48& g = run.g;
    const double tmax = run.tmax;
    const int nstars = p.nstars;
    if (nstars > ensemble_capacity) {
        std::printf("make state larger\n");
        return 0;
    }
    const std::string& setup = run.setup;
    if (!spread_interval_ok(p, tmax)) {
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
    static bool alive[ensemble_capacity];
    draw_ensemble(p, g, nstars, member);
    for (int i = 0; i < nstars; ++i) {
        alive[i] = true;
        print_stuff(records, p, i, member[i]);
    }

    progress bar(program, long(p.nsteps) + 1, "output times");
    long done = 0;
    for (const double t : spread_times(p, tmax)) {
        std::fputs("\n", records);
        bool failed[ensemble_capacity] = {};
        advance_ensemble(p, nstars, member, alive, failed, t);
        for (int i = 0; i < nstars; ++i) {
            if (failed[i])
                std::fprintf(stderr, "%s: member %d: integration failed at t = %.6g; it prints as nan from now on\n",
                             program, i, member[i].t);
            print_stuff(records, p, i, member[i]);
        }
        const spread_figures f = measure_spread(member, nstars);
        std::fprintf(spread, spread_row, t / twopi, f.rmax, f.lsig, f.lmax);
        std::fflush(records);
        std::fflush(spread);
        bar.update(++done);
    }
    bar.finish();
    std::fclose(records);
    std::fclose(spread);
    return 1;
}
