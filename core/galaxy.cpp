#include "galaxy.h"

#include <cmath>

#include "mathlib.h"


namespace {

inline constexpr double centre_offset = 1e-15;  // keeps dPhi0/dr finite at r = 0 for gamma_ < 1/2

inline double phase(const params& p, int k, double logr, double phi, double t) {
    return p.mm[k] * ((phi - p.phi0[k]) - p.Omegas[k] * t) + p.alpha[k] * logr;
}

// Envelope A_k and its slope from one exponential. Where the Gaussian factor is
// exactly 0 (a zero width, or far outside the taper) the slope is 0: the literal
// product would be 0 * inf = NaN for a zero width and poison every force once a
// star enters the taper.
inline void envelope(const params& p, int k, double r, double& a, double& da) {
    double d, w;
    if (p.smin[k] > r) {
        d = r - p.smin[k];
        w = p.wmin[k];
    } else if (r > p.smax[k]) {
        d = r - p.smax[k];
        w = p.wmax[k];
    } else {
        a = 1;  // both edges belong to the flat annulus
        da = 0;
        return;
    }
    a = std::exp(-0.5 * sq(d / w));
    da = a == 0 ? 0 : (-d / sq(w)) * a;
}

// What pattern k's gradient needs at one point: envelope, slope, grown amplitude, phase.
struct pattern_point {
    double a, da, eps, chi;
};
inline pattern_point pattern_at(const params& p, int k, double r, double logr, double phi, double t) {
    pattern_point q;
    envelope(p, k, r, q.a, q.da);
    q.eps = p.epsilon[k] * growth(p, k, t);
    q.chi = phase(p, k, logr, phi, t);
    return q;
}

// Pattern k's polar gradient at the grown amplitude.
inline void pattern_gradient(const params& p, int k, double r, const pattern_point& q, double* dr,
                             double* dphi, double* dz, double* dt) {
    const double s = std::sin(q.chi);
    const double c = std::cos(q.chi);
    *dr = p.alpha[k] * (-q.a * q.eps) * s / r + (q.da * q.eps) * c;
    *dphi = p.mm[k] * (-q.a * q.eps) * s;
    *dt = p.Omegas[k] * ((q.a * q.eps) * p.mm[k]) * s;  // through the rotating phase only
    *dz = +0.0;
}

// A pattern that has not started (or has no amplitude) adds signed zeros. Where
// every factor is finite and the running sums are not zero, those additions
// change no bit of the sums, so its sine and cosine need not be taken.
inline bool adds_nothing(const pattern_point& q, double sum_x, double sum_y) {
    return q.eps == 0 && sum_x != 0 && sum_y != 0 && std::isfinite(q.chi) && std::isfinite(q.a) &&
           std::isfinite(q.da);
}

}  // namespace

double gphi0(const params& p, double r, double /*z*/) {
    const double g = p.gamma_;
    if (g == 0) return std::log(r);  // flat rotation curve: the power law's limit
    return (1 / (g + g)) * std::pow(r, g + g);
}

void gradphi0(const params& p, double* dr, double* dz, double r, double /*z*/) {
    const double g = p.gamma_;
    *dr = libm_pow(r + centre_offset, (g + g) - 1);  // one formula for every gamma_, 1/r at 0
    *dz = +0.0;
}

double vc_0(const params& p, double r) {
    double dr, dz;
    gradphi0(p, &dr, &dz, r, 0);
    return std::sqrt(dr * r);
}

double om_0(const params& p, double r) { return vc_0(p, r) / r; }

double kratio(const params& p) { return std::sqrt((1 + p.gamma_) * 2); }

double amp(const params& p, int k, double r) {
    double a, da;
    envelope(p, k, r, a, da);
    return a;
}

double dampdr(const params& p, int k, double r) {
    double a, da;
    envelope(p, k, r, a, da);
    return da;
}

double phi1(const params& p, int k, double r, double phi, double /*z*/, double t) {
    // the printed wave is at full amplitude: no growth factor here, unlike the force
    return std::cos(phase(p, k, std::log(r), phi, t)) * (amp(p, k, r) * p.epsilon[k]);
}

void gradphi1(const params& p, double* dr, double* dphi, double* dz, double* dt, int k, double r,
              double phi, double /*z*/, double t) {
    pattern_gradient(p, k, r, pattern_at(p, k, r, std::log(r), phi, t), dr, dphi, dz, dt);
}

