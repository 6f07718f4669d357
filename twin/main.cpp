// orbtwin: like orbmigrate, with a twin of every star started 1e-9 further out
// in x; tables the final angular momenta of star and twin side by side.
#include "programs.h"

int main(int argc, char** argv) {
    const program_info info = {
        "orbtwin", run_length::surveys,
        "Like orbmigrate, with a twin of every star started 1e-9 further out in x: tables the\n"
        "final angular momenta of star and twin side by side; keeps the orbits of the stars\n"
        "whose change dL lies strictly between l_min and l_max, and of their twins.\n",
        "  SETUP.rx    one row per star, in draw order: L0 L1 L2 (the star's initial and final\n"
        "              angular momentum, its twin's final one)\n"
        "  SETUP_N.xb  orbit files: 2k the k-th saved star, 2k+1 its twin (the last star's alone\n"
        "              if none is saved); standard output says \"SETUP_N.xb dl = ...\" for each\n",
        nullptr};
    return run_survey(argc, argv, {info, twin_kind, ".rx", ".xb", "%.3f %.3f %.3f \n"});
}
