"""orbkit.analysis against physics it does not build in: the shear of a regular orbit, the
independence of a chaotic exponent from the shadow's distance and the renormalisation,
the Jacobi energy of a steady pattern, the bootstrap's 1/sqrt(N), the pendulum period
of libration at corotation; and its contracts with the survey tables. The gallery
examples run here too.

Run by CTest with PYTHONPATH pointing at build/python."""

import glob
import math
import os
import runpy
import warnings

import numpy as np
import pytest

import orbkit
from orbkit import analysis

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXAMPLES = os.path.join(ROOT, "examples")


def pattern(m, epsilon, omegas, alpha, smin=0.5, smax=6.0):
    """A pattern at full strength from t = 0 on: steady in its turning frame."""
    return dict(mm=m, epsilon=epsilon, phi0=0.0, alpha=alpha, Omegas=omegas, growtime=0.0,
                starttime=0.0, smin=smin, smax=smax, wmin=0.5, wmax=0.5)


def circular(r, phi=0.0, vr=0.0):
    """States (n, 4) on a flat rotation curve: speed 1 tangential, vr radial."""
    r, phi, vr = np.broadcast_arrays(np.atleast_1d(r), phi, vr)
    c, s = np.cos(phi), np.sin(phi)
    return np.stack([r * c, r * s, vr * c - s, vr * s + c], axis=1).astype(float)


def with_fields(model, **changes):
    fields = {n: getattr(model, n) for n in orbkit.scalar_names if n != "npatterns"}
    fields.update(changes)
    fields.setdefault("patterns", model.patterns)
    return orbkit.Model(**fields)


# Two patterns whose resonances overlap: the outer Lindblad resonance of the fast one
# (r = 3.41) lies beyond the corotation of the slow one (r = 2.86), and both are strong.
CHAOTIC = orbkit.Model(gamma_=0.0, dt_int=0.5, nsteps=40, r_min=1.0, r_max=3.0,
                       patterns=[pattern(2, 0.02, 0.5, 8.0), pattern(2, 0.02, 0.35, 6.0)])
NONE = orbkit.Model(gamma_=0.0, dt_int=0.5, nsteps=40, r_min=1.0, r_max=3.0)


# ---- Lyapunov exponents

def test_regular_orbit_exponent_falls_as_ln_t_over_t():
    # Without patterns the shadow of a near-circular star drifts away linearly (the
    # shear of the rotation curve), so lambda t = ln(d/d0) grows by ln 10 per decade
    # of time while lambda itself falls about tenfold.
    for method in ("dop853", "bs"):
        t, lam = analysis.lyapunov(NONE, circular(1.5, vr=0.01), 1000.0, tau=1.0, method=method)
        lt = lam[0] * t
        i, j = np.searchsorted(t, [100.0, 1000.0])
        growth = lt[j] - lt[i]
        assert abs(growth - math.log(10)) < 0.05 * math.log(10), (method, growth)
        assert lam[0, j] < 0.2 * lam[0, i], (method, lam[0, i], lam[0, j])


def test_chaotic_exponent_independent_of_shadow_interval_and_method():
    # Budget: the runs share a reference orbit to ~1e-14, which chaos amplifies to the
    # orbit's scale after ln(1e14)/lambda ~ 600 time units; by t = 400 the exponents
    # differ by a few per cent at most (up to 5 % measured): 10 % is the bound.
    stars = circular([2.0, 2.4], vr=0.05)
    T = 400.0
    runs = {}
    for method, d0, tau in [("dop853", 1e-10, 0.5), ("dop853", 1e-10, 2.0), ("dop853", 1e-7, 0.5),
                            ("dop853", 1e-7, 2.0), ("dop853", 1e-8, 1.0), ("bs", 1e-10, 1.0),
                            ("bs", 1e-7, 2.0)]:
        t, lam = analysis.lyapunov(CHAOTIC, stars, T, tau=tau, d0=d0, method=method)
        assert t[-1] == pytest.approx(T)
        half = np.searchsorted(t, T / 2 - 1e-9)
        runs[method, d0, tau] = lam[:, -1], lam[:, half]
    final = np.array([v[0] for v in runs.values()])
    median = np.median(final, axis=0)
    worst = np.max(np.abs(final / median - 1))
    assert worst < 0.10, (worst, runs)
    # chaos, not shear: lambda has settled (a regular orbit's halves from T/2 to T,
    # about 0.55 of itself) and lies far above a regular orbit's ln(t)/t at T
    _, regular = analysis.lyapunov(NONE, circular(2.0, vr=0.05), T, tau=1.0, method="dop853")
    for (final_k, half_k) in runs.values():
        assert np.all(np.abs(final_k / half_k - 1) < 0.2), runs
        assert np.all(final_k > 3 * regular[0, -1]), (final_k, regular[0, -1])


