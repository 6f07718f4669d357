// the kernels of lanes.h for one vector width; included once by each unit of an instruction set
#pragma once

#include <cstring>

#include "dop853_coef.h"
#include "fastmath.h"
#include "lanes.h"

namespace fast {
inline namespace ORBKIT_LANE_ISA {

inline constexpr double centre_offset = 1e-15;  // keeps dPhi0/dr finite at r = 0 for gamma_ < 1/2

template <class V>
ORBKIT_LANE_INLINE V load(const double* p) {
    if constexpr (lane_traits<V>::W == 1) {
        return *p;
    } else {
        V v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
}

// The galaxy's equations of motion of (x, y, vx, vy), the right-hand side the programs run.
struct galaxy {
    template <class V>
    static ORBKIT_LANE_INLINE V ld(const double* p) {
        return load<V>(p);
    }
    template <class V>
    static ORBKIT_LANE_INLINE V one() {
        return vbroadcast<V>(1.0);
    }

    // -grad Phi in the disc plane at (x, y) and time t: the background's dPhi0/dr as
    // 1/r for the flat rotation curve, else (r + 1e-15)^(2 gamma_ - 1), and each
    // pattern's e^{i chi} as e^{i m phi} e^{i beta}, beta = alpha ln r - m (phi0 + Omegas t),
    // with e^{i m phi} the m-th power of (x + iy)/r where m is a whole number.
    template <class V>
    static ORBKIT_LANE_INLINE void force(const lane_model& md, V x, V y, V t, V& fx, V& fy) {
        typedef typename lane_traits<V>::M M;
        const V r = vsqrt(x * x + y * y);
        const V ir = 1.0 / r;
        const V u = x * ir, v = y * ir;  // e^{i phi}
        const V g = ld<V>(md.gamma_);
        const M flat = g == 0.0;
        V dr = 1.0 / (r + centre_offset);  // dPhi/dr
        if (any_lane<M>(g != 0.0)) dr = vsel<V>(flat, dr, fm_pow(r + centre_offset, (g + g) - 1.0));
        V dph = V{};  // dPhi/dphi
        const V logr = md.npatterns > 0 ? fm_log(r) : V{};
        for (int k = 0; k < md.npatterns; ++k) {
            const lane_pattern& P = md.pat[k];
            // linear switch-on: 0 before starttime, 1 after starttime + growtime
            const V ts = ld<V>(P.starttime), tg = ld<V>(P.growtime);
            const M growing = ts + tg > t;
            V grow = one<V>();
            if (any_lane<M>(growing)) grow = vsel<V>(growing, (t - ts) / tg, grow);  // (a division spared)
            grow = vsel<V>(ts > t, V{}, grow);
            const V eps = ld<V>(P.epsilon) * grow;
            const M live = eps != 0.0;  // a pattern of no grown amplitude adds nothing
            if (!any_lane<M>(live)) continue;
            // envelope: 1 on [smin, smax], Gaussian tapers of widths wmin, wmax outside;
            // where the Gaussian factor is 0 the slope is 0 (not 0 * inf for a zero width)
            const V smin = ld<V>(P.smin), smax = ld<V>(P.smax);
            const M inner = smin > r;
            const M taper = inner | (r > smax);
            V a = one<V>(), da = V{};
            if (any_lane<M>(taper)) {
                const V d = vsel<V>(inner, r - smin, r - smax);
                const V w = vsel<V>(inner, ld<V>(P.wmin), ld<V>(P.wmax));
                const V q = d / w;
                const V ag = fm_exp(-0.5 * (q * q));
                const V dag = vsel<V>(ag == 0.0, V{}, (-d / (w * w)) * ag);
                a = vsel<V>(taper, ag, a);
                da = vsel<V>(taper, dag, da);
            }
            const V m = ld<V>(P.mm);
            V cm = one<V>(), sm = V{};  // e^{i m phi}
            if (md.powers[k] > 0) {
                const V m_abs = ld<V>(P.m_abs);
                for (int j = 0; j < md.powers[k]; ++j) {
                    const M more = double(j) < m_abs;
                    const V c = cm * u - sm * v;
                    const V s = cm * v + sm * u;
                    cm = vsel<V>(more, c, cm);
                    sm = vsel<V>(more, s, sm);
                }
                sm = vsel<V>(m < 0.0, -sm, sm);
            }
            if (md.any_frac[k]) {  // a fractional arm count: the angle itself
                const M frac = ld<V>(P.frac) != 0.0;
                V s, c;
                fm_sincos(m * fm_atan2(y, x), s, c);
                cm = vsel<V>(frac, c, cm);
                sm = vsel<V>(frac, s, sm);
            }
            const V alpha = ld<V>(P.alpha);
            const V beta = alpha * logr - m * (ld<V>(P.phi0) + ld<V>(P.Omegas) * t);
            V sb, cb;
            fm_sincos(beta, sb, cb);
            const V c = cm * cb - sm * sb;  // cos chi
            const V s = sm * cb + cm * sb;  // sin chi
            dr = vsel<V>(live, dr + eps * (da * c - a * s * alpha * ir), dr);
            dph = vsel<V>(live, dph - eps * a * m * s, dph);
        }
        fx = -(dr * u - dph * v * ir);
        fy = -(dr * v + dph * u * ir);
    }

    template <class V>
    static ORBKIT_LANE_INLINE void rhs(const lane_model& md, V t, const V* q, V* d) {
        d[0] = q[2];
        d[1] = q[3];
        force(md, q[0], q[1], t, d[2], d[3]);
    }
};

// The eighth-order method's arithmetic on W lanes for the right-hand side Rhs: a class
// with rhs(model, t, q, d) setting d = dq/dt for the four values q of each lane.
template <int W, class Rhs>
struct kernel {
    typedef typename lanes<W>::vd V;
    typedef typename lanes<W>::vm M;

    static ORBKIT_LANE_INLINE V ld(const double* p) { return load<V>(p); }
    static ORBKIT_LANE_INLINE void st(double* p, V v) { std::memcpy(p, &v, sizeof v); }
    static ORBKIT_LANE_INLINE V one() { return vbroadcast<V>(1.0); }
    static ORBKIT_LANE_INLINE void rhs(const lane_model& md, V t, const V* q, V* d) { Rhs::rhs(md, t, q, d); }

    static void force_kernel(const lane_model& md, lane_block& b) {
        V q[4], d[4];
        for (int i = 0; i < 4; ++i) q[i] = ld(b.y[i]);
        rhs(md, ld(b.t), q, d);
        for (int i = 0; i < 4; ++i) st(b.k[0][i], d[i]);
    }

    // Stages 2 to 12 of the step h from t, the eighth-order solution and its error as
    // the fifth-order estimate damped by the third-order one where they disagree:
    // err5^2 / sqrt(err5^2 + 0.01 err3^2), each value scaled by atol + rtol max(|y|, |ynew|).
    static void stages_kernel(const lane_model& md, lane_block& b) {
        using namespace dop853_coef;
        const V t = ld(b.t), h = ld(b.h);
        V y[4], k1[4], k2[4], k3[4], k4[4], k5[4], k6[4], k7[4], k8[4], k9[4], k10[4], k11[4], k12[4],
            y1[4];
        for (int i = 0; i < 4; ++i) {
            y[i] = ld(b.y[i]);
            k1[i] = ld(b.k[1][i]);
        }
        for (int i = 0; i < 4; ++i) y1[i] = y[i] + h * a21 * k1[i];
        rhs(md, t + c2 * h, y1, k2);
        for (int i = 0; i < 4; ++i) y1[i] = y[i] + h * (a31 * k1[i] + a32 * k2[i]);
        rhs(md, t + c3 * h, y1, k3);
        for (int i = 0; i < 4; ++i) y1[i] = y[i] + h * (a41 * k1[i] + a43 * k3[i]);
        rhs(md, t + c4 * h, y1, k4);
        for (int i = 0; i < 4; ++i) y1[i] = y[i] + h * (a51 * k1[i] + a53 * k3[i] + a54 * k4[i]);
        rhs(md, t + c5 * h, y1, k5);
        for (int i = 0; i < 4; ++i) y1[i] = y[i] + h * (a61 * k1[i] + a64 * k4[i] + a65 * k5[i]);
        rhs(md, t + c6 * h, y1, k6);
        for (int i = 0; i < 4; ++i) y1[i] = y[i] + h * (a71 * k1[i] + a74 * k4[i] + a75 * k5[i] + a76 * k6[i]);
        rhs(md, t + c7 * h, y1, k7);
        for (int i = 0; i < 4; ++i)
            y1[i] = y[i] + h * (a81 * k1[i] + a84 * k4[i] + a85 * k5[i] + a86 * k6[i] + a87 * k7[i]);
        rhs(md, t + c8 * h, y1, k8);
        for (int i = 0; i < 4; ++i)
            y1[i] = y[i] + h * (a91 * k1[i] + a94 * k4[i] + a95 * k5[i] + a96 * k6[i] + a97 * k7[i] +
                                a98 * k8[i]);
        rhs(md, t + c9 * h, y1, k9);
        for (int i = 0; i < 4; ++i)
            y1[i] = y[i] + h * (a101 * k1[i] + a104 * k4[i] + a105 * k5[i] + a106 * k6[i] +
                                a107 * k7[i] + a108 * k8[i] + a109 * k9[i]);
        rhs(md, t + c10 * h, y1, k10);
        for (int i = 0; i < 4; ++i)
            y1[i] = y[i] + h * (a111 * k1[i] + a114 * k4[i] + a115 * k5[i] + a116 * k6[i] +
                                a117 * k7[i] + a118 * k8[i] + a119 * k9[i] + a1110 * k10[i]);
        rhs(md, t + c11 * h, y1, k11);
        for (int i = 0; i < 4; ++i)
            y1[i] = y[i] + h * (a121 * k1[i] + a124 * k4[i] + a125 * k5[i] + a126 * k6[i] +
                                a127 * k7[i] + a128 * k8[i] + a129 * k9[i] + a1210 * k10[i] +
                                a1211 * k11[i]);
        rhs(md, ld(b.tend), y1, k12);

        const V rtol = ld(b.rtol), atol = ld(b.atol);
        V err = V{}, err2 = V{};
        for (int i = 0; i < 4; ++i) {
            const V incr = b1 * k1[i] + b6 * k6[i] + b7 * k7[i] + b8 * k8[i] + b9 * k9[i] + b10 * k10[i] +
                           b11 * k11[i] + b12 * k12[i];
            const V ynew = y[i] + h * incr;
            st(b.ynew[i], ynew);
            const V ay = vabs(y[i]), an = vabs(ynew);
            const V sk = atol + rtol * vsel<V>(ay > an, ay, an);
            const V e3 = incr - bhh1 * k1[i] - bhh2 * k9[i] - bhh3 * k12[i];
            err2 = err2 + (e3 / sk) * (e3 / sk);
            const V e5 = er1 * k1[i] + er6 * k6[i] + er7 * k7[i] + er8 * k8[i] + er9 * k9[i] +
                         er10 * k10[i] + er11 * k11[i] + er12 * k12[i];
            err = err + (e5 / sk) * (e5 / sk);
        }
        V deno = err + 0.01 * err2;
        deno = vsel<V>(deno <= 0.0, one(), deno);
        err = vabs(h) * err * vsqrt(1.0 / (4.0 * deno));
        st(b.err, err);
        st(b.err_root, fm_pow(err, vbroadcast<V>(1 / dop853_order)));
        for (int i = 0; i < 4; ++i) {
            st(b.k[2][i], k2[i]);
            st(b.k[3][i], k3[i]);
            st(b.k[4][i], k4[i]);
            st(b.k[5][i], k5[i]);
            st(b.k[6][i], k6[i]);
            st(b.k[7][i], k7[i]);
            st(b.k[8][i], k8[i]);
            st(b.k[9][i], k9[i]);
            st(b.k[10][i], k10[i]);
            st(b.k[11][i], k11[i]);
            st(b.k[12][i], k12[i]);
        }
    }

    // Stage 13 (the derivative at the end of the step, at tend), the derivative the
    // next step starts from (taken again at tph where the step ends on a switch of the
    // force) and, with dense, the continuous extension of order 7 (stages 14 to 16).
    static void finish_kernel(const lane_model& md, lane_block& b, bool dense) {
        using namespace dop853_coef;
        V ynew[4], k13[4];
        for (int i = 0; i < 4; ++i) ynew[i] = ld(b.ynew[i]);
        rhs(md, ld(b.tend), ynew, k13);
        const M retake = ld(b.retake) != 0.0;
        if (any_lane<M>(retake)) {
            V f[4];
            rhs(md, ld(b.tph), ynew, f);
            for (int i = 0; i < 4; ++i) st(b.fnext[i], vsel<V>(retake, f[i], k13[i]));
        } else {
            for (int i = 0; i < 4; ++i) st(b.fnext[i], k13[i]);
        }
        if (!dense) return;
        const V t = ld(b.t), h = ld(b.h);
        V y[4], k[17][4], y1[4];
        for (int i = 0; i < 4; ++i) {
            y[i] = ld(b.y[i]);
            for (int j = 1; j <= 12; ++j) k[j][i] = ld(b.k[j][i]);
            k[13][i] = k13[i];
        }
        for (int i = 0; i < 4; ++i)
            y1[i] = y[i] + h * (a141 * k[1][i] + a147 * k[7][i] + a148 * k[8][i] + a149 * k[9][i] +
                                a1410 * k[10][i] + a1411 * k[11][i] + a1412 * k[12][i] + a1413 * k[13][i]);
        rhs(md, t + c14 * h, y1, k[14]);
        for (int i = 0; i < 4; ++i)
            y1[i] = y[i] + h * (a151 * k[1][i] + a156 * k[6][i] + a157 * k[7][i] + a158 * k[8][i] +
                                a1511 * k[11][i] + a1512 * k[12][i] + a1513 * k[13][i] + a1514 * k[14][i]);
        rhs(md, t + c15 * h, y1, k[15]);
        for (int i = 0; i < 4; ++i)
            y1[i] = y[i] + h * (a161 * k[1][i] + a166 * k[6][i] + a167 * k[7][i] + a168 * k[8][i] +
                                a169 * k[9][i] + a1613 * k[13][i] + a1614 * k[14][i] + a1615 * k[15][i]);
        rhs(md, t + c16 * h, y1, k[16]);
        for (int i = 0; i < 4; ++i) {
            const V ydiff = ynew[i] - y[i];
            const V bspl = h * k[1][i] - ydiff;
            st(b.rc[0][i], y[i]);
            st(b.rc[1][i], ydiff);
            st(b.rc[2][i], bspl);
            st(b.rc[3][i], ydiff - h * k[13][i] - bspl);
            st(b.rc[4][i], h * (d41 * k[1][i] + d46 * k[6][i] + d47 * k[7][i] + d48 * k[8][i] +
                                d49 * k[9][i] + d410 * k[10][i] + d411 * k[11][i] + d412 * k[12][i] +
                                d413 * k[13][i] + d414 * k[14][i] + d415 * k[15][i] + d416 * k[16][i]));
            st(b.rc[5][i], h * (d51 * k[1][i] + d56 * k[6][i] + d57 * k[7][i] + d58 * k[8][i] +
                                d59 * k[9][i] + d510 * k[10][i] + d511 * k[11][i] + d512 * k[12][i] +
                                d513 * k[13][i] + d514 * k[14][i] + d515 * k[15][i] + d516 * k[16][i]));
            st(b.rc[6][i], h * (d61 * k[1][i] + d66 * k[6][i] + d67 * k[7][i] + d68 * k[8][i] +
                                d69 * k[9][i] + d610 * k[10][i] + d611 * k[11][i] + d612 * k[12][i] +
                                d613 * k[13][i] + d614 * k[14][i] + d615 * k[15][i] + d616 * k[16][i]));
            st(b.rc[7][i], h * (d71 * k[1][i] + d76 * k[6][i] + d77 * k[7][i] + d78 * k[8][i] +
                                d79 * k[9][i] + d710 * k[10][i] + d711 * k[11][i] + d712 * k[12][i] +
                                d713 * k[13][i] + d714 * k[14][i] + d715 * k[15][i] + d716 * k[16][i]));
        }
    }

    static void math_kernel(int fn, int n, const double* a, const double* b, double* out) {
        for (int i0 = 0; i0 < n; i0 += W) {
            double ta[W], tb[W], to[W];
            for (int l = 0; l < W; ++l) {  // a short last chunk repeats its first value
                const int i = i0 + l < n ? i0 + l : i0;
                ta[l] = a[i];
                tb[l] = b ? b[i] : 0;
            }
            const V x = ld(ta), y = ld(tb);
            V r = V{}, s, c;
            switch (fn) {
                case 0: r = fm_log(x); break;
                case 1: r = fm_exp(x); break;
                case 2: fm_sincos(x, r, c); break;
                case 3: fm_sincos(x, s, r); break;
                case 4: r = fm_atan2(x, y); break;
                case 5: r = fm_pow(x, y); break;
                default: break;
            }
            st(to, r);
            for (int l = 0; l < W && i0 + l < n; ++l) out[i0 + l] = to[l];
        }
    }

    static constexpr lane_kernels table() {
        return lane_kernels{W, &force_kernel, &stages_kernel, &finish_kernel, &math_kernel};
    }
};

}  // namespace ORBKIT_LANE_ISA
}  // namespace fast
