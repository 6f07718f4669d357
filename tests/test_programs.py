#!/usr/bin/python3
"""End-to-end tests: run the built programs in a temporary folder on small setup
files and check their files, standard output and exit status.

The programs come from the environment (ORBSPREAD, ORBMIGRATE, ORBTWIN, set by
CTest) or from build/ beside this folder."""

import math
import os
import pty
import signal
import subprocess
import sys
import tempfile
import time
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PROGRAMS = {
    name: os.environ.get(name.upper(), os.path.join(ROOT, "build", folder, name))
    for name, folder in (("orbspread", "spread"), ("orbmigrate", "migrate"), ("orbtwin", "twin"))
}
TWOPI = 6.283185307179586

# The scalar lines of a setup file, in file order, and one pattern block.
SCALARS = ["gamma_", "NU", "mixtime", "dt_int", "nsteps", "nstars", "disp_u0", "r_min", "r_max",
           "lseed", "randp0", "l_min", "l_max", "npatterns"]
PATTERN = ["mm", "epsilon", "phi0", "alpha", "Omegas", "growtime", "starttime", "smin", "smax",
           "wmin", "wmax"]
BASE = dict(gamma_=0.0, NU=0.0, mixtime=0.01, dt_int=0.25, nsteps=4, nstars=5, disp_u0=0.05,
            r_min=1.0, r_max=3.0, lseed=7, randp0=0, l_min=-10.0, l_max=10.0)
SPIRALS = [
    dict(mm=2, epsilon=0.01, phi0=0, alpha=-8, Omegas=0.5, growtime=0.5, starttime=0.2,
         smin=1.5, smax=2.5, wmin=0.5, wmax=0.5),
    dict(mm=3, epsilon=0.008, phi0=45, alpha=-10, Omegas=0.35, growtime=0.5, starttime=0.5,
         smin=2.0, smax=3.5, wmin=0.5, wmax=0.5),
]


def setup_text(patterns=(), **changes):
    values = dict(BASE, npatterns=len(patterns))
    values.update(changes)
    lines = [f"{values[name]}   {name}" for name in SCALARS]
    for block in patterns:
        lines += [f"{block[name]}   {name}" for name in PATTERN]
    return "\n".join(lines) + "\n"


# The C library's 48-bit generator and the initial state of one star, replayed here
# so that the files can be checked against values computed independently.
class Rand48:
    def __init__(self, seed):
        self.x = ((seed & 0xFFFFFFFF) << 16) | 0x330E

    def next(self):
        self.x = (0x5DEECE66D * self.x + 0xB) & ((1 << 48) - 1)
        return self.x / 2.0**48

    def norm(self):
        while True:
            d1 = self.next()
            u1 = (d1 + d1) - 1
            d2 = self.next()
            u2 = (d2 + d2) - 1
            s = u2 * u2 + u1 * u1
            if s < 1 and s != 0:
                return u1 * math.sqrt((-2 * math.log(s)) / s)


def first_star(seed, disp_u0, r_min, r_max, g=None):
    g = g or Rand48(seed)
    u = disp_u0 * g.norm()
    phi = TWOPI * g.next()
    r = r_min + g.next() * (r_max - r_min)
    x, y = math.cos(phi) * r, math.sin(phi) * r
    vr = -u
    return x, y, (vr * x) / r - (1.0 * y) / r, (1.0 * x) / r + (vr * y) / r


def ensemble_start(n, mixtime, seed, disp_u0, r_min, r_max):
    """The members' initial x, y, vx, vy: the reference star, then each member moved by
    mixtime times a point drawn inside the unit circle and by 0.005 mixtime times two
    normal deviates in velocity, drawn member by member."""
    g = Rand48(seed)
    ref = first_star(seed, disp_u0, r_min, r_max, g)
    members = [ref]
    for _ in range(1, n):
        while True:
            a, b = 2 * g.next() - 1, 2 * g.next() - 1
            if a * a + b * b < 1:
                break
        dvx, dvy = 0.005 * g.norm(), 0.005 * g.norm()
        members.append((ref[0] + mixtime * a, ref[1] + mixtime * b, ref[2] + mixtime * dvx, ref[3] + mixtime * dvy))
    return members


def close(got, want, digits):
    """got, printed with `digits` significant digits, is want to half a unit in the last place."""
    return abs(got - want) <= 0.5 * 10.0 ** (1 - digits) * abs(want) * 1.0001 + 1e-300


class ProgramCase(unittest.TestCase):
    def setUp(self):
        for path in PROGRAMS.values():
            if not os.access(path, os.X_OK):
                self.skipTest(f"{path} is not built")
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name

    def tearDown(self):
        self.tmp.cleanup()

    def write(self, rel, text):
        path = os.path.join(self.dir, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)
        return rel

    def run_prog(self, program, *args, threads=None, extra_env=None):
        env = dict(os.environ)
        if threads is not None:
            env["OMP_NUM_THREADS"] = str(threads)
        env.update(extra_env or {})
        return subprocess.run([PROGRAMS[program], *args], cwd=self.dir, capture_output=True,
                              text=True, env=env, timeout=300)

    def read(self, rel):
        with open(os.path.join(self.dir, rel), "rb") as f:
            return f.read()

    def lines(self, rel):
        return self.read(rel).decode().splitlines(keepends=True)

    def files(self):
        out = set()
        for folder, _, names in os.walk(self.dir):
            for n in names:
                out.add(os.path.relpath(os.path.join(folder, n), self.dir))
        return out

    def outputs(self):
        """Every file but the setup files, with its bytes."""
        return {f: self.read(f) for f in self.files() if not f.endswith(".setup")}


