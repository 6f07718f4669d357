#include "params.h"

#include "galaxy.h"
#include "output.h"

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cmath>
#include <cstring>
#include <limits>

// ---- the field table

namespace {
constexpr setup_field real_field(const char* name, const char* unit, const char* meaning,
                                 double params::*m, file_unit c = file_unit::none) {
    return {name, unit, meaning, field_type::real, c, m, nullptr, nullptr};
}
constexpr setup_field int_field(const char* name, const char* meaning, int params::*m) {
    return {name, "", meaning, field_type::integer, file_unit::none, nullptr, m, nullptr};
}
constexpr setup_field pattern_field(const char* name, const char* unit, const char* meaning,
                                    double (params::*m)[max_patterns], file_unit c = file_unit::none) {
    return {name, unit, meaning, field_type::real, c, nullptr, nullptr, m};
}
}  // namespace

const setup_field scalar_fields[scalar_count] = {
    real_field("gamma_", "", "slope of the rotation curve, v_c = r^gamma_ (0: flat)", &params::gamma_),
    real_field("NU", "", "not used", &params::NU),
    real_field("mixtime", "length", "orbspread: scale of the members' offsets (velocity: x 0.005)",
               &params::mixtime),
    real_field("dt_int", "orbits", "output interval", &params::dt_int, file_unit::orbits),
    int_field("nsteps", "number of output intervals", &params::nsteps),
    int_field("nstars", "stars drawn (orbspread: ensemble members, at most 210)", &params::nstars),
    real_field("disp_u0", "speed", "dispersion of the initial radial velocity (tangential speed 1)",
               &params::disp_u0),
    real_field("r_min", "length", "initial radii uniform between r_min ...", &params::r_min),
    real_field("r_max", "length", "... and r_max", &params::r_max),
    {"lseed", "", "random seed; negative: from the clock", field_type::seed, file_unit::none, nullptr,
     nullptr, nullptr},
    int_field("randp0", "1: fresh random phases of patterns 2, 3, ... for every star", &params::randp0),
    real_field("l_min", "ang. momentum", "orbit files for stars with l_min < dL < l_max", &params::l_min),
    real_field("l_max", "ang. momentum", "(both strict)", &params::l_max),
    int_field("npatterns", "spiral patterns, 0 to 10, then 11 lines for each:", &params::npatterns),
};

const setup_field block_fields[pattern_fields] = {
    pattern_field("mm", "", "number of arms", &params::mm),
    pattern_field("epsilon", "speed^2", "amplitude of the potential wave", &params::epsilon),
    pattern_field("phi0", "degrees", "phase: at t = 0 and r = 1, cos chi = 1 at phi = phi0", &params::phi0,
                  file_unit::degrees),
    pattern_field("alpha", "", "coefficient of ln r in the phase; alpha > 0 trails", &params::alpha),
    pattern_field("Omegas", "rad/time", "pattern speed, radians per model time unit", &params::Omegas),
    pattern_field("growtime", "orbits", "the wave grows linearly over growtime ...", &params::growtime,
                  file_unit::orbits),
    pattern_field("starttime", "orbits", "... from starttime on", &params::starttime, file_unit::orbits),
    pattern_field("smin", "length", "full amplitude between smin ...", &params::smin),
    pattern_field("smax", "length", "... and smax", &params::smax),
    pattern_field("wmin", "length", "Gaussian taper width inside smin", &params::wmin),
    pattern_field("wmax", "length", "Gaussian taper width outside smax", &params::wmax),
};

const setup_field* find_field(const char* name) {
    for (const setup_field& f : scalar_fields)
        if (std::strcmp(name, f.name) == 0) return &f;
    for (const setup_field& f : block_fields)
        if (std::strcmp(name, f.name) == 0) return &f;
    return nullptr;
}

double field_value(const params& p, const setup_field& f, int k) {
    if (f.pattern) return (p.*f.pattern)[k];
    if (f.real) return p.*f.real;
    if (f.integer) return p.*f.integer;
    return double(p.lseed);
}

void set_field(params& p, const setup_field& f, double v, int k) {
    if (f.pattern)
        (p.*f.pattern)[k] = v;
    else if (f.real)
        p.*f.real = v;
    else if (f.integer)
        p.*f.integer = int(v);
    else
        p.lseed = std::int64_t(v);
}

// ---- notes

std::string note_message(const std::string& path, const setup_note& n) {
    std::string s = path;
    if (n.line > 0) s += ":" + std::to_string(n.line);
    s += ": ";
    if (n.kind == setup_note::warning) s += "warning: ";
    return printable(s + n.text);
}

