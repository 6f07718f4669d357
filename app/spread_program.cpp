#include <cstdio>
#include <memory>

#include "files.h"
#include "output.h"
#include "programs.h"
#include "ranks.h"
#include "spread.h"

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

int run_spread(int argc, char** argv) {
    // at most 210 members: one process follows them in seconds, so a job of several
    // ranks runs the ensemble on rank 0 and the others stop at once
    if (!run_alone(program, "the ensemble is not distributed")) return 0;
    run_start run;
    if (int status = startup(argc, argv, info, run); status >= 0) return status;
    params& p = run.p;
    const int nstars = p.nstars;
    if (nstars > ensemble_capacity) {
        std::printf("make state larger\n");
        return flush_stdout(program) ? 0 : 2;
    }
    const std::string& setup = run.setup;
    if (const std::string problem = spread_interval_problem(p); !problem.empty()) {
        std::fprintf(stderr, "%s: %s: %s\n", program, printable(setup).c_str(), problem.c_str());
        return 2;
    }
    if (nstars <= 0)
        std::fprintf(stderr, "%s: nstars is %d: the ensemble is empty; every spread line has lsig nan\n",
                     program, nstars);
    line_file records, spread;
    records.unit = "blocks";  // the initial block, then one per output time
    if (!records.open(program, setup + ".x")) return 2;
    if (!spread.open(program, setup + ".l")) {
        records.abandon();
        std::remove(records.path.c_str());  // a refused run leaves no output file
        return 2;
    }
    std::fputs(indexed_header1, records.f);
    std::fputs(indexed_header2, records.f);
    std::fputs(spread_header, spread.f);

    const auto e = std::make_unique<ensemble>();
    start_ensemble(*e, p, run.g, run.how);
    for (int i = 0; i < e->n; ++i) {
        print_stuff(records.f, e->p, i, e->member[i]);
        records.note();
    }
    if (!records.commit() || !spread.commit(0)) {
        records.abandon();
        return 2;
    }

    progress bar(program, long(p.nsteps) + 1, "output times");
    long done = 0;
    bool ok = true;
    for_spread_times(p, run.tmax, [&](double t) {
        std::fputs("\n", records.f);
        bool failed[ensemble_capacity] = {};
        const spread_figures f = advance_ensemble(*e, t, failed);
        for (int i = 0; i < e->n; ++i) {
            if (failed[i])
                std::fprintf(stderr, "%s: member %d: integration failed at t = %.6g; it prints as nan from now on\n",
                             program, i, e->member[i].t);
            print_stuff(records.f, e->p, i, e->member[i]);
            records.note();
        }
        // the block of record lines first: a spread line never stands for a block that is not there
        if (!records.commit()) {
            spread.abandon();
            return ok = false;
        }
        std::fprintf(spread.f, spread_row, shown(t / twopi), shown(f.rmax), shown(f.lsig), shown(f.lmax));
        if (!spread.commit()) {
            records.abandon();
            return ok = false;
        }
        bar.update(++done);
        return true;
    });
    if (!ok) return 2;
    bar.finish();
    const bool closed = records.close();
    if (!spread.close() || !closed) return 2;
    return complete_status();
}
