// The compiled model: a setup's values read or given by name with the reader's checks,
// written back bit for bit, compared and hashed by value, and the potential's functions.
#include <pybind11/stl.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "bindings.h"
#include "galaxy.h"
#include "orbits.h"
#include "output.h"
#include "spread.h"
#include "survey.h"

namespace {

// The advice of the reader's warnings names a program whose --check shows every value:
// every program reads a setup the same way.
const char* const checker = "orbmigrate";


// The value of a pattern field that Model(patterns=[...]) leaves out: 0, but the
// annulus of full amplitude reaches to infinity, so that a pattern given without its
// envelope acts at every radius with its full amplitude.
double pattern_default(const setup_field& f) { return std::string(f.name) == "smax" ? INFINITY : 0.0; }

// A path given as str or as an os.PathLike
model read_model(const py::object& path_obj) {
    const std::string path = path_of(path_obj);
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (!f) {
        errno = errno ? errno : ENOENT;
        raise_file_error(path);
    }
    model m;
    m.source = path;
    // the programs' reader, its decisions and its words: warnings as warnings, the
    // error that refuses the setup as SetupError
    const setup_read r = read_setup(f, path, m.file, checker);
    std::fclose(f);
    raise_notes(path, r.notes);
    m.derive();
    return m;
}
// Sets one field from a Python value; an integer beyond the field's type adds the
// reader's error note instead.
void set_from(params& f, const setup_field& field, int k, const py::handle& v, std::vector<setup_note>& notes) {
    const std::string unit = std::string("a number") + (*field.unit ? std::string(" in ") + field.unit : "");
    if (field.type == field_type::real) return set_field(f, field, as_real(v, field.name, unit.c_str()), k);
    const std::int64_t n = as_integer(v, field.name);
    long long lo, hi;
    integer_limits(field, lo, hi);
    const py::int_ exact(py::reinterpret_borrow<py::object>(v));
    // as_integer clamps a value beyond 64 bits to the nearest end: the exact value tells
    using limits = std::numeric_limits<std::int64_t>;
    const bool clamped = (n == limits::max() || n == limits::min()) && !exact.equal(py::int_(n));
    if (n < lo || n > hi || clamped) {
        notes.push_back({setup_note::error, 0, integer_range_text(field, py::str(py::handle(exact)).cast<std::string>())});
        return;
    }
    if (field.type == field_type::integer)
        f.*field.integer = int(n);
    else
        f.lseed = n;
}

// Model(**fields): every field in the order of a setup file, the defaults for those
// not given, and after each one the reader's checks of it.
model make_model(const py::kwargs& fields) {
    model m;
    py::list patterns;
    bool npatterns_given = false;
    for (const auto& kv : fields) {
        const std::string key = py::str(kv.first);
        if (key == "patterns") {
            if (py::isinstance<py::dict>(kv.second) || py::isinstance<py::str>(kv.second))
                throw py::type_error("patterns: expected a list of dicts, one per pattern");
            patterns = py::list(py::reinterpret_borrow<py::object>(kv.second));
            for (std::size_t k = 0; k < patterns.size(); ++k) {  // names and types first, then values
                if (!py::isinstance<py::dict>(patterns[k]))
                    throw py::type_error("patterns: each pattern is a dict of up to " + std::to_string(pattern_fields) +
                                         " values (mm, epsilon, phi0, ...)");
                for (const auto& item : py::reinterpret_borrow<py::dict>(patterns[k])) {
                    const std::string name = py::str(item.first);
                    const setup_field* field = find_field(name.c_str());
                    if (!field || !field->pattern)
                        throw py::type_error("patterns[" + std::to_string(k) + "]: unknown field '" + name + "'");
                }
            }
            continue;
        }
        const setup_field* field = find_field(key.c_str());
        if (!field || field->pattern)
            throw py::type_error("Model() got an unexpected keyword argument '" + key + "'");
        npatterns_given = npatterns_given || key == "npatterns";
    }
    const int listed_count = int(std::min<std::size_t>(patterns.size(), std::size_t(1) << 30));
    std::vector<setup_note> notes;
    for (const setup_field& field : scalar_fields) {
        const std::size_t first = notes.size();
        if (fields.contains(field.name)) set_from(m.file, field, 0, fields[field.name], notes);
        if (std::string(field.name) == "npatterns") {
            if (npatterns_given && notes.size() == first && m.file.npatterns != listed_count)
                throw py::value_error("npatterns is " + std::to_string(m.file.npatterns) + " but " +
                                      std::to_string(listed_count) + " patterns are given");
            m.file.npatterns = listed_count;
        }
        if (notes.size() == first) check_field(m.file, field, 0, notes);
        for (std::size_t i = first; i < notes.size(); ++i)
            if (notes[i].kind == setup_note::error) return raise_notes(m.where(), notes, 2), m;
    }
    for (int k = 0; k < m.file.npatterns; ++k) {
        const auto given = py::reinterpret_borrow<py::dict>(patterns[std::size_t(k)]);
        for (const setup_field& field : block_fields) {
            const std::size_t first = notes.size();
            if (given.contains(field.name))
                set_from(m.file, field, k, given[field.name], notes);
            else
                set_field(m.file, field, pattern_default(field), k);
            check_field(m.file, field, k, notes);
            for (std::size_t i = first; i < notes.size(); ++i)
                if (notes[i].kind == setup_note::error) return raise_notes(m.where(), notes, 2), m;
        }
    }
    raise_notes(m.where(), notes, 2);
    m.derive();
    return m;
}

// A model from values that were checked when it was made (pickle, copy): no checks
// and no warnings again.
model restore_model(const py::dict& values, const std::string& source) {
    model m;
    m.source = source;
    for (const setup_field& field : scalar_fields)
        if (values.contains(field.name)) {
            const py::handle v = values[field.name];
            if (field.type == field_type::real)
                set_field(m.file, field, v.cast<double>());
            else if (field.type == field_type::integer)
                m.file.*field.integer = v.cast<int>();
            else
                m.file.lseed = v.cast<std::int64_t>();
        }
    const py::list patterns = values["patterns"];
    m.file.npatterns = int(patterns.size());
    for (int k = 0; k < m.file.npatterns && k < max_patterns; ++k)
        for (const setup_field& field : block_fields)
            set_field(m.file, field, patterns[std::size_t(k)][field.name].cast<double>(), k);
    m.derive();
    return m;
}

py::object value_of(const model& m, const setup_field& sf) {
    if (sf.type == field_type::real) return py::float_(m.file.*sf.real);
    if (sf.type == field_type::integer) return py::int_(m.file.*sf.integer);
    return py::int_(m.file.lseed);
}

py::list patterns_of(const model& m) {
    py::list out;
    for (int k = 0; k < m.file.npatterns; ++k) {
        py::dict d;
        for (const setup_field& pf : block_fields) d[pf.name] = (m.file.*pf.pattern)[k];
        out.append(d);
    }
    return out;
}

// A setup file that reads back to the same values: every double with 17 significant
// digits, which the reader's "%lf" turns back into the same bits.
void write_model(const model& m, const py::object& path_obj) {
    const std::string path = path_of(path_obj);
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) raise_file_error(path);
    for (const setup_field& sf : scalar_fields) {
        if (sf.type == field_type::real)
            std::fprintf(f, "%.17g %s\n", m.file.*sf.real, sf.name);
        else if (sf.type == field_type::integer)
            std::fprintf(f, "%d %s\n", m.file.*sf.integer, sf.name);
        else
            std::fprintf(f, "%lld %s\n", static_cast<long long>(m.file.lseed), sf.name);
    }
    for (int k = 0; k < m.file.npatterns; ++k)
        for (const setup_field& pf : block_fields)
            std::fprintf(f, "%.17g %s (pattern %d)\n", (m.file.*pf.pattern)[k], pf.name, k + 1);
    const bool failed = std::ferror(f) != 0;
    if (std::fclose(f) != 0 || failed) raise_file_error(path);
}

