// extrapolation step and advance to a target time
#pragma once

#include <atomic>
#include <cmath>

#include "params.h"
#include "state.h"

inline constexpr double bs_tolerance = 1e-14;   // relative error accepted per step
inline constexpr double bs_scale_floor = 1e-14; // smallest scale of an equation's error
inline constexpr double bs_grow = 1.5;          // proposal after a row-3..6 acceptance
inline constexpr double bs_shrink = 0.6;        // proposal factor per row beyond row 6
inline constexpr int bs_rows = 10;
inline constexpr int bs_max_corrections = 6;    // at most seven tableau entries per row
inline constexpr int bs_max_halvings = 64;      // then the step gives up
inline constexpr int lt_BS[bs_rows] = {1, 2, 3, 4, 6, 8, 12, 16, 24, 32};

// Row of the sequence whose midpoint count is half of row j's, or -1 for an odd count.
inline constexpr int bs_half_row[bs_rows] = {-1, 0, -1, 1, 2, 3, 4, 5, 6, 7};

namespace bs_detail {

// The work table of one step: per equation, its value at the start, its error scale,
// the extrapolated value, the midpoint sweep's previous value, its slope at the start,
// the tableau of corrections (columns 5 .. 10) and the last smoothed value.
enum { start = 0, scale = 1, extrap = 2, back = 3, slope = 4, smooth = 11 };

// After a rejection the step halves, so that row j of the next attempt takes the
// same substep H as row j' (twice the midpoints) of the rejected one: its midpoint
// sequence is the first half of row j''s, the same operations on the same values.
// The halfway point of row j' is kept for row bs_half_row[j'] of the next attempt,
// with the derivative there, which is the final one when its time equals te.
template <int cap>
struct halfway {
    int attempt = -1;  // the attempt that may take it
    double H2, tau;
    double back[cap], y[cap], f[cap];
};

template <class State>
struct work {
    static constexpr int cap = int(sizeof(State::w) / sizeof(State::w[0]));
    int neq;
    double t0;
    double temp_BS[cap][12];
    halfway<cap> kept[bs_rows];
    State y;  // working copy: y.t is the evaluation time
    State f;  // the derivatives at y
};

// Row j's sweep: Gragg's modified midpoint over 2 lt_BS[j] substeps of the step h
// (attempt `attempt`, ending at te), or the halfway values a rejected attempt kept for
// it. Leaves the last midpoint values in w.y and the derivative at te in w.f.
template <class Rhs, class State>
void sweep(Rhs& rhs, work<State>& w, int j, int attempt, double h, double te) {
    auto& temp_BS = w.temp_BS;
    State& y = w.y;
    State& f = w.f;
    const int neq = w.neq;
    const int n = lt_BS[j];
    const double H2 = h / n;
    const double H = 0.5 * H2;
    halfway<work<State>::cap>& mine = w.kept[j];
    if (mine.attempt == attempt && mine.H2 == H2) {
        // the scale already holds every value of this sequence: it saw them in the
        // rejected attempt
        for (int i = 0; i < neq; ++i) {
            temp_BS[i][back] = mine.back[i];
            y.w[i] = mine.y[i];
        }
        if (mine.tau == te) {
            for (int i = 0; i < neq; ++i) f.w[i] = mine.f[i];
        } else {
            y.t = te;
            rhs(y, f);
        }
        return;
    }
    const int half = bs_half_row[j];
    halfway<work<State>::cap>* next = half >= 0 ? &w.kept[half] : nullptr;
    for (int i = 0; i < neq; ++i) {
        temp_BS[i][back] = temp_BS[i][start];
        y.w[i] = temp_BS[i][start] + H * temp_BS[i][slope];
    }
    double tau = w.t0;
    for (int sub = 1; sub < 2 * n; ++sub) {
        tau = tau + H;
        y.t = tau;
        rhs(y, f);
        if (next && sub == n) {
            next->tau = tau;
            for (int i = 0; i < neq; ++i) next->f[i] = f.w[i];
        }
        for (int i = 0; i < neq; ++i) {
            const double a = std::fabs(y.w[i]);
            if (a > temp_BS[i][scale]) temp_BS[i][scale] = a;
            const double ynew = temp_BS[i][back] + H2 * f.w[i];
            temp_BS[i][back] = y.w[i];
            y.w[i] = ynew;
        }
        if (next && sub == n - 1) {
            next->attempt = attempt + 1;
            next->H2 = H2;
            for (int i = 0; i < neq; ++i) {
                next->back[i] = temp_BS[i][back];
                next->y[i] = y.w[i];
            }
        }
    }
    y.t = te;
    rhs(y, f);
}

// Row j's rational extrapolation to zero substep from the sweep's values (substep H =
// h / (2 lt_BS[j])); the final smoothing leaves an error series in even powers of the
// substep, which the ratios (n/n')^2 assume. Returns the row's error: the largest
// change of an extrapolated value over its scale (0 for row 0, NaN once any is NaN).
template <class State>
double extrapolate(work<State>& w, int j, double H) {
    const int n = lt_BS[j];
    const int m = j < bs_max_corrections ? j : bs_max_corrections;
    double ratio[bs_max_corrections];
    for (int k = 0; k < m; ++k) ratio[k] = sq(double(n) / double(lt_BS[j - k - 1]));
    double e = 0;
    for (int i = 0; i < w.neq; ++i) {
        double* row = w.temp_BS[i];
        const double u = (row[back] + w.y.w[i] + H * w.f.w[i]) / 2;
        double v = row[smooth];
        double c = u;
        row[smooth] = u;
        double sum = u;
        for (int k = 0; k < m; ++k) {
            const double b1 = ratio[k] * v;
            const double delta = b1 - c;
            double d;
            if (delta != 0) {
                const double q = (c - v) / delta;
                d = c * q;
                c = b1 * q;
            } else {
                d = v;
            }
            if (k + 1 < m) v = row[10 - k];  // the previous row's correction k
            row[10 - k] = d;
            sum = sum + d;
        }
        if (m > 0) {
            const double err = std::fabs(row[extrap] - sum) / row[scale];
            // a NaN error sticks, so that such a row can neither pass nor converge
            if (std::isnan(err) || err > e) e = err;
        }
        row[extrap] = sum;
    }
    return e;
}

// What follows row j with error e: the first three rows only set the reference error;
// a later row passes at bs_tolerance, and one that does not improve on the reference
// (or is NaN) means the step diverges and is halved.
enum class verdict { next_row, accept, halve };
inline verdict decide(int j, double e, double& reference) {
    if (j < 3) {
        reference = e;
        return verdict::next_row;
    }
    if (e <= bs_tolerance) return verdict::accept;
    if (!(e < reference)) return verdict::halve;
    return verdict::next_row;
}

}  // namespace bs_detail

