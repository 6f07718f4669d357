// The fast mode's lanes: a star gets the same bits alone or beside others, on every
// vector path, with one output time or many, whatever its neighbours' models.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "spread.h"
#include "survey.h"
#include "fastmode.h"
#include "fixtures.h"

namespace {

bool same_bits(const orbit_state& a, const orbit_state& b) {
    return std::memcmp(&a.t, &b.t, sizeof a.t) == 0 && std::memcmp(a.w, b.w, sizeof a.w) == 0;
}

// The stars of an example survey (each with its twin): initial states and models.
struct drawn {
    std::vector<orbit_state> start;
    std::vector<params> model;
};
drawn example_stars(const char* name, int most) {
    drawn d;
    params p;
    rand48 g;
    if (!read_example(name, p, g)) return d;
    for (int i = 0; i < p.nstars && i < most; ++i) {
        survey_star s;
        draw_star(p, g, s);
        for (int b = 0; b < 2; ++b) {
            d.start.push_back(s.init[b]);
            d.model.push_back(s.model);
        }
    }
    return d;
}

// Follows every star of d through `times` in lanes on path; returns each star's state
// at each output time (NaN time where it failed).
std::vector<orbit_state> in_lanes(const drawn& d, const std::vector<double>& times, lane_path path, double tol) {
    const long n = long(d.start.size());
    std::vector<orbit_state> s(d.start), out(n * times.size());
    std::vector<follower> runs(n);
    struct source final : lane_source {
        const drawn* d;
        std::vector<orbit_state>* s;
        std::vector<orbit_state>* out;
        std::vector<follower>* runs;
        const std::vector<double>* times;
        double tol;
        long next_star = 0;
        bool next(lane_task& t) override {
            if (next_star == long(d->start.size())) return false;
            const long i = next_star++;
            (*runs)[i].how = {method::dop853, tol};
            t = lane_task{&d->model[i], &(*runs)[i], &(*s)[i], times->data(), long(times->size()), nullptr, i};
            return true;
        }
        void reached(const lane_task& t, long k, bool ok) override {
            orbit_state& o = (*out)[t.id * times->size() + k];
            o = *t.s;
            if (!ok) o.t = NAN;
        }
    } src;
    src.d = &d;
    src.s = &s;
    src.out = &out;
    src.runs = &runs;
    src.times = &times;
    src.tol = tol;
    follow_lanes(src, path);
    return out;
}

// The same star by star, through the one-star interface.
std::vector<orbit_state> alone(const drawn& d, const std::vector<double>& times, double tol) {
    std::vector<orbit_state> out;
    for (std::size_t i = 0; i < d.start.size(); ++i) {
        orbit_state s = d.start[i];
        follower f;
        f.how = {method::dop853, tol};
        bool ok = true;
        for (double t : times) {
            if (ok) ok = advance(d.model[i], f, s, t);
            out.push_back(s);
            if (!ok) out.back().t = NAN;
        }
    }
    return out;
}

void expect_same(const std::vector<orbit_state>& a, const std::vector<orbit_state>& b, const std::string& what) {
    ASSERT_EQ(a.size(), b.size()) << what;
    for (std::size_t i = 0; i < a.size(); ++i)
        ASSERT_TRUE(same_bits(a[i], b[i]) || (std::isnan(a[i].t) && std::isnan(b[i].t)))
            << what << ": entry " << i << " x " << a[i].w[0] << " vs " << b[i].w[0];
}

std::vector<lane_path> paths_here() {
    std::vector<lane_path> p = {lane_path::scalar};
    if (lane_width(best_lane_path()) >= 2) p.push_back(lane_path::sse2);
    if (lane_width(best_lane_path()) >= 4) p.push_back(lane_path::avx2);
    if (lane_width(best_lane_path()) >= 8) p.push_back(lane_path::avx512);
    return p;
}

}  // namespace

// Stars of unequal cost, with the phases drawn per star (randp0), patterns that grow
// and taper (transient), twins: each lane's star ends where it ends alone.
TEST(FastLanes, AStarEndsOnTheSameBitsAloneOrBesideOthersOnEveryPath) {
    for (const char* name : {"migrate", "transient", "twin"}) {
        const drawn d = example_stars(name, 9);
        ASSERT_FALSE(d.start.empty()) << name;
        const std::vector<double> end = {4 * twopi};
        const std::vector<orbit_state> one = alone(d, end, 1e-13);
        for (lane_path p : paths_here())
            expect_same(in_lanes(d, end, p, 1e-13), one, std::string(name) + " on " + lane_path_name(p));
    }
}

// Many output times per star (as an orbit file or the module's integrate asks): the
// lanes hand each out as successive one-star calls would, backwards times included.
TEST(FastLanes, OutputTimesInLanesAreThoseOfSuccessiveCalls) {
    const drawn d = example_stars("transient", 5);
    std::vector<double> times;
    for (int k = 1; k <= 12; ++k) times.push_back(0.7 * k);
    times.push_back(3.0);  // behind: a new integration backwards
    times.push_back(3.0);  // the same time again: nothing to do
    times.push_back(9.5);
    const std::vector<orbit_state> one = alone(d, times, 1e-12);
    for (lane_path p : paths_here())
        expect_same(in_lanes(d, times, p, 1e-12), one, std::string("transient on ") + lane_path_name(p));
}

