// Survey stars and the spread ensemble: what is drawn, checked against the C library's
// generator, and the spread figures of members placed by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "spread.h"
#include "survey.h"
#include "fixtures.h"
#include "output.h"
#include "params.h"
#include "state.h"

namespace {

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The C library's generator continued from the state of g.
void libc_from(const rand48& g) {
    unsigned short x[3] = {static_cast<unsigned short>(g.x & 0xFFFF),
                           static_cast<unsigned short>((g.x >> 16) & 0xFFFF),
                           static_cast<unsigned short>((g.x >> 32) & 0xFFFF)};
    seed48(x);
}

// A standard normal by the polar method, from the C library's draws.
double libc_normal() {
    for (;;) {
        const double a = 2 * drand48() - 1;
        const double b = 2 * drand48() - 1;
        const double s = a * a + b * b;
        if (s < 1 && s != 0) return a * std::sqrt(-2 * std::log(s) / s);
    }
}

params disc(int randp0) {
    params p;
    p.n_particles = 1;
    p.number_equations = 6;
    p.disp_u0 = 0.1;
    p.r_min = 1;
    p.r_max = 3;
    p.mixtime = 0.05;
    p.randp0 = randp0;
    p.npatterns = 2;
    return p;
}

orbit_state at(double x, double y, double vx, double vy) { return planar_star(x, y, vx, vy); }

}  // namespace

// The twin is the star moved 1e-9 further out in x; nothing else differs, to the bit,
// and the star is the one do_one draws from the same generator.
TEST(SurveyStar, TwinIsTheStarOneBillionthFurtherOutBitForBit) {
    for (int randp0 : {0, 1}) {
        params p = disc(randp0), q = disc(randp0);
        rand48 g, h;
        seed48(g, 99);
        seed48(h, 99);
        for (int n = 0; n < 50; ++n) {
            survey_star s;
            draw_star(p, g, s);
            orbit_state alone;
            do_one(alone, q, h);
            ASSERT_EQ(std::memcmp(&s.init[0], &alone, sizeof alone), 0) << "star " << n;
            EXPECT_TRUE(same_bits(s.init[1].w[0], s.init[0].w[0] + 1e-9)) << "star " << n;
            EXPECT_NE(s.init[1].w[0], s.init[0].w[0]);
            for (int v = 1; v < state_values; ++v)
                EXPECT_TRUE(same_bits(s.init[1].w[v], s.init[0].w[v])) << "star " << n << ", value " << v;
            EXPECT_TRUE(same_bits(s.init[1].t, s.init[0].t));
            EXPECT_TRUE(same_bits(s.model.phi0[1], q.phi0[1])) << "the star's model keeps its drawn phase";
        }
    }
}

// Member i > 0 is the reference plus mixtime times an offset drawn uniformly inside the
// unit circle (pairs of 2u - 1, rejected outside), then mixtime times 0.005 normal
// deviates for vx and vy, in that order: replayed here with the C library's draws.
TEST(Ensemble, MembersAreTheReferencePlusOffsetsDrawnInOrderBitForBit) {
    params p = disc(0);
    rand48 g;
    seed48(g, 4242);
    rand48 after_reference = g;
    orbit_state reference;
    params q = p;
    do_one(reference, q, after_reference);
    const int n = 40;
    orbit_state member[n];
    draw_ensemble(p, g, n, member);
    EXPECT_EQ(std::memcmp(&member[0], &reference, sizeof reference), 0);
    libc_from(after_reference);
    int rejected = 0;
    for (int i = 1; i < n; ++i) {
        double a, b;
        for (;;) {
            a = 2 * drand48() - 1;
            b = 2 * drand48() - 1;
            if (a * a + b * b < 1) break;
            ++rejected;
        }
        const double dvx = 0.005 * libc_normal();
        const double dvy = 0.005 * libc_normal();
        const double want[4] = {reference.w[0] + 0.05 * a, reference.w[1] + 0.05 * b,
                                reference.w[3] + 0.05 * dvx, reference.w[4] + 0.05 * dvy};
        const int slot[4] = {0, 1, 3, 4};
        for (int k = 0; k < 4; ++k)
            EXPECT_TRUE(same_bits(member[i].w[slot[k]], want[k]))
                << "member " << i << ", value " << slot[k] << ": " << member[i].w[slot[k]] << " vs " << want[k];
        EXPECT_EQ(member[i].w[2], 0.0);
        EXPECT_EQ(member[i].t, reference.t);
    }
    EXPECT_GT(rejected, 0) << "no offset pair was rejected: the replay proves less than it should";
    rand48 next_draw = g;
    EXPECT_EQ(next(next_draw), drand48()) << "the ensemble used a different number of draws";
}

// Members on the x axis at 1 + d, moving at (0, 1): distance |d| from member 0 and
// L = 1 + d. rmax and lmax are the largest |d| (wherever it stands), lsig the
// population deviation of the L, here taken in two passes.
TEST(Ensemble, SpreadFiguresOfMembersPlacedByHand) {
    const double offsets[][5] = {{0, 0.3, -0.5, 0.1, 0.2}, {0, 0.1, 0.2, -0.05, 0.45}, {0, -0.25, 0, 0, 0}};
    for (const auto& d : offsets) {
        orbit_state m[5];
        double mean = 0, far = 0;
        for (int i = 0; i < 5; ++i) {
            m[i] = at(1 + d[i], 0, 0, 1);
            mean += (1 + d[i]) / 5;
            far = std::fmax(far, std::fabs(d[i]));
        }
        double var = 0;
        for (int i = 0; i < 5; ++i) var += (1 + d[i] - mean) * (1 + d[i] - mean) / 5;
        const spread_figures f = measure_spread(m, 5);
        EXPECT_NEAR(f.rmax, far, 1e-15) << "offsets end " << d[4];
        EXPECT_NEAR(f.lmax, far, 1e-15) << "offsets end " << d[4];
        EXPECT_NEAR(f.lsig, std::sqrt(var), 1e-14) << "offsets end " << d[4];
    }
    // a single member has no spread; a failed member (NaN) spoils every figure
    orbit_state one = at(1.5, 0.2, 0.1, 0.8);
    const spread_figures alone = measure_spread(&one, 1);
    EXPECT_EQ(alone.rmax, 0.0);
    EXPECT_EQ(alone.lmax, 0.0);
    EXPECT_EQ(alone.lsig, 0.0);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (int failed : {1, 3}) {
        orbit_state m[4] = {at(1, 0, 0, 1), at(1.1, 0, 0, 1), at(0.9, 0, 0, 1), at(1.2, 0, 0, 1)};
        m[failed] = at(nan, nan, nan, nan);
        const spread_figures f = measure_spread(m, 4);
        EXPECT_TRUE(std::isnan(f.rmax) && std::isnan(f.lmax) && std::isnan(f.lsig))
            << "member " << failed << " failed: " << f.rmax << " " << f.lsig << " " << f.lmax;
    }
}
