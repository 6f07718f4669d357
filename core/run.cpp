#include "run.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

std::FILE* open_output(const char* program, const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) std::fprintf(stderr, "%s: %s: cannot create: %s\n", program, path.c_str(), std::strerror(errno));
    return f;
}

void draw_star(params& p, rand48& g, drawn_star& d) {
    do_one(d.init, p, g);
    for (int k = 0; k < max_patterns; ++k) d.phi0[k] = p.phi0[k];
}

params star_params(const params& base, const drawn_star& d) {
    params p = base;
    for (int k = 0; k < max_patterns; ++k) p.phi0[k] = d.phi0[k];
    return p;
}

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
            std::fprintf(stderr, "%s: %s: cannot create: %s\n", program, t.name.c_str(),
                         std::strerror(t.result.error));
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
