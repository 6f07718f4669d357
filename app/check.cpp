#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string>
#include <vector>

#include "options.h"
#include "spread.h"

namespace {

// The shortest text that reads back as the same double.
std::string shortest(double v) {
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

// The first word after the value on a setup line, where setup files name the
// parameter ("0.5   dt_int   output interval"); empty when there is none.
std::string named_in(const std::string& text) {
    std::size_t i = text.find_first_not_of(" \t");
    if (i == std::string::npos) return "";
    i = text.find_first_of(" \t", i);  // past the value
    if (i == std::string::npos) return "";
    i = text.find_first_not_of(" \t", i);
    if (i == std::string::npos) return "";
    std::size_t j = i;
    while (j < text.size() && (std::isalnum(static_cast<unsigned char>(text[j])) || text[j] == '_')) ++j;
    return text.substr(i, j - i);
}

const setup_value* value_of(const std::vector<setup_value>& read, const char* name) {
    for (const setup_value& v : read)
        if (std::strcmp(v.name, name) == 0) return &v;
    return nullptr;
}
int line_of(const std::vector<setup_value>& read, const char* name) {
    const setup_value* v = value_of(read, name);
    return v ? v->line : 0;
}
}  // namespace

void program_notes(const program_info& info, const params& p, const std::vector<setup_value>& read,
                   std::vector<setup_note>& notes, bool start_only) {
    if (info.kind == run_length::surveys && p.dt_int < 0)  // tmax = dt_int x nsteps < 0
        notes.push_back({setup_note::warning, line_of(read, "dt_int"),
                         "dt_int: " + shortest(value_of(read, "dt_int")->value) +
                             " is negative: every star is integrated backwards in time, from 0 to tmax = "
                             "dt_int x nsteps, and its orbit file runs backwards too"});
    if (start_only) return;  // the run says the rest itself, when it comes to it
    const int nstars = line_of(read, "nstars");
    if (info.kind == run_length::spread) {
        if (p.nstars > ensemble_capacity)
            notes.push_back({setup_note::error, nstars,
                             "nstars: " + std::to_string(p.nstars) + " is more than the " +
                                 std::to_string(ensemble_capacity) +
                                 " members an ensemble holds: a run prints \"make state larger\" and ends "
                                 "with status 0"});
        if (const std::string problem = spread_interval_problem(p); !problem.empty())
            notes.push_back({setup_note::error, line_of(read, "dt_int"), problem});
        if (p.nstars <= 0)
            notes.push_back({setup_note::warning, nstars,
                             "nstars: " + std::to_string(p.nstars) +
                                 ": the ensemble is empty; every spread line has lsig nan"});
    } else if (p.nstars <= 0) {
        notes.push_back({setup_note::warning, nstars,
                         "nstars: " + std::to_string(p.nstars) +
                             ": no star drawn, the table is empty and no orbit file is written"});
    }
}

int check_setup(std::FILE* out, const program_info& info, const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (!f) {
        std::fprintf(out, "%s: %s: cannot open: %s\n", info.name, printable(path).c_str(), std::strerror(errno));
        return 2;
    }
    params p;
    setup_read r = read_setup(f, path, p, info.name, true);
    const std::vector<setup_value>& read = r.values;
    to_model_units(p);
    std::fclose(f);
    if (r.ok) program_notes(info, p, read, r.notes, false);
    bool ok = r.ok;
    for (const setup_note& n : r.notes) ok = ok && n.kind != setup_note::error;

    std::fprintf(out, "%s --check %s: every value as a run reads it; nothing is run or written\n",
                 info.name, printable(path).c_str());
    std::fprintf(out, "line  %-10s %12s  %-14s the line\n", "name", "value", "unit");
    int shifted = 0;
    for (std::size_t i = 0; i < read.size(); ++i) {
        const setup_value& v = read[i];
        if (i >= scalar_count && (i - scalar_count) % pattern_fields == 0)
            std::fprintf(out, "pattern %zu of %d\n", (i - scalar_count) / pattern_fields + 1, p.npatterns);
        const setup_field* fd = find_field(v.name);
        std::fprintf(out, "%4d  %-10s %12s  %-14s %s\n", v.line, v.name,
                     v.converted ? shortest(v.value).c_str() : "-", fd ? fd->unit : "", printable(v.text).c_str());
        const std::string named = named_in(v.text);
        if (!v.converted) {
            ++shifted;
            std::fprintf(out, "      ^ not a number: %s keeps %s\n", v.name, shortest(v.value).c_str());
        } else if (find_field(named.c_str()) && named != v.name) {
            ++shifted;
            std::fprintf(out, "      ^ the line names %s, not %s\n", named.c_str(), v.name);
        }
    }
    if (r.unread_first) {
        ++shifted;
        if (r.unread_first == r.unread_last)
            std::fprintf(out, "line %d follows the last value and is not read\n", r.unread_first);
        else
            std::fprintf(out, "lines %d to %d follow the last value and are not read\n", r.unread_first,
                         r.unread_last);
    }
    if (ok) {
        const double tmax = run_end(p, info.kind);
        std::fprintf(out, "run length: %s orbits, output every %s orbits (model time: tmax %s)\n",
                     shortest(tmax / twopi).c_str(), shortest(p.dt_int / twopi).c_str(),
                     shortest(tmax).c_str());
    }
    if (r.ok && p.lseed < 0)
        std::fprintf(out, "seed: lseed %lld is negative: a run takes a seed from the system's random source "
                          "and says it on standard error (as lseed, it repeats that run)\n",
                     static_cast<long long>(p.lseed));
    std::fputs(r.notes.empty() ? "no warnings\n" : ok ? "warnings:\n" : "refused:\n", out);
    print_notes(out, info.name, path, r.notes);
    if (shifted)
        std::fprintf(out,
                     "%d line%s look%s shifted or unread (marked above): a line added above (a comment "
                     "line, say) or a line missing shifts every later value by one line\n",
                     shifted, shifted == 1 ? "" : "s", shifted == 1 ? "s" : "");
    return ok ? 0 : 2;
}