class StartUp(ProgramCase):
    def test_wrong_argument_count(self):
        for program in PROGRAMS:
            for args in ((), ("a", "b")):
                r = self.run_prog(program, *args)
                self.assertEqual(r.returncode, 255, program)
                self.assertEqual(r.stdout, "args: setup_file  \n", program)

    def test_wrong_command_lines(self):
        # every command line that is not SETUP, --check SETUP, --help or --version
        for program in PROGRAMS:
            for args in (("--check",), ("--check", "a", "b"), ("--frobnicate", "a"), ("a", "--help"),
                         ("--help", "a"), ("--version", "--help")):
                r = self.run_prog(program, *args)
                self.assertEqual((r.returncode, r.stdout), (255, "args: setup_file  \n"), (program, args))
                self.assertIn(f"{program} --help", r.stderr)
        self.assertEqual(self.files(), set())

    def test_help_and_version_take_no_argument(self):
        for program in PROGRAMS:
            for option in ("--help", "--version"):
                r = self.run_prog(program, option, "extra")
                self.assertEqual((r.returncode, r.stdout), (255, "args: setup_file  \n"), (program, option))
                self.assertEqual(r.stderr, f"{program}: {option} takes no argument: one argument too many "
                                           f"('extra'); {program} --help tells more\n")
        r = self.run_prog("orbtwin", "--version", "a", "b")
        self.assertIn("--version takes no argument: 2 arguments too many ('a', ...)", r.stderr)
        self.assertEqual(self.files(), set())

    def test_double_dash_ends_the_options(self):
        # a setup file whose name starts with --, after --: a run and a check of it
        self.write("--odd.setup", setup_text(nstars=2, nsteps=1))
        r = self.run_prog("orbmigrate", "--", "--odd.setup")
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertEqual(self.lines("--odd.setup.lxy")[0].count(" "), 3)
        self.assertIn("--odd.setup_0.bb", self.files())
        r = self.run_prog("orbtwin", "--check", "--", "--odd.setup")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("orbtwin --check --odd.setup: every value", r.stdout)
        # -- is never the setup file itself, and ends the options only once
        for args, message in ((("--",), "no setup file given"),
                              (("--", "--", "--odd.setup"), "expected one setup file, got 2 arguments"),
                              (("--", "--check", "--odd.setup"), "expected one setup file, got 2 arguments")):
            r = self.run_prog("orbspread", *args)
            self.assertEqual((r.returncode, r.stdout), (255, "args: setup_file  \n"), args)
            self.assertIn(message, r.stderr, args)
        self.assertFalse([f for f in self.files() if f.startswith("--odd.setup.") and not f.endswith(".lxy")])

    def test_start_up_lines_and_run_length(self):
        # dt_int 0.5 and nsteps 100: the surveys run 50 orbits, the ensemble 50.5
        self.write("s.setup", setup_text(dt_int=0.5, nsteps=100, nstars=0))
        for program, shown in (("orbmigrate", "50.00"), ("orbtwin", "50.00")):
            r = self.run_prog(program, "s.setup")
            self.assertEqual(r.stdout, f"file read in, npatterns=0 \ntmax(orbits) = {shown}\n")
            self.assertEqual(r.returncode, 1)
        for f in self.outputs():
            os.remove(os.path.join(self.dir, f))
        self.write("s.setup", setup_text(dt_int=0.5, nsteps=100, nstars=211))
        r = self.run_prog("orbspread", "s.setup")
        self.assertEqual(r.stdout, "file read in, npatterns=0 \ntmax(orbits) = 50.50\nmake state larger\n")
        self.assertEqual(r.returncode, 0)
        self.assertEqual(self.files(), {"s.setup"})

    def test_refused_setups_write_nothing(self):
        full = setup_text([SPIRALS[0]])
        cases = {
            "missing": (None, "orbmigrate: missing.setup: cannot open: No such file or directory\n"),
            "short": ("".join(full.splitlines(True)[:5]),
                      "orbmigrate: short.setup:6: nstars: missing, the file ends after line 5\n"),
            "block": ("".join(full.splitlines(True)[:20]),
                      "orbmigrate: block.setup:21: starttime: missing, the file ends after line 20\n"),
            "folder": (None, "orbmigrate: folder.setup: cannot read: Is a directory\n"),
            "many": (setup_text(npatterns=11),
                     "orbmigrate: many.setup:14: npatterns: 11 is more than the 10 patterns a model holds\n"),
        }
        for name, (text, message) in cases.items():
            with self.subTest(name):
                if text is not None:
                    self.write(f"{name}.setup", text)
                elif name == "folder":
                    os.mkdir(os.path.join(self.dir, "folder.setup"))
                r = self.run_prog("orbmigrate", f"{name}.setup")
                self.assertEqual(r.returncode, 2)
                self.assertEqual(r.stderr, message)
                self.assertFalse([f for f in self.files() if ".setup" not in f])

    def test_word_for_a_number_warns_with_file_and_line(self):
        text = setup_text(nstars=0).replace("0   nstars", "abc   nstars")
        self.write("runs/w.setup", text)
        r = self.run_prog("orbmigrate", "runs/w.setup")
        self.assertIn("orbmigrate: runs/w.setup:6: warning: nstars: expected an integer, got 'abc   nstars'",
                      r.stderr)
        self.assertEqual(r.returncode, 1)


