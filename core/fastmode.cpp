#include "fastmode.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "galaxy.h"

namespace {

// Exact helpers without the C library (fmax, fmin, nextafter are exact in it too, but
// the fast mode calls none of its functions).
double max_of(double a, double b) { return a != a ? b : (b != b ? a : (a > b ? a : b)); }
double min_of(double a, double b) { return a != a ? b : (b != b ? a : (a < b ? a : b)); }
double abs_of(double a) {
    return __builtin_bit_cast(double, __builtin_bit_cast(unsigned long long, a) & ~(1ull << 63));
}
// the neighbour of finite x towards y
double toward(double x, double y) {
    if (x != x || y != y) return x + y;
    if (x == y) return y;
    if (x == 0) return y > 0 ? 0x1p-1074 : -0x1p-1074;
    unsigned long long b = __builtin_bit_cast(unsigned long long, x);
    b += ((x < y) == (x > 0)) ? 1 : -1;
    return __builtin_bit_cast(double, b);
}
// A step h from t moves the time: 0.1 |h| exceeds the rounding of t.
bool moves(double t, double h) { return 0.1 * abs_of(h) > abs_of(t) * dop853_roundoff; }

}  // namespace

lane_path best_lane_path() {
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return lane_path::avx512;
    if (__builtin_cpu_supports("avx2")) return lane_path::avx2;
    return lane_path::sse2;
#else
    return lane_path::scalar;
#endif
}

lane_path chosen_lane_path() {
    const lane_path best = best_lane_path();
    const char* v = std::getenv("ORBKIT_SIMD");
    if (!v || !*v) return best;
    lane_path want = best;
    if (std::strcmp(v, "scalar") == 0) want = lane_path::scalar;
    else if (std::strcmp(v, "sse2") == 0) want = lane_path::sse2;
    else if (std::strcmp(v, "avx2") == 0) want = lane_path::avx2;
    else if (std::strcmp(v, "avx512") == 0) want = lane_path::avx512;
    return lane_width(want) < lane_width(best) ? want : best;
}

const char* lane_path_name(lane_path p) {
    return p == lane_path::avx512 ? "avx512" : p == lane_path::avx2 ? "avx2" : p == lane_path::sse2 ? "sse2" : "scalar";
}

const lane_kernels& kernels_of(lane_path p) {
    switch (p) {
#if defined(__x86_64__)
        case lane_path::avx512: return lane_kernels_avx512;
        case lane_path::avx2: return lane_kernels_avx2;
        case lane_path::sse2: return lane_kernels_sse2;
#endif
        default: return lane_kernels_scalar;
    }
}

void lane_math(lane_path p, int fn, int n, const double* a, const double* b, double* out) {
    kernels_of(p).math(fn, n, a, b, out);
}

void set_lane_model(lane_model& m, int l, const params& p) {
    m.gamma_[l] = p.gamma_;
    m.lane_npatterns[l] = p.npatterns;
    for (int k = 0; k < 10; ++k) {
        lane_pattern& P = m.pat[k];
        const bool on = k < p.npatterns;
        P.mm[l] = on ? p.mm[k] : 0;
        P.epsilon[l] = on ? p.epsilon[k] : 0;  // no amplitude: the pattern adds nothing
        P.phi0[l] = on ? p.phi0[k] : 0;
        P.alpha[l] = on ? p.alpha[k] : 0;
        P.Omegas[l] = on ? p.Omegas[k] : 0;
        P.starttime[l] = on ? p.starttime[k] : 0;
        P.growtime[l] = on ? p.growtime[k] : 0;
        P.smin[l] = on ? p.smin[k] : 0;
        P.smax[l] = on ? p.smax[k] : 0;
        P.wmin[l] = on ? p.wmin[k] : 1;
        P.wmax[l] = on ? p.wmax[k] : 1;
        const double m_ = P.mm[l];
        const bool power = abs_of(m_) <= max_power_arms && m_ == double(int(m_));
        P.m_abs[l] = power ? abs_of(m_) : 0;
        P.frac[l] = power ? 0 : 1;
    }
}

void lane_model_done(lane_model& m, int width) {
    m.npatterns = 0;
    for (int l = 0; l < width; ++l)
        if (m.lane_npatterns[l] > m.npatterns) m.npatterns = m.lane_npatterns[l];
    for (int k = 0; k < 10; ++k) {
        m.powers[k] = 0;
        m.any_frac[k] = false;
        for (int l = 0; l < width; ++l) {
            if (m.pat[k].m_abs[l] > m.powers[k]) m.powers[k] = int(m.pat[k].m_abs[l]);
            m.any_frac[k] = m.any_frac[k] || m.pat[k].frac[l] != 0;
        }
    }
}

