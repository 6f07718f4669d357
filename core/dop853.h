// eighth-order Runge-Kutta step with step-size control and seventh-order dense output
#pragma once

#include <atomic>
#include <cmath>

#include "dop853_coef.h"

inline constexpr int dop853_capacity = 12;          // equations: x, y, vx, vy of up to three bodies
inline constexpr double dop853_default_tol = 1e-13;  // relative and absolute error per step
inline constexpr double dop853_min_tol = 1e-16;  // below it the rounding of values near 1 exceeds it
inline constexpr double dop853_safety = 0.9;        // the new step aims a little below the estimate
inline constexpr double dop853_max_shrink = 1.0 / 0.333;  // a step shrinks at most 3x at a time
inline constexpr double dop853_max_grow = 1.0 / 6.0;      // and grows at most 6x (as 1/factor)
inline constexpr double dop853_order = 8;             // the error of a step falls as h^8
inline constexpr double dop853_roundoff = 2.3e-16;    // a step below 10x this relative to t is noise

// One orbit under integration: the state at the end of the last accepted step, its
// derivative (the first stage of the next step), the step to try next, and the
// continuous extension of the last accepted step when one was asked for. Plain data:
// one per orbit, on the stack or in the caller's array; the steps allocate nothing.
struct dop853_run {
    int n = 0;                 // number of equations
    double rtol = 0, atol = 0;
    double t = 0;              // time of y
    double h = 0;              // step to try next; its sign is the direction of integration
    double y[dop853_capacity] = {};
    double f[dop853_capacity] = {};
    bool rejected = false;     // the last attempt was rejected: the next step may not grow
    double t_old = 0, h_old = 0;  // the last accepted step went from t_old to t_old + h_old
    bool dense = false;           // rc holds its continuous extension
    double rc[8][dop853_capacity] = {};
    long evaluations = 0, steps = 0, rejections = 0;
};

// Scale of the error of value i: the tolerances against the larger of old and new values.
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

inline double dop853_scale(const dop853_run& r, double a, double b) {
    const double m = std::fabs(a) > std::fabs(b) ? std::fabs(a) : std::fabs(b);
    return r.atol + r.rtol * m;
}

// Starts an integration of n equations rhs(t, y, f) at (t0, y0) in the direction of
// `dir` (+1 or -1), with the starting step chosen from the first two derivatives
// (book, section II.4) so that a step's error is near the tolerance.
template <class Rhs>
void dop853_start(Rhs&& rhs, dop853_run& r, int n, double t0, const double* y0, double rtol,
                  double atol, double dir) {
    r = dop853_run{};
    r.n = n;
    r.rtol = rtol;
    r.atol = atol;
    r.t = t0;
    for (int i = 0; i < n; ++i) r.y[i] = y0[i];
    rhs(r.t, r.y, r.f);
    double dnf = 0, dny = 0;
    for (int i = 0; i < n; ++i) {
        const double sk = dop853_scale(r, r.y[i], 0);
        dnf += (r.f[i] / sk) * (r.f[i] / sk);
        dny += (r.y[i] / sk) * (r.y[i] / sk);
    }
    double h = (dnf <= 1e-10 || dny <= 1e-10) ? 1e-6 : std::sqrt(dny / dnf) * 0.01;
    double y1[dop853_capacity], f1[dop853_capacity];
    for (int i = 0; i < n; ++i) y1[i] = r.y[i] + (dir * h) * r.f[i];
    rhs(r.t + dir * h, y1, f1);
    double der2 = 0;
    for (int i = 0; i < n; ++i) {
        const double sk = dop853_scale(r, r.y[i], 0);
        der2 += ((f1[i] - r.f[i]) / sk) * ((f1[i] - r.f[i]) / sk);
    }
    der2 = std::sqrt(der2) / h;
    const double der12 = std::fmax(std::fabs(der2), std::sqrt(dnf));
    const double h1 = der12 <= 1e-15 ? std::fmax(1e-6, h * 1e-3) : std::pow(0.01 / der12, 1.0 / dop853_order);
    r.h = dir * std::fmin(100 * h, h1);
    r.evaluations = 2;
}

