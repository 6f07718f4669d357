"""What a migration study computes from orbits: chaos rates, diffusion in angular momentum,
churning and blurring, trapping at corotation. Arrays in, arrays out.

    from orbkit import analysis
    model = orbkit.Model.read("examples/migrate.setup")
    t, lam = analysis.lyapunov(model, model.draw(100), method="dop853")   # lam: (100, len(t))
    table = orbkit.migrate(model)
    d = analysis.diffusion(table, model=model, bins=8)                      # D1, D2 per bin of L0
    s = analysis.survey(model)                                              # initial and final states
    c = analysis.churning(model, s.initial, s.final, s.t, phases=s.phases)  # dL, dRg, blurring
    orbits = model.integrate(s.initial, model.times())
    trap = analysis.trapping(model, orbits, model.times())                  # horseshoe orbits

Times are in model units (one orbit at r = 1 is 2 pi), as Model.integrate takes them;
quantities with units (astropy) are refused, as everywhere in orbkit. Everything that
integrates runs in the compiled core on every thread (threads=None) with the fast mode by
default (method='dop853' at tol, the same bits on every machine); method='bs' gives the
programs' method and, with exact=False where a function takes it, their digits. Long calls
show a progress bar on a terminal or in a notebook (progress=None; True or False to choose).
"""

import warnings as _warnings
from collections import namedtuple as _namedtuple

import numpy as _np

from . import _checks, _orbkit
from ._checks import keywords as _keywords
from ._orbkit import twin_offset as _twin_offset

__all__ = ["lyapunov", "Exponents", "twin_separation", "diffusion", "diffusion_history", "waves",
           "acting_window", "survey", "churning", "guiding_radius", "pattern_angle", "trapping"]


def _states(states, name="states"):
    """States (n, 4) as float64, with integrate's checks and words (one state (4,) is (1, 4))."""
    return _checks.states(states, name)


def _real(values, name, kind):
    """values as a float array; a quantity with a unit refused (kind: 'length', 'time',
    'state' or the words of the unit expected)."""
    _checks.refuse_units(values, name, kind)
    return _np.asarray(values, float)


def _phases(phases, n, npatterns):
    if phases is None:
        return None
    _checks.refuse_units(phases, "phases", "radians")
    phases = _np.ascontiguousarray(phases, dtype=_np.float64)
    if phases.shape != (n, npatterns):
        raise ValueError(f"phases: expected shape ({n}, {npatterns}), one phase per star and "
                         f"pattern (radians); got shape {phases.shape}")
    return phases


def _positive(value, name, kind="time"):
    _checks.refuse_units(value, name, kind)
    value = float(value)
    if not 0.0 < value < _np.inf:
        raise ValueError(f"{name}: expected a positive finite number, got {value!r}")
    return value


# ---- the waves of a model: when they act, how strong, their libration period

_WAVES = [("first", "<i8"), ("npatterns", "<i8"), ("start", "<f8"), ("end", "<f8"),
          ("amplitude", "<f8"), ("mm", "<f8"), ("Omegas", "<f8"), ("R_CR", "<f8"),
          ("T_lib", "<f8")]


def _envelope(p, r):
    """The radial envelope A(r) of a pattern (dict of its fields) at radius r."""
    if r < p["smin"]:
        return _np.exp(-0.5 * (r - p["smin"]) ** 2 / p["wmin"] ** 2)
    if r > p["smax"]:
        return _np.exp(-0.5 * (r - p["smax"]) ** 2 / p["wmax"] ** 2)
    return 1.0


