#include "output.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <chrono>
#include <cmath>
#include <cstdint>

#include "galaxy.h"

double residual(double x) {
    // whole turns truncated toward zero, kept in a double so that n + n cannot overflow
    const double n = std::trunc(x / twopi);
    const double y = x + (-pi) * (n + n);
    if (y > twopi) return y - twopi;
    if (y < 0) return y + twopi;
    return y;
}

double get_mean(const double* a, int n) {
    double s = 0;
    for (int i = 0; i < n; ++i) s = s + a[i];
    return s / n;
}

double get_sig(const double* a, int n) {
    double s2 = 0;
    for (int i = 0; i < n; ++i) s2 = s2 + a[i] * a[i];
    const double m = get_mean(a, n);
    const double var = (s2 / n) - (m * m);
    // the one-pass variance of equal values can round below zero: the spread is 0
    if (var < 0) return 0;
    return std::sqrt(var);
}

double findmin(const double* a, int n) {
    double m = a[0];
    for (int i = 0; i < n; ++i)
        if (m > a[i]) m = a[i];
    return m;
}

double findmax(const double* a, int n) {
    double m = a[0];
    for (int i = 0; i < n; ++i)
        if (a[i] > m) m = a[i];
    return m;
}

void coordrot(const orbit_state& s, double* xr, double* yr, double* vxr, double* vyr, double omega) {
    const double t = s.t, x = s.w[0], y = s.w[1], vx = s.w[3], vy = s.w[4];
    const double phi = std::atan2(y, x);
    const double r = std::sqrt(x * x + y * y);
    const double v_r = (vx * x + vy * y) / r;
    const double v_t = (vy * x + (-vx) * y) / r;
    const double phir = residual(phi - omega * t);
    *xr = std::cos(phir) * r;
    *yr = std::sin(phir) * r;
    *vxr = (*xr * v_r - *yr * v_t) / r;
    *vyr = (*yr * v_r + *xr * v_t) / r;
}

double get_ll(orbit_state s) {
    const double x = s.w[0], y = s.w[1], vx = s.w[3], vy = s.w[4];
    const double r = std::sqrt(x * x + y * y);
    return r * ((vy * x) / r + ((-vx) * y) / r);  // not x vy - y vx: the same bits as the record line
}

record_line measure(const params& p, const orbit_state& s) {
    const double t = s.t, x = s.w[0], y = s.w[1], vx = s.w[3], vy = s.w[4];
    record_line q;
    q.r = std::sqrt(x * x + y * y);
    const double r = q.r;
    q.phi = residual(std::atan2(y, x));
    q.u = -((vx * x) / r + (vy * y) / r);  // radial velocity, positive inwards
    const double vc = vc_0(p, r);
    const double v_phi = (vy * x) / r + ((-vx) * y) / r;
    q.dv = v_phi - vc;
    q.L = r * v_phi;
    q.KE = 0.5 * (vx * vx + vy * vy);
    q.p0 = gphi0(p, r, 0);
    const double kq = kratio(p);
    q.theta1 = residual(std::atan2(-q.u, kq * q.dv));
    // epicycle: velocity amplitude over v_c, and the radial action J = kappa/Omega L e^2 / 2
    q.e = std::sqrt(q.dv * q.dv + (q.u * q.u) / (kq * kq)) / vc;
    q.J = (((kq * q.L) * q.e) * q.e) / 2;
    for (int k = 0; k < p.npatterns; ++k) {
        q.pk[k] = phi1(p, k, r, q.phi, 0, t);
        q.fk[k] = residual(p.Omegas[k] * t + p.phi0[k]);
    }
    return q;
}

namespace {

inline constexpr const char* indexed_lead = "%d %.4e %.4e %.4e %.4e %.4e ";
inline constexpr const char* indexed_four = "%.4e %.4e %.4e %.4e ";
inline constexpr const char* indexed_two = "%.4e %.4e ";
inline constexpr const char* plain_lead = "%.3e %.3e %.3e %.3e %.3e ";
inline constexpr const char* plain_four = "%.3e %.3e %.3e %.3e ";
inline constexpr const char* plain_two = "%.3e %.3e ";

void print_tail(std::FILE* f, const params& p, const record_line& q, const char* four, const char* two) {
    std::fprintf(f, four, shown(q.r), shown(q.phi), shown(q.u), shown(q.dv));
    std::fprintf(f, four, shown(q.L), shown(q.J), shown(q.e), shown(q.theta1));
    std::fprintf(f, two, shown(q.KE), shown(q.p0));
    for (int k = 0; k < p.npatterns; ++k) std::fprintf(f, two, shown(q.pk[k]), shown(q.fk[k]));
    std::fputs("\n", f);
}

}  // namespace

void print_stuff(std::FILE* f, const params& p, int index, orbit_state s) {
    const record_line q = measure(p, s);
    std::fprintf(f, indexed_lead, index, shown(s.t / twopi), shown(s.w[0]), shown(s.w[1]), shown(s.w[3]),
                 shown(s.w[4]));
    print_tail(f, p, q, indexed_four, indexed_two);
}