def test_lyapunov_times_phases_and_a_lost_star():
    model = with_fields(CHAOTIC, randp0=1, nstars=3, r_min=1.5, r_max=2.5, disp_u0=0.05)
    states, phases = model.draw(2), model.draw_phases(2)
    t, lam = analysis.lyapunov(model, states, 10 * math.pi, phases=phases, method="dop853")
    assert np.allclose(t, np.pi * np.arange(1, 11))       # every dt_int, to tmax
    assert lam.shape == (2, 10) and np.all(np.isfinite(lam))
    # the same stars with the model's own phases move differently
    _, own = analysis.lyapunov(model, states, 10 * math.pi, method="dop853")
    assert not np.array_equal(own, lam)
    # a star at the centre, where the force is not a number: nan and a warning
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        _, lost = analysis.lyapunov(model, np.array([[0.0, 0.0, 0.0, 1.0]]), 5.0, tau=1.0,
                                    method="dop853")
    assert np.all(np.isnan(lost))
    assert any("star 0" in str(w.message) for w in caught)
    with pytest.raises(ValueError, match="d0"):
        analysis.lyapunov(model, states, 5.0, d0=0.0)
    with pytest.raises(ValueError, match="method"):
        analysis.lyapunov(model, states, 5.0, method="rk4")


# A steady spiral at gamma_ = 0.3, flat envelope over the orbits used: its potential
# is eps cos(m (phi - Omega_p t) + alpha ln r) there, which the test's own force takes.
G3, EPS3, M3, OM3, AL3 = 0.3, 0.02, 2, 0.6, 6.0
RISING = orbkit.Model(gamma_=G3, dt_int=0.3, nsteps=17, r_min=1.0, r_max=2.0,
                      patterns=[pattern(M3, EPS3, OM3, AL3, smin=0.01, smax=100.0)])


def rising_acceleration(t, w):
    """x, y, vx, vy of bodies packed along w: their time derivative in RISING, written
    from the potential r^(2 gamma) / (2 gamma) + eps cos chi, independent of orbkit."""
    out = np.empty_like(w)
    for b in range(0, len(w), 4):
        x, y = w[b], w[b + 1]
        r, phi = math.hypot(x, y), math.atan2(y, x)
        chi = M3 * (phi - OM3 * t) + AL3 * math.log(r)
        d_r = r ** (2 * G3 - 1) - EPS3 * math.sin(chi) * AL3 / r   # dPhi/dr
        d_phi = -EPS3 * M3 * math.sin(chi)                         # dPhi/dphi
        c, s = x / r, y / r
        out[b:b + 2] = w[b + 2:b + 4]
        out[b + 2] = -(c * d_r - s * d_phi / r)
        out[b + 3] = -(s * d_r + c * d_phi / r)
    return out


def test_first_interval_exponent_is_the_independent_separation():
    # lambda_1 = ln(d_1 / d0) / tau, d_1 from scipy's DOP853 integrating the star and a
    # shadow started d0 away along (1, 1, 1, 1)/2 as one system (same steps: their
    # errors cancel in the separation). d0 = 1e-5 keeps the rounding of the start and
    # of both integrations below 1e-11 of ln(d_1 / d0) (measured: 5e-11 at most); a
    # shadow started elsewhere (d0 along one axis, or sqrt(2) d0) is off by 0.1 or more.
    scipy_integrate = pytest.importorskip("scipy.integrate")
    d0, tau = 1e-5, 1.7
    star = np.array([1.6, 0.3, 0.05, 1.6 ** G3])
    start = np.concatenate([star, star + 0.5 * d0])
    sol = scipy_integrate.solve_ivp(rising_acceleration, (0.0, tau), start, method="DOP853",
                                    rtol=2.3e-14, atol=1e-16)
    w = sol.y[:, -1]
    expected = math.log(np.linalg.norm(w[4:] - w[:4]) / d0) / tau
    assert expected > 0.3  # the pattern stretches the separation: a check with teeth
    for method in ("dop853", "bs"):
        t, lam = analysis.lyapunov(RISING, star[None], 3 * tau, tau=tau, d0=d0, method=method)
        assert t[0] == tau
        assert abs(lam[0, 0] - expected) < 1e-9, (method, lam[0, 0], expected)


