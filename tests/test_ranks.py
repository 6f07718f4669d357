#!/usr/bin/python3
"""The surveys under mpirun: every file, standard output, the program's own lines
on standard error and the exit status are those of the same program started
without mpirun, for several rank and thread counts (but for a complete run, which
ends with 0 instead of 1 under a launcher of several ranks, without a note from
it); a failure on any rank ends the job; orbspread runs on rank 0 alone.

mpirun comes from ORBKIT_MPIRUN (set by CTest), the programs as in
test_programs.py."""

import os
import re
import shutil
import signal
import subprocess
import sys
import time
import unittest

from test_programs import PROGRAMS, SPIRALS, ProgramCase, setup_text

MPIRUN = os.environ.get("ORBKIT_MPIRUN", "mpirun")
# Two spirals that grow during the run. The first, weak, has a taper width of nan:
# stars that start inside r = 1.6 fail at once and print as nan. Stars start on
# circles (disp_u0 0) and the second spiral acts only beyond r = 2, so no other
# star wanders across r = 1.6 (one that did would take minutes to fail).
GROWING = [dict(SPIRALS[0], epsilon=1e-4, smin=1.6, wmin="nan"), dict(SPIRALS[1], smin=2.0, wmin=0.05)]
STARS = 300  # more than one batch of 256


def program_lines(stderr):
    """Standard error without the notes mpirun frames in dashed lines (it adds one
    whenever a rank ends with a status other than 0, as a refused run does)."""
    kept, inside = [], False
    for line in stderr.splitlines(keepends=True):
        if re.fullmatch(r"-{20,}\n", line):
            inside = not inside
        elif not inside:
            kept.append(line)
    return "".join(kept)


class RankCase(ProgramCase):
    def run_ranks(self, ranks, program, *args, threads=1, env=None, timeout=300):
        env = dict(os.environ, OMPI_ALLOW_RUN_AS_ROOT="1", OMPI_ALLOW_RUN_AS_ROOT_CONFIRM="1",
                   OMP_NUM_THREADS=str(threads),
                   # the ranks have ended when mpirun sees a failure (status 2): no need to
                   # wait before killing them
                   OMPI_MCA_odls_base_sigkill_timeout="0", **(env or {}))
        return subprocess.run([MPIRUN, "--oversubscribe", "-np", str(ranks), PROGRAMS[program], *args],
                              cwd=self.dir, capture_output=True, text=True, env=env, timeout=timeout)

    def clear(self):
        for f in self.outputs():
            os.remove(os.path.join(self.dir, f))

    def outcome(self, r):
        return r.returncode, r.stdout, program_lines(r.stderr), self.outputs()

    def assert_ranks_match(self, program, setup, runs, env=None, timeout=300):
        """Runs `program` alone, then once per (ranks, threads) under mpirun, and
        compares everything; returns the single-process outcome. A complete run
        (status 1 alone) must end with 0 on several ranks, and mpirun add no note."""
        alone = self.run_prog(program, setup)
        expected = self.outcome(alone)
        self.clear()
        for ranks, threads in runs:
            with self.subTest(program=program, setup=setup, ranks=ranks, threads=threads):
                r = self.run_ranks(ranks, program, setup, threads=threads, env=env, timeout=timeout)
                got = self.outcome(r)
                self.clear()
                if expected[0] == 1:
                    self.assertEqual(got[0], 0, "a complete run of several ranks")
                    self.assertEqual(r.stderr, got[2], "mpirun added a note")
                    got = (1,) + got[1:]
                self.assertEqual(got[:3], expected[:3])
                self.assertEqual(sorted(got[3]), sorted(expected[3]))
                for name in expected[3]:
                    self.assertEqual(got[3][name], expected[3][name], name)
        return expected


