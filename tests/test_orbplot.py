#!/usr/bin/python3
"""Tests of tools/orbplot (orbkit.plot): resonance radii, the setup reader, input errors, the
same verdict as the programs on bad setups, and end-to-end pictures of tables that the built
programs write.

Run: /usr/bin/python3 tests/test_orbplot.py
The orbkit package is taken from PYTHONPATH, else from build/python under the repository root.
The programs are taken from ORBSPREAD, ORBMIGRATE and ORBTWIN, else from build/*/orb* under
the repository root; the tests that run them are skipped when they are not there.
"""

import contextlib
import io
import math
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOOL = os.path.join(ROOT, "tools", "orbplot")
if not os.environ.get("PYTHONPATH"):   # as the tool finds the package
    sys.path.insert(0, os.path.join(ROOT, "build", "python"))
import orbkit  # noqa: E402
from orbkit import plot as op  # noqa: E402

TOL = 1e-12      # resonance radii are closed-form powers; only rounding separates them

# gamma_ 0, one pattern m = 2, Omegas 0.5; two patterns so that --pattern 2 can be drawn.
SETUP = """\
{gamma}      gamma_
0.0      NU
0.01     mixtime
0.5      dt_int (orbits)
{nsteps}       nsteps
{nstars}       nstars
0.05     disp_u0
1.0      r_min
3.0      r_max
42       lseed
0        randp0
{l_min}     l_min
1.0      l_max
2        npatterns
2        mm (pattern 0)
0.05     epsilon
0        phi0 (degrees)
-8       alpha
0.5      Omegas
2        growtime (orbits)
1        starttime (orbits)
1.5      smin
2.5      smax
0.5      wmin
0.5      wmax
3        mm (pattern 1)
0.02     epsilon
45       phi0 (degrees)
-6       alpha
0.3      Omegas
1        growtime (orbits)
3        starttime (orbits)
1.5      smin
2.5      smax
0.5      wmin
0.5      wmax
"""


def png_size(path):
    """Width and height from a PNG's IHDR chunk (signature, length, 'IHDR', width, height)."""
    with open(path, "rb") as fh:
        head = fh.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        raise AssertionError(f"{path} is not a PNG file")
    return struct.unpack(">II", head[16:24])


def orbplot(*args, cwd=None):
    return subprocess.run([sys.executable, TOOL, *args], cwd=cwd, capture_output=True,
                          text=True, timeout=120)


def find_program(var, sub, name):
    path = os.environ.get(var) or os.path.join(ROOT, "build", sub, name)
    return path if os.path.isfile(path) and os.access(path, os.X_OK) else None


def disc(gamma_, m=2.0, omegas=0.5):
    """A one-pattern model of the power-law disc v_c = r^gamma_: the tool's resonances and
    circular orbits come from the model."""
    return orbkit.Model(gamma_=gamma_, dt_int=0.5, nsteps=20, nstars=10, r_min=1.0, r_max=3.0,
                        patterns=[dict(mm=m, epsilon=0.05, alpha=-8.0, Omegas=omegas, smin=1.5,
                                       smax=2.5, wmin=0.5, wmax=0.5)])


def resonance_radii(gamma_, m, omegas):
    """The radii the tool draws for pattern 1 of disc(gamma_, m, omegas); None where none."""
    found = {kind: r for kind, r, _ in op.pattern_resonances(disc(gamma_, m, omegas))[0]}
    return {kind: found.get(kind) for kind in ("CR", "ILR", "OLR")}


def kappa_ratio(gamma_):
    """kappa/Omega of the power law, sqrt(2 (1 + gamma_)): the test's own reference."""
    return math.sqrt(2.0 * (1.0 + gamma_))


def variant(model, **changes):
    """The model with some fields changed: scalars by value, pattern fields as one list."""
    fields = {n: getattr(model, n) for n in orbkit.scalar_names if n != "npatterns"}
    patterns = model.patterns
    for name, value in changes.items():
        if name in orbkit.pattern_names:
            for pattern, v in zip(patterns, value):
                pattern[name] = v
        else:
            fields[name] = value
    return orbkit.Model(patterns=patterns, **fields)