// Neighbours with other models: a different number of patterns, a fractional arm count
// (the angle from atan2), a rotation curve that is not flat (the power of the radius).
TEST(FastLanes, NeighboursWithOtherModelsChangeNoBit) {
    drawn d;
    params a = one_spiral(), b = one_spiral(1.0), c = one_spiral(), e = one_spiral();
    b.npatterns = 2;
    b.mm[1] = 3;
    b.epsilon[1] = 0.004;
    b.alpha[1] = 5;
    b.Omegas[1] = 0.3;
    b.growtime[1] = 2.0;
    b.smin[1] = 1.2;
    b.smax[1] = 1.4;
    b.wmin[1] = 0.2;
    b.wmax[1] = 0.3;
    c.mm[0] = 2.5;
    e.gamma_ = -0.1;
    e.npatterns = 0;
    for (const params* m : {&a, &b, &c, &e, &b, &a}) {
        d.model.push_back(*m);
        d.start.push_back(planar_star(1.1 + 0.05 * double(d.start.size()), 0.2, -0.05, 0.95));
    }
    const std::vector<double> times = {1.0, 2.5, 6.0, 12.0};
    const std::vector<orbit_state> one = alone(d, times, 1e-13);
    for (lane_path p : paths_here())
        expect_same(in_lanes(d, times, p, 1e-13), one, std::string("mixed models on ") + lane_path_name(p));
}

// A star that fails (at the centre) fails alone and beside others alike, and frees
// its lane for the next star.
TEST(FastLanes, AFailingStarFailsInItsLaneAlone) {
    drawn d = example_stars("migrate", 3);
    d.model.insert(d.model.begin() + 1, d.model[0]);
    d.start.insert(d.start.begin() + 1, planar_star(0, 0, 0, 0));  // at the centre: no force
    const std::vector<double> end = {2 * twopi};
    const std::vector<orbit_state> one = alone(d, end, 1e-13);
    ASSERT_TRUE(std::isnan(one[1].t));
    for (lane_path p : paths_here())
        expect_same(in_lanes(d, end, p, 1e-13), one, std::string("with a failure on ") + lane_path_name(p));
}

// A transient set in orbits: the wave's growth ends at (18.408450569081047 + 2) 2 pi and
// its copy starts at 18.408450569081047 2 pi + 2 2 pi, which differ by a rounding (2.8e-14
// at t = 128). A step from one switch to the other would not move the time: the lanes
// step over the sliver (they failed every star there) and end where each star ends alone.
TEST(FastLanes, TwoSwitchesARoundingApartDoNotStopTheStars) {
    params p = one_spiral();
    p.npatterns = 2;
    p.starttime[0] = 18.408450569081047 * twopi;
    p.growtime[0] = 2.0 * twopi;
    p.starttime[1] = (18.408450569081047 + 2.0) * twopi;
    p.growtime[1] = 2.0 * twopi;
    for (double* field : {p.mm, p.alpha, p.Omegas, p.phi0, p.smin, p.smax, p.wmin, p.wmax}) field[1] = field[0];
    p.epsilon[1] = -p.epsilon[0];
    const double sliver = p.starttime[1] - (p.starttime[0] + p.growtime[0]);
    ASSERT_TRUE(sliver > 0 && sliver < 1e-13) << sliver;
    drawn d;
    for (int i = 0; i < 3; ++i) {
        d.start.push_back(planar_star(1.5 + 0.3 * i, 0.2, -0.05, 1.0));
        d.start.back().t = 17.0 * twopi;
        d.model.push_back(p);
    }
    const std::vector<double> end = {23.0 * twopi};
    const std::vector<orbit_state> one = alone(d, end, 1e-13);
    for (const orbit_state& s : one) ASSERT_EQ(s.t, end[0]);
    for (lane_path path : paths_here())
        expect_same(in_lanes(d, end, path, 1e-13), one, std::string("two switches on ") + lane_path_name(path));
}

// ORBKIT_SIMD forces a path no wider than the processor's widest; anything else, or
// nothing, leaves the widest.
TEST(FastLanes, TheEnvironmentSwitchPicksThePath) {
    const lane_path best = best_lane_path();
    const char* before = std::getenv("ORBKIT_SIMD");
    const std::string kept = before ? before : "";
    const auto with = [](const char* v) {
        if (v) setenv("ORBKIT_SIMD", v, 1);
        else unsetenv("ORBKIT_SIMD");
        return chosen_lane_path();
    };
    EXPECT_EQ(with(nullptr), best);
    EXPECT_EQ(with(""), best);
    EXPECT_EQ(with("scalar"), lane_path::scalar);
    EXPECT_EQ(with("sse2"), lane_width(best) >= 2 ? lane_path::sse2 : best);
    EXPECT_EQ(with("avx2"), lane_width(best) >= 4 ? lane_path::avx2 : best);
    EXPECT_EQ(with("avx512"), best);
    EXPECT_EQ(with("avx1024"), best);
    EXPECT_EQ(kernels_of(lane_path::scalar).width, 1);
    EXPECT_EQ(kernels_of(best).width, lane_width(best));
    if (before) setenv("ORBKIT_SIMD", kept.c_str(), 1);
    else unsetenv("ORBKIT_SIMD");
}
