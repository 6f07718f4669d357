#!/usr/bin/python3
"""End-to-end tests of bad setups and broken outputs: every case ends with the
right status and message and leaves no partial line and no cut orbit file behind.
How long a case may run is bounded by the integrator's work budget (a count of
steps, tested in test_integrator.cpp), not by a clock: the timeout of each run
only keeps a broken build from hanging the suite.

Each case is one row of CASES. Run with --table to print, for the programs named
by ORBSPREAD, ORBMIGRATE and ORBTWIN, what each case did (status, first message,
seconds, what the output check found) instead of testing."""

import os
import pathlib
import re
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_programs import PROGRAMS, SPIRALS, setup_text  # noqa: E402

SMALL = dict(nstars=3, nsteps=2, dt_int=1)  # 3 stars, 2 output intervals of one orbit
FULL = "No space left on device"
PLAIN_LINES = 2 + SMALL["nsteps"] + 1  # orbit file: two headers, one line per output time


def setup(patterns=(), **changes):
    return setup_text(patterns, **dict(SMALL, **changes))


def full(name):
    """Prepares the output `name` as a link to /dev/full: every write to it fails."""
    return lambda d: os.symlink("/dev/full", os.path.join(d, name))


def limit_file_size(size, ignored=True):
    """Runs the program as on a disc that fills up after `size` bytes of a file.
    Some OpenMP runtimes need a shared-memory file of 1 KiB at start: size is more.
    `ignored` False: as `ulimit -f` does it, SIGXFSZ left to kill the process."""
    def child():
        if ignored:
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))
    return child


OTHER_USER = 65534  # nobody: the owner of links planted in a shared folder


def planted(name, hard=False):
    """Plants, at the output `name`, a link to a file outside the run's folder:
    a symbolic link of another user, or a second name of the file (a hard link)."""
    def prepare(folder):
        victim = os.path.join(os.path.dirname(folder), os.path.basename(folder) + ".victim")
        with open(victim, "w") as f:
            f.write("not to be overwritten\n")
        if hard:
            os.link(victim, os.path.join(folder, name))
        else:
            os.symlink(victim, os.path.join(folder, name))
            os.lchown(os.path.join(folder, name), OTHER_USER, OTHER_USER)
    return prepare


def victim_of(folder):
    path = os.path.join(os.path.dirname(folder), os.path.basename(folder) + ".victim")
    if not os.path.exists(path):
        return None
    with open(path) as f:
        text = f.read()
    os.remove(path)
    return text


LONG = "s" * 245  # SETUP.lxy fits a file name of 255 bytes, SETUP_0.bb.XXXXXX.part does not


def close_fd(fd):
    return lambda: os.close(fd)


CLOSED_STDOUT = close_fd(1)

