#include "files.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include "output.h"
#include "ranks.h"

void cannot_create(const char* program, const std::string& path, int error) {
    std::fprintf(stderr, "%s: %s: cannot create: %s\n", program, printable(path).c_str(), std::strerror(error));
}

void cannot_write(const char* program, const std::string& path, int error) {
    std::fprintf(stderr, "%s: %s: cannot write: %s\n", program, printable(path).c_str(), std::strerror(error));
}

// ---- what a stop signal finds: the open tables, their committed bytes and rows.
// A signal handler reaches only process-wide state; this is the one place the
// programs keep any. Each table writes its counts into the slot's half that the
// handler is not told to read, then flips `half`: the handler never sees a pair
// caught between its two stores.

namespace {
inline constexpr int watched_tables = 2;  // orbspread's two files; a survey's one table

struct committed {
    long kept;
    long rows;
};
struct watched {
    std::atomic<int> fd{-1};
    std::atomic<const char*> path{nullptr};  // printable, owned by the line_file
    std::atomic<const char*> unit{nullptr};
    committed halves[2];
    std::atomic<unsigned> half{0};
};
watched tables[watched_tables];
std::string shown_paths[watched_tables];
const char* stop_program = "";
bool stop_reporter = false;
bool stop_launched = false;  // a rank of a job started by an MPI launcher
pthread_t main_thread;
long main_task = 0;

// the temporaries of the orbit files being written: their folder and final base names
std::string orbit_folder;
std::vector<std::string> orbit_bases;
std::atomic<int> orbit_count{0};

static_assert(std::atomic<int>::is_always_lock_free && std::atomic<const char*>::is_always_lock_free &&
              std::atomic<unsigned>::is_always_lock_free);

int watch(int fd, const std::string& path, const char* unit) {
    for (int i = 0; i < watched_tables; ++i) {
        if (tables[i].fd.load() >= 0) continue;
        shown_paths[i] = printable(path);
        tables[i].path = shown_paths[i].c_str();
        tables[i].unit = unit;
        tables[i].halves[0] = tables[i].halves[1] = {0, 0};
        tables[i].fd = fd;
        return i;
    }
    return -1;
}

void publish(int slot, long kept, long rows) {
    if (slot < 0) return;
    watched& w = tables[slot];
    const unsigned next = w.half.load() ^ 1u;
    w.halves[next] = {kept, rows};
    w.half.store(next);
}

void unwatch(int& slot) {
    if (slot >= 0) tables[slot].fd = -1;
    slot = -1;
}

// Async-signal-safe pieces of the one line a stop signal prints.
struct line_buffer {
    char text[1024];
    std::size_t n = 0;
    void add(const char* s) {
        while (*s && n < sizeof text - 1) text[n++] = *s++;
    }
    void add(long v) {
        char digits[24];
        int k = 0;
        unsigned long u = v < 0 ? 0ul - static_cast<unsigned long>(v) : static_cast<unsigned long>(v);
        do digits[k++] = char('0' + u % 10); while ((u /= 10) != 0);
        if (v < 0) digits[k++] = '-';
        while (k > 0 && n < sizeof text - 1) text[n++] = digits[--k];
    }
};

// Removes NAME.XXXXXX.part for every watched NAME, with system calls alone (a
// signal handler may not use opendir).
void remove_temporaries() {
    const int n = orbit_count.load();
    if (n == 0) return;
    const int dir = ::open(orbit_folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return;
    const std::size_t part = std::strlen(orbit_part_suffix);
    alignas(8) char buf[8192];
    for (long got; (got = syscall(SYS_getdents64, dir, buf, sizeof buf)) > 0;) {
        for (long at = 0; at < got;) {
            // struct linux_dirent64: inode (8), offset (8), record length (2), type (1), name
            unsigned short length;
            std::memcpy(&length, buf + at + 16, sizeof length);
            const char* name = buf + at + 19;
            const std::size_t len = std::strlen(name);
            for (int i = 0; i < n; ++i) {
                const std::string& base = orbit_bases[i];
                const std::size_t b = base.size();
                if (len == b + 1 + 6 + part && std::memcmp(name, base.data(), b) == 0 && name[b] == '.' &&
                    std::memcmp(name + b + 7, orbit_part_suffix, part) == 0) {
                    (void)unlinkat(dir, name, 0);
                    break;
                }
            }
            at += length;
        }
    }
    ::close(dir);
}

const char* signal_name(int sig) {
    return sig == SIGINT ? "SIGINT" : sig == SIGTERM ? "SIGTERM" : sig == SIGHUP ? "SIGHUP" : "a signal";
}

void on_stop(int sig) {
    // the main thread writes the tables: it alone cuts them, between two of its writes
    if (syscall(SYS_gettid) != main_task) {
        pthread_kill(main_thread, sig);
        return;
    }
    line_buffer line;
    line.add(stop_program);
    line.add(": stopped by ");
    line.add(signal_name(sig));
    int shown = 0;
    for (watched& w : tables) {
        const int fd = w.fd.load();
        if (fd < 0) continue;
        const committed c = w.halves[w.half.load()];
        if (c.kept >= 0) (void)ftruncate(fd, c.kept);  // an uncommitted part of a row goes
        line.add(shown++ ? ", " : ": ");
        line.add(w.path.load());
        line.add(" holds ");
        line.add(c.rows);
        line.add(" whole ");
        line.add(w.unit.load());
    }
    if (!shown) line.add(" before any table was written");
    close_temporaries();   // no thread names a new one after the folder is read
    remove_temporaries();  // an orbit file is there whole, or not at all
    line.add("\n");
    if (stop_reporter) (void)!write(STDERR_FILENO, line.text, line.n);
    if (stop_launched) {
        // a launcher (mpirun) forwards standard error through a pipe that it stops
        // reading once it sees its ranks end: give it time to take the line
        const timespec drain = {0, 200000000};
        nanosleep(&drain, nullptr);
    }
    _exit(128 + sig);
}
}  // namespace

void prepare_process(const char* program, bool reporter) {
    guard_standard_streams();
    stop_program = program;
    stop_reporter = reporter;
    stop_launched = launched().size != 1;
    main_thread = pthread_self();
    main_task = syscall(SYS_gettid);
    std::signal(SIGXFSZ, SIG_IGN);
    struct sigaction stop = {};
    stop.sa_handler = on_stop;
    sigemptyset(&stop.sa_mask);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stop.sa_mask, sig);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction was;
        // a signal the run was started to ignore (nohup, or a script's 'cmd &') stays ignored
        if (sigaction(sig, nullptr, &was) == 0 && was.sa_handler == SIG_IGN) continue;
        sigaction(sig, &stop, nullptr);
    }
}

