#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "files.h"
#include "output.h"
#include "programs.h"
#include "ranks.h"

namespace {

// An orbit file to write for a saved star (or its twin).
struct save_task {
    std::string name;
    const params* model;
    orbit_state init;
};

// What an integration left of one body: shared between ranks as plain bytes.
struct body_end {
    orbit_state end;
    std::int64_t ok;  // a whole word: no padding, so the record is its bytes
};
static_assert(std::is_trivially_copyable_v<body_end> && sizeof(body_end) == sizeof(orbit_state) + 8);
static_assert(std::is_trivially_copyable_v<saved_orbit>);

// Writes the orbit files, each on whichever rank and thread is free, then the
// writer reports them in order: the summary line on standard output, failures on
// standard error. False on every rank when a file could not be created or written
// (the run must stop); the files after it, written but never announced, are removed.
bool run_saves(job& j, const char* program, const std::vector<save_task>& tasks, const integrator& how) {
    const long n = long(tasks.size());
    std::vector<std::string> names;
    for (const save_task& t : tasks) names.push_back(t.name);
    watch_orbit_files(names);
    std::vector<saved_orbit> done(n);
    if (n > 0)  // an empty vector's data() may be null, which memset must not get
        std::memset(static_cast<void*>(done.data()), 0, n * sizeof(saved_orbit));
    j.share(n, [&](long i) { done[i] = save_one(*tasks[i].model, tasks[i].name, tasks[i].init, how); });
    j.merge(done.data(), n * sizeof(saved_orbit));
    watch_orbit_files({});
    if (!j.writer()) return j.agree(-1) == -1;  // the writer says whether the run goes on
    bool ok = true;
    for (long i = 0; i < n && ok; ++i) {
        const save_task& t = tasks[i];
        const saved_orbit& r = done[i];
        switch (r.status) {
        case saved_orbit::ok:
            print_summary(stdout, t.name, r.dl);
            continue;
        case saved_orbit::integration_failed:
            std::fprintf(stderr, "%s: %s: integration failed at t = %.6g; the orbit file ends there\n",
                         program, printable(t.name).c_str(), r.t_fail);
            continue;
        case saved_orbit::cannot_create:
            cannot_create(program, t.name, r.error);
            break;
        case saved_orbit::cannot_write:
            cannot_write(program, t.name, r.error);
            break;
        }
        flush_stdout(program);  // the summaries before the failure are true
        for (long k = i + 1; k < n; ++k)
            if (done[k].status == saved_orbit::ok || done[k].status == saved_orbit::integration_failed)
                std::remove(tasks[k].name.c_str());
        ok = false;
    }
    ok = ok && flush_stdout(program);
    return j.agree(ok ? -1 : 2) == -1;
}

// Start-up on every rank. The writer alone reads the setup and takes the seed,
// and every rank receives the parameters, the generator and the run length from
// it: ranks that read the file themselves could disagree (a clock seed taken in
// two different seconds, a file edited in between), and a row would then pair
// one star's L0 with another star's end. The other ranks print nothing.
int start_everywhere(const job& j, int argc, char** argv, const program_info& info, run_start& run) {
    int status = -1;
    if (j.writer()) {
        status = j.agree(startup(argc, argv, info, run));
    } else {
        prepare_process(info.name, false);
        const command_line c = parse_command_line(argc, argv);  // the same words as the writer's
        run.setup = c.setup;
        run.how = c.how;
        status = j.agree(-1);  // the writer's status, as every rank learns it
    }
    if (status != -1) return status;
    static_assert(std::is_trivially_copyable_v<params> && std::is_trivially_copyable_v<rand48>);
    j.broadcast(&run.p, sizeof run.p);
    j.broadcast(&run.g, sizeof run.g);
    j.broadcast(&run.tmax, sizeof run.tmax);
    return -1;
}

}  // namespace