# name: (program, setup text, options, expected status, expected messages)
# options: prepare (folder -> None), child (run in the child before exec),
# stdout ("pipe", "full"). Messages: each must be a line of standard error, in order
# of appearance; "*" ends the list when more lines may follow.
CASES = {
    # broken outputs
    "table on a full disc": ("orbmigrate", setup(), dict(prepare=full("s.lxy")), 2,
                             [f"orbmigrate: s.lxy: cannot write: {FULL}"]),
    "twin table on a full disc": ("orbtwin", setup(), dict(prepare=full("s.rx")), 2,
                                  [f"orbtwin: s.rx: cannot write: {FULL}"]),
    # a link planted under the name an orbit file was once written under is never followed
    "link at an orbit file's old temporary name": ("orbmigrate", setup(), dict(prepare=full("s_1.bb.part")),
                                                   1, []),
    "twin orbit file on a full disc": ("orbtwin", setup(nsteps=60, dt_int=0.02),
                                       dict(child=limit_file_size(5000)), 2,
                                       ["orbtwin: s_0.xb: cannot write: File too large"]),
    "record file on a full disc": ("orbspread", setup(), dict(prepare=full("s.x")), 2,
                                   [f"orbspread: s.x: cannot write: {FULL}"]),
    "spread file on a full disc": ("orbspread", setup(), dict(prepare=full("s.l")), 2,
                                   [f"orbspread: s.l: cannot write: {FULL}"]),
    "standard output on a full disc": ("orbmigrate", setup(), dict(stdout="full"), 2,
                                       [f"orbmigrate: standard output: cannot write: {FULL}"]),
    "disc fills during the table": ("orbmigrate", setup(nstars=300, nsteps=0),
                                    dict(child=limit_file_size(4096)), 2,
                                    ["orbmigrate: s.lxy: cannot write: File too large"]),
    "disc fills during the records": ("orbspread", setup(nstars=20), dict(child=limit_file_size(9000)), 2,
                                      ["orbspread: s.x: cannot write: File too large"]),
    "disc fills during an orbit file": ("orbmigrate", setup(nsteps=60, dt_int=0.02),
                                        dict(child=limit_file_size(5000)), 2,
                                        ["orbmigrate: s_0.bb: cannot write: File too large"]),
    # what `ulimit -f` does: the limit's signal would kill the run mid-row
    "table past ulimit -f": ("orbmigrate", setup(nstars=300, nsteps=0), dict(child=limit_file_size(4096, False)),
                             2, ["orbmigrate: s.lxy: cannot write: File too large"]),
    "twin table past ulimit -f": ("orbtwin", setup(nstars=300, nsteps=0),
                                  dict(child=limit_file_size(4096, False)), 2,
                                  ["orbtwin: s.rx: cannot write: File too large"]),
    "records past ulimit -f": ("orbspread", setup(nstars=20), dict(child=limit_file_size(9000, False)), 2,
                               ["orbspread: s.x: cannot write: File too large"]),
    # the orbit file is smaller than the stream's buffer: nothing fails before it is closed
    "orbit file fails only as it is closed": ("orbmigrate", setup(nsteps=8), dict(child=limit_file_size(1100)), 2,
                                              ["orbmigrate: s_0.bb: cannot write: File too large"]),
    "temporary name too long": ("orbmigrate", setup(), dict(name=LONG), 2,
                                [f"orbmigrate: {LONG}_0.bb: cannot create: File name too long"]),
    # links planted at a table's name in a shared folder
    "another user's link at the table": ("orbmigrate", setup(), dict(prepare=planted("s.lxy")), 2,
                                         [f"orbmigrate: s.lxy: cannot create: it is a symbolic link of another "
                                          f"user (uid {OTHER_USER}); a table is never written through it: "
                                          f"remove it, or give the setup another name"]),
    "another user's link at the twin table": ("orbtwin", setup(), dict(prepare=planted("s.rx")), 2,
                                              ["orbtwin: s.rx: cannot create: it is a symbolic link of *"]),
    "another user's link at the records": ("orbspread", setup(), dict(prepare=planted("s.x")), 2,
                                           ["orbspread: s.x: cannot create: it is a symbolic link of *"]),
    "another user's link at the spread file": ("orbspread", setup(), dict(prepare=planted("s.l")), 2,
                                               ["orbspread: s.l: cannot create: it is a symbolic link of *"]),
    "second name of a file at the table": ("orbmigrate", setup(), dict(prepare=planted("s.lxy", hard=True)), 2,
                                           ["orbmigrate: s.lxy: cannot create: the file has 2 names (hard "
                                            "links); a table is never written through a second name: remove "
                                            "it, or give the setup another name"]),
    "standard output closed": ("orbmigrate", setup(), dict(child=CLOSED_STDOUT), 1, []),
    "standard input and error closed": ("orbtwin", setup(), dict(child=lambda: (os.close(0), os.close(2))),
                                        1, []),
    # integers and run lengths out of range
    "nsteps 2147483647": ("orbspread", setup(nsteps=2147483647), {}, 2,
                          ["orbspread: s:5: nsteps: the run cannot hold 2147483647 output intervals"]),
    "nsteps 2147483648": ("orbmigrate", setup(nsteps=2147483648), {}, 2,
                          ["orbmigrate: s:5: nsteps: 2147483648 is outside the integers from "
                           "-2147483648 to 2147483647"]),
    "nstars 4294967296": ("orbmigrate", setup(nstars=4294967296), {}, 2,
                          ["orbmigrate: s:6: nstars: 4294967296 is outside the integers from "
                           "-2147483648 to 2147483647"]),
    "lseed 2^63": ("orbtwin", setup(lseed=2**63), {}, 2,
                   ["orbtwin: s:10: lseed: 9223372036854775808 is outside the integers from "
                    "-9223372036854775808 to 9223372036854775807"]),
    "npatterns -1": ("orbmigrate", setup(npatterns=-1), {}, 2,
                     ["orbmigrate: s:14: npatterns: a number of patterns cannot be negative"]),
    "dt_int inf": ("orbmigrate", setup(dt_int="inf"), {}, 2,
                   ["orbmigrate: s:4: warning: dt_int: inf is not a finite number; what depends on it "
                    "prints as nan or inf", "orbmigrate: s:4: dt_int: the run length must be finite"]),
    "dt_int nan in the ensemble": ("orbspread", setup(dt_int="nan"), {}, 2,
                                   ["orbspread: s:4: warning: dt_int: nan is not a finite number; what "
                                    "depends on it prints as nan or inf",
                                    "orbspread: s:4: dt_int: the run length must be finite"]),
    "run length overflows": ("orbmigrate", setup(dt_int=1e306, nsteps=1000), {}, 2,
                                              ["orbmigrate: s:5: nsteps: with this dt_int the run "
                                               "length is not finite"]),
    "negative dt_int in the ensemble": ("orbspread", setup(dt_int=-1), {}, 2,
                                        ["orbspread: s: dt_int must be a positive, finite number of "
                                         "orbits, got -1"]),
    "all stars at the centre": ("orbmigrate", setup(r_min=0, r_max=0), {}, 2,
                                ["orbmigrate: s:9: r_max: every star would start at r = 0, where its "
                                 "direction is undefined"]),
    # runs that would not end
    "pattern speed 1e8": ("orbtwin", setup([dict(SPIRALS[0], Omegas=1e8)]), {}, 1,
                          ["orbtwin: star 0: integration failed at t = *", "*"]),
    "1e6 arms": ("orbmigrate", setup([dict(SPIRALS[0], mm=1e6)]), {}, 1,
                 ["orbmigrate: star 0: integration failed at t = *", "*"]),
    "star at r = 1e-6": ("orbtwin", setup(r_min=1e-6, r_max=1e-6), {}, 1,
                         ["orbtwin: star 0: integration failed at t = *", "*"]),
    "initial radii reach the centre": ("orbmigrate", setup(r_min=0, r_max=1), {}, 1,
                                       ["orbmigrate: s:9: warning: r_max: initial radii between r_min and "
                                        "r_max reach the centre, where the background's force is singular: "
                                        "stars started near it fail", "*"]),
    # values the model cannot define
    "gamma_ -1.5": ("orbmigrate", setup(gamma_=-1.5), {}, 1,
                    ["orbmigrate: s:1: warning: gamma_: at -1 or below the epicycle frequency kappa is not "
                     "real: the columns J, e and theta1 of the record lines print as nan or inf"]),
    "gamma_ -1": ("orbtwin", setup(gamma_=-1), {}, 1,
                  ["orbtwin: s:1: warning: gamma_: at -1 or below the epicycle frequency kappa is not "
                   "real: the columns J, e and theta1 of the record lines print as nan or inf"]),
    "taper widths nan": ("orbmigrate", setup([dict(SPIRALS[0], wmin="nan", wmax="nan")], r_min=1.8, r_max=2.2),
                         {}, 1,
                         ["orbmigrate: s:24: warning: wmin: nan is not a finite number; what depends on it "
                          "prints as nan or inf",
                          "orbmigrate: s:25: warning: wmax: nan is not a finite number; what depends on it "
                          "prints as nan or inf", "*"]),
    "negative dt_int in a survey": ("orbmigrate", setup(dt_int=-0.5), {}, 1,
                                    ["orbmigrate: s:4: warning: dt_int: -0.5 is negative: every star is "
                                     "integrated backwards in time, from 0 to tmax = dt_int x nsteps, and its "
                                     "orbit file runs backwards too"]),
    "fractional arm count": ("orbtwin", setup([dict(SPIRALS[0], mm=2.5)]), {}, 1,
                             ["orbtwin: s:15: warning: mm: 2.5 arms is not a whole number: the pattern's "
                              "potential is cut along the negative x axis (phi = 180 degrees), where it jumps "
                              "by up to 2 |sin(2.5 pi)| epsilon A(r) and its force is not defined"]),
    # text from input reaches a terminal without its control bytes acting
    "escape sequence in a setup line": ("orbmigrate", setup().replace("3   nstars", "\x1b[2J3   nstars"), {}, 1,
                                        ["orbmigrate: s:6: warning: nstars: expected an integer, got "
                                         "'\\x1b[2J3   nstars'; keeping 0; *", "*"]),
    "empty ensemble": ("orbspread", setup(nstars=0), {}, 1,
                       ["orbspread: nstars is 0: the ensemble is empty; every spread line has lsig nan"]),
    "infinite epsilon, no steps": ("orbmigrate", setup([dict(SPIRALS[0], epsilon="inf")], nsteps=0), {}, 1,
                                   ["orbmigrate: s:16: warning: epsilon: inf is not a finite number; what "
                                    "depends on it prints as nan or inf"]),
    "line of 179 characters": ("orbmigrate", setup().replace("0   npatterns", "0".ljust(179, "#")), {}, 1,
                               ["orbmigrate: s:14: warning: line of 179 characters fills the line buffer; its "
                                "newline is read as the next setup line, which is empty"]),
}