enum class dop853_outcome { accepted, rejected, failed };

// One attempt at the step r.h from r.t. Accepted: r advances to the end of the step
// and, when `dense` is set, r.rc holds the continuous extension over it (three more
// evaluations). Rejected: r keeps its state with a smaller r.h. Failed: the step no
// longer moves the time (a singular or non-finite right-hand side). A step shortened
// to end on a given time passes that time as t_end, so that it ends there exactly
// (r.t + r.h may differ from it in the last bit).
template <class Rhs>
dop853_outcome dop853_attempt(Rhs&& rhs, dop853_run& r, bool dense, double t_end = NAN) {
    using namespace dop853_coef;
    const int n = r.n;
    const double h = r.h;
    const double t = r.t;
    if (!(0.1 * std::fabs(h) > std::fabs(t) * dop853_roundoff)) return dop853_outcome::failed;
    const double* y = r.y;
    const double* k1 = r.f;
    double k2[dop853_capacity], k3[dop853_capacity], k4[dop853_capacity], k5[dop853_capacity],
        k6[dop853_capacity], k7[dop853_capacity], k8[dop853_capacity], k9[dop853_capacity],
        k10[dop853_capacity], k11[dop853_capacity], k12[dop853_capacity], k13[dop853_capacity],
        y1[dop853_capacity], ynew[dop853_capacity];
    for (int i = 0; i < n; ++i) y1[i] = y[i] + h * a21 * k1[i];
    rhs(t + c2 * h, y1, k2);
    for (int i = 0; i < n; ++i) y1[i] = y[i] + h * (a31 * k1[i] + a32 * k2[i]);
    rhs(t + c3 * h, y1, k3);
    for (int i = 0; i < n; ++i) y1[i] = y[i] + h * (a41 * k1[i] + a43 * k3[i]);
    rhs(t + c4 * h, y1, k4);
    for (int i = 0; i < n; ++i) y1[i] = y[i] + h * (a51 * k1[i] + a53 * k3[i] + a54 * k4[i]);
    rhs(t + c5 * h, y1, k5);
    for (int i = 0; i < n; ++i) y1[i] = y[i] + h * (a61 * k1[i] + a64 * k4[i] + a65 * k5[i]);
    rhs(t + c6 * h, y1, k6);
    for (int i = 0; i < n; ++i)
        y1[i] = y[i] + h * (a71 * k1[i] + a74 * k4[i] + a75 * k5[i] + a76 * k6[i]);
    rhs(t + c7 * h, y1, k7);
    for (int i = 0; i < n; ++i)
        y1[i] = y[i] + h * (a81 * k1[i] + a84 * k4[i] + a85 * k5[i] + a86 * k6[i] + a87 * k7[i]);
    rhs(t + c8 * h, y1, k8);
    for (int i = 0; i < n; ++i)
        y1[i] = y[i] + h * (a91 * k1[i] + a94 * k4[i] + a95 * k5[i] + a96 * k6[i] + a97 * k7[i] +
                            a98 * k8[i]);
    rhs(t + c9 * h, y1, k9);
    for (int i = 0; i < n; ++i)
        y1[i] = y[i] + h * (a101 * k1[i] + a104 * k4[i] + a105 * k5[i] + a106 * k6[i] +
                            a107 * k7[i] + a108 * k8[i] + a109 * k9[i]);
    rhs(t + c10 * h, y1, k10);
    for (int i = 0; i < n; ++i)
        y1[i] = y[i] + h * (a111 * k1[i] + a114 * k4[i] + a115 * k5[i] + a116 * k6[i] +
                            a117 * k7[i] + a118 * k8[i] + a119 * k9[i] + a1110 * k10[i]);
    rhs(t + c11 * h, y1, k11);
    const double tph = std::isnan(t_end) ? t + h : t_end;
    // A step that ends on a switch of the force sees its end from inside: the stages at
    // the end of the step take the time one unit in the last place short of it, which
    // gives the one-sided limit where the force jumps and changes nothing where it is
    // only not smooth.
    const double tend_inside = std::isnan(t_end) ? tph : std::nextafter(tph, t);
    for (int i = 0; i < n; ++i)
        y1[i] = y[i] + h * (a121 * k1[i] + a124 * k4[i] + a125 * k5[i] + a126 * k6[i] +
                            a127 * k7[i] + a128 * k8[i] + a129 * k9[i] + a1210 * k10[i] +
                            a1211 * k11[i]);
    rhs(tend_inside, y1, k12);
    r.evaluations += 11;

    // Eighth-order solution, and its error as the fifth-order estimate damped by the
    // third-order one where they disagree (book, section II.10): err5^2 / sqrt(err5^2 + 0.01 err3^2).
    double err = 0, err2 = 0;
    double incr[dop853_capacity];
    for (int i = 0; i < n; ++i) {
        incr[i] = b1 * k1[i] + b6 * k6[i] + b7 * k7[i] + b8 * k8[i] + b9 * k9[i] + b10 * k10[i] +
                  b11 * k11[i] + b12 * k12[i];
        ynew[i] = y[i] + h * incr[i];
        const double sk = dop853_scale(r, y[i], ynew[i]);
        const double e3 = incr[i] - bhh1 * k1[i] - bhh2 * k9[i] - bhh3 * k12[i];
        err2 += (e3 / sk) * (e3 / sk);
        const double e5 = er1 * k1[i] + er6 * k6[i] + er7 * k7[i] + er8 * k8[i] + er9 * k9[i] +
                          er10 * k10[i] + er11 * k11[i] + er12 * k12[i];
        err += (e5 / sk) * (e5 / sk);
    }
    double deno = err + 0.01 * err2;
    if (deno <= 0) deno = 1;
    err = std::fabs(h) * err * std::sqrt(1 / (n * deno));

    double hnew;
    if (!dop853_decide(r, h, err, std::pow(err, 1 / dop853_order), hnew)) return dop853_outcome::rejected;

    rhs(tend_inside, ynew, k13);
    r.evaluations += 1;
    ++r.steps;
    r.dense = dense;
    if (dense) {
        // continuous extension of order 7 over the step; stages 14..16 only for it
        double k14[dop853_capacity], k15[dop853_capacity], k16[dop853_capacity];
        for (int i = 0; i < n; ++i)
            y1[i] = y[i] + h * (a141 * k1[i] + a147 * k7[i] + a148 * k8[i] + a149 * k9[i] +
                                a1410 * k10[i] + a1411 * k11[i] + a1412 * k12[i] + a1413 * k13[i]);
        rhs(t + c14 * h, y1, k14);
        for (int i = 0; i < n; ++i)
            y1[i] = y[i] + h * (a151 * k1[i] + a156 * k6[i] + a157 * k7[i] + a158 * k8[i] +
                                a1511 * k11[i] + a1512 * k12[i] + a1513 * k13[i] + a1514 * k14[i]);
        rhs(t + c15 * h, y1, k15);
        for (int i = 0; i < n; ++i)
            y1[i] = y[i] + h * (a161 * k1[i] + a166 * k6[i] + a167 * k7[i] + a168 * k8[i] +
                                a169 * k9[i] + a1613 * k13[i] + a1614 * k14[i] + a1615 * k15[i]);
        rhs(t + c16 * h, y1, k16);
        r.evaluations += 3;
        for (int i = 0; i < n; ++i) {
            const double ydiff = ynew[i] - y[i];
            const double bspl = h * k1[i] - ydiff;
            r.rc[0][i] = y[i];
            r.rc[1][i] = ydiff;
            r.rc[2][i] = bspl;
            r.rc[3][i] = ydiff - h * k13[i] - bspl;
            r.rc[4][i] = h * (d41 * k1[i] + d46 * k6[i] + d47 * k7[i] + d48 * k8[i] + d49 * k9[i] +
                              d410 * k10[i] + d411 * k11[i] + d412 * k12[i] + d413 * k13[i] +
                              d414 * k14[i] + d415 * k15[i] + d416 * k16[i]);
            r.rc[5][i] = h * (d51 * k1[i] + d56 * k6[i] + d57 * k7[i] + d58 * k8[i] + d59 * k9[i] +
                              d510 * k10[i] + d511 * k11[i] + d512 * k12[i] + d513 * k13[i] +
                              d514 * k14[i] + d515 * k15[i] + d516 * k16[i]);
            r.rc[6][i] = h * (d61 * k1[i] + d66 * k6[i] + d67 * k7[i] + d68 * k8[i] + d69 * k9[i] +
                              d610 * k10[i] + d611 * k11[i] + d612 * k12[i] + d613 * k13[i] +
                              d614 * k14[i] + d615 * k15[i] + d616 * k16[i]);
            r.rc[7][i] = h * (d71 * k1[i] + d76 * k6[i] + d77 * k7[i] + d78 * k8[i] + d79 * k9[i] +
                              d710 * k10[i] + d711 * k11[i] + d712 * k12[i] + d713 * k13[i] +
                              d714 * k14[i] + d715 * k15[i] + d716 * k16[i]);
        }
    }
    r.t_old = t;
    r.h_old = h;
    r.t = tph;
    for (int i = 0; i < n; ++i) {
        r.y[i] = ynew[i];
        r.f[i] = k13[i];
    }
    if (tend_inside != tph) {  // the next step starts on the other side of the switch
        rhs(tph, r.y, r.f);
        r.evaluations += 1;
    }
    r.h = hnew;
    return dop853_outcome::accepted;
}