// The fields as Model() takes them: every scalar and the list of patterns.
py::dict dict_of(const model& m) {
    py::dict d;
    for (const setup_field& sf : scalar_fields) d[sf.name] = value_of(m, sf);
    d["patterns"] = patterns_of(m);
    return d;
}

// Equal models hold the same values: doubles compare as numbers, except that a NaN
// equals a NaN (the same setup line gives the same model).
bool same(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }
bool equal_models(const model& a, const model& b) {
    if (a.file.npatterns != b.file.npatterns) return false;
    for (const setup_field& f : scalar_fields)
        if (!same(field_value(a.file, f), field_value(b.file, f))) return false;
    if (a.file.lseed != b.file.lseed) return false;  // 64 bits: beyond a double's 53
    for (int k = 0; k < a.file.npatterns; ++k)
        for (const setup_field& f : block_fields)
            if (!same(field_value(a.file, f, k), field_value(b.file, f, k))) return false;
    return true;
}
// A hash that equal models share: -0 as 0, every NaN as one.
std::size_t hash_model(const model& m) {
    std::size_t h = std::hash<std::int64_t>()(m.file.lseed);
    const auto mix = [&h](double v) {
        const double u = std::isnan(v) ? NAN : v == 0 ? 0.0 : v;
        std::uint64_t bits;
        std::memcpy(&bits, &u, sizeof bits);
        h = h * 1000003u ^ std::hash<std::uint64_t>()(bits);
    };
    for (const setup_field& f : scalar_fields) mix(field_value(m.file, f));
    for (int k = 0; k < m.file.npatterns; ++k)
        for (const setup_field& f : block_fields) mix(field_value(m.file, f, k));
    return h;
}

