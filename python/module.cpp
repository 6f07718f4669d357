// orbkit's compiled module: the core's model, draws, integrations and drivers over numpy arrays
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <omp.h>
#include <stdio.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <functional>
#include <vector>

#include "follow.h"
#include "galaxy.h"
#include "model.h"
#include "orbits.h"
#include "output.h"
#include "params.h"
#include "spread.h"
#include "survey.h"
#include "tasks.h"

namespace py = pybind11;

namespace {

// The advice of the reader's warnings names a program whose --check shows every value:
// every program reads a setup the same way.
const char* const checker = "orbmigrate";
inline constexpr auto signal_poll = std::chrono::milliseconds(50);  // Ctrl-C is seen this soon
using f64_array = py::array_t<double, py::array::c_style>;

// ---- errors and warnings

// Raised for a setup the programs refuse; its message is their "path:line: ..." line.
// The warning classes: the setup reader's warnings, and failed integrations.
// Created once with the module and never freed: they live as long as the interpreter.
PyObject* setup_error = nullptr;
PyObject* setup_warning = nullptr;
PyObject* integration_warning = nullptr;

// A time as the programs print it in their messages
std::string shown_time(double t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6g", t);
    return buf;
}

// stacklevel 1: the warning points at the caller; 2 for calls through the Python layer
void warn(const std::string& message, PyObject* category = PyExc_RuntimeWarning, int stacklevel = 1) {
    if (PyErr_WarnEx(category, message.c_str(), stacklevel) != 0) throw py::error_already_set();
}

[[noreturn]] void refuse_setup(const std::string& message) {
    PyErr_SetString(setup_error, message.c_str());
    throw py::error_already_set();
}

// The reader's notes about one setup: warnings as SetupWarning, the first error as
// SetupError, each with its "where: " prefix (the file, or "Model()").
void raise_notes(const std::string& where, const std::vector<setup_note>& notes, int stacklevel = 1) {
    for (const setup_note& n : notes) {
        if (n.kind == setup_note::warning)
            warn(note_message(where, n), setup_warning, stacklevel);
        else
            refuse_setup(note_message(where, n));
    }
}

// ---- quantities: numbers with units are refused, never stripped

// What a value in model units is, for the message that refuses a quantity.
const char* const length_units = "a length in model units (the radius R0 where the circular speed is 1)";
const char* const time_units = "a time in model units (R0 / v0; one orbit at r = 1 is 2 pi)";
const char* const state_units = "x, y in units of R0 (the radius where the circular speed is 1), vx, vy in "
                                "units of v0 (that circular speed)";

// An object with a unit (an astropy Quantity, say) given where a plain number in model
// units is expected: a TypeError that says which units and how to convert, since
// taking its bare value would read 1 kpc as 1 model length.
void refuse_quantity(const py::handle& obj, const char* name, const char* expected) {
    if (obj.is_none() || py::isinstance<py::float_>(obj) || py::isinstance<py::int_>(obj) ||
        py::isinstance<py::str>(obj) || !py::hasattr(obj, "unit"))
        return;
    throw py::type_error(std::string(name) + ": got a quantity with unit " + std::string(py::str(obj.attr("unit"))) +
                         "; orbkit takes plain numbers in model units: " + expected +
                         ". Convert first, e.g. for R0 = 8 kpc and v0 = 220 km/s: (r / (8 * u.kpc)).decompose().value "
                         "for a length, (t * (220 * u.km / u.s) / (8 * u.kpc)).decompose().value for a time");
}

// ---- the model (model.h)

// The value of a pattern field that Model(patterns=[...]) leaves out: 0, but the
// annulus of full amplitude reaches to infinity, so that a pattern given without its
// envelope acts at every radius with its full amplitude.
double pattern_default(const setup_field& f) { return std::string(f.name) == "smax" ? INFINITY : 0.0; }

// A path given as str or as an os.PathLike
std::string path_of(const py::object& path) {
    return py::str(py::module_::import("os").attr("fspath")(path));
}

model read_model(const py::object& path_obj) {
    const std::string path = path_of(path_obj);
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (!f) {
        errno = errno ? errno : ENOENT;
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
        throw py::error_already_set();
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

double as_real(const py::handle& v, const char* name, const char* unit = "a number in the setup's unit") {
    refuse_quantity(v, name, unit);
    if (!py::isinstance<py::float_>(v) && !py::isinstance<py::int_>(v) && !py::hasattr(v, "__float__"))
        throw py::type_error(std::string(name) + ": expected a number, got " + std::string(py::repr(v)));
    return v.cast<double>();
}

// An integer field's value, range checked as the reader checks a line: a value beyond
// the field's type is refused with the reader's words.
std::int64_t as_integer(const py::handle& v, const char* name) {
    refuse_quantity(v, name, "a plain integer");
    if (!py::isinstance<py::int_>(v) && !py::hasattr(v, "__index__"))
        throw py::type_error(std::string(name) + ": expected an integer, got " + std::string(py::repr(v)));
    const py::int_ n(py::reinterpret_borrow<py::object>(v));
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(n.ptr(), &overflow);
    if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow) return overflow > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
    return value;
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
    if (n < lo || n > hi || (n == std::numeric_limits<std::int64_t>::max() && !exact.equal(py::int_(n))) ||
        (n == std::numeric_limits<std::int64_t>::min() && !exact.equal(py::int_(n)))) {
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
    if (!f) {
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
        throw py::error_already_set();
    }
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
    if (std::fclose(f) != 0 || failed) {
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
        throw py::error_already_set();
    }
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

// ---- arrays in

// A float64 array of the values given: a sequence, or an array of real numbers
// (integers and floats of any width convert, as numpy would); other dtypes (complex,
// strings, objects) and quantities with units are refused.
f64_array real_array(const py::handle& obj, const char* what, const char* unit) {
    refuse_quantity(obj, what, unit);
    if (py::isinstance<py::array>(obj)) {
        const auto a = py::reinterpret_borrow<py::array>(obj);
        const char kind = a.dtype().kind();
        if (kind != 'f' && kind != 'i' && kind != 'u')
            throw py::value_error(std::string(what) + ": expected real numbers, got dtype " +
                                  std::string(py::str(a.dtype())));
    }
    return py::module_::import("numpy").attr("ascontiguousarray")(obj, "float64").cast<f64_array>();
}

std::string shape_of(const py::array& a) {
    std::string s = "(";
    for (py::ssize_t d = 0; d < a.ndim(); ++d) s += (d ? ", " : "") + std::to_string(a.shape(d));
    return s + (a.ndim() == 1 ? ",)" : ")");
}

// States x, y, vx, vy: (n, 4), or one state (4,) taken as (1, 4).
f64_array states_array(const py::handle& obj, bool& single) {
    f64_array a = real_array(obj, "states", state_units);
    single = a.ndim() == 1 && a.shape(0) == 4;
    if (single) a = a.reshape({py::ssize_t(1), py::ssize_t(4)});
    if (a.ndim() != 2 || a.shape(1) != 4)
        throw py::value_error("states: expected an array of shape (n, 4) or (4,) holding x, y, vx, vy; got shape " +
                              shape_of(a));
    return a;
}
f64_array states_array(const py::handle& obj) {
    bool single;
    return states_array(obj, single);
}

// Per star and pattern the phases phi0 drawn for it (radians), or none: the model's own.
// One star's phases may be given as (npatterns,).
f64_array phases_array(const model& m, const py::object& obj, py::ssize_t n) {
    if (obj.is_none()) return f64_array();
    f64_array phases = real_array(obj, "phases", "radians");
    const int np = m.p.npatterns;
    if (n == 1 && phases.ndim() == 1 && phases.shape(0) == np) phases = phases.reshape({py::ssize_t(1), py::ssize_t(np)});
    if (phases.ndim() != 2 || phases.shape(0) != n || phases.shape(1) != np)
        throw py::value_error("phases: expected an array of shape (" + std::to_string(n) + ", " +
                              std::to_string(np) + "), one phase per star and pattern; got shape " +
                              shape_of(phases));
    return phases;
}

// ---- running the integrations: threads, the GIL and Ctrl-C

// The largest team a call may ask for: beyond what the machine's processors can use,
// and far below what makes the OpenMP runtime fail to start threads (which ends the
// process instead of raising).
int max_team() {
    const long limit = std::min<long>(omp_get_thread_limit(), std::max(64L, 16L * omp_get_num_procs()));
    return int(std::min<long>(limit, 1024));
}

int thread_count(const py::object& threads) {
    if (threads.is_none()) return omp_get_max_threads();
    const std::int64_t n = as_integer(threads, "threads");
    if (n < 1) throw py::value_error("threads: expected at least 1, got " + std::to_string(n));
    if (n > max_team())
        throw py::value_error("threads: " + std::to_string(n) + " is more than the " + std::to_string(max_team()) +
                              " threads a call may start on this machine (" + std::to_string(omp_get_num_procs()) +
                              " processors)");
    return int(n);
}

// The integrator a call asks for: method 'bs' (the programs' default, their exact
// digits) or 'dop853' (the eighth-order method at tolerance tol, 1e-13 by default).
integrator integrator_of(const py::object& name_obj, const py::object& tol_obj) {
    integrator how;
    if (!py::isinstance<py::str>(name_obj))
        throw py::type_error("method: expected 'bs' or 'dop853', got " + std::string(py::repr(name_obj)));
    const std::string name = name_obj.cast<std::string>();
    if (name == "dop853")
        how.kind = method::dop853;
    else if (name != "bs")
        throw py::value_error("method: expected 'bs' or 'dop853', got '" + name + "'");
    if (tol_obj.is_none()) return how;
    if (how.kind != method::dop853)
        throw py::value_error("tol: sets the tolerance of method='dop853'; method='bs' has none");
    double tol;
    try {
        tol = py::float_(tol_obj).cast<double>();
    } catch (const py::error_already_set&) {
        throw py::type_error("tol: expected a number, got " + std::string(py::repr(tol_obj)));
    }
    if (!(tol >= dop853_min_tol && tol < 1))
        throw py::value_error("tol: expected a number from 1e-16 to below 1, got " + std::string(py::repr(tol_obj)));
    how.tol = tol;
    return how;
}

// One thread that runs the module's work for the life of the process: OpenMP keeps a
// team of threads per thread that starts parallel regions, so work started from one
// long-lived thread reuses its team instead of creating one per call (10-17 ms).
// Never freed: a detached thread may still wait on it while the process ends. After a
// fork the child makes its own.
struct job_thread {
    std::mutex mutex;
    std::condition_variable cv;
    std::function<void()> job;  // the job to run, empty when none is waiting
    bool done = false;          // the last job has ended
    std::mutex busy;            // held by the caller whose job runs
    pid_t pid = getpid();

    job_thread() {
        std::thread([this] {
            for (;;) {
                std::function<void()> work;
                {
                    std::unique_lock<std::mutex> lock(mutex);
                    cv.wait(lock, [&] { return bool(job); });
                    work = std::move(job);
                    job = nullptr;
                }
                work();
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    done = true;
                }
                cv.notify_all();
            }
        }).detach();
    }
};

job_thread* jobs = nullptr;  // the module's worker; created at its first job

// Waits, without the GIL, until *done, checking for Ctrl-C meanwhile; an interrupt
// sets stop and the wait goes on until the work has ended. True when interrupted.
bool wait_for_job(std::mutex& mutex, std::condition_variable& cv, const bool& done, std::atomic<bool>& stop) {
    bool interrupted = false;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            if (cv.wait_for(lock, signal_poll, [&] { return done; })) return interrupted;
        }
        py::gil_scoped_acquire gil;
        if (!interrupted && PyErr_CheckSignals() != 0) {
            interrupted = true;
            stop = true;
        }
    }
}

// Runs work(stop) on the worker thread, without the GIL, while this thread checks for
// Ctrl-C; an interrupt sets stop, waits for the work to end and raises. A call made
// while another Python thread's job runs gets a thread of its own for its job.
template <class Work>
void run_interruptible(Work&& work) {
    std::atomic<bool> stop{false};
    bool interrupted;
    if (!jobs || jobs->pid != getpid()) jobs = new job_thread();  // under the GIL: made once
    {
        py::gil_scoped_release nogil;
        std::unique_lock<std::mutex> mine(jobs->busy, std::try_to_lock);
        if (mine.owns_lock()) {
            {
                std::lock_guard<std::mutex> lock(jobs->mutex);
                jobs->done = false;
                jobs->job = [&] { work(&stop); };
            }
            jobs->cv.notify_all();
            interrupted = wait_for_job(jobs->mutex, jobs->cv, jobs->done, stop);
        } else {
            std::mutex mutex;
            std::condition_variable cv;
            bool done = false;
            std::thread worker([&] {
                work(&stop);
                std::lock_guard<std::mutex> lock(mutex);
                done = true;
                cv.notify_one();
            });
            interrupted = wait_for_job(mutex, cv, done, stop);
            worker.join();
        }
    }
    if (interrupted) throw py::error_already_set();
}

// ---- failures: one warning per call, with the cause and the remedy

inline constexpr int failures_named = 5;            // a warning names the first few failed stars
inline constexpr double centre_radius = 1e-3;       // a failure this near the centre is the centre's
inline constexpr double rotating_limit = 800 * twopi;  // runs under a rotating pattern fail beyond this

// Where one integration failed: who (a star, a twin, a member), at which time and radius.
struct failure {
    std::string who;
    double t, r;
};

// The likely cause of a failure and what helps, from where it happened.
const char* failure_cause(const params& p, const integrator& how, const failure& f) {
    if (f.r < centre_radius)  // NaN: the radius is not known
        return "near the centre, where the background's force is singular: start the stars away from r = 0";
    bool rotating = false;
    for (int k = 0; k < p.npatterns; ++k) rotating = rotating || p.Omegas[k] != 0;
    if (how.kind == method::bs && rotating && std::fabs(f.t) > rotating_limit)
        return "a run beyond about 800 orbits under a rotating pattern, where the step's relative accuracy of "
               "1e-14 is finer than the rounding of the pattern's phase: use method=\"dop853\" for such runs";
    return "the work budget of an advance ran out (2000 steps plus 2000 per time unit): a star very near the "
           "centre, or a pattern of extreme speed or arm count; check the model, or try method=\"dop853\"";
}

void warn_failures(const char* call, const params& p, const integrator& how, long total, const char* things,
                   const std::vector<failure>& failed) {
    if (failed.empty()) return;
    std::string text = std::string(call) + ": " + std::to_string(failed.size()) + " of " + std::to_string(total) +
                       " " + things + " failed; their values from the failure on are nan: ";
    std::vector<const char*> causes;
    for (std::size_t i = 0; i < failed.size() && i < std::size_t(failures_named); ++i) {
        char where[96];
        std::snprintf(where, sizeof where, " at t = %s (r = %.3g)", shown_time(failed[i].t).c_str(), failed[i].r);
        text += (i ? ", " : "") + failed[i].who + where;
        const char* cause = failure_cause(p, how, failed[i]);
        if (std::find(causes.begin(), causes.end(), cause) == causes.end()) causes.push_back(cause);
    }
    if (failed.size() > std::size_t(failures_named)) text += ", ...";
    text += ". Cause: ";
    for (std::size_t i = 0; i < causes.size(); ++i) text += (i ? "; or " : "") + std::string(causes[i]);
    warn(text, integration_warning);
}

double radius_of(const orbit_state& s) { return std::hypot(s.w[0], s.w[1]); }

// ---- integrate

py::object integrate_states(const model& m, const py::handle& states_obj, const py::handle& times_obj,
                            const py::handle& t0_obj, const py::object& phases_obj, const py::object& threads,
                            bool with_times, const py::object& method_obj, const py::object& tol_obj, bool exact) {
    const integrator how = integrator_of(method_obj, tol_obj);
    bool single;
    const f64_array states = states_array(states_obj, single);
    const f64_array times = real_array(times_obj, "times", time_units);
    if (times.ndim() != 1)
        throw py::value_error("times: expected a one-dimensional array, got shape " + shape_of(times));
    const double t0 = as_real(t0_obj, "t0", time_units);
    const py::ssize_t n = states.shape(0), nt = times.shape(0);
    const f64_array phases = phases_array(m, phases_obj, n);
    if (phases_obj.is_none() && m.p.randp0 == 1 && m.p.npatterns > 1)
        warn("this model draws fresh phases of its patterns for every star (randp0 = 1), and no phases were "
             "given: every star moves in the model's own phases, not in those it was drawn with; pass "
             "phases=model.draw_phases(n) for the stars of model.draw(n)",
             integration_warning);
    const int np = m.p.npatterns;
    const int nthreads = thread_count(threads);
    // the extrapolation step reaches each output time within taketstep_tolerance: a
    // copy of the state is landed on it for the output, the path goes on unchanged
    const bool land_rows = exact && how.kind == method::bs;
    f64_array out({n, nt, py::ssize_t(4)});
    f64_array reached({n, nt});
    double* t_at = reached.mutable_data();
    std::vector<orbit_state> last(n);
    std::vector<py::ssize_t> fail_at(n, nt);
    const double* in = states.data();
    const double* tv = times.data();
    const double* ph = phases_obj.is_none() ? nullptr : phases.data();
    double* res = out.mutable_data();
    std::vector<params> models(ph ? n : 0);
    std::vector<follower> runs(n);
    std::vector<orbit_state> now(n);
    run_interruptible([&](const std::atomic<bool>* stop) {
        for_taken(n, nthreads, [&](auto&& take) {
            const auto setup = [&](long i, lane_task& task) {
                if (ph) {
                    models[i] = m.p;
                    for (int k = 0; k < np; ++k) models[i].phi0[k] = ph[i * np + k];
                }
                now[i] = state_xy(in + 4 * i, t0);
                runs[i].how = how;
                task.p = ph ? &models[i] : &m.p;
                task.run = &runs[i];
                task.s = &now[i];
                task.times = tv;
                task.ntimes = long(nt);
                task.stop = stop;
            };
            // the star's state at output time k; NaN from its failure on
            const auto reached_at = [&](long i, const lane_task& task, long k, bool ok) {
                if (fail_at[i] < nt) return;  // a row that could not be landed ended the star
                orbit_state row = *task.s;
                if (ok && (!land_rows || land(*task.p, row, tv[k]))) {
                    t_at[i * nt + k] = row.t;
                    pack_xy(row, 1, res + (i * nt + k) * 4);
                    return;
                }
                if (stop->load()) return;  // interrupted: the call raises
                fail_at[i] = k;
                last[i] = row;
                for (; k < nt; ++k) {
                    t_at[i * nt + k] = NAN;
                    for (int c = 0; c < 4; ++c) res[(i * nt + k) * 4 + c] = NAN;
                }
            };
            follow_orbits(how, take, setup, reached_at);
        });
    });
    std::vector<failure> failed;
    for (py::ssize_t i = 0; i < n; ++i)
        if (fail_at[i] < nt) failed.push_back({"star " + std::to_string(i), last[i].t, radius_of(last[i])});
    warn_failures("integrate", m.p, how, long(n), "stars", failed);
    py::object result = out, at = reached;
    if (single) {
        result = out[py::int_(0)];
        at = reached[py::int_(0)];
    }
    if (with_times) return py::make_tuple(result, at);
    return result;
}

// ---- draws

// The first n stars a survey of the model draws (n = nstars when none), every random
// number as the survey draws it: their states, and the phases each was drawn with.
void draw(const model& m, const py::object& n_obj, f64_array* states, f64_array* phases) {
    const std::int64_t n = n_obj.is_none() ? m.p.nstars : as_integer(n_obj, "n");
    if (n < 0) throw py::value_error("n: expected a count of stars, got " + std::to_string(n));
    params p = m.p;
    rand48 g;
    seed_run(p, g);
    const int np = p.npatterns;
    *states = f64_array({py::ssize_t(n), py::ssize_t(4)});
    *phases = f64_array({py::ssize_t(n), py::ssize_t(np)});
    survey_star s;
    for (std::int64_t i = 0; i < n; ++i) {
        draw_star(p, g, s);
        pack_xy(s.init[0], 1, states->mutable_data(i, 0));
        for (int k = 0; k < np; ++k) phases->mutable_data(i, 0)[k] = s.model.phi0[k];
    }
}

f64_array draw_states(const model& m, const py::object& n_obj) {
    f64_array states, phases;
    draw(m, n_obj, &states, &phases);
    return states;
}

f64_array draw_phases(const model& m, const py::object& n_obj) {
    f64_array states, phases;
    draw(m, n_obj, &states, &phases);
    return phases;
}

// ---- the programs' tables

py::array structured(const std::vector<const char*>& names, py::ssize_t rows) {
    py::list fields;
    for (const char* name : names) fields.append(py::make_tuple(name, "<f8"));
    return py::module_::import("numpy").attr("zeros")(rows, py::dtype::from_args(fields));
}

// Every star of a survey, integrated as the survey program does; the rows of its table.
py::array survey_table(const model& m, const survey_kind& kind, const py::object& threads,
                       const py::object& method_obj, const py::object& tol_obj) {
    const integrator how = integrator_of(method_obj, tol_obj);
    const int nthreads = thread_count(threads);
    const py::ssize_t nstars = m.p.nstars > 0 ? m.p.nstars : 0;
    py::array table = structured(std::vector<const char*>(kind.names, kind.names + kind.columns), nstars);
    double* rows = static_cast<double*>(table.mutable_data());
    params p = m.p;
    rand48 g;
    seed_run(p, g);
    const double tmax = run_end(p, run_length::surveys);
    std::vector<failure> failures;
    run_interruptible([&](const std::atomic<bool>* stop) {
        const auto share = [&](long tasks, auto&& body) { for_taken(tasks, nthreads, body); };
        const auto kept = [](const survey_star*, long) {};
        const auto done = [&](long first, int n, survey_star* batch) {
            for (int i = 0; i < n && !stop->load(); ++i) {
                survey_star& s = batch[i];
                for (int b = 0; b < kind.bodies; ++b)
                    if (!s.ok[b])
                        failures.push_back({"star " + std::to_string(first + i) + (b ? " (twin)" : ""), s.end[b].t,
                                            radius_of(s.end[b])});
                star_row(p, kind, s, rows + (first + i) * kind.columns);
            }
            return !stop->load();
        };
        run_survey_batches(p, g, kind, tmax, how, stop, share, kept, done);
    });
    warn_failures(kind.bodies == 1 ? "migrate" : "twin", p, how, long(nstars) * kind.bodies,
                  kind.bodies == 1 ? "stars" : "stars and twins", failures);
    return table;
}

// The spread program's rule for the output interval, as SetupError with its words and
// the setup's path (or "Model()") before them, as the program says it.
void refuse_spread_interval(const model& m) {
    if (const std::string problem = spread_interval_problem(m.p); !problem.empty())
        refuse_setup(m.where() + ": " + problem);
}

py::array spread_table(const model& m, const py::object& threads, const py::object& method_obj,
                       const py::object& tol_obj) {
    const integrator how = integrator_of(method_obj, tol_obj);
    const int nthreads = thread_count(threads);
    params p = m.p;
    const double tmax = run_end(p, run_length::spread);
    if (p.nstars > ensemble_capacity)
        throw py::value_error("nstars: " + std::to_string(p.nstars) + " members are more than the " +
                              std::to_string(ensemble_capacity) + " an ensemble holds");
    refuse_spread_interval(m);
    rand48 g;
    seed_run(p, g);
    const auto e = std::make_unique<ensemble>();
    start_ensemble(*e, p, g, how);
    std::vector<double> rows;  // t, rmax, lsig, lmax per output time
    std::vector<failure> failures;
    run_interruptible([&](const std::atomic<bool>* stop) {
        for_spread_times(p, tmax, [&](double t) {
            bool failed[ensemble_capacity] = {};
            const spread_figures s = advance_ensemble(*e, t, failed, stop, nthreads);
            if (stop->load()) return false;
            rows.insert(rows.end(), {t / twopi, s.rmax, s.lsig, s.lmax});
            for (int i = 0; i < e->n; ++i)
                if (failed[i]) failures.push_back({"member " + std::to_string(i), e->member[i].t, NAN});
            return true;
        });
    });
    warn_failures("spread", p, how, e->n, "members", failures);
    py::array table = structured({"t", "rmax", "lsig", "lmax"}, py::ssize_t(rows.size() / 4));
    std::copy(rows.begin(), rows.end(), static_cast<double*>(table.mutable_data()));
    return table;
}

}  // namespace