def test_lyapunov_windows_lost_stars_and_the_shear_baseline():
    star = np.array([[1.5, 0.0, 0.01, 1.5 ** G3]])
    # tmax / tau is 16.999999999999996 here: 17 intervals, the last ending at tmax
    tau = RISING.dt_int * orbkit.twopi
    assert RISING.tmax / tau < 17
    for t0 in (0.0, 0.1):
        for method in ("dop853", "bs"):
            t, lam = analysis.lyapunov(RISING, star, RISING.tmax + t0, t0=t0, method=method)
            assert len(t) == 17 and t[-1] == RISING.tmax + t0 and np.all(np.isfinite(lam))
    # shorter than one interval: refused, not an empty answer
    with pytest.raises(ValueError, match="shorter than one interval"):
        analysis.lyapunov(RISING, star, 0.9 * tau)
    # A star falling straight in (L = 0, no wave to give it any) is lost at the centre
    # in interval 3 of 1-unit intervals; its exponents stay nan from there, never
    # restarted, and the warning names the interval, also when it is the last one. The
    # other star runs on.
    falling = np.array([[2.0, 0.0, 0.0, 0.0], [1.5, 0.0, 0.01, 1.5 ** G3]])
    background = with_fields(RISING, patterns=[])
    for method in ("dop853", "bs"):
        for tmax, named in ((8.0, "interval 3 of 8 (t = 2 to 3)"), (3.0, "interval 3 of 3 (t = 2 to 3)")):
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                t, lam = analysis.lyapunov(background, falling, tmax, tau=1.0, method=method)
            assert np.all(np.isfinite(lam[0, :2])) and np.all(np.isnan(lam[0, 2:])), (method, lam)
            assert np.all(np.isfinite(lam[1]))
            said = [str(w.message) for w in caught]
            assert len(said) == 1 and "star 0" in said[0] and named in said[0], said
    # the shear baseline is the same stars' exponent in the background alone, where a
    # regular orbit's falls as ln(t)/t; in a model without waves the two are one
    res = analysis.lyapunov(RISING, star, 200.0, tau=1.0, method="dop853")
    _, alone = analysis.lyapunov(with_fields(RISING, patterns=[]), star, 200.0, tau=1.0,
                                 method="dop853")
    assert np.array_equal(res.shear, alone) and res.exponents is res[1]
    assert res.shear[0, -1] < 0.2 * res.shear[0, 9]  # ln(t)/t: 0.12 of itself from t = 10 to 200
    quiet = analysis.lyapunov(with_fields(RISING, patterns=[]), star, 20.0, tau=1.0)
    assert np.array_equal(quiet.shear, quiet.exponents)


def test_guiding_radius_at_a_rising_and_a_falling_curve():
    # a circular orbit at r has L = r v_c(r) = r^(1 + gamma_), so R_g = r
    r = np.array([0.5, 1.0, 2.0, 3.7])
    for gamma in (-0.3, 0.3, 0.5):
        model = orbkit.Model(gamma_=gamma, r_min=1.0, r_max=2.0)
        L = r * model.vc(r)
        np.testing.assert_allclose(analysis.guiding_radius(model, L), r, rtol=1e-14)
    assert np.isnan(analysis.guiding_radius(model, -1.0))


@pytest.mark.parametrize("gamma", [0.0, 0.3])
def test_twin_separation_is_the_twin_survey(gamma):
    model = with_fields(orbkit.Model.read(os.path.join(EXAMPLES, "twin.setup")), nstars=6, nsteps=8,
                        gamma_=gamma)
    table = orbkit.twin(model)
    times, dL = analysis.twin_separation(model, times=[0.0, model.tmax], quantity="L", exact=False,
                                        method="bs")
    assert np.array_equal(dL[:, -1], table["L2"] - table["L1"])   # the same draws, phases, runs
    times, d = analysis.twin_separation(model, method="dop853")
    assert d.shape == (6, model.nsteps + 1)
    assert np.allclose(d[:, 0], orbkit.twin_offset, rtol=1e-6)    # the twin's offset in x


# ---- churning, blurring and the Jacobi energy

