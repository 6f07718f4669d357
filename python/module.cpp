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
#include <vector>

#include "follow.h"
#include "galaxy.h"
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
// Created once with the module and never freed: it lives as long as the interpreter.
PyObject* setup_error = nullptr;

// A time as the programs print it in their messages
std::string shown_time(double t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6g", t);
    return buf;
}

void warn(const std::string& message) {
    if (PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 1) != 0) throw py::error_already_set();
}

// ---- the model

// A model and its run: the values as a setup file gives them (orbits, degrees) and
// the same converted to model units, as the programs hold them.
struct model {
    params file;  // the setup's own numbers: what write() writes and the attributes show
    params p;     // to_model_units(file), with one particle per integration

    void derive() {
        p = file;
        to_model_units(p);
        p.n_particles = 1;
        p.number_equations = 6 * p.n_particles;
    }
};

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
    // the programs' reader, its decisions and its words: warnings as warnings, the
    // error that refuses the setup as SetupError
    const setup_read r = read_setup(f, path, m.file, checker);
    std::fclose(f);
    for (const setup_note& n : r.notes) {
        if (n.kind == setup_note::warning) {
            warn(note_message(path, n));
        } else {
            PyErr_SetString(setup_error, note_message(path, n).c_str());
            throw py::error_already_set();
        }
    }
    m.derive();
    return m;
}

double as_real(const py::handle& v, const char* name) {
    if (!py::isinstance<py::float_>(v) && !py::isinstance<py::int_>(v) &&
        !py::hasattr(v, "__float__"))
        throw py::type_error(std::string(name) + ": expected a number");
    return v.cast<double>();
}

std::int64_t as_integer(const py::handle& v, const char* name) {
    if (!py::isinstance<py::int_>(v) && !py::hasattr(v, "__index__"))
        throw py::type_error(std::string(name) + ": expected an integer");
    return py::int_(py::reinterpret_borrow<py::object>(v)).cast<std::int64_t>();
}

void set_pattern(params& f, int k, const py::handle& item) {
    if (!py::isinstance<py::dict>(item))
        throw py::type_error("patterns: each pattern is a dict of " + std::to_string(pattern_fields) +
                             " values (mm, epsilon, phi0, ...)");
    for (const auto& kv : py::reinterpret_borrow<py::dict>(item)) {
        const std::string key = py::str(kv.first);
        const setup_field* field = find_field(key.c_str());
        if (!field || !field->pattern)
            throw py::type_error("patterns[" + std::to_string(k) + "]: unknown field '" + key + "'");
        set_field(f, *field, as_real(kv.second, field->name), k);
    }
}

