#include "actions.h"

#include <cmath>

#include "galaxy.h"
#include "tasks.h"

namespace {

// The radial quadratures use the midpoint rule in the angle u of r = mid - half cos u,
// which maps [0, pi] onto [r_peri, r_apo]. In u the integrands dt/du = half sin u / p_r
// and p_r dr/du are even, 2 pi-periodic and analytic (p_r^2 vanishes like sin^2 u at
// both turning points), so the midpoint rule converges exponentially (Trefethen &
// Weideman 2014, SIAM Review 56, 385). Its node count is tripled (the old nodes are
// every third new one) until two estimates agree.
inline constexpr int first_nodes = 32;
inline constexpr int max_nodes = 32 * 81;          // four triplings
inline constexpr double quadrature_tol = 1e-13;    // relative change between two node counts
inline constexpr double rounding_scale = 1e-15;    // relative rounding of p_r^2, times r / (r_apo - r_peri)
// Below this (r_apo - r_peri) / (r_apo + r_peri) the quadratures would be known to no
// better than 1e-6, while the epicycle's harmonic limit is exact to O(e^2) = 1e-18.
inline constexpr double epicycle_limit = 1e-9;
inline constexpr int max_terms = 256;              // Fourier terms of the radial angle
inline constexpr double max_log_radius = 700;      // |ln(r / r0)| searched for a turning point (exp stays finite)

// 2 (Phi0(r e^l) - Phi0(r)) / v_c(r)^2 = expm1(2 g l) / g, its limit 2 l for g = 0
double background_rise(double g, double l) { return g == 0 ? 2 * l : std::expm1((g + g) * l) / g; }

// The epicycle frequency at the guiding radius R_g: kappa = sqrt(2 (1 + g)) R_g^(g - 1)
double epicycle_kappa(const params& p, double R_g) { return kratio(p) * std::pow(R_g, p.gamma_ - 1); }

// A radial angle folded into [0, 2 pi) by the sign of the radial velocity: theta on the
// way out, 2 pi - theta on the way in
double radial_angle(double theta, double vr0) {
    const double a = vr0 < 0 ? twopi - theta : theta;
    return a >= twopi ? a - twopi : a;
}

// The star's orbit: scale quantities at its radius r0 and the radial function in
// l = ln(r / r0), written with expm1 so that it keeps its relative precision near r0
// and for nearly circular orbits, where its terms nearly cancel:
//   p_r^2(l) = v_r0^2 + 2 (Phi0(r0) - Phi0(r)) + L^2 / r0^2 - L^2 / r^2
//            = v_r0^2 - v_c0^2 expm1(2 g l) / g - v_t0^2 expm1(-2 l),
// with v_c0^2 = r0^(2g) (the logarithmic potential's limit 2 l for g = 0).
struct radial {
    double g, r0, vr2, vc2, vt2;
    double p2(double l) const { return vr2 - vc2 * background_rise(g, l) - vt2 * std::expm1(-2 * l); }
};

// p_r^2 along the orbit measured from its nearer turning point, where p_r^2 = 0, so that
// it keeps its relative precision right up to the turning point: with d = ln(r / r_t),
// v_c and v_t the circular and tangential speeds at r_t,
//   p_r^2 = -v_t^2 expm1(-2 d) - v_c^2 expm1(2 g d) / g,
// and r - r_peri = 2 half sin^2(u/2), r_apo - r = 2 half cos^2(u/2) exactly from u.
struct between_turns {
    double g, rp, ra, mid, half;
    double vc2_p, vt2_p, vc2_a, vt2_a;  // at pericentre and apocentre
    between_turns(const radial& f, double rp_, double ra_) : g(f.g), rp(rp_), ra(ra_) {
        mid = 0.5 * (ra + rp);
        half = 0.5 * (ra - rp);
        const double lp = std::log(rp / f.r0), la = std::log(ra / f.r0);
        vc2_p = f.vc2 * std::exp((g + g) * lp);
        vt2_p = f.vt2 * std::exp(-2 * lp);
        vc2_a = f.vc2 * std::exp((g + g) * la);
        vt2_a = f.vt2 * std::exp(-2 * la);
    }
    double radius(double u) const { return mid - half * std::cos(u); }
    double p2(double u) const {
        double d, vc2, vt2;
        if (u < twopi / 4) {
            const double s = std::sin(0.5 * u);
            d = std::log1p(2 * half * (s * s) / rp);
            vc2 = vc2_p;
            vt2 = vt2_p;
        } else {
            const double c = std::cos(0.5 * u);
            d = std::log1p(-2 * half * (c * c) / ra);
            vc2 = vc2_a;
            vt2 = vt2_a;
        }
        return -vt2 * std::expm1(-2 * d) - vc2 * background_rise(g, d);
    }
};

// The root of p2 between a (p2 < 0) and b (p2 >= 0) by bisection to the last bits of l.
double turning_point(const radial& f, double a, double b) {
    for (int i = 0; i < 2000; ++i) {
        const double m = 0.5 * (a + b);
        if (m == a || m == b || std::fabs(b - a) <= 0x1p-62) break;
        if (f.p2(m) < 0) a = m; else b = m;
    }
    return b;
}

// Samples of the two integrands at the midpoint nodes and what is computed from them.
struct orbit_quadrature {
    double mid, half;
    double T = 0, J = 0;                  // half radial period and radial action
    double c[max_terms + 1];              // theta(u) = u + sum_k c_k sin(k u)
    int terms = 0;
};

// Fills in the orbit between l_peri and l_apo; false when the node count ran out.
bool quadrature(const radial& f, double rp, double ra, orbit_quadrature& q, double* G, double* P) {
    const between_turns b(f, rp, ra);
    q.mid = b.mid;
    q.half = b.half;
    auto sample = [&](double u, double& g, double& pr) {
        const double p2 = b.p2(u);
        // rounding can leave p_r^2 a hair below 0 at a node of a nearly circular orbit
        pr = p2 > 0 ? std::sqrt(p2) : 0;
        g = pr > 0 ? q.half * std::sin(u) / pr : 0;
    };
    int n = first_nodes;
    for (int j = 0; j < n; ++j) sample((j + 0.5) * pi / n, G[j], P[j]);
    auto sums = [&](int count, double& t, double& jr) {
        double st = 0, sj = 0;
        for (int j = 0; j < count; ++j) {
            st += G[j];
            sj += P[j] * (q.half * std::sin((j + 0.5) * pi / count));
        }
        t = st * (pi / count);
        jr = sj / count;  // (1/pi) int p_r (dr/du) du over [0, pi]
    };
    double t_old, j_old;
    sums(n, t_old, j_old);
    // p_r^2 of a nearly circular orbit is known to some eps r / (r_apo - r_peri) relative:
    // no estimate settles closer than that
    const double tol = std::fmax(quadrature_tol, rounding_scale * q.mid / q.half);
    bool settled = false;
    while (3 * n <= max_nodes) {
        for (int j = n - 1; j >= 0; --j) {  // old node j is new node 3 j + 1
            G[3 * j + 1] = G[j];
            P[3 * j + 1] = P[j];
        }
        n *= 3;
        for (int i = 0; i < n; i += 3) {
            sample((i + 0.5) * pi / n, G[i], P[i]);
            sample((i + 2.5) * pi / n, G[i + 2], P[i + 2]);
        }
        double t_new, j_new;
        sums(n, t_new, j_new);
        const bool close = std::fabs(t_new - t_old) <= tol * t_new && std::fabs(j_new - j_old) <= tol * j_new;
        t_old = t_new;
        j_old = j_new;
        if (close) {
            settled = true;
            break;
        }
    }
    q.T = t_old;
    q.J = j_old;
    if (!settled || !(q.T > 0)) return false;
    // Cosine coefficients of dt/du from the same samples (a discrete cosine transform):
    // t(u) = (a_0 u + sum_k a_k sin(k u) / k) with a_0 = T / pi, so that
    // theta = pi t(u) / T = u + sum_k (a_k / a_0) sin(k u) / k.
    // the estimate on a third of the nodes had already settled: so had the terms it
    // resolves, and those beyond are below the tolerance
    q.terms = n / 3 - 1 < max_terms ? n / 3 - 1 : max_terms;
    for (int k = 0; k <= q.terms; ++k) q.c[k] = 0;
    for (int j = 0; j < n; ++j) {
        const double u = (j + 0.5) * pi / n;
        const double c1 = std::cos(u);
        double cprev = 1, ck = c1;  // cos(k u) by the Chebyshev recurrence
        for (int k = 1; k <= q.terms; ++k) {
            q.c[k] += G[j] * ck;
            const double next = 2 * c1 * ck - cprev;
            cprev = ck;
            ck = next;
        }
    }
    const double a0 = q.T / pi;
    for (int k = 1; k <= q.terms; ++k) q.c[k] = (2.0 / n) * q.c[k] / (a0 * k);
    return true;
}

double theta_of(const orbit_quadrature& q, double u) {
    double s = u;
    for (int k = 1; k <= q.terms; ++k) s += q.c[k] * std::sin(k * u);
    return s;
}

// Everything of one state up to the quadrature; q is filled when the orbit is not circular.
struct star_orbit {
    radial f;
    double l_peri, l_apo;
    bool circular;
    double vr0;
};

actions_status setup_orbit(const params& p, double x, double y, double vx, double vy, orbit_actions& a,
                           star_orbit& s) {
    const double g = p.gamma_;
    if (!(std::isfinite(x) && std::isfinite(y) && std::isfinite(vx) && std::isfinite(vy)))
        return actions_status::not_finite;
    if (!(g > -1)) return actions_status::no_circular;
    const double r0 = std::sqrt(x * x + y * y);
    a.L = x * vy - y * vx;
    a.E = 0.5 * (vx * vx + vy * vy) + gphi0(p, r0, 0);
    if (!(r0 > 0) || a.L == 0) return actions_status::centre;
    if (g < 0 && !(a.E < 0)) return actions_status::unbound;
    a.R_g = std::pow(std::fabs(a.L), 1 / (1 + g));
    s.vr0 = (x * vx + y * vy) / r0;
    s.f = radial{g, r0, s.vr0 * s.vr0, std::pow(r0, g + g), sq(a.L / r0)};
    // a point inside the orbit: the star itself (p_r^2 = v_r0^2) or the guiding radius,
    // where p_r^2 is largest
    const double lc = std::log(a.R_g / r0);
    const double l_in = s.f.p2(lc) > s.f.vr2 ? lc : 0;
    const double p_in = l_in == 0 ? s.f.vr2 : s.f.p2(lc);
    if (!(p_in > 0)) {  // circular to the last bit
        s.circular = true;
        s.l_peri = s.l_apo = lc;
        return actions_status::ok;
    }
    s.circular = false;
    double lo = l_in - 1;
    while (s.f.p2(lo) >= 0) {
        lo = l_in - 2 * (l_in - lo);
        if (lo < -max_log_radius) return actions_status::centre;
    }
    double hi = l_in + 1;
    while (s.f.p2(hi) >= 0) {
        hi = l_in + 2 * (hi - l_in);
        if (hi > max_log_radius) return actions_status::unbound;
    }
    s.l_peri = turning_point(s.f, lo, l_in);
    s.l_apo = turning_point(s.f, hi, l_in);
    return actions_status::ok;
}

void set_nan(orbit_actions& a) {
    a.L = a.E = a.J_R = a.r_peri = a.r_apo = a.e = a.R_g = a.Omega_R = a.theta_R = NAN;
}

// The star's place on its radial oscillation as the angle u of r = mid - half cos u,
// from its distances to both turning points (no cancellation near either).
double angle_u(const star_orbit& s) {
    const double a = -s.f.r0 * std::expm1(s.l_peri);  // r0 - r_peri
    const double b = s.f.r0 * std::expm1(s.l_apo);    // r_apo - r0
    return std::atan2(2 * std::sqrt((a > 0 ? a : 0) * (b > 0 ? b : 0)), b - a);
}

}  // namespace

