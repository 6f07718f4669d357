#include "run.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "integrator.h"
#include "ranks.h"

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
    std::vector<saved_orbit> done(n);
    if (n > 0)  // an empty vector's data() may be null, which memset must not get
        std::memset(static_cast<void*>(done.data()), 0, n * sizeof(saved_orbit));
    j.share(n, [&](long i) { done[i] = save_one(*tasks[i].model, tasks[i].name, tasks[i].init, how); });
    j.merge(done.data(), n * sizeof(saved_orbit));
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
                         program, t.name.c_str(), r.t_fail);
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

// Start-up on every rank. Only the writer's lines are seen: the other ranks never
// print on standard output, and hold back their messages unless they alone fail
// (a setup the writer read but they cannot).
int start_everywhere(const job& j, int argc, char** argv, const program_info& info, run_start& run) {
    if (j.writer()) {
        const int own = startup(argc, argv, info, run);
        const int writers = j.agree(own);
        return writers != -1 ? writers : j.agree(own);
    }
    std::fflush(stdout);
    if (const int null = open("/dev/null", O_WRONLY); null >= 0) {
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    std::fflush(stderr);
    std::FILE* held = std::tmpfile();
    const int err = held ? dup(STDERR_FILENO) : -1;
    if (err >= 0) dup2(fileno(held), STDERR_FILENO);
    const int own = startup(argc, argv, info, run);
    std::fflush(stderr);
    if (err >= 0) {
        dup2(err, STDERR_FILENO);
        close(err);
    }
    const int writers = j.agree(-1);  // the writer's status, as every rank learns it
    const int status = writers != -1 ? writers : j.agree(own);
    if (held) {
        if (writers == -1 && own != -1) {  // this rank alone could not start: say why
            std::rewind(held);
            char buf[4096];
            for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, held)) > 0;) std::fwrite(buf, 1, n, stderr);
        }
        std::fclose(held);
    }
    return status;
}

}  // namespace

int run_survey(int argc, char** argv, const survey& kind) {
    const char* program = kind.info.name;
    if (!job::distributes() && !run_alone(program, "this build has no MPI")) return 0;
    job j;
    run_start run;
    if (int status = start_everywhere(j, argc, argv, kind.info, run); status >= 0) return status;
    params& p = run.p;
    rand48& g = run.g;
    const double tmax = run.tmax;
    const std::string& setup = run.setup;
    // the writer alone opens the table; every rank ends with the status the writer ends with
    line_file table;
    if (j.agree(j.writer() && !table.open(program, setup + kind.table_suffix) ? 2 : -1) != -1) return 2;
    const auto close_table = [&] { return j.agree(!j.writer() || table.close() ? 1 : 2); };
    if (p.nstars <= 0) {
        if (j.writer())
            std::fprintf(stderr, "%s: nstars is %d: no star drawn, the table is empty and no orbit file is written\n",
                         program, p.nstars);
        return close_table();
    }

    // fixed size: memory does not grow with nstars
    std::vector<survey_star> batch(survey_batch);
    std::vector<body_end> ends(std::size_t(kind.bodies) * survey_batch);
    std::vector<follower> runs(std::size_t(kind.bodies) * survey_batch);  // the fast mode's, one per body
    std::vector<save_task> saves;
    long saved = 0;
    progress bar(program, p.nstars, "stars");
    for (long first = 0; first < p.nstars; first += survey_batch) {
        const int n = int(std::min<long>(survey_batch, p.nstars - first));
        // every rank draws every star: every random number, in star order
        for (int i = 0; i < n; ++i) draw_star(p, g, batch[i]);
        // every body of every star is an independent integration, run by whichever
        // rank and thread is free; every rank then holds every result
        const int tasks = kind.bodies * n;
        std::memset(static_cast<void*>(ends.data()), 0, tasks * sizeof(body_end));
        const auto keep = [&](long task) {
            const survey_star& s = batch[task / kind.bodies];
            const int b = int(task % kind.bodies);
            ends[task].end = s.end[b];
            ends[task].ok = s.ok[b];
        };
        if (run.how.kind == method::dop853) {  // stars in the lanes of each thread
            j.share_taken(tasks, [&](auto&& take) {
                follow_stars_fast(batch.data(), kind.bodies, tmax, run.how, nullptr, runs.data(), take, keep);
            });
        } else {
            j.share(tasks, [&](long task) {
                survey_star& s = batch[task / kind.bodies];
                follow_star(s, int(task % kind.bodies), tmax, nullptr, run.how);
                keep(task);
            });
        }
        j.merge(ends.data(), tasks * sizeof(body_end));
        // rows in star order by the writer; the save decisions and numbers on every rank
        bool writing = j.writer();  // until a row cannot be written
        saves.clear();
        for (int i = 0; i < n; ++i) {
            survey_star& s = batch[i];
            const double L0 = get_ll(s.init[0]);
            double L[2];
            for (int b = 0; b < kind.bodies; ++b) {
                s.end[b] = ends[i * kind.bodies + b].end;
                s.ok[b] = ends[i * kind.bodies + b].ok != 0;
                if (!s.ok[b] && writing)
                    std::fprintf(stderr, "%s: star %ld%s: integration failed at t = %.6g; its values print as nan\n",
                                 program, first + i, b ? " (twin)" : "", s.end[b].t);
                L[b] = final_l(s, b);
            }
            if (writing) {
                kind.write_row(table.f, L0, L, s.end);
                writing = table.commit();
                if (!writing) break;
            }
            const double dL = L[0] - L0;  // the star's change alone decides, never the twin's
            if (p.l_min < dL && dL < p.l_max)
                for (int b = 0; b < kind.bodies; ++b)
                    saves.push_back({orbit_name(setup, saved++, kind.orbit_suffix), &s.model, s.init[b]});
        }
        if (j.agree(j.writer() && !writing ? 2 : -1) != -1) return 2;
        if (!run_saves(j, program, saves, run.how)) return table.abandon(), 2;
        if (j.writer()) bar.update(first + n);
    }
    if (j.writer()) bar.finish();
    if (saved == 0) {  // every run leaves at least one orbit file: the last star's, without a twin
        const survey_star& last = batch[(p.nstars - 1) % survey_batch];
        saves.assign(1, {orbit_name(setup, 0, kind.orbit_suffix), &last.model, last.init[0]});
        if (!run_saves(j, program, saves, run.how)) return table.abandon(), 2;
    }
    return close_table();
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
