// the compiled model (orbkit.Model holds one); bindings.h has what the binding files share
#pragma once

#include <string>

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
