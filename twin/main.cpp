// orbtwin: like orbmigrate, with a twin of every star started 1e-9 further out
// in x; tables the final angular momenta of star and twin side by side.
#include "run.h"

namespace {
// L0, the star's final L1, the twin's final L2
void write_row(std::FILE* table, double L0, const double* L, const orbit_state*) {
    std::fprintf(table, "%.3f %.3f %.3f \n", L0, L[0], L[1]);
}
}  // namespace

int main(int argc, char** argv) {
    return run_survey(argc, argv, {"orbtwin", ".rx", ".xb", 2, write_row});
}