namespace {

// Record-line quantities of n states at their times: per row r, phi, u, v, L, J, e,
// theta1, KE, p0, then p_k and f_k of every pattern, then the Jacobi energy of every pattern.
f64_array record_rows(const model& m, const py::handle& states_obj, const py::handle& t_obj,
                      const py::object& phases_obj) {
    const f64_array states = states_array(states_obj);
    const f64_array t = real_array(t_obj, "t", time_units);
    const py::ssize_t n = states.shape(0);
    if (t.ndim() != 1 || t.shape(0) != n)
        throw py::value_error("t: expected one time per state, shape (" + std::to_string(n) + ",); got shape " +
                              shape_of(t));
    const f64_array phases = phases_array(m, phases_obj, n);
    const int np = m.p.npatterns;
    const py::ssize_t cols = 10 + 3 * np;
    f64_array out({n, cols});
    params p = m.p;
    for (py::ssize_t i = 0; i < n; ++i) {
        if (!phases_obj.is_none())
            for (int k = 0; k < np; ++k) p.phi0[k] = phases.data()[i * np + k];
        const orbit_state s = state_xy(states.data(i, 0), t.data()[i]);
        const record_line q = measure(p, s);
        double* row = out.mutable_data(i, 0);
        const double lead[] = {q.r, q.phi, q.u, q.dv, q.L, q.J, q.e, q.theta1, q.KE, q.p0};
        std::copy(std::begin(lead), std::end(lead), row);
        for (int k = 0; k < np; ++k) {
            row[10 + 2 * k] = q.pk[k];
            row[11 + 2 * k] = q.fk[k];
            row[10 + 2 * np + k] = jacobi(p, s, k);
        }
    }
    return out;
}

}  // namespace

