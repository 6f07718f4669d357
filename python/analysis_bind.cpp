// orbkit.analysis's compiled part: the integrations it needs, on every thread
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "lyapunov.h"
#include "model.h"

namespace py = pybind11;

namespace {

using f64_array = py::array_t<double, py::array::c_style>;

// Finite-time exponents of n stars (states (n, 4): x, y, vx, vy at t0); the arguments
// are checked by orbkit.analysis.lyapunov, which is what users call.
f64_array lyapunov_of(const model& m, const f64_array& states, double tau, int intervals, double d0,
                      double t0, const py::object& phases_obj, const py::object& threads,
                      const py::object& method, const py::object& tol, double tend) {
    lyapunov_run run;
    run.how = method_argument(method, tol);
    run.tau = tau;
    run.intervals = intervals;
    run.d0 = d0;
    run.t0 = t0;
    run.tend = tend;
    const int nthreads = threads_argument(threads);
    if (states.ndim() != 2 || states.shape(1) != 4) throw py::value_error("states: expected shape (n, 4)");
    if (!(tau > 0 && tau < INFINITY) || intervals < 0 || !(d0 > 0 && d0 < INFINITY) || !std::isfinite(t0) ||
        !(tend > t0 + double(intervals - 1) * tau && tend < INFINITY))
        throw py::value_error("tau, d0: expected positive finite numbers, intervals a count, tend after "
                              "the last but one interval");
    const long n = long(states.shape(0));
    const int np = m.p.npatterns;
    f64_array phases;
    if (!phases_obj.is_none()) {
        phases = phases_obj.cast<f64_array>();
        if (phases.ndim() != 2 || phases.shape(0) != n || phases.shape(1) != np)
            throw py::value_error("phases: expected shape (" + std::to_string(n) + ", " + std::to_string(np) + ")");
    }
    std::vector<orbit_state> stars(n);
    for (long i = 0; i < n; ++i) {
        const double* row = states.data(i, 0);
        stars[i].w[0] = row[0];
        stars[i].w[1] = row[1];
        stars[i].w[3] = row[2];
        stars[i].w[4] = row[3];
    }
    f64_array lambda({py::ssize_t(n), py::ssize_t(intervals)});
    std::vector<int> done(n, intervals);
    double* out = lambda.mutable_data();
    const double* ph = phases_obj.is_none() ? nullptr : phases.data();
    run_released([&](const std::atomic<bool>* stop) {
        lyapunov_stars(m.p, n, stars.data(), ph, run, out, done.data(), nthreads, stop);
    });
    // intervals counted from 1, as the times t_1 .. t_K that end them
    for (long i = 0; i < n; ++i)
        if (done[i] < intervals) {
            const int k = done[i] + 1;
            char at[96];
            std::snprintf(at, sizeof at, "%d of %d (t = %.6g to %.6g)", k, intervals,
                          t0 + double(done[i]) * tau, k == intervals ? tend : t0 + double(k) * tau);
            warn_user("star " + std::to_string(i) + ": the star or its shadow was lost in interval " + at +
                      "; its exponents from that interval on are nan");
        }
    return lambda;
}

}  // namespace

void bind_analysis(py::module_& m) {
    m.def("_lyapunov", &lyapunov_of, py::arg("model"), py::arg("states"), py::arg("tau"), py::arg("intervals"),
          py::arg("d0"), py::arg("t0"), py::arg("phases"), py::arg("threads"), py::arg("method"),
          py::arg("tol"), py::arg("tend"));
}