class ResonanceRadii(unittest.TestCase):
    def assertClose(self, got, want, what):
        self.assertIsNotNone(got, f"{what}: no radius")
        self.assertLess(abs(got - want), TOL * max(1.0, want), f"{what}: {got!r} != {want!r}")

    def test_flat_rotation_curve(self):
        # gamma_ 0: v_c = 1, Omega = 1/r, kappa = sqrt(2) Omega. Omegas 0.5, m 2:
        # corotation 1/r = 0.5 -> r = 2; Lindblad (1/r)(1 -/+ sqrt(2)/2) = 0.5 -> r = 2 -/+ sqrt(2).
        # A circular orbit's L = r v_c = r.
        r = resonance_radii(0.0, 2.0, 0.5)
        self.assertClose(r["CR"], 2.0, "CR")
        self.assertClose(r["ILR"], 2.0 - math.sqrt(2.0), "ILR")
        self.assertClose(r["OLR"], 2.0 + math.sqrt(2.0), "OLR")
        for x in (0.5, 2.0, 3.4):
            self.assertClose(op.circular_l(disc(0.0), x), x, f"L at r={x}")

    def test_point_mass_field(self):
        # gamma_ -0.5: v_c = r^-1/2, Omega = r^-3/2, kappa/Omega = sqrt(2 * 0.5) = 1.
        # Omegas 0.5, m 2: corotation r^-3/2 = 1/2 -> r = 2^(2/3) = 1.5874;
        # ILR Omega (1 - 1/2) = 1/2 -> Omega = 1 -> r = 1;
        # OLR Omega (1 + 1/2) = 1/2 -> Omega = 1/3 -> r = 3^(2/3) = 2.0801.
        # L = r v_c = r^(1/2): 2^(1/3), 1, 3^(1/3).
        r = resonance_radii(-0.5, 2.0, 0.5)
        self.assertClose(r["CR"], 2.0 ** (2.0 / 3.0), "CR")
        self.assertClose(r["ILR"], 1.0, "ILR")
        self.assertClose(r["OLR"], 3.0 ** (2.0 / 3.0), "OLR")
        self.assertClose(op.circular_l(disc(-0.5), r["CR"]), 2.0 ** (1.0 / 3.0), "L at CR")
        self.assertClose(op.circular_l(disc(-0.5), r["OLR"]), 3.0 ** (1.0 / 3.0), "L at OLR")

    def test_every_radius_is_a_resonance(self):
        # Whatever the slope, the frequencies at the returned radii meet the conditions.
        for g in (-0.3, 0.0, 0.2, 0.6):
            for m in (2.0, 3.0, 4.0):
                r = resonance_radii(g, m, 0.4)
                q = kappa_ratio(g)
                for kind, sign in (("CR", 0.0), ("ILR", -1.0), ("OLR", 1.0)):
                    om = r[kind] ** (g - 1.0)
                    got = om + sign * q * om / m
                    self.assertLess(abs(got - 0.4), 1e-12, f"g={g} m={m} {kind}: {got}")

    def test_missing_resonances_are_none(self):
        # m = 1 in a flat disc: Omega - kappa = Omega (1 - sqrt 2) < 0, no inner resonance.
        self.assertIsNone(resonance_radii(0.0, 1.0, 0.5)["ILR"])
        self.assertIsNotNone(resonance_radii(0.0, 1.0, 0.5)["OLR"])
        # A pattern at rest or rotating backwards meets no circular orbit.
        for om in (0.0, -0.5, float("nan")):
            self.assertEqual(set(resonance_radii(0.0, 2.0, om).values()), {None}, om)
        # Solid-body rotation: Omega = 1 everywhere, no single radius.
        self.assertEqual(set(resonance_radii(1.0, 2.0, 0.5).values()), {None})