// The continuous extension of the last accepted step at time t inside it (requires r.dense).
inline void dop853_dense(const dop853_run& r, double t, double* out) {
    const double s = (t - r.t_old) / r.h_old;
    const double s1 = 1 - s;
    for (int i = 0; i < r.n; ++i) {
        const double conpar = r.rc[4][i] + s * (r.rc[5][i] + s1 * (r.rc[6][i] + s * r.rc[7][i]));
        out[i] = r.rc[0][i] + s * (r.rc[1][i] + s1 * (r.rc[2][i] + s * (r.rc[3][i] + s1 * conpar)));
    }
}

// Advances r until its last step reaches `target` (in the direction of r.h) and writes
// the state at target to out, through the continuous extension when the step passed
// it: output times never shorten a step. No step crosses `barrier` (a time at which
// the right-hand side is not smooth, at or beyond target): the step that would is
// shortened to end on it, since the method's order and its error estimate both assume
// a smooth right-hand side within the step. A target inside the last accepted step,
// when that step kept its extension, costs nothing. False when a step failed (r then
// holds the last state reached), when `stop` was set (checked before every attempt),
// when the run's attempts (accepted and rejected) reach max_work, or when target lies
// behind r.t outside the last step.
template <class Rhs>
bool dop853_advance(Rhs&& rhs, dop853_run& r, double target, double* out, double barrier = INFINITY,
                    const std::atomic<bool>* stop = nullptr, double max_work = INFINITY) {
    const double dir = r.h < 0 ? -1.0 : 1.0;
    for (;;) {
        if (r.t == target) {
            for (int i = 0; i < r.n; ++i) out[i] = r.y[i];
            return true;
        }
        const bool inside_last = r.dense && (target - r.t_old) * dir >= 0 && (r.t - target) * dir > 0;
        if (inside_last) {
            dop853_dense(r, target, out);
            return true;
        }
        if ((target - r.t) * dir < 0) return false;  // behind the integration: not reachable
        if (stop && stop->load(std::memory_order_relaxed)) return false;
        if (!(double(r.steps + r.rejections) < max_work)) return false;
        double end = NAN;
        if (std::isfinite(barrier) && (r.t + 1.01 * r.h - barrier) * dir > 0) {
            r.h = barrier - r.t;  // (the 1.01 spares a needless sliver of a step after it)
            end = barrier;
        }
        const bool passes = ((std::isnan(end) ? r.t + r.h : end) - target) * dir > 0;
        if (dop853_attempt(rhs, r, passes, end) == dop853_outcome::failed) return false;
    }
}