std::string repr_model(const model& m) {
    std::string s = "orbkit.Model(";
    for (const setup_field& sf : scalar_fields) {
        if (std::string(sf.name) == "npatterns") continue;  // implied by the list of patterns
        s += std::string(sf.name) + "=" + std::string(py::repr(value_of(m, sf))) + ", ";
    }
    return s + "patterns=" + std::string(py::repr(patterns_of(m))) + ")";
}
// Model's docstring: how to make one, then every field with its unit and default, from
// the one table of fields.
std::string model_doc() {
    std::string d =
        "A model of the disc and its run: a setup's values, with the file's names and units.\n\n"
        "Model.read(path) reads a setup file exactly as the programs do; Model(**fields) takes the\n"
        "same values by name, with the reader's checks (SetupError for what the programs refuse,\n"
        "SetupWarning for what they warn about). Fields not given are 0 (so give r_max: r_min and\n"
        "r_max both 0 are refused, as the programs refuse them); a pattern is a dict of\n"
        "its fields, and a pattern field not given is 0 except smax, which is inf: a pattern\n"
        "given without its envelope has full amplitude at every radius.\n\n"
        "Model units: lengths in units of the radius where the circular speed is 1, speeds in\n"
        "that speed, times in model units (2 pi per orbit at r = 1). The setup's fields keep\n"
        "the file's units (orbits, degrees), as below. Quantities with units are refused.\n\n"
        "Fields (name, unit, default: meaning):\n";
    const auto line = [&d](const setup_field& f, const char* dflt, const char* indent) {
        const char* unit = *f.unit ? f.unit : f.type == field_type::real ? "number" : "integer";
        d += std::string(indent) + f.name + " (" + unit + ", " + dflt + "): " + f.meaning + "\n";
    };
    for (const setup_field& f : scalar_fields)
        if (std::string(f.name) != "npatterns") line(f, "0", "  ");
    d += "  npatterns (integer, len(patterns)): spiral patterns, 0 to 10; implied by patterns\n"
         "  patterns (list of dicts, []): one dict per spiral pattern, of the fields:\n";
    for (const setup_field& f : block_fields) line(f, pattern_default(f) == 0 ? "0" : "inf", "    ");
    d += "\nA Model is immutable: it compares, hashes and pickles by value; replace(**fields)\n"
         "makes a changed copy, to_dict() gives the fields as Model() takes them.";
    return d;
}

}  // namespace