model make_model(const py::kwargs& fields) {
    model m;
    bool npatterns_given = false;
    int npatterns_listed = 0;
    for (const auto& kv : fields) {
        const std::string key = py::str(kv.first);
        if (key == "patterns") {
            const py::list list(py::reinterpret_borrow<py::object>(kv.second));
            if (list.size() > std::size_t(max_patterns))
                throw py::value_error("patterns: " + std::to_string(list.size()) + " is more than the " +
                                      std::to_string(max_patterns) + " patterns a model holds");
            npatterns_listed = int(list.size());
            for (int k = 0; k < npatterns_listed; ++k) set_pattern(m.file, k, list[k]);
            continue;
        }
        const setup_field* field = find_field(key.c_str());
        if (!field || field->pattern) throw py::type_error("Model() got an unexpected keyword argument '" + key + "'");
        if (field->type == field_type::real)
            m.file.*field->real = as_real(kv.second, field->name);
        else if (field->type == field_type::integer)
            m.file.*field->integer = int(as_integer(kv.second, field->name));
        else
            m.file.lseed = as_integer(kv.second, field->name);
        if (key == "npatterns") npatterns_given = true;
    }
    if (npatterns_given && m.file.npatterns != npatterns_listed)
        throw py::value_error("npatterns is " + std::to_string(m.file.npatterns) + " but " +
                              std::to_string(npatterns_listed) + " patterns are given");
    m.file.npatterns = npatterns_listed;
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

std::string repr_model(const model& m) {
    std::string s = "orbkit.Model(";
    for (const setup_field& sf : scalar_fields) {
        if (std::string(sf.name) == "npatterns") continue;  // implied by the list of patterns
        s += std::string(sf.name) + "=" + std::string(py::repr(value_of(m, sf))) + ", ";
    }
    return s + "patterns=" + std::string(py::repr(patterns_of(m))) + ")";
}

// ---- arrays in

// A float64 array as given, or a sequence turned into one; any other array dtype and
// any wrong shape is refused: a silent conversion would hide a mistake.
f64_array real_array(const py::handle& obj, const char* what) {
    if (py::isinstance<py::array>(obj)) {
        const auto a = py::reinterpret_borrow<py::array>(obj);
        if (!a.dtype().is(py::dtype::of<double>()))
            throw py::value_error(std::string(what) + ": expected float64 values, got dtype " +
                                  std::string(py::str(a.dtype())));
    }
    return py::module_::import("numpy").attr("ascontiguousarray")(obj, "float64").cast<f64_array>();
}

std::string shape_of(const py::array& a) {
    std::string s = "(";
    for (py::ssize_t d = 0; d < a.ndim(); ++d) s += (d ? ", " : "") + std::to_string(a.shape(d));
    return s + (a.ndim() == 1 ? ",)" : ")");
}

f64_array states_array(const py::handle& obj) {
    f64_array a = real_array(obj, "states");
    if (a.ndim() != 2 || a.shape(1) != 4)
        throw py::value_error("states: expected an array of shape (n, 4) holding x, y, vx, vy; got shape " +
                              shape_of(a));
    return a;
}

// Per star and pattern the phases phi0 drawn for it (radians), or none: the model's own.
f64_array phases_array(const model& m, const py::object& obj, py::ssize_t n) {
    if (obj.is_none()) return f64_array();
    f64_array phases = real_array(obj, "phases");
    const int np = m.p.npatterns;
    if (phases.ndim() != 2 || phases.shape(0) != n || phases.shape(1) != np)
        throw py::value_error("phases: expected an array of shape (" + std::to_string(n) + ", " +
                              std::to_string(np) + "), one phase per star and pattern; got shape " +
                              shape_of(phases));
    return phases;
}

// ---- running the integrations: threads, the GIL and Ctrl-C

int thread_count(const py::object& threads) {
    if (threads.is_none()) return omp_get_max_threads();
    const std::int64_t n = as_integer(threads, "threads");
    if (n < 1) throw py::value_error("threads: expected at least 1, got " + std::to_string(n));
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

// Runs work(stop) on a thread of its own, without the GIL, while this thread checks
// for Ctrl-C; an interrupt sets stop, waits for the work to end and raises.
template <class Work>
void run_interruptible(Work&& work) {
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false, interrupted = false;
    {
        py::gil_scoped_release nogil;
        std::thread worker([&] {
            work(&stop);
            std::lock_guard<std::mutex> lock(mutex);
            done = true;
            cv.notify_one();
        });
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mutex);
                if (cv.wait_for(lock, signal_poll, [&] { return done; })) break;
            }
            py::gil_scoped_acquire gil;
            if (PyErr_CheckSignals() != 0) {
                interrupted = true;
                stop = true;
                break;
            }
        }
        worker.join();
    }
    if (interrupted) throw py::error_already_set();
}

// ---- integrate