class CommandLine(ProgramCase):
    def test_help_and_version(self):
        for program in PROGRAMS:
            r = self.run_prog(program, "--help")
            self.assertEqual((r.returncode, r.stderr), (0, ""), program)
            self.assertTrue(r.stdout.startswith(f"usage: {program} SETUP\n"), r.stdout)
            for needed in ("--check", "--version", "exit status:", "255", "args: setup_file  ",
                           "alpha > 0", "anticlockwise"):
                self.assertIn(needed, r.stdout, program)
            # the setup format: every parameter in file order, numbered as in the file
            fmt = r.stdout[r.stdout.index("the setup file:"):r.stdout.index("exit status:")]
            listed = [line.split()[1] for line in fmt.splitlines()
                      if line.startswith("  ") and line.split()[0].lstrip("+").isdigit()]
            self.assertEqual(listed, SCALARS + PATTERN, program)
            r = self.run_prog(program, "--version")
            self.assertEqual(r.returncode, 0)
            self.assertRegex(r.stdout, rf"^{program} \(orbkit\) \d+\.\d+\.\d+\n$")
        self.assertIn("210", self.run_prog("orbspread", "--help").stdout)
        self.assertEqual(self.files(), set())

    def check_table(self, stdout):
        """The value rows of a --check listing: (line, name, value text, rest)."""
        rows = []
        for line in stdout.splitlines():
            f = line.split(None, 3)
            if len(f) >= 3 and f[0].isdigit():
                rows.append((int(f[0]), f[1], f[2], f[3] if len(f) > 3 else ""))
        return rows

    def test_check_lists_every_value_and_writes_nothing(self):
        text = setup_text(SPIRALS, dt_int=0.5, nsteps=100, lseed=-3)
        self.write("runs/good.setup", text)
        expected = []
        for n, line in enumerate(text.splitlines(), start=1):
            value, name = line.split()
            expected.append((n, name, float(value)))
        for program, tmax in (("orbmigrate", "50"), ("orbtwin", "50"), ("orbspread", "50.5")):
            r = self.run_prog(program, "--check", "runs/good.setup")
            self.assertEqual((r.returncode, r.stderr), (0, ""), program)
            rows = self.check_table(r.stdout)
            self.assertEqual([(n, name, float(v)) for n, name, v, _ in rows], expected, program)
            self.assertIn(f"run length: {tmax} orbits, output every 0.5 orbits", r.stdout)
            self.assertIn("no warnings", r.stdout)
            self.assertNotIn("\n      ^", r.stdout)
            units = {name: rest.split()[0] for _, name, _, rest in rows}
            self.assertEqual([units[n] for n in ("dt_int", "growtime", "starttime", "phi0")],
                             ["orbits", "orbits", "orbits", "degrees"])
        self.assertEqual(self.files(), {"runs/good.setup"})

    def test_check_shows_a_shifted_file_at_a_glance(self):
        # a comment line added at the top: every value moves down one line
        # (npatterns is then read from the l_max line: one pattern)
        text = "# run 3, with the slower pattern\n" + setup_text(SPIRALS, l_min=0.5, l_max=1.0)
        self.write("shifted.setup", text)
        r = self.run_prog("orbmigrate", "--check", "shifted.setup")
        self.assertEqual(r.returncode, 0)
        out = r.stdout.splitlines()
        self.assertEqual(out[2].split()[:3], ["1", "gamma_", "-"])
        self.assertEqual(out[3].strip(), "^ not a number: gamma_ keeps 0")
        self.assertEqual(out[5].strip(), "^ the line names gamma_, not NU")
        marks = [line for line in out if line.startswith("      ^")]
        self.assertEqual(len(marks), 25, "every value read is marked")
        self.assertIn("lines 26 to 37 follow the last value and are not read", r.stdout)
        self.assertIn("26 lines look shifted or unread", r.stdout)
        warning = ("orbmigrate: shifted.setup:1: warning: gamma_: expected a number, got "
                   "'# run 3, with the slower pattern'; keeping 0; if the line was meant as a "
                   "comment, every later value is read one line off "
                   "(orbmigrate --check shifted.setup shows them all)\n")
        # randp0 is read from the lseed line: a value that is neither 0 nor 1 is said too
        randp0 = (f"orbmigrate: shifted.setup:11: warning: randp0: {BASE['lseed']} is neither 0 nor 1: "
                  "every star keeps the patterns' phases, as with 0\n")
        self.assertTrue(r.stdout.endswith("warnings:\n" + warning + randp0 + out[-1] + "\n"), r.stdout)
        # a run of the same file says the same on standard error
        self.assertIn(warning + randp0, self.run_prog("orbmigrate", "shifted.setup").stderr)

    def test_check_marks_no_line_whose_comment_starts_with_an_ordinary_word(self):
        # Only a parameter's own name after the value says which line it is; a comment
        # in words ("0.5  output every half orbit") names nothing, nor does a word that
        # merely starts like a name, or a name in other letters.
        words = ["slope, flat", "not used", "offsets", "output every half orbit", "intervals",
                 "stars drawn", "dispersion", "inner radius", "r_minimal outer radius", "seed",
                 "phases kept", "window from", "to", "Npatterns: one", "arms", "amplitude", "degrees",
                 "mmm pitch", "speed", "orbits", "orbits", "annulus", "smaxima", "width", "width"]
        values = setup_text([SPIRALS[0]]).splitlines()
        text = "".join(f"{line.split()[0]}  {word}\n" for line, word in zip(values, words))
        self.write("words.setup", text)
        r = self.run_prog("orbmigrate", "--check", "words.setup")
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        self.assertEqual(len(self.check_table(r.stdout)), 25)
        self.assertNotIn("\n      ^", r.stdout)
        self.assertNotIn("shifted", r.stdout)
        # and the same file with one line naming another parameter is marked there alone
        self.write("one.setup", text.replace("0.25  output every half orbit", "0.25  nsteps of output"))
        r = self.run_prog("orbmigrate", "--check", "one.setup")
        marks = [line.strip() for line in r.stdout.splitlines() if line.startswith("      ^")]
        self.assertEqual(marks, ["^ the line names nsteps, not dt_int"])
        self.assertIn("1 line looks shifted or unread", r.stdout)

    def test_tolerance_range_includes_its_lower_edge_and_not_1(self):
        self.write("f.setup", setup_text(nstars=1, nsteps=1))
        for tol in ("1e-16", "0.999999"):
            r = self.run_prog("orbmigrate", "--integrator", "dop853", "--tol", tol, "--check", "f.setup")
            self.assertEqual((r.returncode, r.stderr), (0, ""), tol)
        for tol in ("1", "1.0", "9.9e-17", "2", "inf", "nan", "-1e-13"):
            r = self.run_prog("orbmigrate", "--integrator", "dop853", "--tol", tol, "--check", "f.setup")
            self.assertEqual((r.returncode, r.stdout), (255, "args: setup_file  \n"), tol)
            self.assertIn(f"--tol: expected a number from 1e-16 to below 1, got '{tol}'", r.stderr)

    def test_check_of_a_refused_setup(self):
        self.write("short.setup", "".join(setup_text([SPIRALS[0]]).splitlines(True)[:20]))
        r = self.run_prog("orbtwin", "--check", "short.setup")
        self.assertEqual(r.returncode, 2)
        self.assertEqual(len(self.check_table(r.stdout)), 20)
        self.assertIn("refused:\norbtwin: short.setup:21: starttime: missing, the file ends after line 20\n",
                      r.stdout)
        r = self.run_prog("orbtwin", "--check", "none.setup")
        self.assertEqual(r.returncode, 2)
        self.assertIn("none.setup: cannot open", r.stdout)
        self.assertEqual(self.files(), {"short.setup"})