@pytest.mark.parametrize("gamma", [0.0, 0.3])
def test_steady_pattern_keeps_jacobi_energy_so_de_is_omega_p_dl(gamma):
    omegas = 0.5
    model = orbkit.Model(gamma_=gamma, dt_int=0.5, nsteps=16, nstars=20, disp_u0=0.05, r_min=1.5,
                         r_max=2.5, lseed=7, patterns=[pattern(2, 0.02, omegas, 8.0)])
    s = analysis.survey(model, method="bs")  # the survey program's integration
    table = orbkit.migrate(model)
    c = analysis.churning(model, s.initial, s.final, s.t)
    # the survey's L is orbmigrate's, bit for bit
    assert np.array_equal(c["L0"], table["L0"]) and np.array_equal(c["dL"], table["dL"])
    # budget: E and L of order 1, each step kept to 1e-14 relative, some 10^3 steps
    assert np.max(np.abs(c["dL"])) > 1e-3, "the pattern must move angular momentum"
    assert np.max(np.abs(c["dE"] - omegas * c["dL"])) < 1e-10
    # churning is what moves the guiding radius, blurring the rest of the displacement
    assert np.allclose(c["dRg"], c["Rg1"] - c["Rg0"]) and np.allclose(c["dr"], c["dRg"] + c["blur"])
    # the background alone keeps L: no churning, the displacement is all blurring
    quiet = with_fields(model, patterns=[])
    q = analysis.survey(quiet, method="dop853")
    cq = analysis.churning(quiet, q.initial, q.final, q.t)
    assert np.max(np.abs(cq["dRg"])) < 1e-10 and np.max(np.abs(cq["dE"])) < 1e-10
    assert np.max(np.abs(cq["blur"])) > 1e-2


def test_churning_with_drawn_phases_uses_each_stars_potential():
    model = with_fields(CHAOTIC, randp0=1, nstars=4, nsteps=4, r_min=1.5, r_max=2.5, disp_u0=0.05)
    s = analysis.survey(model, method="dop853")
    c = analysis.churning(model, s.initial, s.final, s.t, phases=s.phases)
    for i in range(4):  # star i alone in a model that carries its phases as its own
        own = model.patterns
        for k, p in enumerate(own):
            p["phi0"] = math.degrees(s.phases[i, k])
        alone = with_fields(model, patterns=own, randp0=0)
        e = 0.5 * (s.final[i, 2] ** 2 + s.final[i, 3] ** 2) + alone.potential(*s.final[i, :2], s.t[i])
        assert c["E1"][i] == pytest.approx(e, abs=1e-12)


# ---- diffusion

def test_bootstrap_errors_shrink_as_one_over_sqrt_n():
    # Gaussian changes of spread sigma: <dL^2> and var(dL) have the error
    # sigma^2 sqrt(2/N) and <dL> sigma/sqrt(N); the bootstrap must find them, for every N.
    # Budget, for the mean of eight samples: the bootstrap error of one sample scatters
    # by 1.9/sqrt(N) (the fourth moment of dL^2 estimated from N values) and 3.5 % (400
    # resamplings), the mean of eight by a third of that: 5 % at N = 200, so 15 % is
    # three of them.
    sigma, t, repeats = 0.03, 50.0, 8
    rng = np.random.default_rng(1)
    for n in (200, 800, 3200):
        rows = []
        for k in range(repeats):
            L0 = rng.uniform(1.0, 2.0, n)
            dL = rng.normal(0.0, sigma, n)
            rows.append(analysis.diffusion(L0, L0 + dL, interval=t, bins=[1.0, 2.0], nboot=400,
                                           seed=k)[0])
        rows = np.array(rows)
        assert np.all(rows["count"] == n) and np.all(rows["interval"] == t)
        assert np.mean(rows["msq_err"]) == pytest.approx(sigma ** 2 * math.sqrt(2.0 / n), rel=0.15)
        assert np.mean(rows["var_err"]) == pytest.approx(sigma ** 2 * math.sqrt(2.0 / n), rel=0.15)
        assert np.mean(rows["mean_err"]) == pytest.approx(sigma / math.sqrt(n), rel=0.15)
        assert np.mean(rows["D2_err"]) == pytest.approx(sigma ** 2 * math.sqrt(2.0 / n) / t, rel=0.15)
        assert np.mean(rows["D1_err"]) == pytest.approx(sigma / math.sqrt(n) / t, rel=0.15)
        assert np.mean(rows["D2"]) == pytest.approx(sigma ** 2 / t, rel=0.15)