@_keywords
def waves(model):
    """The model's waves and when they act. Patterns of the same arms, pitch, speed,
    envelope and phase add into one wave (a transient: a pattern and a copy with the
    opposite epsilon and a later start, which cancels it once grown). One row per wave:

    - first, npatterns: its first pattern (1 for the model's first) and how many it has;
    - start, end: model times between which its net amplitude sum_k epsilon_k f_k(t) is
      not zero; end is inf for a wave that holds (the run's end then ends it);
    - amplitude: the largest |net amplitude| (speed squared);
    - mm, Omegas: arms and pattern speed; R_CR: corotation radius, Omega(R_CR) = Omegas
      (nan where there is none);
    - T_lib: the period of a small libration about corotation, model units. A guiding
      centre at L near L_CR feels the torque m eps A sin chi; with
      d(phi - Omega_p t)/dt = (dOmega/dL)(L - L_CR) the angle chi obeys a pendulum's
      equation of frequency omega_lib = m sqrt(eps A(R_CR) |dOmega/dL|), and in the
      power-law disc dOmega/dL = (gamma_ - 1) / ((1 + gamma_) R^2):

          T_lib = 2 pi R_CR / (m sqrt(eps A(R_CR) (1 - gamma_) / (1 + gamma_))).

      Larger swings take longer (the pendulum's period grows without bound towards
      the separatrix): a wave that acts less than T_lib traps no star.

    With randp0 = 1 the phases of patterns 2, 3, ... are drawn per star, and each of
    them is a wave of its own.
    """
    return _waves(model)[0]


def _waves(model):
    """waves(model), and each row's patterns (indices from 0)."""
    from .plot import net_amplitude, pattern_waves
    pats = model.patterns
    g = model.gamma_
    out = _np.zeros(0, dtype=_WAVES)
    rows, members = [], []
    for wave in pattern_waves(model):
        edges = sorted({_orbkit.twopi * pats[k]["starttime"] for k in wave}
                       | {_orbkit.twopi * (pats[k]["starttime"] + pats[k]["growtime"]) for k in wave})
        net = _np.asarray(net_amplitude(model, wave, _np.array(edges)), float)
        scale = max(abs(pats[k]["epsilon"]) for k in wave)
        # the net amplitude is linear between the edges and holds after the last one
        alive = _np.flatnonzero(_np.abs(net) > 1e-12 * scale)
        if scale == 0 or (alive.size == 0 and abs(net[-1]) <= 1e-12 * scale):
            continue  # a wave that cancels from its start never acts
        first_edge = edges[0]
        if abs(net[-1]) > 1e-12 * scale:
            gone = _np.inf
        else:
            gone = edges[alive[-1] + 1]
        p = pats[wave[0]]
        m, omegas = p["mm"], p["Omegas"]
        # corotation as Model.resonances finds it, where Omega falls outwards (gamma_ < 1)
        rc = model.resonances(wave[0] + 1)["CR"] if g < 1.0 else _np.nan
        peak = float(_np.max(_np.abs(net)))
        t_lib = _np.nan
        if rc == rc and g > -1.0 and m > 0:
            strength = peak * _envelope(p, rc) * (1.0 - g) / (1.0 + g)
            t_lib = 2 * _np.pi * rc / (m * _np.sqrt(strength)) if strength > 0 else _np.inf
        rows.append((wave[0] + 1, len(wave), first_edge, gone, peak, m, omegas, rc, t_lib))
        members.append(wave)
    if rows:
        out = _np.array(rows, dtype=_WAVES)
    return out, members


@_keywords
def acting_window(model, t0=0.0, t1=None):
    """(start, end): the part of the run from t0 to t1 (model units; default 0 and
    model.tmax) in which any wave acts, from the first start to the moment the last
    wave is gone or the run ends. (t0, t0), of length 0, when no wave acts in it."""
    t0 = float(t0)
    t1 = model.tmax if t1 is None else float(t1)
    w = waves(model)
    if len(w) == 0:
        return t0, t0
    lo = max(t0, float(w["start"].min()))
    hi = min(t1, float(w["end"].max()))
    if not hi > lo:
        return t0, t0
    return lo, hi


# ---- chaos

class Exponents(tuple):
    """What lyapunov returns: the pair (times, exponents), so that
    ``t, lam = lyapunov(...)`` unpacks it, with beside it

    - shear: (n, K) the exponents the same stars have in the axisymmetric background
      alone, where every orbit is regular: the baseline that shear alone gives
      (about ln(t) / t). An exponent that does not stand clearly above it measures the
      window, not chaos.
    - times, exponents: the pair by name.
    """

    def __new__(cls, times, exponents, shear):
        self = super().__new__(cls, (times, exponents))
        self.times, self.exponents, self.shear = times, exponents, shear
        return self


