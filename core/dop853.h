// eighth-order Runge-Kutta step with step-size control and seventh-order dense output
#pragma once

#include <atomic>
#include <cmath>

// The explicit method of Dormand and Prince of order 8 with embedded error estimators of
// orders 5 and 3, and its continuous extension of order 7, with the coefficients as
// published in E. Hairer, S. P. Norsett, G. Wanner, "Solving Ordinary Differential
// Equations I: Nonstiff Problems", 2nd ed., Springer 1993, section II.10. Names follow the
// book: c_i nodes, a_ij stages, b_i weights, er_i the fifth-order error, bhh_i the
// third-order one, d_ij the dense output. Stages 13..16 extend the tableau for the dense
// output; stage 13 is the derivative at the end of the step, which is also the first
// stage of the next one.
namespace dop853_coef {
inline constexpr double c2 = 0.526001519587677318785587544488e-01;
inline constexpr double c3 = 0.789002279381515978178381316732e-01;
inline constexpr double c4 = 0.118350341907227396726757197510e+00;
inline constexpr double c5 = 0.281649658092772603273242802490e+00;
inline constexpr double c6 = 0.333333333333333333333333333333e+00;
inline constexpr double c7 = 0.25e+00;
inline constexpr double c8 = 0.307692307692307692307692307692e+00;
inline constexpr double c9 = 0.651282051282051282051282051282e+00;
inline constexpr double c10 = 0.6e+00;
inline constexpr double c11 = 0.857142857142857142857142857142e+00;
inline constexpr double c14 = 0.1e+00;
inline constexpr double c15 = 0.2e+00;
inline constexpr double c16 = 0.777777777777777777777777777778e+00;

inline constexpr double b1 = 5.42937341165687622380535766363e-2;
inline constexpr double b6 = 4.45031289275240888144113950566e0;
inline constexpr double b7 = 1.89151789931450038304281599044e0;
inline constexpr double b8 = -5.8012039600105847814672114227e0;
inline constexpr double b9 = 3.1116436695781989440891606237e-1;
inline constexpr double b10 = -1.52160949662516078556178806805e-1;
inline constexpr double b11 = 2.01365400804030348374776537501e-1;
inline constexpr double b12 = 4.47106157277725905176885569043e-2;

inline constexpr double bhh1 = 0.244094488188976377952755905512e+00;
inline constexpr double bhh2 = 0.733846688281611857341361741547e+00;
inline constexpr double bhh3 = 0.220588235294117647058823529412e-01;

inline constexpr double er1 = 0.1312004499419488073250102996e-01;
inline constexpr double er6 = -0.1225156446376204440720569753e+01;
inline constexpr double er7 = -0.4957589496572501915214079952e+00;
inline constexpr double er8 = 0.1664377182454986536961530415e+01;
inline constexpr double er9 = -0.3503288487499736816886487290e+00;
inline constexpr double er10 = 0.3341791187130174790297318841e+00;
inline constexpr double er11 = 0.8192320648511571246570742613e-01;
inline constexpr double er12 = -0.2235530786388629525884427845e-01;

inline constexpr double a21 = 5.26001519587677318785587544488e-2;
inline constexpr double a31 = 1.97250569845378994544595329183e-2;
inline constexpr double a32 = 5.91751709536136983633785987549e-2;
inline constexpr double a41 = 2.95875854768068491816892993775e-2;
inline constexpr double a43 = 8.87627564304205475450678981324e-2;
inline constexpr double a51 = 2.41365134159266685502369798665e-1;
inline constexpr double a53 = -8.84549479328286085344864962717e-1;
inline constexpr double a54 = 9.24834003261792003115737966543e-1;
inline constexpr double a61 = 3.7037037037037037037037037037e-2;
inline constexpr double a64 = 1.70828608729473871279604482173e-1;
inline constexpr double a65 = 1.25467687566822425016691814123e-1;
inline constexpr double a71 = 3.7109375e-2;
inline constexpr double a74 = 1.70252211019544039314978060272e-1;
inline constexpr double a75 = 6.02165389804559606850219397283e-2;
inline constexpr double a76 = -1.7578125e-2;
inline constexpr double a81 = 3.70920001185047927108779319836e-2;
inline constexpr double a84 = 1.70383925712239993810214054705e-1;
inline constexpr double a85 = 1.07262030446373284651809199168e-1;
inline constexpr double a86 = -1.53194377486244017527936158236e-2;
inline constexpr double a87 = 8.27378916381402288758473766002e-3;
inline constexpr double a91 = 6.24110958716075717114429577812e-1;
inline constexpr double a94 = -3.36089262944694129406857109825e0;
inline constexpr double a95 = -8.68219346841726006818189891453e-1;
inline constexpr double a96 = 2.75920996994467083049415600797e1;
inline constexpr double a97 = 2.01540675504778934086186788979e1;
inline constexpr double a98 = -4.34898841810699588477366255144e1;
inline constexpr double a101 = 4.77662536438264365890433908527e-1;
inline constexpr double a104 = -2.48811461997166764192642586468e0;
inline constexpr double a105 = -5.90290826836842996371446475743e-1;
inline constexpr double a106 = 2.12300514481811942347288949897e1;
inline constexpr double a107 = 1.52792336328824235832596922938e1;
inline constexpr double a108 = -3.32882109689848629194453265587e1;
inline constexpr double a109 = -2.03312017085086261358222928593e-2;
inline constexpr double a111 = -9.3714243008598732571704021658e-1;
inline constexpr double a114 = 5.18637242884406370830023853209e0;
inline constexpr double a115 = 1.09143734899672957818500254654e0;
inline constexpr double a116 = -8.14978701074692612513997267357e0;
inline constexpr double a117 = -1.85200656599969598641566180701e1;
inline constexpr double a118 = 2.27394870993505042818970056734e1;
inline constexpr double a119 = 2.49360555267965238987089396762e0;
inline constexpr double a1110 = -3.0467644718982195003823669022e0;
inline constexpr double a121 = 2.27331014751653820792359768449e0;
inline constexpr double a124 = -1.05344954667372501984066689879e1;
inline constexpr double a125 = -2.00087205822486249909675718444e0;
inline constexpr double a126 = -1.79589318631187989172765950534e1;
inline constexpr double a127 = 2.79488845294199600508499808837e1;
inline constexpr double a128 = -2.85899827713502369474065508674e0;
inline constexpr double a129 = -8.87285693353062954433549289258e0;
inline constexpr double a1210 = 1.23605671757943030647266201528e1;
inline constexpr double a1211 = 6.43392746015763530355970484046e-1;

inline constexpr double a141 = 5.61675022830479523392909219681e-2;
inline constexpr double a147 = 2.53500210216624811088794765333e-1;
inline constexpr double a148 = -2.46239037470802489917441475441e-1;
inline constexpr double a149 = -1.24191423263816360469010140626e-1;
inline constexpr double a1410 = 1.5329179827876569731206322685e-1;
inline constexpr double a1411 = 8.20105229563468988491666602057e-3;
inline constexpr double a1412 = 7.56789766054569976138603589584e-3;
inline constexpr double a1413 = -8.298e-3;
inline constexpr double a151 = 3.18346481635021405060768473261e-2;
inline constexpr double a156 = 2.83009096723667755288322961402e-2;
inline constexpr double a157 = 5.35419883074385676223797384372e-2;
inline constexpr double a158 = -5.49237485713909884646569340306e-2;
inline constexpr double a1511 = -1.08347328697249322858509316994e-4;
inline constexpr double a1512 = 3.82571090835658412954920192323e-4;
inline constexpr double a1513 = -3.40465008687404560802977114492e-4;
inline constexpr double a1514 = 1.41312443674632500278074618366e-1;
inline constexpr double a161 = -4.28896301583791923408573538692e-1;
inline constexpr double a166 = -4.69762141536116384314449447206e0;
inline constexpr double a167 = 7.68342119606259904184240953878e0;
inline constexpr double a168 = 4.06898981839711007970213554331e0;
inline constexpr double a169 = 3.56727187455281109270669543021e-1;
inline constexpr double a1613 = -1.39902416515901462129418009734e-3;
inline constexpr double a1614 = 2.9475147891527723389556272149e0;
inline constexpr double a1615 = -9.15095847217987001081870187138e0;

inline constexpr double d41 = -0.84289382761090128651353491142e+01;
inline constexpr double d46 = 0.56671495351937776962531783590e+00;
inline constexpr double d47 = -0.30689499459498916912797304727e+01;
inline constexpr double d48 = 0.23846676565120698287728149680e+01;
inline constexpr double d49 = 0.21170345824450282767155149946e+01;
inline constexpr double d410 = -0.87139158377797299206789907490e+00;
inline constexpr double d411 = 0.22404374302607882758541771650e+01;
inline constexpr double d412 = 0.63157877876946881815570249290e+00;
inline constexpr double d413 = -0.88990336451333310820698117400e-01;
inline constexpr double d414 = 0.18148505520854727256656404962e+02;
inline constexpr double d415 = -0.91946323924783554000451984436e+01;
inline constexpr double d416 = -0.44360363875948939664310572000e+01;
inline constexpr double d51 = 0.10427508642579134603413151009e+02;
inline constexpr double d56 = 0.24228349177525818288430175319e+03;
inline constexpr double d57 = 0.16520045171727028198505394887e+03;
inline constexpr double d58 = -0.37454675472269020279518312152e+03;
inline constexpr double d59 = -0.22113666853125306036270938578e+02;
inline constexpr double d510 = 0.77334326684722638389603898808e+01;
inline constexpr double d511 = -0.30674084731089398182061213626e+02;
inline constexpr double d512 = -0.93321305264302278729567221706e+01;
inline constexpr double d513 = 0.15697238121770843886131091075e+02;
inline constexpr double d514 = -0.31139403219565177677282850411e+02;
inline constexpr double d515 = -0.93529243588444783865713862664e+01;
inline constexpr double d516 = 0.35816841486394083752465898540e+02;
inline constexpr double d61 = 0.19985053242002433820987653617e+02;
inline constexpr double d66 = -0.38703730874935176555105901742e+03;
inline constexpr double d67 = -0.18917813819516756882830838328e+03;
inline constexpr double d68 = 0.52780815920542364900561016686e+03;
inline constexpr double d69 = -0.11573902539959630126141871134e+02;
inline constexpr double d610 = 0.68812326946963000169666922661e+01;
inline constexpr double d611 = -0.10006050966910838403183860980e+01;
inline constexpr double d612 = 0.77771377980534432092869265740e+00;
inline constexpr double d613 = -0.27782057523535084065932004339e+01;
inline constexpr double d614 = -0.60196695231264120758267380846e+02;
inline constexpr double d615 = 0.84320405506677161018159903784e+02;
inline constexpr double d616 = 0.11992291136182789328035130030e+02;
inline constexpr double d71 = -0.25693933462703749003312586129e+02;
inline constexpr double d76 = -0.15418974869023643374053993627e+03;
inline constexpr double d77 = -0.23152937917604549567536039109e+03;
inline constexpr double d78 = 0.35763911791061412378285349910e+03;
inline constexpr double d79 = 0.93405324183624310003907691704e+02;
inline constexpr double d710 = -0.37458323136451633156875139351e+02;
inline constexpr double d711 = 0.10409964950896230045147246184e+03;
inline constexpr double d712 = 0.29840293426660503123344363579e+02;
inline constexpr double d713 = -0.43533456590011143754432175058e+02;
inline constexpr double d714 = 0.96324553959188282948394950600e+02;
inline constexpr double d715 = -0.39177261675615439165231486172e+02;
inline constexpr double d716 = -0.14972683625798562581422125276e+03;
}  // namespace dop853_coef