def test_diffusion_takes_survey_tables_and_bins_and_keeps_the_drift_apart():
    table = np.zeros(6, dtype=[("L0", "<f8"), ("dL", "<f8"), ("x", "<f8"), ("y", "<f8")])
    table["L0"] = [1.0, 1.2, 1.4, 2.6, 2.8, 3.0]
    table["dL"] = [0.1, -0.1, 0.2, 0.0, np.nan, 0.3]  # a failed star: left out
    d = analysis.diffusion(table, interval=2.0, bins=[1.0, 2.0, 2.5, 3.0], nboot=50)
    assert list(d["count"]) == [3, 0, 2]
    assert d["mean"][0] == pytest.approx(0.2 / 3) and np.isnan(d["mean"][1])
    # the last bin: changes 0 and 0.3, a drift 0.15 and a spread 0.15^2 apart
    assert d["msq"][2] == pytest.approx(0.045)
    assert d["var"][2] == pytest.approx(0.0225) and d["D2"][2] == pytest.approx(0.0225 / 2.0)
    assert d["D1"][2] == pytest.approx(0.15 / 2.0)
    same = analysis.diffusion(table["L0"], table["L0"] + table["dL"], interval=2.0,
                              bins=[1.0, 2.0, 2.5, 3.0], nboot=50)
    for name in d.dtype.names:
        np.testing.assert_allclose(same[name], d[name], rtol=1e-12, atol=1e-15, err_msg=name)
    twin = np.zeros(2, dtype=[("L0", "<f8"), ("L1", "<f8"), ("L2", "<f8")])
    twin["L0"], twin["L1"] = [1.0, 2.0], [1.5, 1.5]
    assert analysis.diffusion(twin, interval=1.0, bins=1)["msq"][0] == pytest.approx(0.25)
    # no interval, or the run's length given as t: refused, saying what to give
    with pytest.raises(ValueError, match="interval:"):
        analysis.diffusion(table)
    with pytest.raises(ValueError, match="not by the run's length"):
        analysis.diffusion(table, t=2.0)
    with pytest.raises(ValueError, match="no wave of the model acts"):
        analysis.diffusion(table, model=NONE)


def test_transient_run_twice_as_long_keeps_d1_and_d2():
    # The wave of the transient example acts from orbit 1 until it is gone at orbit 8;
    # after that no star's L changes, so neither may D1 nor D2 when the run goes on.
    # Budget: L after the wave is constant to the integration's 1e-12 or so.
    model = with_fields(orbkit.Model.read(os.path.join(EXAMPLES, "transient.setup")), nstars=300)
    w = analysis.waves(model)
    assert len(w) == 1 and w["npatterns"][0] == 2
    assert (w["start"][0], w["end"][0]) == pytest.approx((2 * math.pi, 16 * math.pi))
    rows = []
    for nsteps in (20, 40, 80):  # 10, 20 and 40 orbits
        longer = with_fields(model, nsteps=nsteps)
        s = analysis.survey(longer, method="dop853")
        L0, L1 = longer.quantity("L", s.initial), longer.quantity("L", s.final, s.t)
        rows.append(analysis.diffusion(L0, L1, model=longer, bins=[1.0, 1.5, 2.0, 2.5, 3.0]))
    for d in rows:
        assert np.all(d["interval"] == pytest.approx(14 * math.pi))
        for f in ("D1", "D2", "msq"):
            np.testing.assert_allclose(d[f], rows[0][f], rtol=1e-8, atol=1e-14, err_msg=f)
    assert np.all(rows[0]["D2"] > 0) and np.any(rows[0]["var"] < 0.9 * rows[0]["msq"])
    # a window that ends while the wave still acts: up to its end
    assert analysis.acting_window(model, 0.0, 10 * math.pi) == pytest.approx((2 * math.pi, 10 * math.pi))
    assert analysis.acting_window(model, 20 * math.pi, 30 * math.pi) == (20 * math.pi, 20 * math.pi)


def test_diffusion_history_tells_a_random_walk_from_a_drift():
    # Brownian changes: var(dL) = sigma^2 t exactly in expectation, exponent 1; steady
    # drifts of spread s: var = s^2 t^2, exponent 2. A common drift u t stays out of
    # var and its rate but is in <dL^2>. Budget: 4000 stars, var to 2.2 % per time; the
    # exponent's fit over a decade and more to 0.05.
    rng = np.random.default_rng(3)
    n, times = 4000, np.linspace(0.0, 50.0, 51)
    sigma, u = 0.01, 0.002
    walk = np.cumsum(np.concatenate([np.zeros((n, 1)), rng.normal(0, sigma, (n, 50))], 1), 1)
    L0 = rng.uniform(1.0, 2.0, (n, 1))
    h = analysis.diffusion_history(L0 + walk + u * times, times, bins=1, nboot=100)[0]
    assert h["count"] == n and np.array_equal(h["t"], times)
    assert h["exponent"] == pytest.approx(1.0, abs=0.05)
    assert np.mean(h["var_rate"]) == pytest.approx(sigma ** 2, rel=0.05)
    assert h["msq"][-1] - h["var"][-1] == pytest.approx(h["mean"][-1] ** 2)
    assert h["mean"][-1] == pytest.approx(u * 50.0, abs=3 * h["mean_err"][-1])
    assert np.all(np.abs(h["var"][1:] / (sigma ** 2 * times[1:]) - 1) < 4 * h["var_err"][1:] / h["var"][1:])
    ballistic = analysis.diffusion_history(L0 + rng.normal(0, 0.01, (n, 1)) * times, times,
                                           bins=1, nboot=10)[0]
    assert ballistic["exponent"] == pytest.approx(2.0, abs=0.05)
    with pytest.raises(ValueError, match="increasing"):
        analysis.diffusion_history(walk, times[::-1])


