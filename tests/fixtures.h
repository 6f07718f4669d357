// what several unit tests build: a star in the disc plane, and one steady spiral
#pragma once

#include "params.h"
#include "state.h"

// A star at (x, y) with velocity (vx, vy) at time t; z and vz are 0.
inline orbit_state planar_star(double x, double y, double vx, double vy, double t = 0) {
    orbit_state s;
    s.t = t;
    s.w[0] = x;
    s.w[1] = y;
    s.w[3] = vx;
    s.w[4] = vy;
    return s;
}

// A flat rotation curve and one two-armed spiral (alpha < 0: its arms lead) rotating
// at 0.5, switched on at full amplitude at `starttime`, flat over the orbits used here.
inline params one_spiral(double starttime = 0) {
    params p;
    p.gamma_ = 0;
    p.n_particles = 1;
    p.number_equations = 6;
    p.npatterns = 1;
    p.mm[0] = 2;
    p.epsilon[0] = 0.01;
    p.alpha[0] = -8;
    p.Omegas[0] = 0.5;
    p.phi0[0] = 0.3;
    p.starttime[0] = starttime;
    p.growtime[0] = 0;
    p.smin[0] = 0.1;
    p.smax[0] = 10;
    p.wmin[0] = 1;
    p.wmax[0] = 1;
    return p;
}
