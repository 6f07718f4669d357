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
                      const py::object& method, const py::object& tol) {
    lyapunov_run run;
    run.how = method_argument(method, tol);
    run.tau = tau;
    run.intervals = intervals;
    run.d0 = d0;
    run.t0 = t0;
    const int nthreads = threads_argument(threads);
    if (states.ndim() != 2 || states.shape(1) != 4) throw py::value_error("states: expected shape (n, 4)");
    if (!(tau > 0 && tau < INFINITY) || intervals < 0 || !(d0 > 0 && d0 < INFINITY) || !std::isfinite(t0))
        throw py::value_error("tau, d0: expected positive finite numbers, intervals a count");
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
    for (long i = 0; i < n; ++i)
        if (done[i] < intervals) {
            char at[32];
            std::snprintf(at, sizeof at, "%.6g", t0 + double(done[i]) * tau);
            warn_user("star " + std::to_string(i) + ": the star or its shadow was lost after t = " + at +
                      "; its exponents from interval " + std::to_string(done[i]) + " on are nan");
        }
    return lambda;
}

}  // namespace

void bind_analysis(py::module_& m) {
    m.def("_lyapunov", &lyapunov_of, py::arg("model"), py::arg("states"), py::arg("tau"), py::arg("intervals"),
          py::arg("d0"), py::arg("t0"), py::arg("phases"), py::arg("threads"), py::arg("method"),
          py::arg("tol"));
}
