// The module's runs: integrate, the survey's draws, the record line's quantities and
// the programs' tables, each on the module's worker (runtime.cpp) with the checks of
// checks.cpp.
#include <pybind11/stl.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <cmath>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "bindings.h"
#include "galaxy.h"
#include "orbits.h"
#include "output.h"
#include "spread.h"
#include "survey.h"
#include "tasks.h"

namespace {

// Warnings of calls made through orbkit.Model's methods point at the caller of the
// method: past the method and its keyword check.
inline constexpr int method_stacklevel = 3;

// A call this small runs on the calling thread, where Ctrl-C is seen only when it ends:
// a few stars over a short path (model time units summed over the stars, some 30 orbits
// at r = 1: milliseconds, and even stars that exhaust the work budget end within a second).
inline constexpr long inline_stars = 4;
inline constexpr double inline_path = 200;

// ---- integrate

// One star in flight: its model (with the phases drawn for it), its integration and
// state. A thread holds a few, reused star after star, so that memory follows the
// output and not the number of stars.
struct star_slot {
    params model;
    follower run;
    orbit_state s;
    bool failed = false;
};
inline constexpr int slots_per_thread = 16;  // more than the lanes a thread follows at once

py::object integrate_states(const model& m, const py::handle& states_obj, const py::handle& times_obj,
                            const py::handle& t0_obj, const py::object& phases_obj, const py::object& threads,
                            bool with_times, const py::object& method_obj, const py::object& tol_obj, bool exact,
                            const py::object& progress) {
    const integrator how = integrator_of(method_obj, tol_obj);
    bool single;
    const f64_array states = states_array(states_obj, single);
    const f64_array times = times_array(times_obj, "times");
    const double t0 = finite_time(t0_obj, "t0");
    const py::ssize_t n = states.shape(0), nt = times.shape(0);
    const f64_array phases = phases_array(m, phases_obj, n);
    if (phases_obj.is_none() && m.p.randp0 == 1 && m.p.npatterns > 1)
        warn("this model draws fresh phases of its patterns for every star (randp0 = 1), and no phases were "
             "given: every star moves in the model's own phases, not in those it was drawn with; pass "
             "phases=model.draw_phases(n) for the stars of model.draw(n)",
             integration_warning, method_stacklevel);
    const int np = m.p.npatterns;
    const int nthreads = thread_count(threads);
    // the extrapolation step reaches each output time within taketstep_tolerance: a
    // copy of the state is landed on it for the output, the path goes on unchanged
    const bool land_rows = exact && how.kind == method::bs;
    f64_array out({n, nt, py::ssize_t(4)});
    f64_array reached = with_times ? f64_array({n, nt}) : f64_array();
    double* t_at = with_times ? reached.mutable_data() : nullptr;
    double* res = out.mutable_data();
    const double* in = states.data();
    const double* tv = times.data();
    const double* ph = phases_obj.is_none() ? nullptr : phases.data();
    // a star whose state is not finite is not integrated: nan rows, named in the warning
    std::vector<std::pair<long, failure>> failed;
    std::vector<long> order;  // the stars to integrate when some are left out
    for (py::ssize_t i = 0; i < n; ++i)
        if (!finite_state(in + 4 * i)) {
            if (order.empty())
                for (py::ssize_t j = 0; j < i; ++j) order.push_back(long(j));
            failed.push_back({long(i), {"star " + std::to_string(i), t0, NAN, true}});
            std::fill(res + i * nt * 4, res + (i + 1) * nt * 4, NAN);
            if (t_at) std::fill(t_at + i * nt, t_at + (i + 1) * nt, NAN);
        } else if (!failed.empty()) {
            order.push_back(long(i));
        }
    const long todo = failed.empty() ? long(n) : long(order.size());
    double path = nt ? std::fabs(tv[0] - t0) : 0;
    for (py::ssize_t k = 1; k < nt; ++k) path += std::fabs(tv[k] - tv[k - 1]);
    const bool small = todo <= inline_stars && double(todo) * path <= inline_path;
    const int team = small ? 1 : int(std::min<long>(nthreads, std::max(1L, todo)));
    std::mutex failing;
    if (nt > 0 && todo > 0)
        run_work(
            [&](work_state& work) {
                const std::atomic<bool>* stop = &work.stop;
                for_taken(todo, team, [&](auto&& take_next) {
                    const auto slots = std::make_unique<star_slot[]>(slots_per_thread);
                    int free[slots_per_thread], nfree = slots_per_thread;
                    for (int j = 0; j < slots_per_thread; ++j) free[j] = slots_per_thread - 1 - j;
                    const auto take = [&]() -> long {
                        const long j = take_next();
                        return j < 0 || order.empty() ? j : order[std::size_t(j)];
                    };
                    const auto setup = [&](long i, lane_task& task) {
                        star_slot& sl = slots[free[--nfree]];
                        sl.failed = false;
                        sl.run = follower{};
                        sl.run.how = how;
                        const params* p = &m.p;
                        if (ph) {
                            sl.model = m.p;
                            for (int k = 0; k < np; ++k) sl.model.phi0[k] = ph[i * np + k];
                            p = &sl.model;
                        }
                        sl.s = state_xy(in + 4 * i, t0);
                        task.p = p;
                        task.run = &sl.run;
                        task.s = &sl.s;
                        task.times = tv;
                        task.ntimes = long(nt);
                        task.stop = stop;
                    };
                    // the star's state at output time k; NaN from its failure on
                    const auto reached_at = [&](long i, const lane_task& task, long k, bool ok) {
                        int j = 0;
                        while (&slots[j].run != task.run) ++j;
                        star_slot& sl = slots[j];
                        if (!sl.failed) {  // a row that could not be landed ended the star
                            orbit_state row = *task.s;
                            if (ok && (!land_rows || land(*task.p, row, tv[k]))) {
                                if (t_at) t_at[i * nt + k] = row.t;
                                pack_xy(row, 1, res + (i * nt + k) * 4);
                            } else if (!stop->load()) {  // interrupted: the call raises
                                sl.failed = true;
                                {
                                    std::lock_guard<std::mutex> lock(failing);
                                    failed.push_back({i, {"star " + std::to_string(i), row.t, radius_of(row)}});
                                }
                                std::fill(res + (i * nt + k) * 4, res + (i + 1) * nt * 4, NAN);
                                if (t_at) std::fill(t_at + i * nt + k, t_at + (i + 1) * nt, NAN);
                            }
                        }
                        if (!ok || k == nt - 1) {  // the star's last call: its slot is free
                            free[nfree++] = j;
                            work.completed.fetch_add(1, std::memory_order_relaxed);
                        }
                    };
                    follow_orbits(how, take, setup, reached_at);
                });
            },
            small, progress);
    std::sort(failed.begin(), failed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<failure> in_order;
    for (auto& f : failed) in_order.push_back(std::move(f.second));
    warn_failures("integrate", m.p, how, long(n), "stars", in_order, method_stacklevel);
    py::object result = out, at = reached;
    if (single) {
        result = out[py::int_(0)];
        if (with_times) at = reached[py::int_(0)];
    }
    if (with_times) return py::make_tuple(result, at);
    return result;
}

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
                       const py::object& method_obj, const py::object& tol_obj, const py::object& progress) {
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
    run_work([&](work_state& work) {
        const std::atomic<bool>* stop = &work.stop;
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
            work.completed.fetch_add(n, std::memory_order_relaxed);
            return !stop->load();
        };
        run_survey_batches(p, g, kind, tmax, how, stop, share, kept, done);
    }, false, progress);
    warn_failures(kind.bodies == 1 ? "migrate" : "twin", p, how, long(nstars) * kind.bodies,
                  kind.bodies == 1 ? "stars" : "stars and twins", failures, method_stacklevel + 1);
    return table;
}

