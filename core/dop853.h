// the eighth-order Runge-Kutta method's constants, one orbit's integration, its step-size
// decision and its seventh-order dense output; the method itself is the lane engine of
// fastmode.h, whose one-lane instance is the one-star case
#pragma once

#include <cmath>

#include "dop853_coef.h"

inline constexpr int dop853_values = 4;               // equations: x, y, vx, vy of one body
inline constexpr double dop853_default_tol = 1e-13;  // relative and absolute error per step
inline constexpr double dop853_min_tol = 1e-16;  // below it the rounding of values near 1 exceeds it
inline constexpr double dop853_safety = 0.9;        // the new step aims a little below the estimate
inline constexpr double dop853_max_shrink = 1.0 / 0.333;  // a step shrinks at most 3x at a time
inline constexpr double dop853_max_grow = 1.0 / 6.0;      // and grows at most 6x (as 1/factor)
inline constexpr double dop853_roundoff = 2.3e-16;    // a step below 10x this relative to t is noise

// One orbit under integration: the state at the end of the last accepted step, its
// derivative (the first stage of the next step), the step to try next, and the
// continuous extension of the last accepted step when one was asked for. Plain data:
// one per orbit, on the stack or in the caller's array; the steps allocate nothing.
struct dop853_run {
    double rtol = 0, atol = 0;
    double t = 0;              // time of y
    double h = 0;              // step to try next; its sign is the direction of integration
    double y[dop853_values] = {};
    double f[dop853_values] = {};
    bool rejected = false;     // the last attempt was rejected: the next step may not grow
    double t_old = 0, h_old = 0;  // the last accepted step went from t_old to t_old + h_old
    bool dense = false;           // rc holds its continuous extension
    double rc[8][dop853_values] = {};
    long evaluations = 0, steps = 0, rejections = 0;
};

enum class dop853_outcome { accepted, rejected, failed };

// The step-size decision of a step of size h with error norm err, whose eighth root
// fac11 the caller takes (the fast mode with its own pow). On rejection (err > 1, or NaN,
// which shrinks the step as far as allowed) sets r.h to the step to retry and returns
// false; on acceptance sets hnew to the next step, which never grows right after a
// rejection, and returns true.
inline bool dop853_decide(dop853_run& r, double h, double err, double fac11, double& hnew) {
    if (!(err <= 1)) {
        const double shrink = fac11 / dop853_safety < dop853_max_shrink ? fac11 / dop853_safety
                                                                          : dop853_max_shrink;
        r.h = std::isnan(err) ? h / dop853_max_shrink : h / shrink;
        r.rejected = true;
        ++r.rejections;
        return false;
    }
    double fac = fac11 / dop853_safety;
    if (fac > dop853_max_shrink) fac = dop853_max_shrink;
    if (fac < dop853_max_grow) fac = dop853_max_grow;
    hnew = h / fac;
    if (r.rejected && std::fabs(hnew) > std::fabs(h)) hnew = h;
    r.rejected = false;
    return true;
}

// Scale of the error of a value: the tolerances against the larger of old and new values.
inline double dop853_scale(const dop853_run& r, double a, double b) {
    const double m = std::fabs(a) > std::fabs(b) ? std::fabs(a) : std::fabs(b);
    return r.atol + r.rtol * m;
}

// The continuous extension of the last accepted step at time t inside it (requires r.dense).
inline void dop853_dense(const dop853_run& r, double t, double* out) {
    const double s = (t - r.t_old) / r.h_old;
    const double s1 = 1 - s;
    for (int i = 0; i < dop853_values; ++i) {
        const double conpar = r.rc[4][i] + s * (r.rc[5][i] + s1 * (r.rc[6][i] + s * r.rc[7][i]));
        out[i] = r.rc[0][i] + s * (r.rc[1][i] + s1 * (r.rc[2][i] + s * (r.rc[3][i] + s1 * conpar)));
    }
}