@_keywords
def lyapunov(model, states, tmax=None, *, tau=None, d0=1e-9, t0=0.0, phases=None,
             method="dop853", tol=None, threads=None, shear=True, progress=None):
    """Finite-time Lyapunov exponents of stars (n, 4) started at t0, by Benettin's method.

    A shadow orbit starts d0 away from each star in phase space (x, y, vx, vy in model
    units, Euclidean distance; each coordinate moved by d0/2), every interval tau (model
    time units; default the model's output interval dt_int) the distance d_k is measured
    and the shadow is pulled back to d0 along the separation. After k intervals the
    exponent is

        lambda(t_k) = sum_{j <= k} ln(d_j / d0) / (t_k - t0),   t_k = t0 + k tau,

    in inverse model time units (times 2 pi: per orbit at r = 1; 1/lambda is the
    Lyapunov time). The last interval ends at tmax (default the run's end, model.tmax)
    when tmax - t0 is a whole number of intervals to within rounding; otherwise at the
    last t_k before it. A run shorter than one interval is refused (ValueError).

    Returns Exponents, the pair (times, exponents): times t_k, shape (K,), and exponents
    of shape (n, K), so that one sees each star's exponent converge; and as .shear
    (n, K) the same stars' exponents in the background alone (shear=False skips them:
    nan), the baseline of a regular orbit. A regular orbit's exponent falls as about
    ln(t)/t (its shadow drifts away linearly, by shear: over 20 orbits that is still
    some 0.15 per orbit); a chaotic one's settles at a positive value above that
    baseline that depends neither on d0 nor on tau while d0 e^(lambda tau) stays small
    against the orbit.

    Either integrator (method 'dop853', the default, at tol; or 'bs', the programs')
    runs on `threads` threads (default all). With 'bs' star and shadow are integrated together as one system of two bodies
    (the same steps and times); with 'dop853' both start afresh from every
    renormalisation, take the same steps but for d0, and share the fast mode's vector
    lanes. Either way their integration errors cancel in the separation. phases (n,
    npatterns, radians) gives each star its own pattern phases, as Model.integrate
    takes them. A star whose integration fails, or whose state is not finite, has nan
    exponents from the interval it was lost in on, named with that interval in one
    IntegrationWarning. tmax and t0 must be finite.
    """
    states = _states(states)
    t0 = _checks.time_value(t0, "t0")
    d0 = _positive(d0, "d0", "a distance in phase space (model units)")
    tau = _positive(model.dt_int * _orbkit.twopi if tau is None else tau, "tau")
    tmax = model.tmax if tmax is None else _checks.time_value(tmax, "tmax")
    # intervals that end by tmax; a hair of tolerance so that tmax = t0 + K tau counts K
    # although (tmax - t0) / tau falls a rounding below K
    intervals = int(_np.floor((tmax - t0) / tau * (1 + 1e-12))) if tmax > t0 else 0
    if intervals < 1:
        raise ValueError(f"tmax: the run from t0 = {t0:.6g} to tmax = {tmax:.6g} is shorter than "
                         f"one interval tau = {tau:.6g}: no exponent can be measured; run longer "
                         f"or give a shorter tau")
    times = t0 + tau * _np.arange(1, intervals + 1)
    if abs(times[-1] - tmax) <= 1e-12 * intervals * tau:
        times[-1] = tmax  # the whole run: the last interval ends at tmax itself
    ph = _phases(phases, len(states), model.npatterns)
    with _checks.progress_bar(progress, lambda: len(states), "lyapunov") as bar:
        lam = _orbkit._lyapunov(model._c, states, tau, intervals, d0, t0, ph, threads, method,
                                tol, float(times[-1]), bar)
        if shear and model.npatterns:
            with _warnings.catch_warnings():  # a star lost there is lost here too: said once
                _warnings.simplefilter("ignore")
                base = _orbkit._lyapunov(model.replace(patterns=[])._c, states, tau, intervals,
                                         d0, t0, None, threads, method, tol, float(times[-1]),
                                         None)
        elif shear:
            base = lam.copy()  # the model is its own background
        else:
            base = _np.full_like(lam, _np.nan)
    return Exponents(times, lam, base)


def _drawn(model, n):
    """The survey's first n stars and, with randp0 = 1, the phases each is drawn with."""
    return model.draw(n), (model.draw_phases(n) if model.randp0 == 1 else None)


