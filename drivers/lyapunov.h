// finite-time Lyapunov exponents: a star and a shadow orbit, renormalised at fixed intervals
#pragma once

#include <atomic>
#include <cmath>

#include "follow.h"
#include "params.h"
#include "state.h"

// Benettin's method. The shadow starts d0 away from the star in phase space
// (x, y, vx, vy, with lengths and speeds in model units, Euclidean distance), along
// (1, 1, 1, 1)/2. At the end of every interval tau the distance d_k is measured and
// the shadow is pulled back along the separation to distance d0. The finite-time
// exponent after k intervals is
//   lambda_k = sum_{j <= k} ln(d_j / d0) / (t_k - t0),
// in inverse model time units (x 2 pi: per orbit at r = 1). For a regular orbit the
// separation grows as a power of t and lambda_k falls as ln t / t; for a chaotic one
// it tends to the largest Lyapunov exponent. While d stays small against the orbit's
// scale the result depends neither on d0 nor on tau.
//
// Star and shadow must be compared at the same time and with errors that cancel in
// their difference. The extrapolation integrator stops within its tolerance of a
// target, so with it both are followed together as one system of two bodies (same
// steps, same times). The eighth-order method lands on every target exactly: star and
// shadow are followed apart, each started afresh from every renormalisation, so that
// they take the same steps but for the rounding of d0 (and can share the vector lanes).
inline constexpr double lyapunov_default_d0 = 1e-9;

struct lyapunov_run {
    integrator how;                   // either method; the same for star and shadow
    double d0 = lyapunov_default_d0;  // phase-space distance of the shadow after every renormalisation
    double tau = 0;                   // renormalisation interval, model time units
    int intervals = 0;                // renormalisations; an exponent after each
    double t0 = 0;                    // time of the initial state
    double tend = NAN;                // end of the last interval when given (the run's end, which
                                      // t0 + intervals * tau may miss by a rounding), else t0 + intervals * tau
};

// One star: lambda[0 .. intervals) receives lambda_1 .. lambda_K. Returns the number
// of intervals completed; after a failed or stopped integration the rest of lambda
// is NaN. A separation that is not a positive finite number (the shadow lost in the
// star's rounding, or an orbit gone to infinity) ends the run the same way.
int lyapunov(const params& p, const orbit_state& star, const lyapunov_run& run, double* lambda,
             const std::atomic<bool>* stop = nullptr);

// n stars on nthreads threads (0: all), the same numbers as lyapunov() star by star:
// star i from stars[i] (its t is ignored: run.t0), with the pattern phases
// phases[i * npatterns ...] when phases is not null (radians), its exponents in
// lambda[i * intervals ...] and its completed intervals in done[i]. With the
// eighth-order method the stars and shadows of a batch, interval by interval, share
// the vector lanes of the fast mode. completed, when not null, counts the stars done
// (a progress bar reads it while the run goes on).
void lyapunov_stars(const params& p, long n, const orbit_state* stars, const double* phases,
                    const lyapunov_run& run, double* lambda, int* done, int nthreads,
                    const std::atomic<bool>* stop = nullptr, std::atomic<long>* completed = nullptr);