NUMBER = r"(-?\d+\.\d+(e[-+]\d+)?|-?inf|nan)"  # "-nan" is a fault as well
ROW = {".lxy": rf"({NUMBER} ){{3}}{NUMBER}\n", ".rx": rf"({NUMBER} ){{3}}\n",
       ".l": rf"({NUMBER} ){{3}}{NUMBER}\n|#time rmax lsig lmax\n"}


def run_case(folder, program, text, options, timeout=300):
    name = options.get("name", "s")
    with open(os.path.join(folder, name), "w") as f:
        f.write(text)
    if "prepare" in options:
        options["prepare"](folder)
    stdout = open("/dev/full", "w") if options.get("stdout") == "full" else subprocess.PIPE
    start = time.monotonic()
    r = subprocess.run([PROGRAMS[program], *options.get("args", []), name], cwd=folder, stdout=stdout, stderr=subprocess.PIPE,
                       preexec_fn=options.get("child"), timeout=timeout)
    seconds = time.monotonic() - start
    if stdout is not subprocess.PIPE:
        stdout.close()
    return r.returncode, (r.stdout or b"").decode(), r.stderr.decode(), seconds


def output_faults(folder, stdout, stderr, nsteps):
    """What is wrong with the files a run left: partial lines, cut orbit files,
    orbit files announced but missing or present but unannounced, stray lines.
    An orbit file whose integration failed ends early, unannounced, and says so.
    `stdout` None: the announcements went elsewhere and are not checked."""
    faults = []
    ended = {line.split(": ")[1] for line in stderr.splitlines() if ": integration failed" in line}
    announced = [line.split(" dl = ")[0] for line in (stdout or "").splitlines() if " dl = " in line]
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        if name in ("s", LONG) or os.path.islink(path) or os.stat(path).st_nlink > 1:
            continue
        with open(path, "rb") as f:
            data = f.read().decode()
        if data and not data.endswith("\n"):
            faults.append(f"{name}: partial last line")
        if "-nan" in data:
            faults.append(f"{name}: -nan")
        lines = data.splitlines(keepends=True)
        if name.endswith(".part"):
            faults.append(f"{name}: left behind")
        elif name.endswith((".bb", ".xb")) and name not in ended:
            if len(lines) != 2 + nsteps + 1:
                faults.append(f"{name}: cut orbit file, {len(lines)} lines")
            if stdout is not None and name not in announced:
                faults.append(f"{name}: not announced")
        else:
            row = ROW.get(os.path.splitext(name)[1])
            for line in lines:
                if row and not re.fullmatch(row, line):
                    faults.append(f"{name}: stray line {line!r}")
                    break
    faults += [f"{name}: announced, missing" for name in announced
               if not os.path.exists(os.path.join(folder, name))]
    return faults