# ---- trapping at corotation

def pendulum_period(omega, amplitude):
    """Period of a pendulum of small-swing frequency omega at angular amplitude
    `amplitude`: 4 K(k) / omega, k = sin(amplitude / 2), K by the arithmetic-geometric mean."""
    a, b = 1.0, math.sqrt(1.0 - math.sin(amplitude / 2) ** 2)
    for _ in range(30):
        a, b = (a + b) / 2, math.sqrt(a * b)
    return 4 * (math.pi / (2 * a)) / omega


def test_libration_at_corotation_has_the_pendulums_period():
    # A straight two-armed wave (alpha = 0) of amplitude eps on a flat rotation curve:
    # the angle theta = 2 (phi - Omega_p t) of a guiding centre at corotation R_c obeys
    # theta'' = -(m^2 eps / R_c^2) sin theta, a pendulum of frequency 2 sqrt(eps) / R_c
    # about the potential's maximum. Budget: the pendulum is the first order in eps
    # (2 % measured for the smallest swing), turning times are read to the output
    # interval 0.5 (1 % of a period): 5 %.
    eps = 0.01
    model = orbkit.Model(gamma_=0.0, dt_int=0.5, nsteps=40, r_min=1.0, r_max=3.0,
                         patterns=[pattern(2, eps, 0.5, 0.0, smin=0.1, smax=10.0)])
    rc = model.resonances(1)["CR"]
    swing = np.array([0.15, 0.8, 0.15, 0.15, 0.3])  # azimuth from the maximum at t = 0
    radius = np.array([rc, rc, 1.2, 2.6, rc + 0.3])
    vr = np.array([0.0, 0.0, 0.05, 0.25, 0.0])
    times = np.arange(0.0, 400.0, 0.5)
    orbits = model.integrate(circular(radius, swing, vr), times, method="dop853")
    trap = analysis.trapping(model, orbits, times)
    omega = 2 * math.sqrt(eps) / rc
    for i in (0, 1):
        assert trap["trapped"][i]
        assert trap["period"][i] == pytest.approx(pendulum_period(omega, 2 * swing[i]), rel=0.05)
        assert trap["amplitude"][i] == pytest.approx(swing[i], rel=0.05)
    # inside the horseshoe's half-width 2 sqrt(eps) R_c = 0.4 the star is caught too
    assert trap["trapped"][4]
    # far inside, and outside the horseshoe on an eccentric orbit: circulating
    assert list(trap["turns"][2:4]) == [0, 0]
    # the eccentric one's own azimuth turns back every epicycle: the guiding centre's not
    raw = analysis.trapping(model, orbits, times, guiding=False)
    assert raw["turns"][3] > 10
    # a window of two of the small swing's periods holds about four turns
    early = analysis.trapping(model, orbits, times, window=(0.0, 2 * 63.0))
    assert 3 <= early["turns"][0] <= 5


def test_guiding_azimuth_at_a_rising_curve_takes_the_epicycle_off():
    # In the background alone (a pattern of zero amplitude only gives the frame) the
    # guiding centre of an orbit of e ~ 0.03 turns uniformly: after a straight line is
    # fitted, the rms left is of order e^2 (measured 1e-4), where the star's own azimuth
    # swings by v_r / ((1 + gamma_) v_c) = 0.031 (rms 0.022), and a correction for the
    # wrong curve (1 + gamma_ taken as 1) would leave 0.3/1.3 of that (rms 0.005).
    model = orbkit.Model(gamma_=0.3, dt_int=0.5, nsteps=40, r_min=1.0, r_max=3.0,
                         patterns=[pattern(2, 0.0, 0.0, 0.0)])
    state = circular(2.0, 0.0, 0.05)
    state[:, 2:] *= np.array([1.0, 2.0 ** 0.3])
    times = np.linspace(0.0, 100.0, 801)
    orbits = model.integrate(state, times, method="dop853")

    def wiggle(guiding):
        psi = analysis.pattern_angle(model, orbits, times, guiding=guiding)[0]
        return np.std(psi - np.polyval(np.polyfit(times, psi, 1), times))
    assert wiggle(True) < 1e-3 and wiggle(False) > 0.015, (wiggle(True), wiggle(False))


