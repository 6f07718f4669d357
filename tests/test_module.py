"""The Python module against the programs: the same tables byte for byte, the same orbits,
the same setup reading; and its own contracts (arrays in, threads, Ctrl-C, failures).

Run by CTest with PYTHONPATH pointing at build/python and the programs in ORBMIGRATE,
ORBTWIN, ORBSPREAD."""

import math
import re
import os
import shutil
import signal
import subprocess
import sys
import textwrap
import time
import warnings

import numpy as np
import pytest

import orbkit

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXAMPLES = os.path.join(ROOT, "examples")
PROGRAM = {name: os.environ.get("ORB" + name.upper(), os.path.join(ROOT, "build", name, "orb" + name))
           for name in ("migrate", "twin", "spread")}
# the programs' row formats and tables
TABLE = {"migrate": (".lxy", "%.3f %.3f %.3f %.3f\n"),
         "twin": (".rx", "%.3f %.3f %.3f \n"),
         "spread": (".l", "%.3e %.3e %.3e %.3e\n")}
SPREAD_HEADER = "#time rmax lsig lmax\n"
# child interpreters import the same orbkit as this one
PYENV = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(os.path.abspath(orbkit.__file__))))


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    """Each example's setup and every file its program writes, as the regression suite
    pins them (regress/example-NAME/expected holds the programs' bytes, checked there)."""
    folder = tmp_path_factory.mktemp("examples")
    for name in TABLE:
        shutil.copy(os.path.join(EXAMPLES, name + ".setup"), folder)
        expected = os.path.join(ROOT, "tests", "regress", "example-" + name, "expected")
        for f in os.listdir(expected):
            if f.startswith(name + ".setup"):
                shutil.copy(os.path.join(expected, f), folder)
    return folder


@pytest.fixture(scope="module")
def tables(runs):
    """Each example's model and its table from the module, computed once."""
    out = {}
    for name in TABLE:
        model = orbkit.Model.read(str(runs / (name + ".setup")))
        out[name] = model, getattr(orbkit, name)(model)
    return out


def printed(table, fmt):
    return "".join(fmt % tuple(row) for row in table)


def record_text(model, orbit, times, phases):
    """The orbit file a program writes for one star, from integrate and record."""
    q = model.record(orbit, times, phases)
    lines = ["#t,x,y,vx,vy,r,phi,u,v,L ,J ,e ,theta1,KE,p0,p1,f1,p2,f2 ..\n",
             "#1,2,3,4 ,5 ,6,7  ,8,9,10,11,12,13    ,14,15,16,17,18,19\n"]
    for t, s, row in zip(times, orbit, q):
        values = [t, *s, *(row[n] for n in q.dtype.names)]
        lines.append("".join("%.3e " % v for v in values) + "\n")
    return "".join(lines)


# ---- the programs' numbers

@pytest.mark.parametrize("name", sorted(TABLE))
def test_tables_print_as_the_programs_files(runs, tables, name):
    suffix, fmt = TABLE[name]
    table = tables[name][1]
    with open(runs / (name + ".setup" + suffix)) as f:
        expected = f.read()
    if name == "spread":
        assert expected.startswith(SPREAD_HEADER)
        expected = expected[len(SPREAD_HEADER):]
    columns = {"migrate": ("L0", "dL", "x", "y"), "twin": ("L0", "L1", "L2"),
               "spread": ("t", "rmax", "lsig", "lmax")}[name]
    # the spread table adds the two-pass standard deviation of L beside the program's columns
    assert table.dtype.names == columns + (("lsig_twopass",) if name == "spread" else ())
    assert table.dtype == np.dtype([(n, "<f8") for n in table.dtype.names])
    assert printed(table[list(columns)], fmt) == expected
    # orbkit.read gives the file's rows back by column name
    back = orbkit.read(runs / (name + ".setup" + suffix))
    assert back.dtype.names == columns
    for n in columns:
        np.testing.assert_allclose(back[n], table[n], rtol=1e-3, atol=6e-4)


@pytest.mark.parametrize("name,suffix", [("migrate", ".bb"), ("twin", ".xb")])
def test_integrate_at_the_output_times_gives_the_orbit_files(runs, tables, name, suffix):
    model, table = tables[name]
    # the surveys keep the orbits of the stars whose dL lies inside the window, in order
    dl = table["dL"] if name == "migrate" else table["L1"] - table["L0"]
    kept = np.flatnonzero((model.l_min < dl) & (dl < model.l_max))
    assert len(kept) > 0
    states, phases = model.draw(), model.draw_phases()
    times = model.times()
    assert len(times) == model.nsteps + 1
    files, file_phases = [], []
    for star in kept[:3]:
        files.append(states[star])
        file_phases.append(phases[star])
        if name == "twin":
            twin = states[star].copy()
            twin[0] = twin[0] + orbkit.twin_offset
            files.append(twin)
            file_phases.append(phases[star])
    file_phases = np.array(file_phases) if model.randp0 == 1 else None
    # the orbit files print the states the programs' path reached, within 1e-4 of each time
    orbits, reached = model.integrate(np.array(files), times, phases=file_phases, with_times=True, exact=False,
                                      method="bs")
    assert orbits.shape == (len(files), len(times), 4) and reached.shape == orbits.shape[:2]
    assert np.all(np.abs(reached - times) <= 1e-4)
    for count, orbit in enumerate(orbits):
        star_phases = None if file_phases is None else file_phases[count]
        with open(runs / f"{name}.setup_{count}{suffix}") as f:
            assert record_text(model, orbit, reached[count], star_phases) == f.read(), \
                f"{name}.setup_{count}{suffix}"
        rows = orbkit.read(runs / f"{name}.setup_{count}{suffix}")
        np.testing.assert_allclose(rows["x"], orbit[:, 0], rtol=6e-4, atol=1e-3)
    # integrating straight to the end is how the survey's table is made
    if name == "migrate":
        end = model.integrate(states[kept[:2]], [model.tmax], method="bs")
        assert np.array_equal(end[:, 0, 0], table["x"][kept[:2]])


def test_spread_ensemble_file_reads_by_column(runs):
    rows = orbkit.read(runs / "spread.setup.x")
    model = orbkit.Model.read(str(runs / "spread.setup"))
    assert len(rows) == model.nstars * (len(model.spread_times()) + 1)
    assert rows.dtype.names[:3] == ("i", "to", "x") and rows.dtype.names[-2:] == ("p2", "f2")
    assert list(rows["i"][:3]) == [0, 1, 2]


def test_twins_differ_where_the_table_shows_them_equal(tables):
    table = tables["twin"][1]
    shown_equal = np.array(["%.3f" % a == "%.3f" % b for a, b in zip(table["L1"], table["L2"])])
    assert shown_equal.sum() > len(table) // 2, "the example is meant to hide most differences"
    hidden = np.abs(table["L1"] - table["L2"])[shown_equal]
    assert np.all(hidden > 0), f"{np.sum(hidden == 0)} twins end bit for bit equal"
    print(f"{shown_equal.sum()} of {len(table)} rows print equal L1, L2; "
          f"their differences span {hidden.min():.3g} .. {hidden.max():.3g}")