@_keywords
def twin_separation(model, n=None, times=None, *, quantity="phase", method="dop853", tol=None,
                    threads=None, exact=True, progress=None):
    """Each twin pair's separation at every output time.

    Draws the model's first n stars (default nstars) as orbtwin does, each with a twin
    twin_offset (1e-9) further out in x, integrates both through Model.integrate to
    `times` (default model.times()) and returns (times, separation) with separation of
    shape (n, len(times)): with quantity 'phase' the phase-space distance
    sqrt(dx^2 + dy^2 + dvx^2 + dvy^2), with 'position' sqrt(dx^2 + dy^2), with 'L' the
    twin's angular momentum minus the star's. Both are compared at exactly each output
    time (Model.integrate's rows). The fast mode (method='dop853') is the default;
    method='bs', exact=False compares the states the programs' path reached instead, each
    within 1e-4 of it: with times [0, model.tmax] and quantity 'L' the last column is then
    L2 - L1 of orbkit.twin, bit for bit.
    """
    if quantity not in ("phase", "position", "L"):
        raise ValueError(f"quantity: expected 'phase', 'position' or 'L', got {quantity!r}")
    states, phases = _drawn(model, n)
    twins = states.copy()
    twins[:, 0] = twins[:, 0] + _twin_offset
    times = model.times() if times is None else _checks.times(times, "times")
    both = _np.concatenate([states, twins])
    ph = None if phases is None else _np.concatenate([phases, phases])
    orbits = model.integrate(both, times, phases=ph, threads=threads, method=method, tol=tol,
                             exact=exact, progress=progress)
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
    L0 = _real(L0, "L0", "an angular momentum in model units (R0 v0)").ravel()
    L1 = _real(L1, "L1", "an angular momentum in model units (R0 v0)").ravel()
    if L0.shape != L1.shape:
        raise ValueError(f"L0 and L1: {L0.size} and {L1.size} values")
    return L0, L1 - L0


def _bin_edges(L0, bins):
    if _np.ndim(bins) == 0:
        if int(bins) < 1:
            raise ValueError(f"bins: expected at least 1, got {bins}")
        lo, hi = (L0.min(), L0.max()) if L0.size else (0.0, 1.0)
        return _np.linspace(lo, hi, int(bins) + 1)
    edges = _np.asarray(bins, float)
    if edges.ndim != 1 or edges.size < 2 or not _np.all(_np.diff(edges) > 0):
        raise ValueError("bins: expected a count or increasing bin edges")
    return edges


def _bin_of(L0, edges):
    """Each value's bin (lo <= L0 < hi, the last bin its upper edge too), -1 outside."""
    which = _np.clip(_np.searchsorted(edges, L0, side="right") - 1, 0, len(edges) - 2)
    return _np.where((L0 >= edges[0]) & (L0 <= edges[-1]), which, -1)


def _interval(model, interval, t0, t1):
    if interval is not None:
        return _positive(interval, "interval")
    if model is None:
        raise ValueError("interval: the time over which the waves changed L is needed (model "
                         "units); give interval=, or model= to take it from the model's waves")
    lo, hi = acting_window(model, t0, t1)
    if not hi > lo:
        raise ValueError(f"interval: no wave of the model acts between t = {float(t0):.6g} and "
                         f"{model.tmax if t1 is None else float(t1):.6g}, so there is no time "
                         f"to divide by; give interval= explicitly")
    return hi - lo


_DIFFUSION = [("centre", "<f8"), ("lo", "<f8"), ("hi", "<f8"), ("count", "<i8"),
              ("interval", "<f8"),
              ("mean", "<f8"), ("mean_err", "<f8"), ("msq", "<f8"), ("msq_err", "<f8"),
              ("var", "<f8"), ("var_err", "<f8"),
              ("D1", "<f8"), ("D1_err", "<f8"), ("D2", "<f8"), ("D2_err", "<f8")]


