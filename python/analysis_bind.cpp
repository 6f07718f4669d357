// orbkit.analysis's compiled part: the integrations it needs, on every thread
#include <cmath>
#include <string>
#include <vector>

#include "bindings.h"
#include "lyapunov.h"

namespace {

// Finite-time exponents of n stars (states (n, 4): x, y, vx, vy at t0); the arguments
// are checked by orbkit.analysis.lyapunov, which is what users call. A star whose
// state is not finite is not integrated: nan exponents, named in the one warning.
f64_array lyapunov_of(const model& m, const py::handle& states_obj, double tau, int intervals, double d0,
                      const py::handle& t0_obj, const py::object& phases_obj, const py::object& threads,
                      const py::object& method, const py::object& tol, double tend, const py::object& progress) {
    lyapunov_run run;
    run.how = integrator_of(method, tol);
    run.tau = tau;
    run.intervals = intervals;
    run.d0 = d0;
    run.t0 = finite_time(t0_obj, "t0");
    run.tend = tend;
    const int nthreads = thread_count(threads);
    const f64_array states = states_array(states_obj);
    if (!(tau > 0 && tau < INFINITY) || intervals < 0 || !(d0 > 0 && d0 < INFINITY) ||
        !(tend > run.t0 + double(intervals - 1) * tau && tend < INFINITY))
        throw py::value_error("tau, d0: expected positive finite numbers, intervals a count, tend after "
                              "the last but one interval");
    const long n = long(states.shape(0));
    const int np = m.p.npatterns;
    const f64_array phases = phases_array(m, phases_obj, n);
    std::vector<long> kept;  // the stars integrated: those whose state is finite
    std::vector<failure> failed;
    for (long i = 0; i < n; ++i)
        if (finite_state(states.data(i, 0)))
            kept.push_back(i);
        else
            failed.push_back({"star " + std::to_string(i), run.t0, NAN, true});
    const long nk = long(kept.size());
    std::vector<orbit_state> stars(nk);
    std::vector<double> ph(phases_obj.is_none() ? 0 : std::size_t(nk) * np);
    for (long j = 0; j < nk; ++j) {
        stars[j] = state_xy(states.data(kept[j], 0), run.t0);
        for (int k = 0; k < np && !ph.empty(); ++k) ph[std::size_t(j) * np + k] = phases.data(kept[j], 0)[k];
    }
    std::vector<double> lambda(std::size_t(nk) * intervals);
    std::vector<int> done(nk, intervals);
    run_work(
        [&](work_state& work) {
            lyapunov_stars(m.p, nk, stars.data(), ph.empty() ? nullptr : ph.data(), run, lambda.data(), done.data(),
                           nthreads, &work.stop, &work.completed);
        },
        false, progress);
    f64_array out({py::ssize_t(n), py::ssize_t(intervals)});
    std::fill(out.mutable_data(), out.mutable_data() + n * intervals, NAN);
    for (long j = 0; j < nk; ++j) {
        std::copy(lambda.begin() + j * intervals, lambda.begin() + (j + 1) * intervals, out.mutable_data(kept[j], 0));
        if (done[j] < intervals) {
            // intervals counted from 1, as the times t_1 .. t_K that end them
            const int k = done[j] + 1;
            const double t = run.t0 + double(done[j]) * tau;
            const std::string at = std::to_string(k) + " of " + std::to_string(intervals) + " (t = " + shown_time(t) +
                                   " to " + shown_time(k == intervals ? tend : run.t0 + double(k) * tau) + ")";
            failed.push_back({"star " + std::to_string(kept[j]) + " (the star or its shadow was lost in interval " +
                                  at + "; its exponents from that interval on are nan)",
                              t, NAN});
        }
    }
    warn_failures("lyapunov", m.p, run.how, n, "stars", failed, 3);
    return out;
}

}  // namespace

void bind_analysis(py::module_& m) {
    m.def("_lyapunov", &lyapunov_of, py::arg("model"), py::arg("states"), py::arg("tau"), py::arg("intervals"),
          py::arg("d0"), py::arg("t0"), py::arg("phases"), py::arg("threads"), py::arg("method"), py::arg("tol"),
          py::arg("tend"), py::arg("progress"));
}
