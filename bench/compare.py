#!/usr/bin/python3
"""orbkit's speed on a survey model, and galpy's DOP853 at equal accuracy.

usage: bench/compare.py [BUILD_DIR] [SETUP]     (defaults: build, bench/benchmark.setup)

Builds nothing: reads the setup with BUILD_DIR's orbkit module and runs
BUILD_DIR/bench/orbstates (one thread) for orbkit's CPU time per star, its right-hand-side
evaluations per orbit (one orbit = 2 pi time units) and the stars' full-precision start and
end states. When python3-galpy is installed, it
integrates the same stars in the same model with galpy's compiled DOP853 at
tolerances 1e-14, 5e-15, 1e-15 and 1e-16, takes the 1e-16 run as the reference, and
prints each run's final-position error against it (median over the stars), orbkit's
own, and the ratio of orbkit's time to galpy's at orbkit's error (interpolated in
log time against log error between the tolerances). galpy is a peer for comparison:
nothing in orbkit uses it. The machine should be quiet: every time is from one run.
"""
import math
import os
import subprocess
import sys
import time

os.environ["OMP_NUM_THREADS"] = "1"  # before galpy loads its OpenMP library

HERE = os.path.dirname(os.path.abspath(__file__))
FORCE_POINTS = [(1.0, 0.0, 0.0), (1.3, -0.9, 2.5), (-2.2, 1.1, 40.0), (0.4, 2.7, 300.0)]  # x, y, t
TOLERANCES = [1e-14, 5e-15, 1e-15]
REFERENCE_TOLERANCE = 1e-16
FORCE_AGREEMENT = 1e-12  # relative: the background's 1e-15 offset of r and rounding


def read_model(build, setup):
    """The setup as the programs read it (orbkit.Model.read of the build's module): the
    fields the comparison needs, phi0 in radians, and the force -grad Phi at FORCE_POINTS."""
    sys.path.insert(0, os.path.join(build, "python"))
    import orbkit
    m = orbkit.Model.read(setup)
    patterns = [dict(p, phi0=math.radians(p["phi0"])) for p in m.patterns]
    forces = [(x, y, t, *(-float(f) for f in m.force(x, y, t))) for x, y, t in FORCE_POINTS]
    return {"gamma_": m.gamma_, "randp0": m.randp0, "patterns": patterns, "forces": forces}


def run_orbkit(build, setup):
    exe = os.path.join(build, "bench", "orbstates")
    if not os.path.exists(exe):
        sys.exit(f"compare.py: {exe}: not built (cmake --build {build})")
    out = subprocess.run([exe, "--integrator", "bs", setup], capture_output=True, text=True,
                         check=True).stdout
    starts, ends = [], []
    for line in out.splitlines():
        f = line.split()
        if f[:2] == ["#", "stars"]:
            stats = dict(zip(f[1::2], map(float, f[2::2])))
        else:
            v = list(map(float, f))
            starts.append(v[:4])
            ends.append(v[4:])
    return starts, ends, stats


def unsupported(model, starts):
    """Why galpy's steady spirals cannot stand for this model, or None."""
    if model["gamma_"] != 0:
        return "a rising or falling rotation curve (gamma_ != 0)"
    if model["randp0"] == 1 and len(model["patterns"]) > 1:
        return "phases drawn per star (randp0 1)"
    rmax = max(math.hypot(s[0], s[1]) for s in starts)
    for k in model["patterns"]:
        if k["growtime"] != 0 or k["starttime"] > 0:
            return "a growing pattern"
        if k["smin"] > 0 or k["smax"] < 100 * rmax:
            return "a tapered envelope"
    return None


def galpy_model(model):
    from galpy.potential import LogarithmicHaloPotential, SteadyLogSpiralPotential
    # flat curve, Phi0 = ln r; pattern eps cos(m (phi - phi0 - Omegas t) + alpha ln r) is
    # galpy's A/a cos(a ln R - m (phi - Omegas t - gamma)) with a = -alpha, gamma = phi0
    pot = [LogarithmicHaloPotential(amp=1.0, q=1.0, core=0.0).toPlanar()]
    for k in model["patterns"]:
        a = -k["alpha"]
        pot.append(SteadyLogSpiralPotential(amp=1.0, omegas=k["Omegas"], A=k["epsilon"] * a, alpha=a,
                                            m=int(k["mm"]), gamma=k["phi0"]))
    return pot