actions_status actions_of(const params& p, double x, double y, double vx, double vy, orbit_actions& out) {
    set_nan(out);
    orbit_actions a = out;
    star_orbit s;
    actions_status why = setup_orbit(p, x, y, vx, vy, a, s);
    if (why != actions_status::ok) {  // what exists of an orbit without actions
        out.L = a.L;
        out.E = a.E;
        return why;
    }
    const double kappa = epicycle_kappa(p, a.R_g);
    if (s.circular) {
        a.r_peri = a.r_apo = a.R_g;
        a.J_R = a.e = 0;
        a.Omega_R = kappa;  // the epicycle frequency: the limit of the radial frequency
        a.theta_R = 0;      // undefined on a circle
        out = a;
        return why;
    }
    a.r_peri = s.f.r0 * std::exp(s.l_peri);
    a.r_apo = s.f.r0 * std::exp(s.l_apo);
    a.e = (a.r_apo - a.r_peri) / (a.r_apo + a.r_peri);
    if (a.e < epicycle_limit) {  // a harmonic epicycle of amplitude X: J_R = kappa X^2 / 2
        const double X = 0.5 * (a.r_apo - a.r_peri);
        a.J_R = 0.5 * kappa * (X * X);
        a.Omega_R = kappa;
        a.theta_R = radial_angle(angle_u(s), s.vr0);
        out = a;
        return why;
    }
    double G[max_nodes], P[max_nodes];
    orbit_quadrature q;
    if (!quadrature(s.f, a.r_peri, a.r_apo, q, G, P)) return actions_status::no_converge;
    a.J_R = q.J;
    a.Omega_R = pi / q.T;
    a.theta_R = radial_angle(theta_of(q, angle_u(s)), s.vr0);
    out = a;
    return why;
}