py::object integrate_states(const model& m, const py::handle& states_obj, const py::handle& times_obj,
                           const py::object& phases_obj, const py::object& threads, bool with_times,
                           const py::object& method_obj, const py::object& tol_obj) {
    const integrator how = integrator_of(method_obj, tol_obj);
    const f64_array states = states_array(states_obj);
    const f64_array times = real_array(times_obj, "times");
    if (times.ndim() != 1)
        throw py::value_error("times: expected a one-dimensional array, got shape " + shape_of(times));
    const py::ssize_t n = states.shape(0), nt = times.shape(0);
    const f64_array phases = phases_array(m, phases_obj, n);
    const int np = m.p.npatterns;
    const int nthreads = thread_count(threads);
    f64_array out({n, nt, py::ssize_t(4)});
    f64_array reached({n, nt});
    double* t_at = reached.mutable_data();
    std::vector<double> t_fail(n, NAN);
    std::vector<py::ssize_t> fail_at(n, nt);
    const double* in = states.data();
    const double* tv = times.data();
    const double* ph = phases_obj.is_none() ? nullptr : phases.data();
    static_assert(sizeof(py::ssize_t) == sizeof(std::ptrdiff_t));
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
                now[i] = state_xy(in + 4 * i, 0);
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
                if (ok) {
                    t_at[i * nt + k] = task.s->t;
                    pack_xy(*task.s, 1, res + (i * nt + k) * 4);
                    return;
                }
                fail_at[i] = k;
                t_fail[i] = task.s->t;
                for (; k < nt; ++k) {
                    t_at[i * nt + k] = NAN;
                    for (int c = 0; c < 4; ++c) res[(i * nt + k) * 4 + c] = NAN;
                }
            };
            follow_orbits(how, take, setup, reached_at);
        });
    });
    for (py::ssize_t i = 0; i < n; ++i)
        if (fail_at[i] < nt)
            warn("star " + std::to_string(i) + ": integration failed at t = " + shown_time(t_fail[i]) +
                 "; its rows from times[" + std::to_string(fail_at[i]) + "] on are nan");
    if (with_times) return py::make_tuple(out, reached);
    return out;
}

// ---- draws

py::object draw_states(const model& m, const py::object& n_obj) {
    const std::int64_t n = n_obj.is_none() ? m.p.nstars : as_integer(n_obj, "n");
    if (n < 0) throw py::value_error("n: expected a count of stars, got " + std::to_string(n));
    params p = m.p;
    rand48 g;
    seed_run(p, g);
    const int np = p.npatterns;
    f64_array states({py::ssize_t(n), py::ssize_t(4)});
    f64_array phases({py::ssize_t(n), py::ssize_t(np)});
    survey_star s;
    for (std::int64_t i = 0; i < n; ++i) {
        draw_star(p, g, s);
        pack_xy(s.init[0], 1, states.mutable_data(i, 0));
        for (int k = 0; k < np; ++k) phases.mutable_data(i, 0)[k] = s.model.phi0[k];
    }
    if (m.p.randp0 == 1) return py::make_tuple(states, phases);
    return states;
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
    std::vector<std::string> failures;
    run_interruptible([&](const std::atomic<bool>* stop) {
        const auto share = [&](long tasks, auto&& body) { for_taken(tasks, nthreads, body); };
        const auto kept = [](const survey_star*, long) {};
        const auto done = [&](long first, int n, survey_star* batch) {
            for (int i = 0; i < n && !stop->load(); ++i) {
                survey_star& s = batch[i];
                for (int b = 0; b < kind.bodies; ++b)
                    if (!s.ok[b])
                        failures.push_back("star " + std::to_string(first + i) + (b ? " (twin)" : "") +
                                           ": integration failed at t = " + shown_time(s.end[b].t) +
                                           "; its values are nan");
                star_row(p, kind, s, rows + (first + i) * kind.columns);
            }
            return !stop->load();
        };
        run_survey_batches(p, g, kind, tmax, how, stop, share, kept, done);
    });
    for (const std::string& f : failures) warn(f);
    return table;
}

