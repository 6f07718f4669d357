// The exponents of many stars at once (threads, and the fast mode's vector lanes) are
// those of each star followed alone, bit for bit; a lost star ends in NaN.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "fixtures.h"
#include "lyapunov.h"

namespace {

std::vector<orbit_state> ring_of_stars(int n) {
    std::vector<orbit_state> out;
    for (int i = 0; i < n; ++i) {
        const double r = 1.2 + 0.2 * i, a = 0.7 * i;
        out.push_back(planar_star(r * std::cos(a), r * std::sin(a), 0.03 - std::sin(a), std::cos(a)));
    }
    return out;
}

}  // namespace

TEST(Lyapunov, ManyStarsGiveEachStarsOwnBitsWithEitherMethod) {
    const params p = one_spiral(1.0);  // the spiral switches on inside the run
    const std::vector<orbit_state> stars = ring_of_stars(7);
    for (const method kind : {method::bs, method::dop853}) {
        lyapunov_run run;
        run.how.kind = kind;
        run.tau = 1.5;
        run.intervals = 8;
        std::vector<double> together(stars.size() * run.intervals);
        std::vector<int> done(stars.size());
        lyapunov_stars(p, long(stars.size()), stars.data(), nullptr, run, together.data(), done.data(), 2);
        for (std::size_t i = 0; i < stars.size(); ++i) {
            std::vector<double> alone(run.intervals);
            EXPECT_EQ(lyapunov(p, stars[i], run, alone.data()), run.intervals);
            EXPECT_EQ(done[i], run.intervals);
            EXPECT_EQ(std::memcmp(alone.data(), &together[i * run.intervals], alone.size() * sizeof(double)), 0)
                << "star " << i << (kind == method::bs ? " (bs)" : " (dop853)");
        }
    }
}

TEST(Lyapunov, AStarAtTheCentreIsLostWithNaN) {
    const params p = one_spiral();
    const orbit_state stars[2] = {planar_star(0, 0, 0, 1), planar_star(1.5, 0, 0, 1)};
    for (const method kind : {method::bs, method::dop853}) {
        lyapunov_run run;
        run.how.kind = kind;
        run.tau = 1;
        run.intervals = 3;
        double lambda[6];
        int done[2];
        lyapunov_stars(p, 2, stars, nullptr, run, lambda, done, 1);
        EXPECT_EQ(done[0], 0);
        EXPECT_EQ(done[1], 3);
        for (int k = 0; k < 3; ++k) {
            EXPECT_TRUE(std::isnan(lambda[k]));
            EXPECT_TRUE(std::isfinite(lambda[3 + k]));
        }
    }
}
