// Cost of one evaluation of the equations of motion against the transcendental
// functions it cannot avoid, and the cost of a whole orbit.
//
//   ./orbbench --benchmark_min_time=0.2
//
// Eqn/<patterns>/<taper> and Transcendentals/<patterns>/<taper> take the same
// arguments: the ratio of their times is what eqn spends beyond its sqrt, atan2 and
// pow (background), one log shared by the patterns, and per pattern sin and cos
// (and one exp inside a taper).
//
// Step/<h> times one extrapolation step (accepted at once, or rejected and halved)
// and Orbit a whole orbit; their counters give the right-hand-side evaluations per
// step and per orbit, so that a change that adds work shows up.
#include <benchmark/benchmark.h>

#include <cmath>

#include "galaxy.h"
#include "integrator.h"
#include "params.h"
#include "state.h"

namespace {

constexpr double star_x = 1.6, star_y = 1.2;  // r = 2
constexpr double star_t = 3.0;

// Up to three two-armed spirals; flat over r = 2, or with r = 2 inside the inner taper.
params model(int npatterns, bool taper) {
    params p;
    p.gamma_ = 0;
    p.n_particles = 1;
    p.number_equations = 6;
    p.npatterns = npatterns;
    for (int k = 0; k < max_patterns; ++k) {
        p.mm[k] = 2;
        p.epsilon[k] = 0.01;
        p.alpha[k] = -8;
        p.Omegas[k] = 0.5 - 0.1 * k;
        p.phi0[k] = 0.7 * k;
        p.starttime[k] = 0;
        p.growtime[k] = 0;
        p.smin[k] = taper ? 3.0 : 0.5;
        p.smax[k] = taper ? 6.0 : 5.0;
        p.wmin[k] = 1;
        p.wmax[k] = 1;
    }
    return p;
}

orbit_state star() {
    orbit_state s;
    s.t = star_t;
    s.w[0] = star_x;
    s.w[1] = star_y;
    s.w[3] = -0.5;
    s.w[4] = 0.8;
    return s;
}

void Eqn(benchmark::State& state) {
    const params p = model(int(state.range(0)), state.range(1) != 0);
    orbit_state s = star();
    orbit_state d;
    for (auto _ : state) {
        benchmark::DoNotOptimize(s);
        eqn(p, s, d);
        benchmark::DoNotOptimize(d);
    }
}

// The same library calls eqn makes, on the same arguments, with nothing around them.
// The taper is a compile-time choice: a run-time branch around the two exp calls made
// this loop two to three times slower than the calls themselves on GCC 12.
template <bool taper>
void Transcendentals(benchmark::State& state) {
    const params p = model(int(state.range(0)), taper);
    const int np = p.npatterns;
    double x = star_x, y = star_y, base = 2.0 + 1e-15, expo = -1.0, r = 2.0, g = -0.5;
    double chi[max_patterns];
    const double phi = std::atan2(star_y, star_x);
    for (int k = 0; k < np; ++k)
        chi[k] = p.mm[k] * ((phi - p.phi0[k]) - p.Omegas[k] * star_t) + p.alpha[k] * std::log(2.0);
    for (auto _ : state) {
        benchmark::DoNotOptimize(x);
        benchmark::DoNotOptimize(y);
        benchmark::DoNotOptimize(base);
        benchmark::DoNotOptimize(expo);
        benchmark::DoNotOptimize(r);
        benchmark::DoNotOptimize(g);
        benchmark::DoNotOptimize(chi);
        benchmark::DoNotOptimize(std::sqrt(y * y + x * x));
        benchmark::DoNotOptimize(std::atan2(y, x));
        benchmark::DoNotOptimize(std::pow(base, expo));
        if (np > 0) benchmark::DoNotOptimize(std::log(r));  // ln r serves every pattern
        for (int k = 0; k < np; ++k) {
            const double c = chi[k];
            benchmark::DoNotOptimize(std::sin(c));
            benchmark::DoNotOptimize(std::cos(c));
            if constexpr (taper) benchmark::DoNotOptimize(std::exp(g));  // envelope and slope share it
        }
    }
}

// One extrapolation step of the benchmark star from its start, at a step accepted
// at once (0.3) and at one that is rejected and halved (3.0): the cost of the step
// itself, with its right-hand-side evaluations per step as a counter.
void Step(benchmark::State& state) {
    params p = model(2, false);
    p.smin[1] = 1.0;
    p.smax[1] = 1.5;
    orbit_state s0;
    s0.w[0] = 2.0;
    s0.w[3] = 0.05;
    s0.w[4] = vc_0(p, 2.0);
    const double h0 = double(state.range(0)) / 10;
    long evaluations = 0, steps = 0;
    for (auto _ : state) {
        orbit_state s = s0;
        double h = h0;
        if (!integrate(p, s, h, evaluations)) state.SkipWithError("the step failed");
        ++steps;
        benchmark::DoNotOptimize(s);
    }
    state.counters["evals/step"] = double(evaluations) / double(steps);
}

// 100 circular periods (4 pi each at r = 2 in the flat disc) of a mildly eccentric
// star under two fully grown spirals, as a survey program integrates a star.
void Orbit(benchmark::State& state) {
    params p = model(2, false);
    p.smin[1] = 1.0;
    p.smax[1] = 1.5;  // the second spiral reaches the star through its outer taper
    orbit_state s0;
    s0.w[0] = 2.0;
    s0.w[3] = 0.05;
    s0.w[4] = vc_0(p, 2.0);
    const double target = 100 * (twopi * 2.0 / vc_0(p, 2.0));
    long evaluations = 0, orbits = 0;
    for (auto _ : state) {
        orbit_state s = s0;
        const bool ok = taketstep(p, s, target, evaluations);
        if (!ok) state.SkipWithError("the integration failed");
        orbits += 100;
        benchmark::DoNotOptimize(s);
    }
    // per circular period of this star (4 pi time units)
    state.counters["evals/orbit"] = double(evaluations) / double(orbits);
}

}  // namespace

BENCHMARK(Eqn)->ArgsProduct({{0, 1, 2, 3}, {0, 1}})->ArgNames({"patterns", "taper"});
BENCHMARK(Transcendentals<false>)->ArgsProduct({{0, 1, 2, 3}, {0}})->ArgNames({"patterns", "taper"});
BENCHMARK(Transcendentals<true>)->ArgsProduct({{0, 1, 2, 3}, {1}})->ArgNames({"patterns", "taper"});
BENCHMARK(Step)->Arg(3)->Arg(30)->ArgName("h_tenths")->Unit(benchmark::kMicrosecond);
BENCHMARK(Orbit)->Unit(benchmark::kMillisecond);