std::string printable(const std::string& text) {
    std::string s;
    s.reserve(text.size());
    for (const char c : text) {
        const unsigned char b = static_cast<unsigned char>(c);
        if ((b < 0x20 && b != '\t') || b == 0x7f) {
            static constexpr char hex[] = "0123456789abcdef";
            s += "\\x";
            s += hex[b >> 4];
            s += hex[b & 15];
        } else {
            s += c;
        }
    }
    return s;
}


void print_notes(std::FILE* diag, const char* program, const std::string& path,
                 const std::vector<setup_note>& notes) {
    for (const setup_note& n : notes) std::fprintf(diag, "%s: %s\n", program, note_message(path, n).c_str());
}

namespace {
std::string formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string formatted(const char* format, ...) {
    char buf[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    return buf;
}

void add(std::vector<setup_note>& notes, setup_note::kind_t kind, const char* name, const std::string& reason) {
    notes.push_back({kind, 0, std::string(name) + ": " + reason});
}
}  // namespace

void integer_limits(const setup_field& f, long long& lo, long long& hi) {
    if (f.type == field_type::seed) {
        lo = std::numeric_limits<std::int64_t>::min();
        hi = std::numeric_limits<std::int64_t>::max();
    } else {
        lo = std::numeric_limits<int>::min();
        hi = std::numeric_limits<int>::max();
    }
}

std::string integer_range_text(const setup_field& f, const std::string& digits) {
    long long lo, hi;
    integer_limits(f, lo, hi);
    return formatted("%s: %s is outside the integers from %lld to %lld", f.name, digits.c_str(), lo, hi);
}

bool envelope_vanishes(const params& p, int k) {
    // Each taper rises towards the flat annulus [smin, smax], so the envelope's largest
    // value over r > 0 is taken at one of these radii (or at the smallest positive one,
    // when the annulus and the inner taper lie at r <= 0). A width of 0 makes its taper
    // exactly 0; so does a Gaussian that has underflowed.
    const double smin = p.smin[k], smax = p.smax[k];
    const double candidates[] = {smin, std::nextafter(smin, -INFINITY), smax, std::nextafter(smax, INFINITY),
                                 std::numeric_limits<double>::denorm_min()};
    for (const double r : candidates)
        if (r > 0 && !(amp(p, k, r) == 0)) return false;  // NaN is not 0: such a pattern acts
    return true;
}

void check_pattern(const params& p, int k, std::vector<setup_note>& notes) {
    if (envelope_vanishes(p, k))
        notes.push_back({setup_note::error, 0,
                         formatted("pattern %d: its envelope is 0 at every radius (smin %g, smax %g, wmin %g, "
                                   "wmax %g), so it exerts no force; give it a flat annulus smin <= r <= smax "
                                   "with smax > 0, or taper widths that are not 0",
                                   k + 1, p.smin[k], p.smax[k], p.wmin[k], p.wmax[k])});
}

void check_field(const params& p, const setup_field& f, int k, std::vector<setup_note>& notes) {
    const double v = field_value(p, f, k);
    const std::string name = f.name;
    // an annulus open to infinity is a pattern of full amplitude out to every radius:
    // nothing turns nan
    const bool open_edge = (name == "smax" && v == INFINITY) || (name == "smin" && v == -INFINITY);
    if (f.type == field_type::real && !std::isfinite(v) && !open_edge)
        add(notes, setup_note::warning, f.name,
            std::isnan(v) ? "nan is not a finite number; what depends on it prints as nan or inf"
            : v > 0       ? "inf is not a finite number; what depends on it prints as nan or inf"
                          : "-inf is not a finite number; what depends on it prints as nan or inf");
    if (name == "gamma_") {
        if (p.gamma_ <= -1)  // kappa^2 = 2 (1 + gamma_) Omega^2 is not positive
            add(notes, setup_note::warning, f.name,
                "at -1 or below the epicycle frequency kappa is not real: "
                "the columns J, e and theta1 of the record lines print as nan or inf");
    } else if (name == "dt_int") {
        if (!std::isfinite(p.dt_int * twopi))  // as to_model_units will store it
            add(notes, setup_note::error, f.name, "the run length must be finite");
    } else if (name == "nsteps") {
        const double dt = p.dt_int * twopi;
        // the ensemble runs nsteps + 1 intervals: that count must be an int as well
        if (p.nsteps == std::numeric_limits<int>::max())
            add(notes, setup_note::error, f.name, "the run cannot hold 2147483647 output intervals");
        else if (!std::isfinite(dt * double(p.nsteps + 1)) || !std::isfinite(dt * p.nsteps))
            add(notes, setup_note::error, f.name, "with this dt_int the run length is not finite");
    } else if (name == "r_max") {
        if (p.r_min == 0 && p.r_max == 0)
            add(notes, setup_note::error, f.name,
                "every star would start at r = 0, where its direction is undefined");
        // initial radii are uniform in [r_min, r_max]: an interval that holds 0 puts stars near the centre
        else if (!(p.r_min > 0 && p.r_max > 0) && !(p.r_min < 0 && p.r_max < 0) && p.gamma_ < 0.5)
            add(notes, setup_note::warning, f.name,
                "initial radii between r_min and r_max reach the centre, where the "
                "background's force is singular: stars started near it fail");
    } else if (name == "randp0") {
        if (p.randp0 != 0 && p.randp0 != 1)  // only 1 redraws the phases
            add(notes, setup_note::warning, f.name,
                formatted("%d is neither 0 nor 1: every star keeps the patterns' phases, as with 0", p.randp0));
    } else if (name == "mm") {
        // cos(mm phi + ...) with phi = atan2(y, x) in (-pi, pi]: for a fractional mm the
        // two sides of the negative x axis (phi = pi and phi -> -pi) differ by
        // -2 sin(mm pi) sin(chi) epsilon A(r), so the pattern's potential is cut there
        if (std::isfinite(v) && v != std::floor(v))
            add(notes, setup_note::warning, f.name,
                formatted("%g arms is not a whole number: the pattern's potential is cut along the "
                          "negative x axis (phi = 180 degrees), where it jumps by up to "
                          "2 |sin(%g pi)| epsilon A(r) and its force is not defined",
                          v, v));
    } else if (&f == &block_fields[pattern_fields - 1]) {  // the pattern's last line: it is whole
        check_pattern(p, k, notes);
    } else if (name == "npatterns") {
        if (p.npatterns > max_patterns)
            add(notes, setup_note::error, f.name,
                formatted("%d is more than the %d patterns a model holds", p.npatterns, max_patterns));
        else if (p.npatterns < 0)
            add(notes, setup_note::error, f.name, "a number of patterns cannot be negative");
    }
}

// ---- the reader

namespace {

inline constexpr int line_buffer = setup_line_bytes;

// One setup line: where it came from and what it holds.
struct setup_line {
    char text[line_buffer];
    int number;  // line of the file on which this setup line starts
};

std::string without_line_end(const char* text) {
    std::string s(text);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

struct line_reader {
    std::FILE* f;
    const char* checker;
    const std::string& path;
    setup_read& out;
    int next_number = 1;  // file line on which the next read starts

    void note(setup_note::kind_t kind, int line, std::string text) { out.notes.push_back({kind, line, std::move(text)}); }

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
                note(setup_note::warning, l.number,
                     formatted(c == '\n' ? "line of %d characters fills the line buffer; "
                                           "its newline is read as the next setup line, which is empty"
                                         : "line longer than %d characters; "
                                           "the rest is read as the next setup line",
                               line_buffer - 1));
                return true;
            }
        }
        ++next_number;  // a whole line, or the last one without its newline
        return true;
    }