def check_forces(pot, forces):
    from galpy.potential import evaluateplanarRforces, evaluateplanarphitorques
    worst = 0.0
    for x, y, t, dx, dy in forces:
        R, phi = math.hypot(x, y), math.atan2(y, x)
        fr = evaluateplanarRforces(pot, R, phi=phi, t=t)
        fphi = evaluateplanarphitorques(pot, R, phi=phi, t=t) / R
        gx = -(fr * math.cos(phi) - fphi * math.sin(phi))
        gy = -(fr * math.sin(phi) + fphi * math.cos(phi))
        worst = max(worst, math.hypot(gx - dx, gy - dy) / math.hypot(dx, dy))
    return worst


def run_galpy(pot, starts, tmax, tol):
    import numpy
    from galpy.orbit.integratePlanarOrbit import integratePlanarOrbit_c
    yo = []
    for x, y, vx, vy in starts:
        R = math.hypot(x, y)
        yo.append([R, (x * vx + y * vy) / R, (x * vy - y * vx) / R, math.atan2(y, x)])
    c0 = time.process_time()
    out, err = integratePlanarOrbit_c(pot, numpy.array(yo), numpy.array([0.0, tmax]), "dop853_c",
                                      rtol=tol, atol=tol, progressbar=False)
    cpu = time.process_time() - c0
    ends = [[R * math.cos(phi), R * math.sin(phi)] for R, _, _, phi in out[:, -1, :]]
    return cpu, ends, int(numpy.count_nonzero(err))


def median(values):
    v = sorted(values)
    n = len(v)
    return v[n // 2] if n % 2 else 0.5 * (v[n // 2 - 1] + v[n // 2])


def position_errors(ends, reference):
    return [math.hypot(a[0] - b[0], a[1] - b[1]) for a, b in zip(ends, reference)]


def time_at_error(points, error):
    """galpy's time per star at `error`: log-log interpolation between the two runs
    that bracket it (extrapolated from the nearest two otherwise)."""
    pts = sorted((e, t) for e, t in points if e > 0)
    lo, hi = pts[0], pts[1]
    for a, b in zip(pts, pts[1:]):
        lo, hi = a, b
        if error <= b[0]:
            break
    u = (math.log(error) - math.log(lo[0])) / (math.log(hi[0]) - math.log(lo[0]))
    return math.exp(math.log(lo[1]) + u * (math.log(hi[1]) - math.log(lo[1]))), pts[0][0] <= error <= pts[-1][0]


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build")
    setup = sys.argv[2] if len(sys.argv) > 2 else os.path.join(HERE, "benchmark.setup")
    model = read_model(build, setup)
    starts, ends, stats = run_orbkit(build, setup)
    n = int(stats["stars"])
    orbkit_ms = 1000 * stats["cpu_s"] / n
    print(f"orbkit: {n} stars, {stats['orbits']:g} orbits, one thread: {orbkit_ms:.2f} ms per star, "
          f"{stats['evaluations'] / (n * stats['orbits']):.0f} evaluations per orbit")
    try:
        import galpy  # noqa: F401
    except ImportError:
        print("galpy: not installed (python3-galpy), no comparison")
        return 0
    why = unsupported(model, starts)
    if why:
        print(f"galpy: the comparison covers flat rotation curves and steady untapered spirals, not {why}")
        return 0
    pot = galpy_model(model)
    worst = check_forces(pot, model["forces"])
    print(f"galpy model: forces agree with orbkit's to {worst:.1e} (relative) at {len(model['forces'])} points")
    if not worst <= FORCE_AGREEMENT:
        print("galpy model: the forces differ, no comparison")
        return 1
    tmax = stats["orbits"] * 2 * math.pi
    _, reference, failed = run_galpy(pot, starts, tmax, REFERENCE_TOLERANCE)
    print(f"galpy DOP853 (dop853_c) reference: tolerance {REFERENCE_TOLERANCE:g}"
          + (f", {failed} orbits reported errors" if failed else ""))
    points = []
    for tol in TOLERANCES:
        cpu, galpy_ends, failed = run_galpy(pot, starts, tmax, tol)
        errs = position_errors(galpy_ends, reference)
        ms = 1000 * cpu / n
        points.append((median(errs), ms))
        print(f"galpy tolerance {tol:g}: {ms:.2f} ms per star, final position error median {median(errs):.2e},"
              f" max {max(errs):.2e}" + (f", {failed} orbits reported errors" if failed else ""))
    errs = position_errors(ends, reference)
    e = median(errs)
    print(f"orbkit: final position error median {e:.2e}, max {max(errs):.2e}")
    galpy_ms, inside = time_at_error(points, e)
    print(f"equal accuracy: galpy {galpy_ms:.2f} ms per star at error {e:.2e}"
          f"{'' if inside else ' (extrapolated)'}; orbkit/galpy time ratio {orbkit_ms / galpy_ms:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
