// the compiled model (orbkit.Model holds one), and the few helpers that binding files call
// (checks.cpp, runtime.cpp; bindings.h has the rest)
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <functional>
#include <string>

#include "follow.h"
#include "params.h"

// A model and its run: the values as a setup file gives them (orbits, degrees) and
// the same converted to model units, as the programs hold them.
struct model {
    params file;         // the setup's own numbers: what write() writes and the attributes show
    params p;            // to_model_units(file), with one particle per integration
    std::string source;  // the setup file it was read from, or "" for Model(**fields)

    void derive() {
        p = file;
        to_model_units(p);
        p.n_particles = 1;
        p.number_equations = 6 * p.n_particles;
    }
    // what the setup's messages start with
    std::string where() const { return source.empty() ? "Model()" : source; }
};

// The integrator of method= and tol= as every call takes them ('bs' or 'dop853').
integrator method_argument(const pybind11::object& method, const pybind11::object& tol);
// The thread count of threads= (None: OpenMP's default; below 1 raises).
int threads_argument(const pybind11::object& threads);
// Runs work(stop) without the GIL while Ctrl-C is watched; an interrupt sets stop,
// waits for the work and raises KeyboardInterrupt.
void run_released(const std::function<void(const std::atomic<bool>*)>& work);
// A RuntimeWarning with this text.
void warn_user(const std::string& message);
