// Angle and statistics helpers, the orbit record line and the orbit file writer.
#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "galaxy.h"
#include "fixtures.h"
#include "integrator.h"
#include "output.h"
#include "params.h"
#include "state.h"

namespace {

// Reducing an angle of a few turns costs one product and one sum: a few units in the
// last place of 2pi.
constexpr double angle_budget = 4 * 8.9e-16;
// Turning a state by an angle and back: sin, cos, atan2 and a few products.
constexpr double rotation_budget = 1e-14;

const double not_a_number = std::numeric_limits<double>::quiet_NaN();

// Everything a FILE* receives, as a string.
template <class Write>
std::string captured(Write write) {
    std::FILE* f = std::tmpfile();
    if (!f) return "<tmpfile failed>";
    write(f);
    std::fflush(f);
    const long n = std::ftell(f);
    std::rewind(f);
    std::string s(static_cast<std::size_t>(n), '\0');
    const std::size_t got = std::fread(s.data(), 1, s.size(), f);
    std::fclose(f);
    s.resize(got);
    return s;
}

std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> out;
    std::istringstream in(line);
    std::string w;
    while (in >> w) out.push_back(w);
    return out;
}

std::string format(const char* fmt, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, v);
    return buf;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

long count_lines(const std::string& text) {
    long n = 0;
    for (char c : text) n += c == '\n';
    return n;
}

params flat_disc(int npatterns) {
    params p;
    p.gamma_ = 0;
    p.n_particles = 1;
    p.number_equations = 6;
    p.npatterns = npatterns;
    // pattern 0: a standing two-armed wave with its crest at phi = 0
    p.mm[0] = 2;
    p.epsilon[0] = 0.01;
    p.smin[0] = 0.5;
    p.smax[0] = 2;
    p.wmin[0] = p.wmax[0] = 1;
    // pattern 1: a tightly wound spiral turning at a quarter, phase a quarter turn
    p.mm[1] = 2;
    p.epsilon[1] = 0.02;
    p.alpha[1] = -8;
    p.Omegas[1] = 0.25;
    p.phi0[1] = pi / 2;
    p.smin[1] = 0.5;
    p.smax[1] = 2;
    p.wmin[1] = p.wmax[1] = 1;
    return p;
}

orbit_state star(double t, double x, double y, double vx, double vy) { return planar_star(x, y, vx, vy, t); }

}  // namespace

// ---- angle reduction -------------------------------------------------------------------

TEST(Residual, ReducesToOneTurn) {
    EXPECT_EQ(residual(0.0), 0.0);
    EXPECT_EQ(residual(twopi), 0.0);
    EXPECT_EQ(residual(-twopi), 0.0);
    EXPECT_EQ(residual(-pi), pi);  // truncation gives no turn, then one is added
    EXPECT_NEAR(residual(-pi / 2), 3 * pi / 2, angle_budget);
    EXPECT_NEAR(residual(7 * pi / 2), 3 * pi / 2, angle_budget);
    EXPECT_NEAR(residual(-7 * pi / 2), pi / 2, angle_budget);
    EXPECT_NEAR(residual(1000.0), 1000.0 - 159 * twopi, 1e-12);
}

TEST(Residual, EdgesOfItsDomain) {
    // a hair below zero gets a whole turn added and rounds to 2pi itself
    EXPECT_EQ(residual(-1e-17), twopi);
    EXPECT_TRUE(std::isnan(residual(not_a_number)));
    // beyond 2^31 turns the count no longer fits 32 bits; the reduction must still work
    const double turns = std::ldexp(1.0, 33);
    for (double offset : {1.0, 4.0, -1.0}) {
        const double x = turns * twopi + offset;  // turns * twopi is exact
        const double r = residual(x);
        EXPECT_GE(r, 0.0) << "x = " << x;
        EXPECT_LE(r, twopi) << "x = " << x;
        const double expected = offset < 0 ? offset + twopi : offset;
        // x itself carries the rounding of its last place, about 8e-6 at 5e10
        EXPECT_NEAR(r, expected, 1e-5) << "x = " << x;
    }
    for (double x : {-3.3e10, 1.3e10, 9e15}) {
        const double r = residual(x);
        EXPECT_TRUE(r >= 0 && r <= twopi) << "residual(" << x << ") = " << r;
    }
}

