// orbkit's compiled module: the core's model, draws, integrations and drivers over numpy
// arrays. The parts by job: model.cpp (the model object), checks.cpp (argument checks),
// runtime.cpp (the worker thread, Ctrl-C, progress, the failure warning), runs.cpp
// (integrate, draws, the programs' tables), analysis_bind.cpp (orbkit.analysis).
// orbkit.Model (python/orbkit/_model.py) holds the compiled _Model.
#include <omp.h>

#include "bindings.h"
#include "orbits.h"
#include "spread.h"
#include "survey.h"

PYBIND11_MODULE(_orbkit, mod) {
    mod.doc() = "orbkit's compiled core: models, draws, integrations and the programs' tables";
    mod.attr("__version__") = ORBKIT_VERSION;
    make_exceptions(mod);
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
    py::class_<model> cls = bind_model(mod);
    bind_runs(mod, cls);
    bind_checks(mod);
    bind_files(mod);
    bind_analysis(mod);
    bind_actions(mod);
}