inline constexpr int dop853_capacity = 12;          // equations: x, y, vx, vy of up to three bodies
inline constexpr double dop853_default_tol = 1e-13;  // relative and absolute error per step
inline constexpr double dop853_min_tol = 1e-16;  // below it the rounding of values near 1 exceeds it
inline constexpr double dop853_safety = 0.9;        // the new step aims a little below the estimate
inline constexpr double dop853_max_shrink = 1.0 / 0.333;  // a step shrinks at most 3x at a time
inline constexpr double dop853_max_grow = 1.0 / 6.0;      // and grows at most 6x (as 1/factor)
inline constexpr double dop853_order = 8;             // the error of a step falls as h^8
inline constexpr double dop853_roundoff = 2.3e-16;    // a step below 10x this relative to t is noise

// One orbit under integration: the state at the end of the last accepted step, its
// derivative (the first stage of the next step), the step to try next, and the
// continuous extension of the last accepted step when one was asked for. Plain data:
// one per orbit, on the stack or in the caller's array; the steps allocate nothing.
struct dop853_run {
    int n = 0;                 // number of equations
    double rtol = 0, atol = 0;
    double t = 0;              // time of y
    double h = 0;              // step to try next; its sign is the direction of integration
    double y[dop853_capacity] = {};
    double f[dop853_capacity] = {};
    bool rejected = false;     // the last attempt was rejected: the next step may not grow
    double t_old = 0, h_old = 0;  // the last accepted step went from t_old to t_old + h_old
    bool dense = false;           // rc holds its continuous extension
    double rc[8][dop853_capacity] = {};
    long evaluations = 0, steps = 0, rejections = 0;
};

