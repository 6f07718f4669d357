#!/usr/bin/python3
"""Equal-accuracy comparison of orbkit's two integrators with galpy's DOP853.

    OMP_NUM_THREADS=1 /usr/bin/python3 bench/fastmode.py [--runs 5] [--paths P,P] [--base OLD] BUILD [SETUP]

BUILD is a build folder holding bench/orbstates; SETUP defaults to bench/benchmark.setup
(200 stars, 100 orbits, two full-strength spirals). Every star is drawn as orbmigrate draws
it and integrated alone to the end of the run on one thread: by the extrapolation
integrator, by the eighth-order method at several tolerances, and by galpy's compiled
DOP853 (Debian's python3-galpy; a peer for comparison, nothing in orbkit uses it) at
1e-13, 1e-14, 5e-15 and 1e-15. Each one's position error is measured against a galpy run at
1e-16: the median over the stars of |(x, y) - reference| at the end (a few chaotic
stars part whatever the integrator; the median is the typical star). Times are CPU
seconds of the integrations alone, the fastest of --runs rounds that alternate all
the runs. ns/eval is the time per star over its right-hand-side evaluations, the
integrator's own work included; ns/force the time of one evaluation of the force kernel,
which evaluates as many stars as the path has lanes (ns/eval times the width). The
eighth-order method runs its stars in the vector lanes of the one thread on each path of
--paths (ORBKIT_SIMD=scalar|sse2|avx2|avx512; default every path the processor runs; the
bits are the same on each), side by side in the same alternating rounds. The last lines
name, per path, the tolerance at which the eighth-order method matches galpy at 5e-15 and
the exact mode, and the ratio of the times per star. With --base, a second build's
eighth-order rows (marked "base", on --base-paths) run in the same rounds, to compare two
versions.
"""
import argparse
import math
import os
import subprocess
import sys
import time

import numpy

GALPY_TOLS = [1e-13, 1e-14, 5e-15, 1e-15]
GALPY_REFERENCE_TOL = 1e-16
ORBKIT_TOLS = [1e-12, 1e-13, 3e-14, 1e-14, 5e-15, 3e-15, 2e-15, 1e-15]
MATCH_GALPY_TOL = 5e-15  # the galpy run the eighth-order method must match in accuracy


def spirals(build, path):
    """The patterns of a setup, read as the programs read it (orbkit.Model.read of the
    build's module), as (m, epsilon, phi0 in radians, alpha, Omegas). The comparison needs
    patterns at full strength from t = 0 over the whole disc, and a flat rotation curve:
    what galpy's logarithmic halo and steady spirals describe."""
    sys.path.insert(0, os.path.join(build, "python"))
    import orbkit
    model = orbkit.Model.read(path)
    if model.gamma_ != 0.0:
        sys.exit("fastmode: the comparison needs gamma_ 0 (a flat rotation curve)")
    out = []
    for k, p in enumerate(model.patterns):
        if p["growtime"] != 0 or p["starttime"] > 0 or p["smin"] > 0.1 or p["smax"] < 1e3:
            sys.exit("fastmode: pattern %d must be fully grown from t = 0 over the whole disc" % (k + 1))
        out.append((p["mm"], p["epsilon"], math.radians(p["phi0"]), p["alpha"], p["Omegas"]))
    return out


PATH_WIDTH = {"scalar": 1, "sse2": 2, "avx2": 4, "avx512": 8}


def paths_here():
    """The vector paths this processor runs."""
    flags = open("/proc/cpuinfo").read().split()
    out = ["scalar", "sse2"]
    if "avx2" in flags:
        out.append("avx2")
    if "avx512f" in flags:
        out.append("avx512")
    return out


def orbstates(build, setup, args, path=None):
    """Start and end states (n, 8) and CPU seconds of one orbstates run (on vector path
    `path`, else the widest)."""
    env = dict(os.environ)
    if path:
        env["ORBKIT_SIMD"] = path
    out = subprocess.run([os.path.join(build, "bench", "orbstates")] + args + [setup],
                         check=True, capture_output=True, text=True, env=env).stdout
    rows, cpu = [], None
    for line in out.splitlines():
        if line.startswith("#"):
            words = line.split()
            cpu = float(words[words.index("cpu_s") + 1])
            evals = int(words[words.index("evaluations") + 1])
            orbits = float(words[words.index("orbits") + 1])
        else:
            rows.append([float(x) for x in line.split()])
    states = numpy.array(rows)
    return states, cpu, (evals / len(states) / orbits if evals >= 0 else None), orbits