void print_stuff(std::FILE* f, const params& p, orbit_state s) {
    const record_line q = measure(p, s);
    std::fprintf(f, plain_lead, shown(s.t), shown(s.w[0]), shown(s.w[1]), shown(s.w[3]), shown(s.w[4]));
    print_tail(f, p, q, plain_four, plain_two);
}

int write_error(std::FILE* f) {
    if (!std::ferror(f)) return 0;
    return errno ? errno : EIO;
}

output_times orbit_file_times(const params& p) { return output_times::every(p.dt_int, p.nsteps); }

namespace {
inline constexpr int temporary_letters = 6;      // 62^6 = 5.7e10 names per stem
inline constexpr int temporary_attempts = 1000;  // names found taken before giving up
}  // namespace

std::string temporary_name(const std::string& stem, const char* suffix, std::uint64_t& draw) {
    static constexpr char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    // splitmix64: every state gives a well-mixed word, whatever the seed
    draw += 0x9E3779B97F4A7C15ull;
    std::uint64_t z = draw;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z = z ^ (z >> 31);
    std::string name = stem + ".";
    for (int i = 0; i < temporary_letters; ++i, z /= 62) name += letters[z % 62];
    return name + suffix;
}

namespace {
// Threads now inside the creation of a temporary, and whether creation is closed.
// Both sequentially consistent: a creator that finds it open has its count seen by
// the closer, who then waits for it; a creator that finds it closed creates nothing.
std::atomic<int> creating{0};
std::atomic<bool> closed{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

int open_temporary(const std::string& stem, const char* suffix, std::string& name, std::uint64_t& draw) {
    for (int attempt = 0; attempt < temporary_attempts; ++attempt) {
        name = temporary_name(stem, suffix, draw);
        // O_EXCL fails on any name that exists, a link included (dangling or not)
        const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}
}  // namespace

int create_temporary(const std::string& stem, const char* suffix, std::string& name, std::uint64_t& draw) {
    // no signal handler runs on this thread while it names a file: a handler that
    // closes creation would otherwise wait for this very thread
    sigset_t all, was;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &was);
    creating.fetch_add(1);
    if (closed.load()) {
        creating.fetch_sub(1);
        for (;;) pause();  // the process is ending; its stop removes what is left
    }
    const int fd = open_temporary(stem, suffix, name, draw);
    const int error = errno;
    creating.fetch_sub(1);
    pthread_sigmask(SIG_SETMASK, &was, nullptr);
    errno = error;
    return fd;
}

void close_temporaries() {
    closed.store(true);
    const timespec tick = {0, 1000000};
    for (int waited = 0; creating.load() != 0 && waited < 5000; ++waited) nanosleep(&tick, nullptr);
}

std::uint64_t unforeseeable_draw() {
    std::uint64_t seed = 0;
    if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) == ssize_t(sizeof seed)) return seed;
    // no entropy yet (early boot): the clock, the process and the stack still differ per call
    const std::uint64_t t = std::uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
    return t ^ (std::uint64_t(getpid()) << 32) ^ std::uint64_t(reinterpret_cast<std::uintptr_t>(&seed));
}

saved_orbit save_one(const params& p, const std::string& path, orbit_state s, const integrator& how) {
    saved_orbit out;
    std::string part;
    std::uint64_t draw = unforeseeable_draw();
    const int fd = create_temporary(path, orbit_part_suffix, part, draw);
    std::FILE* f = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (!f) {
        out.status = saved_orbit::cannot_create;
        out.error = errno;
        if (fd >= 0) {
            close(fd);
            std::remove(part.c_str());
        }
        return out;
    }
    std::fputs(orbit_header1, f);
    std::fputs(orbit_header2, f);
    const double L0 = get_ll(s);
    print_stuff(f, p, s);
    // the reason of a failed write is taken right after the line that met it, before
    // anything else can overwrite errno
    int error = write_error(f);
    const output_times times = orbit_file_times(p);
    const long reached = error ? 0 : follow_times(p, how, s, times, [&](long, const orbit_state& at) {
        print_stuff(f, p, at);
        return !(error = write_error(f));
    });
    if (reached < times.count && !error) {
        out.status = saved_orbit::integration_failed;
        out.t_fail = s.t;
    }
    if (!error && std::fflush(f) != 0) error = write_error(f);
    if (std::fclose(f) != 0 && !error) error = errno ? errno : EIO;
    if (error) {
        out.status = saved_orbit::cannot_write;
        out.error = error;
        std::remove(part.c_str());
        return out;
    }
    if (std::rename(part.c_str(), path.c_str()) != 0) {  // a folder of that name, say
        out.status = saved_orbit::cannot_create;
        out.error = errno;
        std::remove(part.c_str());
        return out;
    }
    out.L1 = get_ll(s);
    out.dl = out.L1 - L0;
    return out;
}

void print_summary(std::FILE* out, const std::string& path, double dl) {
    std::fprintf(out, "%s dl = %.3f\n", path.c_str(), shown(dl));
}

std::string orbit_name(const std::string& setup, long count, const char* suffix) {
    return setup + "_" + std::to_string(count) + suffix;
}