class Migrate(ProgramCase):
    def test_files_rows_and_headers(self):
        self.write("runs/a", setup_text(SPIRALS, nstars=6, nsteps=3))
        r = self.run_prog("orbmigrate", "runs/a")
        self.assertEqual(r.returncode, 1, r.stderr)
        rows = self.lines("runs/a.lxy")
        self.assertEqual(len(rows), 6)
        for row in rows:
            values = row.split(" ")
            self.assertEqual(len(values), 4)
            self.assertRegex(row, r"^-?\d+\.\d{3} -?\d+\.\d{3} -?\d+\.\d{3} -?\d+\.\d{3}\n$")
        # the window (-10, 10) holds every star: orbit files 0..5, in star order
        self.assertEqual({f for f in self.files() if f.endswith(".bb")},
                         {f"runs/a_{k}.bb" for k in range(6)})
        orbit = self.lines("runs/a_0.bb")
        self.assertEqual(orbit[0], "#t,x,y,vx,vy,r,phi,u,v,L ,J ,e ,theta1,KE,p0,p1,f1,p2,f2 ..\n")
        self.assertEqual(orbit[1], "#1,2,3,4 ,5 ,6,7  ,8,9,10,11,12,13    ,14,15,16,17,18,19\n")
        self.assertEqual(len(orbit), 2 + 3 + 1)
        self.assertEqual(len(orbit[2].split(" ")), 15 + 2 * 2 + 1)  # the newline follows a blank
        summaries = r.stdout.splitlines()[2:]
        self.assertEqual([s.split(" dl = ")[0] for s in summaries], [f"runs/a_{k}.bb" for k in range(6)])
        self.assertEqual(r.stderr, "")  # standard error is no terminal: no progress line
        # row k against orbit file k: L0 is its first L, dL is what standard output says
        # of it (the same number, printed the same way), x and y its last position
        moved = 0
        for k, row in enumerate(rows):
            L0, dL, x, y = row.split()
            first, last = (line.split() for line in self.lines(f"runs/a_{k}.bb")[2::3])
            for table, orbit in ((L0, first[9]), (x, last[1]), (y, last[2])):
                self.assertLessEqual(abs(float(table) - float(orbit)), 0.0005 + 0.0005 * abs(float(orbit)),
                                     f"star {k}: {row!r} against {first} ... {last}")
            self.assertEqual(summaries[k], f"runs/a_{k}.bb dl = {dL}")
            moved += abs(float(last[9]) - float(first[9])) > 0.01
        self.assertGreater(moved, 0, "no star changed its L: the check of dL proves little")

    def test_window_is_strict_and_fallback_saves_last_star(self):
        # nsteps 0: no integration at all, so every change is exactly 0
        for l_min, l_max, saved in ((-1, 1, 3), (0, 1, 0), (-1, 0, 0), (1, -1, 0)):
            with self.subTest(l_min=l_min, l_max=l_max):
                for f in self.files():
                    os.remove(os.path.join(self.dir, f))
                self.write("w", setup_text(nstars=3, nsteps=0, l_min=l_min, l_max=l_max))
                r = self.run_prog("orbmigrate", "w")
                self.assertEqual(r.returncode, 1)
                orbit_files = sorted(f for f in self.files() if f.endswith(".bb"))
                self.assertEqual(orbit_files, [f"w_{k}.bb" for k in range(max(saved, 1))])
                if saved == 0:  # the fallback file holds the last star, initial state only
                    last_L0 = self.lines("w.lxy")[-1].split()[0]
                    start = self.lines("w_0.bb")[2].split()
                    self.assertEqual(len(self.lines("w_0.bb")), 3)
                    self.assertAlmostEqual(float(start[9]), float(last_L0), places=2)
                    self.assertEqual(r.stdout.splitlines()[2:], ["w_0.bb dl = 0.000"])

    def test_no_stars(self):
        self.write("z", setup_text(nstars=0))
        r = self.run_prog("orbmigrate", "z")
        self.assertEqual(r.returncode, 1)
        self.assertEqual(self.read("z.lxy"), b"")
        self.assertEqual(self.files(), {"z", "z.lxy"})
        self.assertIn("nstars is 0", r.stderr)

    def test_uncreatable_outputs(self):
        self.write("u", setup_text(nstars=2, nsteps=1))
        os.mkdir(os.path.join(self.dir, "u.lxy"))
        r = self.run_prog("orbmigrate", "u")
        self.assertEqual((r.returncode, r.stderr), (2, "orbmigrate: u.lxy: cannot create: Is a directory\n"))
        os.rmdir(os.path.join(self.dir, "u.lxy"))
        os.mkdir(os.path.join(self.dir, "u_1.bb"))
        r = self.run_prog("orbmigrate", "u")
        self.assertEqual((r.returncode, r.stderr), (2, "orbmigrate: u_1.bb: cannot create: Is a directory\n"))
        self.assertEqual(len(self.lines("u.lxy")), 2)  # the rows written before stay

    def test_long_setup_path(self):
        rel = os.path.join("d" * 120, "s" * 120)
        self.write(rel, setup_text(nstars=1, nsteps=1))
        r = self.run_prog("orbmigrate", rel)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn(rel + ".lxy", self.files())
        self.assertIn(rel + "_0.bb", self.files())

    def test_same_seed_same_bytes(self):
        self.write("r.setup", setup_text(SPIRALS, nstars=8, randp0=1, l_min=0.0, l_max=10.0))
        first = self.run_prog("orbmigrate", "r.setup")
        files = self.outputs()
        for f in files:
            os.remove(os.path.join(self.dir, f))
        second = self.run_prog("orbmigrate", "r.setup")
        self.assertEqual(first.stdout, second.stdout)
        self.assertEqual(files, self.outputs())