class SetupReader(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="orbplot-")
        self.addCleanup(shutil.rmtree, self.dir)

    def write(self, name, text):
        path = os.path.join(self.dir, name)
        with open(path, "w") as fh:
            fh.write(text)
        return path

    def test_values_units_and_comments(self):
        s = op.read_setup(self.write("a", SETUP.format(gamma="0.7  gamma", nsteps="2.5",
                                                        nstars=50, l_min=0.05)))
        twopi = 6.283185307179586
        self.assertEqual(s.gamma_, 0.7)
        self.assertEqual(s.nsteps, 2)                          # "%d" stops at the point
        self.assertEqual(s.times()[1], 0.5 * twopi)            # dt_int in orbits
        self.assertEqual(s.npatterns, 2)
        self.assertEqual([p["mm"] for p in s.patterns], [2.0, 3.0])
        self.assertEqual(s.patterns[1]["phi0"], 45.0)          # degrees, as in the file
        # growtime and starttime in orbits: pattern 1 grows from 1 to 3, pattern 2 from 3 to 4
        self.assertEqual(list(s.growth(1, np.array([1.0, 2.0, 3.0]) * twopi)), [0.0, 0.5, 1.0])
        self.assertEqual(list(s.growth(2, np.array([3.0, 3.5, 4.0]) * twopi)), [0.0, 0.5, 1.0])
        self.assertEqual([p["wmax"] for p in s.patterns], [0.5, 0.5])

    def test_long_line_is_read_in_pieces(self):
        # The programs read 179 characters of a line: the rest of a longer one ("gamma_",
        # the comment) is read as the NU line, and every later value moves down one line.
        text = SETUP.format(gamma="0.25" + " " * 175, nsteps=20, nstars=50, l_min=0.05)
        err = io.StringIO()
        with contextlib.redirect_stderr(err):
            s = op.read_setup(self.write("long", text))
        self.assertEqual((s.gamma_, s.NU, s.mixtime), (0.25, 0.0, 0.0))
        self.assertIn("long:1: warning: NU: expected a number, got '      gamma_'", err.getvalue())

    def test_file_ending_early_names_the_line(self):
        text = "".join(SETUP.format(gamma=0, nsteps=20, nstars=50,
                                   l_min=0.05).splitlines(True)[:20])
        with self.assertRaisesRegex(op.InputError, r"short:21: starttime: missing, the file "
                                    "ends after line 20"):
            op.read_setup(self.write("short", text))


