"""What a migration study computes from orbits: chaos rates, diffusion in angular momentum,
churning and blurring, trapping at corotation. Arrays in, arrays out.

    from orbkit import analysis
    model = orbkit.Model.read("examples/migrate.setup")
    t, lam = analysis.lyapunov(model, model.draw(100), method="dop853")   # lam: (100, len(t))
    table = orbkit.migrate(model)
    d = analysis.diffusion(table, t=model.tmax, bins=8)                     # D_LL per bin of L0
    s = analysis.survey(model)                                              # initial and final states
    c = analysis.churning(model, s.initial, s.final, s.t, phases=s.phases)  # dL, dRg, blurring
    orbits = model.integrate(s.initial, model.times())
    trap = analysis.trapping(model, orbits, model.times())                  # horseshoe orbits

Times are in model units (one orbit at r = 1 is 2 pi), as Model.integrate takes them.
Everything that integrates runs in the compiled core on every thread (threads=None) with
either integrator: method='bs' (the programs' exact digits) or 'dop853' at tol.
"""

from collections import namedtuple as _namedtuple

import numpy as _np

from . import _orbkit
from ._orbkit import twin_offset as _twin_offset

__all__ = ["lyapunov", "twin_separation", "diffusion", "survey", "churning", "guiding_radius",
           "pattern_angle", "trapping"]


def _states(states):
    if isinstance(states, _np.ndarray) and states.dtype != _np.float64:
        raise ValueError(f"states: expected float64 values, got dtype {states.dtype}")
    states = _np.ascontiguousarray(states, dtype=_np.float64)
    if states.ndim != 2 or states.shape[1] != 4:
        raise ValueError("states: expected an array of shape (n, 4) holding x, y, vx, vy; "
                         f"got shape {states.shape}")
    return states


def _phases(phases, n, npatterns):
    if phases is None:
        return None
    phases = _np.ascontiguousarray(phases, dtype=_np.float64)
    if phases.shape != (n, npatterns):
        raise ValueError(f"phases: expected shape ({n}, {npatterns}), one phase per star and "
                         f"pattern (radians); got shape {phases.shape}")
    return phases


def _positive(value, name):
    value = float(value)
    if not 0.0 < value < _np.inf:
        raise ValueError(f"{name}: expected a positive finite number, got {value!r}")
    return value


# ---- chaos

def lyapunov(model, states, tmax=None, *, tau=None, d0=1e-9, t0=0.0, phases=None, method="bs",
             tol=None, threads=None):
    """Finite-time Lyapunov exponents of stars (n, 4) started at t0, by Benettin's method.

    A shadow orbit starts d0 away from each star in phase space (x, y, vx, vy in model
    units, Euclidean distance); every interval tau (model time units; default the
    model's output interval dt_int) the distance d_k is measured and the shadow is pulled
    back to d0 along the separation. After k intervals the exponent is

        lambda(t_k) = sum_{j <= k} ln(d_j / d0) / (t_k - t0),   t_k = t0 + k tau,

    in inverse model time units (times 2 pi: per orbit at r = 1; 1/lambda is the
    Lyapunov time). Returns (times, exponents): times t_k, shape (K,), for every
    interval that ends by tmax (default the run's end, model.tmax), and exponents of
    shape (n, K), so that one sees each star's exponent converge. A regular orbit's
    falls as ln(t)/t (its shadow drifts away linearly, by shear); a chaotic one's
    settles at a positive value that depends neither on d0 nor on tau while d0 e^(lambda
    tau) stays small against the orbit.

    Either integrator (method 'bs' or 'dop853', tol) runs on `threads` threads (default
    all). With 'bs' star and shadow are integrated together as one system of two bodies
    (the same steps and times); with 'dop853' both start afresh from every
    renormalisation, take the same steps but for d0, and share the fast mode's vector
    lanes. Either way their integration errors cancel in the separation. phases (n,
    npatterns, radians) gives each star its own pattern phases, as Model.integrate
    takes them. A star whose integration fails has nan exponents from then on, with a
    RuntimeWarning.
    """
    states = _states(states)
    t0 = float(t0)
    d0 = _positive(d0, "d0")
    tau = _positive(model.dt_int * _orbkit.twopi if tau is None else tau, "tau")
    tmax = model.tmax if tmax is None else float(tmax)
    # intervals that end by tmax; a hair of tolerance so that tmax = t0 + K tau counts K
    intervals = int(_np.floor((tmax - t0) / tau * (1 + 1e-12))) if tmax > t0 else 0
    times = t0 + tau * _np.arange(1, intervals + 1)
    ph = _phases(phases, len(states), model.npatterns)
    lam = _orbkit._lyapunov(model, states, tau, intervals, d0, t0, ph, threads, method, tol)
    return times, lam