// The standard deviation of the members' angular momenta about their mean, in two
// passes: the one-pass formula of the lsig column cancels when the spread is far
// below L itself (a spread of 1e-8 about L = 1 shows as some 4e-8, or 0).
double two_pass_sigma(const ensemble& e) {
    double sum = 0;
    for (int i = 0; i < e.n; ++i) sum += get_ll(e.member[i]);
    const double mean = sum / e.n;
    double s2 = 0;
    for (int i = 0; i < e.n; ++i) {
        const double d = get_ll(e.member[i]) - mean;
        s2 += d * d;
    }
    return std::sqrt(s2 / e.n);
}

py::array spread_table(const model& m, const py::object& threads, const py::object& method_obj,
                       const py::object& tol_obj, const py::object& progress) {
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
    std::vector<double> rows;  // t, rmax, lsig, lmax, lsig_twopass per output time
    std::vector<failure> failures;
    run_work([&](work_state& work) {
        const std::atomic<bool>* stop = &work.stop;
        for_spread_times(p, tmax, [&](double t) {
            bool failed[ensemble_capacity] = {};
            const spread_figures s = advance_ensemble(*e, t, failed, stop, nthreads);
            if (stop->load()) return false;
            rows.insert(rows.end(), {t / twopi, s.rmax, s.lsig, s.lmax, two_pass_sigma(*e)});
            for (int i = 0; i < e->n; ++i)
                if (failed[i]) failures.push_back({"member " + std::to_string(i), e->member[i].t, NAN});
            work.completed.fetch_add(1, std::memory_order_relaxed);
            return true;
        });
    }, false, progress);
    warn_failures("spread", p, how, e->n, "members", failures, method_stacklevel + 1);
    py::array table = structured({"t", "rmax", "lsig", "lmax", "lsig_twopass"}, py::ssize_t(rows.size() / 5));
    std::copy(rows.begin(), rows.end(), static_cast<double*>(table.mutable_data()));
    return table;
}

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