// ---- statistics ----------------------------------------------------------------------

TEST(Statistics, MeanAndPopulationDeviation) {
    const double a[] = {1, 2, 3, 4};
    EXPECT_EQ(get_mean(a, 4), 2.5);
    EXPECT_DOUBLE_EQ(get_sig(a, 4), std::sqrt(1.25));  // population, not sqrt(5/3)
    EXPECT_EQ(get_sig(a, 1), 0.0);
    EXPECT_TRUE(std::isnan(get_mean(a, 0)));
    EXPECT_TRUE(std::isnan(get_sig(a, 0)));
}

// An ensemble of identical members has no spread. The one-pass variance of three 0.1s
// rounds below zero; its square root must not turn the spread into NaN.
TEST(Statistics, EqualValuesHaveZeroSpreadNeverNaN) {
    const double tenth[] = {0.1, 0.1, 0.1};
    const double mean = get_mean(tenth, 3);
    double s2 = 0;
    for (double v : tenth) s2 = s2 + v * v;
    ASSERT_LT((s2 / 3) - (mean * mean), 0.0) << "this case no longer rounds negative";
    EXPECT_EQ(get_sig(tenth, 3), 0.0);

    std::vector<double> same(210);
    for (double v : {0.1, 1.2345678901234567, 3e-7, 1e8, -2.7}) {
        std::fill(same.begin(), same.end(), v);
        for (int n = 1; n <= 210; n += 11) {
            const double sig = get_sig(same.data(), n);
            EXPECT_FALSE(std::isnan(sig)) << n << " copies of " << v;
            EXPECT_GE(sig, 0.0) << n << " copies of " << v;
            EXPECT_LE(sig, 1e-7 * std::fabs(v)) << n << " copies of " << v;
        }
    }
    // a NaN member still shows
    const double with_nan[] = {1.0, not_a_number, 2.0};
    EXPECT_TRUE(std::isnan(get_sig(with_nan, 3)));
}

TEST(Statistics, ExtremesAndNaNOrdering) {
    const double a[] = {3, 1, 1, 2};
    EXPECT_EQ(findmin(a, 4), 1.0);
    EXPECT_EQ(findmax(a, 4), 3.0);
    const double nan_first[] = {not_a_number, 5};
    const double nan_last[] = {5, not_a_number};
    EXPECT_TRUE(std::isnan(findmax(nan_first, 2)));
    EXPECT_TRUE(std::isnan(findmin(nan_first, 2)));
    EXPECT_EQ(findmax(nan_last, 2), 5.0);
    EXPECT_EQ(findmin(nan_last, 2), 5.0);
    const double neg[] = {-0.5, -7, 4e300, -1e-300};
    EXPECT_EQ(findmin(neg, 4), -7.0);
    EXPECT_EQ(findmax(neg, 4), 4e300);
    // the extreme in the last place is seen too
    const double rising[] = {2, 1, 3, 4}, falling[] = {2, 3, 1, 0.5};
    EXPECT_EQ(findmax(rising, 4), 4.0);
    EXPECT_EQ(findmin(falling, 4), 0.5);
}

// ---- rotating frame ------------------------------------------------------------------

TEST(Coordrot, ZeroRateIsTheIdentity) {
    for (const orbit_state& s : {star(3.7, 1.3, -0.4, 0.2, 0.9), star(-12.0, -0.5, -2.0, -0.3, 0.1),
                                 star(0.0, -1.0, 1e-3, 0.0, -1.0)}) {
        double x, y, vx, vy;
        coordrot(s, &x, &y, &vx, &vy, 0.0);
        EXPECT_NEAR(x, s.w[0], rotation_budget);
        EXPECT_NEAR(y, s.w[1], rotation_budget);
        EXPECT_NEAR(vx, s.w[3], rotation_budget);
        EXPECT_NEAR(vy, s.w[4], rotation_budget);
    }
}