def test_draw_is_the_survey_draw_and_redraws_phases():
    model = orbkit.Model.read(os.path.join(EXAMPLES, "migrate.setup"))
    states = model.draw()
    assert states.shape == (model.nstars, 4) and states.dtype == np.float64
    assert np.array_equal(model.draw(5), states[:5])
    # every star starts with tangential speed 1, at r_min <= r <= r_max
    x, y, vx, vy = states.T
    r = np.hypot(x, y)
    assert np.all((model.r_min <= r) & (r <= model.r_max))
    np.testing.assert_allclose((x * vy - y * vx) / r, 1.0, rtol=1e-12)

    fields = {n: getattr(model, n) for n in orbkit.scalar_names if n != "npatterns"}
    redrawn = orbkit.Model(**dict(fields, randp0=1, nstars=6), patterns=model.patterns)
    states6, phases = redrawn.draw(), redrawn.draw_phases()
    assert states6.shape == (6, 4) and phases.shape == (6, 2)
    assert np.all(phases[:, 0] == 0.0), "the first pattern keeps its phase"
    assert len(set(phases[:, 1])) == 6 and np.all((0 <= phases) & (phases < 2 * math.pi))
    # with their phases the stars follow the model each drew them in: the table's x
    table = orbkit.migrate(redrawn)
    end = redrawn.integrate(states6, [redrawn.tmax], phases=phases, method="bs")
    assert np.array_equal(end[:, 0, 0], table["x"])
    with pytest.warns(orbkit.IntegrationWarning, match=r"randp0 = 1.*phases=model.draw_phases\(n\)"):
        own = redrawn.integrate(states6, [redrawn.tmax])
    assert not np.array_equal(own[:, 0, 0], table["x"])


def test_the_readme_plot_runs(tmp_path):
    """The README's Python lines, run as they stand from the root of a clone."""
    readme = open(os.path.join(ROOT, "README.md")).read()
    section = readme[readme.index("## From Python"):]
    code = section[section.index("```python\n") + 10:section.index("```\n", section.index("```python"))]
    assert "import orbkit" in code.splitlines()[:2]
    os.symlink(EXAMPLES, tmp_path / "examples")  # a fresh clone: no scratch/ yet
    done = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=PYENV, capture_output=True,
                          text=True)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "scratch" / "dL.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


# ---- setup files

def test_write_then_read_gives_the_same_model_bit_for_bit(tmp_path):
    odd = dict(gamma_=0.1, NU=1 / 3, mixtime=1e-300, dt_int=0.1, nsteps=3, nstars=2,
               disp_u0=math.pi, r_min=0.7, r_max=2 / 3 + 1, lseed=-(2**40), randp0=1,
               l_min=-0.3, l_max=5e-324,
               patterns=[dict(mm=2, epsilon=0.01, phi0=33.3, alpha=-8.1, Omegas=0.45,
                              growtime=1 / 7, starttime=0.3, smin=1.5, smax=2.5, wmin=0.5,
                              wmax=0.25)])
    model = orbkit.Model(**odd)
    model.write(tmp_path / "odd.setup")
    back = orbkit.Model.read(str(tmp_path / "odd.setup"))
    assert back == model
    assert repr(back) == repr(model)
    for name in orbkit.scalar_names:
        a, b = getattr(model, name), getattr(back, name)
        assert type(a) is type(b) and (np.float64(a).tobytes() == np.float64(b).tobytes()), name
    assert back.patterns == odd["patterns"] or back.patterns[0]["growtime"] == 1 / 7
    # the times in model units are the reader's conversion of the file's orbits
    assert np.array_equal(back.times(), model.times()) and back.times()[1] == 0.1 * orbkit.twopi
    # a model written from an example reads back equal, and rebuilt from its repr
    example = orbkit.Model.read(os.path.join(EXAMPLES, "twin.setup"))
    example.write(tmp_path / "twin.setup")
    assert orbkit.Model.read(str(tmp_path / "twin.setup")) == example
    assert eval(repr(example), {"orbkit": orbkit}) == example


def test_model_keywords_are_checked():
    with pytest.raises(TypeError, match="gamma"):
        orbkit.Model(gamma=0.1)
    with pytest.raises(TypeError, match="Omega"):
        orbkit.Model(patterns=[dict(Omega=0.5)])
    with pytest.raises(TypeError):
        orbkit.Model(nsteps=2.5)
    with pytest.raises(ValueError, match="npatterns"):
        orbkit.Model(npatterns=2, patterns=[{}], r_max=1)
    with pytest.raises(orbkit.SetupError, match="^Model\\(\\): npatterns: 11 is more than the 10"):
        orbkit.Model(patterns=[{}] * 11, r_max=1)
    assert orbkit.Model(patterns=[{}] * 10, r_max=1).npatterns == 10


SETUP_LINES = open(os.path.join(EXAMPLES, "migrate.setup")).read().splitlines(keepends=True)


def test_a_refused_setup_raises_setup_error_with_file_and_line(tmp_path):
    short = tmp_path / "short.setup"
    short.write_text("".join(SETUP_LINES[:20]))
    with pytest.raises(orbkit.SetupError) as caught:
        orbkit.Model.read(str(short))
    assert str(caught.value) == f"{short}:21: starttime: missing, the file ends after line 20"
    assert isinstance(caught.value, ValueError)
    many = tmp_path / "many.setup"
    many.write_text("".join(SETUP_LINES[:13]) + "11  npatterns\n")
    with pytest.raises(orbkit.SetupError, match=rf"^{many}:14: npatterns: 11 is more than"):
        orbkit.Model.read(str(many))
    with pytest.raises(OSError):
        orbkit.Model.read(str(tmp_path / "absent.setup"))
    # the same messages as the program, which ends with status 2
    done = subprocess.run([PROGRAM["migrate"], str(short)], capture_output=True, text=True)
    assert done.returncode == 2
    assert done.stderr == f"orbmigrate: {short}:21: starttime: missing, the file ends after line 20\n"


def test_a_warning_of_the_reader_is_a_python_warning(tmp_path):
    lines = list(SETUP_LINES)
    lines[5] = "many  nstars\n"
    path = tmp_path / "word.setup"
    path.write_text("".join(lines))
    with pytest.warns(RuntimeWarning) as caught:
        model = orbkit.Model.read(str(path))
    assert len(caught) == 1
    assert str(caught[0].message).startswith(
        f"{path}:6: warning: nstars: expected an integer, got 'many  nstars'; keeping 0")
    done = subprocess.run([PROGRAM["migrate"], str(path)], capture_output=True, text=True)
    assert done.stderr.startswith(f"orbmigrate: {caught[0].message}\n")
    assert model.nstars == 0 and len(orbkit.migrate(model)) == 0