void bind_runs(py::module_& mod, py::class_<model>& cls) {
    cls.def("integrate", &integrate_states, py::arg("states"), py::arg("times"), py::arg("t0"), py::arg("phases"),
            py::arg("threads"), py::arg("with_times"), py::arg("method"), py::arg("tol"), py::arg("exact"),
            py::arg("progress"))
        .def("draw", &draw_states, py::arg("n"))
        .def("draw_phases", &draw_phases, py::arg("n"))
        .def("record_rows", &record_rows, py::arg("states"), py::arg("t"), py::arg("phases"));
    mod.def("_migrate", [](const model& m, const py::object& threads, const py::object& method, const py::object& tol,
                           const py::object& progress) {
        return survey_table(m, migrate_kind, threads, method, tol, progress);
    });
    mod.def("_twin", [](const model& m, const py::object& threads, const py::object& method, const py::object& tol,
                        const py::object& progress) {
        return survey_table(m, twin_kind, threads, method, tol, progress);
    });
    mod.def("_spread", &spread_table);
}

// ---- the programs' files

namespace {

// The separators of a table's values: blanks other than the line's end
bool space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// Past the '+' that Python's int() and float() take before a number (but not '+-')
const char* past_plus(const char* a, const char* b) {
    return a < b && *a == '+' && b - a > 1 && a[1] != '-' ? a + 1 : a;
}

// A number as Python's float() reads the programs' output: from_chars, and a leading '+'.
bool parse_real(const char* a, const char* b, double& v) {
    const auto r = std::from_chars(past_plus(a, b), b, v);
    return r.ec == std::errc() && r.ptr == b;
}
bool parse_index(const char* a, const char* b, double& v) {
    long long i = 0;
    const auto r = std::from_chars(past_plus(a, b), b, i);
    v = double(i);
    return r.ec == std::errc() && r.ptr == b;
}

// The rows of a whitespace-separated table: every line that is not blank and does not
// start with '#', `width` values each (0: as many as the first row), the first column
// an integer when index_first. Returns (rows (n, width) float64, None), or (None,
// (line, kind, detail)) for the first line that does not fit: kind 'count' (detail:
// the number of values) or 'value' (the text that is not a number).
py::tuple read_rows(const py::object& path_obj, long width, bool index_first) {
    const std::string path = path_of(path_obj);
    std::string text;
    {
        std::FILE* f = std::fopen(path.c_str(), "rb");
        if (!f) raise_file_error(path);
        char buf[1 << 16];
        for (std::size_t got; (got = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, got);
        const bool failed = std::ferror(f) != 0;
        std::fclose(f);
        if (failed) raise_file_error(path);
    }
    std::vector<double> values;
    long line = 0, rows = 0;
    const char* p = text.data();
    const char* end = p + text.size();
    const auto bad = [&](const char* kind, const py::object& detail) {
        return py::make_tuple(py::none(), py::make_tuple(line, kind, detail));
    };
    std::vector<std::pair<const char*, const char*>> words;  // the values of one line
    while (p < end) {
        const char* eol = static_cast<const char*>(std::memchr(p, '\n', std::size_t(end - p)));
        if (!eol) eol = end;
        ++line;
        words.clear();
        for (const char* q = *p == '#' ? eol : p; q < eol;) {
            while (q < eol && space(*q)) ++q;
            if (q == eol) break;
            const char* t = q;
            while (q < eol && !space(*q)) ++q;
            words.emplace_back(t, q);
        }
        if (!words.empty()) {  // not blank, not a comment
            const long count = long(words.size());
            for (long c = 0; c < count; ++c) {
                const auto [t, q] = words[std::size_t(c)];
                double v;
                if (!((index_first && c == 0) ? parse_index(t, q, v) : parse_real(t, q, v))) {
                    // a row of the wrong length is reported as that, whatever it holds
                    if (width && count != width) return bad("count", py::int_(count));
                    return bad("value", py::reinterpret_steal<py::object>(
                                            PyUnicode_DecodeUTF8(t, q - t, "replace")));
                }
                values.push_back(v);
            }
            if (width == 0) width = count;
            if (count != width) return bad("count", py::int_(count));
            ++rows;
        }
        p = eol + 1;
    }
    f64_array out({py::ssize_t(rows), py::ssize_t(width)});
    std::copy(values.begin(), values.end(), out.mutable_data());
    return py::make_tuple(out, py::none());
}

}  // namespace

void bind_files(py::module_& mod) {
    mod.def("_read_rows", &read_rows, py::arg("path"), py::arg("width"), py::arg("index_first"));
}
