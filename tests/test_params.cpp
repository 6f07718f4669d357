// unit tests: 48-bit generator, normal deviates, initial conditions, setup reader
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "params.h"

namespace {

// ---------------------------------------------------------------- generator

// Seeds that exercise every part of srand48's argument handling: zero, small,
// negative (sign bits in the high word), beyond 32 bits (the high word is dropped).
std::vector<std::int64_t> seeds_to_try() {
    std::vector<std::int64_t> s = {0, 1, -1, 2, 42, 12345, -12345, 0x7FFFFFFF, -0x7FFFFFFF - 1,
                                   0xFFFFFFFFll, 0x100000000ll, (1ll << 40) | 12345,
                                   -((1ll << 40) | 12345), INT64_MAX, INT64_MIN, 1ll << 32,
                                   (1ll << 62) + 7, 1700000000};
    std::uint64_t z = 0x9E3779B97F4A7C15ull;  // fill the rest with spread-out 64-bit values
    while (s.size() < 50) {
        z = z * 6364136223846793005ull + 1442695040888963407ull;
        s.push_back(std::int64_t(z));
    }
    return s;
}

TEST(Rand48, EqualsTheCLibraryDrawForDraw) {
    constexpr int draws = 2000;
    int compared = 0;
    for (std::int64_t seed : seeds_to_try()) {
        rand48 g;
        seed48(g, seed);
        srand48(long(seed));
        for (int i = 0; i < draws; ++i) {
            const double mine = next(g);
            const double libc = drand48();
            // exact: the same 48-bit state maps to the same double
            ASSERT_EQ(std::memcmp(&mine, &libc, sizeof mine), 0)
                << "seed " << seed << " draw " << i << ": " << mine << " vs " << libc;
            ++compared;
        }
    }
    EXPECT_EQ(compared, 50 * draws);
}

TEST(Rand48, DrawsLieInTheHalfOpenUnitInterval) {
    rand48 g;
    seed48(g, 7);
    for (int i = 0; i < 100000; ++i) {
        const double u = next(g);
        ASSERT_GE(u, 0.0) << "draw " << i;
        ASSERT_LT(u, 1.0) << "draw " << i;
    }
}

// Number of uniforms between two generator states (walking forward from `from`), or -1.
int draws_between(rand48 from, const rand48& to, int limit = 1000) {
    for (int n = 0; n <= limit; ++n) {
        if (from.x == to.x) return n;
        next(from);
    }
    return -1;
}

TEST(RandNorm, ConsumesAnEvenNumberOfUniformsAndAcceptsAtThePolarRate) {
    rand48 g;
    seed48(g, 2024);
    constexpr int calls = 100000;
    int first_try = 0;
    for (int i = 0; i < calls; ++i) {
        const rand48 before = g;
        norm(g);
        const int used = draws_between(before, g);
        ASSERT_GT(used, 0) << "call " << i;
        ASSERT_EQ(used % 2, 0) << "call " << i << " used " << used << " uniforms";
        if (used == 2) ++first_try;
    }
    // A pair is accepted with probability pi/4; the binomial standard deviation of
    // the fraction over 1e5 calls is sqrt(p (1 - p) / n) = 0.0013: allow 5 of them.
    const double rate = double(first_try) / calls;
    constexpr double rate_tolerance = 5 * 0.0013;
    EXPECT_NEAR(rate, pi / 4, rate_tolerance) << "first-pair acceptance " << rate;
}

TEST(RandNorm, RejectedPairsAreDiscardedWhole) {
    // Find a state whose first pair falls outside the unit disc; norm must then
    // return the deviate of the second pair, built from draws 3 and 4.
    rand48 g;
    seed48(g, 99);
    for (int tries = 0; tries < 1000; ++tries) {
        rand48 probe = g;
        const double d1 = next(probe), d2 = next(probe);
        const double u1 = 2 * d1 - 1, u2 = 2 * d2 - 1;
        if (u1 * u1 + u2 * u2 >= 1) break;
        next(g);
    }
    rand48 replay = g;
    next(replay);
    next(replay);  // the rejected pair
    const double d3 = next(replay), d4 = next(replay);
    const double u3 = (d3 + d3) - 1, u4 = (d4 + d4) - 1;
    const double s = u4 * u4 + u3 * u3;
    ASSERT_LT(s, 1.0) << "this test assumes the second pair is accepted";
    const double expected = u3 * std::sqrt((-2 * std::log(s)) / s);
    const double got = norm(g);
    EXPECT_EQ(g.x, replay.x) << "norm used a different number of draws";
    EXPECT_EQ(got, expected) << "deviate " << got << " expected " << expected;
}

TEST(RandNorm, SampleMomentsAreThoseOfAStandardNormal) {
    rand48 g;
    seed48(g, 31415);
    constexpr int n = 100000;
    double sum = 0, sum2 = 0, sum4 = 0;
    for (int i = 0; i < n; ++i) {
        const double v = norm(g);
        sum += v;
        sum2 += v * v;
        sum4 += v * v * v * v;
    }
    const double mean = sum / n;
    const double var = sum2 / n - mean * mean;
    const double kurt = (sum4 / n) / (var * var);
    // Standard errors for n = 1e5: mean 1/sqrt(n) = 0.0032, variance sqrt(2/n) = 0.0045,
    // fourth moment / var^2 about sqrt(96/n) = 0.031. Allow 5 standard errors each.
    constexpr double mean_tolerance = 5 * 0.0032;
    constexpr double var_tolerance = 5 * 0.0045;
    constexpr double kurt_tolerance = 5 * 0.031;
    EXPECT_NEAR(mean, 0.0, mean_tolerance) << "mean " << mean;
    EXPECT_NEAR(var, 1.0, var_tolerance) << "variance " << var;
    EXPECT_NEAR(kurt, 3.0, kurt_tolerance) << "kurtosis " << kurt;
}

// ---------------------------------------------------------------- initial conditions

params star_params() {
    params p;
    p.disp_u0 = 0.15;
    p.r_min = 0.5;
    p.r_max = 2.5;
    p.npatterns = 3;
    p.phi0[0] = 0.25;
    p.phi0[1] = 0.5;
    p.phi0[2] = 0.75;
    p.phi0[3] = 1.0;  // beyond npatterns: must never change
    return p;
}

// Relative agreement of quantities recomputed from x, y, vx, vy: a handful of
// roundings in cos, sin, sqrt and the velocity sums, each half an ulp.
constexpr double kinematics_tolerance = 8 * 2.220446049250313e-16;

struct drawn_star {
    double u, phi, r;  // radial velocity, azimuth, radius as the draws define them
};

// Replays the draws of one star on a copy of the generator.
drawn_star replay_star(const params& p, rand48& g) {
    drawn_star d;
    d.u = -(p.disp_u0 * norm(g));
    d.phi = twopi * next(g);
    d.r = p.r_min + next(g) * (p.r_max - p.r_min);
    return d;
}

TEST(RandDoOne, DrawOrderAndPhaseRedraws) {
    struct setting {
        int randp0, npatterns, phases;
    };
    const setting cases[] = {{1, 3, 2}, {1, 1, 0}, {1, 0, 0}, {2, 3, 0}, {0, 3, 0}, {1, 10, 9}};
    for (const setting& c : cases) {
        params p = star_params();
        p.randp0 = c.randp0;
        p.npatterns = c.npatterns;
        const params before = p;
        rand48 g;
        seed48(g, 555);
        rand48 replay = g;
        for (int star = 0; star < 20; ++star) {
            orbit_state s;
            do_one(s, p, g);
            const drawn_star d = replay_star(p, replay);
            std::vector<double> phases;
            for (int k = 0; k < c.phases; ++k) phases.push_back(twopi * next(replay));
            ASSERT_EQ(g.x, replay.x) << "randp0 " << c.randp0 << " npatterns " << c.npatterns
                                     << " star " << star << ": generator out of step";
            const double x = s.w[0], y = s.w[1], vx = s.w[3], vy = s.w[4];
            const double r = std::sqrt(x * x + y * y);
            EXPECT_NEAR(r, d.r, kinematics_tolerance * d.r) << "radius";
            EXPECT_NEAR(std::cos(d.phi), x / r, kinematics_tolerance) << "azimuth";
            EXPECT_NEAR(std::sin(d.phi), y / r, kinematics_tolerance) << "azimuth";
            EXPECT_NEAR((vx * x + vy * y) / r, d.u, kinematics_tolerance * 4) << "radial velocity";
            EXPECT_NEAR((x * vy - y * vx) / r, 1.0, kinematics_tolerance * 4) << "tangential speed";
            // pattern 0 keeps its phase; 1 .. npatterns-1 redrawn in order when randp0 == 1
            EXPECT_EQ(p.phi0[0], before.phi0[0]);
            for (int k = 1; k < max_patterns; ++k) {
                const double want = k - 1 < c.phases ? phases[k - 1] : before.phi0[k];
                EXPECT_EQ(p.phi0[k], want) << "phase of pattern " << k;
            }
        }
    }
}

TEST(RandDoOne, SameSeedSameStars) {
    params p1 = star_params(), p2 = star_params(), p3 = star_params();
    p1.randp0 = p2.randp0 = p3.randp0 = 1;
    rand48 g1, g2, g3;
    seed48(g1, 8080);
    seed48(g2, 8080);
    seed48(g3, 8081);
    int differing = 0;
    for (int star = 0; star < 200; ++star) {
        orbit_state a, b, c;
        do_one(a, p1, g1);
        do_one(b, p2, g2);
        do_one(c, p3, g3);
        ASSERT_EQ(std::memcmp(&a, &b, sizeof a), 0) << "star " << star;
        ASSERT_EQ(std::memcmp(p1.phi0, p2.phi0, sizeof p1.phi0), 0) << "phases of star " << star;
        if (std::memcmp(&a, &c, sizeof a) != 0) ++differing;
    }
    EXPECT_EQ(differing, 200) << "another seed should give other stars";
}

TEST(RandDoOne, FillsTimeAndFirstParticleOnly) {
    params p = star_params();
    rand48 g;
    seed48(g, 3);
    orbit_state s;
    s.t = 123.5;
    for (int i = 0; i < state_values; ++i) s.w[i] = 1000.0 + i;
    s.w[2] = 9;
    s.w[5] = 8;
    do_one(s, p, g);
    EXPECT_EQ(s.t, 0.0);
    EXPECT_EQ(s.w[2], 0.0);
    EXPECT_EQ(s.w[5], 0.0);
    for (int i = 6; i < state_values; ++i) EXPECT_EQ(s.w[i], 1000.0 + i) << "w[" << i << "]";
    EXPECT_EQ(p.n_particles, 1);
    EXPECT_EQ(p.number_equations, 6);
}

TEST(RandDoOne, FixedRadiusAndColdStart) {
    params p = star_params();
    p.r_min = p.r_max = 1.75;
    p.disp_u0 = 0;
    rand48 g;
    seed48(g, 11);
    for (int star = 0; star < 500; ++star) {
        const rand48 before = g;
        orbit_state s;
        do_one(s, p, g);
        // norm and the radius draw are still made: at least 2 + 2 uniforms
        EXPECT_GE(draws_between(before, g), 4);
        const double x = s.w[0], y = s.w[1], vx = s.w[3], vy = s.w[4];
        const double r = std::sqrt(x * x + y * y);
        EXPECT_NEAR(r, 1.75, kinematics_tolerance * 1.75) << "star " << star;
        EXPECT_NEAR((vx * x + vy * y) / r, 0.0, kinematics_tolerance) << "radial velocity";
        EXPECT_NEAR((x * vy - y * vx) / r, 1.0, kinematics_tolerance) << "tangential speed";
    }
}

// ---------------------------------------------------------------- setup reader

constexpr const char* program = "orbtest";

// A stream that collects what is written to it.
struct capture {
    char* buf = nullptr;
    std::size_t len = 0;
    std::FILE* f = open_memstream(&buf, &len);
    ~capture() {
        if (f) std::fclose(f);
        std::free(buf);
    }
    std::string text() {
        std::fflush(f);
        return std::string(buf, len);
    }
};

struct setup_file {
    std::string path;
    explicit setup_file(const std::string& name, const std::string& content) {
        // the process id keeps runs of the suite side by side apart
        path = testing::TempDir() + "orbtest_" + std::to_string(getpid()) + "_" + name + ".setup";
        std::FILE* f = std::fopen(path.c_str(), "w");
        std::fputs(content.c_str(), f);
        std::fclose(f);
    }
    ~setup_file() { std::remove(path.c_str()); }
};

struct read_result {
    bool ok;
    std::string out, diag;
    std::string next_line;  // what the stream holds after the reader is done
};

read_result read_setup(const setup_file& s, params& p, rand48& g) {
    capture out, diag;
    std::FILE* f = std::fopen(s.path.c_str(), "r");
    read_result r;
    r.ok = readsetup(f, s.path, p, g, out.f, diag.f, program);
    char rest[256];
    r.next_line = std::fgets(rest, sizeof rest, f) ? rest : "";
    std::fclose(f);
    r.out = out.text();
    r.diag = diag.text();
    return r;
}

// What every warning about a line that does not convert ends with: such a line
// may have been meant as a comment, and a setup file has none.
std::string comment_hint(const std::string& path) {
    return std::string("; if the line was meant as a comment, every later value is read one line off (") +
           program + " --check " + path + " shows them all)\n";
}

// The 14 scalar lines, each with a comment after its value.
// A line added above randp0 makes it read the lseed line, 7: neither 0 nor 1, which is said.
std::string randp0_shifted(const std::string& path) {
    return std::string(program) + ": " + path +
           ":10: warning: randp0: 7 is neither 0 nor 1: every star keeps the patterns' phases, as with 0\n";
}

std::string scalar_lines(const char* npatterns = "2", const char* lseed = "7") {
    return std::string("0.7  gamma\n") + "0.1 NU\n" + "0.01 mixtime\n" + "0.5 dt_int, orbits\n" +
           "100 nsteps\n" + "20 nstars\n" + "0.05 disp_u0\n" + "0.8 r_min\n" + "1.2 r_max\n" +
           lseed + " lseed\n" + "1 randp0\n" + "-0.1 l_min\n" + "0.1 l_max\n" + npatterns +
           " npatterns\n";
}

std::string block(const char* m, const char* phi0, const char* growtime, const char* starttime) {
    return std::string(m) + " m\n" + "0.02 epsilon\n" + phi0 + " phi0, degrees\n" + "-4 alpha\n" +
           "0.3 Omegas\n" + growtime + " growtime\n" + starttime + " starttime\n" +
           "0.9 smin\n" + "1.4 smax\n" + "0.2 wmin\n" + "0.3 wmax\n";
}

TEST(Setup, ReadsValuesCommentsAndConvertsUnits) {
    setup_file s("full", scalar_lines() + block("2", "90", "1", "2") + block("3", "45", "0.5", "3") +
                             "this line is not read\n");
    params p;
    rand48 g;
    const read_result r = read_setup(s, p, g);
    ASSERT_TRUE(r.ok) << r.diag;
    EXPECT_EQ(r.diag, "");
    EXPECT_EQ(r.out, "file read in, npatterns=2 \n");
    EXPECT_EQ(r.next_line, "this line is not read\n");
    EXPECT_EQ(p.gamma_, 0.7);
    EXPECT_EQ(p.NU, 0.1);
    EXPECT_EQ(p.mixtime, 0.01);
    EXPECT_EQ(p.dt_int, 3.141592653589793);
    EXPECT_EQ(p.nsteps, 100);
    EXPECT_EQ(p.nstars, 20);
    EXPECT_EQ(p.disp_u0, 0.05);
    EXPECT_EQ(p.r_min, 0.8);
    EXPECT_EQ(p.r_max, 1.2);
    EXPECT_EQ(p.lseed, 7);
    EXPECT_EQ(p.randp0, 1);
    EXPECT_EQ(p.l_min, -0.1);
    EXPECT_EQ(p.l_max, 0.1);
    EXPECT_EQ(p.npatterns, 2);
    EXPECT_EQ(p.mm[0], 2.0);
    EXPECT_EQ(p.mm[1], 3.0);
    EXPECT_EQ(p.epsilon[1], 0.02);
    EXPECT_EQ(p.phi0[0], 1.5707963267948966);
    EXPECT_EQ(p.phi0[1], 45 * 0.017453292519943295);
    EXPECT_EQ(p.alpha[0], -4.0);
    EXPECT_EQ(p.Omegas[1], 0.3);
    EXPECT_EQ(p.growtime[0], 6.283185307179586);
    EXPECT_EQ(p.starttime[0], 2 * 6.283185307179586);
    EXPECT_EQ(p.growtime[1], 0.5 * 6.283185307179586);
    EXPECT_EQ(p.starttime[1], 3 * 6.283185307179586);
    EXPECT_EQ(p.smin[1], 0.9);
    EXPECT_EQ(p.smax[1], 1.4);
    EXPECT_EQ(p.wmin[1], 0.2);
    EXPECT_EQ(p.wmax[1], 0.3);
    // entries beyond npatterns stay zero
    for (int k = 2; k < max_patterns; ++k) {
        const double* arrays[] = {p.mm,       p.epsilon,   p.phi0, p.alpha, p.Omegas, p.growtime,
                                  p.starttime, p.smin, p.smax,  p.wmin,   p.wmax};
        for (const double* a : arrays) EXPECT_EQ(a[k], 0.0) << "pattern " << k;
    }
}

TEST(Setup, IntegerLineStopsAtThePointAndBlocksBeyondNpatternsAreNotRead) {
    std::string text = scalar_lines("1");
    text.replace(text.find("100 nsteps"), 3, "2.5");
    setup_file s("int", text + block("2", "0", "1", "1") + block("4", "10", "1", "1"));
    params p;
    rand48 g;
    const read_result r = read_setup(s, p, g);
    ASSERT_TRUE(r.ok) << r.diag;
    EXPECT_EQ(r.diag, "");
    EXPECT_EQ(p.nsteps, 2);
    EXPECT_EQ(p.mm[0], 2.0);
    EXPECT_EQ(p.mm[1], 0.0) << "the second block lies beyond npatterns";
    EXPECT_EQ(r.next_line, "4 m\n");
}

TEST(Setup, NoPatternsReadsFourteenLines) {
    setup_file s("zero", scalar_lines("0") + block("2", "90", "1", "1"));
    params p;
    rand48 g;
    const read_result r = read_setup(s, p, g);
    ASSERT_TRUE(r.ok) << r.diag;
    EXPECT_EQ(r.out, "file read in, npatterns=0 \n");
    EXPECT_EQ(r.next_line, "2 m\n");
    EXPECT_EQ(p.mm[0], 0.0);
    EXPECT_EQ(p.phi0[0], 0.0);
}

TEST(Setup, SeedsTheGenerator) {
    const std::int64_t seeds[] = {0, 5, (1ll << 40) | 12345};
    for (std::int64_t seed : seeds) {
        const std::string lseed = std::to_string(seed);
        setup_file s("seed", scalar_lines("0", lseed.c_str()));
        params p;
        rand48 g;
        g.x = 0xABCDEF;  // whatever it held: the reader seeds it
        const read_result r = read_setup(s, p, g);
        ASSERT_TRUE(r.ok) << r.diag;
        EXPECT_EQ(p.lseed, seed);
        srand48(long(seed));
        for (int i = 0; i < 100; ++i) {
            const double libc = drand48();
            const double mine = next(g);
            ASSERT_EQ(mine, libc) << "lseed " << seed << " draw " << i;
        }
    }
}

TEST(Setup, LongLines) {
    // 178 characters plus the newline fill 179 of the 180 bytes: read whole.
    std::string line178 = "0.7";
    line178.resize(178, '#');
    std::string text = scalar_lines("0");
    text.replace(0, text.find('\n'), line178);
    {
        setup_file s("line178", text);
        params p;
        rand48 g;
        const read_result r = read_setup(s, p, g);
        ASSERT_TRUE(r.ok) << r.diag;
        EXPECT_EQ(r.diag, "");
        EXPECT_EQ(p.gamma_, 0.7);
        EXPECT_EQ(p.NU, 0.1);
        EXPECT_EQ(p.npatterns, 0);
    }
    // 179 characters and more: the rest of the line is the next setup line (NU),
    // and everything after it moves down by one.
    std::string line179 = "0.7";
    line179.resize(179, '#');
    std::string longer = scalar_lines("0");
    longer.replace(0, longer.find('\n'), line179 + "0.25 rest");
    {
        setup_file s("line_longer", longer);
        params p;
        rand48 g;
        const read_result r = read_setup(s, p, g);
        ASSERT_TRUE(r.ok) << r.diag;
        EXPECT_EQ(p.gamma_, 0.7);
        EXPECT_EQ(p.NU, 0.25);
        EXPECT_EQ(p.mixtime, 0.1);
        EXPECT_EQ(p.dt_int, 0.01 * twopi);
        EXPECT_EQ(p.nstars, 100);
        EXPECT_EQ(p.l_max, -0.1);
        EXPECT_EQ(p.npatterns, 0) << "npatterns is read from the file's l_max line, 0.1";
        EXPECT_EQ(r.next_line, "0 npatterns\n");
        const std::string expected =
            std::string(program) + ": " + s.path +
            ":1: warning: line longer than 179 characters; the rest is read as the next setup "
            "line\n" +
            randp0_shifted(s.path);
        EXPECT_EQ(r.diag, expected);
    }
    // exactly 179 characters and the newline: the newline alone is the next setup
    // line, which holds no number, so NU keeps its value
    {
        std::string text179 = scalar_lines("0");
        text179.replace(0, text179.find('\n'), line179);
        setup_file s("line179", text179);
        params p;
        rand48 g;
        const read_result r = read_setup(s, p, g);
        ASSERT_TRUE(r.ok) << r.diag;
        EXPECT_EQ(p.gamma_, 0.7);
        EXPECT_EQ(p.NU, 0.0);
        EXPECT_EQ(p.mixtime, 0.1);
        const std::string expected =
            std::string(program) + ": " + s.path +
            ":1: warning: line of 179 characters fills the line buffer; its newline is read as the "
            "next setup line, which is empty\n" +
            program + ": " + s.path + ":1: warning: NU: expected a number, got ''; keeping 0" +
            comment_hint(s.path) + randp0_shifted(s.path);
        EXPECT_EQ(r.diag, expected);
    }
}

TEST(Setup, WordInsteadOfANumberKeepsTheValueAndWarns) {
    std::string text = scalar_lines("0");
    text.replace(text.find("20 nstars"), 2, "abc");
    text.replace(0, 3, "gamma");
    setup_file s("word", text);
    params p;
    p.gamma_ = 0.25;  // what it held before: kept
    p.nstars = 9;
    rand48 g;
    const read_result r = read_setup(s, p, g);
    ASSERT_TRUE(r.ok) << r.diag;
    EXPECT_EQ(p.gamma_, 0.25);
    EXPECT_EQ(p.nstars, 9);
    EXPECT_EQ(p.nsteps, 100) << "reading goes on after the bad line";
    const std::string expected =
        std::string(program) + ": " + s.path +
        ":1: warning: gamma_: expected a number, got 'gamma  gamma'; keeping 0.25" +
        comment_hint(s.path) + program + ": " + s.path +
        ":6: warning: nstars: expected an integer, got 'abc nstars'; keeping 9" + comment_hint(s.path);
    EXPECT_EQ(r.diag, expected);
    EXPECT_EQ(r.out, "file read in, npatterns=0 \n");
}

TEST(Setup, TruncatedFileIsRefused) {
    // ten lines: the first missing parameter is randp0, on line 11
    std::string text = scalar_lines("0");
    std::size_t cut = 0;
    for (int i = 0; i < 10; ++i) cut = text.find('\n', cut) + 1;
    {
        setup_file s("short", text.substr(0, cut));
        params p;
        rand48 g;
        const read_result r = read_setup(s, p, g);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.out, "") << "no start-up line for a refused file";
        EXPECT_EQ(r.diag, std::string(program) + ": " + s.path +
                              ":11: randp0: missing, the file ends after line 10\n");
    }
    // a pattern block cut short: pattern 1 ends after its smax line (file line 34)
    {
        const std::string blocks = block("2", "0", "1", "1") + block("3", "0", "1", "1");
        std::size_t end = 0;
        for (int i = 0; i < 20; ++i) end = blocks.find('\n', end) + 1;
        setup_file s("short_block", scalar_lines("2") + blocks.substr(0, end));
        params p;
        rand48 g;
        const read_result r = read_setup(s, p, g);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.diag, std::string(program) + ": " + s.path +
                              ":35: wmin: missing, the file ends after line 34\n");
    }
}