class InputErrors(unittest.TestCase):
    """The command line: status 2 and one line FILE:LINE: message for bad input."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="orbplot-")
        self.addCleanup(shutil.rmtree, self.dir)
        self.setup = os.path.join(self.dir, "run")
        with open(self.setup, "w") as fh:
            fh.write(SETUP.format(gamma=0, nsteps=20, nstars=50, l_min=0.05))

    def table(self, suffix, text):
        with open(self.setup + suffix, "w") as fh:
            fh.write(text)

    def assertRefused(self, r, message):
        self.assertEqual(r.returncode, 2, r.stderr)
        self.assertEqual(r.stderr.count("\n"), 1, r.stderr)
        self.assertIn(message, r.stderr)

    def test_malformed_rows_name_their_line(self):
        self.table(".lxy", "1.000 0.010 1.0 0.0\n1.100 0.020 abc 0.1\n")
        self.assertRefused(orbplot("migrate", self.setup),
                           f"orbplot: {self.setup}.lxy:2: expected a number, got 'abc'")
        self.table(".rx", "1.000 1.010 1.011 \n\n1.100 1.120 \n")
        self.assertRefused(orbplot("twin", self.setup),
                           f"orbplot: {self.setup}.rx:3: expected 3 values (L0 L1 L2), got 2")
        self.table(".l", "#time rmax lsig lmax\n5.000e-01 1.0e-02 2.0e-03\n")
        self.assertRefused(orbplot("spread", self.setup), f"{self.setup}.l:2: expected 4 values")

    def test_missing_and_empty_files(self):
        self.assertRefused(orbplot("twin", self.setup),
                           f"orbplot: {self.setup}.rx: No such file or directory")
        self.assertRefused(orbplot("spread", os.path.join(self.dir, "nothere")),
                           "nothere: cannot open: No such file or directory")
        self.table(".l", "#time rmax lsig lmax\n")
        self.assertRefused(orbplot("spread", self.setup), f"{self.setup}.l: no rows to plot")
        self.assertFalse(os.path.exists(self.setup + ".l.png"))

    def test_nan_rows_are_skipped_not_fatal(self):
        self.table(".lxy", "1.000 0.010 1.000 0.000\nnan -nan nan nan\n2.000 -0.100 0.0 1.9\n")
        out = os.path.join(self.dir, "m.png")
        r = orbplot("migrate", self.setup, "-o", out, "--size", "640x480")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("1 of 3 rows hold nan", r.stderr)
        self.assertEqual(png_size(out), (640, 480))
        self.table(".lxy", "nan nan nan nan\n")
        self.assertRefused(orbplot("migrate", self.setup), "no finite rows to plot")
        # finite values that no axis can scale are refused alike; the largest that can, drawn
        self.table(".lxy", "1e308 0.010 1.000 0.000\n1e308 -0.100 0.0 1.9\n")
        self.assertRefused(orbplot("migrate", self.setup), "no finite rows to plot")
        self.table(".lxy", "1e300 0.010 1.000 0.000\n-1e300 -0.100 0.0 1.9\n")
        self.assertEqual(orbplot("migrate", self.setup, "-o", out).returncode, 0)

    def test_unwritable_output(self):
        self.table(".rx", "1.000 1.010 1.011 \n")
        self.assertRefused(orbplot("twin", self.setup, "-o", os.path.join(self.dir, "no", "x.png")),
                           "No such file or directory")


PROGRAMS = {name: find_program(var, sub, name) for var, sub, name in
            [("ORBSPREAD", "spread", "orbspread"), ("ORBMIGRATE", "migrate", "orbmigrate"),
             ("ORBTWIN", "twin", "orbtwin")]}
MISSING = [n for n, p in PROGRAMS.items() if p is None]


@unittest.skipIf(MISSING, f"programs not built: {', '.join(MISSING)} (set ORBSPREAD, "
                 "ORBMIGRATE, ORBTWIN or build into build/)")
class Waves(unittest.TestCase):
    """Which patterns make one wave, its amplitude over time, and where its crests lie."""

    def setUp(self):
        self.transient = op.read_setup(os.path.join(ROOT, "examples", "transient.setup"))
        self.migrate = op.read_setup(os.path.join(ROOT, "examples", "migrate.setup"))

    def test_cancelling_copy_grows_holds_and_fades_as_one_wave(self):
        s = self.transient
        self.assertEqual(op.pattern_waves(s), [[0, 1]])
        self.assertEqual(op.pattern_waves(self.migrate), [[0], [1]])
        # pattern 1 grows over orbits 1 to 3, its copy (-epsilon) over 6 to 8
        t = np.array([0.0, 1.0, 2.0, 3.0, 4.5, 6.0, 7.0, 8.0, 9.0, 20.0]) * orbkit.twopi
        want = [0.0, 0.0, 0.005, 0.01, 0.01, 0.01, 0.005, 0.0, 0.0, 0.0]
        got = op.net_amplitude(s, [0, 1], t)
        self.assertLess(float(np.max(np.abs(got - want))), 1e-15, got)
        self.assertEqual(op.wave_label(s, [0, 1]), "patterns 1+2, one wave: "
                         "1 (+0.01) grows 1 to 3, 2 (-0.01) grows 6 to 8 orbits")

    def test_only_exact_copies_in_phase_group(self):
        s = self.transient
        for field, other in (("alpha", [8.0, 7.0]), ("Omegas", [0.5, 0.45]),
                             ("phi0", [0.0, math.degrees(0.1)])):
            with self.subTest(field):
                t = variant(s, **{field: other})
                self.assertEqual(op.pattern_waves(t), [[0], [1]])
        # randp0 = 1: the copy's phase is drawn per star, unknown without an orbit file ...
        fresh = variant(s, randp0=1)
        self.assertEqual(op.pattern_waves(fresh), [[0], [1]])
        # ... whose f columns at t = 0 give each star's phases (printed to 4 digits)
        self.assertEqual(op.pattern_waves(fresh, [0.0, 6.283]), [[0, 1]])
        self.assertEqual(op.pattern_waves(fresh, [0.0, 1.234]), [[0], [1]])

    def test_crests_are_the_potential_minima_and_maxima(self):
        # In the frame the orbit panel uses, pattern k's potential goes as
        # sign * cos(m phi + alpha ln r): minima where that is -1, maxima where +1.
        s = self.migrate
        for k in range(2):
            for sign in (1.0, -1.0):
                curves = op.crest_curves(s, k, 4.0, sign)
                m, alpha = s.patterns[k]["mm"], s.patterns[k]["alpha"]
                self.assertEqual([len(curves["minima"]), len(curves["maxima"])], [m, m])
                for kind, want in (("minima", -1.0), ("maxima", 1.0)):
                    for x, y in curves[kind]:
                        phi = np.arctan2(y, x)
                        v = sign * np.cos(m * phi + alpha * np.log(np.hypot(x, y)))
                        self.assertLess(float(np.max(np.abs(v - want))), 1e-9, (k, sign, kind))
        # the wave's sign: the copy (epsilon < 0) draws the crests of the wave it cancels,
        # a lone pattern of negative epsilon its own
        self.assertEqual([op.wave_sign(self.transient, k) for k in (0, 1)], [1.0, 1.0])
        lone = variant(self.migrate, epsilon=[-0.01, 0.008])
        self.assertEqual([op.wave_sign(lone, k) for k in (0, 1)], [-1.0, 1.0])


def bad_setups(folder):
    """The setups the programs refuse or must not run silently, as (name, path): a spread
    setup with dt_int -0.25, npatterns -1, nstars 2^32, r_min = r_max = 0, a file that ends
    inside a pattern's block, and a file that is not there."""
    def lines(example):
        with open(os.path.join(ROOT, "examples", example)) as fh:
            return fh.read().splitlines(True)

    def changed(example, **values):
        text = lines(example)
        for name, value in values.items():
            i = next(i for i, line in enumerate(text) if line.split()[1:2] == [name])
            text[i] = f"{value}  {name}\n"
        return "".join(text)

    cases = {"dt_int": changed("spread.setup", dt_int=-0.25),
             "npatterns": changed("migrate.setup", npatterns=-1),
             "nstars": changed("migrate.setup", nstars=2**32),
             "radii": changed("migrate.setup", r_min=0, r_max=0),
             "truncated": "".join(lines("migrate.setup")[:20])}
    out = []
    for name, text in cases.items():
        path = os.path.join(folder, name + ".setup")
        with open(path, "w") as fh:
            fh.write(text)
        out.append((name, path))
    return out + [("missing", os.path.join(folder, "missing.setup"))]