@_keywords
def diffusion(L0, L1=None, *, model=None, interval=None, t0=0.0, t1=None, bins=10, nboot=200,
              seed=0, t=None):
    """Drift and diffusion coefficients of angular momentum, per bin of initial angular
    momentum.

    L0, L1: initial and final angular momenta (any arrays of one size); or a survey
    table as the first argument: orbkit.migrate's (fields L0, dL) or orbkit.twin's
    (L0, L1: the stars, not their twins). bins: a count of equal bins between the
    smallest and the largest finite L0, or the bin edges.

    The interval Delta t the coefficients divide by (model units) is stated, never
    guessed from the run's length: interval= gives it; otherwise model= gives the time
    over which the model's waves act between t0 and t1, the times of L0 and L1 (default
    0 and model.tmax): from the first wave's start to the moment the last one is gone
    (a transient, see waves()) or t1 (acting_window). A wave that has gone changes no
    L, so running on after it leaves the coefficients as they are.

    Returns a structured array, one row per bin: centre, lo, hi (edges), count,
    interval (Delta t), and with dL = L1 - L0 over the bin's stars

    - mean = <dL> (the drift), msq = <dL^2>, var = <dL^2> - <dL>^2 (the spread);
    - D1 = <dL> / Delta t, the drift coefficient, and D2 = var / Delta t, the diffusion
      coefficient (the first and second Fokker-Planck coefficients; with a drift
      <dL^2> / Delta t would count the drift's square as diffusion);

    each with its error (mean_err, ..., D2_err): the standard deviation over nboot
    bootstrap resamplings of the bin's stars (a numpy Generator seeded with seed, so
    reproducible). Whether dL grows diffusively (var in proportion to time) one cannot
    tell from two times: see diffusion_history. Stars with a nan change (failed
    integrations) are left out; an empty bin has count 0 and nan values.
    """
    if t is not None:
        raise ValueError("t: diffusion divides by the time over which the waves act, not by "
                         "the run's length; give interval= (model units) or model=")
    L0, dL = _changes(L0, L1)
    dt = _interval(model, interval, t0, t1)
    keep = _np.isfinite(L0) & _np.isfinite(dL)
    L0, dL = L0[keep], dL[keep]
    edges = _bin_edges(L0, bins)
    which = _bin_of(L0, edges)
    rng = _np.random.default_rng(seed)
    out = _np.zeros(len(edges) - 1, dtype=_DIFFUSION)
    out["lo"], out["hi"] = edges[:-1], edges[1:]
    out["centre"] = 0.5 * (edges[:-1] + edges[1:])
    out["interval"] = dt
    for i in range(len(out)):
        d = dL[which == i]
        out["count"][i] = d.size
        if d.size == 0:
            for f in ("mean", "mean_err", "msq", "msq_err", "var", "var_err"):
                out[f][i] = _np.nan
            continue
        out["mean"][i] = d.mean()
        out["msq"][i] = (d * d).mean()
        out["var"][i] = d.var()
        if nboot > 0:
            sample = d[rng.integers(0, d.size, size=(int(nboot), d.size))]
            out["mean_err"][i] = sample.mean(axis=1).std()
            out["msq_err"][i] = (sample * sample).mean(axis=1).std()
            out["var_err"][i] = sample.var(axis=1).std()
        else:
            out["mean_err"][i] = out["msq_err"][i] = out["var_err"][i] = _np.nan
    out["D1"], out["D1_err"] = out["mean"] / dt, out["mean_err"] / dt
    out["D2"], out["D2_err"] = out["var"] / dt, out["var_err"] / dt
    return out


_HISTORY = [("centre", "<f8"), ("lo", "<f8"), ("hi", "<f8"), ("count", "<i8")]


