// unit tests: background disc, spiral patterns, force field, equations of motion
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "galaxy.h"
#include "params.h"

namespace {

constexpr double ulp1 = 2.220446049250313e-16;  // spacing of doubles at 1
// Closed-form checks below involve a few correctly rounded operations (pow, log,
// exp, sqrt, one division): each half an ulp, so 4 ulps of the result bound them.
constexpr double few_ulps = 4 * ulp1;

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Three patterns that between them use every term of the model: m = 2 and 3,
// leading and trailing arms (alpha of both signs and 0), non-zero phases and
// pattern speeds of both signs, staggered and instant growth, different tapers.
params three_patterns(double gamma_) {
    params p;
    p.gamma_ = gamma_;
    p.npatterns = 3;
    p.n_particles = 1;
    p.number_equations = 6;
    const double mm[] = {2, 3, 2}, eps[] = {0.03, 0.02, 0.01}, phi0[] = {0.3, -1.1, 2.0},
                 alpha[] = {-4, 6, 0}, om[] = {0.4, -0.2, 0.7}, tg[] = {5, 10, 0},
                 ts[] = {2, 0, 4}, smin[] = {0.9, 0.7, 1.0}, smax[] = {1.6, 1.2, 2.0},
                 wmin[] = {0.25, 0.3, 0.2}, wmax[] = {0.4, 0.5, 0.2};
    for (int k = 0; k < 3; ++k) {
        p.mm[k] = mm[k];
        p.epsilon[k] = eps[k];
        p.phi0[k] = phi0[k];
        p.alpha[k] = alpha[k];
        p.Omegas[k] = om[k];
        p.growtime[k] = tg[k];
        p.starttime[k] = ts[k];
        p.smin[k] = smin[k];
        p.smax[k] = smax[k];
        p.wmin[k] = wmin[k];
        p.wmax[k] = wmax[k];
    }
    return p;
}

// The linear switch-on of a pattern: 0 before starttime, rising linearly over
// growtime, 1 afterwards (at once when growtime is 0).
double growth_factor(const params& p, int k, double t) {
    const double ts = p.starttime[k], tg = p.growtime[k];
    if (t < ts) return 0;
    if (t < ts + tg) return (t - ts) / tg;
    return 1;
}

// The total potential whose gradient drives the stars.
double total_potential(const params& p, double x, double y, double t) {
    const double r = std::sqrt(x * x + y * y);
    const double phi = std::atan2(y, x);
    double v = gphi0(p, r, 0);
    for (int k = 0; k < p.npatterns; ++k) v += growth_factor(p, k, t) * phi1(p, k, r, phi, 0, t);
    return v;
}

// ---------------------------------------------------------------- background

TEST(GalaxyBackground, PowerLawCases) {
    params p;
    p.gamma_ = 0;  // flat rotation curve: Phi0 = ln r
    EXPECT_EQ(gphi0(p, 1, 0), 0.0);
    EXPECT_NEAR(gphi0(p, std::exp(1.0), 0), 1.0, few_ulps);
    double dr, dz = -1;
    gradphi0(p, &dr, &dz, 2, 0);
    EXPECT_NEAR(dr, 1 / (2 + 1e-15), few_ulps);
    EXPECT_TRUE(same_bits(dz, +0.0)) << "vertical derivative " << dz;
    for (double r : {0.5, 1.0, 1.5, 3.0})
        EXPECT_NEAR(vc_0(p, r), 1.0, 1e-15 + few_ulps) << "r = " << r;
    EXPECT_NEAR(kratio(p), std::sqrt(2.0), few_ulps);

    p.gamma_ = -0.5;  // point mass
    for (double r : {0.5, 1.0, 4.0}) EXPECT_NEAR(gphi0(p, r, 0), -1 / r, few_ulps * 2) << r;
    EXPECT_NEAR(vc_0(p, 4), 0.5, few_ulps);
    EXPECT_EQ(kratio(p), 1.0);

    p.gamma_ = 1;  // solid body
    for (double r : {0.5, 1.0, 4.0}) {
        EXPECT_NEAR(gphi0(p, r, 0), r * r / 2, few_ulps * r * r) << r;
        EXPECT_NEAR(om_0(p, r), 1.0, 1e-15 / r + few_ulps) << r;
    }
    EXPECT_EQ(kratio(p), 2.0);

    p.gamma_ = 0.5;  // dPhi0/dr = (r + 1e-15)^0 = 1 exactly
    for (double r : {0.25, 1.0, 7.0}) {
        gradphi0(p, &dr, &dz, r, 0);
        EXPECT_EQ(dr, 1.0) << r;
        EXPECT_EQ(vc_0(p, r), std::sqrt(r)) << r;
    }

    for (double g : {0.3, -0.2, 2.0}) {  // Phi0(1) = 1/(2g): no constant removed
        p.gamma_ = g;
        EXPECT_NEAR(gphi0(p, 1, 0), 1 / (2 * g), few_ulps / std::fabs(g)) << "gamma_ " << g;
    }
}

TEST(GalaxyBackground, HeightNeverMatters) {
    for (double g : {0.0, -0.5, 0.3}) {
        params p = three_patterns(g);
        for (double r : {0.4, 1.0, 1.3, 2.7}) {
            double a_r, a_z, b_r, b_z;
            gradphi0(p, &a_r, &a_z, r, 0);
            for (double z : {5.0, -3.0, 1e300}) {
                EXPECT_TRUE(same_bits(gphi0(p, r, z), gphi0(p, r, 0)));
                gradphi0(p, &b_r, &b_z, r, z);
                EXPECT_TRUE(same_bits(a_r, b_r) && same_bits(a_z, b_z));
                for (int k = 0; k < 3; ++k) {
                    EXPECT_TRUE(same_bits(phi1(p, k, r, 0.7, z, 9), phi1(p, k, r, 0.7, 0, 9)));
                    double u[4], v[4];
                    gradphi1(p, &u[0], &u[1], &u[2], &u[3], k, r, 0.7, 0, 9);
                    gradphi1(p, &v[0], &v[1], &v[2], &v[3], k, r, 0.7, z, 9);
                    EXPECT_EQ(std::memcmp(u, v, sizeof u), 0) << "pattern " << k << " z " << z;
                }
                double u[4], v[4];
                dphi(p, &u[0], &u[1], &u[2], &u[3], r * 0.6, r * 0.8, 0, 9);
                dphi(p, &v[0], &v[1], &v[2], &v[3], r * 0.6, r * 0.8, z, 9);
                EXPECT_EQ(std::memcmp(u, v, sizeof u), 0) << "dphi, z " << z;
            }
        }
    }
}

// ---------------------------------------------------------------- patterns

TEST(GalaxyPattern, EnvelopeAtTheEdgesOfItsTapers) {
    params p;
    p.npatterns = 1;
    p.smin[0] = 0.75;  // binary fractions: r - s is exact
    p.wmin[0] = 0.25;
    p.smax[0] = 2.5;
    p.wmax[0] = 0.5;
    const double e = std::exp(-0.5);
    EXPECT_NEAR(amp(p, 0, 0.5), e, few_ulps);
    EXPECT_NEAR(dampdr(p, 0, 0.5), e / 0.25, few_ulps * 4);
    EXPECT_NEAR(amp(p, 0, 3.0), e, few_ulps);
    EXPECT_NEAR(dampdr(p, 0, 3.0), -e / 0.5, few_ulps * 2);
    // both edges belong to the flat annulus, where the slope is +0 (a Gaussian entered
    // at its centre would give -0 on the inner side); so they do for tapers of zero
    // width, which have no Gaussian to enter, and outside those the wave is 0 with slope +0
    for (double w : {0.25, 0.0}) {
        p.wmin[0] = w;
        p.wmax[0] = 2 * w;
        for (double r : {0.75, 1.0, 2.0, 2.5}) {
            EXPECT_EQ(amp(p, 0, r), 1.0) << r << ", width " << w;
            EXPECT_TRUE(same_bits(dampdr(p, 0, r), +0.0)) << r << ", width " << w << ": " << dampdr(p, 0, r);
        }
    }
    for (double r : {0.7499999999999999, 2.5000000000000004, 0.1, 9.0}) {
        EXPECT_TRUE(same_bits(amp(p, 0, r), +0.0)) << r << ": " << amp(p, 0, r);
        EXPECT_TRUE(same_bits(dampdr(p, 0, r), +0.0)) << r << ": " << dampdr(p, 0, r);
    }
    p.wmin[0] = 0.25;
    p.wmax[0] = 0.5;
    EXPECT_LT(amp(p, 0, 0.7), 1.0);
    EXPECT_LT(amp(p, 0, 2.6), 1.0);
    EXPECT_GT(dampdr(p, 0, 0.7), 0.0);
    EXPECT_LT(dampdr(p, 0, 2.6), 0.0);
}

TEST(GalaxyPattern, TaperSlopeIsTheGaussianDerivativeBitForBit) {
    params p;
    p.npatterns = 1;
    p.smin[0] = 1.1;
    p.wmin[0] = 0.3;
    p.smax[0] = 1.7;
    p.wmax[0] = 0.13;
    int compared = 0;
    // inside smin down to near the centre, outside smax far enough that the
    // Gaussian factor becomes subnormal (about 38 widths out)
    for (double r = 0.001; r < 7.0; r += 0.00731) {
        const bool inner = p.smin[0] > r, outer = r > p.smax[0];
        if (!inner && !outer) continue;
        const double s = inner ? p.smin[0] : p.smax[0];
        const double w = inner ? p.wmin[0] : p.wmax[0];
        const double d = (r - s) / w;
        const double gauss = std::exp(-0.5 * (d * d));
        if (gauss == 0) continue;
        const double want = (-(r - s) / (w * w)) * gauss;
        const double got = dampdr(p, 0, r);
        ASSERT_TRUE(same_bits(got, want)) << "r " << r << ": " << got << " vs " << want;
        ++compared;
    }
    EXPECT_GT(compared, 600);
    // a subnormal but non-zero factor still follows the formula
    const double r = p.smax[0] + 37.9 * p.wmax[0];
    const double d = (r - p.smax[0]) / p.wmax[0];
    const double gauss = std::exp(-0.5 * (d * d));
    ASSERT_GT(gauss, 0.0);
    ASSERT_LT(gauss, std::numeric_limits<double>::min());
    EXPECT_TRUE(same_bits(dampdr(p, 0, r), (-(r - p.smax[0]) / (p.wmax[0] * p.wmax[0])) * gauss));
}

TEST(GalaxyPattern, VanishingTaperGivesZeroSlopeAndFiniteForces) {
    params p = three_patterns(0);
    p.wmin[0] = 0;  // a taper of zero width: the envelope drops to 0 at smin
    p.wmax[1] = 0;
    // pattern 0 inside its smin (0.9), pattern 1 outside its smax (1.2)
    for (double r : {0.5, 0.85, 0.8999}) {
        EXPECT_EQ(amp(p, 0, r), 0.0) << r;
        EXPECT_EQ(dampdr(p, 0, r), 0.0) << r;
    }
    for (double r : {1.2001, 1.5, 3.0}) {
        EXPECT_EQ(amp(p, 1, r), 0.0) << r;
        EXPECT_EQ(dampdr(p, 1, r), 0.0) << r;
    }
    // far outside a taper of non-zero width the factor underflows to 0 as well
    EXPECT_EQ(dampdr(p, 2, p.smax[2] + 60 * p.wmax[2]), 0.0);
    EXPECT_EQ(dampdr(p, 2, p.smin[2] - 39.5 * p.wmin[2]), 0.0);
    // the forces stay finite everywhere, before the patterns start and after
    for (double r : {0.5, 0.85, 1.0, 1.5, 3.0, 14.0})
        for (double t : {-1.0, 0.5, 3.0, 50.0}) {
            double fx, fy, fz, ft;
            dphi(p, &fx, &fy, &fz, &ft, r * 0.8, r * 0.6, 0, t);
            EXPECT_TRUE(std::isfinite(fx) && std::isfinite(fy) && std::isfinite(ft))
                << "r " << r << " t " << t << ": " << fx << " " << fy << " " << ft;
        }
}

TEST(GalaxyPattern, GrowthScalesTheForceNotThePotential) {
    params p = three_patterns(0);
    p.npatterns = 1;
    p.Omegas[0] = 0;  // a standing wave: the phase does not move, only the growth does
    p.starttime[0] = 1;
    p.growtime[0] = 2;
    const double r = 1.3, phi = 0.4;
    double full[4], half[4], none[4];
    gradphi1(p, &full[0], &full[1], &full[2], &full[3], 0, r, phi, 0, 3);
    gradphi1(p, &half[0], &half[1], &half[2], &half[3], 0, r, phi, 0, 2);
    gradphi1(p, &none[0], &none[1], &none[2], &none[3], 0, r, phi, 0, 1);
    ASSERT_NE(full[0], 0.0);
    ASSERT_NE(full[1], 0.0);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(none[i], 0.0) << "output " << i << " at starttime";
        EXPECT_EQ(half[i], 0.5 * full[i]) << "output " << i << " halfway";  // power of 2: exact
    }
    // after the growth the force stays at full strength
    double later[4];
    gradphi1(p, &later[0], &later[1], &later[2], &later[3], 0, r, phi, 0, 40);
    EXPECT_EQ(std::memcmp(later, full, sizeof full), 0);
    // the potential is the full wave before the start already
    const double wave = phi1(p, 0, r, phi, 0, 0);
    EXPECT_NE(wave, 0.0);
    EXPECT_EQ(wave, phi1(p, 0, r, phi, 0, 3));
    EXPECT_EQ(wave, phi1(p, 0, r, phi, 0, 2));

