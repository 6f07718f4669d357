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

}  // namespace

lane_path best_lane_path() {
#if defined(__x86_64__)
    __builtin_cpu_init();
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
    return lane_width(want) < lane_width(best) ? want : best;
}

const char* lane_path_name(lane_path p) {
    return p == lane_path::avx2 ? "avx2" : p == lane_path::sse2 ? "sse2" : "scalar";
}

const lane_kernels& kernels_of(lane_path p) {
    switch (p) {
#if defined(__x86_64__)
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

// What a lane's star does next.
enum class phase { next_time, start, advance, attempt, idle };

struct lane_slot {
    lane_task task;
    long index = 0;       // the output time being advanced to
    double target = 0;    // its value
    double max_work = 0;  // attempts allowed before this output time (the exact integrator's budget)
    phase now = phase::idle;
    double end = NAN;     // the step ends on a switch of the force at this time (else NaN)
    bool passes = false;  // the step passes the output time: keep its continuous extension
};

// x, y, vx, vy of one body out of and into a state
void get_xy(const orbit_state& s, double* y) {
    y[0] = s.w[0];
    y[1] = s.w[1];
    y[2] = s.w[3];
    y[3] = s.w[4];
}
void put_xy(const double* y, orbit_state& s) {
    s.w[0] = y[0];
    s.w[1] = y[1];
    s.w[3] = y[2];
    s.w[4] = y[3];
}


class lanes_run {
public:
    lanes_run(lane_source& src, lane_path path) : src_(src), k_(kernels_of(path)), w_(k_.width) {}

    void run() {
        for (int l = 0; l < w_; ++l) take(l);
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
    lane_source& src_;
    const lane_kernels& k_;
    const int w_;
    lane_slot slot_[lane_capacity];
    lane_model model_;
    lane_block b_;

    // Lane l takes the next star (of one body; others are followed here on the
    // scalar path of the same arithmetic), or falls idle.
    void take(int l) {
        lane_slot& sl = slot_[l];
        sl.now = phase::idle;
        lane_task t;
        while (src_.next(t)) {
            if (t.p->n_particles == 1) {
                sl = lane_slot{};
                sl.task = t;
                sl.now = phase::next_time;
                set_lane_model(model_, l, *t.p);
                lane_model_done(model_, w_);
                return;
            }
            for (long i = 0; i < t.ntimes; ++i) {  // several bodies: the one-star integrator
                const bool ok = advance(*t.p, *t.run, *t.s, t.times[i], t.stop);
                src_.reached(t, i, ok);
                if (!ok) break;
            }
        }
    }

    void done(int l, bool ok) {
        lane_slot& sl = slot_[l];
        src_.reached(sl.task, sl.index, ok);
        if (ok && ++sl.index < sl.task.ntimes) {
            sl.now = phase::next_time;
            return;
        }
        take(l);
    }

    // Brings lane l to its next start or attempt, handing out the output times it
    // reaches on the way (as taketstep and the step loop within it do).
    void settle(int l) {
        lane_slot& sl = slot_[l];
        for (;;) {
            if (sl.now == phase::idle || sl.now == phase::start || sl.now == phase::attempt) return;
            follower& f = *sl.task.run;
            orbit_state& s = *sl.task.s;
            const params& p = *sl.task.p;
            dop853_run& r = f.run;
            if (sl.now == phase::next_time) {
                if (sl.index >= sl.task.ntimes) {
                    take(l);
                    continue;
                }
                sl.target = sl.task.times[sl.index];
                if (s.t == sl.target) {
                    done(l, true);
                    continue;
                }
                const bool behind = f.running && (sl.target - r.t) * r.h < 0 &&
                                    !(r.dense && (sl.target - r.t_old) * r.h >= 0);
                if (!f.running || behind) {  // a new integration from s, towards the target
                    sl.now = phase::start;
                    return;
                }
                budget(sl);
                sl.now = phase::advance;
            }
            // advance: the legs between switches of the force, the last one to the target
            const double dir = r.h < 0 ? -1.0 : 1.0;
            const double next = next_leg_end(p, r.t, dir);
            const bool last_leg = (next - sl.target) * dir >= 0;
            const double goal = last_leg ? sl.target : next;
            double out[4];
            bool reached = false, failed = false;
            if (r.t == goal) {
                for (int i = 0; i < 4; ++i) out[i] = r.y[i];
                reached = true;
            } else if (r.dense && (goal - r.t_old) * dir >= 0 && (r.t - goal) * dir > 0) {
                dop853_dense(r, goal, out);
                reached = true;
            } else if ((goal - r.t) * dir < 0 || (sl.task.stop && sl.task.stop->load(std::memory_order_relaxed)) ||
                       !(double(r.steps + r.rejections) < sl.max_work)) {
                failed = true;
            } else {
                sl.end = NAN;
                if (std::isfinite(next) && (r.t + 1.01 * r.h - next) * dir > 0) {
                    r.h = next - r.t;  // (the 1.01 spares a needless sliver of a step after it)
                    sl.end = next;
                }
                sl.passes = ((std::isnan(sl.end) ? r.t + r.h : sl.end) - goal) * dir > 0;
                if (!(0.1 * abs_of(r.h) > abs_of(r.t) * dop853_roundoff)) {
                    failed = true;  // the step no longer moves the time
                } else {
                    sl.now = phase::attempt;
                    return;
                }
            }
            if (failed) {
                s.t = r.t;
                put_xy(r.y, s);
                f.running = false;
                done(l, false);
            } else if (reached && last_leg) {
                s.t = sl.target;
                put_xy(out, s);
                done(l, true);
            }
            // a switch reached: on to the next leg
        }
    }

    // the exact integrator's work budget, counted in attempted steps
    static void budget(lane_slot& sl) {
        const dop853_run& r = sl.task.run->run;
        sl.max_work = double(r.steps + r.rejections) + taketstep_min_steps +
                      taketstep_steps_per_time * abs_of(sl.target - sl.task.s->t);
    }

    // a lane whose slot is not in phase `ph` computes a copy of lane `from`
    void fill_others(phase ph, int from) {
        for (int l = 0; l < w_; ++l) {
            if (slot_[l].now == ph) continue;
            b_.t[l] = b_.t[from];
            b_.h[l] = b_.h[from];
            b_.rtol[l] = b_.rtol[from];
            b_.atol[l] = b_.atol[from];
            b_.tend[l] = b_.tend[from];
            b_.tph[l] = b_.tph[from];
            b_.retake[l] = 0;
            for (int i = 0; i < 4; ++i) {
                b_.y[i][l] = b_.y[i][from];
                b_.k[1][i][l] = b_.k[1][i][from];
            }
        }
    }

    // The starting step of each starting lane from its first two derivatives, so
    // that a step's error is near the tolerance (Hairer, Norsett, Wanner, section II.4).
    void start() {
        int first = -1;
        double dir[lane_capacity], h[lane_capacity], dnf[lane_capacity], dny[lane_capacity];
        for (int l = 0; l < w_; ++l) {
            lane_slot& sl = slot_[l];
            if (sl.now != phase::start) continue;
            if (first < 0) first = l;
            follower& f = *sl.task.run;
            const orbit_state& s = *sl.task.s;
            dir[l] = sl.target > s.t ? 1.0 : -1.0;
            f.run = dop853_run{};
            f.run.n = 4;
            f.run.rtol = f.how.tol;
            f.run.atol = f.how.tol;
            f.run.t = s.t;
            get_xy(s, f.run.y);
            b_.t[l] = f.run.t;
            for (int i = 0; i < 4; ++i) b_.y[i][l] = f.run.y[i];
        }
        fill_others(phase::start, first);
        k_.force(model_, b_);
        for (int l = 0; l < w_; ++l) {
            if (slot_[l].now != phase::start) continue;
            dop853_run& r = slot_[l].task.run->run;
            for (int i = 0; i < 4; ++i) r.f[i] = b_.k[0][i][l];
            dnf[l] = 0;
            dny[l] = 0;
            for (int i = 0; i < 4; ++i) {
                const double sk = dop853_scale(r, r.y[i], 0);
                dnf[l] += (r.f[i] / sk) * (r.f[i] / sk);
                dny[l] += (r.y[i] / sk) * (r.y[i] / sk);
            }
            h[l] = (dnf[l] <= 1e-10 || dny[l] <= 1e-10) ? 1e-6 : __builtin_sqrt(dny[l] / dnf[l]) * 0.01;
            b_.t[l] = r.t + dir[l] * h[l];
            for (int i = 0; i < 4; ++i) b_.y[i][l] = r.y[i] + (dir[l] * h[l]) * r.f[i];
        }
        fill_others(phase::start, first);
        k_.force(model_, b_);
        for (int l = 0; l < w_; ++l) {
            lane_slot& sl = slot_[l];
            if (sl.now != phase::start) continue;
            follower& f = *sl.task.run;
            dop853_run& r = f.run;
            double der2 = 0;
            for (int i = 0; i < 4; ++i) {
                const double sk = dop853_scale(r, r.y[i], 0);
                const double d = b_.k[0][i][l] - r.f[i];
                der2 += (d / sk) * (d / sk);
            }
            der2 = __builtin_sqrt(der2) / h[l];
            const double der12 = max_of(abs_of(der2), __builtin_sqrt(dnf[l]));
            const double h1 =
                der12 <= 1e-15 ? max_of(1e-6, h[l] * 1e-3) : fast_pow(0.01 / der12, 1.0 / dop853_order);
            r.h = dir[l] * min_of(100 * h[l], h1);
            r.evaluations = 2;
            f.running = true;
            budget(sl);
            sl.now = phase::advance;
        }
    }

    // One attempted step of every lane that wants one; accepted or rejected lane by
    // lane, with the step control of the one-star method.
    void attempt() {
        int first = -1;
        for (int l = 0; l < w_; ++l) {
            const lane_slot& sl = slot_[l];
            if (sl.now != phase::attempt) continue;
            if (first < 0) first = l;
            const dop853_run& r = sl.task.run->run;
            b_.t[l] = r.t;
            b_.h[l] = r.h;
            b_.rtol[l] = r.rtol;
            b_.atol[l] = r.atol;
            const double tph = std::isnan(sl.end) ? r.t + r.h : sl.end;
            // A step that ends on a switch of the force sees its end from inside: the
            // stages at the end of the step take the time one unit in the last place
            // short of it, which gives the one-sided limit where the force jumps.
            const double tend = std::isnan(sl.end) ? tph : toward(tph, r.t);
            b_.tph[l] = tph;
            b_.tend[l] = tend;
            b_.retake[l] = tend != tph ? 1 : 0;
            for (int i = 0; i < 4; ++i) {
                b_.y[i][l] = r.y[i];
                b_.k[1][i][l] = r.f[i];
            }
        }
        fill_others(phase::attempt, first);
        k_.stages(model_, b_);
        bool accepted[lane_capacity] = {}, any = false, dense = false;
        double hnew[lane_capacity];
        for (int l = 0; l < w_; ++l) {
            lane_slot& sl = slot_[l];
            if (sl.now != phase::attempt) continue;
            dop853_run& r = sl.task.run->run;
            r.evaluations += 11;
            const double h = r.h;
            const double err = b_.err[l];
            // the one-star method's decision, from the error's eighth root by our own pow
            if (!dop853_decide(r, h, err, fast_pow(err, 1 / dop853_order), hnew[l])) {
                sl.now = phase::advance;
                continue;
            }
            accepted[l] = any = true;
            dense = dense || sl.passes;
        }
        if (!any) return;
        k_.finish(model_, b_, dense);
        for (int l = 0; l < w_; ++l) {
            if (!accepted[l]) continue;
            lane_slot& sl = slot_[l];
            dop853_run& r = sl.task.run->run;
            r.evaluations += 1;
            ++r.steps;
            r.dense = sl.passes;
            if (sl.passes) {
                r.evaluations += 3;
                for (int j = 0; j < 8; ++j)
                    for (int i = 0; i < 4; ++i) r.rc[j][i] = b_.rc[j][i][l];
            }
            r.t_old = r.t;
            r.h_old = r.h;
            r.t = b_.tph[l];
            for (int i = 0; i < 4; ++i) {
                r.y[i] = b_.ynew[i][l];
                r.f[i] = b_.fnext[i][l];
            }
            if (b_.retake[l] != 0) r.evaluations += 1;  // the next step starts on the other side of the switch
            r.h = hnew[l];
            sl.now = phase::advance;
        }
    }
};

}  // namespace

void follow_lanes(lane_source& src, lane_path path) {
    lanes_run run(src, path);
    run.run();
}