    // Says why the setup line for `name` is not there: a read error (a folder
    // given as the setup file, say) or the end of the file.
    void missing(const char* name) {
        if (std::ferror(f))
            note(setup_note::error, 0, std::string("cannot read: ") + std::strerror(errno));
        else
            note(setup_note::error, next_number,
                 formatted("%s: missing, the file ends after line %d", name, next_number - 1));
    }

    // A start that does not convert leaves the value as it was, and is said.
    void not_converted(const setup_line& l, const char* name, const char* expected, double v) {
        // A setup file has no comment lines: such a line still takes a value's place.
        note(setup_note::warning, l.number,
             std::string(name) + ": expected " + expected + ", got '" + without_line_end(l.text) + "'; keeping " +
                 formatted("%.17g", v) +
                 "; if the line was meant as a comment, every later value is read one line off (" + checker +
                 " --check " + path + " shows them all)");
    }

    // "%lf" of the start of the line; text after the value is a comment.
    bool real(const setup_line& l, const char* name, double& v) {
        double tmp;
        const bool converted = std::sscanf(l.text, "%lf", &tmp) == 1;
        if (converted)
            v = tmp;
        else
            not_converted(l, name, "a number", v);
        return converted;
    }

    // An integer as "%d" or "%ld" reads it (blanks, a sign, decimal digits; the rest
    // is a comment), but a value beyond the type is refused: the conversion would
    // be undefined, and in practice wraps (4294967296 stars became 0).
    template <class T>
    bool integer(const setup_line& l, const setup_field& field, T& v, bool& refused) {
        const char* name = field.name;
        errno = 0;
        char* end;
        const long long n = std::strtoll(l.text, &end, 10);
        const bool converted = end != l.text;
        if (converted && (errno == ERANGE || n < std::numeric_limits<T>::min() ||
                          n > std::numeric_limits<T>::max())) {
            const char* digits = l.text + std::strspn(l.text, " \t\n\v\f\r");
            note(setup_note::error, l.number, integer_range_text(field, std::string(digits, std::size_t(end - digits))));
            refused = true;
            return false;
        }
        if (converted)
            v = static_cast<T>(n);
        else
            not_converted(l, name, "an integer", double(v));
        return converted;
    }