// A star circling at omega sits still in the frame turning at omega, at (r, 0); its
// velocity there is the inertial one, (0, r omega), not zero.
TEST(Coordrot, CircularOrbitStandsStillInItsFrame) {
    const double r = 2.0, omega = 0.5;
    for (double t : {0.0, 1.0, 5.5, 40.0, -3.0}) {
        const double c = std::cos(omega * t), s = std::sin(omega * t);
        const orbit_state st = star(t, r * c, r * s, -r * omega * s, r * omega * c);
        double x, y, vx, vy;
        coordrot(st, &x, &y, &vx, &vy, omega);
        const double budget = rotation_budget * (1 + std::fabs(omega * t));
        EXPECT_NEAR(x, r, budget) << "t = " << t;
        EXPECT_NEAR(y, 0.0, budget) << "t = " << t;
        EXPECT_NEAR(vx, 0.0, budget) << "t = " << t;
        EXPECT_NEAR(vy, r * omega, budget) << "t = " << t;
    }
}

// ---- the record line -------------------------------------------------------------------

// get_ll is the record line's L: r times the tangential velocity formed over r, which in
// general differs from x vy - y vx in the last bits. Its printed text is the L column.
TEST(RecordLine, AngularMomentumIsTheLColumnBitForBit) {
    const params p = flat_disc(2);
    int differing = 0;
    for (int i = 0; i < 200; ++i) {
        const double x = 0.3 + 0.0137 * i, y = -1.1 + 0.0213 * i;
        const double vx = 0.45 - 0.0071 * i, vy = 0.77 + 0.0039 * i;
        const orbit_state s = star(0.1 * i, x, y, vx, vy);
        const double r = std::sqrt(x * x + y * y);
        const double line_L = r * ((vy * x) / r + ((-vx) * y) / r);
        const double L = get_ll(s);
        ASSERT_EQ(std::memcmp(&L, &line_L, sizeof L), 0) << "state " << i << ": " << L << " vs " << line_L;
        if (L != x * vy - y * vx) ++differing;

        const auto indexed = fields(captured([&](std::FILE* f) { print_stuff(f, p, i, s); }));
        const auto plain = fields(captured([&](std::FILE* f) { print_stuff(f, p, s); }));
        ASSERT_EQ(indexed.size(), 16u + 4u) << "state " << i;
        ASSERT_EQ(plain.size(), 15u + 4u) << "state " << i;
        EXPECT_EQ(indexed[10], format("%.4e", L)) << "state " << i;
        EXPECT_EQ(plain[9], format("%.3e", L)) << "state " << i;
    }
    EXPECT_GT(differing, 0) << "no state tells get_ll apart from x vy - y vx";
}

// A star on the circle at r = 1 of the flat disc, at t = 2pi: every orbit quantity is
// 0 or 1, and u, a negated sum of zeros, is -0.
TEST(RecordLine, IndexedLineWithoutAndWithPatterns) {
    const params p0 = flat_disc(0);
    const orbit_state s = star(twopi, 1.0, 0.0, 0.0, vc_0(p0, 1.0));
    //                      i  to         x          y          vx         vy
    const std::string lead = "7 1.0000e+00 1.0000e+00 0.0000e+00 0.0000e+00 1.0000e+00 "
                             // r phi u v
                             "1.0000e+00 0.0000e+00 -0.0000e+00 0.0000e+00 "
                             // L J e theta1
                             "1.0000e+00 0.0000e+00 0.0000e+00 0.0000e+00 "
                             // KE p0
                             "5.0000e-01 0.0000e+00 ";
    EXPECT_EQ(captured([&](std::FILE* f) { print_stuff(f, p0, 7, s); }), lead + "\n");

    // pattern 0 has its crest at the star and no phase; pattern 1 has turned by
    // 0.25 * 2pi from pi/2 to pi, which puts a crest back on the star
    const params p2 = flat_disc(2);
    EXPECT_EQ(captured([&](std::FILE* f) { print_stuff(f, p2, 7, s); }),
              lead + "1.0000e-02 0.0000e+00 2.0000e-02 3.1416e+00 \n");

    // negative index and a NaN state print as the C library prints them
    const orbit_state centre = star(0.0, 0.0, 0.0, 0.0, 0.0);
    const auto v = fields(captured([&](std::FILE* f) { print_stuff(f, p0, -3, centre); }));
    ASSERT_EQ(v.size(), 16u);
    EXPECT_EQ(v[0], "-3");
    EXPECT_NE(v[10].find("nan"), std::string::npos) << "L at the centre: " << v[10];
}