    // growtime 0: off just before starttime, fully on at it
    p.growtime[0] = 0;
    double before[4], at[4];
    gradphi1(p, &before[0], &before[1], &before[2], &before[3], 0, r, phi, 0,
             std::nextafter(1.0, 0.0));
    gradphi1(p, &at[0], &at[1], &at[2], &at[3], 0, r, phi, 0, 1);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(before[i], 0.0) << "output " << i;
    EXPECT_EQ(std::memcmp(at, full, sizeof full), 0);
}

TEST(GalaxyPattern, BarLikeWaveAndMovingCrest) {
    params p;
    p.npatterns = 1;
    p.mm[0] = 2;
    p.epsilon[0] = 0.05;
    p.smin[0] = 0.1;
    p.smax[0] = 10;
    p.wmin[0] = p.wmax[0] = 1;
    EXPECT_EQ(phi1(p, 0, 1.0, 0.0, 0, 0), 0.05);
    EXPECT_NEAR(phi1(p, 0, 1.0, pi / 2, 0, 0), -0.05, few_ulps);
    double dr, dphi_, dz, dt;
    gradphi1(p, &dr, &dphi_, &dz, &dt, 0, 1.5, 0.0, 0, 1);
    EXPECT_EQ(dphi_, 0.0);
    for (double phi : {0.0, 0.3, 1.0, 2.5, -2.0}) {
        gradphi1(p, &dr, &dphi_, &dz, &dt, 0, 1.5, phi, 0, 1);
        EXPECT_EQ(dr, 0.0) << "radial derivative inside the annulus, phi " << phi;
    }
    // the crest at r = 1 turns at the pattern speed; the phase carries the rounding
    // of phi0 + Omegas t (a few ulps of numbers below 40), and cos is flat at the crest
    p.phi0[0] = 0.8;
    p.Omegas[0] = 0.35;
    p.alpha[0] = -3;
    constexpr double crest_tolerance = 1e-15;
    for (double t : {0.0, 1.0, 7.5, 33.0, 100.0})
        EXPECT_NEAR(phi1(p, 0, 1.0, 0.8 + 0.35 * t, 0, t), 0.05, crest_tolerance) << "t " << t;
    // whole m: one turn later the same values; the argument grows by m 2 pi, so
    // the rounding of cos is that of an argument near 20: a few 1e-15
    constexpr double turn_tolerance = 1e-14;
    p.mm[0] = 3;
    for (double phi : {-3.0, -0.4, 0.9, 2.2}) {
        EXPECT_NEAR(phi1(p, 0, 1.3, phi, 0, 2), phi1(p, 0, 1.3, phi + twopi, 0, 2), turn_tolerance);
        double a[4], b[4];
        gradphi1(p, &a[0], &a[1], &a[2], &a[3], 0, 1.3, phi, 0, 2);
        gradphi1(p, &b[0], &b[1], &b[2], &b[3], 0, 1.3, phi + twopi, 0, 2);
        for (int i = 0; i < 4; ++i) EXPECT_NEAR(a[i], b[i], turn_tolerance) << i;
    }
}

