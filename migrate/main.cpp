// orbmigrate: draws stars, integrates each to the end of the run, tables the
// change of angular momentum and keeps the orbits of the stars inside the window.
#include "run.h"

namespace {
// L0, dL = L1 - L0, final x and y
void write_row(std::FILE* table, double L0, const double* L, const orbit_state* end) {
    std::fprintf(table, "%.3f %.3f %.3f %.3f\n", L0, L[0] - L0, end[0].w[0], end[0].w[1]);
}
}  // namespace

int main(int argc, char** argv) {
    return run_survey(argc, argv, {"orbmigrate", ".lxy", ".bb", 1, write_row});
}
