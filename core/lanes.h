// the fast mode's stars in vector lanes: per-lane model, work block and kernels
#pragma once

#include "params.h"

// The eighth-order method advances up to lane_capacity stars at once, one per lane
// of the widest vector unit the processor has. The kernels here do the arithmetic
// of a step for every lane (the stages with the right-hand side, the error, the dense
// output); the decisions of each star (accept, reject, next step, output times) are
// scalar code in fastmode.cpp. A lane's arithmetic is the same sequence of IEEE
// operations in every width, so a star gets the same bits alone or beside others.

inline constexpr int lane_capacity = 8;  // AVX-512: eight doubles per instruction

// The vector paths; ORBKIT_SIMD=scalar|sse2|avx2|avx512 in the environment picks one
// (for testing: every path gives the same bits), default the widest the processor has.
enum class lane_path { scalar, sse2, avx2, avx512 };
inline constexpr int lane_width(lane_path p) {
    return p == lane_path::avx512 ? 8 : p == lane_path::avx2 ? 4 : p == lane_path::sse2 ? 2 : 1;
}
lane_path best_lane_path();          // the widest this processor runs
lane_path chosen_lane_path();        // ORBKIT_SIMD when set (at most best_lane_path), else the best
const char* lane_path_name(lane_path p);

// One spiral pattern's parameters, lane by lane, and what the kernels precompute:
// for an integer arm count |m| <= max_power_arms, e^{i m phi} as the m-th power of
// (x + iy)/r; otherwise (frac set) the angle from atan2.
struct lane_pattern {
    double mm[lane_capacity], epsilon[lane_capacity], phi0[lane_capacity], alpha[lane_capacity],
        Omegas[lane_capacity], starttime[lane_capacity], growtime[lane_capacity], smin[lane_capacity],
        smax[lane_capacity], wmin[lane_capacity], wmax[lane_capacity];
    double m_abs[lane_capacity];  // |m| when it is a power, else 0
    double frac[lane_capacity];   // 1 where the arm count is fractional or above max_power_arms
};

inline constexpr int max_power_arms = 64;  // integer arm counts up to this: e^{i m phi} as a power

// The models of the stars in the lanes. A lane with fewer patterns than another has
// patterns of zero amplitude, which add nothing (a pattern of zero grown amplitude is
// skipped in every lane, not summed as zeros).
struct lane_model {
    int npatterns = 0;   // the most of any lane
    int lane_npatterns[lane_capacity] = {};
    int powers[10] = {};  // per pattern, the largest |m| of the lanes that take a power
    bool any_frac[10] = {};
    double gamma_[lane_capacity] = {};
    lane_pattern pat[10] = {};
};
// Puts star p's model into lane l; then lane_model_done recomputes the summaries.
void set_lane_model(lane_model& m, int l, const params& p);
void lane_model_done(lane_model& m, int width);

// The work of one attempted step of every lane. Index order [value][lane]; values
// are x, y, vx, vy. k[1] is the derivative at the start of the step (the first
// stage), k[2] .. k[16] the further stages; k[0] is where the force kernel writes.
struct alignas(64) lane_block {
    double t[lane_capacity], h[lane_capacity];
    double rtol[lane_capacity], atol[lane_capacity];
    double tend[lane_capacity];    // time of stages 12 and 13 (the end, or just inside it)
    double tph[lane_capacity];     // the end of the step
    double retake[lane_capacity];  // 1: the next step's first stage is taken again at tph
    double y[4][lane_capacity];
    double k[17][4][lane_capacity];
    double ynew[4][lane_capacity];
    double fnext[4][lane_capacity];  // the derivative the next step starts from
    double err[lane_capacity];
    double err_root[lane_capacity];  // err^(1/8), for the step-size decision
    double rc[8][4][lane_capacity];  // continuous extension of the step
};

// The kernels of one width and one right-hand side (the galaxy's, or a test's). force:
// k[0] = rhs(t, y). stages: stages 2 to 12, ynew, the scaled error err and its
// eighth root err_root. finish:
// stage 13 at tend (and at tph where retake), fnext, and with dense the stages 14 to
// 16 and rc.
struct lane_kernels {
    int width;
    void (*force)(const lane_model&, lane_block&);
    void (*stages)(const lane_model&, lane_block&);
    void (*finish)(const lane_model&, lane_block&, bool dense);
    void (*math)(int fn, int n, const double* a, const double* b, double* out);
};
const lane_kernels& kernels_of(lane_path p);

// The galaxy's kernels. The width-1 (scalar) and width-2 ones are built for every
// x86-64 processor, the width-4 ones for AVX2 and the width-8 ones for AVX-512 each in
// a unit of their own.
extern const lane_kernels lane_kernels_scalar;
extern const lane_kernels lane_kernels_sse2;
extern const lane_kernels lane_kernels_avx2;    // present only when the compiler targets x86-64
extern const lane_kernels lane_kernels_avx512;  // likewise

// The fast mode's scalar mathematics, the same bits as the kernels' lanes (for the
// step control and the tests).
double fast_log(double x);
double fast_exp(double x);
void fast_sincos(double x, double& s, double& c);
double fast_atan2(double y, double x);
double fast_pow(double x, double y);
// The same functions evaluated n times on the kernels of path p (the tests compare
// every path's bits): fn 0 log(a), 1 exp(a), 2 sin(a), 3 cos(a), 4 atan2(a, b), 5 pow(a, b).
void lane_math(lane_path p, int fn, int n, const double* a, const double* b, double* out);