def _drawn(model, n):
    """The survey's first n stars and, with randp0 = 1, the phases each is drawn with."""
    return model.draw(n), (model.draw_phases(n) if model.randp0 == 1 else None)


def twin_separation(model, n=None, times=None, *, quantity="phase", method="bs", tol=None,
                    threads=None, exact=True):
    """Each twin pair's separation at every output time.

    Draws the model's first n stars (default nstars) as orbtwin does, each with a twin
    twin_offset (1e-9) further out in x, integrates both through Model.integrate to
    `times` (default model.times()) and returns (times, separation) with separation of
    shape (n, len(times)): with quantity 'phase' the phase-space distance
    sqrt(dx^2 + dy^2 + dvx^2 + dvy^2), with 'position' sqrt(dx^2 + dy^2), with 'L' the
    twin's angular momentum minus the star's. Both are compared at exactly each output
    time (Model.integrate's rows); exact=False compares the states the programs' path
    reached instead, each within 1e-4 of it: with times [0, model.tmax] and quantity
    'L' the last column is then L2 - L1 of orbkit.twin, bit for bit.
    """
    if quantity not in ("phase", "position", "L"):
        raise ValueError(f"quantity: expected 'phase', 'position' or 'L', got {quantity!r}")
    states, phases = _drawn(model, n)
    twins = states.copy()
    twins[:, 0] = twins[:, 0] + _twin_offset
    times = model.times() if times is None else _np.ascontiguousarray(times, dtype=_np.float64)
    both = _np.concatenate([states, twins])
    ph = None if phases is None else _np.concatenate([phases, phases])
    orbits = model.integrate(both, times, phases=ph, threads=threads, method=method, tol=tol,
                             exact=exact)
    a, b = orbits[:len(states)], orbits[len(states):]
    if quantity == "L":  # the record line's L, which no pattern phase enters
        t = _np.broadcast_to(times, a.shape[:-1])
        return times, model.quantity("L", b, t) - model.quantity("L", a, t)
    d = b - a if quantity == "phase" else (b - a)[..., :2]
    return times, _np.sqrt((d * d).sum(axis=-1))


# ---- diffusion in angular momentum

def _changes(L0, L1):
    if isinstance(L0, _np.ndarray) and L0.dtype.names:
        names = L0.dtype.names
        if "L0" in names and "dL" in names:
            return _np.asarray(L0["L0"], float), _np.asarray(L0["dL"], float)
        if "L0" in names and "L1" in names:
            return _np.asarray(L0["L0"], float), _np.asarray(L0["L1"] - L0["L0"], float)
        raise ValueError(f"a table with fields L0 and dL (orbkit.migrate) or L0 and L1 "
                         f"(orbkit.twin) is expected; got fields {names}")
    if L1 is None:
        raise ValueError("L1: the final angular momenta are needed with an array of L0")
    L0 = _np.asarray(L0, float).ravel()
    L1 = _np.asarray(L1, float).ravel()
    if L0.shape != L1.shape:
        raise ValueError(f"L0 and L1: {L0.size} and {L1.size} values")
    return L0, L1 - L0


_DIFFUSION = [("centre", "<f8"), ("lo", "<f8"), ("hi", "<f8"), ("count", "<i8"),
              ("mean", "<f8"), ("mean_err", "<f8"), ("msq", "<f8"), ("msq_err", "<f8"),
              ("D", "<f8"), ("D_err", "<f8")]