TEST(Setup, TruncatedFileWithoutFinalNewlineNamesTheSameLine) {
    // ten lines, the last one without its newline: still line 10 read, line 11 missing
    std::string text = scalar_lines("0");
    std::size_t cut = 0;
    for (int i = 0; i < 10; ++i) cut = text.find('\n', cut) + 1;
    setup_file s("short_nonl", text.substr(0, cut - 1));
    params p;
    rand48 g;
    const read_result r = read_setup(s, p, g);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(p.lseed, 7) << "the last line is still read";
    EXPECT_EQ(r.diag, std::string(program) + ": " + s.path +
                          ":11: randp0: missing, the file ends after line 10\n");
}

// An integer line holds any value of its type, from the lowest to the highest (but
// nsteps 2147483647: orbspread runs nsteps + 1 intervals); one beyond either edge is
// refused with the range, never wrapped into it (-2147483649 steps would otherwise
// become 2147483647, a seed below -2^63 the lowest seed).
TEST(Setup, IntegersFillTheirTypeAndOneBeyondEitherEdgeIsRefused) {
    const auto with = [](const char* nsteps, const char* lseed) {
        std::string text = scalar_lines("0", lseed);
        text.replace(text.find("100 nsteps"), 3, nsteps);
        return text;
    };
    struct edge {
        const char *nsteps, *lseed;
        int line;  // 0: read; else the line refused
        const char* message;
    };
    const edge edges[] = {
        {"-2147483648", "-9223372036854775808", 0, ""},
        {"2147483646", "9223372036854775807", 0, ""},
        {"-2147483649", "7", 5, "nsteps: -2147483649 is outside the integers from -2147483648 to 2147483647"},
        {"-4294967297", "7", 5, "nsteps: -4294967297 is outside the integers from -2147483648 to 2147483647"},
        {"100", "-9223372036854775809", 10,
         "lseed: -9223372036854775809 is outside the integers from -9223372036854775808 to "
         "9223372036854775807"},
        {"100", "-99999999999999999999", 10,
         "lseed: -99999999999999999999 is outside the integers from -9223372036854775808 to "
         "9223372036854775807"},
    };
    for (const edge& e : edges) {
        setup_file s("edge", with(e.nsteps, e.lseed));
        params p;
        rand48 g;
        const read_result r = read_setup(s, p, g);
        if (e.line == 0) {
            ASSERT_TRUE(r.ok) << e.nsteps << " " << e.lseed << ": " << r.diag;
            if (p.lseed >= 0) {
                EXPECT_EQ(r.diag, "");  // a negative one says the seed it took
            }
            EXPECT_EQ(std::to_string(p.nsteps), e.nsteps);
            EXPECT_EQ(std::to_string(p.lseed), e.lseed);
        } else {
            EXPECT_FALSE(r.ok) << e.nsteps << " " << e.lseed;
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.diag, std::string(program) + ": " + s.path + ":" + std::to_string(e.line) + ": " +
                                  e.message + "\n");
        }
    }
}

