// background disc, spiral patterns, force field, equations of motion
#pragma once

#include "params.h"
#include "state.h"

// Background: scale-free power law, v_c ~ r^gamma_. Potentials in speed^2.
double gphi0(const params& p, double r, double z);  // Phi0 = r^(2g)/(2g), ln r for g = 0
void gradphi0(const params& p, double* dr, double* dz, double r, double z);  // dPhi0/dr, 0
double vc_0(const params& p, double r);  // circular speed, v_c^2 = r dPhi0/dr
double om_0(const params& p, double r);  // circular angular speed v_c / r
double kratio(const params& p);          // kappa / Omega = sqrt(2 (1 + gamma_))

// Spiral pattern k: Phi_k = f_k(t) eps_k A_k(r) cos(chi), chi = m((phi - phi0) - Omegas t) + alpha ln r.
// Growth factor f_k(t), the linear switch-on of pattern k at model time t: 0 before
// starttime, rising linearly over growtime, 1 after starttime + growtime.
inline double growth(const params& p, int k, double t) {
    if (p.starttime[k] > t) return 0;
    if (p.starttime[k] + p.growtime[k] > t) return (t - p.starttime[k]) / p.growtime[k];
    return 1;
}
double amp(const params& p, int k, double r);     // envelope A_k: 1 on [smin, smax], Gaussian tapers
double dampdr(const params& p, int k, double r);  // dA_k/dr
double phi1(const params& p, int k, double r, double phi, double z, double t);  // full amplitude
void gradphi1(const params& p, double* dr, double* dphi, double* dz, double* dt, int k, double r,
              double phi, double z, double t);  // at the grown amplitude; dPhi/dphi per radian
double jacobi(const params& p, const orbit_state& s, int k);  // E - Omegas_k L, pattern k only

// The first time strictly beyond t in direction dir (+1 or -1) at which a pattern's
// force switches: its growth starts (a kink, or a jump when growtime is 0) or ends (a
// kink). Infinite when there is none. The eighth-order method never steps across one.
double next_switch(const params& p, double t, double dir);

// Cartesian gradient of the total potential and its explicit time derivative.
void dphi(const params& p, double* dx, double* dy, double* dz, double* dt, double x, double y,
          double z, double t);
// Total potential in the disc plane at the patterns' grown amplitudes: the potential
// whose gradient dphi is (Phi0 + sum_k f_k(t) eps_k A_k cos(chi)).
double potential(const params& p, double x, double y, double t);
// Equations of motion in the disc plane: w' = v, v' = -grad Phi; z and vz held fixed.
void eqn(const params& p, const orbit_state& s, orbit_state& d);

// eqn for one star on the four values that move, w = (x, y, vx, vy) at time t:
// d = (vx, vy, -dPhi/dx, -dPhi/dy), the same bits as eqn.
void eqn_xy(const params& p, double t, const double* w, double* d);