@_keywords
def diffusion_history(L, times, *, bins=10, nboot=200, seed=0):
    """How dL grows with time, per bin of initial angular momentum: whether the change
    is diffusive (its spread growing in proportion to time), ballistic (in proportion
    to its square: a steady drift or trapped stars turning) or done (a wave gone).

    L: angular momenta (n, nt) of n stars at the output times `times` (nt,), increasing
    (model units; times[0] is the start, where dL = L - L[:, 0] is 0). For orbits from
    Model.integrate, L = x vy - y vx. bins as in diffusion, of L[:, 0].

    Returns a structured array, one row per bin: centre, lo, hi, count, and along time
    (each an array of nt values):

    - t: the times; mean, msq, var: <dL>, <dL^2> and var(dL) at each time, with
      bootstrap errors mean_err, msq_err, var_err (as diffusion computes them);
    - msq_rate, var_rate: their slopes d<dL^2>/dt and d var/dt (central differences,
      one-sided at the ends): for diffusion, var_rate is D2;

    and exponent, the slope of ln var against ln(t - times[0]) fitted by least squares
    over the times where var > 0: 1 for a random walk, 2 for ballistic growth.
    Stars with a nan L at any time are left out.
    """
    L = _np.asarray(L, float)
    times = _np.asarray(times, float)
    if L.ndim != 2 or times.ndim != 1 or L.shape[1] != times.size or times.size < 2:
        raise ValueError(f"L, times: expected shapes (n, nt) and (nt,) with nt >= 2, got "
                         f"{L.shape} and {times.shape}")
    if not _np.all(_np.diff(times) > 0):
        raise ValueError("times: expected increasing times")
    L = L[_np.all(_np.isfinite(L), axis=1)]
    dL = L - L[:, :1]
    edges = _bin_edges(L[:, 0], bins)
    which = _bin_of(L[:, 0], edges)
    nt = times.size
    series = ["t", "mean", "mean_err", "msq", "msq_err", "var", "var_err", "msq_rate", "var_rate"]
    out = _np.zeros(len(edges) - 1, dtype=_HISTORY + [(f, "<f8", (nt,)) for f in series]
                    + [("exponent", "<f8")])
    out["lo"], out["hi"] = edges[:-1], edges[1:]
    out["centre"] = 0.5 * (edges[:-1] + edges[1:])
    out["t"] = times
    rng = _np.random.default_rng(seed)
    for i in range(len(out)):
        d = dL[which == i]
        out["count"][i] = len(d)
        if len(d) == 0:
            for f in series[1:] + ["exponent"]:
                out[f][i] = _np.nan
            continue
        out["mean"][i], out["msq"][i], out["var"][i] = d.mean(0), (d * d).mean(0), d.var(0)
        if nboot > 0:
            # one resampling at a time: (nboot, count, nt) at once would not fit in memory
            picks = rng.integers(0, len(d), size=(int(nboot), len(d)))
            m1 = _np.empty((int(nboot), nt))
            m2 = _np.empty((int(nboot), nt))
            for b in range(int(nboot)):
                s = d[picks[b]]
                m1[b], m2[b] = s.mean(0), (s * s).mean(0)
            out["mean_err"][i] = m1.std(0)
            out["msq_err"][i] = m2.std(0)
            out["var_err"][i] = (m2 - m1 * m1).std(0)
        else:
            out["mean_err"][i] = out["msq_err"][i] = out["var_err"][i] = _np.nan
        out["msq_rate"][i] = _np.gradient(out["msq"][i], times)
        out["var_rate"][i] = _np.gradient(out["var"][i], times)
        use = (times > times[0]) & (out["var"][i] > 0)
        if use.sum() >= 2:
            out["exponent"][i] = _np.polyfit(_np.log(times[use] - times[0]),
                                             _np.log(out["var"][i][use]), 1)[0]
        else:
            out["exponent"][i] = _np.nan
    return out


# ---- churning and blurring

Survey = _namedtuple("Survey", "initial final phases t")


@_keywords
def survey(model, n=None, *, t=None, method="dop853", tol=None, threads=None, progress=None):
    """A survey's stars with their full states: the model's first n stars (default
    nstars) drawn as orbmigrate draws them, integrated from 0 to t (default model.tmax,
    finite), by default in the fast mode (method='dop853' at tol). Returns
    Survey(initial, final, phases, t): states (n, 4) x, y, vx, vy, the phases drawn per
    star (randp0 = 1) or None, and the time (n,) each final state is at (exactly t for
    'dop853'; for 'bs' within 1e-4 of t, where the program's path ends). With
    method='bs' and t default, the survey program's integration: the final angular
    momenta are orbkit.migrate's L0 + dL bit for bit. The exact orbit quantities of both
    ends (eccentricity, radial action, guiding radius) are model.actions(s.initial) and
    model.actions(s.final), which churning() takes."""
    initial, phases = _drawn(model, n)
    t = model.tmax if t is None else _checks.time_value(t, "t")
    orbits, reached = model.integrate(initial, _np.array([t]), phases=phases, threads=threads,
                                      method=method, tol=tol, exact=False, with_times=True,
                                      progress=progress)
    return Survey(initial, orbits[:, -1], phases, reached[:, -1])