double next_leg_end(const params& p, double t, double dir) {
    double next = next_switch(p, t, dir);
    while (std::isfinite(next) && !moves(t, next - t))  // the same test as a step's
        next = next_switch(p, next, dir);
    return next;
}

void fast_force(const params& p, double x, double y, double t, double& fx, double& fy) {
    lane_model m;
    set_lane_model(m, 0, p);
    lane_model_done(m, 1);
    lane_block b;
    b.t[0] = t;
    b.y[0][0] = x;
    b.y[1][0] = y;
    b.y[2][0] = 0;
    b.y[3][0] = 0;
    lane_kernels_scalar.force(m, b);
    fx = b.k[0][2][0];
    fy = b.k[0][3][0];
}

namespace {

// ---- the engine -------------------------------------------------------------------

// the lanes taking part in a batch: lane l when r[l] is set, the others computing a
// copy of the first one's (their results are not read)
int first_of(int width, dop853_run* const* r) {
    for (int l = 0; l < width; ++l)
        if (r[l]) return l;
    return -1;
}
void fill_others(int width, dop853_run* const* r, lane_block& b, int from) {
    for (int l = 0; l < width; ++l) {
        if (r[l]) continue;
        b.t[l] = b.t[from];
        b.h[l] = b.h[from];
        b.rtol[l] = b.rtol[from];
        b.atol[l] = b.atol[from];
        b.tend[l] = b.tend[from];
        b.tph[l] = b.tph[from];
        b.retake[l] = 0;
        for (int i = 0; i < 4; ++i) {
            b.y[i][l] = b.y[i][from];
            b.k[1][i][l] = b.k[1][i][from];
        }
    }
}

// The starting step of each run r[l] (t, y, rtol and atol set, in the direction
// dir[l]) from its first two derivatives, so that a step's error is near the tolerance
// (Hairer, Norsett, Wanner, section II.4).
void start_lanes(const lane_kernels& k, const lane_model& m, lane_block& b, dop853_run* const* run,
                 const double* dir) {
    const int w = k.width, first = first_of(w, run);
    if (first < 0) return;
    double h[lane_capacity], dnf[lane_capacity], dny[lane_capacity];
    for (int l = 0; l < w; ++l) {
        if (!run[l]) continue;
        b.t[l] = run[l]->t;
        for (int i = 0; i < 4; ++i) b.y[i][l] = run[l]->y[i];
    }
    fill_others(w, run, b, first);
    k.force(m, b);
    for (int l = 0; l < w; ++l) {
        if (!run[l]) continue;
        dop853_run& r = *run[l];
        for (int i = 0; i < 4; ++i) r.f[i] = b.k[0][i][l];
        dnf[l] = 0;
        dny[l] = 0;
        for (int i = 0; i < 4; ++i) {
            const double sk = dop853_scale(r, r.y[i], 0);
            dnf[l] += (r.f[i] / sk) * (r.f[i] / sk);
            dny[l] += (r.y[i] / sk) * (r.y[i] / sk);
        }
        h[l] = (dnf[l] <= 1e-10 || dny[l] <= 1e-10) ? 1e-6 : __builtin_sqrt(dny[l] / dnf[l]) * 0.01;
        b.t[l] = r.t + dir[l] * h[l];
        for (int i = 0; i < 4; ++i) b.y[i][l] = r.y[i] + (dir[l] * h[l]) * r.f[i];
    }
    fill_others(w, run, b, first);
    k.force(m, b);
    for (int l = 0; l < w; ++l) {
        if (!run[l]) continue;
        dop853_run& r = *run[l];
        double der2 = 0;
        for (int i = 0; i < 4; ++i) {
            const double sk = dop853_scale(r, r.y[i], 0);
            const double d = b.k[0][i][l] - r.f[i];
            der2 += (d / sk) * (d / sk);
        }
        der2 = __builtin_sqrt(der2) / h[l];
        const double der12 = max_of(abs_of(der2), __builtin_sqrt(dnf[l]));
        const double h1 =
            der12 <= 1e-15 ? max_of(1e-6, h[l] * 1e-3) : fast_pow(0.01 / der12, 1.0 / dop853_order);
        r.h = dir[l] * min_of(100 * h[l], h1);
        r.evaluations = 2;
    }
}

// One attempted step r.h from r.t of each run r[l], ending exactly on end[l] unless
// that is NaN; accepted or rejected lane by lane with the step-size decision, the
// accepted ones keeping their continuous extension where dense[l]. A step that no
// longer moves the time fails.
void attempt_lanes(const lane_kernels& k, const lane_model& m, lane_block& b, dop853_run* const* given,
                   const double* end, const bool* dense, dop853_outcome* out) {
    const int w = k.width;
    dop853_run* run[lane_capacity] = {};
    for (int l = 0; l < w; ++l) {
        if (!given[l]) continue;
        const dop853_run& r = *given[l];
        out[l] = dop853_outcome::failed;
        if (!moves(r.t, r.h)) continue;  // the time no longer moves
        run[l] = given[l];
        b.t[l] = r.t;
        b.h[l] = r.h;
        b.rtol[l] = r.rtol;
        b.atol[l] = r.atol;
        const double tph = std::isnan(end[l]) ? r.t + r.h : end[l];
        // A step that ends on a switch of the force sees its end from inside: the
        // stages at the end of the step take the time one unit in the last place
        // short of it, which gives the one-sided limit where the force jumps and
        // changes nothing where it is only not smooth.
        const double tend = std::isnan(end[l]) ? tph : toward(tph, r.t);
        b.tph[l] = tph;
        b.tend[l] = tend;
        b.retake[l] = tend != tph ? 1 : 0;
        for (int i = 0; i < 4; ++i) {
            b.y[i][l] = r.y[i];
            b.k[1][i][l] = r.f[i];
        }
    }
    const int first = first_of(w, run);
    if (first < 0) return;
    fill_others(w, run, b, first);
    k.stages(m, b);
    bool accepted[lane_capacity] = {}, any = false, extend = false;
    double hnew[lane_capacity];
    for (int l = 0; l < w; ++l) {
        if (!run[l]) continue;
        dop853_run& r = *run[l];
        r.evaluations += 11;
        const double err = b.err[l];
        // the step-size decision, from the error's eighth root by our own pow (taken in the lanes)
        out[l] = dop853_outcome::rejected;
        if (!dop853_decide(r, r.h, err, b.err_root[l], hnew[l])) continue;
        out[l] = dop853_outcome::accepted;
        accepted[l] = any = true;
        extend = extend || dense[l];
    }
    if (!any) return;
    k.finish(m, b, extend);
    for (int l = 0; l < w; ++l) {
        if (!accepted[l]) continue;
        dop853_run& r = *run[l];
        r.evaluations += 1;
        ++r.steps;
        r.dense = dense[l];
        if (dense[l]) {
            r.evaluations += 3;
            for (int j = 0; j < 8; ++j)
                for (int i = 0; i < 4; ++i) r.rc[j][i] = b.rc[j][i][l];
        }
        r.t_old = r.t;
        r.h_old = r.h;
        r.t = b.tph[l];
        for (int i = 0; i < 4; ++i) {
            r.y[i] = b.ynew[i][l];
            r.f[i] = b.fnext[i][l];
        }
        if (b.retake[l] != 0) r.evaluations += 1;  // the next step starts on the other side of the switch
        r.h = hnew[l];
    }
}

// What a lane does next.
enum class phase { next_leg, start, plan, attempt, idle };

class lanes_run {
public:
    lanes_run(const lane_kernels& k, lane_client& c) : k_(k), c_(c), w_(k.width) {}