class Failures(ProgramCase):
    def test_failed_integration_is_reported_and_prints_nan(self):
        # a taper of width nan makes the force nan for every star inside r = 2
        broken = dict(SPIRALS[0], wmin="nan", smin=2.0, starttime=0)
        self.write("f", setup_text([broken], nstars=4, nsteps=2, r_min=1.0, r_max=3.0))
        r = self.run_prog("orbmigrate", "f")
        self.assertEqual(r.returncode, 1)
        rows = [row.split() for row in self.lines("f.lxy")]
        failed = [i for i, row in enumerate(rows) if row[1:] == ["nan"] * 3]
        self.assertTrue(failed and len(failed) < 4, rows)
        self.assertEqual(r.stderr.splitlines(),
                         ["orbmigrate: f:24: warning: wmin: nan is not a finite number; what depends on it "
                          "prints as nan or inf"] +
                         [f"orbmigrate: star {i}: integration failed at t = 0; its values print as nan"
                          for i in failed])
        r = self.run_prog("orbspread", "f")
        self.assertEqual(r.returncode, 1)
        # the reference star lies inside r = 2, and so do its close neighbours
        self.assertEqual(r.stderr.splitlines(),
                         ["orbspread: f:24: warning: wmin: nan is not a finite number; what depends on it "
                          "prints as nan or inf"] +
                         [f"orbspread: member {i}: integration failed at t = 0; it prints as nan from now on"
                          for i in range(4)])
        for line in self.lines("f.l")[1:]:
            self.assertEqual(line.split()[1:], ["nan"] * 3)


class Twin(ProgramCase):
    def test_pairs_numbering_and_twin_offset(self):
        self.write("runs/a", setup_text(nstars=2, nsteps=0, disp_u0=0.3, r_min=0.5, r_max=0.5))
        r = self.run_prog("orbtwin", "runs/a")
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertEqual({f for f in self.files() if f.endswith(".xb")},
                         {f"runs/a_{k}.xb" for k in range(4)})
        self.assertEqual(r.stdout.splitlines()[2:],
                         [f"runs/a_{k}.xb dl = 0.000" for k in range(4)])
        rows = self.lines("runs/a.rx")
        self.assertEqual(len(rows), 2)
        self.assertTrue(all(row.endswith(" \n") and len(row.split()) == 3 for row in rows))
        # the twin starts at x + 1e-9 of the star drawn from the same seed
        x, y, vx, vy = first_star(BASE["lseed"], 0.3, 0.5, 0.5)
        star = self.lines("runs/a_0.xb")[2].split()
        twin = self.lines("runs/a_1.xb")[2].split()
        self.assertEqual(star[1:5], ["%.3e" % v for v in (x, y, vx, vy)])
        self.assertEqual(twin[1:5], ["%.3e" % v for v in (x + 1e-9, y, vx, vy)])

    def test_fallback_has_no_twin_file(self):
        # nsteps 0: the star's change is exactly 0, outside both windows; the twin's L
        # differs from the star's initial one by about 1e-9, inside one of them
        for l_min, l_max in ((5, 6), (0, 1), (-1, 0)):
            with self.subTest(l_min=l_min, l_max=l_max):
                for f in self.files():
                    os.remove(os.path.join(self.dir, f))
                self.write("n", setup_text(nstars=3, nsteps=0 if l_max < 5 else 1, l_min=l_min, l_max=l_max))
                r = self.run_prog("orbtwin", "n")
                self.assertEqual(r.returncode, 1)
                self.assertEqual(sorted(f for f in self.files() if f.endswith(".xb")), ["n_0.xb"])
                self.assertEqual(len(self.lines("n.rx")), 3)

    def test_the_star_alone_decides_and_the_twin_is_kept_with_it(self):
        # One star at r = 2 moving inwards, its twin 1e-9 further out. The wave's outer
        # edge lies between them and its taper has width nan: the twin's force is nan
        # from the start, the star never reaches the edge. The star's change is inside
        # the window, so both orbit files are kept, the twin's ending at once.
        x, y, vx, vy = first_star(12, 0.3, 2.0, 2.0)
        self.assertGreater(x, 0.5)
        self.assertLess(x * vx + y * vy, 0)
        edge = 2.0 + 0.5e-9 * x / 2.0
        wave = dict(SPIRALS[0], starttime=0, growtime=0, smin=0.5, smax=repr(edge), wmax="nan")
        self.write("d", setup_text([wave], nstars=1, nsteps=1, lseed=12, disp_u0=0.3, r_min=2.0, r_max=2.0,
                                   l_min=-1, l_max=1))
        r = self.run_prog("orbtwin", "d")
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr, "orbtwin: d:25: warning: wmax: nan is not a finite number; what depends on it "
                                   "prints as nan or inf\n"
                                   "orbtwin: star 0 (twin): integration failed at t = 0; its values print as nan\n"
                                   "orbtwin: d_1.xb: integration failed at t = 0; the orbit file ends there\n")
        self.assertEqual(sorted(f for f in self.files() if f.endswith(".xb")), ["d_0.xb", "d_1.xb"])
        star = self.lines("d_0.xb")
        self.assertEqual(len(star), 2 + 2)
        self.assertEqual(len(self.lines("d_1.xb")), 2 + 1)
        L0, L1, L2 = self.lines("d.rx")[0].split(" ")[:3]
        self.assertEqual(L2, "nan")
        self.assertEqual(self.lines("d.rx")[0], f"{L0} {L1} nan \n")
        # the row's L0 and L1 are the star's first and last L
        for table, line in ((L0, star[2]), (L1, star[3])):
            self.assertLessEqual(abs(float(table) - float(line.split()[9])), 0.0005 + 0.0005 * abs(float(table)))
        summary = r.stdout.splitlines()[2:]
        self.assertEqual([line.split(" dl = ")[0] for line in summary], ["d_0.xb"])
        self.assertLessEqual(abs(float(summary[0].split(" dl = ")[1]) - (float(L1) - float(L0))), 0.0015)