def diffusion(L0, L1=None, t=None, *, bins=10, nboot=200, seed=0):
    """Diffusion in angular momentum, per bin of initial angular momentum.

    L0, L1: initial and final angular momenta (any arrays of one size); or a survey
    table as the first argument: orbkit.migrate's (fields L0, dL) or orbkit.twin's
    (L0, L1: the stars, not their twins). t: the time over which L changed, model
    units (for a survey, model.tmax). bins: a count of equal bins between the smallest
    and the largest finite L0, or the bin edges.

    Returns a structured array, one row per bin: centre, lo, hi (edges), count, mean
    (<dL>), msq (<dL^2>), D = <dL^2> / (2 t), and their errors mean_err, msq_err, D_err:
    the standard deviations over nboot bootstrap resamplings of the bin's stars (drawn
    with a numpy Generator seeded with seed, so reproducible). Stars with a nan change
    (failed integrations) are left out; an empty bin has count 0 and nan values.
    """
    if t is None:
        raise ValueError("t: the time over which L changed is needed (model units)")
    t = _positive(t, "t")
    L0, dL = _changes(L0, L1)
    keep = _np.isfinite(L0) & _np.isfinite(dL)
    L0, dL = L0[keep], dL[keep]
    if _np.ndim(bins) == 0:
        if int(bins) < 1:
            raise ValueError(f"bins: expected at least 1, got {bins}")
        lo, hi = (L0.min(), L0.max()) if L0.size else (0.0, 1.0)
        edges = _np.linspace(lo, hi, int(bins) + 1)
    else:
        edges = _np.asarray(bins, float)
        if edges.ndim != 1 or edges.size < 2 or not _np.all(_np.diff(edges) > 0):
            raise ValueError("bins: expected a count or increasing bin edges")
    # bin i holds lo <= L0 < hi, the last one its upper edge too
    which = _np.clip(_np.searchsorted(edges, L0, side="right") - 1, 0, len(edges) - 2)
    inside = (L0 >= edges[0]) & (L0 <= edges[-1])
    rng = _np.random.default_rng(seed)
    out = _np.zeros(len(edges) - 1, dtype=_DIFFUSION)
    out["lo"], out["hi"] = edges[:-1], edges[1:]
    out["centre"] = 0.5 * (edges[:-1] + edges[1:])
    for i in range(len(out)):
        d = dL[inside & (which == i)]
        out["count"][i] = d.size
        if d.size == 0:
            for f in ("mean", "mean_err", "msq", "msq_err"):
                out[f][i] = _np.nan
            continue
        out["mean"][i] = d.mean()
        out["msq"][i] = (d * d).mean()
        if nboot > 0:
            sample = d[rng.integers(0, d.size, size=(int(nboot), d.size))]
            out["mean_err"][i] = sample.mean(axis=1).std()
            out["msq_err"][i] = (sample * sample).mean(axis=1).std()
        else:
            out["mean_err"][i] = out["msq_err"][i] = _np.nan
    out["D"] = out["msq"] / (2 * t)
    out["D_err"] = out["msq_err"] / (2 * t)
    return out


# ---- churning and blurring

Survey = _namedtuple("Survey", "initial final phases t")


def survey(model, n=None, *, t=None, method="bs", tol=None, threads=None):
    """A survey's stars with their full states: the model's first n stars (default
    nstars) drawn as orbmigrate draws them, integrated from 0 to t (default model.tmax)
    as the survey program integrates them. Returns Survey(initial, final, phases, t):
    states (n, 4) x, y, vx, vy, the phases drawn per star (randp0 = 1) or None, and
    the time (n,) each final state is at (for 'bs' within 1e-4 of t, where the
    program's path ends; exactly t for 'dop853'). With the defaults and 'bs' the final
    angular momenta are orbkit.migrate's L0 + dL bit for bit. The exact orbit quantities
    of both ends (eccentricity, radial action, guiding radius) are
    model.actions(s.initial) and model.actions(s.final), which churning() takes."""
    initial, phases = _drawn(model, n)
    t = model.tmax if t is None else float(t)
    orbits, reached = model.integrate(initial, _np.array([t]), phases=phases, threads=threads,
                                      method=method, tol=tol, exact=False, with_times=True)
    return Survey(initial, orbits[:, -1], phases, reached[:, -1])


def guiding_radius(model, L):
    """Guiding-centre radius of angular momentum L: the circular orbit with the same L,
    v_c(R_g) R_g = L, that is R_g = L^(1 / (1 + gamma_)). nan for L <= 0."""
    L = _np.asarray(L, float)
    with _np.errstate(invalid="ignore", divide="ignore"):
        return _np.where(L > 0, _np.abs(L) ** (1.0 / (1.0 + model.gamma_)), _np.nan)


_CHURNING = ["L0", "L1", "dL", "e0", "e1", "de", "Rg0", "Rg1", "dRg", "r0", "r1", "dr", "blur",
             "E0", "E1", "dE", "J_R0", "J_R1", "dJ_R"]