TEST(GalaxyPattern, JacobiEnergyOfACircularStar) {
    params p;
    p.npatterns = 1;
    p.mm[0] = 2;
    p.Omegas[0] = 0.3;
    p.smin[0] = 0.5;
    p.smax[0] = 2;
    p.wmin[0] = p.wmax[0] = 0.5;
    orbit_state s;
    s.w[0] = 1;
    s.w[4] = 1;
    EXPECT_NEAR(jacobi(p, s, 0), 0.5 - 0.3, few_ulps);
}

// ---------------------------------------------------------------- force field

// Central differences of the potential against dphi. Points lie on a grid of
// 2^-30 and the step is 2^-18, so x +- h and y +- h are exact doubles and the
// divisor 2h is the true step.
// Budget for |numerical - analytic|:
//   truncation h^2/6 * |d^3 Phi| with |d^3 Phi| <= 1e3 for r >= 0.5 (background
//   2/r^3 <= 16; a pattern eps (K)^3 with K = (m + |alpha|)/r + 3/w <= 28 gives
//   0.02 * 2.2e4 = 440), that is 1.45e-11 / 6 * 1e3 = 2.4e-9;
//   rounding 2 * dPhi / (2h) with dPhi <= 2e-15 (|Phi| <= 2, a few ulps from
//   log, sqrt, cos and the sum), that is 5.2e-10.
// Points within 2h of an envelope edge are left out: there the envelope's second
// derivative jumps, and the central difference is only first order.
constexpr double h_step = 0x1p-18;
constexpr double third_derivative_bound = 1e3;
constexpr double potential_rounding = 2e-15;
constexpr double gradient_tolerance =
    h_step * h_step / 6 * third_derivative_bound + potential_rounding / h_step;