    void run() {
        for (;;) {
            bool busy = false, starting = false, attempting = false;
            for (int l = 0; l < w_; ++l) {
                settle(l);
                busy = busy || slot_[l].now != phase::idle;
                starting = starting || slot_[l].now == phase::start;
                attempting = attempting || slot_[l].now == phase::attempt;
            }
            if (!busy) return;
            if (starting) start();
            else if (attempting) attempt();
        }
    }

private:
    struct slot {
        lane_leg leg;
        phase now = phase::next_leg;
        double end = NAN;     // the step ends on the barrier at this time (else NaN)
        bool passes = false;  // the step passes the target: keep its continuous extension
    };
    const lane_kernels& k_;
    lane_client& c_;
    const int w_;
    slot slot_[lane_capacity];
    lane_model model_;
    lane_block b_;

    void done(int l, bool ok, const double* out) {
        slot_[l].now = phase::next_leg;
        c_.reached(l, slot_[l].leg, ok, out);
    }

    // Brings lane l to its next start or attempt, ending the legs it completes on the way.
    void settle(int l) {
        slot& sl = slot_[l];
        for (;;) {
            if (sl.now == phase::idle || sl.now == phase::start || sl.now == phase::attempt) return;
            if (sl.now == phase::next_leg) {
                sl.leg = lane_leg{};
                if (!c_.next(l, sl.leg)) {
                    sl.now = phase::idle;
                    return;
                }
                if (sl.leg.model) {
                    set_lane_model(model_, l, *sl.leg.model);
                    lane_model_done(model_, w_);
                }
                sl.now = sl.leg.fresh ? phase::start : phase::plan;
                continue;
            }
            dop853_run& r = *sl.leg.r;
            const double dir = r.h < 0 ? -1.0 : 1.0, goal = sl.leg.target;
            double out[4];
            if (r.t == goal) {
                done(l, true, r.y);
            } else if (r.dense && (goal - r.t_old) * dir >= 0 && (r.t - goal) * dir > 0) {
                dop853_dense(r, goal, out);
                done(l, true, out);
            } else if ((goal - r.t) * dir < 0 || (sl.leg.stop && sl.leg.stop->load(std::memory_order_relaxed)) ||
                       !(double(r.steps + r.rejections) < sl.leg.max_work)) {
                done(l, false, nullptr);
            } else {
                const double barrier = sl.leg.barrier;
                sl.end = NAN;
                if (std::isfinite(barrier) && (r.t + 1.01 * r.h - barrier) * dir > 0) {
                    r.h = barrier - r.t;  // (the 1.01 spares a needless sliver of a step after it)
                    sl.end = barrier;
                }
                sl.passes = ((std::isnan(sl.end) ? r.t + r.h : sl.end) - goal) * dir > 0;
                sl.now = phase::attempt;
                return;
            }
        }
    }

