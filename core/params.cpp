#include "params.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>

namespace {

inline constexpr int line_buffer = setup_line_bytes;

// One setup line: where it came from and what it holds.
struct setup_line {
    char text[line_buffer];
    int number;  // line of the file on which this setup line starts
};

struct line_reader {
    std::FILE* f;
    const std::string& path;
    std::FILE* diag;
    const char* program;
    std::vector<setup_value>* trace;
    int next_number = 1;  // file line on which the next read starts

    // Reads one setup line; false at the end of the file.
    bool read(setup_line& l) {
        if (!std::fgets(l.text, line_buffer, f)) return false;
        l.number = next_number;
        const std::size_t len = std::strlen(l.text);
        if (len == line_buffer - 1 && l.text[len - 1] != '\n') {
            const int c = std::fgetc(f);
            if (c != EOF) {  // the rest of this file line becomes the next setup line
                std::ungetc(c, f);
                // at exactly 179 characters that rest is the newline alone
                std::fprintf(diag,
                             c == '\n' ? "%s: %s:%d: warning: line of %d characters fills the line buffer; "
                                         "its newline is read as the next setup line, which is empty\n"
                                       : "%s: %s:%d: warning: line longer than %d characters; "
                                         "the rest is read as the next setup line\n",
                             program, path.c_str(), l.number, line_buffer - 1);
                return true;
            }
        }
        ++next_number;  // a whole line, or the last one without its newline
        return true;
    }

    // Reports why the setup line for `name` is not there: a read error (a folder
    // given as the setup file, say) or the end of the file.
    void missing(const char* name) const {
        if (std::ferror(f))
            std::fprintf(diag, "%s: %s: cannot read: %s\n", program, path.c_str(), std::strerror(errno));
        else
            std::fprintf(diag, "%s: %s:%d: %s: missing, the file ends after line %d\n", program,
                         path.c_str(), next_number, name, next_number - 1);
    }

    static std::string shown(const char* text) {
        std::string s(text);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        return s;
    }

    // A start that does not convert leaves v as it was, and is said.
    void not_converted(const setup_line& l, const char* name, const char* expected, double v) const {
        // A setup file has no comment lines: such a line still takes a value's place.
        std::fprintf(diag,
                     "%s: %s:%d: warning: %s: expected %s, got '%s'; keeping %.17g; "
                     "if the line was meant as a comment, every later value is read one "
                     "line off (%s --check %s shows them all)\n",
                     program, path.c_str(), l.number, name, expected, shown(l.text).c_str(), v,
                     program, path.c_str());
    }

    // Converts the start of the next setup line with "%lf"; text after the value is a
    // comment. A number that is not finite is taken as it stands, and said.
    bool real(const char* name, double& v) {
        setup_line l;
        if (!read(l)) return missing(name), false;
        double tmp;
        const bool converted = std::sscanf(l.text, "%lf", &tmp) == 1;
        if (converted) {
            v = tmp;
            if (!std::isfinite(v))
                warn(l.number, name, std::isnan(v) ? "nan is not a finite number; what depends on it "
                                                     "prints as nan or inf"
                                     : v > 0 ? "inf is not a finite number; what depends on it prints "
                                               "as nan or inf"
                                             : "-inf is not a finite number; what depends on it prints "
                                               "as nan or inf");
        } else {
            not_converted(l, name, "a number", v);
        }
        if (trace) trace->push_back({name, l.number, shown(l.text), converted, v});
        return true;
    }

    // An integer as "%d" or "%ld" reads it (blanks, a sign, decimal digits; the rest
    // is a comment), but a value beyond the type is refused: the conversion would
    // be undefined, and in practice wraps (4294967296 stars became 0).
    template <class T>
    bool integer(const char* name, T& v) {
        setup_line l;
        if (!read(l)) return missing(name), false;
        errno = 0;
        char* end;
        const long long n = std::strtoll(l.text, &end, 10);
        const bool converted = end != l.text;
        if (converted && (errno == ERANGE || n < std::numeric_limits<T>::min() ||
                          n > std::numeric_limits<T>::max())) {
            const char* digits = l.text + std::strspn(l.text, " \t\n\v\f\r");
            std::fprintf(diag, "%s: %s:%d: %s: %.*s is outside the integers from %lld to %lld\n", program,
                         path.c_str(), l.number, name, int(end - digits), digits,
                         (long long)std::numeric_limits<T>::min(), (long long)std::numeric_limits<T>::max());
            return false;
        }
        if (converted)
            v = static_cast<T>(n);
        else
            not_converted(l, name, "an integer", double(v));
        if (trace) trace->push_back({name, l.number, shown(l.text), converted, double(v)});
        return true;
    }

    void refuse(int line, const char* name, const char* reason) const {
        std::fprintf(diag, "%s: %s:%d: %s: %s\n", program, path.c_str(), line, name, reason);
    }
    void warn(int line, const char* name, const char* reason) const {
        std::fprintf(diag, "%s: %s:%d: warning: %s: %s\n", program, path.c_str(), line, name, reason);
    }
};

}  // namespace