    // Reads the line of field fd (pattern k) into p and runs its checks; false when
    // the file ends or the value is refused.
    bool field(const setup_field& fd, params& p, int k) {
        setup_line l;
        if (!read(l)) return missing(fd.name), false;
        bool refused = false, converted;
        if (fd.pattern)
            converted = real(l, fd.name, (p.*fd.pattern)[k]);
        else if (fd.real)
            converted = real(l, fd.name, p.*fd.real);
        else if (fd.integer)
            converted = integer(l, fd, p.*fd.integer, refused);
        else
            converted = integer(l, fd, p.lseed, refused);
        if (refused) return false;
        out.values.push_back({fd.name, l.number, without_line_end(l.text), converted, field_value(p, fd, k)});
        const std::size_t first = out.notes.size();
        check_field(p, fd, k, out.notes);
        bool ok = true;
        for (std::size_t i = first; i < out.notes.size(); ++i) {
            out.notes[i].line = l.number;
            ok = ok && out.notes[i].kind != setup_note::error;
        }
        return ok;
    }

    // The file lines after the last value that hold text: a line added above pushes
    // the last ones out. Whole file lines, whatever their length; the rest of a last
    // setup line cut at the buffer's length belongs to that line.
    void rest(bool last_cut) {
        int number = next_number;
        bool skipping = last_cut, blank = true;
        const auto unread = [&] {
            if (!out.unread_first) out.unread_first = number;
            out.unread_last = number;
        };
        for (int c; (c = std::fgetc(f)) != EOF;) {
            if (c != '\n') {
                blank = blank && std::isspace(c);
                continue;
            }
            if (!skipping && !blank) unread();
            if (!skipping) ++number;
            skipping = false;
            blank = true;
        }
        if (!skipping && !blank) unread();  // a last line without its newline
    }
};

}  // namespace

setup_read read_setup(std::FILE* f, const std::string& path, params& p, const char* checker, bool scan_rest) {
    setup_read out;
    line_reader in{f, checker, path, out};
    for (const setup_field& fd : scalar_fields)
        if (!in.field(fd, p, 0)) return out;
    for (int k = 0; k < p.npatterns; ++k)
        for (const setup_field& fd : block_fields)
            if (!in.field(fd, p, k)) return out;
    out.ok = true;
    if (scan_rest) in.rest(!out.values.empty() && out.values.back().line == in.next_number);
    return out;
}

void to_model_units(params& p) {
    for (const setup_field& f : scalar_fields)
        if (f.conversion != file_unit::none) set_field(p, f, field_value(p, f) * model_unit(f.conversion));
    for (int k = 0; k < p.npatterns; ++k)
        for (const setup_field& f : block_fields)
            if (f.conversion != file_unit::none) set_field(p, f, field_value(p, f, k) * model_unit(f.conversion), k);
}

std::int64_t seed_run(const params& p, rand48& g) {
    // not the clock: runs of a job array started in the same second would draw the
    // same stars. srand48 keeps 32 bits of its seed, so 32 bits are drawn.
    const std::int64_t seed = p.lseed < 0 ? std::int64_t(unforeseeable_draw() & 0xFFFFFFFFull) : p.lseed;
    seed48(g, seed);
    return seed;
}

bool readsetup(std::FILE* f, const std::string& path, params& p, rand48& g, std::FILE* out,
               std::FILE* diag, const char* program, std::vector<setup_value>* values) {
    setup_read r = read_setup(f, path, p, program);
    if (values) *values = r.values;
    print_notes(diag, program, path, r.notes);
    if (!r.ok) return false;
    to_model_units(p);
    const std::int64_t seed = seed_run(p, g);
    if (p.lseed < 0) {
        int line = 0;
        for (const setup_value& v : r.values)
            if (std::strcmp(v.name, "lseed") == 0) line = v.line;
        std::fprintf(diag, "%s: %s\n", program,
                     note_message(path, {setup_note::error, line,
                                         formatted("lseed: %lld is negative: this run is seeded with %lld; "
                                                   "lseed %lld repeats it",
                                                   static_cast<long long>(p.lseed), static_cast<long long>(seed),
                                                   static_cast<long long>(seed))})
                         .c_str());
    }
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