def test_libration_period_at_a_rising_curve_and_a_wave_too_short_for_it():
    # At gamma_ = 0.3 the guiding centre at corotation is a pendulum of frequency
    # m sqrt(eps (1 - gamma_) / (1 + gamma_)) / R_c (waves()'s T_lib for small swings):
    # measured by trapping from the orbits, to the 5 % of the flat case's test.
    eps = 0.01
    model = orbkit.Model(gamma_=0.3, dt_int=0.5, nsteps=40, r_min=1.0, r_max=3.0,
                         patterns=[pattern(2, eps, 0.5, 0.0, smin=0.1, smax=10.0)])
    w = analysis.waves(model)
    rc = w["R_CR"][0]
    assert rc == pytest.approx(model.resonances(1)["CR"]) and w["end"][0] == np.inf
    omega = 2 * math.sqrt(eps * 0.7 / 1.3) / rc
    assert w["T_lib"][0] == pytest.approx(2 * math.pi / omega)
    swing = 0.15
    times = np.arange(0.0, 500.0, 0.5)
    state = circular(rc, swing)
    state[:, 2:] *= rc ** 0.3  # v_c(rc): a circular orbit on this curve
    orbits = model.integrate(state, times, method="dop853")
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # the wave holds: no warning
        trap = analysis.trapping(model, orbits, times)
    assert trap["trapped"][0]
    assert trap["period"][0] == pytest.approx(pendulum_period(omega, 2 * swing), rel=0.05)
    # the same wave as a transient that lives 5 orbits, a third of T_lib: said so
    short = with_fields(model, patterns=[pattern(2, eps, 0.5, 0.0, smin=0.1, smax=10.0),
                                         dict(pattern(2, -eps, 0.5, 0.0, smin=0.1, smax=10.0),
                                              starttime=5.0)])
    assert analysis.waves(short)["end"][0] == pytest.approx(10 * math.pi)
    with pytest.warns(RuntimeWarning, match="acts for 5 orbits .* less than one libration period"):
        analysis.trapping(short, orbits, times)
    # and so is a window too short for the holding wave
    with pytest.warns(RuntimeWarning, match="less than one libration period"):
        analysis.trapping(model, orbits, times, window=(0.0, 0.5 * w["T_lib"][0]))


# ---- a lifetime of transient waves

def test_random_waves_are_seeded_transients_of_the_given_distributions():
    from orbkit import transients
    arms = lambda rng, n: rng.integers(2, 5, n)  # noqa: E731
    kw = dict(gamma_=0.3, radius=(1.5, 2.5), arms=arms, amplitude=(0.005, 0.01),
              lifetime=(10.0, 20.0), gap=3.0, seed=5)
    w = transients.random_waves(40, **kw)
    again = transients.random_waves(40, **kw)
    other = transients.random_waves(40, **dict(kw, seed=6))
    assert np.array_equal(w.radius, again.radius) and np.array_equal(w.phase, again.phase)
    assert not np.array_equal(w.radius, other.radius)
    assert np.all((w.radius >= 1.5) & (w.radius <= 2.5)) and set(w.mm) == {2.0, 3.0, 4.0}
    assert np.allclose(w.start[1:] - w.end[:-1], 3.0)  # one after the other, a gap between
    # each wave in a model: corotation at its radius, net amplitude the triangle
    model = orbkit.Model(gamma_=0.3, r_min=1.0, r_max=3.0,
                         patterns=[p for i in range(3) for p in w.patterns(i)])
    rows = analysis.waves(model)
    np.testing.assert_allclose(rows["R_CR"], w.radius[:3], rtol=1e-14)
    np.testing.assert_allclose(rows["start"], w.start[:3], rtol=1e-14)
    np.testing.assert_allclose(rows["end"], w.end[:3], rtol=1e-14)
    np.testing.assert_allclose(rows["amplitude"], w.epsilon[:3], rtol=1e-12)
    from orbkit.plot import net_amplitude, pattern_waves
    t = np.linspace(0.0, w.end[2] + 5.0, 301)
    net = np.array([net_amplitude(model, g, t) for g in pattern_waves(model)])
    np.testing.assert_allclose(net, w.amplitude(t)[:3], atol=1e-15)
    with pytest.raises(ValueError, match="radius"):
        transients.random_waves(3, radius=(2.0, 1.0))