def test_bad_input_never_ends_the_interpreter(tmp_path):
    """Every refusal is an exception the caller can catch, in a fresh interpreter."""
    bad = tmp_path / "bad.setup"
    bad.write_text("0.0\n")
    script = textwrap.dedent(f"""
        import numpy as np, orbkit
        for call in (lambda: orbkit.Model.read({str(bad)!r}),
                     lambda: orbkit.Model.read({str(tmp_path)!r}),
                     lambda: orbkit.Model(nstars=300, r_max=1).draw(-1),
                     lambda: orbkit.spread(orbkit.Model(nstars=300, dt_int=1.0, r_max=1)),
                     lambda: orbkit.spread(orbkit.Model(nstars=3, r_max=1)),
                     lambda: orbkit.Model(r_max=1).integrate(np.zeros((2, 5)), [1.0]),
                     lambda: orbkit.Model(r_max=1).integrate(np.zeros((2, 4)), [1.0], threads=100000)):
            try:
                call()
            except (ValueError, OSError) as e:
                print(type(e).__name__)
        print("alive")
    """)
    done = subprocess.run([sys.executable, "-c", script], env=PYENV, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["SetupError", "SetupError", "ValueError", "ValueError",
                                   "SetupError", "ValueError", "ValueError", "alive"]


# ---- integrate: arrays, threads, failures, Ctrl-C

def test_arrays_of_the_wrong_shape_or_dtype_raise_value_error():
    model = orbkit.Model.read(os.path.join(EXAMPLES, "migrate.setup"))
    good = model.draw(3)
    bad = [(good[:, :3], [1.0]), (good[0, :3], [1.0]), (good.astype(np.complex128), [1.0]),
           (good, np.array([[1.0]])), (good, np.array(["1"])),
           (good.reshape(3, 2, 2), [1.0]), (np.array([["a", "b", "c", "d"]]), [1.0])]
    for states, times in bad:
        with pytest.raises(ValueError):
            model.integrate(states, times)
    with pytest.raises(ValueError, match="phases"):
        model.integrate(good, [1.0], phases=np.zeros((3, 1)))
    with pytest.raises(ValueError):
        model.record(good[:, :2])
    with pytest.raises(ValueError):
        model.record(good, t=np.zeros(2))
    # a list of rows and a non-contiguous view are fine
    assert np.array_equal(model.integrate(good.tolist(), [1.0]),
                          model.integrate(np.asfortranarray(good), [1.0]))


def test_one_thread_and_two_give_identical_arrays():
    model = orbkit.Model.read(os.path.join(EXAMPLES, "migrate.setup"))
    states = model.draw(24)
    times = model.times()[:9]
    one = model.integrate(states, times, threads=1)
    two = model.integrate(states, times, threads=2)
    assert one.tobytes() == two.tobytes()
    fields = {n: getattr(model, n) for n in orbkit.scalar_names if n != "npatterns"}
    small = orbkit.Model(**dict(fields, nstars=30, nsteps=10), patterns=model.patterns)
    assert orbkit.migrate(small, threads=1).tobytes() == orbkit.migrate(small, threads=2).tobytes()


def test_a_failed_star_gives_nan_rows_and_a_warning_with_its_index():
    model = orbkit.Model.read(os.path.join(EXAMPLES, "migrate.setup"))
    states = model.draw(3)
    states[1] = 0.0  # at the centre the force is 0/0
    with pytest.warns(orbkit.IntegrationWarning, match=r"^integrate: 1 of 3 stars failed; .*: star 1 at t = 0 "
                      r"\(r = 0\)\. Cause: near the centre.*start the stars away from r = 0"):
        out = model.integrate(states, [0.0, 1.0, 2.0])
    assert np.all(np.isfinite(out[[0, 2]]))
    assert np.array_equal(out[1, 0], [0.0, 0.0, 0.0, 0.0]), "t = 0 needs no step"
    assert np.all(np.isnan(out[1, 1:]))


def test_ctrl_c_stops_integrate():
    script = textwrap.dedent("""
        import os, signal, threading, time, numpy as np, orbkit
        model = orbkit.Model(nsteps=1, dt_int=1e5, nstars=4, r_min=1, r_max=2, lseed=1,
                             patterns=[dict(mm=2, epsilon=0.01, Omegas=0.5, smin=1, smax=2,
                                            wmin=1, wmax=1, alpha=-8)])
        states = model.draw()
        sent = []
        def interrupt():
            sent.append(time.monotonic())
            os.kill(os.getpid(), signal.SIGINT)
        threading.Timer(1.0, interrupt).start()
        try:
            model.integrate(states, model.times())
            print("finished")
        except KeyboardInterrupt:
            print("interrupted %.3f" % (time.monotonic() - sent[0]))
    """)
    # The integration asked for (1e5 orbits of 4 stars) takes hours: only a stop that
    # every step heeds ends it, which the timeout (a guard against a hang, not a
    # measure) leaves ample room for. How soon it stops is measured, not asserted.
    done = subprocess.run([sys.executable, "-c", script], env=PYENV, capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    word, *rest = done.stdout.split()
    assert word == "interrupted", done.stdout


# ---- physics of the model

def test_force_is_minus_the_gradient_of_the_potential():
    model = orbkit.Model.read(os.path.join(EXAMPLES, "migrate.setup"))
    rng = np.random.default_rng(3)
    x, y = rng.uniform(-3, 3, (2, 200))
    t = 15.0 * orbkit.twopi  # both spirals grown
    fx, fy = model.force(x, y, t)
    h = 1e-6
    gx = (model.potential(x + h, y, t) - model.potential(x - h, y, t)) / (2 * h)
    gy = (model.potential(x, y + h, t) - model.potential(x, y - h, t)) / (2 * h)
    np.testing.assert_allclose(fx, -gx, atol=1e-8)
    np.testing.assert_allclose(fy, -gy, atol=1e-8)
    # broadcasting: a grid of radii against one time
    assert model.vc(np.array([[1.0, 2.0]])).shape == (1, 2)
    np.testing.assert_allclose(model.vc([0.5, 1.0, 3.0]), 1.0, rtol=1e-14)  # flat rotation curve
    np.testing.assert_allclose(model.kappa(2.0), math.sqrt(2) * model.omega(2.0))


def test_resonances_and_jacobi_energy():
    model = orbkit.Model.read(os.path.join(EXAMPLES, "migrate.setup"))
    res = model.resonances(1)
    # corotation where Omega = Omega_p, Lindblad where Omega -/+ kappa/m = Omega_p
    assert model.omega(res["CR"]) == pytest.approx(0.5, rel=1e-12)
    om, ka = model.omega(res["ILR"]), model.kappa(res["ILR"])
    assert om - ka / 2 == pytest.approx(0.5, rel=1e-12)
    om, ka = model.omega(res["OLR"]), model.kappa(res["OLR"])
    assert om + ka / 2 == pytest.approx(0.5, rel=1e-12)
    # the Jacobi energy of one steady pattern is conserved along an integrated orbit
    steady = orbkit.Model(nsteps=40, dt_int=0.5, r_max=1, patterns=[dict(mm=2, epsilon=0.01, alpha=-8,
                          Omegas=0.5, smin=0.1, smax=10, wmin=1, wmax=1, starttime=-1)])
    orbit = steady.integrate([[2.0, 0.0, 0.3, 0.8]], steady.times())[0]
    ej = steady.jacobi(orbit, steady.times(), pattern=1)
    L = steady.quantity("L", orbit, steady.times())
    assert np.ptp(L) > 1e-3, "the pattern must act on the star"
    assert np.ptp(ej) < 1e-10 * abs(ej[0])


def test_jacobi_energy_of_each_pattern_of_a_two_pattern_model():
    # E - Omega_p L with pattern k's own speed and its own potential at full amplitude,
    # eps A(r) cos(m (phi - phi0 - Omega_p t) + alpha ln r), computed here from the
    # model's definition; the patterns differ in every parameter, and at times before,
    # during and after their growth (the energy uses the full amplitude throughout)
    patterns = [dict(mm=2, epsilon=0.01, phi0=30, alpha=-8, Omegas=0.5, growtime=1, starttime=1,
                     smin=1.5, smax=2.5, wmin=0.5, wmax=0.5),
                dict(mm=3, epsilon=0.02, phi0=45, alpha=6, Omegas=0.3, growtime=2, starttime=3,
                     smin=1.0, smax=2.0, wmin=0.3, wmax=0.4)]
    model = orbkit.Model(gamma_=0.0, r_min=1.0, r_max=2.0, patterns=patterns)
    rng = np.random.default_rng(11)
    n = 50
    r, phi = rng.uniform(0.5, 3.0, n), rng.uniform(-math.pi, math.pi, n)
    x, y = r * np.cos(phi), r * np.sin(phi)
    vx, vy = rng.uniform(-0.3, 0.3, n) - np.sin(phi), rng.uniform(-0.3, 0.3, n) + np.cos(phi)
    states = np.stack([x, y, vx, vy], axis=-1)
    t = rng.uniform(0.0, 6.0, n) * orbkit.twopi

    def envelope(q):
        inside, outside = r < q["smin"], r > q["smax"]
        d = np.where(inside, r - q["smin"], np.where(outside, r - q["smax"], 0.0))
        w = np.where(inside, q["wmin"], q["wmax"])
        return np.exp(-0.5 * (d / w) ** 2)

    L = x * vy - y * vx
    E0 = 0.5 * (vx * vx + vy * vy) + np.log(r)
    for k, q in enumerate(patterns, start=1):
        chi = q["mm"] * (phi - math.radians(q["phi0"]) - q["Omegas"] * t) + q["alpha"] * np.log(r)
        expected = E0 + q["epsilon"] * envelope(q) * np.cos(chi) - q["Omegas"] * L
        got = model.jacobi(states, t, pattern=k)
        assert got.shape == (n,)
        np.testing.assert_allclose(got, expected, rtol=0, atol=1e-13 * np.max(np.abs(E0)), err_msg=f"pattern {k}")
    # the patterns' speeds differ: so do their energies
    assert np.max(np.abs(model.jacobi(states, t, pattern=2) - model.jacobi(states, t, pattern=1))) > 0.1
    with pytest.raises(ValueError, match="expected 1 .. 2, got 3"):
        model.jacobi(states, t, pattern=3)


# ---- the fast mode: method="dop853"

def test_fast_mode_agrees_with_the_exact_integrator(tables):
    """The three tables and integrate with method="dop853" at 1e-14, against the exact
    integrator: the migration table (20 orbits) within 3e-8, typically 1e-10; the twins' L1, L2 over their
    60 orbits, where chaotic pairs part, in the median; integrate at the times the exact
    integrator reached (it stops within 1e-4 of each output time; dop853 hits them)."""
    model, exact = tables["migrate"]
    fast = orbkit.migrate(model, method="dop853", tol=1e-14)
    # the largest difference comes from the two most sensitive of the 400 stars, which
    # lie 1.1e-8 and 1.5e-8 from a run at 1e-16 (1.1e-8 and 6e-11 before the fast mode's
    # own mathematics: each change of last bits moves them); the typical star, 1e-11
    for field in ("L0", "dL", "x", "y"):
        assert np.max(np.abs(fast[field] - exact[field])) < 3e-8, field
        assert np.median(np.abs(fast[field] - exact[field])) < 1e-10, field
    model, exact = tables["twin"]
    fast = orbkit.twin(model, method="dop853", tol=1e-14)
    for field in ("L1", "L2"):
        assert np.median(np.abs(fast[field] - exact[field])) < 1e-8, field
    # the spread is a difference of neighbouring orbits: close in relative terms
    model, exact = tables["spread"]
    fast = orbkit.spread(model, method="dop853", tol=1e-14)
    assert np.array_equal(fast["t"], exact["t"])
    assert np.max(np.abs(fast["rmax"] - exact["rmax"]) / exact["rmax"]) < 1e-3

    model = tables["migrate"][0]
    states = model.draw(6)
    orbits, reached = model.integrate(states, model.times(), with_times=True, method="bs")
    for i in range(len(states)):
        fast = model.integrate(states[i:i + 1], reached[i], method="dop853", tol=1e-14)
        assert np.max(np.abs(fast[0] - orbits[i])) < 1e-9, i


def test_fast_mode_same_bits_in_lanes_threads_and_paths(monkeypatch):
    """method="dop853": the full-precision states and tables are the same whether the
    stars run in lanes on 1 or 2 threads, on the scalar path or the widest one, and
    each star of integrate equals that star integrated alone."""
    model = orbkit.Model.read(os.path.join(EXAMPLES, "transient.setup"))
    states = model.draw(9)
    times = model.times()[::7]
    runs = {}
    for path in ("", "scalar", "sse2", "avx2", "avx512"):
        monkeypatch.setenv("ORBKIT_SIMD", path)
        for threads in (1, 2):
            runs[path, threads] = (model.integrate(states, times, method="dop853", threads=threads),
                                   orbkit.twin(model, method="dop853", threads=threads))
    first = runs["", 1]
    for key, (orbits, table) in runs.items():
        assert np.array_equal(orbits, first[0], equal_nan=True), key
        assert np.array_equal(table, first[1]), key
    for i in range(len(states)):
        alone = model.integrate(states[i:i + 1], times, method="dop853", threads=1)
        assert np.array_equal(alone[0], first[0][i], equal_nan=True), i


def test_fast_mode_arguments():
    model = orbkit.Model.read(os.path.join(EXAMPLES, "migrate.setup"))
    states = model.draw(3)
    times = model.times()[:3]
    default = model.integrate(states, times, method="dop853")
    assert np.array_equal(default, model.integrate(states, times, method="dop853", tol=1e-13))
    assert not np.array_equal(default, model.integrate(states, times, method="dop853", tol=1e-10))
    # the fast mode is the default of integrate and the analyses; the programs' tables keep
    # the programs' method
    assert np.array_equal(model.integrate(states, times), default)
    assert not np.array_equal(default, model.integrate(states, times, method="bs"))
    small = model.replace(nstars=5)
    assert np.array_equal(orbkit.migrate(small), orbkit.migrate(small, method="bs"))
    from orbkit import analysis
    assert np.array_equal(analysis.survey(small).final, analysis.survey(small, method="dop853").final)
    assert np.array_equal(analysis.lyapunov(small, states, 3.0, tau=1.0)[1],
                          analysis.lyapunov(small, states, 3.0, tau=1.0, method="dop853")[1])
    for kwargs, error, text in ((dict(method="rk4"), ValueError, "expected 'dop853' or 'bs', got 'rk4'"),
                                (dict(method=1), TypeError, "method"),
                                (dict(method="bs", tol=1e-13), ValueError, "method='bs' has none"),
                                (dict(method="dop853", tol="small"), TypeError, "tol"),
                                (dict(method="dop853", tol=0.0), ValueError, "from 1e-16 to below 1"),
                                (dict(method="dop853", tol=float("nan")), ValueError, "from 1e-16")):
        for call in (lambda: model.integrate(states, times, **kwargs), lambda: orbkit.migrate(model, **kwargs),
                     lambda: orbkit.twin(model, **kwargs), lambda: orbkit.spread(model, **kwargs)):
            with pytest.raises(error, match=text):
                call()


# ---- one table of bad setups: every front end gives the same verdict in the same words

# (name, program, setup text or None for a missing file); the verdict is the message
# after "PROGRAM: ", with the setup's path as written.
def _lines(**changes):
    lines = list(SETUP_LINES)
    index = {n: i for i, n in enumerate(orbkit.scalar_names)}
    for name, value in changes.items():
        lines[index[name]] = f"{value}  {name}\n"
    return "".join(lines)


BAD_SETUPS = [
    ("spread dt_int -0.25", "spread", _lines(dt_int=-0.25, nstars=5)),
    ("npatterns -1", "migrate", _lines(npatterns=-1)),
    ("nstars 2^32", "migrate", _lines(nstars=2**32)),
    ("r_min = r_max = 0", "migrate", _lines(r_min=0, r_max=0)),
    ("truncated", "migrate", "".join(SETUP_LINES[:20])),
    ("missing file", "migrate", None),
    ("envelope 0 everywhere", "migrate", "".join(SETUP_LINES[:14]).replace("2   npatterns", "1   npatterns")
     + "2\n0.01\n0\n8\n0.5\n1\n1\n0\n0\n0\n0\n"),
]


def verdict_program(program, path):
    done = subprocess.run([PROGRAM[program], os.path.basename(path)], cwd=os.path.dirname(path),
                          capture_output=True, text=True)
    assert done.returncode == 2, done
    last = done.stderr.splitlines()[-1]
    prefix = f"orb{program}: "
    assert last.startswith(prefix), last
    return last[len(prefix):]


def verdict_module(program, path):
    cwd = os.getcwd()
    os.chdir(os.path.dirname(path))
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            model = orbkit.Model.read(os.path.basename(path))
            getattr(orbkit, program)(model)
    except orbkit.SetupError as e:
        return str(e)
    except OSError as e:
        return f"{e.filename}: cannot open: {e.strerror}"
    finally:
        os.chdir(cwd)
    return "accepted"


# one column per front end; another reads the same table by adding its function here
VERDICTS = {"program": verdict_program, "module": verdict_module}


@pytest.mark.parametrize("name,program,text", BAD_SETUPS, ids=[c[0] for c in BAD_SETUPS])
def test_every_front_end_refuses_a_bad_setup_in_the_same_words(tmp_path, name, program, text):
    path = tmp_path / "bad.setup"
    if text is not None:
        path.write_text(text)
    verdicts = {front: verdict(program, str(path)) for front, verdict in VERDICTS.items()}
    assert len(set(verdicts.values())) == 1, verdicts
    assert verdicts["program"].startswith("bad.setup"), verdicts


# ---- the traps a galpy user falls into

def test_a_pattern_without_its_envelope_has_full_amplitude_and_a_vanishing_one_is_refused(tmp_path):
    """Trap 1: a pattern given without smin ... wmax acts at every radius; one whose
    envelope is 0 everywhere is refused, by Model() as by the reader."""
    spiral = dict(mm=2, epsilon=0.01, alpha=8, Omegas=0.5)
    model = orbkit.Model(r_min=1, r_max=3, patterns=[spiral])
    assert model.patterns[0]["smin"] == 0 and model.patterns[0]["smax"] == math.inf
    background = orbkit.Model(r_min=1, r_max=3)
    r = np.array([0.1, 1.0, 2.0, 10.0])
    x, y = r * math.cos(0.3), r * math.sin(0.3)
    t = 1.0  # after the growth, which is 0 orbits long from 0
    # the spiral's force at full amplitude: eps (alpha sin chi / r, m sin chi / r) in polar terms
    fx, fy = model.force(x, y, t)
    bx, by = background.force(x, y, t)
    chi = 2 * (0.3 - 0.5 * t) + 8 * np.log(r)
    f_r = -0.01 * (-8 * np.sin(chi) / r)         # -dPhi/dr of eps cos chi
    f_phi = -0.01 * (-2 * np.sin(chi)) / r       # -(1/r) dPhi/dphi
    want_x = f_r * math.cos(0.3) - f_phi * math.sin(0.3)
    want_y = f_r * math.sin(0.3) + f_phi * math.cos(0.3)
    np.testing.assert_allclose(fx - bx, want_x, rtol=1e-9, atol=1e-15)
    np.testing.assert_allclose(fy - by, want_y, rtol=1e-9, atol=1e-15)
    # written and read back by the programs' reader: the same model, and no warning about inf
    model.write(tmp_path / "open.setup")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert orbkit.Model.read(tmp_path / "open.setup") == model
    with pytest.raises(orbkit.SetupError, match=r"^Model\(\): pattern 1: its envelope is 0 at every radius"):
        orbkit.Model(r_min=1, r_max=3, patterns=[dict(spiral, smin=0, smax=0, wmin=0, wmax=0)])


BAD_FIELDS = [dict(nsteps=2**31), dict(nstars=2**32), dict(r_min=0, r_max=0), dict(dt_int=math.nan),
              dict(npatterns=11), dict(lseed=2**63)]


@pytest.mark.parametrize("fields", BAD_FIELDS, ids=[str(f) for f in BAD_FIELDS])
def test_model_refuses_what_the_reader_refuses_in_its_words(tmp_path, fields):
    """Trap 2: Model(**fields) runs the reader's checks: the same refusal, the same words."""
    path = tmp_path / "f.setup"
    path.write_text(_lines(**fields))
    with pytest.raises(orbkit.SetupError) as read:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            orbkit.Model.read(str(path))
    values = {n: getattr(orbkit.Model.read(os.path.join(EXAMPLES, "migrate.setup")), n)
              for n in orbkit.scalar_names if n != "npatterns"}
    if "npatterns" in fields:
        values["patterns"] = [{}] * fields["npatterns"]
    else:
        values.update(fields)
    with pytest.raises(orbkit.SetupError) as made:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            orbkit.Model(**values)
    reader_words = str(read.value).split(": ", 1)[1]
    assert str(made.value) == "Model(): " + reader_words


def test_model_warns_as_the_reader_warns(tmp_path):
    path = tmp_path / "w.setup"
    path.write_text(_lines(gamma_=-2, randp0=3))
    with pytest.warns(orbkit.SetupWarning) as read:
        orbkit.Model.read(str(path))
    values = orbkit.Model.read(os.path.join(EXAMPLES, "migrate.setup")).replace
    with pytest.warns(orbkit.SetupWarning) as made:
        values(gamma_=-2, randp0=3)
    words = [str(w.message).split(": warning: ", 1)[1] for w in read]
    assert [str(w.message) for w in made] == ["Model(): warning: " + w for w in words]
    assert len(words) == 2 and "gamma_" in words[0] and "randp0: 3" in words[1]


def test_integrate_starts_at_t0_and_every_row_is_at_the_time_asked(tables):
    """Traps 4 and 5: states at t0, rows at exactly the times asked for with both methods;
    the default method keeps the programs' path; one state (4,) and integers work."""
    model, table = tables["migrate"]
    states = model.draw(4)
    later = np.linspace(2 * math.pi, 4 * math.pi, 3)
    for method in ("bs", "dop853"):
        rows, at = model.integrate(states, later, t0=2 * math.pi, with_times=True, method=method, tol=None)
        assert np.array_equal(rows[:, 0], states), method
        assert np.array_equal(at, np.broadcast_to(later, at.shape)), method
    times = model.times()
    exact, at = model.integrate(states, times, with_times=True, method="bs")
    assert np.array_equal(at, np.broadcast_to(times, at.shape))
    reached, at_reached = model.integrate(states, times, with_times=True, exact=False, method="bs")
    assert 0 < np.max(np.abs(at_reached - times)) <= 1e-4
    fast = model.integrate(states, times, method="dop853", tol=1e-14)
    off_exact, off_reached = np.max(np.abs(exact - fast)), np.max(np.abs(reached - fast))
    print(f"rows against dop853 at 1e-14: landed {off_exact:.2g}, as reached {off_reached:.2g}")
    assert off_exact < 1e-8 < off_reached
    # the landing leaves the path alone: the last row as reached is the survey's end state
    end = model.integrate(states, [model.tmax], exact=False, method="bs")
    assert np.array_equal(end[:, 0, :2], np.c_[table["x"][:4], table["y"][:4]])
    # a run cut into two chunks goes on from where the first ended
    half = times[len(times) // 2]
    first = model.integrate(states, [half], method="dop853", tol=1e-14)[:, 0]
    second = model.integrate(first, [times[-1]], t0=half, method="dop853", tol=1e-14)[:, 0]
    assert np.max(np.abs(second - fast[:, -1])) < 1e-8
    # one state, and integers, as numpy takes them
    one = model.integrate(states[0], times[:3], method="bs")
    assert one.shape == (3, 4) and np.array_equal(one, exact[0, :3])
    ints = model.integrate(np.array([[2, 0, 0, 1]]), np.array([0, 1, 2]))
    assert np.array_equal(ints, model.integrate([[2.0, 0.0, 0.0, 1.0]], [0.0, 1.0, 2.0]))


# (call, error, words): every non-finite time is refused naming its argument, a thread
# count below 1 too; no call runs on for ever (times [inf] with "dop853" never returned)
def _bad_numbers():
    from orbkit import analysis
    model = orbkit.Model.read(os.path.join(EXAMPLES, "migrate.setup"))
    s = model.draw(2)
    return [
        (lambda: model.integrate(s, [np.inf], method="dop853"), ValueError, "^times: expected finite times"),
        (lambda: model.integrate(s, [1.0, np.nan], method="bs"), ValueError, "^times: .*nan at index 1"),
        (lambda: model.integrate(s, [-np.inf]), ValueError, "^times: "),
        (lambda: model.integrate(s, [1.0], t0=np.nan), ValueError, "^t0: expected a finite time"),
        (lambda: model.integrate(s, [1.0], t0=np.inf, method="bs"), ValueError, "^t0: "),
        (lambda: model.integrate(s, [1.0], threads=0), ValueError, "^threads: expected at least 1, got 0"),
        (lambda: model.integrate(s, [1.0], threads=-3), ValueError, "^threads: expected at least 1, got -3"),
        (lambda: model.integrate(s, [1.0], threads=True), TypeError, "^threads: "),
        (lambda: orbkit.migrate(model, threads=0), ValueError, "^threads: expected at least 1"),
        (lambda: analysis.survey(model, 2, t=np.inf), ValueError, "^t: expected a finite time"),
        (lambda: analysis.lyapunov(model, s, np.inf, tau=1.0), ValueError, "^tmax: expected a finite time"),
        (lambda: analysis.lyapunov(model, s, 3.0, tau=1.0, t0=np.nan), ValueError, "^t0: "),
        (lambda: analysis.twin_separation(model, 2, [1.0, np.inf]), ValueError, "^times: "),
    ]


@pytest.mark.parametrize("case", range(13))
def test_bad_numbers_are_refused_naming_the_argument(case):
    call, error, words = _bad_numbers()[case]
    with pytest.raises(error, match=words):
        call()


def test_a_non_finite_state_is_flagged_in_the_one_warning_and_the_others_run():
    """A nan or inf state is never integrated: its rows are nan, the warning names it with
    the cause "non-finite input", and the other stars are what they are alone."""
    from orbkit import analysis
    model = orbkit.Model.read(os.path.join(EXAMPLES, "migrate.setup"))
    states = model.draw(5)
    good = states.copy()
    states[1, 2], states[3, 0] = np.nan, np.inf
    for method in ("dop853", "bs"):
        with pytest.warns(orbkit.IntegrationWarning,
                          match=r"^integrate: 2 of 5 stars failed; .*star 1 \(non-finite input\), star 3 "
                                r"\(non-finite input\)\. Cause: non-finite input") as caught:
            out, at = model.integrate(states, [1.0, 2.0], method=method, with_times=True)
        assert len(caught) == 1
        assert np.all(np.isnan(out[[1, 3]])) and np.all(np.isnan(at[[1, 3]]))
        alone = model.integrate(good[[0, 2, 4]], [1.0, 2.0], method=method)
        assert np.array_equal(out[[0, 2, 4]], alone), method
    with pytest.warns(orbkit.IntegrationWarning, match=r"^lyapunov: 1 of 2 stars .*star 1 \(non-finite input\)"):
        _, lam = analysis.lyapunov(model, states[:2], 2.0, tau=1.0)
    assert np.all(np.isnan(lam[1])) and np.all(np.isfinite(lam[0]))


def test_a_call_with_few_stars_runs_on_the_calling_thread():
    """No worker and no team wake up for a star or two over a short time: the per-call
    cost is the integration's own (bench/module_overhead.py measures it). A big call
    still runs on the worker's team."""
    script = textwrap.dedent(f"""
        import os, orbkit
        model = orbkit.Model.read({os.path.join(EXAMPLES, "migrate.setup")!r})
        before = len(os.listdir("/proc/self/task"))
        for method in ("dop853", "bs"):
            model.integrate(model.draw(2), [0.0, 1.0], method=method)
            model.integrate(model.draw(1)[0], [5.0], method=method, threads=2)
        print(before, len(os.listdir("/proc/self/task")))
        model.integrate(model.draw(64), [1.0], threads=2)
        print(len(os.listdir("/proc/self/task")))
    """)
    done = subprocess.run([sys.executable, "-c", script], env=dict(PYENV, OMP_NUM_THREADS="2"),
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    (before, after), (big,) = [list(map(int, line.split())) for line in done.stdout.splitlines()]
    assert after == before, "a worker or a team was started for a few stars"
    assert big > before


def test_memory_follows_the_output():
    """Integrating many stars to one time holds the result and a few stars in flight per
    thread, not a copy of the integrator's state per star (1.4 kB each, 45 times the
    result's 32 bytes). bench/module_memory.py gives the figures for 10^5 to 10^7 stars."""
    script = textwrap.dedent(f"""
        import resource, numpy as np, orbkit
        model = orbkit.Model.read({os.path.join(EXAMPLES, "migrate.setup")!r})
        states = np.tile(model.draw(1000), (200, 1))
        model.integrate(states[:10], [0.5])
        base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
        out = model.integrate(states, [0.5])
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
        print(peak - base, out.nbytes)
    """)
    done = subprocess.run([sys.executable, "-c", script], env=PYENV, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    grew, result = map(int, done.stdout.split())
    assert grew <= 2 * result + 16 * 2**20, (grew, result)


def test_progress_is_drawn_from_the_compiled_count():
    """progress=True draws a tqdm bar to standard error that reaches the count of stars
    (output times for spread); progress=None off a terminal draws none."""
    pytest.importorskip("tqdm")
    import contextlib
    import io
    from orbkit import analysis
    model = orbkit.Model.read(os.path.join(EXAMPLES, "migrate.setup")).replace(nstars=12)
    calls = [(lambda p: model.integrate(model.draw(40), [1.0, 30.0], progress=p), "40/40"),
             (lambda p: orbkit.migrate(model, progress=p), "12/12"),
             (lambda p: analysis.survey(model, progress=p), "12/12"),
             (lambda p: analysis.lyapunov(model, model.draw(6), 4.0, tau=1.0, progress=p), "6/6")]
    for call, shown in calls:
        for progress in (True, None):
            err = io.StringIO()
            with contextlib.redirect_stderr(err):
                call(progress)
            assert (shown in err.getvalue()) == (progress is True), (shown, progress, err.getvalue())
    with pytest.raises(TypeError, match="progress"):
        model.integrate(model.draw(2), [1.0], progress="yes")


def test_every_public_callable_has_a_signature_a_docstring_and_names_close_keywords():
    import inspect
    from orbkit import analysis, plot
    model = orbkit.Model.read(os.path.join(EXAMPLES, "migrate.setup"))
    public = [getattr(orbkit, n) for n in orbkit.__all__ if callable(getattr(orbkit, n))
              and not isinstance(getattr(orbkit, n), type)]
    public += [getattr(model, n) for n in dir(orbkit.Model) if not n.startswith("_")
               and callable(getattr(model, n))]
    public += [getattr(analysis, n) for n in analysis.__all__ if n != "Survey"]
    public += [getattr(plot, n) for n in ("plot_migrate", "plot_orbit", "plot_spread", "plot_twin",
                                          "plot_lyapunov", "plot_diffusion", "plot_churning", "plot_trapping")]
    for f in public:
        inspect.signature(f)
        assert f.__doc__, f
    for call, wrong, close in ((lambda **k: model.integrate(model.draw(1), [1.0], **k), "thread", "threads"),
                               (lambda **k: model.integrate(model.draw(1), [1.0], **k), "metod", "method"),
                               (lambda **k: model.draw(**k), "N", None),
                               (lambda **k: orbkit.migrate(model, **k), "tols", "tol"),
                               (lambda **k: orbkit.Model(**k), "gama_", "gamma_"),
                               (lambda **k: orbkit.Model(patterns=[k]), "omegas", "Omegas"),
                               (lambda **k: analysis.survey(model, **k), "progres", "progress"),
                               (lambda **k: orbkit.read("x.lxy", **k), "npattern", "npatterns")):
        with pytest.raises(TypeError) as caught:
            call(**{wrong: 1})
        text = str(caught.value)
        assert ("unexpected keyword argument" in text or "unknown field" in text) and f"'{wrong}'" in text
        assert "incompatible" not in text
        assert (f"did you mean '{close}'?" in text) if close else "did you mean" not in text, text


def test_import_orbkit_gives_plot_and_analysis_without_matplotlib_or_a_cycle():
    script = "import sys, orbkit; orbkit.plot.plot_migrate; orbkit.analysis.survey; print('matplotlib' in sys.modules)"
    done = subprocess.run([sys.executable, "-c", script], env=PYENV, capture_output=True, text=True)
    assert done.returncode == 0 and done.stdout.split() == ["False"], done.stderr
    source = open(os.path.join(os.path.dirname(orbkit.__file__), "_analysis_plots.py")).read()
    assert "from .plot import" not in source and "from . import plot" not in source


def test_plot_functions_take_the_arrays_the_module_returns(tmp_path):
    pytest.importorskip("matplotlib")
    from orbkit import plot
    model = orbkit.Model.read(os.path.join(EXAMPLES, "migrate.setup")).replace(nstars=40)
    for draw, table in ((plot.plot_migrate, orbkit.migrate(model)), (plot.plot_twin, orbkit.twin(model)),
                        (plot.plot_spread, orbkit.spread(model.replace(nstars=5, nsteps=6)))):
        out = tmp_path / (draw.__name__ + ".png")
        draw(model, None, table, str(out), (400, 300))
        assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n", draw.__name__
    with pytest.raises(plot.InputError, match="^the table given: no rows"):
        plot.plot_migrate(model, None, orbkit.migrate(model)[:0], str(tmp_path / "none.png"))


def test_spread_has_a_two_pass_standard_deviation_beside_lsig():
    """The program's lsig is a one-pass variance, which cancels when the members' spread is
    far below L: at mixtime 1e-8 it shows 0 or 4.2e-8 beside an lmax of 9.8e-9."""
    model = orbkit.Model.read(os.path.join(EXAMPLES, "spread.setup"))
    table = orbkit.spread(model)
    big = table["lsig"] > 1e-6
    assert np.any(big)
    np.testing.assert_allclose(table["lsig_twopass"][big], table["lsig"][big], rtol=1e-6)
    tiny = orbkit.spread(model.replace(mixtime=1e-8, nsteps=4))
    assert np.all(tiny["lsig_twopass"] <= tiny["lmax"]) and np.all(tiny["lsig_twopass"] > 0)
    assert np.any(tiny["lsig"] == 0) and np.any(tiny["lsig"] > tiny["lmax"]), "the one-pass figure cancels"


def test_calls_share_one_thread_team_and_too_many_threads_raise():
    """Trap 6: the work of every call runs on the same threads (no team is built per
    call); a thread count beyond the machine's raises ValueError."""
    model = orbkit.Model.read(os.path.join(EXAMPLES, "migrate.setup"))
    state = model.draw(2)

    def threads():
        return set(os.listdir("/proc/self/task"))

    model.integrate(state, [1.0], threads=2)
    after_first = threads()
    for _ in range(20):
        model.integrate(state, [1.0], threads=2)
    assert after_first == threads() and len(after_first) >= 3, "a worker and its team stay"
    with pytest.raises(ValueError, match="threads: 100000 is more than"):
        model.integrate(state, [1.0], threads=100000)
    assert orbkit.max_threads >= os.cpu_count()


def test_failures_make_one_warning_per_call_with_cause_and_remedy():
    """Trap 7: 300 failed stars, one warning that counts them and names the first few."""
    model = orbkit.Model.read(os.path.join(EXAMPLES, "migrate.setup"))
    states = np.zeros((300, 4))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        out = model.integrate(states, [1.0])
    assert np.all(np.isnan(out))
    assert len(caught) == 1 and caught[0].category is orbkit.IntegrationWarning
    text = str(caught[0].message)
    assert text.startswith("integrate: 300 of 300 stars failed")
    assert "star 4 at t = 0 (r = 0), ..." in text and "star 5 " not in text
    assert text.endswith("Cause: near the centre, where the background's force is singular: "
                         "start the stars away from r = 0")
    # away from the centre: a run beyond 800 orbits under a rotating pattern points to the
    # fast mode; at its start, the exhausted work budget (a pattern of absurd speed here)
    wild = orbkit.Model(r_min=1, r_max=2, patterns=[dict(mm=2, epsilon=0.01, alpha=8, Omegas=1e8)])
    for t0, cause in ((0.0, "the work budget of an advance ran out"),
                      (900 * orbkit.twopi, "a run beyond about 800 orbits under a rotating pattern")):
        with pytest.warns(orbkit.IntegrationWarning) as caught:
            wild.integrate([1.5, 0.0, 0.0, 1.0], [t0 + 1.0], t0=t0, method="bs")
        assert len(caught) == 1 and f"(r = 1.5). Cause: {cause}" in str(caught[0].message)
        assert 'method="dop853"' in str(caught[0].message)


def test_a_model_is_a_value():
    """Trap 8: pickle, copy, compare with anything, hash, replace, to_dict, help texts."""
    import copy
    import inspect
    import pickle
    model = orbkit.Model.read(os.path.join(EXAMPLES, "transient.setup"))
    for other in (pickle.loads(pickle.dumps(model)), copy.copy(model), copy.deepcopy(model),
                  orbkit.Model(**model.to_dict()), model.replace()):
        assert other == model and hash(other) == hash(model)
    assert pickle.loads(pickle.dumps(model)).source == model.source
    assert (model == None) is False and (model != "x") is True  # noqa: E711
    changed = model.replace(nstars=7)
    assert changed.nstars == 7 and changed != model and changed.patterns == model.patterns
    assert len({model, copy.copy(model), changed}) == 2
    with pytest.warns(orbkit.SetupWarning, match="l_min: nan is not a finite number"):
        assert orbkit.Model(r_min=1, r_max=2, l_min=math.nan) == orbkit.Model(r_min=1, r_max=2, l_min=math.nan)
    assert orbkit.Model(r_min=1, r_max=2, l_min=-0.0) == orbkit.Model(r_min=1, r_max=2, l_min=0.0)
    assert hash(orbkit.Model(r_min=1, r_max=2, l_min=-0.0)) == hash(orbkit.Model(r_min=1, r_max=2, l_min=0.0))
    signature = inspect.signature(orbkit.Model)
    assert list(signature.parameters)[:2] == ["gamma_", "NU"] and "patterns" in signature.parameters
    for name in orbkit.scalar_names + orbkit.pattern_names:
        assert f"  {name} (" in orbkit.Model.__doc__, name
    assert "smax (length, inf)" in orbkit.Model.__doc__
    for name, member in vars(orbkit.Model).items():
        if not name.startswith("__") or name in ("__init__", "__eq__", "__hash__"):
            assert getattr(member, "__doc__", None), name
    assert "states" in orbkit.Model.integrate.__doc__ and "t0" in orbkit.Model.integrate.__doc__
    # repr is source that gives the model back, a pattern's smax = inf and a nan field too
    with pytest.warns(orbkit.SetupWarning):
        odd = orbkit.Model(r_min=1, r_max=2, l_min=math.nan, patterns=[dict(mm=2, epsilon=0.01)])
    for m in (model, orbkit.Model(r_min=1, r_max=2, patterns=[{}]), odd):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", orbkit.SetupWarning)
            assert eval(repr(m), {"orbkit": orbkit}) == m, repr(m)
    folder = os.path.dirname(orbkit.__file__)
    assert os.path.exists(os.path.join(folder, "py.typed"))
    assert os.path.exists(os.path.join(folder, "__init__.pyi"))
    version = subprocess.run([PROGRAM["migrate"], "--version"], capture_output=True, text=True).stdout
    assert version.split()[-1] == orbkit.__version__


class _Quantity(np.ndarray):
    """A number with a unit, as astropy's Quantity is one (without astropy)."""
    def __new__(cls, value, unit):
        q = np.asarray(value, dtype=float).view(cls)
        q.unit = unit
        return q


def test_quantities_are_refused_with_the_units_expected():
    """Trap 9: a number with a unit is never stripped."""
    model = orbkit.Model.read(os.path.join(EXAMPLES, "migrate.setup"))
    kpc = _Quantity([8.0, 9.0], "kpc")
    calls = [lambda: model.vc(kpc), lambda: model.omega(kpc), lambda: model.kappa(kpc),
             lambda: model.potential(kpc, 0.0), lambda: model.force(1.0, kpc),
             lambda: model.integrate(_Quantity([[1.0, 0, 0, 1]], "kpc"), [1.0]),
             lambda: model.integrate([[1.0, 0, 0, 1]], _Quantity([1.0], "Gyr")),
             lambda: model.record(model.draw(2), _Quantity([1.0, 2.0], "Gyr")),
             lambda: model.growth(1, _Quantity([1.0], "Gyr")),
             lambda: orbkit.Model(r_min=_Quantity(1.0, "kpc"), r_max=2)]
    from orbkit import analysis
    gyr = _Quantity([1.0, 2.0], "Gyr")
    calls += [lambda: analysis.survey(model, 2, t=_Quantity(1.0, "Gyr")),
              lambda: analysis.lyapunov(model, model.draw(2), _Quantity(3.0, "Gyr")),
              lambda: analysis.lyapunov(model, _Quantity(model.draw(2), "kpc"), 3.0),
              lambda: analysis.diffusion(gyr, gyr, interval=1.0),
              lambda: analysis.diffusion([1.0, 2.0], [1.0, 2.0], interval=_Quantity(1.0, "Gyr")),
              lambda: analysis.guiding_radius(model, gyr),
              lambda: analysis.churning(model, model.draw(2), model.draw(2), _Quantity(1.0, "Gyr")),
              lambda: analysis.twin_separation(model, 2, gyr),
              lambda: analysis.pattern_angle(model, _Quantity(np.ones((2, 3, 4)), "kpc"), [0.0, 1.0, 2.0])]
    for call in calls:
        with pytest.raises(TypeError, match=r"got a quantity with unit (kpc|Gyr); orbkit takes plain numbers "
                                            r"in model units: .*Convert first"):
            call()
    # the setup's times are in orbits at r = 1: the hint converts to orbits, not to the
    # model time unit (2 pi times larger)
    with pytest.raises(TypeError, match=r"dt_int: .* in orbits\. Convert first to orbits") as caught:
        orbkit.Model(dt_int=_Quantity(1.0, "Gyr"), r_min=1, r_max=2)
    assert "2 * math.pi" in str(caught.value) and "(8 * u.kpc)).decompose()" not in str(caught.value)


def _can_make_venvs():
    # Found, not imported: on Debian 12 importing pip before setuptools trips setuptools'
    # distutils shim (AssertionError), so collection itself would fail.
    from importlib.util import find_spec
    return all(find_spec(name) is not None for name in ("ensurepip", "pip", "setuptools", "wheel"))


@pytest.mark.skipif(not _can_make_venvs(), reason="python3-venv, python3-pip, python3-setuptools, "
                    "python3-wheel are not installed (sh tools/setup-debian.sh test)")
def test_pip_installs_the_package_and_orbplot_in_a_venv(tmp_path):
    """Trap 10: pip install --no-build-isolation from Debian's packages alone, without an
    index (nothing fetched). The source is copied so the clone stays clean; the tests'
    CMake build is reused (ORBKIT_CMAKE_BUILD) instead of compiling the core again."""
    source = tmp_path / "src"
    source.mkdir()
    for name in ("pyproject.toml", "setup.py", "CMakeLists.txt", "README.md"):
        shutil.copy(os.path.join(ROOT, name), source)
    shutil.copytree(os.path.join(ROOT, "python", "orbkit"), source / "python" / "orbkit",
                    ignore=shutil.ignore_patterns("__pycache__", "*.so"))
    venv = tmp_path / "v"
    subprocess.run(["/usr/bin/python3", "-m", "venv", "--system-site-packages", "--without-pip", str(venv)],
                   check=True)
    build = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(orbkit.__file__))))
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env.update(ORBKIT_CMAKE_BUILD=build, PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1")
    done = subprocess.run([str(venv / "bin" / "python"), "-m", "pip", "install", "-q", "--no-build-isolation",
                           "--no-index", str(source)], env=env, cwd=tmp_path, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
    probe = subprocess.run([str(venv / "bin" / "python"), "-c",
                            "import orbkit, os; print(orbkit.__version__); print(orbkit.__file__); "
                            "d = os.path.dirname(orbkit.__file__); "
                            "print(os.path.exists(d + '/py.typed'), os.path.exists(d + '/__init__.pyi'))"],
                           env=env, cwd=tmp_path, capture_output=True, text=True)
    assert probe.returncode == 0, probe.stderr
    version, where, typed = probe.stdout.split("\n")[:3]
    assert version == orbkit.__version__ and where.startswith(str(venv)) and typed == "True True"
    assert os.access(venv / "bin" / "orbplot", os.X_OK)
    assert "orbkit.plot" in (venv / "bin" / "orbplot").read_text()


def test_galpy_gives_the_same_forces():
    """docs/galpy.md: the same model built in galpy, by the page's mapping (alpha's sign,
    A = -eps alpha, phi0 in degrees), gives the same forces."""
    potential = pytest.importorskip("galpy.potential")
    g, eps, alpha, m, phi0, omegas = 0.1, 0.01, 8.0, 2, 30.0, 0.5
    model = orbkit.Model(gamma_=g, r_min=1, r_max=2, patterns=[dict(mm=m, epsilon=eps, alpha=alpha,
                                                                    Omegas=omegas, phi0=phi0, starttime=-1)])
    galpy = [potential.PowerSphericalPotential(alpha=2 - 2 * g, normalize=1.0).toPlanar(),
             potential.SteadyLogSpiralPotential(A=-eps * alpha, alpha=-alpha, m=m, omegas=omegas,
                                                gamma=math.radians(phi0))]
    rng = np.random.default_rng(5)
    R, phi, t = rng.uniform(0.3, 4, 40), rng.uniform(-math.pi, math.pi, 40), rng.uniform(0, 30, 40)
    fx, fy = model.force(R * np.cos(phi), R * np.sin(phi), t)
    f_R = fx * np.cos(phi) + fy * np.sin(phi)
    torque = (fy * np.cos(phi) - fx * np.sin(phi)) * R
    want_R = [potential.evaluateplanarRforces(galpy, r, phi=p, t=s) for r, p, s in zip(R, phi, t)]
    want_torque = [potential.evaluateplanarphitorques(galpy, r, phi=p, t=s) for r, p, s in zip(R, phi, t)]
    np.testing.assert_allclose(f_R, want_R, rtol=1e-12, atol=1e-14)
    np.testing.assert_allclose(torque, want_torque, rtol=1e-12, atol=1e-14)
    # the spiral alone: a trailing spiral in both, the sign of alpha flipped
    spiral = model.force(R * np.cos(phi), R * np.sin(phi), t)[0] - model.replace(patterns=[]).force(
        R * np.cos(phi), R * np.sin(phi), t)[0]
    assert np.max(np.abs(spiral)) > 1e-3


@pytest.mark.parametrize("bad, column", [("+-3", 0), ("+-0.5", 1), ("3.5", 0)])
def test_read_refuses_a_sign_python_would_refuse(tmp_path, bad, column):
    # float() and int() refuse '+-'; the star index is an integer
    width = len(orbkit._INDEXED_LEAD)
    good = ["1"] + ["0.5"] * (width - 1)
    row = list(good)
    row[column] = bad
    path = tmp_path / "e.x"
    path.write_text(" ".join(good) + "\n" + " ".join(row) + "\n")
    with pytest.raises(ValueError, match=re.escape(f"e.x:2: expected a number, got '{bad}'")):
        orbkit.read(path, 0)