// Scale of the error of value i: the tolerances against the larger of old and new values.
inline double dop853_scale(const dop853_run& r, double a, double b) {
    const double m = std::fabs(a) > std::fabs(b) ? std::fabs(a) : std::fabs(b);
    return r.atol + r.rtol * m;
}

// Starts an integration of n equations rhs(t, y, f) at (t0, y0) in the direction of
// `dir` (+1 or -1), with the starting step chosen from the first two derivatives
// (book, section II.4) so that a step's error is near the tolerance.
template <class Rhs>
void dop853_start(Rhs&& rhs, dop853_run& r, int n, double t0, const double* y0, double rtol,
                  double atol, double dir) {
    r = dop853_run{};
    r.n = n;
    r.rtol = rtol;
    r.atol = atol;
    r.t = t0;
    for (int i = 0; i < n; ++i) r.y[i] = y0[i];
    rhs(r.t, r.y, r.f);
    double dnf = 0, dny = 0;
    for (int i = 0; i < n; ++i) {
        const double sk = dop853_scale(r, r.y[i], 0);
        dnf += (r.f[i] / sk) * (r.f[i] / sk);
        dny += (r.y[i] / sk) * (r.y[i] / sk);
    }
    double h = (dnf <= 1e-10 || dny <= 1e-10) ? 1e-6 : std::sqrt(dny / dnf) * 0.01;
    double y1[dop853_capacity], f1[dop853_capacity];
    for (int i = 0; i < n; ++i) y1[i] = r.y[i] + (dir * h) * r.f[i];
    rhs(r.t + dir * h, y1, f1);
    double der2 = 0;
    for (int i = 0; i < n; ++i) {
        const double sk = dop853_scale(r, r.y[i], 0);
        der2 += ((f1[i] - r.f[i]) / sk) * ((f1[i] - r.f[i]) / sk);
    }
    der2 = std::sqrt(der2) / h;
    const double der12 = std::fmax(std::fabs(der2), std::sqrt(dnf));
    const double h1 = der12 <= 1e-15 ? std::fmax(1e-6, h * 1e-3) : std::pow(0.01 / der12, 1.0 / dop853_order);
    r.h = dir * std::fmin(100 * h, h1);
    r.evaluations = 2;
}

