// orbtwin: like orbmigrate, with a twin of every star started 1e-9 further out
// in x; tables the final angular momenta of star and twin side by side.
#include <algorithm>
#include <cmath>
#include <vector>

#include "integrator.h"
#include "output.h"
#include "params.h"
#include "run.h"

namespace {
const char* const program = "orbtwin";
inline constexpr const char* table_row = "%.3f %.3f %.3f \n";  // L0 L1 L2
inline constexpr double twin_offset = 1e-9;                    // in x, model length units

orbit_state twin_of(const orbit_state& init) {
    orbit_state t;
    cpstate(t, init);
    t.w[0] = t.w[0] + twin_offset;
    return t;
}
}  // namespace

int main(int argc, char** argv) {
    params p;
    rand48 g;
    double tmax;
    if (int status = startup(argc, argv, program, run_length::surveys, p, g, tmax); status >= 0)
        return status;
    const std::string setup = argv[1];
    std::FILE* table = open_output(program, setup + ".rx");
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
        orbit_state end[2];  // the star, its twin
        bool ok[2];
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
        // star and twin are independent integrations: 2n tasks
#pragma omp parallel for schedule(dynamic, 1)
        for (int task = 0; task < 2 * n; ++task) {
            star& s = batch[task / 2];
            const int which = task % 2;
            s.end[which] = which == 0 ? s.drawn.init : twin_of(s.drawn.init);
            s.ok[which] = taketstep(s.model, s.end[which], tmax);
        }
        saves.clear();
        for (int i = 0; i < n; ++i) {
            const star& s = batch[i];
            const double L0 = get_ll(s.drawn.init);
            double L[2];
            for (int which = 0; which < 2; ++which) {
                L[which] = s.ok[which] ? get_ll(s.end[which]) : NAN;
                if (!s.ok[which])
                    std::fprintf(stderr, "%s: star %ld%s: integration failed at t = %.6g; its value prints as nan\n",
                                 program, first + i, which ? " (twin)" : "", s.end[which].t);
            }
            std::fprintf(table, table_row, L0, L[0], L[1]);
            std::fflush(table);
            const double dL = L[0] - L0;  // the twin's change never enters the window
            if (p.l_min < dL && dL < p.l_max) {
                saves.push_back({orbit_name(setup, saved++, ".xb"), &s.model, s.drawn.init, {}});
                saves.push_back({orbit_name(setup, saved++, ".xb"), &s.model, twin_of(s.drawn.init), {}});
            }
        }
        if (!run_saves(program, saves)) return 2;
        bar.update(first + n);
    }
    bar.finish();
    if (saved == 0) {  // the last star's orbit alone, without a twin file
        const star& last = batch[(p.nstars - 1) % survey_batch];
        saves.assign(1, {orbit_name(setup, 0, ".xb"), &last.model, last.drawn.init, {}});
        if (!run_saves(program, saves)) return 2;
    }
    std::fclose(table);
    return 1;
}
