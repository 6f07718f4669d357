#!/usr/bin/python3
"""Regression suite: runs a program on a stored setup in a temporary folder and
compares every file it writes, its standard output, standard error and exit
status byte for byte with the expected files stored beside the setup.

Each case is a folder tests/regress/CASE holding
  case       one line: PROGRAM [OPTION...] SETUP (SETUP relative to the repository root;
             options such as --integrator dop853 go before it, as on the command line)
  expected/  stdout, stderr, status and every file the run writes

  regress.py check CASE --build DIR             run one case against the programs in DIR
  regress.py make --build DIR CASE...           write the expected files of new cases
  regress.py make --build DIR --overwrite CASE  write them again (only on purpose: the
                                                commit that does it says why)
  regress.py examples                           fail if an example in examples/ has no case
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CASES = os.path.join(ROOT, "tests", "regress")
FOLDERS = {"orbspread": "spread", "orbmigrate": "migrate", "orbtwin": "twin"}
STREAMS = ("stdout", "stderr", "status")


def read_case(name):
    """(program, setup path, options)"""
    with open(os.path.join(CASES, name, "case")) as f:
        words = f.read().split()
    if len(words) < 2 or words[0] not in FOLDERS:
        sys.exit(f"{name}: expected 'PROGRAM [OPTION...] SETUP', got {' '.join(words)!r}")
    return words[0], os.path.join(ROOT, words[-1]), words[1:-1]


def run_case(name, build):
    """The bytes of everything one run of the case leaves: {file name: bytes}."""
    program, setup, options = read_case(name)
    binary = os.path.join(os.path.abspath(build), FOLDERS[program], program)
    with tempfile.TemporaryDirectory() as work:
        base = os.path.basename(setup)
        shutil.copyfile(setup, os.path.join(work, base))
        r = subprocess.run([binary, *options, base], cwd=work, capture_output=True, timeout=600)
        out = {"stdout": r.stdout, "stderr": r.stderr, "status": b"%d\n" % r.returncode}
        for f in sorted(os.listdir(work)):
            if f == base:
                continue
            if f in STREAMS or not os.path.isfile(os.path.join(work, f)):
                sys.exit(f"{name}: the run wrote '{f}', which the suite cannot store")
            with open(os.path.join(work, f), "rb") as fh:
                out[f] = fh.read()
    return out


def first_difference(want, got):
    a, b = want.splitlines(keepends=True), got.splitlines(keepends=True)
    for i in range(max(len(a), len(b))):
        x = a[i] if i < len(a) else b"(end of file)"
        y = b[i] if i < len(b) else b"(end of file)"
        if x != y:
            return f"line {i + 1}:\n  expected {x!r}\n  got      {y!r}"
    return "same lines, different bytes"


def check(name, build):
    expected_dir = os.path.join(CASES, name, "expected")
    expected = {}
    for f in sorted(os.listdir(expected_dir)):
        with open(os.path.join(expected_dir, f), "rb") as fh:
            expected[f] = fh.read()
    got = run_case(name, build)
    faults = []
    for f in sorted(set(expected) | set(got)):
        if f not in got:
            faults.append(f"{f}: expected, not written")
        elif f not in expected:
            faults.append(f"{f}: written, not expected")
        elif got[f] != expected[f]:
            faults.append(f"{f}: differs at {first_difference(expected[f], got[f])}")
    for fault in faults[:8]:
        print(f"{name}: {fault}")
    if len(faults) > 8:
        print(f"{name}: ... and {len(faults) - 8} more outputs differ")
    if not faults:
        print(f"{name}: {len(got)} outputs identical")
    return 1 if faults else 0


def make(names, build, overwrite):
    for name in names:
        expected_dir = os.path.join(CASES, name, "expected")
        if os.path.exists(expected_dir):
            if not overwrite:
                sys.exit(f"{name}: expected files exist; give --overwrite to write them again")
            shutil.rmtree(expected_dir)
        got = run_case(name, build)
        os.makedirs(expected_dir)
        for f, data in got.items():
            with open(os.path.join(expected_dir, f), "wb") as fh:
                fh.write(data)
        print(f"{name}: {len(got)} expected files written from {build}")
    return 0


def examples_covered():
    used = {read_case(n)[1] for n in os.listdir(CASES) if os.path.isfile(os.path.join(CASES, n, "case"))}
    folder = os.path.join(ROOT, "examples")
    missing = [f for f in sorted(os.listdir(folder)) if os.path.join(folder, f) not in used]
    for f in missing:
        print(f"examples/{f} has no regression case in tests/regress/")
    return 1 if missing else 0


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("action", choices=("check", "make", "examples"))
    ap.add_argument("cases", nargs="*")
    ap.add_argument("--build", help="build folder holding spread/, migrate/, twin/")
    ap.add_argument("--overwrite", action="store_true", help="replace existing expected files")
    a = ap.parse_intermixed_args()
    if a.action == "examples":
        return examples_covered()
    if not a.build or not a.cases:
        ap.error("check and make need --build and at least one case")
    if a.action == "make":
        return make(a.cases, a.build, a.overwrite)
    return max(check(name, a.build) for name in a.cases)


if __name__ == "__main__":
    sys.exit(main())
