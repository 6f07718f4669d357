// exact orbit quantities in the axisymmetric background: turning points, radial action, frequency, angle
#pragma once

#include "params.h"

// The orbit a state (x, y, vx, vy) follows in the background potential alone,
// Phi0 = r^(2 gamma_) / (2 gamma_) (ln r for gamma_ = 0), with no pattern. Exact for
// any gamma_ > -1: the turning points are roots of p_r^2 = 2 (E - Phi0) - L^2 / r^2 and
// the radial action, period and angle are quadratures between them (Binney & Tremaine
// 2008, sections 3.1 and 3.5), not the epicyclic estimates of the record line.
struct orbit_actions {
    double L;        // angular momentum x vy - y vx
    double E;        // energy v^2 / 2 + Phi0(r)
    double J_R;      // radial action (1/pi) int_{r_peri}^{r_apo} p_r dr
    double r_peri;   // pericentre
    double r_apo;    // apocentre
    double e;        // (r_apo - r_peri) / (r_apo + r_peri)
    double R_g;      // guiding radius, the circular orbit of the same L: |L| = R_g^(1 + gamma_)
    double Omega_R;  // radial frequency 2 pi / T_R
    double theta_R;  // radial angle, 0 at pericentre, pi at apocentre, in [0, 2 pi)
};

// Why an orbit has no such quantities (all nan then).
enum class actions_status {
    ok,
    not_finite,   // a coordinate is nan or infinite
    unbound,      // E >= 0 for gamma_ < 0: no apocentre
    centre,       // L = 0: the orbit crosses the centre, where the force is singular
    no_circular,  // gamma_ <= -1: no stable circular orbit, no guiding radius
    no_converge,  // the quadrature did not settle (an orbit of eccentricity near 1)
};

// The quantities of one state; returns why they are nan, or ok.
actions_status actions_of(const params& p, double x, double y, double vx, double vy, orbit_actions& out);

// The point of the orbit through state (x, y, vx, vy) at radial angle theta: its
// radius r and radial velocity v_r (positive outwards). Used to place a star on an
// orbit of given E and L at a uniformly drawn angle.
actions_status orbit_point(const params& p, double x, double y, double vx, double vy, double theta,
                           double& r, double& v_r);

// actions_of for n states (n x 4, row-wise) on `threads` threads (0: all); why[i] per star.
void actions_stars(const params& p, long n, const double* states, orbit_actions* out, actions_status* why,
                   int threads);
// orbit_point for n states, each with its own angle theta[i]; rv[2 i], rv[2 i + 1] = r, v_r.
void orbit_points(const params& p, long n, const double* states, const double* theta, double* rv,
                  actions_status* why, int threads);