namespace {

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

// model.h: what the other binding files share with this one
integrator method_argument(const py::object& method, const py::object& tol) { return integrator_of(method, tol); }
int threads_argument(const py::object& threads) { return thread_count(threads); }
void run_released(const std::function<void(const std::atomic<bool>*)>& work) { run_interruptible(work); }
void warn_user(const std::string& message) { warn(message); }

void bind_analysis(py::module_& m);  // analysis_bind.cpp
void bind_actions(py::module_& m);   // actions_bind.cpp

PYBIND11_MODULE(_orbkit, mod) {
    mod.doc() = "orbkit's compiled core: models, draws, integrations and the programs' tables";
    mod.attr("__version__") = ORBKIT_VERSION;
    setup_error = PyErr_NewExceptionWithDoc(
        "orbkit.SetupError", "A setup the programs refuse; the message is their 'path:line: ...' line.",
        PyExc_ValueError, nullptr);
    mod.attr("SetupError") = py::handle(setup_error);
    setup_warning = PyErr_NewExceptionWithDoc(
        "orbkit.SetupWarning", "A setup value the programs run with a warning; the message is theirs.",
        PyExc_RuntimeWarning, nullptr);
    mod.attr("SetupWarning") = py::handle(setup_warning);
    integration_warning = PyErr_NewExceptionWithDoc(
        "orbkit.IntegrationWarning",
        "Stars whose integration failed (their values are nan), or phases that were not given; one per call.",
        PyExc_RuntimeWarning, nullptr);
    mod.attr("IntegrationWarning") = py::handle(integration_warning);
    mod.attr("max_patterns") = max_patterns;
    mod.attr("ensemble_capacity") = ensemble_capacity;
    mod.attr("twin_offset") = twin_offset;
    mod.attr("twopi") = twopi;
    mod.attr("max_threads") = max_team();
    py::list names;
    for (const setup_field& sf : scalar_fields) names.append(sf.name);
    mod.attr("scalar_names") = py::tuple(names);
    py::list pnames;
    for (const setup_field& pf : block_fields) pnames.append(pf.name);
    mod.attr("pattern_names") = py::tuple(pnames);

    static const std::string doc = model_doc();
    py::class_<model> cls(mod, "Model", doc.c_str());
    cls.def(py::init([](const py::kwargs& fields) { return make_model(fields); }),
            "Model(**fields): a model from its fields by name (see the class's help); the reader's checks run.")
        .def_static("read", &read_model, py::arg("path"),
                    "The model of a setup file, read exactly as the programs read it. SetupError (with\n"
                    "their 'path:line: ...' message) for a setup they refuse, SetupWarning for each of\n"
                    "their warnings, OSError for a file that cannot be read.")
        .def("write", &write_model, py::arg("path"),
             "Writes the model as a setup file that reads back to the same values, bit for bit.")
        .def("__repr__", &repr_model)
        .def("__eq__",
             [](const model& a, const py::object& b) {
                 return py::isinstance<model>(b) && equal_models(a, b.cast<const model&>());
             },
             py::arg("other"), "Same values (NaN equals NaN); False for anything that is not a Model.")
        .def("__hash__", &hash_model, "A hash by value: equal models hash alike.")
        .def("__copy__", [](const model& m) { return m; }, "A copy (a Model is immutable).")
        .def("__deepcopy__", [](const model& m, const py::object&) { return m; }, py::arg("memo"),
             "A copy (a Model is immutable).")
        .def(py::pickle([](const model& m) { return py::make_tuple(dict_of(m), m.source); },
                        [](const py::tuple& t) {
                            return restore_model(t[0].cast<py::dict>(), t[1].cast<std::string>());
                        }))
        .def("to_dict", &dict_of,
             "The fields as Model() takes them: every scalar field and 'patterns', a list of dicts.")
        .def_property_readonly("source", [](const model& m) { return m.source.empty() ? py::object(py::none()) : py::object(py::str(m.source)); },
                               "The setup file the model was read from, or None.")
        .def_property_readonly("patterns", &patterns_of, "The patterns' fields, one dict per pattern (file units).")
        .def_property_readonly("tmax", [](const model& m) { return run_end(m.p, run_length::surveys); },
                               "The surveys' end, nsteps x dt_int, in model time units.")
        .def("times", [](const model& m) {
            // the orbit files' output times: 0, then a running sum of dt_int, nsteps times
            std::vector<double> t = listed(orbit_file_times(m.p));
            t.insert(t.begin(), 0.0);
            return f64_array(py::ssize_t(t.size()), t.data());
        }, "The orbit files' output times, model units: 0, dt_int, 2 dt_int, ... (a running sum), nsteps + 1 of them.")
        .def("spread_times", [](const model& m) {
            refuse_spread_interval(m);
            const std::vector<double> t = spread_times(m.p, run_end(m.p, run_length::spread));
            return f64_array(py::ssize_t(t.size()), t.data());
        }, "The spread ensemble's output times, model units: dt_int, 2 dt_int, ... up to (nsteps + 1) dt_int.")
        .def("draw", &draw_states, py::arg("n") = py::none(),
             "The initial states x, y, vx, vy of the first n stars a survey draws (n = nstars when\n"
             "None), as an (n, 4) array, whatever randp0. With randp0 = 1 each star is drawn with\n"
             "phases of its own: draw_phases(n) gives them.")
        .def("draw_phases", &draw_phases, py::arg("n") = py::none(),
             "The pattern phases phi0 (radians) the first n stars a survey draws are drawn with, an\n"
             "(n, npatterns) array: the model's own phases, and with randp0 = 1 fresh ones for\n"
             "patterns 2, 3, ... of every star. Pass them as integrate(..., phases=...).")
        .def("integrate", &integrate_states, py::arg("states"), py::arg("times"), py::arg("t0") = 0.0, py::kw_only(),
             py::arg("phases") = py::none(), py::arg("threads") = py::none(), py::arg("with_times") = false,
             py::arg("method") = "bs", py::arg("tol") = py::none(), py::arg("exact") = true,
             "Follows states (n, 4) or one state (4,), x, y, vx, vy at time t0, through the output\n"
             "times (model units, 2 pi per orbit; any order, before or after t0) and returns the\n"
             "states there: (n, len(times), 4), or (len(times), 4) for one state.\n\n"
             "Every row is at exactly the time asked for. method='bs' (default) follows the\n"
             "programs' path: it reaches each output time within 1e-4 and a copy is landed on\n"
             "it for the row, the path going on unchanged; exact=False gives the states the path\n"
             "reached instead (the orbit files' rows; with_times=True tells their times).\n"
             "method='dop853' is the fast mode at tolerance tol (default 1e-13).\n\n"
             "phases: (n, npatterns) radians per star (see draw_phases); without them every star\n"
             "moves in the model's own phases (a warning for a randp0 = 1 model).\n"
             "threads: how many (None: OpenMP's default; at most orbkit.max_threads).\n"
             "A failed star's rows from the failure on are nan; one IntegrationWarning per call\n"
             "counts them and says why. Ctrl-C stops the call with KeyboardInterrupt.")
        .def("_record_rows", &record_rows, py::arg("states"), py::arg("t"), py::arg("phases"),
             "Record-line quantities of (n, 4) states at n times, and each pattern's Jacobi energy.")
        // the Python layer refuses quantities and calls these
        .def("_potential", py::vectorize([](model& m, double x, double y, double t) { return potential(m.p, x, y, t); }),
             py::arg("x"), py::arg("y"), py::arg("t"),
             "Total potential at (x, y) and time t (model units), the patterns at their grown amplitudes.")
        .def("_force_x", py::vectorize([](model& m, double x, double y, double t) {
                 double dx, dy, dz, dt;
                 dphi(m.p, &dx, &dy, &dz, &dt, x, y, 0, t);
                 return -dx;
             }),
             py::arg("x"), py::arg("y"), py::arg("t"), "-dPhi/dx at (x, y) and time t.")
        .def("_force_y", py::vectorize([](model& m, double x, double y, double t) {
                 double dx, dy, dz, dt;
                 dphi(m.p, &dx, &dy, &dz, &dt, x, y, 0, t);
                 return -dy;
             }),
             py::arg("x"), py::arg("y"), py::arg("t"), "-dPhi/dy at (x, y) and time t.")
        .def("_vc", py::vectorize([](model& m, double r) { return vc_0(m.p, r); }), py::arg("r"),
             "Circular speed of the background at radius r, v_c = r^gamma_.")
        .def("_omega", py::vectorize([](model& m, double r) { return om_0(m.p, r); }), py::arg("r"),
             "Circular angular speed v_c / r at radius r.")
        .def("_kappa", py::vectorize([](model& m, double r) { return kratio(m.p) * om_0(m.p, r); }), py::arg("r"),
             "Epicycle frequency kappa = sqrt(2 (1 + gamma_)) Omega at radius r.")
        .def("growth", py::vectorize([](model& m, int pattern, double t) {
                 if (pattern < 1 || pattern > m.p.npatterns)
                     throw py::value_error("pattern: expected 1 .. " + std::to_string(m.p.npatterns) +
                                           ", got " + std::to_string(pattern));
                 return growth(m.p, pattern - 1, t);
             }),
             "Growth factor of a pattern (1 for the first) at times t (model units): 0 before its "
             "starttime, rising linearly over its growtime, then 1; the force's patterns are at "
             "epsilon times this.",
             py::arg("pattern"), py::arg("t"));
    for (const setup_field& sf : scalar_fields)
        cls.def_property_readonly(sf.name, [&sf](const model& m) { return value_of(m, sf); },
                                  (std::string(sf.meaning) + (*sf.unit ? std::string(" (") + sf.unit + ")" : ""))
                                      .c_str());

    mod.def("_refuse_quantity",
            [](const py::handle& value, const char* name, const std::string& kind) {
                refuse_quantity(value, name, kind == "length" ? length_units : kind == "time" ? time_units : state_units);
            },
            py::arg("value"), py::arg("name"), py::arg("kind"),
            "TypeError when value carries a unit; kind 'length', 'time' or 'state' says what is expected.");
    mod.def("migrate",
            [](const model& m, const py::object& threads, const py::object& method, const py::object& tol) {
                return survey_table(m, migrate_kind, threads, method, tol);
            },
            py::arg("model"), py::kw_only(), py::arg("threads") = py::none(), py::arg("method") = "bs",
            py::arg("tol") = py::none(),
            "The migration survey of the model: orbmigrate's .lxy table at full precision, a\n"
            "structured array L0 dL x y, one row per star. method, tol, threads as for integrate.");
    mod.def("twin",
            [](const model& m, const py::object& threads, const py::object& method, const py::object& tol) {
                return survey_table(m, twin_kind, threads, method, tol);
            },
            py::arg("model"), py::kw_only(), py::arg("threads") = py::none(), py::arg("method") = "bs",
            py::arg("tol") = py::none(),
            "The twin survey: orbtwin's .rx table at full precision, a structured array L0 L1 L2.");
    mod.def("spread", &spread_table, py::arg("model"), py::kw_only(), py::arg("threads") = py::none(),
            py::arg("method") = "bs", py::arg("tol") = py::none(),
            "The spread ensemble: orbspread's .l table at full precision, a structured array\n"
            "t (orbits) rmax lsig lmax. SetupError for a dt_int the spread program refuses.");
    bind_analysis(mod);
    bind_actions(mod);
}
