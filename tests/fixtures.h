// what several unit tests build: a star in the disc plane, one steady spiral, a shipped example read
#pragma once

#include <cstdio>
#include <string>

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

// Reads the shipped example NAME.setup into p and seeds g as the programs do, their
// messages discarded; false when it is missing or refused.
inline bool read_example(const char* name, params& p, rand48& g) {
    const std::string path = std::string(ORBKIT_EXAMPLES) + "/" + name + ".setup";
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (!file) return false;
    std::FILE* sink = std::tmpfile();
    const bool ok = readsetup(file, path, p, g, sink, sink, "test");
    std::fclose(file);
    std::fclose(sink);
    return ok;
}
