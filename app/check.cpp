#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string>
#include <vector>

#include "options.h"

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

}  // namespace

int check_setup(std::FILE* out, const program_info& info, const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (!f) {
        std::fprintf(out, "%s: %s: cannot open: %s\n", info.name, path.c_str(), std::strerror(errno));
        return 2;
    }
    params p;
    const setup_read r = read_setup(f, path, p, info.name, true);
    const std::vector<setup_value>& read = r.values;
    const bool ok = r.ok;
    to_model_units(p);
    std::fclose(f);

    std::fprintf(out, "%s --check %s: every value as a run reads it; nothing is run or written\n",
                 info.name, path.c_str());
    std::fprintf(out, "line  %-10s %12s  %-14s the line\n", "name", "value", "unit");
    int shifted = 0;
    for (std::size_t i = 0; i < read.size(); ++i) {
        const setup_value& v = read[i];
        if (i >= scalar_count && (i - scalar_count) % pattern_fields == 0)
            std::fprintf(out, "pattern %zu of %d\n", (i - scalar_count) / pattern_fields + 1, p.npatterns);
        const setup_field* fd = find_field(v.name);
        std::fprintf(out, "%4d  %-10s %12s  %-14s %s\n", v.line, v.name,
                     v.converted ? shortest(v.value).c_str() : "-", fd ? fd->unit : "", v.text.c_str());
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
    std::fputs(r.notes.empty() ? "no warnings\n" : ok ? "warnings:\n" : "refused:\n", out);
    print_notes(out, info.name, path, r.notes);
    if (shifted)
        std::fprintf(out,
                     "%d line%s look%s shifted or unread (marked above): a line added above (a comment "
                     "line, say) or a line missing shifts every later value by one line\n",
                     shifted, shifted == 1 ? "" : "s", shifted == 1 ? "s" : "");
    return ok ? 0 : 2;
}
