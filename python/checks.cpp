// The module's argument checks, one helper per kind of argument: quantities with units,
// numbers, times, states, phases, threads, the method and its tolerance. Every call of
// the compiled module and of the Python layer goes through these.
#include <omp.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <limits>

#include "bindings.h"
#include "dop853.h"

const char* const length_units = "a length in model units (the radius R0 where the circular speed is 1)";
const char* const time_units = "a time in model units (R0 / v0; one orbit at r = 1 is 2 pi)";
const char* const state_units = "x, y in units of R0 (the radius where the circular speed is 1), vx, vy in "
                                "units of v0 (that circular speed)";

namespace {

// How to convert a quantity into what is expected: the setup's times are in orbits at
// r = 1 (2 pi R0 / v0), its angles in degrees; other values are in model units.
std::string conversion_hint(const std::string& expected) {
    const std::string scale = " e.g. for R0 = 8 kpc and v0 = 220 km/s: ";
    if (expected.find("orbits") != std::string::npos)
        return "Convert first to orbits at r = 1 (2 pi R0 / v0, not the model time unit R0 / v0)," + scale +
               "(t / (2 * math.pi * 8 * u.kpc / (220 * u.km / u.s))).decompose().value";
    if (expected.find("degrees") != std::string::npos)
        return "Convert first: angle.to(u.deg).value";
    return "Convert first," + scale +
           "(r / (8 * u.kpc)).decompose().value for a length, (t * (220 * u.km / u.s) / (8 * u.kpc)).decompose().value "
           "for a time";
}

}  // namespace

// An object with a unit (an astropy Quantity, say) given where a plain number is
// expected: a TypeError that says which units and how to convert, since taking its
// bare value would read 1 kpc as 1 model length.
void refuse_quantity(const py::handle& obj, const char* name, const char* expected) {
    if (obj.is_none() || py::isinstance<py::float_>(obj) || py::isinstance<py::int_>(obj) ||
        py::isinstance<py::str>(obj) || !py::hasattr(obj, "unit"))
        return;
    throw py::type_error(std::string(name) + ": got a quantity with unit " + std::string(py::str(obj.attr("unit"))) +
                         "; orbkit takes plain numbers in model units: " + expected + ". " +
                         conversion_hint(expected));
}

// A path given as str or as an os.PathLike
std::string path_of(const py::object& path) { return py::str(py::module_::import("os").attr("fspath")(path)); }

double as_real(const py::handle& v, const char* name, const char* unit) {
    refuse_quantity(v, name, unit);
    if (!py::isinstance<py::float_>(v) && !py::isinstance<py::int_>(v) && !py::hasattr(v, "__float__"))
        throw py::type_error(std::string(name) + ": expected a number, got " + std::string(py::repr(v)));
    return v.cast<double>();
}

double finite_time(const py::handle& v, const char* name) {
    const double t = as_real(v, name, time_units);
    if (!std::isfinite(t))
        throw py::value_error(std::string(name) + ": expected a finite time (model units), got " +
                              std::string(py::repr(py::float_(t))));
    return t;
}

// An integer's value, range checked by the caller: beyond 64 bits it is clamped.
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
        if (kind == 'f' && a.dtype().itemsize() == 8 && (a.flags() & py::array::c_style))
            return py::reinterpret_borrow<f64_array>(obj);  // no copy
    }
    return py::module_::import("numpy").attr("ascontiguousarray")(obj, "float64").cast<f64_array>();
}

std::string shape_of(const py::array& a) {
    std::string s = "(";
    for (py::ssize_t d = 0; d < a.ndim(); ++d) s += (d ? ", " : "") + std::to_string(a.shape(d));
    return s + (a.ndim() == 1 ? ",)" : ")");
}

f64_array states_array(const py::handle& obj, bool& single, const char* name) {
    f64_array a = real_array(obj, name, state_units);
    single = a.ndim() == 1 && a.shape(0) == 4;
    if (single) a = a.reshape({py::ssize_t(1), py::ssize_t(4)});
    if (a.ndim() != 2 || a.shape(1) != 4)
        throw py::value_error(std::string(name) +
                              ": expected an array of shape (n, 4) or (4,) holding x, y, vx, vy; got shape " +
                              shape_of(a));
    return a;
}
f64_array states_array(const py::handle& obj, const char* name) {
    bool single;
    return states_array(obj, single, name);
}

bool finite_state(const double* s) {
    return std::isfinite(s[0]) && std::isfinite(s[1]) && std::isfinite(s[2]) && std::isfinite(s[3]);
}

