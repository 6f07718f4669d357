// lanes of doubles and the fast mode's mathematics: log, exp, sin and cos, atan2, pow
#pragma once

// The fast integrator evaluates several stars at once, one per lane of a vector of
// doubles, and must give every star the same bits whatever the width of the vector
// (1 on the scalar path, 2 with SSE2, 4 with AVX2, 8 with AVX-512) and whatever the C library.
// Everything below is therefore written in plain IEEE operations (+ - * / and sqrt,
// each correctly rounded, lane by lane) in a fixed order, compiled without fused
// multiply-add (-ffp-contract=off): a lane of a 4-wide vector is rounded exactly as
// the same scalar operation. Branches become selections of both sides, so that
// every lane takes the path its own value asks for.
//
// The functions follow the algorithms of Sun's freely distributable fdlibm (and its
// FreeBSD descendant): the same reductions, polynomials and coefficients, each
// within 1 ulp (units in the last place) on the ranges the force field uses:
//   log       every positive double (and 0, inf, NaN, negative: -inf, inf, NaN, NaN);
//   exp       every double (0 below -745.13, inf above 709.78, subnormals between);
//   sin, cos  |x| <= 2^20 pi/2 (about 1.6e6 radians: a pattern phase after 2.6e5
//             orbits at pattern speed 1); beyond it the reduction in three parts loses
//             bits: still the same bits everywhere, no longer within 1 ulp;
//   atan2     every pair of doubles (within 2 ulp; used for a fractional arm count);
//   pow(x, y) x > 0, as exp(y log x) with log x and the product carried to about 70
//             bits: within 1 ulp for |y ln x| < 709 (used for the background of a
//             rotation curve that is not flat, and the step control).
// tests/test_fastmath.cpp measures each against long double on 10^6 arguments.
//
// The definitions live in a namespace named for the instruction set of the translation
// unit: the AVX2 and AVX-512 units (compiled with -mavx2, -mavx512f) and the others
// instantiate the same templates, and the linker must never hand one unit's copy to another.

#include <cstdint>

#if defined(__AVX512F__)
#define ORBKIT_LANE_ISA isa_avx512
#elif defined(__AVX2__)
#define ORBKIT_LANE_ISA isa_avx2
#else
#define ORBKIT_LANE_ISA isa_base
#endif