// The spread program's rule for the output interval, as SetupError with its words and
// the setup's path (or "Model()") before them, as the program says it.
void refuse_spread_interval(const model& m) {
    if (const std::string problem = spread_interval_problem(m.p); !problem.empty())
        refuse_setup(m.where() + ": " + problem);
}

// The compiled class that orbkit.Model (python/orbkit/_model.py) holds: the values and
// what needs C++; the Python class gives the signatures, checks and documents.
py::class_<model> bind_model(py::module_& mod) {
    static const std::string doc = model_doc();
    mod.attr("_model_doc") = doc;
    py::class_<model> cls(mod, "_Model", "The compiled model that orbkit.Model holds.");
    cls.def(py::init([](const py::kwargs& fields) { return make_model(fields); }))
        .def_static("read", &read_model, py::arg("path"))
        .def_static("_restore", [](const py::dict& values, const std::string& source) {
            return restore_model(values, source);
        })
        .def("write", &write_model, py::arg("path"))
        .def("__repr__", &repr_model)
        .def("__eq__",
             [](const model& a, const py::object& b) {
                 return py::isinstance<model>(b) && equal_models(a, b.cast<const model&>());
             })
        .def("__hash__", &hash_model)
        .def(py::pickle([](const model& m) { return py::make_tuple(dict_of(m), m.source); },
                        [](const py::tuple& t) {
                            return restore_model(t[0].cast<py::dict>(), t[1].cast<std::string>());
                        }))
        .def("to_dict", &dict_of)
        .def_property_readonly("source", [](const model& m) {
            return m.source.empty() ? py::object(py::none()) : py::object(py::str(m.source));
        })
        .def_property_readonly("patterns", &patterns_of)
        .def_property_readonly("tmax", [](const model& m) { return run_end(m.p, run_length::surveys); })
        .def("times", [](const model& m) {
            // the orbit files' output times: 0, then a running sum of dt_int, nsteps times
            std::vector<double> t = listed(orbit_file_times(m.p));
            t.insert(t.begin(), 0.0);
            return f64_array(py::ssize_t(t.size()), t.data());
        })
        .def("spread_times", [](const model& m) {
            refuse_spread_interval(m);
            const std::vector<double> t = spread_times(m.p, run_end(m.p, run_length::spread));
            return f64_array(py::ssize_t(t.size()), t.data());
        })
        .def("potential", py::vectorize([](model& m, double x, double y, double t) { return potential(m.p, x, y, t); }))
        .def("force_x", py::vectorize([](model& m, double x, double y, double t) {
                 double dx, dy, dz, dt;
                 dphi(m.p, &dx, &dy, &dz, &dt, x, y, 0, t);
                 return -dx;
             }))
        .def("force_y", py::vectorize([](model& m, double x, double y, double t) {
                 double dx, dy, dz, dt;
                 dphi(m.p, &dx, &dy, &dz, &dt, x, y, 0, t);
                 return -dy;
             }))
        .def("vc", py::vectorize([](model& m, double r) { return vc_0(m.p, r); }))
        .def("omega", py::vectorize([](model& m, double r) { return om_0(m.p, r); }))
        .def("kappa", py::vectorize([](model& m, double r) { return kratio(m.p) * om_0(m.p, r); }))
        .def("growth", py::vectorize([](model& m, int pattern, double t) {
            if (pattern < 1 || pattern > m.p.npatterns)
                throw py::value_error("pattern: expected 1 .. " + std::to_string(m.p.npatterns) + ", got " +
                                      std::to_string(pattern));
            return growth(m.p, pattern - 1, t);
        }));
    mod.attr("_field_docs") = py::dict();
    for (const setup_field& sf : scalar_fields) {
        cls.def_property_readonly(sf.name, [&sf](const model& m) { return value_of(m, sf); });
        mod.attr("_field_docs")[sf.name] =
            std::string(sf.meaning) + (*sf.unit ? std::string(" (") + sf.unit + ")" : "");
    }
    return cls;
}