double on_grid(double v) { return std::ldexp(std::nearbyint(std::ldexp(v, 30)), -30); }

bool near_an_edge(const params& p, double r) {
    for (int k = 0; k < p.npatterns; ++k)
        if (std::fabs(r - p.smin[k]) <= 2 * h_step || std::fabs(r - p.smax[k]) <= 2 * h_step)
            return true;
    return false;
}

TEST(Dphi, EqualsTheNumericalGradientOfThePotential) {
    rand48 g;
    seed48(g, 20240611);
    double worst = 0;
    int points = 0, in_inner_taper = 0, in_outer_taper = 0, growing = 0;
    for (double gamma_ : {0.0, 0.3, -0.2}) {
        const params p = three_patterns(gamma_);
        for (int i = 0; i < 1500; ++i) {
            // a third of the points in a taper of some pattern, the rest anywhere
            const int k = int(3 * next(g));
            const double u = next(g);
            const int kind = int(3 * next(g));
            double r = 0.5 + 2.5 * u;
            if (kind == 0) r = std::max(0.5, p.smin[k] - 2 * p.wmin[k] * u);
            if (kind == 1) r = p.smax[k] + 2 * p.wmax[k] * u;
            const double phi = twopi * next(g) - pi;
            const double t = 14 * next(g) - 1;  // before, during and after every growth
            const double x = on_grid(r * std::cos(phi)), y = on_grid(r * std::sin(phi));
            const double rr = std::sqrt(x * x + y * y);
            if (rr < 0.5 || near_an_edge(p, rr)) continue;
            ASSERT_EQ((x + h_step) - x, h_step);
            ASSERT_EQ(x - (x - h_step), h_step);
            ASSERT_EQ((y + h_step) - y, h_step);
            ASSERT_EQ(y - (y - h_step), h_step);
            for (int q = 0; q < 3; ++q) {
                if (p.smin[q] > rr) ++in_inner_taper;
                if (rr > p.smax[q]) ++in_outer_taper;
                const double f = growth_factor(p, q, t);
                if (f > 0 && f < 1) ++growing;
            }
            const double num_x = (total_potential(p, x + h_step, y, t) -
                                  total_potential(p, x - h_step, y, t)) / (2 * h_step);
            const double num_y = (total_potential(p, x, y + h_step, t) -
                                  total_potential(p, x, y - h_step, t)) / (2 * h_step);
            double fx, fy, fz, ft;
            dphi(p, &fx, &fy, &fz, &ft, x, y, 0, t);
            const double err = std::max(std::fabs(fx - num_x), std::fabs(fy - num_y));
            worst = std::max(worst, err);
            ASSERT_LE(err, gradient_tolerance)
                << "gamma_ " << gamma_ << " at x " << x << " y " << y << " t " << t << ": dphi ("
                << fx << ", " << fy << ") numerical (" << num_x << ", " << num_y << ")";
            EXPECT_TRUE(same_bits(fz, 0.0)) << fz;
            ++points;
        }
    }
    // the sample reaches every regime it is meant to test
    EXPECT_GT(points, 4000);
    EXPECT_GT(in_inner_taper, 500);
    EXPECT_GT(in_outer_taper, 500);
    EXPECT_GT(growing, 500);
    std::printf("dphi vs central differences: %d points, largest difference %.3g (tolerance %.3g)\n",
                points, worst, gradient_tolerance);
}