TEST(RecordLine, PlainLineWithoutAndWithPatterns) {
    const params p0 = flat_disc(0);
    const orbit_state s = star(twopi, 1.0, 0.0, 0.0, vc_0(p0, 1.0));
    //                      t         x         y         vx        vy
    const std::string lead = "6.283e+00 1.000e+00 0.000e+00 0.000e+00 1.000e+00 "
                             "1.000e+00 0.000e+00 -0.000e+00 0.000e+00 "
                             "1.000e+00 0.000e+00 0.000e+00 0.000e+00 "
                             "5.000e-01 0.000e+00 ";
    EXPECT_EQ(captured([&](std::FILE* f) { print_stuff(f, p0, s); }), lead + "\n");
    const params p2 = flat_disc(2);
    EXPECT_EQ(captured([&](std::FILE* f) { print_stuff(f, p2, s); }),
              lead + "1.000e-02 0.000e+00 2.000e-02 3.142e+00 \n");
}

// A star built from its epicycle. In the disc v_c = r^gamma the ratio kappa/Omega is
// sqrt(2 (1 + gamma)); a star at radius r with epicycle amplitude e (in units of v_c)
// and phase theta1 moves with u = -(kappa/Omega) e v_c sin(theta1) inwards and
// v = e v_c cos(theta1) ahead of the circular speed. The line must give every column
// back: position and velocity, then r, phi, u, v, L = r (v_c + v), the radial action
// J = (kappa/Omega) L e^2 / 2, e, theta1, the kinetic energy, the background potential
// r^(2 gamma) / (2 gamma), and per pattern the full wave and its phase Omega_p t + phi0.
TEST(RecordLine, EveryColumnOfAStarBuiltFromItsEpicycle) {
    params p = flat_disc(2);
    p.gamma_ = 0.25;
    p.starttime[0] = p.starttime[1] = 100;  // not grown yet: the printed wave is the full one
    const double kq = std::sqrt(2.5);
    struct epicycle {
        double t, r, phi, e, theta1;
    };
    // every quadrant of theta1 and of the azimuth, radii inside the patterns' flat annulus
    const epicycle cases[] = {{0.7, 1.3, 0.4, 0.08, 0.6}, {12.5, 1.7, 2.2, 0.15, 2.1},
                              {3.0, 0.8, 4.0, 0.05, 3.9}, {31.0, 1.95, 5.9, 0.2, 5.5}};
    for (const epicycle& c : cases) {
        const double vc = std::pow(c.r, 0.25);
        const double u = -kq * c.e * vc * std::sin(c.theta1);
        const double v = c.e * vc * std::cos(c.theta1);
        const double v_r = -u, v_phi = vc + v;
        const double x = c.r * std::cos(c.phi), y = c.r * std::sin(c.phi);
        const double vx = v_r * std::cos(c.phi) - v_phi * std::sin(c.phi);
        const double vy = v_r * std::sin(c.phi) + v_phi * std::cos(c.phi);
        const double L = c.r * v_phi;
        std::vector<double> want = {x, y, vx, vy, c.r, c.phi, u, v, L, kq * L * c.e * c.e / 2, c.e, c.theta1,
                                    (v_r * v_r + v_phi * v_phi) / 2, std::pow(c.r, 0.5) / 0.5};
        for (int k = 0; k < 2; ++k) {
            const double chi = p.mm[k] * (c.phi - p.phi0[k] - p.Omegas[k] * c.t) + p.alpha[k] * std::log(c.r);
            want.push_back(p.epsilon[k] * std::cos(chi));
            want.push_back(std::fmod(p.Omegas[k] * c.t + p.phi0[k], twopi));
        }
        const orbit_state s = star(c.t, x, y, vx, vy);
        const auto indexed = fields(captured([&](std::FILE* f) { print_stuff(f, p, 3, s); }));
        const auto plain = fields(captured([&](std::FILE* f) { print_stuff(f, p, s); }));
        ASSERT_EQ(indexed.size(), 2 + want.size());
        ASSERT_EQ(plain.size(), 1 + want.size());
        EXPECT_EQ(indexed[0], "3");
        EXPECT_EQ(indexed[1], format("%.4e", c.t / twopi));
        EXPECT_EQ(plain[0], format("%.3e", c.t));
        // five (four) significant digits: half a unit in the last printed place, and a
        // little for the difference of the two routes (a few units in 1e-16)
        for (std::size_t k = 0; k < want.size(); ++k) {
            const double w = want[k];
            EXPECT_NEAR(std::atof(indexed[2 + k].c_str()), w, 5.01e-5 * std::fabs(w) + 1e-15)
                << "indexed column " << 3 + k << " at r " << c.r << ": " << indexed[2 + k];
            EXPECT_NEAR(std::atof(plain[1 + k].c_str()), w, 5.01e-4 * std::fabs(w) + 1e-15)
                << "plain column " << 2 + k << " at r " << c.r << ": " << plain[1 + k];
        }
    }
}