@_keywords
def guiding_radius(model, L):
    """Guiding-centre radius of angular momentum L: the circular orbit with the same L,
    v_c(R_g) R_g = L, that is R_g = L^(1 / (1 + gamma_)). nan for L <= 0."""
    L = _real(L, "L", "an angular momentum in model units (R0 v0)")
    with _np.errstate(invalid="ignore", divide="ignore"):
        return _np.where(L > 0, _np.abs(L) ** (1.0 / (1.0 + model.gamma_)), _np.nan)


_CHURNING = ["L0", "L1", "dL", "e0", "e1", "de", "Rg0", "Rg1", "dRg", "r0", "r1", "dr", "blur",
             "E0", "E1", "dE", "J_R0", "J_R1", "dJ_R"]


@_keywords
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
    a, b = _states(initial, "initial"), _states(final, "final")
    _checks.refuse_units(t0, "t0", "time")
    _checks.refuse_units(t1, "t1", "time")
    if a.shape != b.shape:
        raise ValueError(f"initial and final: shapes {a.shape} and {b.shape}")
    ph = _phases(phases, len(a), model.npatterns)
    out = _np.zeros(len(a), dtype=[(n, "<f8") for n in _CHURNING])
    for s, t, k in ((a, t0, "0"), (b, t1, "1")):
        t = _np.broadcast_to(_np.asarray(t, dtype=_np.float64), (len(s),))
        q = model.record(s, t, ph)
        act = model.actions(s)
        out["L" + k], out["r" + k] = q["L"], q["r"]
        out["e" + k], out["Rg" + k], out["J_R" + k] = act["e"], act["R_g"], act["J_R"]
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
    pats = model.patterns
    for i in range(len(s)):
        for k, p in enumerate(pats):
            p["phi0"] = _np.degrees(phases[i, k])
        out[i] = model.replace(patterns=pats).potential(s[i, 0], s[i, 1], t[i])
    return out


# ---- trapping at corotation

def _times_of(times, shape):
    times = _real(times, "times", "time")
    if times.ndim == 1:
        times = _np.broadcast_to(times, shape)
    if times.shape != shape:
        raise ValueError(f"times: expected shape {shape[-1:]} or {shape}, got {times.shape}")
    return times


@_keywords
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
    _checks.pattern(pattern, model.npatterns)
    o = _real(orbits, "orbits", "state")
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


def _short_wave_warning(model, pattern, t):
    """Warns when the pattern's wave acts, inside the output times t, for less than one
    small libration period at its corotation: no star can librate there."""
    rows, members = _waves(model)
    row = next((r for r, w in zip(rows, members) if pattern - 1 in w), None)
    if row is None or t.size == 0:
        return
    finite = t[_np.isfinite(t)]
    if finite.size == 0:
        return
    acts = min(row["end"], finite.max()) - max(row["start"], finite.min())
    if acts < row["T_lib"]:  # nan (no corotation) compares false: no warning
        two = _orbkit.twopi
        _warnings.warn(f"pattern {pattern}: its wave acts for {max(acts, 0.0) / two:.3g} orbits "
                       f"of the output times, less than one libration period at its corotation "
                       f"(r = {row['R_CR']:.3g}: {row['T_lib'] / two:.3g} orbits for small swings, "
                       f"longer for larger ones); no star can complete a libration there, so "
                       f"trapped stars show as circulating", RuntimeWarning, stacklevel=3)


@_keywords
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

    A wave that acts, within the output times (and window), for less than one libration
    period at its corotation (waves(model)'s T_lib, the small-swing period) cannot show
    a star librating: a RuntimeWarning says so, with both times.
    """
    psi = pattern_angle(model, orbits, times, pattern=pattern, guiding=guiding)
    t = _times_of(times, psi.shape)
    if window is not None:
        lo, hi = window
        keep = (t[0] >= lo) & (t[0] <= hi)
        psi, t = psi[:, keep], t[:, keep]
    _short_wave_warning(model, pattern, t)
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
