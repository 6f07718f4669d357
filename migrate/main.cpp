// orbmigrate: draws stars, integrates each to the end of the run, tables the
// change of angular momentum and keeps the orbits of the stars inside the window.
#include "programs.h"

int main(int argc, char** argv) {
    const program_info info = {
        "orbmigrate", run_length::surveys,
        "Draws nstars stars at random, integrates each over nsteps x dt_int and tables its\n"
        "change of angular momentum; keeps the whole orbit of every star whose change dL lies\n"
        "strictly between l_min and l_max.\n",
        "  SETUP.lxy   one row per star, in draw order: L0 dL x y (initial angular momentum,\n"
        "              its change, final position)\n"
        "  SETUP_N.bb  the orbit of the N-th saved star, N from 0 (the last star's if none is\n"
        "              saved); standard output says \"SETUP_N.bb dl = ...\" for each\n",
        nullptr};
    return run_survey(argc, argv, {info, migrate_kind, ".lxy", ".bb", "%.3f %.3f %.3f %.3f\n"});
}