def test_stars_cross_any_number_of_waves_in_spans():
    from orbkit import transients
    base = orbkit.Model(gamma_=0.0, r_min=1.5, r_max=2.5, disp_u0=0.05, nstars=40)
    states = base.draw(40)
    # four waves fit one model: the chain is that model's integration, bit for bit
    few = transients.random_waves(4, radius=(1.5, 2.5), amplitude=0.02, gap=-5.0, seed=3)
    times = np.linspace(0.0, few.end[-1] + 5.0, 9)
    one = base.replace(patterns=[p for i in range(4) for p in few.patterns(i)])
    assert np.array_equal(transients.integrate(base, few, states, times, method="dop853"),
                          one.integrate(states, times, method="dop853"))
    # twelve overlapping waves: three spans. Each wave's growth ends a rounding before its
    # copy starts (orbits times 2 pi), which the fast mode steps over. A star's L
    # changes only while a wave acts: over the gaps of a sequence with gaps it stays
    # to the integration's 1e-11.
    many = transients.random_waves(12, radius=(1.5, 2.5), amplitude=0.02, gap=-2.0, seed=3)
    assert len(transients._spans(many, 0.0, many.end[-1], 5)) == 3
    o = transients.integrate(base, many, states, [many.end[-1]], method="dop853")
    assert np.all(np.isfinite(o))
    gaps = transients.random_waves(7, radius=(1.5, 2.5), amplitude=0.02, gap=6.0, seed=4)
    times = np.stack([gaps.start, gaps.end], 1).ravel()  # s0 = 0, e0, s1, e1, ...
    o = transients.integrate(base, gaps, states, times, method="dop853")
    L = o[..., 0] * o[..., 3] - o[..., 1] * o[..., 2]
    quiet = np.abs(L[:, 2::2] - L[:, 1:-1:2])    # from a wave's end to the next one's start
    acting = np.abs(L[:, 1::2] - L[:, 0::2])     # over a wave
    assert quiet.max() < 1e-11 and acting.max() > 1e-2
    crowded = transients.random_waves(6, radius=2.0, lifetime=10.0, gap=-10.0)
    with pytest.raises(ValueError, match="6 waves act at once"):
        transients.integrate(base, crowded, states, [20.0])


def test_mean_square_change_grows_linearly_in_the_number_of_transients():
    # Independent transients (random radii and phases, one after another) each add an
    # independent change to a star's L: <dL^2> after k of N grows as k, within its
    # bootstrap errors (3 of them at every k; the errors of successive k share stars,
    # so this is no chi-square).
    from orbkit import transients
    base = orbkit.Model(gamma_=0.0, r_min=1.0, r_max=3.0, disp_u0=0.05, nstars=1500, lseed=11)
    states = base.draw(1500)
    waves = transients.random_waves(8, radius=(1.5, 2.5), amplitude=0.01, lifetime=6 * math.pi,
                                    seed=2)
    o = transients.integrate(base, waves, states, waves.end, method="dop853")
    L0 = states[:, 0] * states[:, 3] - states[:, 1] * states[:, 2]
    L = o[..., 0] * o[..., 3] - o[..., 1] * o[..., 2]
    rows = np.array([analysis.diffusion(L0, L[:, k], interval=1.0, bins=1, nboot=400, seed=k)[0]
                     for k in range(len(waves))])
    k = np.arange(1, len(waves) + 1)
    w = 1.0 / rows["msq_err"] ** 2
    slope = np.sum(w * k * rows["msq"]) / np.sum(w * k * k)
    assert np.all(np.abs(rows["msq"] - slope * k) < 3 * rows["msq_err"]), (rows["msq"], slope * k,
                                                                             rows["msq_err"])
    h = analysis.diffusion_history(np.concatenate([L0[:, None], L], 1),
                                   np.concatenate([[0.0], waves.end]), bins=1, nboot=0)[0]
    assert h["exponent"] == pytest.approx(1.0, abs=0.2)


# ---- gallery

@pytest.mark.parametrize("script", sorted(glob.glob(os.path.join(ROOT, "docs", "examples", "plot_*.py"))))
def test_gallery_example_draws_its_picture(script, tmp_path, monkeypatch):
    pytest.importorskip("matplotlib")
    monkeypatch.chdir(tmp_path)
    runpy.run_path(script, run_name="__main__")
    pngs = list(tmp_path.glob("*.png"))
    assert len(pngs) == 1 and pngs[0].stat().st_size > 10000


# ---- orbplot's commands

def test_orbplot_draws_each_analysis_of_a_setup(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    from orbkit import plot
    setup = tmp_path / "short.setup"
    with_fields(orbkit.Model.read(os.path.join(EXAMPLES, "migrate.setup")), nsteps=8).write(setup)
    for command in ("lyapunov", "diffusion", "churning", "trapping"):
        assert plot.main([command, "-n", "6", "--size", "600x300", str(setup)]) == 0
        assert (tmp_path / f"short.setup.{command}.png").stat().st_size > 5000
    assert plot.main(["trapping", "--pattern", "3", str(setup)]) == 2
    assert capsys.readouterr().err.endswith(f"orbplot: {setup}: --pattern: expected 1 .. 2, got 3\n")
    assert plot.main(["churning", "-o", str(tmp_path / "no" / "such.png"), "-n", "2", str(setup)]) == 2
