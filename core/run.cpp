#include "run.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <vector>

#include "integrator.h"

namespace {
void cannot_create(const char* program, const std::string& path, int error) {
    std::fprintf(stderr, "%s: %s: cannot create: %s\n", program, path.c_str(), std::strerror(error));
}
}  // namespace

std::FILE* open_output(const char* program, const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) cannot_create(program, path, errno);
    return f;
}

namespace {

// An orbit file to write for a saved star (or its twin).
struct save_task {
    std::string name;
    const params* model;
    orbit_state init;
    saved_orbit result;
};

// Writes the orbit files in parallel, then reports them in order: the summary
// line on standard output, failures on standard error. False when a file could
// not be created (the run must stop).
bool run_saves(const char* program, std::vector<save_task>& tasks) {
    const long n = long(tasks.size());
#pragma omp parallel for schedule(dynamic, 1)
    for (long i = 0; i < n; ++i) tasks[i].result = save_one(*tasks[i].model, tasks[i].name, tasks[i].init);
    for (const save_task& t : tasks) {
        switch (t.result.status) {
        case saved_orbit::ok:
            print_summary(stdout, t.name, t.result.dl);
            break;
        case saved_orbit::cannot_create:
            cannot_create(program, t.name, t.result.error);
            return false;
        case saved_orbit::integration_failed:
            std::fprintf(stderr, "%s: %s: integration failed at t = %.6g; the orbit file ends there\n",
                         program, t.name.c_str(), t.result.t_fail);
            break;
        }
    }
    std::fflush(stdout);
    return true;
}

}  // namespace

int run_survey(int argc, char** argv, const survey& kind) {
    const char* program = kind.info.name;
    run_start run;
    if (int status = startup(argc, argv, kind.info, run); status >= 0) return status;
    params& p = run.p;
    rand48& g = run.g;
    const double tmax = run.tmax;
    const std::string& setup = run.setup;
    std::FILE* table = open_output(program, setup + kind.table_suffix);
    if (!table) return 2;
    if (p.nstars <= 0) {
        std::fprintf(stderr, "%s: nstars is %d: no star drawn, the table is empty and no orbit file is written\n",
                     program, p.nstars);
        std::fclose(table);
        return 1;
    }

    std::vector<survey_star> batch(survey_batch);  // fixed size: memory does not grow with nstars
    std::vector<save_task> saves;
    long saved = 0;
    progress bar(program, p.nstars, "stars");
    for (long first = 0; first < p.nstars; first += survey_batch) {
        const int n = int(std::min<long>(survey_batch, p.nstars - first));
        for (int i = 0; i < n; ++i) draw_star(p, g, batch[i]);  // every random number, in star order
        // every body of every star is an independent integration
#pragma omp parallel for schedule(dynamic, 1)
        for (int task = 0; task < kind.bodies * n; ++task)
            follow_star(batch[task / kind.bodies], task % kind.bodies, tmax);
        saves.clear();
        for (int i = 0; i < n; ++i) {
            survey_star& s = batch[i];
            const double L0 = get_ll(s.init[0]);
            double L[2];
            for (int b = 0; b < kind.bodies; ++b) {
                if (!s.ok[b])
                    std::fprintf(stderr, "%s: star %ld%s: integration failed at t = %.6g; its values print as nan\n",
                                 program, first + i, b ? " (twin)" : "", s.end[b].t);
                L[b] = final_l(s, b);
            }
            kind.write_row(table, L0, L, s.end);
            std::fflush(table);
            const double dL = L[0] - L0;  // the star's change alone decides, never the twin's
            if (p.l_min < dL && dL < p.l_max)
                for (int b = 0; b < kind.bodies; ++b)
                    saves.push_back({orbit_name(setup, saved++, kind.orbit_suffix), &s.model, s.init[b], {}});
        }
        if (!run_saves(program, saves)) return 2;
        bar.update(first + n);
    }
    bar.finish();
    if (saved == 0) {  // every run leaves at least one orbit file: the last star's, without a twin
        const survey_star& last = batch[(p.nstars - 1) % survey_batch];
        saves.assign(1, {orbit_name(setup, 0, kind.orbit_suffix), &last.model, last.init[0], {}});
        if (!run_saves(program, saves)) return 2;
    }
    std::fclose(table);
    return 1;
}

progress::progress(const char* program, long total, const char* unit)
    : program_(program), total_(total), unit_(unit), on_(isatty(STDERR_FILENO) == 1),
      start_(std::chrono::steady_clock::now()), last_(start_) {}

void progress::update(long done) {
    if (!on_) return;
    const auto now = std::chrono::steady_clock::now();
    if (done < total_ && now - last_ < std::chrono::milliseconds(250)) return;
    last_ = now;
    const double secs = std::chrono::duration<double>(now - start_).count();
    const double rate = secs > 0 ? done / secs : 0;
    const double left = rate > 0 ? (total_ - done) / rate : 0;
    std::fprintf(stderr, "\r%s: %ld of %ld %s, %.1f/s, %.0f s left   ", program_, done, total_, unit_,
                 rate, left);
    std::fflush(stderr);
}

void progress::finish() {
    if (on_) std::fputs("\n", stderr);
}
