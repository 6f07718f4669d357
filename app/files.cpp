#include "files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "output.h"

void cannot_create(const char* program, const std::string& path, int error) {
    std::fprintf(stderr, "%s: %s: cannot create: %s\n", program, path.c_str(), std::strerror(error));
}

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
