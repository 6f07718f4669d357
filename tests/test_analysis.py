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


def test_twin_separation_is_the_twin_survey():
    model = with_fields(orbkit.Model.read(os.path.join(EXAMPLES, "twin.setup")), nstars=6, nsteps=8)
    table = orbkit.twin(model)
    times, dL = analysis.twin_separation(model, times=[0.0, model.tmax], quantity="L", exact=False,
                                        method="bs")
    assert np.array_equal(dL[:, -1], table["L2"] - table["L1"])   # the same draws, phases, runs
    times, d = analysis.twin_separation(model, method="dop853")
    assert d.shape == (6, model.nsteps + 1)
    assert np.allclose(d[:, 0], orbkit.twin_offset, rtol=1e-6)    # the twin's offset in x


# ---- churning, blurring and the Jacobi energy

def test_steady_pattern_keeps_jacobi_energy_so_de_is_omega_p_dl():
    omegas = 0.5
    model = orbkit.Model(gamma_=0.0, dt_int=0.5, nsteps=16, nstars=20, disp_u0=0.05, r_min=1.5,
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
    # Gaussian changes of spread sigma: <dL^2> has the error sigma^2 sqrt(2/N) and <dL>
    # sigma/sqrt(N); the bootstrap must find both, for every N. Budget, for the mean of
    # eight samples: the bootstrap error of one sample scatters by 1.9/sqrt(N) (the
    # fourth moment of dL^2 estimated from N values) and 3.5 % (400 resamplings), the
    # mean of eight by a third of that: 5 % at N = 200, so 15 % is three of them.
    sigma, t, repeats = 0.03, 50.0, 8
    rng = np.random.default_rng(1)
    for n in (200, 800, 3200):
        rows = []
        for k in range(repeats):
            L0 = rng.uniform(1.0, 2.0, n)
            dL = rng.normal(0.0, sigma, n)
            rows.append(analysis.diffusion(L0, L0 + dL, t, bins=[1.0, 2.0], nboot=400, seed=k)[0])
        rows = np.array(rows)
        assert np.all(rows["count"] == n)
        assert np.mean(rows["msq_err"]) == pytest.approx(sigma ** 2 * math.sqrt(2.0 / n), rel=0.15)
        assert np.mean(rows["mean_err"]) == pytest.approx(sigma / math.sqrt(n), rel=0.15)
        assert np.mean(rows["D_err"]) == pytest.approx(sigma ** 2 * math.sqrt(2.0 / n) / (2 * t), rel=0.15)
        assert np.mean(rows["D"]) == pytest.approx(sigma ** 2 / (2 * t), rel=0.15)


def test_diffusion_takes_survey_tables_and_bins():
    table = np.zeros(6, dtype=[("L0", "<f8"), ("dL", "<f8"), ("x", "<f8"), ("y", "<f8")])
    table["L0"] = [1.0, 1.2, 1.4, 2.6, 2.8, 3.0]
    table["dL"] = [0.1, -0.1, 0.2, 0.0, np.nan, 0.3]  # a failed star: left out
    d = analysis.diffusion(table, t=2.0, bins=[1.0, 2.0, 2.5, 3.0], nboot=50)
    assert list(d["count"]) == [3, 0, 2]
    assert d["mean"][0] == pytest.approx(0.2 / 3) and np.isnan(d["mean"][1])
    assert d["D"][2] == pytest.approx((0.0 + 0.09) / 2 / (2 * 2.0))
    same = analysis.diffusion(table["L0"], table["L0"] + table["dL"], 2.0, bins=[1.0, 2.0, 2.5, 3.0], nboot=50)
    for name in d.dtype.names:
        np.testing.assert_allclose(same[name], d[name], rtol=1e-12, atol=1e-15, err_msg=name)
    twin = np.zeros(2, dtype=[("L0", "<f8"), ("L1", "<f8"), ("L2", "<f8")])
    twin["L0"], twin["L1"] = [1.0, 2.0], [1.5, 1.5]
    assert analysis.diffusion(twin, t=1.0, bins=1)["msq"][0] == pytest.approx(0.25)
    with pytest.raises(ValueError, match="t:"):
        analysis.diffusion(table)


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