// Every value is followed by one space, the line by one newline; angles never negative.
TEST(RecordLine, ShapeOfEveryLine) {
    for (int np : {0, 1, 2}) {
        const params p = flat_disc(np);
        for (const orbit_state& s : {star(1.0, -1.5, -1e-9, 0.3, -0.8), star(-4.0, -2.0, 0.0, 0.1, 0.2),
                                     star(100.0, 0.5, 0.7, -0.2, 1.1)}) {
            for (int variant = 0; variant < 2; ++variant) {
                const std::string line = captured([&](std::FILE* f) {
                    if (variant == 0) print_stuff(f, p, 12, s);
                    else print_stuff(f, p, s);
                });
                ASSERT_GE(line.size(), 2u);
                EXPECT_EQ(line.substr(line.size() - 2), " \n");
                EXPECT_EQ(line.find("  "), std::string::npos) << line;
                EXPECT_EQ(line.find('\n'), line.size() - 1) << line;
                const auto v = fields(line);
                const std::size_t width = (variant == 0 ? 16u : 15u) + 2u * np;
                ASSERT_EQ(v.size(), width) << line;
                const std::size_t lead = variant == 0 ? 1 : 0;
                for (std::size_t k = lead; k < v.size(); ++k)
                    EXPECT_EQ(v[k].find('.') + (variant == 0 ? 5 : 4), v[k].find('e')) << v[k];
                const double phi = std::atof(v[6 + lead].c_str());
                EXPECT_TRUE(phi >= 0 && phi <= twopi) << line;
                for (int k = 0; k < np; ++k) {
                    const double f = std::atof(v[width - 2 * np + 2 * k + 1].c_str());
                    EXPECT_TRUE(f >= 0 && f <= 6.2832) << line;
                }
            }
        }
    }
}

TEST(RecordLine, HeaderLengths) {
    EXPECT_EQ(std::strlen(indexed_header1), 68u);
    EXPECT_EQ(std::strlen(indexed_header2), 65u);
    EXPECT_EQ(std::strlen(orbit_header1), 60u);
    EXPECT_EQ(std::strlen(orbit_header2), 57u);
    for (const char* h : {indexed_header1, indexed_header2, orbit_header1, orbit_header2}) {
        EXPECT_EQ(h[0], '#');
        EXPECT_EQ(std::strchr(h, '\n'), h + std::strlen(h) - 1) << h;
    }
}

// ---- orbit files ---------------------------------------------------------------------

