// orbmigrate: draws stars, integrates each to the end of the run, tables the
// change of angular momentum and keeps the orbits of the stars inside the window.
#include <algorithm>
#include <cmath>
#include <vector>

#include "integrator.h"
#include "output.h"
#include "params.h"
#include "run.h"

namespace {
const char* const program = "orbmigrate";
inline constexpr const char* table_row = "%.3f %.3f %.3f %.3f\n";  // L0 dL x y
}

int main(int argc, char** argv) {
    params p;
    rand48 g;
    double tmax;
    if (int status = startup(argc, argv, program, run_length::surveys, p, g, tmax); status >= 0)
        return status;
    const std::string setup = argv[1];
    std::FILE* table = open_output(program, setup + ".lxy");
    if (!table) return 2;
    if (p.nstars <= 0) {
        std::fprintf(stderr, "%s: nstars is %d: no star drawn, the table is empty and no orbit file is written\n",
                     program, p.nstars);
        std::fclose(table);
        return 1;
    }

    struct star {
        drawn_star drawn;
        params model;
        orbit_state end;
        bool ok;
    };
    std::vector<star> batch(survey_batch);  // fixed size: memory does not grow with nstars
    std::vector<save_task> saves;
    long saved = 0;
    progress bar(program, p.nstars, "stars");
    for (long first = 0; first < p.nstars; first += survey_batch) {
        const int n = int(std::min<long>(survey_batch, p.nstars - first));
        for (int i = 0; i < n; ++i) {  // every random number is drawn here, in star order
            draw_star(p, g, batch[i].drawn);
            batch[i].model = star_params(p, batch[i].drawn);
        }
#pragma omp parallel for schedule(dynamic, 1)
        for (int i = 0; i < n; ++i) {
            batch[i].end = batch[i].drawn.init;
            batch[i].ok = taketstep(batch[i].model, batch[i].end, tmax);
        }
        saves.clear();
        for (int i = 0; i < n; ++i) {
            const star& s = batch[i];
            const double L0 = get_ll(s.drawn.init);
            double dL = NAN, x = NAN, y = NAN;
            if (s.ok) {
                dL = get_ll(s.end) - L0;
                x = s.end.w[0];
                y = s.end.w[1];
            } else {
                std::fprintf(stderr, "%s: star %ld: integration failed at t = %.6g; its row holds nan\n",
                             program, first + i, s.end.t);
            }
            std::fprintf(table, table_row, L0, dL, x, y);
            std::fflush(table);
            if (p.l_min < dL && dL < p.l_max)
                saves.push_back({orbit_name(setup, saved++, ".bb"), &s.model, s.drawn.init, {}});
        }
        if (!run_saves(program, saves)) return 2;
        bar.update(first + n);
    }
    bar.finish();
    if (saved == 0) {  // every run leaves at least one orbit file: the last star's
        const star& last = batch[(p.nstars - 1) % survey_batch];
        saves.assign(1, {orbit_name(setup, 0, ".bb"), &last.model, last.drawn.init, {}});
        if (!run_saves(program, saves)) return 2;
    }
    std::fclose(table);
    return 1;
}