bool read_setup_values(std::FILE* f, const std::string& path, params& p, std::FILE* diag,
                       const char* program, std::vector<setup_value>* trace) {
    line_reader in{f, path, diag, program, trace};
    const int gamma_line = in.next_number;
    if (!in.real("gamma_", p.gamma_)) return false;
    if (p.gamma_ <= -1)  // kappa^2 = 2 (1 + gamma_) Omega^2 is not positive
        in.warn(gamma_line, "gamma_", "at -1 or below the epicycle frequency kappa is not real: "
                "the columns J, e and theta1 of the record lines print as nan or inf");
    if (!in.real("NU", p.NU) || !in.real("mixtime", p.mixtime)) return false;
    const int dt_int_line = in.next_number;
    if (!in.real("dt_int", p.dt_int)) return false;
    const double dt = p.dt_int * twopi;  // as to_model_units will store it
    if (!std::isfinite(dt))
        return in.refuse(dt_int_line, "dt_int", "the run length must be finite"), false;
    const int nsteps_line = in.next_number;
    if (!in.integer("nsteps", p.nsteps)) return false;
    // the ensemble runs nsteps + 1 intervals: that count must be an int as well
    if (p.nsteps == std::numeric_limits<int>::max())
        return in.refuse(nsteps_line, "nsteps", "the run cannot hold 2147483647 output intervals"), false;
    if (!std::isfinite(dt * double(p.nsteps + 1)) || !std::isfinite(dt * p.nsteps))
        return in.refuse(nsteps_line, "nsteps", "with this dt_int the run length is not finite"), false;
    if (!in.integer("nstars", p.nstars) || !in.real("disp_u0", p.disp_u0) || !in.real("r_min", p.r_min))
        return false;
    const int r_max_line = in.next_number;
    if (!in.real("r_max", p.r_max)) return false;
    if (p.r_min == 0 && p.r_max == 0)
        return in.refuse(r_max_line, "r_max", "every star would start at r = 0, where its direction is "
                         "undefined"), false;
    // initial radii are uniform in [r_min, r_max]: an interval that holds 0 puts stars near the centre
    if (!(p.r_min > 0 && p.r_max > 0) && !(p.r_min < 0 && p.r_max < 0) && p.gamma_ < 0.5)
        in.warn(r_max_line, "r_max", "initial radii between r_min and r_max reach the centre, where the "
                "background's force is singular: stars started near it fail");
    if (!in.integer("lseed", p.lseed) || !in.integer("randp0", p.randp0) ||
        !in.real("l_min", p.l_min) || !in.real("l_max", p.l_max))
        return false;
    const int npatterns_line = in.next_number;
    if (!in.integer("npatterns", p.npatterns)) return false;
    if (p.npatterns > max_patterns) {
        std::fprintf(diag, "%s: %s:%d: npatterns: %d is more than the %d patterns a model holds\n",
                     program, path.c_str(), npatterns_line, p.npatterns, max_patterns);
        return false;
    }
    if (p.npatterns < 0)
        return in.refuse(npatterns_line, "npatterns", "a number of patterns cannot be negative"), false;
    for (int k = 0; k < p.npatterns; ++k) {
        if (!in.real("mm", p.mm[k]) || !in.real("epsilon", p.epsilon[k]) ||
            !in.real("phi0", p.phi0[k]) || !in.real("alpha", p.alpha[k]) ||
            !in.real("Omegas", p.Omegas[k]) || !in.real("growtime", p.growtime[k]) ||
            !in.real("starttime", p.starttime[k]) || !in.real("smin", p.smin[k]) || !in.real("smax", p.smax[k]) ||
            !in.real("wmin", p.wmin[k]) || !in.real("wmax", p.wmax[k]))
            return false;
    }
    return true;
}

void to_model_units(params& p) {
    p.dt_int = p.dt_int * twopi;
    for (int k = 0; k < p.npatterns; ++k) {
        p.phi0[k] = p.phi0[k] * deg2rad;
        p.growtime[k] = p.growtime[k] * twopi;
        p.starttime[k] = p.starttime[k] * twopi;
    }
}

void seed_run(const params& p, rand48& g) {
    seed48(g, p.lseed < 0 ? std::int64_t(std::time(nullptr)) : p.lseed);
}

bool readsetup(std::FILE* f, const std::string& path, params& p, rand48& g, std::FILE* out,
               std::FILE* diag, const char* program, std::vector<setup_value>* trace) {
    if (!read_setup_values(f, path, p, diag, program, trace)) return false;
    to_model_units(p);
    seed_run(p, g);
    std::fprintf(out, "file read in, npatterns=%d \n", p.npatterns);
    return true;
}

double run_end(const params& p, run_length kind) {
    return kind == run_length::spread ? p.dt_int * double(p.nsteps + 1) : p.dt_int * p.nsteps;
}

double norm(rand48& g) {
    for (;;) {
        const double d1 = next(g);
        const double u1 = (d1 + d1) - 1;
        const double d2 = next(g);
        const double u2 = (d2 + d2) - 1;
        const double s = u2 * u2 + u1 * u1;
        if (s >= 1 || s == 0) continue;
        // the second deviate, u2 * f, is not kept: every call starts afresh
        const double f = std::sqrt((-2 * std::log(s)) / s);
        return u1 * f;
    }
}

void do_one(orbit_state& s, params& p, rand48& g) {
    const double u = p.disp_u0 * norm(g);
    const double phi = twopi * next(g);
    const double r = p.r_min + next(g) * (p.r_max - p.r_min);  // uniform in r, not in area
    const double v_t = 1.0;  // unit tangential speed for every star, whatever the rotation curve
    const double v_r = -u;
    const double x = std::cos(phi) * r;
    const double y = std::sin(phi) * r;
    s.t = 0;
    s.w[0] = x;
    s.w[1] = y;
    s.w[2] = 0;
    s.w[3] = (v_r * x) / r - (v_t * y) / r;
    s.w[4] = (v_t * x) / r + (v_r * y) / r;
    s.w[5] = 0;
    p.n_particles = 1;
    p.number_equations = 6 * p.n_particles;
    if (p.randp0 == 1)
        for (int k = 1; k < p.npatterns; ++k) p.phi0[k] = twopi * next(g);
}