def churning(model, initial, final, t1, *, t0=0.0, phases=None):
    """Churning and blurring of every star between two states, initial at t0 and
    final at t1 (model units, one time or one per star), both (n, 4).

    Returns a structured array, one row per star, with the quantities of the orbit
    record line at both times and their changes (final minus initial):

    - L0, L1, dL: angular momentum, the guiding centre's (the record line's L);
    - e0, e1, de: eccentricity (r_apo - r_peri) / (r_apo + r_peri) of the orbit the star
      follows in the background (Model.actions: exact for any gamma_, where the record
      line's e is an epicyclic estimate);
    - J_R0, J_R1, dJ_R: radial action of that orbit (Model.actions), the heating;
    - Rg0, Rg1, dRg: guiding-centre radius R_g = |L|^(1 / (1 + gamma_)), where
      v_c(R_g) R_g = |L| (Model.actions). dRg is the churning: the radial displacement
      that a change of angular momentum brings, which moves the whole orbit;
    - r0, r1, dr: radius, and its change, the whole radial displacement;
    - blur = dr - dRg, the change of r - R_g: the blurring, the part of the displacement
      that is the star's place on its epicycle (an orbit that keeps L only blurs);
    - E0, E1, dE: energy per unit mass, KE plus the potential at the patterns' grown
      amplitudes (Model.potential). In one steady pattern E - Omega_p L is conserved,
      so there dE = Omega_p dL: a check of the run.

    phases (n, npatterns, radians): each star's pattern phases, as drawn with
    randp0 = 1 (survey() returns them).

    e, J_R and R_g belong to the axisymmetric background: while a pattern acts they
    describe the orbit the star would follow were it switched off, so compare states
    taken before a wave grows and after it has gone. In the background alone they are
    constants of the motion: de, dJ_R and dRg vanish to rounding. A star with no bound
    orbit (unbound, L = 0) has nan there, with one IntegrationWarning.
    """
    a, b = _states(initial), _states(final)
    if a.shape != b.shape:
        raise ValueError(f"initial and final: shapes {a.shape} and {b.shape}")
    ph = _phases(phases, len(a), model.npatterns)
    out = _np.zeros(len(a), dtype=[(n, "<f8") for n in _CHURNING])
    for s, t, k in ((a, t0, "0"), (b, t1, "1")):
        t = _np.broadcast_to(_np.asarray(t, dtype=_np.float64), (len(s),))
        q = model.record(s, t, ph)
        a = model.actions(s)
        out["L" + k], out["r" + k] = q["L"], q["r"]
        out["e" + k], out["Rg" + k], out["J_R" + k] = a["e"], a["R_g"], a["J_R"]
        out["E" + k] = q["KE"] + _potential(model, s, t, ph)
    for n in ("L", "e", "Rg", "r", "E", "J_R"):
        out["d" + n] = out[n + "1"] - out[n + "0"]
    out["blur"] = out["dr"] - out["dRg"]
    return out


def _potential(model, s, t, phases):
    if phases is None or model.npatterns == 0:
        return model.potential(s[:, 0], s[:, 1], t)
    # each star in a model of its own phases
    out = _np.empty(len(s))
    for i in range(len(s)):
        pats = model.patterns
        for k, p in enumerate(pats):
            p["phi0"] = _np.degrees(phases[i, k])
        out[i] = model.replace(patterns=pats).potential(s[i, 0], s[i, 1], t[i])
    return out


# ---- trapping at corotation

def _times_of(times, shape):
    times = _np.asarray(times, float)
    if times.ndim == 1:
        times = _np.broadcast_to(times, shape)
    if times.shape != shape:
        raise ValueError(f"times: expected shape {shape[-1:]} or {shape}, got {times.shape}")
    return times


