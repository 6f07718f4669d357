// What the binding files of the compiled module share: errors and warnings, argument
// checks, the runtime that runs the work off the GIL, and the one failure warning.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "follow.h"
#include "model.h"
#include "params.h"
#include "state.h"

namespace py = pybind11;
using f64_array = py::array_t<double, py::array::c_style>;

// ---- errors and warnings (runtime.cpp)

// Raised for a setup the programs refuse; its message is their "path:line: ..." line.
// The warning classes: the setup reader's warnings, and failed integrations. Created
// once with the module and never freed: they live as long as the interpreter.
extern PyObject* setup_error;
extern PyObject* setup_warning;
extern PyObject* integration_warning;
void make_exceptions(py::module_& mod);

// A time as the programs print it in their messages
std::string shown_time(double t);
// stacklevel 1: the warning points at the frame that called the compiled function
void warn(const std::string& message, PyObject* category = PyExc_RuntimeWarning, int stacklevel = 1);
[[noreturn]] void refuse_setup(const std::string& message);
// OSError of errno for a file, as Python's open() raises it
[[noreturn]] void raise_file_error(const std::string& path);
// The reader's notes about one setup: warnings as SetupWarning, the first error as
// SetupError, each with its "where: " prefix (the file, or "Model()").
void raise_notes(const std::string& where, const std::vector<setup_note>& notes, int stacklevel = 1);

// ---- argument checks (checks.cpp): one helper per kind of argument

// What a value in model units is, for the message that refuses a quantity; the setup's
// fields say their own unit (orbits, degrees) and how to convert to it.
extern const char* const length_units;
extern const char* const time_units;
extern const char* const state_units;
void refuse_quantity(const py::handle& obj, const char* name, const char* expected);

std::string path_of(const py::object& path);
double as_real(const py::handle& v, const char* name, const char* unit = "a number in the setup's unit");
std::int64_t as_integer(const py::handle& v, const char* name);
// A finite time in model units (t0, t): ValueError naming the argument for nan or inf.
double finite_time(const py::handle& v, const char* name);
f64_array real_array(const py::handle& obj, const char* what, const char* unit);
std::string shape_of(const py::array& a);
// States x, y, vx, vy: (n, 4), or one state (4,) taken as (1, 4) (single).
f64_array states_array(const py::handle& obj, bool& single, const char* name = "states");
f64_array states_array(const py::handle& obj, const char* name = "states");
// Output times: one dimension, every one finite (ValueError naming `name`).
f64_array times_array(const py::handle& obj, const char* name = "times");
f64_array phases_array(const model& m, const py::object& obj, py::ssize_t n);
int max_team();
int thread_count(const py::object& threads);
integrator integrator_of(const py::object& name, const py::object& tol);
// A state whose x, y, vx, vy are all finite numbers
bool finite_state(const double* xyvv);

// ---- running the work (runtime.cpp)

// Work of a call: its stop flag, and the count of completed stars (or output times)
// that the progress callback is shown.
struct work_state {
    std::atomic<bool> stop{false};
    std::atomic<long> completed{0};
};

// Runs work(state) without the GIL while Ctrl-C is watched; an interrupt sets stop,
// waits for the work and raises KeyboardInterrupt. inline_ok: the work is small enough
// to run on the calling thread (no thread wakes up; Ctrl-C is not watched). progress:
// None, or a callable given the completed count now and then, under the GIL.
void run_work(const std::function<void(work_state&)>& work, bool inline_ok = false,
              const py::object& progress = py::none());

// ---- failures: one warning per call, with the cause and the remedy (runtime.cpp)

// Where one integration failed: who (a star, a twin, a member), at which time and
// radius; or a star whose state given was not finite, which is never integrated.
struct failure {
    std::string who;
    double t, r;
    bool nonfinite = false;
};
double radius_of(const orbit_state& s);
void warn_failures(const char* call, const params& p, const integrator& how, long total, const char* things,
                   const std::vector<failure>& failed, int stacklevel = 1);

// ---- the parts of the module (model.cpp, runs.cpp, analysis_bind.cpp)

// The compiled model class, with its values, fields and the potential's functions
py::class_<model> bind_model(py::module_& mod);
// SetupError for an output interval the spread program refuses (model.cpp)
void refuse_spread_interval(const model& m);
// integrate, the draws, record rows and the programs' tables
void bind_runs(py::module_& mod, py::class_<model>& cls);
void bind_checks(py::module_& mod);
// orbkit.read's reader of the programs' files
void bind_files(py::module_& mod);
void bind_analysis(py::module_& mod);
// Model.actions and Model.draw_df's compiled part (actions_bind.cpp)
void bind_actions(py::module_& mod);
