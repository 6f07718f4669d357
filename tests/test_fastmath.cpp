// The fast mode's mathematics: accuracy against long double, and the same bits on
// every vector path and whatever the C library.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "lanes.h"

namespace {

inline constexpr int samples = 1000000;   // arguments per function
inline constexpr double max_ulp = 1.0;    // log, exp, sin, cos: within one unit in the last place
inline constexpr double max_ulp_atan2 = 2.0;
// pow as e^(y ln x) with y ln x carried to about 70 bits: as exp
inline constexpr double max_ulp_pow = 1.0;

// |got - exact| in units of the last place of the exact value rounded to double
// (subnormal spacing below 2^-1022).
double ulps(double got, long double exact) {
    const double r = double(exact);
    if (std::isinf(r)) return got == r ? 0 : INFINITY;
    int e;
    std::frexp(r, &e);
    const long double ulp = std::ldexp(1.0L, std::max(e - 53, -1074));
    return double(std::fabs(static_cast<long double>(got) - exact) / ulp);
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

struct sample {
    std::vector<double> a, b;
};

// Arguments over the ranges the force field uses: radii (log), Gaussian tapers and the
// step control's roots (exp), pattern phases (sin, cos), angles of points (atan2),
// the background's power of the radius (pow).
sample arguments(int fn) {
    std::mt19937_64 g(20 + fn);
    std::uniform_real_distribution<double> u(0, 1);
    sample s;
    for (int i = 0; i < samples; ++i) {
        double a = 0, b = 0;
        switch (fn) {
            case 0: a = std::exp(u(g) * 1400 - 700); break;          // log: 1e-304 .. 1e304
            case 1: a = u(g) * 1454 - 745; break;                   // exp: every finite result
            case 2:
            case 3:  // sin, cos: a third each within 4, 1e4 and 2^20 pi/2 radians
                a = (u(g) * 2 - 1) * (i % 3 == 0 ? 4.0 : i % 3 == 1 ? 1e4 : 0x1p20 * 1.5707963267948966);
                break;
            case 4: a = u(g) * 8 - 4, b = u(g) * 8 - 4; break;      // atan2
            case 5: a = 1e-3 + u(g) * 100, b = u(g) * 4 - 3; break;  // pow: x^(2 gamma - 1)
        }
        s.a.push_back(a);
        s.b.push_back(b);
    }
    return s;
}

long double exact(int fn, double a, double b) {
    switch (fn) {
        case 0: return logl(a);
        case 1: return expl(a);
        case 2: return sinl(a);
        case 3: return cosl(a);
        case 4: return atan2l(a, b);
        default: return powl(a, b);
    }
}

const char* name(int fn) {
    static const char* names[] = {"log", "exp", "sin", "cos", "atan2", "pow"};
    return names[fn];
}

}  // namespace

TEST(FastMath, EachFunctionIsWithinItsErrorBoundOnAMillionArguments) {
    for (int fn = 0; fn < 6; ++fn) {
        const sample s = arguments(fn);
        std::vector<double> out(samples);
        lane_math(lane_path::scalar, fn, samples, s.a.data(), s.b.data(), out.data());
        double worst = 0, at = 0;
        for (int i = 0; i < samples; ++i) {
            const double e = ulps(out[i], exact(fn, s.a[i], s.b[i]));
            if (!(e <= worst)) worst = e, at = s.a[i];
        }
        const double bound = fn == 4 ? max_ulp_atan2 : fn == 5 ? max_ulp_pow : max_ulp;
        EXPECT_LT(worst, bound) << name(fn) << ": worst " << worst << " ulp at " << at;
        std::printf("fast %s: worst %.3f ulp over %d arguments\n", name(fn), worst, samples);
    }
}

TEST(FastMath, EveryVectorPathGivesTheScalarBits) {
    const lane_path best = best_lane_path();
    for (int fn = 0; fn < 6; ++fn) {
        const sample s = arguments(fn);
        const int n = 100003;  // not a multiple of the width: the short last chunk too
        std::vector<double> one(n), wide(n);
        lane_math(lane_path::scalar, fn, n, s.a.data(), s.b.data(), one.data());
        for (lane_path p : {lane_path::sse2, lane_path::avx2, lane_path::avx512}) {
            if (lane_width(p) > lane_width(best)) continue;
            lane_math(p, fn, n, s.a.data(), s.b.data(), wide.data());
            for (int i = 0; i < n; ++i)
                ASSERT_TRUE(same_bits(one[i], wide[i]))
                    << name(fn) << " on " << lane_path_name(p) << " at " << s.a[i] << ": " << wide[i] << " vs "
                    << one[i];
        }
    }
}

TEST(FastMath, EdgesFollowIeeeArithmetic) {
    const double inf = INFINITY;
    EXPECT_EQ(fast_log(0.0), -inf);
    EXPECT_TRUE(std::isnan(fast_log(-1.0)));
    EXPECT_EQ(fast_log(inf), inf);
    EXPECT_EQ(fast_log(1.0), 0.0);
    EXPECT_NEAR(fast_log(0x1p-1074), -744.4400719213812, 1e-12);  // the smallest subnormal
    EXPECT_EQ(fast_exp(0.0), 1.0);
    EXPECT_EQ(fast_exp(-inf), 0.0);
    EXPECT_EQ(fast_exp(inf), inf);
    EXPECT_EQ(fast_exp(710.0), inf);
    EXPECT_EQ(fast_exp(-746.0), 0.0);
    EXPECT_GT(fast_exp(-745.0), 0.0);  // a subnormal, not 0
    double s, c;
    fast_sincos(0.0, s, c);
    EXPECT_TRUE(same_bits(s, 0.0) && c == 1.0);
    fast_sincos(-0.0, s, c);
    EXPECT_TRUE(same_bits(s, -0.0));
    fast_sincos(inf, s, c);
    EXPECT_TRUE(std::isnan(s) && std::isnan(c));
    EXPECT_EQ(fast_atan2(0.0, 1.0), 0.0);
    EXPECT_EQ(fast_atan2(0.0, -1.0), M_PI);
    EXPECT_EQ(fast_atan2(-0.0, -1.0), -M_PI);
    EXPECT_EQ(fast_atan2(1.0, 0.0), M_PI / 2);
    EXPECT_EQ(fast_atan2(-1.0, 0.0), -M_PI / 2);
    EXPECT_TRUE(std::isnan(fast_atan2(NAN, 1.0)));
    EXPECT_EQ(fast_pow(4.0, 0.5), 2.0);
    EXPECT_EQ(fast_pow(0.0, 0.125), 0.0);  // the step control's root of a zero error
}