// The fourth output is the explicit time derivative through the turning phases,
// the growth factors held where they are. Budget as above, with |d^3/dt^3| <=
// eps (m Omegas)^3 summed over patterns, below 0.1, and |Phi| <= 2 in the rounding.
constexpr double dt_step = 0x1p-18;
constexpr double time_derivative_tolerance = 0.1 * dt_step * dt_step / 6 + potential_rounding / dt_step;

TEST(Dphi, TimeDerivativeFollowsTheTurningPattern) {
    rand48 g;
    seed48(g, 77);
    const params p = three_patterns(0.1);
    double worst = 0;
    for (int i = 0; i < 500; ++i) {
        const double r = 0.5 + 2.5 * next(g), phi = twopi * next(g) - pi;
        const double t = on_grid(14 * next(g) - 1);
        const double x = r * std::cos(phi), y = r * std::sin(phi);
        const double rr = std::sqrt(x * x + y * y), az = std::atan2(y, x);
        double num = 0;
        for (int k = 0; k < p.npatterns; ++k)
            num += growth_factor(p, k, t) *
                   (phi1(p, k, rr, az, 0, t + dt_step) - phi1(p, k, rr, az, 0, t - dt_step)) /
                   (2 * dt_step);
        double fx, fy, fz, ft;
        dphi(p, &fx, &fy, &fz, &ft, x, y, 0, t);
        worst = std::max(worst, std::fabs(ft - num));
        ASSERT_NEAR(ft, num, time_derivative_tolerance) << "x " << x << " y " << y << " t " << t;
    }
    std::printf("dPhi/dt vs central differences: largest difference %.3g (tolerance %.3g)\n", worst,
                time_derivative_tolerance);
}