def pattern_angle(model, orbits, times, *, pattern=1, guiding=True):
    """Azimuth of each star in the frame turning with a pattern (1 for the first),
    phi - Omega_p t, unwrapped along time: shape (n, nt) from orbits (n, nt, 4) at
    times (nt,) or (n, nt) (Model.integrate(..., with_times=True)), radians.

    With guiding=True the azimuth is the guiding centre's: the epicycle's azimuthal
    excursion, phi - phi_g = 2 Omega v_r / (kappa^2 R_g) = v_r / ((1 + gamma_) v_c(R_g)),
    is taken off first. Without it an eccentric star near corotation, whose tangential
    speed in the turning frame changes sign every epicycle, would seem to turn back
    once per radial period. Unwrapping assumes the angle moves by less than pi from one
    output time to the next: the output interval must be short against the synodic
    period 2 pi / |Omega - Omega_p| of the stars of interest.
    """
    if not 1 <= pattern <= model.npatterns:
        raise ValueError(f"pattern: expected 1 .. {model.npatterns}, got {pattern}")
    o = _np.asarray(orbits, float)
    if o.ndim != 3 or o.shape[-1] != 4:
        raise ValueError(f"orbits: expected shape (n, nt, 4), got {o.shape}")
    t = _times_of(times, o.shape[:2])
    x, y, vx, vy = (o[..., i] for i in range(4))
    r = _np.hypot(x, y)
    phi = _np.arctan2(y, x)
    if guiding:
        L = x * vy - y * vx
        rg = guiding_radius(model, L)
        vr = (x * vx + y * vy) / r
        phi = phi - vr / ((1.0 + model.gamma_) * model.vc(rg))
    omegas = model.patterns[pattern - 1]["Omegas"]
    return _np.unwrap(_np.mod(phi - omegas * t, 2 * _np.pi), axis=1)


def _turning_points(psi, swing):
    """Indices of the turning points of psi: an extreme counts once psi has moved more
    than swing towards it and then more than swing back, so that wiggles smaller than
    swing are not turns, and neither is the start."""
    turns = []
    if len(psi) == 0:
        return turns
    # psi is monotonic between its local extremes: only they (and the ends) can become
    # a turn or confirm one
    step = _np.sign(_np.diff(psi))
    where = _np.concatenate([[0], _np.flatnonzero(step[1:] != step[:-1]) + 1, [len(psi) - 1]])
    direction = 0  # +1 rising, -1 falling, 0 not yet moved by swing from the start
    ext, at = psi[0], 0
    for i in where:
        v = psi[i]
        if direction == 0:
            if abs(v - psi[0]) > swing:
                direction = 1 if v > psi[0] else -1
                ext, at = v, i
        elif (v - ext) * direction > 0:
            ext, at = v, i
        elif (ext - v) * direction > swing:
            turns.append(at)
            direction = -direction
            ext, at = v, i
    return turns


_TRAPPING = [("trapped", "?"), ("turns", "<i8"), ("period", "<f8"), ("amplitude", "<f8")]


def trapping(model, orbits, times, *, pattern=1, window=None, swing=0.1, min_turns=2,
             guiding=True):
    """Which stars librate about a pattern's corotation (horseshoe orbits) during a run.

    From orbits (n, nt, 4) at times (nt,) or (n, nt), the guiding centre's azimuth in
    the pattern's turning frame (pattern_angle). A star that circulates moves through
    that frame one way only; a trapped one turns back: once its angle has come back by
    more than `swing` radians from an extreme, the extreme counts as a turning point.
    window=(t_start, t_end) keeps only the output times inside it.

    Returns a structured array, one row per star: turns (turning points), trapped
    (turns >= min_turns: the angle turned back and forth, it librates), period (the
    libration period, model units: the mean time between successive turning points of
    the same kind, maximum to maximum and minimum to minimum; nan with fewer than three
    turns) and amplitude (half the mean swing between successive turning points,
    radians of azimuth; nan without two turns).
    """
    psi = pattern_angle(model, orbits, times, pattern=pattern, guiding=guiding)
    t = _times_of(times, psi.shape)
    if window is not None:
        lo, hi = window
        keep = (t[0] >= lo) & (t[0] <= hi)
        psi, t = psi[:, keep], t[:, keep]
    out = _np.zeros(len(psi), dtype=_TRAPPING)
    for i in range(len(psi)):
        good = _np.isfinite(psi[i])
        turns = _turning_points(psi[i][good], swing)
        tt, pp = t[i][good][turns], psi[i][good][turns]
        out["turns"][i] = len(turns)
        out["period"][i] = _np.mean(tt[2:] - tt[:-2]) if len(turns) >= 3 else _np.nan
        out["amplitude"][i] = 0.5 * _np.mean(_np.abs(_np.diff(pp))) if len(turns) >= 2 else _np.nan
    out["trapped"] = out["turns"] >= min_turns
    return out