int run_survey(int argc, char** argv, const survey_program& prog) {
    const char* program = prog.info.name;
    const survey_kind& kind = prog.kind;
    if (!job::distributes() && !run_alone(program, "this build has no MPI")) return 0;
    job j;
    // left before the job is: the run's status is known by then
    const struct released { ~released() { release_stop_signals(); } } on_return;
    run_start run;
    if (int status = start_everywhere(j, argc, argv, prog.info, run); status >= 0) return status;
    params& p = run.p;
    const std::string& setup = run.setup;
    // the writer alone opens the table; every rank ends with the status the writer ends with
    line_file table;
    if (j.agree(j.writer() && !table.open(program, setup + prog.table_suffix) ? 2 : -1) != -1) return 2;
    const auto close_table = [&] { return j.agree(!j.writer() || table.close() ? complete_status(j.size()) : 2); };
    if (p.nstars <= 0) {
        if (j.writer())
            std::fprintf(stderr, "%s: nstars is %d: no star drawn, the table is empty and no orbit file is written\n",
                         program, p.nstars);
        return close_table();
    }

    // fixed size: memory does not grow with nstars
    std::vector<body_end> ends(std::size_t(kind.bodies) * survey_batch);
    std::vector<save_task> saves;
    long saved = 0;
    survey_star last;  // the last star drawn: its orbit is saved when no other is
    int status = -1;
    progress bar(program, p.nstars, "stars");
    // every body of every star is an independent integration, run by whichever rank
    // and thread is free; every rank then holds every result
    const auto share = [&](long tasks, auto&& body) {
        std::memset(static_cast<void*>(ends.data()), 0, tasks * sizeof(body_end));
        j.share_taken(tasks, body);
        j.merge(ends.data(), tasks * sizeof(body_end));
    };
    const auto kept = [&](const survey_star* batch, long task) {
        const survey_star& s = batch[task / kind.bodies];
        const int b = int(task % kind.bodies);
        ends[task].end = s.end[b];
        ends[task].ok = s.ok[b];
    };
    // rows in star order by the writer; the save decisions and numbers on every rank
    const auto done = [&](long first, int n, survey_star* batch) {
        bool writing = j.writer();  // until a row cannot be written
        saves.clear();
        for (int i = 0; i < n; ++i) {
            survey_star& s = batch[i];
            for (int b = 0; b < kind.bodies; ++b) {
                s.end[b] = ends[i * kind.bodies + b].end;
                s.ok[b] = ends[i * kind.bodies + b].ok != 0;
                if (!s.ok[b] && writing)
                    std::fprintf(stderr, "%s: star %ld%s: integration failed at t = %.6g; its values print as nan\n",
                                 program, first + i, b ? " (twin)" : "", s.end[b].t);
            }
            double row[4] = {};
            const bool kept = star_row(p, kind, s, row);
            if (writing) {
                std::fprintf(table.f, prog.row_format, shown(row[0]), shown(row[1]), shown(row[2]), shown(row[3]));
                writing = table.commit();
                if (!writing) break;
            }
            if (kept)
                for (int b = 0; b < kind.bodies; ++b)
                    saves.push_back({orbit_name(setup, saved++, prog.orbit_suffix), &s.model, s.init[b]});
        }
        last = batch[n - 1];
        if (j.agree(j.writer() && !writing ? 2 : -1) != -1) return status = 2, false;
        if (!run_saves(j, program, saves, run.how)) return table.abandon(), status = 2, false;
        if (j.writer()) bar.update(first + n);
        return true;
    };
    if (!run_survey_batches(p, run.g, kind, run.tmax, run.how, nullptr, share, kept, done)) return status;
    if (j.writer()) bar.finish();
    if (saved == 0) {  // every run leaves at least one orbit file: the last star's, without a twin
        saves.assign(1, {orbit_name(setup, 0, prog.orbit_suffix), &last.model, last.init[0]});
        if (!run_saves(j, program, saves, run.how)) return table.abandon(), 2;
    }
    return close_table();
}