// ---------------------------------------------------------------- equations of motion

constexpr double sentinel = -12345.678;

orbit_state sentinel_record() {
    orbit_state d;
    d.t = 777.25;
    for (int i = 0; i < state_values; ++i) d.w[i] = sentinel + i;
    return d;
}

TEST(Eqn, LeavesTimeAndSpareValuesAndIgnoresHeight) {
    rand48 g;
    seed48(g, 5);
    const params p = three_patterns(0);
    for (int i = 0; i < 200; ++i) {
        orbit_state flat;
        flat.t = 12 * next(g);
        const double r = 0.6 + 2 * next(g), phi = twopi * next(g);
        flat.w[0] = r * std::cos(phi);
        flat.w[1] = r * std::sin(phi);
        flat.w[3] = next(g) - 0.5;
        flat.w[4] = 1 + next(g) - 0.5;
        orbit_state lifted = flat;
        lifted.w[2] = 5;
        lifted.w[5] = 3;
        for (int j = 6; j < state_values; ++j) lifted.w[j] = 100 + j;  // spare values
        const orbit_state lifted_copy = lifted;
        orbit_state a = sentinel_record(), b = sentinel_record();
        eqn(p, flat, a);
        eqn(p, lifted, b);
        ASSERT_EQ(std::memcmp(&lifted, &lifted_copy, sizeof lifted), 0) << "the state changed";
        EXPECT_TRUE(same_bits(b.t, 777.25)) << "derivative t written: " << b.t;
        for (int j = 6; j < state_values; ++j)
            EXPECT_TRUE(same_bits(b.w[j], sentinel + j)) << "d[" << j << "] written: " << b.w[j];
        for (int j : {0, 1, 3, 4})
            EXPECT_TRUE(same_bits(a.w[j], b.w[j])) << "d[" << j << "] depends on z or vz";
        EXPECT_EQ(b.w[2], 0.0);
        EXPECT_EQ(b.w[5], 0.0);
        EXPECT_EQ(b.w[0], flat.w[3]);
        EXPECT_EQ(b.w[1], flat.w[4]);
    }
}