namespace {

// Two doubles in one register. Each half of an operation on the pair is rounded
// exactly as the same scalar operation, so x and y share one division (divpd)
// without changing a bit.
typedef double pair __attribute__((vector_size(16)));

// Cartesian gradient of the total potential in the plane, gradphi0 plus gradphi1 of
// every pattern sharing ln r, summed in this order (the order is part of the printed
// digits); with_time also sums the explicit time derivative. The sums are locals:
// written through pointers they were stored and reloaded for every pattern.
template <bool with_time>
[[gnu::always_inline]] inline void gradient(const params& p, double x, double y, double t, double& dx, double& dy, double& dt) {
    const double r = std::sqrt(y * y + x * x);
    const double phi = libm_atan2(y, x);
    double g_r, g_z;
    gradphi0(p, &g_r, &g_z, r, 0);
    const pair xy = {x, y}, yx = {y, x}, r1 = {r, r}, r2 = {r * r, r * r};
    const pair background = pair{g_r, g_r} * xy / r1;  // (g_r x) / r, (g_r y) / r
    double sx = background[0], sy = background[1], st = 0;
    const double logr = p.npatterns > 0 ? libm_log(r) : 0;
    for (int k = 0; k < p.npatterns; ++k) {
        double p_r, p_phi, p_z, p_t;
        const pattern_point q = pattern_at(p, k, r, logr, phi, t);
        if (adds_nothing(q, sx, sy)) continue;
        pattern_gradient(p, k, r, q, &p_r, &p_phi, &p_z, &p_t);
        const pair radial = pair{p_r, p_r} * xy / r1;      // (p_r x) / r, (p_r y) / r
        sx = radial[0] + sx;
        sy = radial[1] + sy;
        const pair turn = pair{p_phi, p_phi} * yx / r2;    // (p_phi y) / r^2, (p_phi x) / r^2
        sx = sx - turn[0];
        sy = turn[1] + sy;
        if constexpr (with_time) st = p_t + st;
    }
    dx = sx;
    dy = sy;
    dt = st;
}

}  // namespace

double jacobi(const params& p, const orbit_state& s, int k) {
    const double x = s.w[0], y = s.w[1], z = s.w[2], vx = s.w[3], vy = s.w[4], vz = s.w[5];
    const double r = std::sqrt(y * y + x * x);
    const double phi = std::atan2(y, x);
    const double v_phi = (vy * x + (-vx) * y) / r;
    const double L = r * v_phi;
    const double E = 0.5 * ((vx * vx + vy * vy) + vz * vz) + gphi0(p, r, z) + phi1(p, k, r, phi, z, s.t);
    return E - p.Omegas[k] * L;
}

double next_switch(const params& p, double t, double dir) {
    double next = dir * INFINITY;
    for (int k = 0; k < p.npatterns; ++k)
        for (const double s : {p.starttime[k], p.starttime[k] + p.growtime[k]})
            if ((s - t) * dir > 0 && (s - next) * dir < 0) next = s;
    return next;
}

void dphi(const params& p, double* dx, double* dy, double* dz, double* dt, double x, double y,
          double /*z*/, double t) {
    gradient<true>(p, x, y, t, *dx, *dy, *dt);
    *dz = +0.0;  // no term of the potential depends on z: every vertical term is +0
}

double potential(const params& p, double x, double y, double t) {
    const double r = std::sqrt(y * y + x * x);
    const double phi = std::atan2(y, x);
    const double logr = std::log(r);
    double sum = gphi0(p, r, 0);
    for (int k = 0; k < p.npatterns; ++k) {
        const pattern_point q = pattern_at(p, k, r, logr, phi, t);
        sum = sum + std::cos(q.chi) * (q.a * q.eps);
    }
    return sum;
}

void eqn(const params& p, const orbit_state& s, orbit_state& d) {
    const double t = s.t;
    for (int i = 0; i < p.n_particles; ++i) {
        const int b = 6 * i;
        const double x = s.w[b], y = s.w[b + 1], vx = s.w[b + 3], vy = s.w[b + 4];
        d.w[b] = vx;
        d.w[b + 1] = vy;
        d.w[b + 2] = 0;  // planar motion: z and vz never change
        double fx, fy, ft;
        gradient<false>(p, x, y, t, fx, fy, ft);
        d.w[b + 3] = -fx;
        d.w[b + 4] = -fy;
        d.w[b + 5] = -0.0;  // minus the vertical gradient, which is +0
    }
}

void eqn_xy(const params& p, double t, const double* w, double* d) {
    double fx, fy, ft;
    gradient<false>(p, w[0], w[1], t, fx, fy, ft);
    d[0] = w[2];
    d[1] = w[3];
    d[2] = -fx;
    d[3] = -fy;
}
