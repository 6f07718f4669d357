// The maths calls of the force field: the entry points behind pow, atan2 and log
// return the library's results to the bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "mathlib.h"
#include "params.h"

namespace {

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::vector<double> arguments() {
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> v = {0.0, -0.0, 1.0, -1.0, 1e-300, 5e-324, 1e300, inf, -inf,
                             std::numeric_limits<double>::quiet_NaN(), 2.0 + 1e-15, 0.5};
    rand48 g;
    seed48(g, 11);
    for (int i = 0; i < 20000; ++i) {  // radii and coordinates as the orbits meet them, and wider
        const double u = next(g);
        v.push_back(std::ldexp(u, int(next(g) * 40) - 20) * (next(g) < 0.3 ? -1 : 1));
    }
    return v;
}

}  // namespace

TEST(Mathlib, SameBitsAsTheStandardCalls) {
    const std::vector<double> a = arguments();
    const double exponents[] = {-1.0, -1.2, -0.8, 0.2, 2.0, -0.0, 0.5};
    long checked = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const double x = a[i], y = a[(i * 7 + 3) % a.size()];
        EXPECT_TRUE(same_bits(libm_log(x), std::log(x))) << std::hexfloat << "log " << x;
        EXPECT_TRUE(same_bits(libm_atan2(y, x), std::atan2(y, x))) << std::hexfloat << "atan2 " << y << " " << x;
        for (double e : exponents)
            EXPECT_TRUE(same_bits(libm_pow(x, e), std::pow(x, e))) << std::hexfloat << "pow " << x << " " << e;
        ++checked;
    }
    EXPECT_GT(checked, 20000);
}