TEST(Eqn, BackgroundAloneAndOneGrownPattern) {
    params p;
    p.n_particles = 1;
    p.number_equations = 6;
    orbit_state s, d;
    s.w[0] = 1;
    s.w[4] = 1;
    eqn(p, s, d);
    EXPECT_EQ(d.w[0], 0.0);
    EXPECT_EQ(d.w[1], 1.0);
    EXPECT_EQ(d.w[2], 0.0);
    EXPECT_NEAR(d.w[3], -1 / (1 + 1e-15), few_ulps);
    EXPECT_EQ(d.w[4], 0.0);
    EXPECT_EQ(d.w[5], 0.0);
    s.w[0] = 2;
    eqn(p, s, d);
    EXPECT_NEAR(d.w[3], -1 / (2 + 1e-15), few_ulps);

    // one full-strength m = 2 wave, eps cos 2 phi: at phi = pi/4 it pushes towards
    // increasing phi, -sqrt2 eps in x and +sqrt2 eps in y on top of the background
    const double eps = 0.01;
    s.w[0] = s.w[1] = 1 / std::sqrt(2.0);
    orbit_state base;
    eqn(p, s, base);
    p.npatterns = 1;
    p.mm[0] = 2;
    p.epsilon[0] = eps;
    p.smin[0] = 0.5;
    p.smax[0] = 2;
    p.wmin[0] = p.wmax[0] = 0.3;
    s.t = 1;
    eqn(p, s, d);
    constexpr double push_tolerance = 4 * ulp1;  // differences of numbers near 1
    EXPECT_NEAR(d.w[3] - base.w[3], -std::sqrt(2.0) * eps, push_tolerance);
    EXPECT_NEAR(d.w[4] - base.w[4], std::sqrt(2.0) * eps, push_tolerance);
}

TEST(Eqn, BeforeEveryStartTheBackgroundAlone) {
    params p = three_patterns(0.2);
    p.starttime[0] = 5;
    p.starttime[1] = 6;
    p.starttime[2] = 7;
    params bare = p;
    bare.npatterns = 0;
    rand48 g;
    seed48(g, 6);
    for (int i = 0; i < 200; ++i) {
        orbit_state s;
        s.t = 5 * next(g) - 1;
        const double r = 0.6 + 2 * next(g), phi = twopi * next(g);
        s.w[0] = r * std::cos(phi);
        s.w[1] = r * std::sin(phi);
        s.w[3] = next(g);
        s.w[4] = next(g);
        orbit_state a = sentinel_record(), b = sentinel_record();
        eqn(p, s, a);
        eqn(bare, s, b);
        ASSERT_EQ(std::memcmp(&a, &b, sizeof a), 0) << "t " << s.t << " r " << r;
    }
}

// dphi shares ln r between patterns and skips the sine and cosine of a pattern that
// adds only zeros; neither may change a bit of the sums written out term by term.
TEST(Dphi, EqualsTheTermByTermSumBitForBit) {
    params p = three_patterns(0.1);
    p.epsilon[2] = 0;  // a pattern with no amplitude at all
    rand48 g;
    seed48(g, 11);
    const double axes[] = {0.0, -0.0};
    for (int i = 0; i < 3000; ++i) {
        const double t = 12 * next(g) - 1;  // before, during and after every growth
        const double r0 = 0.3 + 2.5 * next(g), a0 = twopi * next(g);
        double x = r0 * std::cos(a0), y = r0 * std::sin(a0);
        if (i % 10 == 1) x = axes[i / 10 % 2];  // stars on an axis: sums start at a signed zero
        if (i % 10 == 2) y = axes[i / 10 % 2];
        const double r = std::sqrt(y * y + x * x), phi = std::atan2(y, x);
        double want[4], got[4], gz;
        gradphi0(p, &want[0], &gz, r, 0);
        want[1] = want[0] * y / r;
        want[0] = want[0] * x / r;
        want[2] = gz;
        want[3] = 0;
        for (int k = 0; k < p.npatterns; ++k) {
            double pr, pp, pz, pt;
            gradphi1(p, &pr, &pp, &pz, &pt, k, r, phi, 0, t);
            want[0] = pr * x / r + want[0];
            want[1] = pr * y / r + want[1];
            want[0] = want[0] - pp * y / (r * r);
            want[1] = pp * x / (r * r) + want[1];
            want[2] = pz + want[2];
            want[3] = pt + want[3];
        }
        dphi(p, &got[0], &got[1], &got[2], &got[3], x, y, 0, t);
        for (int c = 0; c < 4; ++c)
            ASSERT_TRUE(same_bits(got[c], want[c]))
                << "component " << c << " at x " << x << " y " << y << " t " << t << ": " << got[c]
                << " vs " << want[c];
    }
}

}  // namespace