actions_status orbit_point(const params& p, double x, double y, double vx, double vy, double theta,
                           double& r, double& v_r) {
    r = v_r = NAN;
    orbit_actions a;
    star_orbit s;
    actions_status why = setup_orbit(p, x, y, vx, vy, a, s);
    if (why != actions_status::ok) return why;
    if (!std::isfinite(theta)) return actions_status::not_finite;
    if (s.circular) {
        r = a.R_g;
        v_r = 0;
        return why;
    }
    const double rp = s.f.r0 * std::exp(s.l_peri), ra = s.f.r0 * std::exp(s.l_apo);
    double t = std::fmod(theta, twopi);
    if (t < 0) t += twopi;
    if ((ra - rp) / (ra + rp) < epicycle_limit) {  // the harmonic epicycle: theta = u
        const double kappa = epicycle_kappa(p, a.R_g);
        r = 0.5 * (ra + rp) - 0.5 * (ra - rp) * std::cos(t);
        v_r = kappa * (0.5 * (ra - rp)) * std::sin(t);
        return why;
    }
    double G[max_nodes], P[max_nodes];
    orbit_quadrature q;
    if (!quadrature(s.f, rp, ra, q, G, P)) return actions_status::no_converge;
    const bool inward = t > pi;
    if (inward) t = twopi - t;
    // theta(u) rises monotonically from 0 to pi: Newton's method kept inside a bracket
    double lo = 0, hi = pi, u = t;
    for (int i = 0; i < 100; ++i) {
        const double f = theta_of(q, u) - t;
        if (f < 0) lo = u; else hi = u;
        double d = 1;
        for (int k = 1; k <= q.terms; ++k) d += k * q.c[k] * std::cos(k * u);
        double next = u - f / d;
        if (!(next > lo && next < hi)) next = 0.5 * (lo + hi);
        if (std::fabs(next - u) <= 1e-15 || hi - lo <= 1e-15) {
            u = next;
            break;
        }
        u = next;
    }
    const between_turns b(s.f, rp, ra);
    r = b.radius(u);
    const double p2 = b.p2(u);
    v_r = p2 > 0 ? std::sqrt(p2) : 0;
    if (inward) v_r = -v_r;
    return why;
}

void actions_stars(const params& p, long n, const double* states, orbit_actions* out, actions_status* why,
                   int threads) {
    for_tasks(n, threads, [&](long i) {
        const double* w = states + 4 * i;
        why[i] = actions_of(p, w[0], w[1], w[2], w[3], out[i]);
    });
}

void orbit_points(const params& p, long n, const double* states, const double* theta, double* rv,
                  actions_status* why, int threads) {
    for_tasks(n, threads, [&](long i) {
        const double* w = states + 4 * i;
        why[i] = orbit_point(p, w[0], w[1], w[2], w[3], theta[i], rv[2 * i], rv[2 * i + 1]);
    });
}