class SameBytes(RankCase):
    def test_surveys_with_saves_failures_and_phases_per_star(self):
        # randp0 1: every star draws its own phases, which its orbit files must use too
        self.write("r.setup", setup_text(GROWING, nstars=STARS, randp0=1, disp_u0=0.0, l_min=0.0,
                                             l_max=10.0))
        for program, suffix in (("orbmigrate", ".bb"), ("orbtwin", ".xb")):
            status, stdout, stderr, files = self.assert_ranks_match(program, "r.setup", [(2, 2), (3, 1)])
            # what the comparison covered: a complete run, saves in both batches, failed stars
            self.assertEqual(status, 1)
            saved = len([f for f in files if f.endswith(suffix)])
            self.assertGreater(saved, 4, program)
            self.assertEqual(len(stdout.splitlines()), 2 + saved)
            rows = files["r.setup" + (".lxy" if program == "orbmigrate" else ".rx")].decode().splitlines()
            self.assertEqual(len(rows), STARS)
            failed = [i for i, row in enumerate(rows) if "nan" in row]
            self.assertTrue(0 < len(failed) < STARS // 2, f"{len(failed)} failed stars")
            self.assertTrue(any(i >= 256 for i in failed))
            reported = {int(m) for m in re.findall(rf"^{program}: star (\d+)(?: \(twin\))?: integration failed",
                                                   stderr, re.M)}
            self.assertEqual(reported, set(failed))

    def test_fast_mode_under_ranks(self):
        # the eighth-order method's stars in lanes: 1, 2 and 3 ranks, the bytes of one process
        self.write("r.setup", setup_text(GROWING, nstars=STARS, randp0=1, disp_u0=0.0, l_min=0.0,
                                             l_max=10.0))
        for program in ("orbmigrate", "orbtwin"):
            alone = self.run_prog(program, "--integrator", "dop853", "r.setup")
            expected = self.outcome(alone)
            self.clear()
            # and on other vector paths than the widest the single process took
            for ranks, threads, path in ((1, 2, None), (2, 2, "avx2"), (3, 1, "scalar")):
                with self.subTest(program=program, ranks=ranks, threads=threads, path=path):
                    r = self.run_ranks(ranks, program, "--integrator", "dop853", "r.setup", threads=threads,
                                       env={"ORBKIT_SIMD": path} if path else None)
                    got = self.outcome(r)
                    self.clear()
                    # a complete run of several ranks ends with 0, and mpirun adds no note;
                    # a job of one rank keeps the 1 of a single process
                    self.assertEqual(got, (0 if ranks > 1 else 1,) + expected[1:])
                    if ranks > 1:
                        self.assertEqual(r.stderr, got[2])
            self.assertEqual(expected[0], 1)

    def test_fallback_file_of_the_last_star(self):
        # no star inside the window: the last star, in the second batch, is saved as number 0
        self.write("f.setup", setup_text(SPIRALS, nstars=257, nsteps=2, l_min=5.0, l_max=6.0))
        for program in ("orbmigrate", "orbtwin"):
            _, stdout, _, files = self.assert_ranks_match(program, "f.setup", [(3, 1)])
            self.assertEqual(len(stdout.splitlines()), 3)
            self.assertEqual(len([f for f in files if f.startswith("f.setup_")]), 1)

    def test_spread_runs_on_rank_0_alone(self):
        self.write("e.setup", setup_text(SPIRALS, nstars=12, nsteps=3))
        alone = self.run_prog("orbspread", "e.setup")
        expected = (alone.returncode, alone.stdout, self.outputs())
        self.clear()
        r = self.run_ranks(2, "orbspread", "e.setup")
        self.assertEqual(expected[0], 1)
        self.assertEqual((r.returncode, r.stdout, self.outputs()), (0,) + expected[1:])
        self.assertEqual(r.stderr,
                         "orbspread: started as 2 ranks: the ensemble is not distributed; "
                         "rank 0 runs alone, the others stop\n")


class ExitStatus(RankCase):
    def test_complete_survey_ends_with_0_and_no_note_from_mpirun(self):
        # without the shortened kill timeout: a status of 0 is what mpirun expects of
        # a job that went well, so it neither waits nor frames a note of failure
        self.write("c.setup", setup_text(SPIRALS, nstars=20, nsteps=2))
        env = dict(os.environ, OMPI_ALLOW_RUN_AS_ROOT="1", OMPI_ALLOW_RUN_AS_ROOT_CONFIRM="1",
                   OMP_NUM_THREADS="1")
        env.pop("OMPI_MCA_odls_base_sigkill_timeout", None)
        for program in ("orbmigrate", "orbtwin"):
            with self.subTest(program):
                r = subprocess.run([MPIRUN, "--oversubscribe", "-np", "2", PROGRAMS[program], "c.setup"],
                                   cwd=self.dir, capture_output=True, text=True, env=env, timeout=300)
                self.assertEqual((r.returncode, r.stderr), (0, ""))
                self.assertTrue(r.stdout.startswith("file read in, npatterns=2 \n"), r.stdout)
                # the same program alone keeps status 1, and so does a job of one rank
                self.assertEqual(self.run_prog(program, "c.setup").returncode, 1)
                one = subprocess.run([MPIRUN, "-np", "1", PROGRAMS[program], "c.setup"], cwd=self.dir,
                                     capture_output=True, text=True, env=env, timeout=300)
                self.assertEqual(one.returncode, 1)


class TaskCounter(RankCase):
    def test_every_task_is_taken_once_where_fetch_and_op_completes_at_the_flush(self):
        # Open MPI's point-to-point window (osc pt2pt) completes an atomic fetch only at
        # the flush that follows it: a rank that read its task number before then would
        # take a stale one, run tasks twice, leave others out, or never see the round end.
        # 300 stars (two batches) and their orbit files: the single process's bytes.
        self.write("t.setup", setup_text(GROWING, nstars=STARS, disp_u0=0.0, l_min=0.0, l_max=10.0))
        status, stdout, _, files = self.assert_ranks_match(
            "orbmigrate", "t.setup", [(3, 1), (2, 2)], env={"OMPI_MCA_osc": "pt2pt"}, timeout=120)
        self.assertEqual(status, 1)
        self.assertEqual(len(files["t.setup.lxy"].splitlines()), STARS)
        self.assertGreater(len([f for f in files if f.endswith(".bb")]), 4)


class Memory(RankCase):
    def test_memory_per_rank_does_not_grow_with_stars(self):
        # each rank runs the program under a probe that reports the child's peak RSS
        probe = ("import os, resource, subprocess, sys; subprocess.run(sys.argv[1:]);"
                 "open('rss.' + os.environ['OMPI_COMM_WORLD_RANK'], 'w')"
                 ".write(str(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss))")

        def peak_kib(nstars):
            self.write("m.setup", setup_text(nstars=nstars, nsteps=1, dt_int=0.001))
            env = dict(os.environ, OMPI_ALLOW_RUN_AS_ROOT="1", OMPI_ALLOW_RUN_AS_ROOT_CONFIRM="1",
                       OMP_NUM_THREADS="1", OMPI_MCA_odls_base_sigkill_timeout="0")
            subprocess.run([MPIRUN, "--oversubscribe", "-np", "2", sys.executable, "-c", probe,
                            PROGRAMS["orbmigrate"], "m.setup"], cwd=self.dir, capture_output=True,
                           env=env, timeout=300)
            return [int(self.read(f"rss.{rank}")) for rank in (0, 1)]

        small, large = peak_kib(10), peak_kib(10000)
        self.assertEqual(len(self.lines("m.setup.lxy")), 10000)
        for rank in (0, 1):
            self.assertLess(abs(large[rank] - small[rank]), 1024,
                            f"rank {rank}: peak RSS {small[rank]} KiB vs {large[rank]} KiB")


class Failures(RankCase):
    """A failure on any rank ends every rank with the single process's message and status."""

    def test_refused_setup_and_uncreatable_files(self):
        full = setup_text(SPIRALS, nstars=STARS, nsteps=1, l_min=-10, l_max=10)
        self.write("short.setup", "".join(full.splitlines(True)[:5]))
        self.write("u.setup", full)
        cases = [("short.setup", None), ("u.setup", "u.setup.lxy"), ("u.setup", "u.setup_270.bb"),
                 ("missing.setup", None)]
        for setup, blocked in cases:
            with self.subTest(setup=setup, blocked=blocked):
                if blocked:
                    os.mkdir(os.path.join(self.dir, blocked))
                status, _, stderr, files = self.assert_ranks_match("orbmigrate", setup, [(3, 1)])
                self.assertEqual(status, 2)
                self.assertEqual(len(stderr.splitlines()), 1, stderr)
                if blocked == "u.setup_270.bb":  # the rows before the failure stay
                    self.assertEqual(len(files["u.setup.lxy"].splitlines()), STARS)
                    self.assertIn("u.setup_270.bb: cannot create: Is a directory", stderr)
                if blocked:
                    os.rmdir(os.path.join(self.dir, blocked))


# Preloaded into the ranks: rank 1's clock runs 1 s ahead of rank 0's, and its random
# source gives other bytes. A rank that took its own seed would draw other stars.
SKEW = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <sys/types.h>
#include <time.h>
static int rank1(void) {
    const char* r = getenv("OMPI_COMM_WORLD_RANK");
    return r && atoi(r) == 1;
}
time_t time(time_t* t) {
    time_t (*real)(time_t*) = (time_t (*)(time_t*))dlsym(RTLD_NEXT, "time");
    time_t v = real(NULL) + rank1();
    if (t) *t = v;
    return v;
}
ssize_t getrandom(void* buf, size_t n, unsigned flags) {
    ssize_t (*real)(void*, size_t, unsigned) = (ssize_t (*)(void*, size_t, unsigned))dlsym(RTLD_NEXT, "getrandom");
    ssize_t got = real(buf, n, flags);
    for (ssize_t i = 0; rank1() && i < got; ++i) ((unsigned char*)buf)[i] ^= 0x5a;
    return got;
}
"""


class Faults(RankCase):
    """Faults of a cluster: clocks that differ between nodes, a job stopped by a signal."""

    @unittest.skipUnless(shutil.which("cc"), "no C compiler for the preloaded clock")
    def test_ranks_with_other_clocks_take_the_writers_seed(self):
        self.write("skew.c", SKEW)
        subprocess.run(["cc", "-shared", "-fPIC", "-o", "skew.so", "skew.c", "-ldl"], cwd=self.dir, check=True)
        text = dict(nstars=STARS, nsteps=2, l_min=0.0, l_max=10.0)
        self.write("k.setup", setup_text(SPIRALS, lseed=-1, **text))
        r = self.run_ranks(2, "orbmigrate", "k.setup", env={"LD_PRELOAD": os.path.join(self.dir, "skew.so")})
        seed = re.fullmatch(r"orbmigrate: k.setup:10: lseed: -1 is negative: this run is seeded with (\d+); "
                            r"lseed \1 repeats it\n", r.stderr)
        self.assertIsNotNone(seed, r.stderr)
        self.assertEqual(r.returncode, 0)
        got = (r.stdout, {name: data for name, data in self.outputs().items() if not name.startswith("skew.")})
        self.clear()
        self.write("k.setup", setup_text(SPIRALS, lseed=int(seed.group(1)), **text))
        alone = self.run_prog("orbmigrate", "k.setup")
        self.assertEqual((alone.returncode, alone.stderr), (1, ""))
        self.assertGreater(len([f for f in got[1] if f.endswith(".bb")]), 2)  # orbit files in the window
        self.assertEqual(got, (alone.stdout, self.outputs()))

    def test_a_job_stopped_by_sigterm_says_so_once(self):
        # rows come in batches of 256 stars; the stop comes while later batches run
        self.write("s.setup", setup_text(nstars=4000, nsteps=200, dt_int=0.5, l_min=5, l_max=6))
        env = dict(os.environ, OMPI_ALLOW_RUN_AS_ROOT="1", OMPI_ALLOW_RUN_AS_ROOT_CONFIRM="1",
                   OMP_NUM_THREADS="1")
        env.pop("OMPI_MCA_odls_base_sigkill_timeout", None)  # mpirun's own kill timeout
        proc = subprocess.Popen([MPIRUN, "--oversubscribe", "-np", "2", PROGRAMS["orbmigrate"], "s.setup"],
                                cwd=self.dir, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                                env=env)
        table = os.path.join(self.dir, "s.setup.lxy")
        deadline = time.monotonic() + 240
        while proc.poll() is None and time.monotonic() < deadline and (
                not os.path.exists(table) or len(self.lines("s.setup.lxy")) < 256):
            time.sleep(0.05)
        proc.send_signal(signal.SIGTERM)
        err = program_lines(proc.communicate(timeout=120)[1])
        self.assertNotEqual(proc.returncode, 0)
        rows = self.read("s.setup.lxy").decode()
        self.assertTrue(rows.endswith("\n"))
        n = rows.count("\n")
        self.assertTrue(256 <= n < 4000 and n % 256 == 0, n)
        self.assertEqual([line for line in err.splitlines() if "orbmigrate" in line],
                         [f"orbmigrate: stopped by SIGTERM: s.setup.lxy holds {n} whole rows"], err)


if __name__ == "__main__":
    unittest.main(verbosity=2)