f64_array times_array(const py::handle& obj, const char* name) {
    const f64_array t = real_array(obj, name, time_units);
    if (t.ndim() != 1)
        throw py::value_error(std::string(name) + ": expected a one-dimensional array, got shape " + shape_of(t));
    for (py::ssize_t k = 0; k < t.shape(0); ++k)
        if (!std::isfinite(t.data()[k]))
            throw py::value_error(std::string(name) + ": expected finite times (model units), got " +
                                  std::string(py::repr(py::float_(t.data()[k]))) + " at index " + std::to_string(k));
    return t;
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

// The largest team a call may ask for: beyond what the machine's processors can use,
// and far below what makes the OpenMP runtime fail to start threads (which ends the
// process instead of raising).
int max_team() {
    const long limit = std::min<long>(omp_get_thread_limit(), std::max(64L, 16L * omp_get_num_procs()));
    return int(std::min<long>(limit, 1024));
}

int thread_count(const py::object& threads) {
    if (threads.is_none()) return omp_get_max_threads();
    if (py::isinstance<py::bool_>(threads))
        throw py::type_error("threads: expected an integer count or None, got " + std::string(py::repr(threads)));
    const std::int64_t n = as_integer(threads, "threads");
    if (n < 1) throw py::value_error("threads: expected at least 1, got " + std::to_string(n));
    if (n > max_team())
        throw py::value_error("threads: " + std::to_string(n) + " is more than the " + std::to_string(max_team()) +
                              " threads a call may start on this machine (" + std::to_string(omp_get_num_procs()) +
                              " processors)");
    return int(n);
}

// The integrator a call asks for: method 'dop853' (the fast mode at tolerance tol,
// 1e-13 by default; the same bits on every machine) or 'bs' (the programs' method).
integrator integrator_of(const py::object& name_obj, const py::object& tol_obj) {
    integrator how;
    if (!py::isinstance<py::str>(name_obj))
        throw py::type_error("method: expected 'dop853' or 'bs', got " + std::string(py::repr(name_obj)));
    const std::string name = name_obj.cast<std::string>();
    if (name == "dop853")
        how.kind = method::dop853;
    else if (name != "bs")
        throw py::value_error("method: expected 'dop853' or 'bs', got '" + name + "'");
    if (tol_obj.is_none()) return how;
    if (how.kind != method::dop853)
        throw py::value_error("tol: sets the tolerance of method='dop853'; method='bs' has none");
    double tol;
    try {
        refuse_quantity(tol_obj, "tol", "a relative tolerance (a plain number)");
        tol = py::float_(tol_obj).cast<double>();
    } catch (const py::error_already_set&) {
        throw py::type_error("tol: expected a number, got " + std::string(py::repr(tol_obj)));
    }
    if (!(tol >= dop853_min_tol && tol < 1))
        throw py::value_error("tol: expected a number from 1e-16 to below 1, got " + std::string(py::repr(tol_obj)));
    how.tol = tol;
    return how;
}

// The checks as the Python layer calls them: the same helpers, the same words.
void bind_checks(py::module_& mod) {
    mod.def("_refuse_quantity",
            [](const py::handle& value, const char* name, const std::string& kind) {
                refuse_quantity(value, name, kind == "length" ? length_units : kind == "time" ? time_units
                                                                 : kind == "state" ? state_units
                                                                                   : kind.c_str());
            },
            py::arg("value"), py::arg("name"), py::arg("kind"),
            "TypeError when value carries a unit; kind 'length', 'time' or 'state' (or the words of the unit\n"
            "expected) says what is expected.");
    mod.def("_check_states", [](const py::handle& s, const char* name) { return states_array(s, name); },
            py::arg("states"), py::arg("name") = "states",
            "States as a float64 (n, 4) array; ValueError or TypeError as integrate raises them.");
    mod.def("_check_times", [](const py::handle& t, const char* name) { return times_array(t, name); },
            py::arg("times"), py::arg("name") = "times", "Finite times as a float64 (n,) array.");
    mod.def("_check_time", [](const py::handle& t, const char* name) { return finite_time(t, name); },
            py::arg("t"), py::arg("name"), "One finite time, model units.");
    mod.def("_check_threads", [](const py::object& threads) { thread_count(threads); return threads; },
            py::arg("threads"), "threads unchanged when it is None or a count from 1 to max_threads.");
    mod.def("_check_method", [](const py::object& method, const py::object& tol) { integrator_of(method, tol); },
            py::arg("method"), py::arg("tol"), "Checks method ('dop853' or 'bs') and its tolerance.");
}