enum class dop853_outcome { accepted, rejected, failed };

// One attempt at the step r.h from r.t. Accepted: r advances to the end of the step
// and, when `dense` is set, r.rc holds the continuous extension over it (three more
// evaluations). Rejected: r keeps its state with a smaller r.h. Failed: the step no
// longer moves the time (a singular or non-finite right-hand side). A step shortened
// to end on a given time passes that time as t_end, so that it ends there exactly
// (r.t + r.h may differ from it in the last bit).
template <class Rhs>
dop853_outcome dop853_attempt(Rhs&& rhs, dop853_run& r, bool dense, double t_end = NAN) {
    using namespace dop853_coef;
    const int n = r.n;
    const double h = r.h;
    const double t = r.t;
    if (!(0.1 * std::fabs(h) > std::fabs(t) * dop853_roundoff)) return dop853_outcome::failed;
    const double* y = r.y;
    const double* k1 = r.f;
    double k2[dop853_capacity], k3[dop853_capacity], k4[dop853_capacity], k5[dop853_capacity],
        k6[dop853_capacity], k7[dop853_capacity], k8[dop853_capacity], k9[dop853_capacity],
        k10[dop853_capacity], k11[dop853_capacity], k12[dop853_capacity], k13[dop853_capacity],
        y1[dop853_capacity], ynew[dop853_capacity];
    for (int i = 0; i < n; ++i) y1[i] = y[i] + h * a21 * k1[i];
    rhs(t + c2 * h, y1, k2);
    for (int i = 0; i < n; ++i) y1[i] = y[i] + h * (a31 * k1[i] + a32 * k2[i]);
    rhs(t + c3 * h, y1, k3);
    for (int i = 0; i < n; ++i) y1[i] = y[i] + h * (a41 * k1[i] + a43 * k3[i]);
    rhs(t + c4 * h, y1, k4);
    for (int i = 0; i < n; ++i) y1[i] = y[i] + h * (a51 * k1[i] + a53 * k3[i] + a54 * k4[i]);
    rhs(t + c5 * h, y1, k5);
    for (int i = 0; i < n; ++i) y1[i] = y[i] + h * (a61 * k1[i] + a64 * k4[i] + a65 * k5[i]);
    rhs(t + c6 * h, y1, k6);
    for (int i = 0; i < n; ++i)
        y1[i] = y[i] + h * (a71 * k1[i] + a74 * k4[i] + a75 * k5[i] + a76 * k6[i]);
    rhs(t + c7 * h, y1, k7);
    for (int i = 0; i < n; ++i)
        y1[i] = y[i] + h * (a81 * k1[i] + a84 * k4[i] + a85 * k5[i] + a86 * k6[i] + a87 * k7[i]);
    rhs(t + c8 * h, y1, k8);
    for (int i = 0; i < n; ++i)
        y1[i] = y[i] + h * (a91 * k1[i] + a94 * k4[i] + a95 * k5[i] + a96 * k6[i] + a97 * k7[i] +
                            a98 * k8[i]);
    rhs(t + c9 * h, y1, k9);
    for (int i = 0; i < n; ++i)
        y1[i] = y[i] + h * (a101 * k1[i] + a104 * k4[i] + a105 * k5[i] + a106 * k6[i] +
                            a107 * k7[i] + a108 * k8[i] + a109 * k9[i]);
    rhs(t + c10 * h, y1, k10);
    for (int i = 0; i < n; ++i)
        y1[i] = y[i] + h * (a111 * k1[i] + a114 * k4[i] + a115 * k5[i] + a116 * k6[i] +
                            a117 * k7[i] + a118 * k8[i] + a119 * k9[i] + a1110 * k10[i]);
    rhs(t + c11 * h, y1, k11);
    const double tph = std::isnan(t_end) ? t + h : t_end;
    // A step that ends on a switch of the force sees its end from inside: the stages at
    // the end of the step take the time one unit in the last place short of it, which
    // gives the one-sided limit where the force jumps and changes nothing where it is
    // only not smooth.
    const double tend_inside = std::isnan(t_end) ? tph : std::nextafter(tph, t);
    for (int i = 0; i < n; ++i)
        y1[i] = y[i] + h * (a121 * k1[i] + a124 * k4[i] + a125 * k5[i] + a126 * k6[i] +
                            a127 * k7[i] + a128 * k8[i] + a129 * k9[i] + a1210 * k10[i] +
                            a1211 * k11[i]);
    rhs(tend_inside, y1, k12);
    r.evaluations += 11;

    // Eighth-order solution, and its error as the fifth-order estimate damped by the
    // third-order one where they disagree (book, section II.10): err5^2 / sqrt(err5^2 + 0.01 err3^2).
    double err = 0, err2 = 0;
    double incr[dop853_capacity];
    for (int i = 0; i < n; ++i) {
        incr[i] = b1 * k1[i] + b6 * k6[i] + b7 * k7[i] + b8 * k8[i] + b9 * k9[i] + b10 * k10[i] +
                  b11 * k11[i] + b12 * k12[i];
        ynew[i] = y[i] + h * incr[i];
        const double sk = dop853_scale(r, y[i], ynew[i]);
        const double e3 = incr[i] - bhh1 * k1[i] - bhh2 * k9[i] - bhh3 * k12[i];
        err2 += (e3 / sk) * (e3 / sk);
        const double e5 = er1 * k1[i] + er6 * k6[i] + er7 * k7[i] + er8 * k8[i] + er9 * k9[i] +
                          er10 * k10[i] + er11 * k11[i] + er12 * k12[i];
        err += (e5 / sk) * (e5 / sk);
    }
    double deno = err + 0.01 * err2;
    if (deno <= 0) deno = 1;
    err = std::fabs(h) * err * std::sqrt(1 / (n * deno));

    // New step from the error's eighth root; a NaN error shrinks it as far as allowed.
    const double fac11 = std::pow(err, 1 / dop853_order);
    if (!(err <= 1)) {
        const double shrink = fac11 / dop853_safety < dop853_max_shrink ? fac11 / dop853_safety
                                                                          : dop853_max_shrink;
        r.h = std::isnan(err) ? h / dop853_max_shrink : h / shrink;
        r.rejected = true;
        ++r.rejections;
        return dop853_outcome::rejected;
    }
    double fac = fac11 / dop853_safety;
    if (fac > dop853_max_shrink) fac = dop853_max_shrink;
    if (fac < dop853_max_grow) fac = dop853_max_grow;
    double hnew = h / fac;
    if (r.rejected && std::fabs(hnew) > std::fabs(h)) hnew = h;  // no growth right after a rejection
    r.rejected = false;

    rhs(tend_inside, ynew, k13);
    r.evaluations += 1;
    ++r.steps;
    r.dense = dense;
    if (dense) {
        // continuous extension of order 7 over the step; stages 14..16 only for it
        double k14[dop853_capacity], k15[dop853_capacity], k16[dop853_capacity];
        for (int i = 0; i < n; ++i)
            y1[i] = y[i] + h * (a141 * k1[i] + a147 * k7[i] + a148 * k8[i] + a149 * k9[i] +
                                a1410 * k10[i] + a1411 * k11[i] + a1412 * k12[i] + a1413 * k13[i]);
        rhs(t + c14 * h, y1, k14);
        for (int i = 0; i < n; ++i)
            y1[i] = y[i] + h * (a151 * k1[i] + a156 * k6[i] + a157 * k7[i] + a158 * k8[i] +
                                a1511 * k11[i] + a1512 * k12[i] + a1513 * k13[i] + a1514 * k14[i]);
        rhs(t + c15 * h, y1, k15);
        for (int i = 0; i < n; ++i)
            y1[i] = y[i] + h * (a161 * k1[i] + a166 * k6[i] + a167 * k7[i] + a168 * k8[i] +
                                a169 * k9[i] + a1613 * k13[i] + a1614 * k14[i] + a1615 * k15[i]);
        rhs(t + c16 * h, y1, k16);
        r.evaluations += 3;
        for (int i = 0; i < n; ++i) {
            const double ydiff = ynew[i] - y[i];
            const double bspl = h * k1[i] - ydiff;
            r.rc[0][i] = y[i];
            r.rc[1][i] = ydiff;
            r.rc[2][i] = bspl;
            r.rc[3][i] = ydiff - h * k13[i] - bspl;
            r.rc[4][i] = h * (d41 * k1[i] + d46 * k6[i] + d47 * k7[i] + d48 * k8[i] + d49 * k9[i] +
                              d410 * k10[i] + d411 * k11[i] + d412 * k12[i] + d413 * k13[i] +
                              d414 * k14[i] + d415 * k15[i] + d416 * k16[i]);
            r.rc[5][i] = h * (d51 * k1[i] + d56 * k6[i] + d57 * k7[i] + d58 * k8[i] + d59 * k9[i] +
                              d510 * k10[i] + d511 * k11[i] + d512 * k12[i] + d513 * k13[i] +
                              d514 * k14[i] + d515 * k15[i] + d516 * k16[i]);
            r.rc[6][i] = h * (d61 * k1[i] + d66 * k6[i] + d67 * k7[i] + d68 * k8[i] + d69 * k9[i] +
                              d610 * k10[i] + d611 * k11[i] + d612 * k12[i] + d613 * k13[i] +
                              d614 * k14[i] + d615 * k15[i] + d616 * k16[i]);
            r.rc[7][i] = h * (d71 * k1[i] + d76 * k6[i] + d77 * k7[i] + d78 * k8[i] + d79 * k9[i] +
                              d710 * k10[i] + d711 * k11[i] + d712 * k12[i] + d713 * k13[i] +
                              d714 * k14[i] + d715 * k15[i] + d716 * k16[i]);
        }
    }
    r.t_old = t;
    r.h_old = h;
    r.t = tph;
    for (int i = 0; i < n; ++i) {
        r.y[i] = ynew[i];
        r.f[i] = k13[i];
    }
    if (tend_inside != tph) {  // the next step starts on the other side of the switch
        rhs(tph, r.y, r.f);
        r.evaluations += 1;
    }
    r.h = hnew;
    return dop853_outcome::accepted;
}