def galpy_run(pots, starts, tmax, tol):
    """End states (x, y) of galpy's compiled DOP853 and its CPU seconds."""
    from galpy.orbit.integratePlanarOrbit import integratePlanarOrbit_c
    x, y, vx, vy = starts[:, 0], starts[:, 1], starts[:, 2], starts[:, 3]
    R = numpy.hypot(x, y)
    phi = numpy.arctan2(y, x)
    vR = (x * vx + y * vy) / R
    vT = (x * vy - y * vx) / R
    yo = numpy.stack([R, vR, vT, phi], axis=1)
    t = numpy.array([0.0, tmax])
    c0 = time.process_time()
    out, err = integratePlanarOrbit_c(pots, yo, t, "dop853_c", rtol=tol, atol=tol)
    cpu = time.process_time() - c0
    end = out[:, -1, :]
    return numpy.stack([end[:, 0] * numpy.cos(end[:, 3]), end[:, 0] * numpy.sin(end[:, 3])], axis=1), cpu


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--paths", default=None, help="comma-separated vector paths (default: all here)")
    ap.add_argument("--base", default=None, help="an older build whose eighth-order rows run alongside")
    ap.add_argument("--base-paths", default=None, help="its vector paths (default: those of --paths)")
    ap.add_argument("build")
    ap.add_argument("setup", nargs="?", default=os.path.join(os.path.dirname(__file__), "benchmark.setup"))
    a = ap.parse_args()
    if os.environ.get("OMP_NUM_THREADS") != "1":
        sys.exit("fastmode: run with OMP_NUM_THREADS=1 (one thread, as the comparison is defined)")

    paths = a.paths.split(",") if a.paths else paths_here()
    runs = {"exact": (["--integrator", "bs"], None, a.build)}
    base_paths = a.base_paths.split(",") if a.base_paths else paths
    labels = paths + (["base " + p for p in base_paths] if a.base else [])
    for label in labels:
        path = label.split()[-1]
        for tol in ORBKIT_TOLS:
            runs["%s %g" % (label, tol)] = (["--integrator", "dop853", "--tol", repr(tol)], path,
                                            a.base if label.startswith("base") else a.build)
    states, cpu, epo, orbits = {}, {}, {}, None
    galpy = None
    try:
        from galpy.potential import LogarithmicHaloPotential, SteadyLogSpiralPotential
        galpy = True
    except ImportError:
        print("galpy is not installed (python3-galpy): orbkit's rows only, errors against the exact mode")

    first, _, _, orbits = orbstates(a.build, a.setup, runs["exact"][0])
    starts = first[:, 0:4]
    nstars = len(starts)
    tmax = orbits * 2 * math.pi
    if galpy:
        # Phi = ln r + sum_k eps cos(m (phi - phi0 - Omegas t) + alpha ln r); galpy writes a
        # spiral as (A / a) cos(a ln R - m (phi - Omegas t - gamma)): a = -alpha, A = -eps alpha.
        pots = [LogarithmicHaloPotential(amp=1.0, q=1.0, core=0.0).toPlanar()]
        for m, eps, phi0, alpha, om in spirals(a.build, a.setup):
            pots.append(SteadyLogSpiralPotential(amp=1.0, omegas=om, A=-eps * alpha, alpha=-alpha,
                                                 m=int(m), gamma=phi0))
        reference, _ = galpy_run(pots, starts, tmax, GALPY_REFERENCE_TOL)
        gstates, gcpu = {}, {}

    for r in range(a.runs):  # alternate every run, keep the fastest of each
        for name, (args, path, build) in runs.items():
            s, c, e, _ = orbstates(build, a.setup, args, path)
            states[name], epo[name] = s, e
            cpu[name] = min(cpu.get(name, math.inf), c)
        if galpy:
            for tol in GALPY_TOLS:
                s, c = galpy_run(pots, starts, tmax, tol)
                gstates[tol] = s
                gcpu[tol] = min(gcpu.get(tol, math.inf), c)

    if not galpy:
        reference = states["exact"][:, 4:6]

    def error(xy):
        return float(numpy.median(numpy.hypot(xy[:, 0] - reference[:, 0], xy[:, 1] - reference[:, 1])))

    print("%d stars, %g orbits, one thread, fastest of %d alternating runs; position error: median over"
          " the stars of |(x, y) - %s| at the end" % (nstars, orbits, a.runs,
                                                      "galpy at 1e-16" if galpy else "the exact mode"))
    print("%-31s %12s %14s %14s %10s %10s %10s" % ("integrator", "error", "ms per star", "evals/orbit", "ns/eval",
                                                 "ns/force", "x galpy"))
    g_ms = 1e3 * gcpu[MATCH_GALPY_TOL] / nstars if galpy else None
    rows = []
    if galpy:
        for tol in GALPY_TOLS:
            err, ms = error(gstates[tol]), 1e3 * gcpu[tol] / nstars
            rows.append(("galpy dop853_c %g" % tol, err, ms))
            print("%-31s %12.3e %14.3f %14s %10s %10s %10.3f" % (rows[-1] + ("", "", "", ms / g_ms)))
    for name, (_, path, _) in runs.items():
        err, ms = error(states[name][:, 4:6]), 1e3 * cpu[name] / nstars
        rows.append(("orbkit " + ("exact" if name == "exact" else "dop853 " + name), err, ms))
        ns = 1e6 * ms / (epo[name] * orbits) if epo[name] else None
        print("%-31s %12.3e %14.3f %14s %10s %10s %10s" % (
            rows[-1] + ("%.1f" % epo[name] if epo[name] else "", "%.1f" % ns if ns else "",
                        "%.1f" % (ns * PATH_WIDTH[path]) if ns and path else "",
                        "%.3f" % (ms / g_ms) if galpy else "")))

    def matching(path, target):  # the largest tolerance at least as accurate as target
        for tol in ORBKIT_TOLS:
            if error(states["%s %g" % (path, tol)][:, 4:6]) <= target:
                return tol
        return None

    exact_err = error(states["exact"][:, 4:6])
    for path in labels:
        tol = matching(path, exact_err)
        print("%s: dop853 matches the exact mode's error (%.3e) at tol %s"
              % (path, exact_err, "%g" % tol if tol else "none"))
        if galpy:
            g_err = error(gstates[MATCH_GALPY_TOL])
            tol = matching(path, g_err)
            if tol is None:
                print("%s: no tolerance of dop853 reaches galpy's error at %g (%.3e)" % (path, MATCH_GALPY_TOL, g_err))
            else:
                ms = 1e3 * cpu["%s %g" % (path, tol)] / nstars
                print("%s: dop853 matches galpy at %g (error %.3e) at tol %g: %.3f ms per star against %.3f, "
                      "ratio %.3f" % (path, MATCH_GALPY_TOL, g_err, tol, ms, g_ms, ms / g_ms))


if __name__ == "__main__":
    main()
