#include "galaxy.h"

#include <cmath>

namespace {

inline constexpr double centre_offset = 1e-15;  // keeps dPhi0/dr finite at r = 0 for gamma_ < 1/2

// Linear switch-on of pattern k: 0 before starttime, 1 after starttime + growtime.
inline double growth(const params& p, int k, double t) {
    if (p.starttime[k] > t) return 0;
    if (p.starttime[k] + p.growtime[k] > t) return (t - p.starttime[k]) / p.growtime[k];
    return 1;
}

inline double phase(const params& p, int k, double r, double phi, double t) {
    return p.mm[k] * ((phi - p.phi0[k]) - p.Omegas[k] * t) + p.alpha[k] * std::log(r);
}

// A taper's derivative. Where the Gaussian factor is exactly 0 (a zero width, or far
// outside the taper) the result is 0: the literal product would be 0 * inf = NaN
// for a zero width and poison every force once a star enters the taper.
inline double taper_slope(double d, double w) {
    const double gauss = std::exp(-0.5 * sq(d / w));
    if (gauss == 0) return 0;
    return (-d / sq(w)) * gauss;
}

}  // namespace

double gphi0(const params& p, double r, double /*z*/) {
    const double g = p.gamma_;
    if (g == 0) return std::log(r);  // flat rotation curve: the power law's limit
    return (1 / (g + g)) * std::pow(r, g + g);
}

void gradphi0(const params& p, double* dr, double* dz, double r, double /*z*/) {
    const double g = p.gamma_;
    *dr = std::pow(r + centre_offset, (g + g) - 1);  // one formula for every gamma_, 1/r at 0
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
    if (p.smin[k] > r) return std::exp(-0.5 * sq((r - p.smin[k]) / p.wmin[k]));
    if (r > p.smax[k]) return std::exp(-0.5 * sq((r - p.smax[k]) / p.wmax[k]));
    return 1;  // both edges belong to the flat annulus
}

double dampdr(const params& p, int k, double r) {
    if (p.smin[k] > r) return taper_slope(r - p.smin[k], p.wmin[k]);
    if (r > p.smax[k]) return taper_slope(r - p.smax[k], p.wmax[k]);
    return 0;
}

double phi1(const params& p, int k, double r, double phi, double /*z*/, double t) {
    // the printed wave is at full amplitude: no growth factor here, unlike the force
    return std::cos(phase(p, k, r, phi, t)) * (amp(p, k, r) * p.epsilon[k]);
}

void gradphi1(const params& p, double* dr, double* dphi, double* dz, double* dt, int k, double r,
              double phi, double /*z*/, double t) {
    const double a = amp(p, k, r);
    const double da = dampdr(p, k, r);
    const double eps = p.epsilon[k] * growth(p, k, t);
    const double chi = phase(p, k, r, phi, t);
    const double s = std::sin(chi);
    const double c = std::cos(chi);
    *dr = p.alpha[k] * (-a * eps) * s / r + (da * eps) * c;
    *dphi = p.mm[k] * (-a * eps) * s;
    *dt = p.Omegas[k] * ((a * eps) * p.mm[k]) * s;  // through the rotating phase only
    *dz = +0.0;
}

double jacobi(const params& p, const orbit_state& s, int k) {
    const double x = s.w[0], y = s.w[1], z = s.w[2], vx = s.w[3], vy = s.w[4], vz = s.w[5];
    const double r = std::sqrt(y * y + x * x);
    const double phi = std::atan2(y, x);
    const double v_phi = (vy * x + (-vx) * y) / r;
    const double L = r * v_phi;
    const double E = 0.5 * ((vx * vx + vy * vy) + vz * vz) + gphi0(p, r, z) + phi1(p, k, r, phi, z, s.t);
    return E - p.Omegas[k] * L;
}

void dphi(const params& p, double* dx, double* dy, double* dz, double* dt, double x, double y,
          double z, double t) {
    const double r = std::sqrt(y * y + x * x);
    const double phi = std::atan2(y, x);
    double g_r, g_z;
    gradphi0(p, &g_r, &g_z, r, z);
    *dx = g_r * x / r;
    *dy = g_r * y / r;
    *dz = g_z;
    *dt = 0;
    for (int k = 0; k < p.npatterns; ++k) {
        double p_r, p_phi, p_z, p_t;
        gradphi1(p, &p_r, &p_phi, &p_z, &p_t, k, r, phi, z, t);
        // accumulated in this order; the order is part of the printed digits
        *dx = p_r * x / r + *dx;
        *dy = p_r * y / r + *dy;
        *dx = *dx - p_phi * y / (r * r);
        *dy = p_phi * x / (r * r) + *dy;
        *dz = p_z + *dz;
        *dt = p_t + *dt;
    }
}

void eqn(const params& p, const orbit_state& s, orbit_state& d) {
    const double t = s.t;
    for (int i = 0; i < p.n_particles; ++i) {
        const int b = 6 * i;
        const double x = s.w[b], y = s.w[b + 1], vx = s.w[b + 3], vy = s.w[b + 4];
        d.w[b] = vx;
        d.w[b + 1] = vy;
        d.w[b + 2] = 0;  // planar motion: z and vz never change
        double fx, fy, fz, ft;
        dphi(p, &fx, &fy, &fz, &ft, x, y, 0, t);
        d.w[b + 3] = -fx;
        d.w[b + 4] = -fy;
        d.w[b + 5] = -fz;
    }
}