// The continuous extension of the last accepted step at time t inside it (requires r.dense).
inline void dop853_dense(const dop853_run& r, double t, double* out) {
    const double s = (t - r.t_old) / r.h_old;
    const double s1 = 1 - s;
    for (int i = 0; i < r.n; ++i) {
        const double conpar = r.rc[4][i] + s * (r.rc[5][i] + s1 * (r.rc[6][i] + s * r.rc[7][i]));
        out[i] = r.rc[0][i] + s * (r.rc[1][i] + s1 * (r.rc[2][i] + s * (r.rc[3][i] + s1 * conpar)));
    }
}

// Advances r until its last step reaches `target` (in the direction of r.h) and writes
// the state at target to out, through the continuous extension when the step passed
// it: output times never shorten a step. No step crosses `barrier` (a time at which
// the right-hand side is not smooth, at or beyond target): the step that would is
// shortened to end on it, since the method's order and its error estimate both assume
// a smooth right-hand side within the step. A target inside the last accepted step,
// when that step kept its extension, costs nothing. False when a step failed (r then
// holds the last state reached), when `stop` was set (checked before every attempt),
// when the run's attempts (accepted and rejected) reach max_work, or when target lies
// behind r.t outside the last step.
template <class Rhs>
bool dop853_advance(Rhs&& rhs, dop853_run& r, double target, double* out, double barrier = INFINITY,
                    const std::atomic<bool>* stop = nullptr, double max_work = INFINITY) {
    const double dir = r.h < 0 ? -1.0 : 1.0;
    for (;;) {
        if (r.t == target) {
            for (int i = 0; i < r.n; ++i) out[i] = r.y[i];
            return true;
        }
        const bool inside_last = r.dense && (target - r.t_old) * dir >= 0 && (r.t - target) * dir > 0;
        if (inside_last) {
            dop853_dense(r, target, out);
            return true;
        }
        if ((target - r.t) * dir < 0) return false;  // behind the integration: not reachable
        if (stop && stop->load(std::memory_order_relaxed)) return false;
        if (!(double(r.steps + r.rejections) < max_work)) return false;
        double end = NAN;
        if (std::isfinite(barrier) && (r.t + 1.01 * r.h - barrier) * dir > 0) {
            r.h = barrier - r.t;  // (the 1.01 spares a needless sliver of a step after it)
            end = barrier;
        }
        const bool passes = ((std::isnan(end) ? r.t + r.h : end) - target) * dir > 0;
        if (dop853_attempt(rhs, r, passes, end) == dop853_outcome::failed) return false;
    }
}