    void start() {
        dop853_run* run[lane_capacity] = {};
        double dir[lane_capacity];
        for (int l = 0; l < w_; ++l) {
            if (slot_[l].now != phase::start) continue;
            run[l] = slot_[l].leg.r;
            dir[l] = slot_[l].leg.target > run[l]->t ? 1.0 : -1.0;
            slot_[l].now = phase::plan;
        }
        start_lanes(k_, model_, b_, run, dir);
    }

    void attempt() {
        dop853_run* run[lane_capacity] = {};
        double end[lane_capacity];
        bool dense[lane_capacity];
        dop853_outcome out[lane_capacity];
        for (int l = 0; l < w_; ++l) {
            if (slot_[l].now != phase::attempt) continue;
            run[l] = slot_[l].leg.r;
            end[l] = slot_[l].end;
            dense[l] = slot_[l].passes;
            slot_[l].now = phase::plan;
        }
        attempt_lanes(k_, model_, b_, run, end, dense, out);
        for (int l = 0; l < w_; ++l)
            if (run[l] && out[l] == dop853_outcome::failed) done(l, false, nullptr);
    }
};

// ---- the fast mode's stars: output times, and legs between switches of the force ----

// Each lane's star through its output times, as taketstep and the step loop within it
// do: a new integration where the output time lies behind the last step, the exact
// integrator's work budget per output time, one leg up to each switch of a pattern's
// growth and the last one to the output time.
class star_lanes final : public lane_client {
public:
    explicit star_lanes(lane_source& src) : src_(src) {}