namespace {

class SaveOne : public ::testing::Test {
protected:
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() /
              ("orbkit_test_output_" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::filesystem::path dir;
};

}  // namespace

TEST_F(SaveOne, NoStepsWritesHeadersAndTheInitialLine) {
    params p = flat_disc(2);
    p.nsteps = 0;
    p.dt_int = 1.0;
    const orbit_state s = star(0.0, 1.1, 0.2, -0.1, 0.95);
    const std::string path = (dir / "a_1.bb").string();
    const saved_orbit out = save_one(p, path, s);
    EXPECT_EQ(out.status, saved_orbit::ok);
    EXPECT_EQ(out.dl, 0.0);
    EXPECT_EQ(out.L1, get_ll(s));
    const std::string text = slurp(path);
    EXPECT_EQ(text, std::string(orbit_header1) + orbit_header2 +
                        captured([&](std::FILE* f) { print_stuff(f, p, s); }));
}

TEST_F(SaveOne, EveryOutputTimeGetsOneLineAndAnOldFileIsReplaced) {
    params p = flat_disc(2);
    p.nsteps = 3;
    p.dt_int = 0.7;
    const orbit_state s = star(0.0, 1.1, 0.2, -0.1, 0.95);
    const orbit_state kept = s;
    const std::string path = (dir / "a_2.bb").string();
    {
        std::ofstream old(path);
        for (int i = 0; i < 50; ++i) old << "an older file of the same name\n";
    }
    const saved_orbit out = save_one(p, path, s);
    EXPECT_EQ(out.status, saved_orbit::ok);
    EXPECT_EQ(std::memcmp(&s, &kept, sizeof s), 0) << "the caller's state changed";

    // the same integration by hand: targets 0.7, 0.7 + 0.7, (0.7 + 0.7) + 0.7
    std::string expected = std::string(orbit_header1) + orbit_header2;
    orbit_state w = s;
    expected += captured([&](std::FILE* f) { print_stuff(f, p, w); });
    double target = 0;
    for (int i = 0; i < 3; ++i) {
        target = target + p.dt_int;
        ASSERT_TRUE(taketstep(p, w, target));
        expected += captured([&](std::FILE* f) { print_stuff(f, p, w); });
    }
    const std::string text = slurp(path);
    EXPECT_EQ(count_lines(text), 2 + 4);
    EXPECT_EQ(text, expected);
    EXPECT_EQ(out.L1, get_ll(w));
    EXPECT_EQ(out.dl, get_ll(w) - get_ll(s));
    EXPECT_NE(out.dl, 0.0) << "the patterns did not change L";
}

TEST_F(SaveOne, UncreatableFileIsReported) {
    params p = flat_disc(0);
    p.nsteps = 2;
    p.dt_int = 1.0;
    const std::string path = (dir / "no_such_folder" / "a_3.bb").string();
    const saved_orbit out = save_one(p, path, star(0.0, 1.0, 0.0, 0.0, 1.0));
    EXPECT_EQ(out.status, saved_orbit::cannot_create);
    EXPECT_NE(out.error, 0);
    EXPECT_FALSE(std::filesystem::exists(path));
}

namespace {
// What a folder holds, by name.
std::vector<std::string> names_in(const std::filesystem::path& dir) {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}
}  // namespace

// The finished file cannot take its name (a folder is there): the run is told, and
// neither the orbit nor its temporary copy is left in the folder.
TEST_F(SaveOne, FailedRenameLeavesNoTemporaryFile) {
    params p = flat_disc(0);
    p.nsteps = 2;
    p.dt_int = 1.0;
    const std::filesystem::path taken = dir / "a_4.bb";
    std::filesystem::create_directories(taken / "inside");  // a folder that is not empty
    const saved_orbit out = save_one(p, taken.string(), star(0.0, 1.0, 0.0, 0.0, 1.0));
    EXPECT_EQ(out.status, saved_orbit::cannot_create);
    EXPECT_TRUE(out.error == EISDIR || out.error == ENOTEMPTY || out.error == EEXIST) << std::strerror(out.error);
    EXPECT_EQ(names_in(dir), std::vector<std::string>{"a_4.bb"});
    EXPECT_EQ(names_in(taken), std::vector<std::string>{"inside"});
}

// The temporary name is drawn afresh until one is free: a link planted under a name
// that would be drawn (to a file outside the folder), a plain file under the next, and
// the third is created, new and empty, with the mode fopen gives (0666 less the umask).
TEST_F(SaveOne, TemporaryFileIsCreatedUnderAFreeNameNeverThroughWhatIsThere) {
    const std::string stem = (dir / "b_0.bb").string();
    const std::uint64_t seed = 12345;
    std::uint64_t d = seed;
    const std::string first = temporary_name(stem, ".part", d), second = temporary_name(stem, ".part", d),
                      third = temporary_name(stem, ".part", d);
    EXPECT_NE(first, second);
    EXPECT_EQ(first.rfind(stem + ".", 0), 0u) << first;
    EXPECT_EQ(first.size(), stem.size() + 1 + 6 + 5) << first;
    const std::filesystem::path victim = dir.parent_path() / ("orbkit_victim_" + std::to_string(::getpid()));
    {
        std::ofstream v(victim);
        v << "kept\n";
        std::ofstream leftover(second);
        leftover << "leftover\n";
    }
    std::filesystem::create_symlink(victim, first);
    const mode_t mask = ::umask(027);
    std::string name;
    std::uint64_t draw = seed;
    const int fd = create_temporary(stem, ".part", name, draw);
    ::umask(mask);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    EXPECT_EQ(write(fd, "x", 1), 1);
    ::close(fd);
    EXPECT_EQ(name, third);
    EXPECT_EQ(slurp(victim.string()), "kept\n");
    EXPECT_EQ(slurp(second), "leftover\n");
    EXPECT_TRUE(std::filesystem::is_symlink(first));
    EXPECT_EQ(slurp(third), "x");
    struct stat st;
    ASSERT_EQ(::stat(third.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    std::filesystem::remove(victim);
}

namespace {
// Closes creation, lets a thread try to create a temporary beside stem, and ends the
// process: 0 when the thread is still inside and the folder empty.
void create_after_closing(const std::string& stem, const std::filesystem::path& dir) {
    close_temporaries();
    std::thread late([stem] {
        std::string name;
        std::uint64_t draw = 8;
        create_temporary(stem, ".part", name, draw);
        std::_Exit(3);  // it returned
    });
    late.detach();
    const timespec wait = {0, 300000000};
    nanosleep(&wait, nullptr);
    std::_Exit(names_in(dir).empty() ? 0 : 4);
}
}  // namespace

// A stop closes the creation of temporaries before it reads the folder to remove
// them: a thread that comes to create one afterwards creates nothing and never
// returns, and the signal mask of a thread that created one is given back. In a child
// process, since closing lasts for the rest of the process.
TEST_F(SaveOne, NoTemporaryIsCreatedOnceCreationIsClosed) {
    const std::string stem = (dir / "c_0.bb").string();
    sigset_t before, after;
    pthread_sigmask(SIG_SETMASK, nullptr, &before);
    std::string name;
    std::uint64_t draw = 7;
    const int fd = create_temporary(stem, ".part", name, draw);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    ::close(fd);
    pthread_sigmask(SIG_SETMASK, nullptr, &after);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP})
        EXPECT_EQ(sigismember(&before, sig), sigismember(&after, sig)) << sig;
    std::filesystem::remove(name);
    EXPECT_EXIT(create_after_closing(stem, dir), ::testing::ExitedWithCode(0), "");
}

TEST(Summary, PathThenChangeWithThreeDecimals) {
    EXPECT_EQ(captured([](std::FILE* f) { print_summary(f, "runs/a.setup_12.bb", -0.01234); }),
              "runs/a.setup_12.bb dl = -0.012\n");
    EXPECT_EQ(captured([](std::FILE* f) { print_summary(f, "x", 0.0); }), "x dl = 0.000\n");
}