@unittest.skipIf(MISSING, f"programs not built: {', '.join(MISSING)}")
class SameVerdictAsThePrograms(unittest.TestCase):
    """Each bad setup through each program and the orbplot command that draws its table: a
    setup the program refuses, orbplot refuses with the program's words (status 2, the same
    lines after the program's name); one it runs, orbplot draws."""

    def test_bad_setups(self):
        folder = tempfile.mkdtemp(prefix="orbplot-verdict-")
        self.addCleanup(shutil.rmtree, folder)
        refused = set()
        for name, setup in bad_setups(folder):
            for command, program in (("spread", "orbspread"), ("migrate", "orbmigrate"),
                                     ("twin", "orbtwin")):
                with self.subTest(setup=name, command=command):
                    ran = subprocess.run([PROGRAMS[program], setup], cwd=folder,
                                         capture_output=True, text=True, timeout=240)
                    self.assertIn(ran.returncode, (1, 2), ran.stderr)
                    drawn = orbplot(command, setup, "-o", os.path.join(folder, "out.png"),
                                    cwd=folder)
                    if ran.returncode == 2:
                        refused.add((name, program))
                        self.assertEqual(drawn.returncode, 2, drawn.stderr)
                        self.assertEqual(drawn.stderr.replace("orbplot: ", program + ": "),
                                         ran.stderr)
                    else:
                        self.assertEqual(drawn.returncode, 0, drawn.stderr)
        # the table's point: every case is refused by some program, the interval by orbspread only
        self.assertEqual({n for n, _ in refused}, {n for n, _ in bad_setups(folder)})
        self.assertEqual({p for n, p in refused if n == "dt_int"}, {"orbspread"})