def nsteps_of(text):
    return int(text.splitlines()[4].split()[0])


def matches(expected, lines):
    """Expected lines, in order, each equal to a line of `lines` or, ending in '*',
    its prefix; a final '*' allows more lines."""
    more = expected[-1:] == ["*"]
    expected = expected[:-1] if more else expected
    if len(lines) < len(expected) or (not more and len(lines) != len(expected)):
        return False
    return all(line == want or (want.endswith("*") and line.startswith(want[:-1]))
               for want, line in zip(expected, lines))


class BadSetupsAndBrokenOutputs(unittest.TestCase):
    def test_cases(self):
        for name, (program, text, options, status, messages) in CASES.items():
            with self.subTest(name), tempfile.TemporaryDirectory() as folder:
                code, out, err, seconds = run_case(folder, program, text, options)
                self.assertEqual(code, status, err)
                self.assertTrue(matches(messages, err.splitlines()), err)
                shown = None if options.get("child") is CLOSED_STDOUT else out
                self.assertEqual(output_faults(folder, shown, err, nsteps_of(text)), [])
                if status == 2 and not {"prepare", "child", "name"} & set(options):
                    self.assertEqual(os.listdir(folder), ["s"], "a refused run creates no file")
                self.assertIn(victim_of(folder), (None, "not to be overwritten\n"), "written through a link")

    def test_closed_standard_output_keeps_the_table_clean(self):
        with tempfile.TemporaryDirectory() as folder:
            code, _, _, _ = run_case(folder, "orbmigrate", setup(), dict(child=close_fd(1)))
            self.assertEqual(code, 1)
            rows = pathlib.Path(os.path.join(folder, "s.lxy")).read_text().splitlines()
            self.assertEqual(len(rows), 3)
            self.assertTrue(all(len(row.split()) == 4 for row in rows), rows)

    def test_full_disc_keeps_every_whole_row(self):
        text = setup(nstars=300, nsteps=0)
        with tempfile.TemporaryDirectory() as folder:
            run_case(folder, "orbmigrate", text, {})
            whole = pathlib.Path(os.path.join(folder, "s.lxy")).read_text()
        with tempfile.TemporaryDirectory() as folder:
            run_case(folder, "orbmigrate", text, dict(child=limit_file_size(4096)))
            kept = pathlib.Path(os.path.join(folder, "s.lxy")).read_text()
        longest = max(len(row) for row in whole.splitlines(keepends=True))
        self.assertTrue(whole.startswith(kept) and kept.endswith("\n"), kept)
        self.assertGreater(len(kept), 4096 - longest)  # every row that fitted is kept

    def test_nan_prints_without_sign(self):
        with tempfile.TemporaryDirectory() as folder:
            run_case(folder, "orbspread", setup(nstars=0), {})
            for line in pathlib.Path(os.path.join(folder, "s.l")).read_text().splitlines()[1:]:
                self.assertEqual(line.split()[2], "nan")
        with tempfile.TemporaryDirectory() as folder:
            run_case(folder, "orbmigrate", setup(gamma_=-1.5), {})
            first = pathlib.Path(os.path.join(folder, "s_0.bb")).read_text().splitlines()[2].split()
            self.assertEqual(first[10:13], ["nan", "nan", "nan"])  # J, e, theta1

    def test_spread_of_two_billion_output_times_streams_at_once(self):
        # the output times are a running sum taken one at a time; a list of all
        # of them first would take 16 GB before the first block is written. Counted
        # in rows: once 100 output times are written, the peak memory is that of a
        # program that holds no list (the wait only guards against a hang).
        with tempfile.TemporaryDirectory() as folder:
            with open(os.path.join(folder, "s"), "w") as f:
                f.write(setup(nstars=2, nsteps=2000000000, dt_int=1e-12))
            proc = subprocess.Popen([PROGRAMS["orbspread"], "s"], cwd=folder, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
            path, rows, rss_kib = os.path.join(folder, "s.l"), 0, None
            try:
                deadline = time.monotonic() + 300
                while rows <= 100 and proc.poll() is None and time.monotonic() < deadline:
                    time.sleep(0.05)
                    if os.path.exists(path):
                        with open(path) as spread:
                            rows = spread.read().count("\n")
                if proc.poll() is None:
                    with open(f"/proc/{proc.pid}/status") as status:
                        rss_kib = int(re.search(r"VmHWM:\s+(\d+)", status.read()).group(1))
            finally:
                proc.kill()
                proc.wait()
            self.assertGreater(rows, 100, "the run ended or hung before writing 100 output times")
            self.assertIsNotNone(rss_kib)
            self.assertLess(rss_kib, 200 * 1024, f"peak memory {rss_kib} KiB after {rows} rows")

    def test_killed_run_leaves_no_cut_orbit_file(self):
        with tempfile.TemporaryDirectory() as folder:
            caught, faults = killed_run(folder)
            self.assertTrue(caught, "killed while writing an orbit file")
            self.assertEqual(faults, [])


class TemporaryOrbitFiles(unittest.TestCase):
    """An orbit file is written under a temporary name that no file had, created
    anew: links and files planted in a shared folder are never opened or renamed."""

    TEXT = setup(nstars=4, nsteps=3, l_min=-10, l_max=10)  # every star is saved

    def run_in(self, folder, program):
        with open(os.path.join(folder, "s"), "w") as f:
            f.write(self.TEXT)
        r = subprocess.run([PROGRAMS[program], "s"], cwd=folder, capture_output=True, timeout=300,
                           preexec_fn=lambda: os.umask(0o027))
        return r.returncode, r.stdout, r.stderr

    def contents(self, folder):
        out = {}
        for name in os.listdir(folder):
            path = os.path.join(folder, name)
            if not os.path.islink(path):
                with open(path, "rb") as f:
                    out[name] = f.read()
        return out

    def test_planted_links_and_leftovers_are_never_opened(self):
        for program, suffix, files in (("orbmigrate", ".bb", 4), ("orbtwin", ".xb", 8)):
            with self.subTest(program), tempfile.TemporaryDirectory() as top:
                clean, shared = os.path.join(top, "clean"), os.path.join(top, "shared")
                os.mkdir(clean)
                os.mkdir(shared)
                expected = self.run_in(clean, program)
                expected_files = self.contents(clean)
                self.assertEqual(expected[0], 1, expected[2])
                # outside the shared folder: what a planted link points to
                victim = os.path.join(top, "victim")
                with open(victim, "w") as f:
                    f.write("not to be overwritten\n")
                planted = {}
                for n in range(files):
                    name = f"s_{n}{suffix}"
                    # the old fixed name, and names of the form the program draws from
                    for k, fake in enumerate([name + ".part", name + ".AAAAAA.part", name + ".zzzzzz.part",
                                              name + ".000000.part", name + ".part.tmp"]):
                        path = os.path.join(shared, fake)
                        if k % 2 == 0:
                            os.symlink(victim, path)
                        else:
                            with open(path, "w") as f:
                                f.write("an interrupted run's leftover\n")
                        planted[fake] = k % 2 == 0
                # a dangling link at the final name's old temporary name of a star beyond the run
                os.symlink(os.path.join(top, "absent"), os.path.join(shared, f"s_{files}{suffix}.part"))
                got = self.run_in(shared, program)
                self.assertEqual(got, expected)
                with open(victim) as f:
                    self.assertEqual(f.read(), "not to be overwritten\n")
                self.assertFalse(os.path.exists(os.path.join(top, "absent")))
                for fake, is_link in planted.items():
                    path = os.path.join(shared, fake)
                    self.assertEqual(os.path.islink(path), is_link, fake)
                    if not is_link:
                        with open(path) as f:
                            self.assertEqual(f.read(), "an interrupted run's leftover\n", fake)
                made = {name: data for name, data in self.contents(shared).items() if name not in planted}
                self.assertEqual(made, expected_files, "the same files and bytes as a clean run, no other")
                for n in range(files):
                    path = os.path.join(shared, f"s_{n}{suffix}")
                    self.assertFalse(os.path.islink(path))
                    self.assertEqual(len(made[f"s_{n}{suffix}"].splitlines()), 2 + 3 + 1)
                    # created as the tables are (0666 less the umask 027), not private to the user
                    self.assertEqual(os.stat(path).st_mode & 0o777, 0o640, path)
                table = "s.lxy" if program == "orbmigrate" else "s.rx"
                self.assertEqual(os.stat(os.path.join(shared, table)).st_mode & 0o777, 0o640)


# --check reports what a run would refuse or warn about: (program, setup text,
# status, lines that must be in its standard output)
CHECKS = {
    "more members than an ensemble holds": ("orbspread", setup(nstars=211), 2,
                                            ["refused:", "orbspread: s:6: nstars: 211 is more than the 210 "
                                             "members an ensemble holds: a run prints \"make state larger\" "
                                             "and ends with status 0"]),
    "negative dt_int in the ensemble": ("orbspread", setup(dt_int=-1), 2,
                                        ["orbspread: s:4: dt_int must be a positive, finite number of orbits, "
                                         "got -1"]),
    "negative dt_int in a survey": ("orbtwin", setup(dt_int=-1), 0,
                                    ["warnings:", "orbtwin: s:4: warning: dt_int: -1 is negative: every star is "
                                     "integrated backwards in time, from 0 to tmax = dt_int x nsteps, and its "
                                     "orbit file runs backwards too"]),
    "empty survey": ("orbmigrate", setup(nstars=0), 0,
                     ["orbmigrate: s:6: warning: nstars: 0: no star drawn, the table is empty and no orbit "
                      "file is written"]),
    "fractional arm count": ("orbmigrate", setup([dict(SPIRALS[0], mm=1.5)]), 0,
                             ["orbmigrate: s:15: warning: mm: 1.5 arms is not a whole number: *"]),
    "every pattern's heading": ("orbmigrate", setup(SPIRALS), 0, ["pattern 1 of 2", "pattern 2 of 2"]),
    "clock seed": ("orbtwin", setup(lseed=-5), 0,
                   ["seed: lseed -5 is negative: a run takes a seed from the system's random source and says "
                    "it on standard error (as lseed, it repeats that run)", "no warnings"]),
    "escape sequence in the setup's name": ("orbmigrate", setup(), 0,
                                            ["orbmigrate --check s\\x1b]0;x\\x07: every value as a run reads "
                                             "it; nothing is run or written"]),
}

KILLED = setup(nstars=200, nsteps=400, dt_int=0.05, l_min=-10, l_max=10)


def killed_run(folder):
    """Kills orbmigrate while it writes orbit files. Returns whether it was caught at
    that (an orbit file in the making, under either name) and the cut orbit files."""
    with open(os.path.join(folder, "s"), "w") as f:
        f.write(KILLED)
    proc = subprocess.Popen([PROGRAMS["orbmigrate"], "s"], cwd=folder, stdout=subprocess.DEVNULL)
    deadline = time.monotonic() + 60
    caught = False
    while time.monotonic() < deadline and not caught:
        for name in os.listdir(folder):
            path = os.path.join(folder, name)
            if name.endswith(".part") or (name.endswith(".bb") and os.path.getsize(path) < 1000):
                caught = True
        time.sleep(0.005)
    proc.kill()
    proc.wait()
    faults = []
    for name in sorted(os.listdir(folder)):
        if name.endswith(".bb"):
            lines = pathlib.Path(os.path.join(folder, name)).read_text().splitlines()
            if len(lines) != 2 + nsteps_of(KILLED) + 1:
                faults.append(f"{name}: cut orbit file, {len(lines)} lines")
    return caught, faults


class ChecksAndOwnedTables(unittest.TestCase):
    def test_check_says_what_the_run_says(self):
        for name, (program, text, status, lines) in CHECKS.items():
            with self.subTest(name), tempfile.TemporaryDirectory() as folder:
                setup_name = "s\x1b]0;x\x07" if "name" in name else "s"
                with open(os.path.join(folder, setup_name), "w") as f:
                    f.write(text)
                r = subprocess.run([PROGRAMS[program], "--check", setup_name], cwd=folder, capture_output=True,
                                   timeout=60)
                out = r.stdout.decode().splitlines()
                self.assertEqual(r.returncode, status, out)
                self.assertNotIn(b"\x1b", r.stdout)
                for want in lines:
                    self.assertTrue(any(line == want or (want.endswith("*") and line.startswith(want[:-1]))
                                        for line in out), f"{want!r} not in {out}")
                self.assertEqual(sorted(os.listdir(folder)), [setup_name])

    def start(self, folder, program, name="s"):
        return subprocess.Popen([PROGRAMS[program], name], cwd=folder, stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE)

    def wait_for_rows(self, path, rows, proc):
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline and proc.poll() is None:
            if os.path.exists(path):
                with open(path, "rb") as f:
                    if f.read().count(b"\n") >= rows:
                        return
            time.sleep(0.02)
        self.fail(f"{path}: fewer than {rows} rows before the run ended")

    def test_a_stop_signal_leaves_whole_rows_and_says_how_many(self):
        long_run = setup(nstars=2000, nsteps=200, dt_int=0.5)
        for program, table, sig in (("orbmigrate", "s.lxy", signal.SIGTERM), ("orbtwin", "s.rx", signal.SIGHUP),
                                    ("orbspread", "s.l", signal.SIGINT)):
            with self.subTest(program), tempfile.TemporaryDirectory() as folder:
                with open(os.path.join(folder, "s"), "w") as f:
                    f.write(long_run if program != "orbspread" else setup(nstars=200, nsteps=100000))
                proc = self.start(folder, program)
                self.wait_for_rows(os.path.join(folder, table), 3, proc)
                proc.send_signal(sig)
                err = proc.communicate(timeout=60)[1].decode().splitlines()
                self.assertEqual(proc.returncode, 128 + sig, err)
                self.assertEqual(len(err), 1, err)
                with open(os.path.join(folder, table)) as f:
                    data = f.read()
                self.assertTrue(data.endswith("\n"), "a cut last row")
                rows = data.count("\n") - (1 if program == "orbspread" else 0)  # the spread file's header
                if program == "orbspread":
                    with open(os.path.join(folder, "s.x")) as f:
                        blocks = f.read().count("\n\n") + 1
                    self.assertIn(blocks, (rows + 1, rows + 2))  # its block comes before its spread line
                    want = f"orbspread: stopped by SIGINT: s.x holds {blocks} whole blocks, s.l holds {rows} whole rows"
                else:
                    want = f"{program}: stopped by {signal.Signals(sig).name}: {table} holds {rows} whole rows"
                self.assertEqual(err[0], want)
                self.assertEqual(output_faults(folder, None, "", nsteps_of(long_run)), [])

    def test_a_second_run_in_the_same_folder_is_refused(self):
        # rows come in batches of 256 stars: the first run is still writing after its first
        text = setup(nstars=1000, nsteps=200, dt_int=0.5, l_min=0.05, l_max=10)
        with tempfile.TemporaryDirectory() as clean:
            with open(os.path.join(clean, "s"), "w") as f:
                f.write(text)
            subprocess.run([PROGRAMS["orbmigrate"], "s"], cwd=clean, capture_output=True, timeout=300)
            expected = {name: pathlib.Path(clean, name).read_bytes() for name in os.listdir(clean)}
        with tempfile.TemporaryDirectory() as folder:
            with open(os.path.join(folder, "s"), "w") as f:
                f.write(text)
            first = self.start(folder, "orbmigrate")
            self.wait_for_rows(os.path.join(folder, "s.lxy"), 1, first)
            second = subprocess.run([PROGRAMS["orbmigrate"], "s"], cwd=folder, capture_output=True, timeout=60)
            self.assertEqual(second.returncode, 2)
            self.assertEqual(second.stderr.decode(),
                             f"orbmigrate: s.lxy: another run (process {first.pid}) is writing this table; wait "
                             f"for it to end, or give this run a setup of another name\n")
            self.assertEqual(first.communicate(timeout=300)[1], b"")
            self.assertEqual(first.returncode, 1)
            got = {name: pathlib.Path(folder, name).read_bytes() for name in os.listdir(folder)}
            self.assertEqual(sorted(got), sorted(expected))
            for name in expected:
                self.assertEqual(got[name], expected[name], name)

    def test_a_clock_seed_is_said_and_repeats_the_run(self):
        with tempfile.TemporaryDirectory() as folder:
            with open(os.path.join(folder, "s"), "w") as f:
                f.write(setup(nstars=20, nsteps=1, lseed=-1))
            err = self.start(folder, "orbmigrate").communicate(timeout=120)[1].decode()
            table = pathlib.Path(folder, "s.lxy").read_bytes()
            seeds = [int(re.fullmatch(r"orbmigrate: s:10: lseed: -1 is negative: this run is seeded with "
                                      r"(\d+); lseed \1 repeats it\n", err).group(1))]
            # started together, in the same second: two runs take two seeds
            for k in range(2):
                shutil.copy(os.path.join(folder, "s"), os.path.join(folder, f"t{k}"))
            for proc in [self.start(folder, "orbmigrate", f"t{k}") for k in range(2)]:
                line = proc.communicate(timeout=120)[1].decode()
                seeds.append(int(re.search(r"seeded with (\d+);", line).group(1)))
            self.assertEqual(len(set(seeds)), 3, seeds)
            with open(os.path.join(folder, "r"), "w") as f:
                f.write(setup(nstars=20, nsteps=1, lseed=seeds[0]))
            again = subprocess.run([PROGRAMS["orbmigrate"], "r"], cwd=folder, capture_output=True, timeout=120)
            self.assertEqual(again.stderr, b"")
            self.assertEqual(pathlib.Path(folder, "r.lxy").read_bytes(), table)


def table():
    for name, (program, text, options, _, _) in CASES.items():
        with tempfile.TemporaryDirectory() as folder:
            try:
                code, out, err, seconds = run_case(folder, program, text, options, timeout=60)
            except subprocess.TimeoutExpired:
                print(f"{name} | {program} | still running after 60 s, killed")
                continue
            first = err.splitlines()[0] if err else "(nothing)"
            shown = None if options.get("child") is CLOSED_STDOUT else out
            faults = output_faults(folder, shown, err, nsteps_of(text))
            print(f"{name} | {program} | status {code}, {seconds:.1f} s | {first} | "
                  f"{'; '.join(faults[:3]) or 'files whole'}")
    with tempfile.TemporaryDirectory() as folder:
        caught, faults = killed_run(folder)
        print(f"killed while writing orbit files | orbmigrate | caught: {caught} | "
              f"{'; '.join(faults[:3]) or 'files whole'}")


if __name__ == "__main__":
    if sys.argv[1:] == ["--table"]:
        table()
    else:
        unittest.main(verbosity=2)
