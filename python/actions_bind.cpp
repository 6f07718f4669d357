// the compiled part of Model.actions and Model.draw_df: exact orbit quantities on every thread
#include <cstdint>
#include <vector>

#include "actions.h"
#include "bindings.h"

namespace {

using f64_input = py::array_t<double, py::array::c_style | py::array::forcecast>;
using i32_array = py::array_t<std::int32_t, py::array::c_style>;

long checked_rows(const f64_input& states) {
    if (states.ndim() != 2 || states.shape(1) != 4) throw py::value_error("states: expected shape (n, 4)");
    return long(states.shape(0));
}

// (n, 9) values in the order of orbit_actions' fields, and why each row is nan (0: it is not)
py::tuple actions_of_states(const model& m, const f64_input& states, const py::object& threads) {
    const long n = checked_rows(states);
    const int nthreads = thread_count(threads);
    std::vector<orbit_actions> out(n);
    std::vector<actions_status> why(n);
    const double* w = states.data();
    {
        py::gil_scoped_release release;
        actions_stars(m.p, n, w, out.data(), why.data(), nthreads);
    }
    f64_array values({py::ssize_t(n), py::ssize_t(9)});
    i32_array status(py::ssize_t{n});
    double* v = values.mutable_data();
    std::int32_t* s = status.mutable_data();
    for (long i = 0; i < n; ++i) {
        const orbit_actions& a = out[i];
        const double row[9] = {a.L, a.E, a.J_R, a.r_peri, a.r_apo, a.e, a.R_g, a.Omega_R, a.theta_R};
        for (int k = 0; k < 9; ++k) v[9 * i + k] = row[k];
        s[i] = std::int32_t(why[i]);
    }
    return py::make_tuple(values, status);
}

// (n, 2) radius and radial velocity at radial angle theta[i] on each state's orbit, and why nan
py::tuple points_of_states(const model& m, const f64_input& states, const f64_input& theta,
                           const py::object& threads) {
    const long n = checked_rows(states);
    if (theta.ndim() != 1 || long(theta.shape(0)) != n) throw py::value_error("theta: expected one angle per state");
    const int nthreads = thread_count(threads);
    f64_array rv({py::ssize_t(n), py::ssize_t(2)});
    std::vector<actions_status> why(n);
    const double* w = states.data();
    const double* th = theta.data();
    double* out = rv.mutable_data();
    {
        py::gil_scoped_release release;
        orbit_points(m.p, n, w, th, out, why.data(), nthreads);
    }
    i32_array status(py::ssize_t{n});
    for (long i = 0; i < n; ++i) status.mutable_data()[i] = std::int32_t(why[i]);
    return py::make_tuple(rv, status);
}

}  // namespace

void bind_actions(py::module_& m) {
    m.def("_actions", &actions_of_states, py::arg("model"), py::arg("states"), py::arg("threads"));
    m.def("_orbit_points", &points_of_states, py::arg("model"), py::arg("states"), py::arg("theta"),
          py::arg("threads"));
}