// Ten patterns fill the model, the tenth block read like the first; eleven are refused.
TEST(Setup, TenPatternsAreReadAndElevenRefused) {
    std::string ten = scalar_lines("10");
    for (int k = 0; k < 10; ++k) ten += block(k == 9 ? "7" : "2", k == 9 ? "180" : "0", "1", "1");
    setup_file full("ten", ten);
    params q;
    rand48 h;
    const read_result tenth = read_setup(full, q, h);
    ASSERT_TRUE(tenth.ok) << tenth.diag;
    EXPECT_EQ(tenth.diag, "");
    EXPECT_EQ(q.npatterns, 10);
    EXPECT_EQ(q.mm[9], 7);
    EXPECT_EQ(q.wmax[9], 0.3);

    std::string text = scalar_lines("11");
    for (int k = 0; k < 11; ++k) text += block("2", "0", "1", "1");
    setup_file s("eleven", text);
    params p;
    rand48 g;
    const read_result r = read_setup(s, p, g);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.diag, std::string(program) + ": " + s.path +
                          ":14: npatterns: 11 is more than the 10 patterns a model holds\n");
}

}  // namespace

// A pattern's envelope: refused when it is 0 at every radius r > 0 (no force at all),
// accepted when it is not 0 somewhere, however far out; an annulus open to infinity
// draws no warning about a value that is not finite.
TEST(Setup, PatternWhoseEnvelopeVanishesEverywhereIsRefused) {
    struct envelope_case {
        const char* smin;
        const char* smax;
        const char* wmin;
        const char* wmax;
        bool vanishes;
    };
    const envelope_case cases[] = {
        {"0", "0", "0", "0", true},       // the fields left at 0
        {"2", "1", "0", "0", true},       // an empty annulus without tapers
        {"-3", "-1", "0.5", "0", true},   // annulus at negative radii, no outer taper
        {"-3", "-1", "0.5", "0.01", true},  // outer taper underflows: exp(-5000) is 0
        {"0", "0", "0", "0.5", false},    // outer taper from r = 0
        {"2", "1", "0.5", "0", false},    // inner taper up to r = 2
        {"-3", "-1", "0", "1", false},    // outer taper of width 1 from r = -1
        {"1", "1", "0", "0", false},      // one radius of full amplitude
        {"0", "inf", "0", "0", false},    // full amplitude everywhere
    };
    for (const envelope_case& c : cases) {
        const std::string pattern = std::string("2 m\n0.02 epsilon\n0 phi0\n-4 alpha\n0.3 Omegas\n1 growtime\n") +
                                    "1 starttime\n" + c.smin + " smin\n" + c.smax + " smax\n" + c.wmin +
                                    " wmin\n" + c.wmax + " wmax\n";
        std::string text = scalar_lines("1");
        text.replace(text.find("1 randp0"), 1, "0");
        setup_file s("envelope", text + pattern);
        params p;
        rand48 g;
        const read_result r = read_setup(s, p, g);
        const std::string where = std::string(c.smin) + " " + c.smax + " " + c.wmin + " " + c.wmax;
        EXPECT_EQ(r.ok, !c.vanishes) << where << "\n" << r.diag;
        if (c.vanishes)
            EXPECT_EQ(r.diag.rfind(std::string(program) + ": " + s.path + ":25: pattern 1: its envelope is 0 at every "
                                                                        "radius (smin ",
                                   0),
                      0u)
                << where << "\n" << r.diag;
        else
            EXPECT_EQ(r.diag, "") << where;
        EXPECT_EQ(envelope_vanishes(p, 0), c.vanishes) << where;
    }
}

// randp0: only 1 redraws the phases; any other value keeps them and is run, with a
// warning for values other than 0.
TEST(Setup, Randp0OtherThanZeroOrOneWarnsAndRuns) {
    for (const char* value : {"0", "1", "2", "-1"}) {
        std::string text = scalar_lines("0");
        text.replace(text.find("1 randp0"), 1, value);
        setup_file s("randp0", text);
        params p;
        rand48 g;
        const read_result r = read_setup(s, p, g);
        EXPECT_TRUE(r.ok) << value;
        const bool odd = std::string(value) != "0" && std::string(value) != "1";
        EXPECT_EQ(r.diag, odd ? std::string(program) + ": " + s.path + ":11: warning: randp0: " + value +
                                    " is neither 0 nor 1: every star keeps the patterns' phases, as with 0\n"
                              : "")
            << value;
    }
}