void watch_orbit_files(const std::vector<std::string>& names) {
    orbit_count = 0;
    orbit_bases.clear();
    for (const std::string& name : names) {
        const std::size_t slash = name.rfind('/');
        orbit_folder = slash == std::string::npos ? "." : slash == 0 ? "/" : name.substr(0, slash);
        orbit_bases.push_back(slash == std::string::npos ? name : name.substr(slash + 1));
    }
    orbit_count = int(orbit_bases.size());
}

void release_stop_signals() {
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction was;
        if (sigaction(sig, nullptr, &was) == 0 && was.sa_handler == on_stop) std::signal(sig, SIG_DFL);
    }
}

namespace {
// Opens a table for writing without emptying it yet; -1 after one line on standard error.
int open_table(const char* program, const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0 && errno == ELOOP) {
        // a symbolic link stands at the name: followed only when it is the user's own
        // (a link to another disc, or to /dev/null); in a shared folder one of
        // another user would have the run overwrite whatever it points to
        struct stat link;
        if (lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
            if (link.st_uid != geteuid()) {
                std::fprintf(stderr,
                             "%s: %s: cannot create: it is a symbolic link of another user (uid %ld); "
                             "a table is never written through it: remove it, or give the setup another name\n",
                             program, printable(path).c_str(), long(link.st_uid));
                return -1;
            }
            fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        } else {
            errno = ELOOP;
        }
    }
    if (fd < 0) {
        cannot_create(program, path, errno);
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        if (st.st_nlink > 1) {
            std::fprintf(stderr,
                         "%s: %s: cannot create: the file has %ld names (hard links); a table is never written "
                         "through a second name: remove it, or give the setup another name\n",
                         program, printable(path).c_str(), long(st.st_nlink));
            close(fd);
            return -1;
        }
        struct flock lock = {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;  // the whole file
        if (fcntl(fd, F_SETLK, &lock) != 0) {
            if (errno == EACCES || errno == EAGAIN) {
                struct flock holder = {};
                holder.l_type = F_WRLCK;
                holder.l_whence = SEEK_SET;
                const bool known = fcntl(fd, F_GETLK, &holder) == 0 && holder.l_type != F_UNLCK && holder.l_pid > 0;
                if (known)
                    std::fprintf(stderr,
                                 "%s: %s: another run (process %ld) is writing this table; wait for it to end, "
                                 "or give this run a setup of another name\n",
                                 program, printable(path).c_str(), long(holder.l_pid));
                else
                    std::fprintf(stderr,
                                 "%s: %s: another run is writing this table; wait for it to end, "
                                 "or give this run a setup of another name\n",
                                 program, printable(path).c_str());
                close(fd);
                return -1;
            }
            // a file system without locks (ENOLCK: an NFS mount without its lock
            // service): the table is written unlocked, as it would be by hand
        }
        if (ftruncate(fd, 0) != 0) {  // emptied only once it is this run's
            cannot_create(program, path, errno);
            close(fd);
            return -1;
        }
    }
    return fd;
}
}  // namespace

bool line_file::open(const char* prog, const std::string& name) {
    program = prog;
    path = name;
    kept = 0;
    rows = 0;
    error = 0;
    const int fd = open_table(program, path);
    if (fd < 0) return false;
    f = fdopen(fd, "w");
    if (!f) {
        cannot_create(program, path, errno);
        ::close(fd);
        return false;
    }
    slot = watch(fd, path, unit);
    return true;
}

void line_file::note() {
    if (!error) error = write_error(f);
}

bool line_file::commit(long added) {
    note();
    if (!error && std::fflush(f) != 0) error = write_error(f);
    if (!error) {
        kept = std::ftell(f);
        rows += added;
        publish(slot, kept, rows);
        return true;
    }
    cannot_write(program, path, error);
    abandon();
    return false;
}

bool line_file::close() {
    if (!commit(0)) return false;
    unwatch(slot);
    const int closed = std::fclose(f);
    f = nullptr;
    if (closed == 0) return true;
    cannot_write(program, path, errno ? errno : EIO);
    return false;
}

void line_file::abandon() {
    if (!f) return;
    unwatch(slot);
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
