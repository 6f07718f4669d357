#include "run.h"

#include <fcntl.h>
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

void cannot_write(const char* program, const std::string& path, int error) {
    std::fprintf(stderr, "%s: %s: cannot write: %s\n", program, path.c_str(), std::strerror(error));
}

bool line_file::open(const char* prog, const std::string& name) {
    program = prog;
    path = name;
    f = open_output(program, path);
    kept = 0;
    error = 0;
    return f != nullptr;
}

void line_file::note() {
    if (!error) error = write_error(f);
}

bool line_file::commit() {
    note();
    if (!error && std::fflush(f) != 0) error = write_error(f);
    if (!error) {
        kept = std::ftell(f);
        return true;
    }
    cannot_write(program, path, error);
    abandon();
    return false;
}

bool line_file::close() {
    if (!commit()) return false;
    const int closed = std::fclose(f);
    f = nullptr;
    if (closed == 0) return true;
    cannot_write(program, path, errno ? errno : EIO);
    return false;
}

void line_file::abandon() {
    if (!f) return;
    std::fclose(f);  // may push out part of an uncommitted line: cut it off below
    f = nullptr;
    if (kept >= 0) (void)truncate(path.c_str(), kept);  // a device cannot be cut: nothing to do
}

bool flush_stdout(const char* program) {
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return true;
    cannot_write(program, "standard output", errno ? errno : EIO);
    return false;
}

void guard_standard_streams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // open takes the lowest free number, which is fd: the lower ones are open by now
        const int null = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (null != fd && null >= 0) close(null);
    }
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
// not be created or written (the run must stop); the files after it, written
// but never announced, are removed.
bool run_saves(const char* program, std::vector<save_task>& tasks) {
    const long n = long(tasks.size());
#pragma omp parallel for schedule(dynamic, 1)
    for (long i = 0; i < n; ++i) tasks[i].result = save_one(*tasks[i].model, tasks[i].name, tasks[i].init);
    for (long i = 0; i < n; ++i) {
        const save_task& t = tasks[i];
        switch (t.result.status) {
        case saved_orbit::ok:
            print_summary(stdout, t.name, t.result.dl);
            continue;
        case saved_orbit::integration_failed:
            std::fprintf(stderr, "%s: %s: integration failed at t = %.6g; the orbit file ends there\n",
                         program, t.name.c_str(), t.result.t_fail);
            continue;
        case saved_orbit::cannot_create:
            cannot_create(program, t.name, t.result.error);
            break;
        case saved_orbit::cannot_write:
            cannot_write(program, t.name, t.result.error);
            break;
        }
        flush_stdout(program);  // the summaries before the failure are true
        for (long j = i + 1; j < n; ++j)
            if (tasks[j].result.status == saved_orbit::ok ||
                tasks[j].result.status == saved_orbit::integration_failed)
                std::remove(tasks[j].name.c_str());
        return false;
    }
    return flush_stdout(program);
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
    line_file table;
    if (!table.open(program, setup + kind.table_suffix)) return 2;
    if (p.nstars <= 0) {
        std::fprintf(stderr, "%s: nstars is %d: no star drawn, the table is empty and no orbit file is written\n",
                     program, p.nstars);
        return table.close() ? 1 : 2;
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
            kind.write_row(table.f, L0, L, s.end);
            if (!table.commit()) return 2;
            const double dL = L[0] - L0;  // the star's change alone decides, never the twin's
            if (p.l_min < dL && dL < p.l_max)
                for (int b = 0; b < kind.bodies; ++b)
                    saves.push_back({orbit_name(setup, saved++, kind.orbit_suffix), &s.model, s.init[b], {}});
        }
        if (!run_saves(program, saves)) return table.abandon(), 2;
        bar.update(first + n);
    }
    bar.finish();
    if (saved == 0) {  // every run leaves at least one orbit file: the last star's, without a twin
        const survey_star& last = batch[(p.nstars - 1) % survey_batch];
        saves.assign(1, {orbit_name(setup, 0, kind.orbit_suffix), &last.model, last.init[0], {}});
        if (!run_saves(program, saves)) return table.abandon(), 2;
    }
    return table.close() ? 1 : 2;
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