class Spread(ProgramCase):
    def test_record_and_spread_files(self):
        self.write("runs/e", setup_text([SPIRALS[0]], nstars=4, nsteps=3))
        r = self.run_prog("orbspread", "runs/e")
        self.assertEqual(r.returncode, 1, r.stderr)
        rec = self.lines("runs/e.x")
        self.assertEqual(rec[0], "#i,to,x ,y ,vx,vy,r ,phi,u ,v ,L ,J ,e ,theta1,KE,p0,p1,f1,p2,f2 ..\n")
        self.assertEqual(rec[1], "#1,2 ,3 ,4 ,5 ,6 ,7 ,8  ,9 ,10,11,12,13,14    ,15,16,17,18,19,20\n")
        spread = self.lines("runs/e.l")
        self.assertEqual(spread[0], "#time rmax lsig lmax\n")
        times = len(spread) - 1
        self.assertIn(times, (3, 4))  # the running sum of dt_int decides whether tmax is reached
        self.assertEqual(spread[1].split()[0], "%.3e" % (0.25 * TWOPI / TWOPI))
        blocks = "".join(rec[2:]).split("\n\n")
        self.assertEqual(len(blocks), times + 1)
        for block in blocks:
            idx = [line.split()[0] for line in block.strip("\n").split("\n")]
            self.assertEqual(idx, ["0", "1", "2", "3"])
        self.assertTrue(all(len(l.split(" ")) == 16 + 2 + 1 for l in rec[2:] if l != "\n"))
        # the initial block: time 0; member 0 is the undisplaced reference star
        x, y, vx, vy = first_star(BASE["lseed"], BASE["disp_u0"], BASE["r_min"], BASE["r_max"])
        self.assertEqual(rec[2].split()[1:6], ["0.0000e+00"] + ["%.4e" % v for v in (x, y, vx, vy)])

    def test_members_and_spread_figures(self):
        # offsets large enough to show in five digits: every member's start against the
        # draws replayed here, every spread row against the members' printed values
        n, mixtime = 7, 0.2
        self.write("m", setup_text([SPIRALS[0]], nstars=n, nsteps=4, mixtime=mixtime))
        r = self.run_prog("orbspread", "m")
        self.assertEqual(r.returncode, 1, r.stderr)
        blocks = [[line.split() for line in block.strip("\n").split("\n")]
                  for block in "".join(self.lines("m.x")[2:]).split("\n\n")]
        for i, want in enumerate(ensemble_start(n, mixtime, BASE["lseed"], BASE["disp_u0"], BASE["r_min"],
                                                BASE["r_max"])):
            self.assertEqual(blocks[0][i][2:6], ["%.4e" % v for v in want], f"member {i}")
        rows = [line.split() for line in self.lines("m.l")[1:]]
        self.assertEqual(len(rows), len(blocks) - 1)
        for row, block in zip(rows, blocks[1:]):
            x = [(float(m[2]), float(m[3])) for m in block]
            L = [float(m[10]) for m in block]
            mean = sum(L) / n
            rmax = max(math.hypot(a - x[0][0], b - x[0][1]) for a, b in x)
            lsig = math.sqrt(sum((l - mean) ** 2 for l in L) / n)
            lmax = max(abs(l - L[0]) for l in L)
            # positions and L carry five digits (1e-4 at most here), the row four
            for name, got, want in (("rmax", row[1], rmax), ("lsig", row[2], lsig), ("lmax", row[3], lmax)):
                self.assertLessEqual(abs(float(got) - want), 2e-4 + 5e-4 * want, f"{name} at {row[0]}: {row}")
        self.assertGreater(float(rows[-1][3]), 1e-3, "the members hardly differ")

    def test_uncreatable_spread_file_removes_the_record_file(self):
        self.write("c.setup", setup_text(nstars=3, nsteps=1))
        os.mkdir(os.path.join(self.dir, "c.setup.l"))
        r = self.run_prog("orbspread", "c.setup")
        self.assertEqual((r.returncode, r.stderr), (2, "orbspread: c.setup.l: cannot create: Is a directory\n"))
        self.assertEqual(r.stdout, "file read in, npatterns=0 \ntmax(orbits) = 0.50\n")
        self.assertEqual(self.files(), {"c.setup"})
        self.assertTrue(os.path.isdir(os.path.join(self.dir, "c.setup.l")))

    def test_one_member_has_no_spread(self):
        self.write("o", setup_text(nstars=1, nsteps=2))
        self.run_prog("orbspread", "o")
        for line in self.lines("o.l")[1:]:
            self.assertEqual(line.split()[1:], ["0.000e+00"] * 3)

    def test_capacity_and_zero_interval(self):
        self.write("c", setup_text(nstars=210, nsteps=0, dt_int=0.01))
        r = self.run_prog("orbspread", "c")
        self.assertEqual(r.returncode, 1)
        self.assertEqual(len(self.lines("c.x")), 2 + 210 + 1 + 210)
        self.write("z", setup_text(nstars=3, dt_int=0))
        r = self.run_prog("orbspread", "z")
        self.assertEqual(r.returncode, 2)
        self.assertIn("dt_int", r.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.dir, "z.x")))