class EndToEnd(unittest.TestCase):
    """Every sub-command on tables that the programs just wrote from a small setup."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="orbplot-e2e-")
        cls.setup = os.path.join(cls.dir, "run")
        with open(cls.setup, "w") as fh:
            fh.write(SETUP.format(gamma=0, nsteps=20, nstars=40, l_min=0.02))
        for name, prog in PROGRAMS.items():
            r = subprocess.run([prog, "run"], cwd=cls.dir, capture_output=True, text=True,
                               timeout=240)
            # A complete run ends with status 1.
            if r.returncode != 1:
                raise AssertionError(f"{name} ended with {r.returncode}: {r.stderr}")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def plot(self, *args):
        r = orbplot(*args, cwd=self.dir)
        self.assertEqual(r.returncode, 0, r.stderr)
        return r

    def test_every_command_writes_the_requested_size(self):
        cases = [("migrate", "run", "800x500"), ("migrate", "run", "1001x603", "--hist"),
                 ("orbit", "run_0.bb", "1200x450"), ("orbit", "run_0.xb", "900x400"),
                 ("orbit", "run_0.xb", "901x401", "--pattern", "2"),
                 ("spread", "run", "700x500"), ("twin", "run", "1000x480")]
        for i, (cmd, arg, size, *extra) in enumerate(cases):
            with self.subTest(cmd=cmd, size=size, extra=extra):
                out = os.path.join(self.dir, f"out{i}.png")
                self.plot(cmd, arg, "-o", out, "--size", size, *extra)
                w, h = map(int, size.split("x"))
                self.assertEqual(png_size(out), (w, h))

    def test_default_names_sit_next_to_the_table(self):
        for cmd, arg, png in [("migrate", "run", "run.lxy.png"), ("orbit", "run_0.bb",
                              "run_0.bb.png"), ("spread", "run", "run.l.png"),
                              ("twin", "run", "run.rx.png")]:
            with self.subTest(cmd=cmd):
                self.plot(cmd, arg)
                self.assertEqual(png_size(os.path.join(self.dir, png)), op.DEFAULT_SIZE)

    def test_orbit_refuses_a_setup_of_another_model(self):
        # An orbit file of a two-pattern run holds 19 values a row; a one-pattern setup
        # expects 17, and the first record line (line 3) is named.
        one = os.path.join(self.dir, "one")
        with open(one, "w") as fh:
            fh.write("".join(SETUP.format(gamma=0, nsteps=20, nstars=40, l_min=0.02)
                             .replace("2        npatterns", "1        npatterns")
                             .splitlines(True)[:25]))
        r = orbplot("orbit", "run_0.bb", "--setup", one, cwd=self.dir)
        self.assertEqual(r.returncode, 2, r.stderr)
        self.assertIn("run_0.bb:3: expected 17 values", r.stderr)
        r = orbplot("orbit", "run_0.bb", "--pattern", "3", cwd=self.dir)
        self.assertEqual(r.returncode, 2, r.stderr)
        self.assertIn("--pattern 3: run has patterns 1 to 2", r.stderr)

    def test_every_orbit_file_names_its_star(self):
        # The N-th orbit file is the N-th star, in draw order, whose change lies inside the
        # window (for orbtwin, files 2k and 2k + 1 are the k-th such star and its twin).
        setup = op.read_setup(self.setup)
        lo, hi = setup.l_min, setup.l_max
        for suffix, table, ncols in ((".bb", ".lxy", 4), (".xb", ".rx", 3)):
            rows = op.read_table(self.setup + table)
            dl = rows[:, 1] if ncols == 4 else rows[:, 1] - rows[:, 0]
            self.assertFalse(np.any(np.minimum(abs(dl - lo), abs(dl - hi)) < 2e-3),
                             "a printed change this close to the window's edge is ambiguous")
            inside = [i for i in range(len(rows)) if lo < dl[i] < hi]
            files = sorted((f for f in os.listdir(self.dir) if f.endswith(suffix)),
                           key=lambda f: int(f[4:-3]))
            self.assertEqual(len(files), len(inside) * (2 if suffix == ".xb" else 1))
            self.assertGreater(len(files), 1)
            for f in files:
                n = int(f[4:-3])
                want = inside[n // 2] if suffix == ".xb" else inside[n]
                data = op.read_table(os.path.join(self.dir, f), 2)
                path, found = op.find_table_row(setup, self.setup, os.path.join(self.dir, f), data)
                self.assertEqual(path, self.setup + table)
                self.assertEqual(found[:1], [want], f"{f}: {found}")

    def test_rows_the_programs_wrote_are_all_read(self):
        # The reader agrees with the writers: every row of each table, none refused.
        setup = op.read_setup(self.setup)
        lxy = op.read_table(self.setup + ".lxy")
        rx = op.read_table(self.setup + ".rx")
        bb = op.read_table(self.setup + "_0.bb", setup.npatterns)
        self.assertEqual((len(lxy), len(rx), len(bb)), (40, 40, setup.nsteps + 1))
        # L of the orbit file's first row is the L0 the survey printed for some star.
        self.assertTrue(any(abs(bb[0, 9] - l0) <= 1e-3 for l0 in lxy[:, 0]))


class TableRowOfAnOrbitFile(unittest.TestCase):
    """The match of an orbit file to its table row, on tables made by hand."""

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.path = os.path.join(self.tmp.name, "s")
        self.model = orbkit.Model(dt_int=0.5, nsteps=4, r_min=1.0, r_max=2.0)

    def tearDown(self):
        self.tmp.cleanup()

    def orbit(self, l_first, l_last, x=1.0, y=0.0):
        """Orbit file rows (19 columns): t, x, y, ..., L in column 9; the last at the run's end."""
        data = np.zeros((5, 19))
        data[:, 0] = np.linspace(0.0, self.model.tmax, 5)
        data[:, 9] = np.linspace(l_first, l_last, 5)
        data[-1, 1], data[-1, 2] = x, y
        return data

    def test_a_twin_file_is_matched_by_the_twins_final_l_and_a_star_file_by_the_stars(self):
        # two stars of the same L0 whose final L1 and L2 are each other's: only the column
        # of the body the file holds tells them apart
        with open(self.path + ".rx", "w") as f:
            f.write("1.000 1.200 1.500 \n1.000 1.500 1.200 \n")
        for name, last, want in (("s_0.xb", 1.2, [0]), ("s_1.xb", 1.5, [0]),
                                 ("s_2.xb", 1.5, [1]), ("s_3.xb", 1.2, [1])):
            path = os.path.join(self.tmp.name, name)
            table, rows = op.find_table_row(self.model, self.path, path, self.orbit(1.0, last))
            self.assertEqual((table, rows), (self.path + ".rx", want), name)

    def test_rounding_of_a_printed_value_is_half_its_last_digit(self):
        # four significant digits ("%.3e"): half a unit of the last one, at and around
        # each decade's edges
        for v, half in ((1.0, 5e-4), (1.234, 5e-4), (9.999, 5e-4), (10.0, 5e-3), (12.34, 5e-3),
                        (0.1, 5e-5), (0.09999, 5e-6), (0.01234, 5e-6), (-0.5, 5e-5), (1234.0, 0.5),
                        (0.0, 0.0)):
            self.assertTrue(math.isclose(op._half_unit(v, 4), half, rel_tol=1e-12), (v, op._half_unit(v, 4)))
        self.assertTrue(math.isclose(op._half_unit(1.234, 3), 5e-3, rel_tol=1e-12))
        # and what it decides: a migration row whose final x is 10.004 printed as 1.000e+01
        # in the orbit file matches, one of 10.02 does not
        with open(self.path + ".lxy", "w") as f:
            f.write("1.000 0.000 10.004 0.000\n1.000 0.000 10.020 0.000\n")
        _, rows = op.find_table_row(self.model, self.path, os.path.join(self.tmp.name, "s_0.bb"),
                                    self.orbit(1.0, 1.0, x=10.0))
        self.assertEqual(rows, [0])


if __name__ == "__main__":
    unittest.main(verbosity=2)