    bool next(int l, lane_leg& leg) override {
        lane_state& st = lane_[l];
        for (;;) {
            if (!st.busy) {
                if (!src_.next(st.task)) return false;
                st.busy = true;
                st.index = 0;
                leg.model = st.task.p;
                if (st.task.p->n_particles != 1) {  // a body per lane: the caller splits such a model
                    finish(l, false);
                    continue;
                }
            }
            if (st.index >= st.task.ntimes) {
                st.busy = false;
                continue;
            }
            follower& f = *st.task.run;
            const orbit_state& s = *st.task.s;
            dop853_run& r = f.run;
            const double target = st.task.times[st.index];
            if (s.t == target) {
                finish(l, true);
                continue;
            }
            if (!st.leg_of_time) {  // the first leg towards this output time
                const bool behind = f.running && (target - r.t) * r.h < 0 &&
                                    !(r.dense && (target - r.t_old) * r.h >= 0);
                leg.fresh = !f.running || behind;
                if (leg.fresh) {  // a new integration from s, towards the target
                    r = dop853_run{};
                    r.rtol = f.how.tol;
                    r.atol = f.how.tol;
                    r.t = s.t;
                    pack_xy(s, 1, r.y);
                    f.running = true;
                }
                // the exact integrator's work budget, counted in attempted steps
                st.max_work = double(r.steps + r.rejections) + taketstep_min_steps +
                              taketstep_steps_per_time * abs_of(target - s.t);
            }
            const double dir = leg.fresh ? (target > r.t ? 1.0 : -1.0) : (r.h < 0 ? -1.0 : 1.0);
            const double next = next_leg_end(*st.task.p, r.t, dir);
            st.last_leg = (next - target) * dir >= 0;
            st.leg_of_time = true;
            leg.r = &r;
            leg.target = st.last_leg ? target : next;
            leg.barrier = next;
            leg.stop = st.task.stop;
            leg.max_work = st.max_work;
            return true;
        }
    }

    void reached(int l, const lane_leg& leg, bool ok, const double* out) override {
        lane_state& st = lane_[l];
        follower& f = *st.task.run;
        orbit_state& s = *st.task.s;
        if (!ok) {
            s.t = leg.r->t;
            unpack_xy(leg.r->y, 1, s);
            f.running = false;
            finish(l, false);
        } else if (st.last_leg) {
            s.t = leg.target;
            unpack_xy(out, 1, s);
            finish(l, true);
        }
        // a switch reached: on to the next leg
    }

private:
    struct lane_state {
        lane_task task;
        bool busy = false;
        long index = 0;          // the output time being advanced to
        bool leg_of_time = false;  // a leg towards it was handed out
        bool last_leg = false;   // the leg handed out ends on it
        double max_work = 0;     // attempts allowed before it
    };
    lane_source& src_;
    lane_state lane_[lane_capacity];

    void finish(int l, bool ok) {
        lane_state& st = lane_[l];
        src_.reached(st.task, st.index, ok);
        st.leg_of_time = false;
        if (ok && ++st.index < st.task.ntimes) return;
        st.busy = false;
    }
};

// the lanes of a one-orbit run: no model
const lane_model no_model{};

// One leg on one lane.
struct one_leg final : lane_client {
    lane_leg leg;
    bool given = false, ok = false;
    double* out = nullptr;
    bool next(int, lane_leg& l) override {
        if (given) return false;
        given = true;
        l = leg;
        return true;
    }
    void reached(int, const lane_leg&, bool result, const double* values) override {
        ok = result;
        if (ok && out)
            for (int i = 0; i < 4; ++i) out[i] = values[i];
    }
};

}  // namespace

void run_lanes(const lane_kernels& k, lane_client& c) {
    lanes_run run(k, c);
    run.run();
}

void follow_lanes(lane_source& src, lane_path path) {
    star_lanes stars(src);
    run_lanes(kernels_of(path), stars);
}

void dop853_start(const lane_kernels& k, dop853_run& r, double t0, const double* y0, double rtol, double atol,
                  double dir, const lane_model* m) {
    r = dop853_run{};
    r.rtol = rtol;
    r.atol = atol;
    r.t = t0;
    for (int i = 0; i < 4; ++i) r.y[i] = y0[i];
    dop853_run* run[lane_capacity] = {&r};
    const double d[lane_capacity] = {dir};
    lane_block b;
    start_lanes(k, m ? *m : no_model, b, run, d);
}

dop853_outcome dop853_attempt(const lane_kernels& k, dop853_run& r, bool dense, double t_end, const lane_model* m) {
    dop853_run* run[lane_capacity] = {&r};
    const double end[lane_capacity] = {t_end};
    const bool d[lane_capacity] = {dense};
    dop853_outcome out[lane_capacity];
    lane_block b;
    attempt_lanes(k, m ? *m : no_model, b, run, end, d, out);
    return out[0];
}

bool dop853_advance(const lane_kernels& k, dop853_run& r, double target, double* out, double barrier,
                    const std::atomic<bool>* stop, double max_work) {
    one_leg c;
    c.leg.r = &r;
    c.leg.target = target;
    c.leg.barrier = barrier;
    c.leg.stop = stop;
    c.leg.max_work = max_work;
    c.out = out;
    run_lanes(k, c);
    return c.ok;
}
