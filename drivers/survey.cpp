#include "survey.h"

#include <cmath>

#include "output.h"

void draw_star(params& p, rand48& g, survey_star& s) {
    do_one(s.init[0], p, g);
    s.model = p;  // with the phases drawn for this star
    cpstate(s.init[1], s.init[0]);
    s.init[1].w[0] = s.init[1].w[0] + twin_offset;
}

void follow_star(survey_star& s, int b, double tmax, const std::atomic<bool>* stop,
                 const integrator& how) {
    s.end[b] = s.init[b];
    follower f;
    f.how = how;
    s.ok[b] = advance(s.model, f, s.end[b], tmax, stop);
}

double final_l(survey_star& s, int b) {
    if (s.ok[b]) return get_ll(s.end[b]);
    for (double& v : s.end[b].w) v = NAN;
    return NAN;
}

bool star_row(const params& p, const survey_kind& kind, survey_star& s, double* row) {
    const double L0 = get_ll(s.init[0]);
    double L[2];
    for (int b = 0; b < kind.bodies; ++b) L[b] = final_l(s, b);
    row[0] = L0;
    if (kind.bodies == 1) {
        row[1] = L[0] - L0;
        row[2] = s.end[0].w[0];
        row[3] = s.end[0].w[1];
    } else {
        row[1] = L[0];
        row[2] = L[1];
    }
    const double dL = L[0] - L0;
    return p.l_min < dL && dL < p.l_max;
}