// One Bulirsch-Stoer step of `neq` equations whose derivatives rhs(state, deriv)
// writes; rhs must depend only on state.t and state.w[0..neq). State is a record
// with a time t and an array w of values (orbit_state, or a smaller one). On
// acceptance advances s by the step taken, overwrites `step` with the proposal for
// the next one and returns 1. Returns 0, with s and step untouched, when halving no
// longer changes the time or after bs_max_halvings halvings.
// Reentrant: the work table lives in the call.
template <class Rhs, class State>
int bs_step(Rhs&& rhs, int neq, State& s, double& step) {
    using namespace bs_detail;
    work<State> w;
    w.neq = neq;
    w.t0 = s.t;
    w.y = s;
    double h = step;

    rhs(w.y, w.f);
    for (int i = 0; i < neq; ++i) {
        w.temp_BS[i][start] = s.w[i];
        w.temp_BS[i][slope] = w.f.w[i];
        const double a = std::fabs(s.w[i]);
        w.temp_BS[i][scale] = a < bs_scale_floor ? bs_scale_floor : a;
    }

    for (int halvings = 0;; ++halvings) {
        const double te = h + w.t0;
        double reference = 0;
        for (int j = 0; j < bs_rows; ++j) {
            sweep(rhs, w, j, halvings, h, te);
            const double e = extrapolate(w, j, 0.5 * (h / lt_BS[j]));
            const verdict v = decide(j, e, reference);
            if (v == verdict::accept) {
                const int m = j < bs_max_corrections ? j : bs_max_corrections;
                s.t = te;
                for (int i = 0; i < neq; ++i) s.w[i] = w.temp_BS[i][extrap];
                step = (bs_grow * h) * std::pow(bs_shrink, j - m);
                return 1;
            }
            if (v == verdict::halve) break;
        }
        h = h / 2;
        if (h + w.t0 == w.t0 || halvings + 1 >= bs_max_halvings) return 0;
    }
}

// One step of the galaxy's equations of motion (number_equations of p). The
// second form adds the number of right-hand-side evaluations to `evaluations`.
int integrate(const params& p, orbit_state& s, double& step);
int integrate(const params& p, orbit_state& s, double& step, long& evaluations);

inline constexpr double taketstep_tolerance = 1e-4;  // a target is reached within this time
inline constexpr double taketstep_first_step = 0.1;  // every advance starts with this step
// Work budget of one advance: at most this many accepted forward steps, plus so many
// per model time unit of the distance to the target. A star between r = 1 and 3 takes
// about 10 steps per unit, one at r = 0.01 in a flat rotation curve about 10^3: the
// budget is 200 times what the first needs. A star that needs more (started at the
// centre, under a pattern of absurd speed or arm count) would run for hours: it
// fails instead, within seconds.
inline constexpr double taketstep_min_steps = 2e3;
inline constexpr double taketstep_steps_per_time = 2e3;

// Advances s until its time lies within taketstep_tolerance of target: forward with
// the proposed steps (possibly past target), then back onto it. Returns false when
// the integrator gave up on the way or the work budget ran out; s then holds the
// last state it reached.
// A caller that may be interrupted passes `stop`: once it is set, the advance ends
// after the step in progress and returns false.
bool taketstep(const params& p, orbit_state& s, double target,
               const std::atomic<bool>* stop = nullptr);
// The same, adding the number of right-hand-side evaluations to `evaluations`.
bool taketstep(const params& p, orbit_state& s, double target, long& evaluations,
               const std::atomic<bool>* stop = nullptr);