class Streams(ProgramCase):
    """What a reader sees while a run goes on, and standard output and error in one file."""

    def test_survey_table_rows_are_on_disk_before_the_orbit_files(self):
        # stopped as soon as its first orbit file is in the making (under its temporary
        # name), the run has put every row of the batch in the table already; orbit
        # files of 4000 output times each are long enough in the making to be seen
        for program, table in (("orbmigrate", "q.lxy"), ("orbtwin", "q.rx")):
            with self.subTest(program):
                for f in self.files():
                    os.remove(os.path.join(self.dir, f))
                self.write("q", setup_text(nstars=5, nsteps=4000, dt_int=0.002))  # the window holds every star
                proc = subprocess.Popen([PROGRAMS[program], "q"], cwd=self.dir, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
                seen, rows = False, []
                try:
                    deadline = time.time() + 120  # a guard against a hang, not a measure
                    while not seen and proc.poll() is None and time.time() < deadline:
                        seen = any(f.endswith(".part") for f in os.listdir(self.dir))
                        if seen:
                            proc.send_signal(signal.SIGSTOP)
                            rows = self.lines(table)
                        else:
                            time.sleep(0.001)
                finally:
                    proc.kill()
                    proc.wait()
                self.assertTrue(seen, "no orbit file was seen in the making")
                self.assertEqual(len(rows), 5, f"{program}: rows on disk while an orbit file is written: {rows}")
                self.assertTrue(all(row.endswith("\n") for row in rows))

    def test_spread_rows_and_record_blocks_are_on_disk_as_each_time_ends(self):
        # stopped at an arbitrary moment, the files hold whole rows and whole blocks only,
        # the record file at most one output time ahead of the spread file
        n = 8
        self.write("s", setup_text([SPIRALS[0]], nstars=n, nsteps=3000, dt_int=0.002))
        proc = subprocess.Popen([PROGRAMS["orbspread"], "s"], cwd=self.dir, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, env=dict(os.environ, OMP_NUM_THREADS="1"))
        try:
            deadline = time.time() + 60
            while time.time() < deadline and proc.poll() is None:
                path = os.path.join(self.dir, "s.l")
                if os.path.exists(path) and self.read("s.l").count(b"\n") >= 3:
                    break
                time.sleep(0.002)
            running = proc.poll() is None
            proc.send_signal(signal.SIGSTOP)
            spread, records = self.read("s.l").decode(), self.read("s.x").decode()
        finally:
            proc.kill()
            proc.wait()
        self.assertTrue(running, "the run ended before it could be watched")
        self.assertTrue(spread.endswith("\n") and records.endswith("\n"), (spread[-50:], records[-300:]))
        rows = spread.splitlines()[1:]
        self.assertTrue(all(len(row.split()) == 4 for row in rows), rows)
        blocks = records.split("\n", 2)[2].split("\n\n")
        self.assertTrue(all(len(b.strip("\n").split("\n")) == n for b in blocks), "a block is cut short")
        self.assertIn(len(blocks), (len(rows) + 1, len(rows) + 2))

    def test_standard_output_and_error_keep_their_order_in_one_file(self):
        # 300 stars, two batches, some failing: each batch's failures, then its orbit
        # files' lines, whether the two streams go to two pipes or to one file
        broken = dict(SPIRALS[0], wmin="nan", smin=2.0, starttime=0)
        # a run so short that no star comes near r = 2 from outside
        self.write("o.setup", setup_text([broken], nstars=300, nsteps=1, dt_int=0.0001))
        apart = self.run_prog("orbmigrate", "o.setup")
        self.assertEqual(apart.returncode, 1)
        rows = [row.split() for row in self.lines("o.setup.lxy")]
        warning, *failures = apart.stderr.splitlines()
        self.assertIn("o.setup:24: warning: wmin", warning)
        summaries = apart.stdout.splitlines()[2:]
        batch_of_saved = [i // 256 for i, row in enumerate(rows) if row[1] != "nan"]
        self.assertEqual(len(batch_of_saved), len(summaries))
        self.assertTrue(0 < len(failures) < 300 and set(batch_of_saved) == {0, 1})
        expected = [warning] + apart.stdout.splitlines()[:2]  # the setup is read before the first line
        for b in (0, 1):
            expected += [f for f in failures if int(f.split("star ")[1].split(":")[0]) // 256 == b]
            expected += [s for s, sb in zip(summaries, batch_of_saved) if sb == b]
        for f in self.outputs():
            os.remove(os.path.join(self.dir, f))
        with open(os.path.join(self.dir, "both"), "w") as both:
            r = subprocess.run([PROGRAMS["orbmigrate"], "o.setup"], cwd=self.dir, stdout=both, stderr=both, timeout=300)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(self.lines("both"), [line + "\n" for line in expected])


class Transient(ProgramCase):
    def test_the_cancelling_copy_ends_the_wave(self):
        # The shipped example with fewer stars: after orbit 8 the copy cancels the wave,
        # and every saved star's angular momentum stays as it was, to the 4 digits printed.
        with open(os.path.join(ROOT, "examples", "transient.setup")) as f:
            lines = f.read().splitlines(True)
        self.assertEqual(lines[5].split()[1], "nstars")
        lines[5] = "24       nstars\n"
        self.write("t.setup", "".join(lines))
        r = self.run_prog("orbmigrate", "t.setup")
        self.assertEqual(r.returncode, 1, r.stderr)
        orbits = sorted(f for f in self.files() if f.endswith(".bb"))
        self.assertGreater(len(orbits), 0)
        changed_while_on = 0
        for name in orbits:
            rows = [line.split() for line in self.lines(name) if not line.startswith("#")]
            self.assertEqual(len(rows), 41, name)
            during = {row[9] for row in rows if 1 <= float(row[0]) / TWOPI <= 8}
            after = {row[9] for row in rows if float(row[0]) / TWOPI >= 8}
            self.assertEqual(len(after), 1, f"{name}: L moves after the wave is gone: {sorted(after)}")
            changed_while_on += len(during) > 1
        self.assertEqual(changed_while_on, len(orbits), "the wave changes every saved star's L")


class Threads(ProgramCase):
    """Output does not depend on the number of threads."""

    def test_one_and_three_threads_give_the_same_bytes(self):
        text = setup_text(SPIRALS, nstars=40, nsteps=6, randp0=1, l_min=-0.02, l_max=10)
        for program in PROGRAMS:
            with self.subTest(program):
                self.write(f"{program}.setup", text.replace("40   nstars", "30   nstars")
                           if program == "orbspread" else text)
                runs = []
                for threads in (1, 3):
                    r = self.run_prog(program, f"{program}.setup", threads=threads)
                    runs.append((r.returncode, r.stdout, self.outputs()))
                    for f in runs[-1][2]:
                        os.remove(os.path.join(self.dir, f))
                self.assertGreater(len(runs[0][2]), 1)
                self.assertEqual(runs[0], runs[1])

    @unittest.skipIf(os.environ.get("ORBKIT_SANITIZED"), "AddressSanitizer keeps freed memory in quarantine")
    def test_memory_does_not_grow_with_stars(self):
        def peak_kib(nstars):
            self.write("m.setup", setup_text(nstars=nstars, nsteps=1, dt_int=0.001))
            probe = ("import resource, subprocess, sys; subprocess.run(sys.argv[1:], capture_output=True);"
                     "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
            r = subprocess.run([sys.executable, "-c", probe, PROGRAMS["orbmigrate"], "m.setup"],
                               cwd=self.dir, capture_output=True, text=True, check=True)
            return int(r.stdout)
        small, large = peak_kib(10), peak_kib(10000)
        self.assertEqual(len(self.lines("m.setup.lxy")), 10000)
        self.assertLess(abs(large - small), 1024, f"peak RSS {small} KiB vs {large} KiB")

    def test_progress_only_on_a_terminal(self):
        self.write("p.setup", setup_text(nstars=20, nsteps=1))
        master, slave = pty.openpty()
        proc = subprocess.Popen([PROGRAMS["orbmigrate"], "p.setup"], cwd=self.dir,
                                stdout=subprocess.PIPE, stderr=slave)
        out, _ = proc.communicate(timeout=120)
        os.close(slave)
        shown = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            shown += chunk
        os.close(master)
        self.assertIn(b"20 of 20 stars", shown)
        self.assertNotIn(b"stars", out)



class FastMode(ProgramCase):
    """--integrator dop853: the same files and lines as the exact integrator, values
    within what the printed digits can show, and reproducible bytes of its own."""

    SETUP = setup_text(SPIRALS, nstars=12, nsteps=8, randp0=1, l_min=-0.02, l_max=10)

    def run_both(self, program, setup, *options, threads=None):
        """(returncode, stdout, outputs) of the exact run and of the run with options."""
        runs = []
        for args in ((), options):
            r = self.run_prog(program, *args, setup, threads=threads)
            runs.append((r.returncode, r.stdout, self.outputs()))
            for f in runs[-1][2]:
                os.remove(os.path.join(self.dir, f))
        return runs

    def assert_close(self, exact, fast, where):
        """Every number of two files within one unit of its last printed digit plus what
        the exact integrator's landing allows: it stops within 1e-4 of an output time
        (dop853 on it), and every printed quantity moves at most about as fast as the
        star; angles may wrap around 2 pi."""
        a, b = exact.decode().split(), fast.decode().split()
        self.assertEqual(len(a), len(b), where)
        for x, y in zip(a, b):
            if x == y or x.startswith("#"):
                continue
            mantissa, _, exponent = x.lower().partition("e")
            unit = 10.0 ** (-len(mantissa.partition(".")[2]) + (int(exponent) if exponent else 0))
            d = abs(float(x) - float(y))
            d = min(d, abs(d - TWOPI))
            self.assertLessEqual(d, 1.01 * unit + 3e-4 * max(1.0, abs(float(x))), (where, x, y))

    def test_same_files_and_lines_as_the_exact_integrator(self):
        for program in PROGRAMS:
            with self.subTest(program):
                self.write("f.setup", self.SETUP)
                exact, fast = self.run_both(program, "f.setup", "--integrator", "dop853", "--tol", "1e-14")
                self.assertEqual(exact[0], fast[0])
                self.assertEqual(sorted(exact[2]), sorted(fast[2]))
                self.assertGreater(len(exact[2]), 1)
                # stdout: the same lines, the orbit files' dl within the last digit
                self.assertEqual(len(exact[1].splitlines()), len(fast[1].splitlines()))
                self.assert_close(exact[1].replace(" dl = ", " ").encode(),
                                  fast[1].replace(" dl = ", " ").encode(), "stdout")
                for name in exact[2]:
                    self.assert_close(exact[2][name], fast[2][name], name)

    def test_default_tolerance_options_and_threads(self):
        self.write("f.setup", self.SETUP)
        # --integrator bs is the default; dop853 without --tol is 1e-13; two threads, same bytes
        exact, bs = self.run_both("orbmigrate", "f.setup", "--integrator", "bs")
        self.assertEqual(exact, bs)
        fast, fast13 = self.run_both("orbtwin", "f.setup", "--integrator", "dop853", "--tol", "1e-13",
                                     threads=1)
        _, fast2 = self.run_both("orbtwin", "f.setup", "--integrator", "dop853", threads=2)
        self.assertEqual(fast13, fast2)
        self.assertNotEqual(fast[2], fast13[2])  # the exact run differs in some digit

    def test_same_bytes_on_every_vector_path_thread_count_and_c_library(self):
        # the fast mode calls no function of the C library: the variant for a processor
        # without AVX2 and FMA changes nothing; nor does the width of the lanes
        self.write("f.setup", self.SETUP)
        runs = {"default, 1 thread": dict(threads=1),
                "default, 2 threads": dict(threads=2),
                "scalar path": dict(threads=1, extra_env={"ORBKIT_SIMD": "scalar"}),
                "sse2 path, 2 threads": dict(threads=2, extra_env={"ORBKIT_SIMD": "sse2"}),
                "avx2 path": dict(threads=1, extra_env={"ORBKIT_SIMD": "avx2"}),
                "avx512 path, 2 threads": dict(threads=2, extra_env={"ORBKIT_SIMD": "avx512"}),
                "C library without AVX2 and FMA": dict(
                    threads=2, extra_env={"GLIBC_TUNABLES": "glibc.cpu.hwcaps=-AVX2,-FMA"}),
                "C library without AVX-512, AVX2 and FMA": dict(
                    threads=1, extra_env={"GLIBC_TUNABLES": "glibc.cpu.hwcaps=-AVX512F,-AVX2,-FMA"})}
        for program in PROGRAMS:
            seen = {}
            for name, how in runs.items():
                r = self.run_prog(program, "--integrator", "dop853", "f.setup", **how)
                seen[name] = (r.returncode, r.stdout, self.outputs())
                for f in seen[name][2]:
                    os.remove(os.path.join(self.dir, f))
            first = seen["default, 1 thread"]
            self.assertGreater(len(first[2]), 1, program)
            for name, got in seen.items():
                self.assertEqual(got, first, (program, name))

    def test_wrong_integrator_options(self):
        self.write("f.setup", self.SETUP)
        cases = {
            ("--integrator", "rk4"): "--integrator: expected bs or dop853, got 'rk4'",
            ("--integrator",): "--integrator: expected bs or dop853, got 'f.setup'",
            ("--integrator", "dop853", "--tol", "abc"): "--tol: expected a number from 1e-16 to below 1, got 'abc'",
            ("--integrator", "dop853", "--tol", "0"): "--tol: expected a number from 1e-16 to below 1, got '0'",
            ("--integrator", "dop853", "--tol", "1e-13x"): "got '1e-13x'",
            ("--tol", "1e-13"): "--tol sets the tolerance of --integrator dop853",
            ("--integrator", "bs", "--tol", "1e-13"): "--tol sets the tolerance of --integrator dop853",
        }
        for args, message in cases.items():
            r = self.run_prog("orbspread", *args, "f.setup")
            self.assertEqual((r.returncode, r.stdout), (255, "args: setup_file  \n"), args)
            self.assertIn(message, r.stderr, args)
        self.assertEqual(self.files(), {"f.setup"})
        help_text = self.run_prog("orbmigrate", "--help").stdout
        for needed in ("--integrator bs", "--integrator dop853", "--tol T", "default 1e-13"):
            self.assertIn(needed, help_text)

if __name__ == "__main__":
    unittest.main(verbosity=2)