namespace fast {
inline namespace ORBKIT_LANE_ISA {

// W doubles side by side, masks all-ones or all-zeros per lane. One lane is a plain
// double (GCC's 8-byte vectors of one double are avoided: at -O2 they leave the
// stack growing in a loop that calls a function with a long double argument).
template <int W>
struct lanes {
    typedef double vd __attribute__((vector_size(8 * W)));
    typedef std::int64_t vm __attribute__((vector_size(8 * W)));
    typedef std::uint64_t vu __attribute__((vector_size(8 * W)));
};
template <>
struct lanes<1> {
    typedef double vd;
    typedef bool vm;
    typedef std::uint64_t vu;
};

template <class V>
struct lane_traits {
    static constexpr int W = int(sizeof(V) / sizeof(double));
    typedef typename lanes<W>::vm M;
    typedef typename lanes<W>::vu U;
};

#define ORBKIT_LANE_INLINE __attribute__((always_inline)) inline

template <class V>
ORBKIT_LANE_INLINE V vsel(typename lane_traits<V>::M m, V a, V b) {
    return m ? a : b;
}
template <class V>
ORBKIT_LANE_INLINE typename lane_traits<V>::U bits_of(V v) {
    return __builtin_bit_cast(typename lane_traits<V>::U, v);
}
template <class V>
ORBKIT_LANE_INLINE V from_bits(typename lane_traits<V>::U u) {
    return __builtin_bit_cast(V, u);
}
template <class V>
ORBKIT_LANE_INLINE double lane(V v, int i) {
    if constexpr (lane_traits<V>::W == 1) return (void)i, v;
    else return v[i];
}
template <class V>
ORBKIT_LANE_INLINE void set_lane(V& v, int i, double a) {
    if constexpr (lane_traits<V>::W == 1) (void)i, v = a;
    else v[i] = a;
}
template <class V>
ORBKIT_LANE_INLINE V vbroadcast(double a) {
    return V{} + a;
}
template <class V>
ORBKIT_LANE_INLINE V vabs(V v) {
    return from_bits<V>(bits_of(v) & 0x7fffffffffffffffull);
}
// The correctly rounded square root of each lane (IEEE: exact in every width).
template <class V>
ORBKIT_LANE_INLINE V vsqrt(V v) {
    constexpr int W = lane_traits<V>::W;
#if defined(__AVX512F__)
    if constexpr (W == 8) return __builtin_ia32_sqrtpd512_mask(v, v, -1, 4);  // every lane, current rounding
#endif
#if defined(__AVX__)
    if constexpr (W == 4) return __builtin_ia32_sqrtpd256(v);
#endif
#if defined(__SSE2__)
    if constexpr (W == 2) return __builtin_ia32_sqrtpd(v);
#endif
    if constexpr (W == 1) {
        return __builtin_sqrt(v);
    } else {
        V r;
        for (int i = 0; i < W; ++i) r[i] = __builtin_sqrt(v[i]);
        return r;
    }
}
template <class M>
ORBKIT_LANE_INLINE bool any_lane(M m) {
    if constexpr (sizeof(M) == 1) {
        return m;
    } else {
        bool a = false;
        for (int i = 0; i < int(sizeof(M) / 8); ++i) a = a || m[i] != 0;
        return a;
    }
}

template <class M>
ORBKIT_LANE_INLINE bool all_lanes(M m) {
    if constexpr (sizeof(M) == 1) {
        return m;
    } else {
        bool a = true;
        for (int i = 0; i < int(sizeof(M) / 8); ++i) a = a && m[i] != 0;
        return a;
    }
}

inline constexpr double round_shift = 0x1.8p52;  // x + 1.5 2^52 - 1.5 2^52 rounds x to an integer

// x rounded to the nearest integer (ties to even), for |x| < 2^51, as a double; its
// low bits, two's complement, in the integer view of x + round_shift.
template <class V>
ORBKIT_LANE_INLINE V round_int(V x) {
    return (x + round_shift) - round_shift;
}

// ---- natural logarithm: x = 2^k (1 + f), 1 + f in [sqrt(2)/2, sqrt(2)),
// log(1 + f) = 2 atanh(s) with s = f / (2 + f), a polynomial in s^2 of degree 7.
template <class V>
ORBKIT_LANE_INLINE V fm_log(V x) {
    typedef typename lane_traits<V>::U U;
    typedef typename lane_traits<V>::M M;
    constexpr double ln2_hi = 6.93147180369123816490e-01;  // 0x3fe62e42fee00000: k ln2_hi is exact
    constexpr double ln2_lo = 1.90821492927058770002e-10;
    constexpr double Lg1 = 6.666666666666735130e-01, Lg2 = 3.999999999940941908e-01,
                     Lg3 = 2.857142874366239149e-01, Lg4 = 2.222219843214978396e-01,
                     Lg5 = 1.818357216161805012e-01, Lg6 = 1.531383769920937332e-01,
                     Lg7 = 1.479819860511658591e-01;
    const M sub = x < 0x1p-1022;  // subnormal (and zero, negative): scaled into the normal range
    const V xs = vsel<V>(sub, x * 0x1p54, x);
    const U hx = bits_of(xs);
    const U e = (hx >> 52) & 0x7ff;
    const U m20 = (hx >> 32) & 0xfffff;  // the high 20 bits of the mantissa
    // i: 0x100000 when the mantissa is at least sqrt(2)'s, then 1 + f = x / 2^(k+1)
    const U i = (m20 + 0x95f64) & 0x100000;
    const V onef = from_bits<V>((hx & 0x000fffffffffffffull) | ((i ^ 0x3ff00000) << 32));
    const V f = onef - 1.0;
    const V two52 = vbroadcast<V>(0x1p52);
    const V ebits = from_bits<V>((e + (i >> 20)) | bits_of(two52));
    const V dk = ((ebits - 0x1p52) - 1023.0) - vsel<V>(sub, vbroadcast<V>(54.0), V{});
    const V m20d = from_bits<V>(m20 | bits_of(two52)) - 0x1p52;

    // |f| < 2^-20: three terms of the series
    const V r_small = f * f * (0.5 - 0.33333333333333333 * f);
    const V small = dk * ln2_hi - ((r_small - dk * ln2_lo) - f);
    // otherwise
    const V s = f / (2.0 + f);
    const V z = s * s;
    const V w = z * z;
    const V t1 = w * (Lg2 + w * (Lg4 + w * Lg6));
    const V t2 = z * (Lg1 + w * (Lg3 + w * (Lg5 + w * Lg7)));
    const V R = t2 + t1;
    const V hfsq = 0.5 * f * f;
    const V wide = dk * ln2_hi - ((hfsq - (s * (hfsq + R) + dk * ln2_lo)) - f);
    const V narrow = dk * ln2_hi - ((s * (f - R) - dk * ln2_lo) - f);
    const M near_sqrt2 = (m20d >= double(0x6147a)) & (m20d <= double(0x6b851));
    V r = vsel<V>(near_sqrt2, wide, narrow);
    const M tiny_f = (m20d == double(0xffffe)) | (m20d == double(0xfffff)) | (m20d == 0.0);
    r = vsel<V>(tiny_f, small, r);
    // the edges: log 0 = -inf, log of a negative number or NaN is NaN, log inf = inf
    r = vsel<V>(x == 0.0, vbroadcast<V>(-__builtin_inf()), r);
    r = vsel<V>(x < 0.0, vbroadcast<V>(__builtin_nan("")), r);
    r = vsel<V>(x == __builtin_inf(), x, r);
    r = vsel<V>(x != x, x, r);
    return r;
}

// ---- exponential: x = k ln2 + r, |r| <= ln2 / 2, e^r from a rational form whose
// polynomial has degree 5 in r^2; then scaled by 2^k. fm_exp_tail takes the argument
// as an unevaluated sum x + tail (|tail| much below an ulp of x), for pow.
template <class V>
ORBKIT_LANE_INLINE V fm_exp_tail(V x, V tail) {
    typedef typename lane_traits<V>::U U;
    constexpr double o_threshold = 7.09782712893383973096e+02;
    constexpr double u_threshold = -7.45133219101941108420e+02;
    constexpr double ln2_hi = 6.93147180369123816490e-01, ln2_lo = 1.90821492927058770002e-10,
                     invln2 = 1.44269504088896338700e+00;
    constexpr double P1 = 1.66666666666666019037e-01, P2 = -2.77777777770155933842e-03,
                     P3 = 6.61375632143793436117e-05, P4 = -1.65339022054652515390e-06,
                     P5 = 4.13813679705723846039e-08;
    const V kf = round_int(x * invln2);
    const V hi = x - kf * ln2_hi;  // exact: kf ln2_hi has at most 42 significant bits
    const V lo = kf * ln2_lo - tail;
    const V r = hi - lo;
    const V t = r * r;
    const V c = r - t * (P1 + t * (P2 + t * (P3 + t * (P4 + t * P5))));
    const V y = 1.0 - ((lo - (r * c) / (2.0 - c)) - hi);
    // 2^k in two factors, each a normal double: the second brings results below
    // 2^-1022 into the subnormals with one rounding, and 2^1024 within reach
    const V k1 = vsel<V>(kf < -1021.0, kf + 1000.0, vsel<V>(kf > 1000.0, kf - 500.0, kf));
    const V s2 = vsel<V>(kf < -1021.0, vbroadcast<V>(0x1p-1000),
                         vsel<V>(kf > 1000.0, vbroadcast<V>(0x1p500), vbroadcast<V>(1.0)));
    const U kb = bits_of(k1 + round_shift);
    const V s1 = from_bits<V>((kb + 1023) << 52);
    V res = (y * s1) * s2;
    res = vsel<V>(x > o_threshold, vbroadcast<V>(__builtin_inf()), res);
    res = vsel<V>(x < u_threshold, V{}, res);
    return res;
}
template <class V>
ORBKIT_LANE_INLINE V fm_exp(V x) {
    return fm_exp_tail(x, V{});
}

// ---- sine and cosine: x = n pi/2 + (y0 + y1), |y0 + y1| <= pi/4, with pi/2 in
// three parts of 33 bits (each product with n < 2^20 exact) and their tails.
template <class V>
ORBKIT_LANE_INLINE void fm_sincos(V x, V& sn, V& cs) {
    typedef typename lane_traits<V>::U U;
    typedef typename lane_traits<V>::M M;
    constexpr double invpio2 = 6.36619772367581382433e-01;
    constexpr double pio2_1 = 1.57079632673412561417e+00,
                     pio2_2 = 6.07710050630396597660e-11, pio2_2t = 2.02226624879595063154e-21,
                     pio2_3 = 2.02226624871116645580e-21, pio2_3t = 8.47842766036889956997e-32;
    constexpr double S1 = -1.66666666666666324348e-01, S2 = 8.33333333332248946124e-03,
                     S3 = -1.98412698298579493134e-04, S4 = 2.75573137070700676789e-06,
                     S5 = -2.50507602534068634195e-08, S6 = 1.58969099521155010221e-10;
    constexpr double C1 = 4.16666666666666019037e-02, C2 = -1.38888888888741095749e-03,
                     C3 = 2.48015872894767294178e-05, C4 = -2.75573143513906633035e-07,
                     C5 = 2.08757232129817482790e-09, C6 = -1.13596475577881948265e-11;
    const V shifted = x * invpio2 + round_shift;
    const U n = bits_of(shifted);  // the quadrant in the low bits
    const V fn = shifted - round_shift;
    // the first part (x - fn pio2_1 is exact), then the second with the rounding error
    // of its subtraction carried into the tail: 118 bits of n pi/2
    const V r1 = x - fn * pio2_1;
    V w = fn * pio2_2;
    V r = r1 - w;
    w = fn * pio2_2t - ((r1 - r) - w);
    V y0 = r - w;
    // where that cancels more than 49 bits of x (x close to a multiple of pi/2), the
    // third part too: 151 bits
    const V r2 = r;
    const V w3 = fn * pio2_3;
    const V r3 = r2 - w3;
    const V t3 = fn * pio2_3t - ((r2 - r3) - w3);
    const typename lane_traits<V>::M third = vabs(y0) * 0x1p49 < vabs(x);
    r = vsel<V>(third, r3, r);
    w = vsel<V>(third, t3, w);
    y0 = r - w;
    const V y1 = (r - y0) - w;
    // kernels on [-pi/4, pi/4] with the tail y1
    const V z = y0 * y0;
    const V zz = z * z;
    const V rs = S2 + z * (S3 + z * S4) + z * zz * (S5 + z * S6);
    const V v = z * y0;
    const V ks = y0 - ((z * (0.5 * y1 - v * rs) - y1) - v * S1);
    const V rc = z * (C1 + z * (C2 + z * C3)) + zz * zz * (C4 + z * (C5 + z * C6));
    const V hz = 0.5 * z;
    const V wc = 1.0 - hz;
    const V kc = wc + (((1.0 - wc) - hz) + (z * rc - y0 * y1));
    const M odd = (n & 1) != 0;
    const M flip = (n & 2) != 0;
    const V s = vsel<V>(odd, kc, ks);
    const V c = vsel<V>(odd, -ks, kc);
    sn = vsel<V>(flip, -s, s);
    cs = vsel<V>(flip, -c, c);
}

// ---- arc tangent of |a| for a >= 0 (or inf): reduced to one of five intervals,
// an odd polynomial of degree 21 there.
template <class V>
ORBKIT_LANE_INLINE V fm_atan_abs(V a) {
    typedef typename lane_traits<V>::M M;
    constexpr double aT0 = 3.33333333333329318027e-01, aT1 = -1.99999999998764832476e-01,
                     aT2 = 1.42857142725034663711e-01, aT3 = -1.11111104054623557880e-01,
                     aT4 = 9.09088713343650656196e-02, aT5 = -7.69187620504482999495e-02,
                     aT6 = 6.66107313738753120669e-02, aT7 = -5.83357013379057348645e-02,
                     aT8 = 4.97687799461593236017e-02, aT9 = -3.65315727442169155270e-02,
                     aT10 = 1.62858201153657823623e-02;
    const M id0 = a >= 0.4375, id1 = a >= 0.6875, id2 = a >= 1.1875, id3 = a >= 2.4375;
    // x = num / den on each interval: a; (2a - 1)/(2 + a); (a - 1)/(a + 1); (a - 1.5)/(1 + 1.5a); -1/a
    V num = vsel<V>(id0, 2.0 * a - 1.0, a);
    V den = vsel<V>(id0, 2.0 + a, vbroadcast<V>(1.0));
    num = vsel<V>(id1, a - 1.0, num);
    den = vsel<V>(id1, a + 1.0, den);
    num = vsel<V>(id2, a - 1.5, num);
    den = vsel<V>(id2, 1.0 + 1.5 * a, den);
    num = vsel<V>(id3, vbroadcast<V>(-1.0), num);
    den = vsel<V>(id3, a, den);
    const V x = num / den;
    const V z = x * x;
    const V w = z * z;
    const V s1 = z * (aT0 + w * (aT2 + w * (aT4 + w * (aT6 + w * (aT8 + w * aT10)))));
    const V s2 = w * (aT1 + w * (aT3 + w * (aT5 + w * (aT7 + w * aT9))));
    V hi = vsel<V>(id0, vbroadcast<V>(4.63647609000806093515e-01), V{});
    V lo = vsel<V>(id0, vbroadcast<V>(2.26987774529616870924e-17), V{});
    hi = vsel<V>(id1, vbroadcast<V>(7.85398163397448278999e-01), hi);
    lo = vsel<V>(id1, vbroadcast<V>(3.06161699786838301793e-17), lo);
    hi = vsel<V>(id2, vbroadcast<V>(9.82793723247329054082e-01), hi);
    lo = vsel<V>(id2, vbroadcast<V>(1.39033110312309984516e-17), lo);
    hi = vsel<V>(id3, vbroadcast<V>(1.57079632679489655800e+00), hi);
    lo = vsel<V>(id3, vbroadcast<V>(6.12323399573676603587e-17), lo);
    return vsel<V>(id0, hi - ((x * (s1 + s2) - lo) - x), x - x * (s1 + s2));
}

// ---- atan2(y, x) in (-pi, pi], the angle of the point (x, y): atan |y / x| moved
// into the quadrant of the point.
template <class V>
ORBKIT_LANE_INLINE V fm_atan2(V y, V x) {
    typedef typename lane_traits<V>::M M;
    constexpr double pi = 3.1415926535897931160E+00, pi_lo = 1.2246467991473531772E-16;
    constexpr double pi_o_4 = 7.8539816339744827900E-01;
    const V ax = vabs(x), ay = vabs(y);
    V z = fm_atan_abs(ay / ax);
    // both infinite: a diagonal
    const M both_inf = (ax == __builtin_inf()) & (ay == __builtin_inf());
    z = vsel<V>(both_inf, vbroadcast<V>(pi_o_4), z);
    const M neg_x = bits_of(x) >> 63 != 0;
    const M neg_y = bits_of(y) >> 63 != 0;
    const M zero = (ax == 0.0) & (ay == 0.0);  // atan2(+-0, +-0): +-0 or +-pi
    z = vsel<V>(zero, V{}, z);
    // x < 0 (or -0): pi - z, written to keep pi's tail
    V r = vsel<V>(neg_x, vsel<V>(both_inf, vbroadcast<V>(3 * pi_o_4), pi - (z - pi_lo)), z);
    r = vsel<V>(neg_y, -r, r);
    r = vsel<V>((x != x) | (y != y), x + y, r);
    return r;
}

// ---- exact sums and products of two doubles (Dekker, without fused multiply-add)
template <class V>
ORBKIT_LANE_INLINE void two_sum(V a, V b, V& s, V& e) {  // s + e = a + b exactly
    s = a + b;
    const V bb = s - a;
    e = (a - (s - bb)) + (b - bb);
}
template <class V>
ORBKIT_LANE_INLINE void split(V a, V& hi, V& lo) {  // a = hi + lo, each of 26 bits at most
    const V c = 134217729.0 * a;                     // 2^27 + 1
    hi = c - (c - a);
    lo = a - hi;
}
template <class V>
ORBKIT_LANE_INLINE void two_prod(V a, V b, V& p, V& e) {  // p + e = a b exactly
    V ah, al, bh, bl;
    split(a, ah, al);
    split(b, bh, bl);
    p = a * b;
    e = ((ah * bh - p) + ah * bl + al * bh) + al * bl;
}

// ---- natural logarithm to about 70 bits, as hi + lo, for x > 0 normal: the
// reduction of fm_log, with s = f / (2 + f) carried as a sum of two doubles; then
// log(1 + f) = 2s + s R(s^2), in which only 2s needs the extra bits.
template <class V>
ORBKIT_LANE_INLINE void fm_log_hilo(V x, V& hi, V& lo) {
    typedef typename lane_traits<V>::U U;
    constexpr double ln2_hi = 6.93147180369123816490e-01, ln2_lo = 1.90821492927058770002e-10;
    constexpr double Lg1 = 6.666666666666735130e-01, Lg2 = 3.999999999940941908e-01,
                     Lg3 = 2.857142874366239149e-01, Lg4 = 2.222219843214978396e-01,
                     Lg5 = 1.818357216161805012e-01, Lg6 = 1.531383769920937332e-01,
                     Lg7 = 1.479819860511658591e-01;
    const U hx = bits_of(x);
    const U e = (hx >> 52) & 0x7ff;
    const U i = (((hx >> 32) & 0xfffff) + 0x95f64) & 0x100000;
    const V onef = from_bits<V>((hx & 0x000fffffffffffffull) | ((i ^ 0x3ff00000) << 32));
    const V f = onef - 1.0;  // exact
    const V two52 = vbroadcast<V>(0x1p52);
    const V dk = (from_bits<V>((e + (i >> 20)) | bits_of(two52)) - 0x1p52) - 1023.0;
    V d_hi, d_lo;
    two_sum<V>(vbroadcast<V>(2.0), f, d_hi, d_lo);  // 2 + f exactly
    const V s_hi = f / d_hi;
    V p, pe;
    two_prod(s_hi, d_hi, p, pe);
    const V s_lo = (((f - p) - pe) - s_hi * d_lo) / (d_hi + d_lo);  // f - s_hi (2 + f), over 2 + f
    const V z = s_hi * s_hi;
    const V w = z * z;
    const V R = z * (Lg1 + w * (Lg3 + w * (Lg5 + w * Lg7))) + w * (Lg2 + w * (Lg4 + w * Lg6));
    const V tail = (s_lo + s_lo) + s_hi * R;
    V a, ae;
    two_sum(dk * ln2_hi, s_hi + s_hi, a, ae);  // both terms exact
    const V rest = (ae + tail) + dk * ln2_lo;
    two_sum(a, rest, hi, lo);
}

// ---- x^y for x >= 0 as e^(y ln x), with ln x to about 70 bits and the product
// y ln x as a sum of two doubles: the error of e^u alone, for |y ln x| up to 709.
// A zero, subnormal, infinite or NaN x takes the plain e^(y log x).
template <class V>
ORBKIT_LANE_INLINE V fm_pow(V x, V y) {
    typedef typename lane_traits<V>::M M;
    const M normal = (x >= 0x1p-1022) & (x < __builtin_inf());
    const V xs = vsel<V>(normal, x, vbroadcast<V>(1.0));
    V lh, ll;
    fm_log_hilo(xs, lh, ll);
    V ph, pe;
    two_prod(y, lh, ph, pe);
    V hi, lo;
    two_sum(ph, pe + y * ll, hi, lo);
    const V r = fm_exp_tail(hi, lo);
    const M inside = normal & (hi == hi) & (vabs(hi) < __builtin_inf());
    if (all_lanes<M>(inside)) return r;
    // the edges as e^(y log x) gives them: 0^y, inf^y, a negative or NaN x or y
    return vsel<V>(inside, r, fm_exp(y * fm_log(x)));
}

}  // namespace ORBKIT_LANE_ISA
}  // namespace fast