// The spread program's rule for the output interval, as SetupError with its words.
void refuse_spread_interval(const params& p) {
    if (const std::string problem = spread_interval_problem(p); !problem.empty()) {
        PyErr_SetString(setup_error, problem.c_str());
        throw py::error_already_set();
    }
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
    refuse_spread_interval(p);
    rand48 g;
    seed_run(p, g);
    const auto e = std::make_unique<ensemble>();
    start_ensemble(*e, p, g, how);
    std::vector<double> rows;  // t, rmax, lsig, lmax per output time
    std::vector<std::string> failures;
    run_interruptible([&](const std::atomic<bool>* stop) {
        for_spread_times(p, tmax, [&](double t) {
            bool failed[ensemble_capacity] = {};
            const spread_figures s = advance_ensemble(*e, t, failed, stop, nthreads);
            if (stop->load()) return false;
            rows.insert(rows.end(), {t / twopi, s.rmax, s.lsig, s.lmax});
            for (int i = 0; i < e->n; ++i)
                if (failed[i])
                    failures.push_back("member " + std::to_string(i) + ": integration failed at t = " +
                                       shown_time(e->member[i].t) + "; it is nan from now on");
            return true;
        });
    });
    for (const std::string& f : failures) warn(f);
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
    const f64_array t = real_array(t_obj, "t");
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

PYBIND11_MODULE(_orbkit, mod) {
    mod.doc() = "orbkit's compiled core: models, draws, integrations and the programs' tables";
    setup_error = PyErr_NewExceptionWithDoc(
        "orbkit.SetupError", "A setup file the programs refuse; the message is their 'path:line: ...' line.",
        PyExc_ValueError, nullptr);
    mod.attr("SetupError") = py::handle(setup_error);
    mod.attr("max_patterns") = max_patterns;
    mod.attr("ensemble_capacity") = ensemble_capacity;
    mod.attr("twin_offset") = twin_offset;
    mod.attr("twopi") = twopi;
    py::list names;
    for (const setup_field& sf : scalar_fields) names.append(sf.name);
    mod.attr("scalar_names") = py::tuple(names);
    py::list pnames;
    for (const setup_field& pf : block_fields) pnames.append(pf.name);
    mod.attr("pattern_names") = py::tuple(pnames);

    py::class_<model> cls(mod, "Model");
    cls.def(py::init([](const py::kwargs& fields) { return make_model(fields); }))
        .def_static("read", &read_model, py::arg("path"))
        .def("write", &write_model, py::arg("path"))
        .def("__repr__", &repr_model)
        .def("__eq__", [](const model& a, const model& b) {
            return std::memcmp(&a.file, &b.file, sizeof(params)) == 0;
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
            refuse_spread_interval(m.p);
            const std::vector<double> t = spread_times(m.p, run_end(m.p, run_length::spread));
            return f64_array(py::ssize_t(t.size()), t.data());
        })
        .def("draw", &draw_states, py::arg("n") = py::none())
        .def("integrate", &integrate_states, py::arg("states"), py::arg("times"), py::kw_only(),
             py::arg("phases") = py::none(), py::arg("threads") = py::none(), py::arg("with_times") = false,
             py::arg("method") = "bs", py::arg("tol") = py::none())
        .def("_record_rows", &record_rows)
        .def("potential", py::vectorize([](model& m, double x, double y, double t) {
                 return potential(m.p, x, y, t);
             }),
             py::arg("x"), py::arg("y"), py::arg("t") = 0.0)
        .def("_force_x", py::vectorize([](model& m, double x, double y, double t) {
                 double dx, dy, dz, dt;
                 dphi(m.p, &dx, &dy, &dz, &dt, x, y, 0, t);
                 return -dx;
             }))
        .def("_force_y", py::vectorize([](model& m, double x, double y, double t) {
                 double dx, dy, dz, dt;
                 dphi(m.p, &dx, &dy, &dz, &dt, x, y, 0, t);
                 return -dy;
             }))
        .def("vc", py::vectorize([](model& m, double r) { return vc_0(m.p, r); }), py::arg("r"))
        .def("omega", py::vectorize([](model& m, double r) { return om_0(m.p, r); }), py::arg("r"))
        .def("kappa", py::vectorize([](model& m, double r) { return kratio(m.p) * om_0(m.p, r); }),
             py::arg("r"))
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
        cls.def_property_readonly(sf.name, [&sf](const model& m) { return value_of(m, sf); });

    mod.def("migrate",
            [](const model& m, const py::object& threads, const py::object& method, const py::object& tol) {
                return survey_table(m, migrate_kind, threads, method, tol);
            },
            py::arg("model"), py::kw_only(), py::arg("threads") = py::none(), py::arg("method") = "bs",
            py::arg("tol") = py::none());
    mod.def("twin",
            [](const model& m, const py::object& threads, const py::object& method, const py::object& tol) {
                return survey_table(m, twin_kind, threads, method, tol);
            },
            py::arg("model"), py::kw_only(), py::arg("threads") = py::none(), py::arg("method") = "bs",
            py::arg("tol") = py::none());
    mod.def("spread", &spread_table, py::arg("model"), py::kw_only(), py::arg("threads") = py::none(),
            py::arg("method") = "bs", py::arg("tol") = py::none());
}
