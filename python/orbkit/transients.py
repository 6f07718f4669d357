"""A disc's lifetime of transient spirals: many short-lived waves, one after another,
more than one model holds, and a seeded generator of them.

    from orbkit import transients
    base = orbkit.Model.read("examples/transient.setup").replace(patterns=[])
    waves = transients.random_waves(30, gamma_=base.gamma_, radius=(1.5, 3.0), seed=1)
    orbits = transients.integrate(base, waves, states, waves.end)   # after each wave

A transient wave grows linearly from its start to its peak amplitude over half its
lifetime and decays linearly to nothing over the other half. In a model it is two
patterns: the wave, growing over half the lifetime from the start, and a copy with the
opposite amplitude growing from the peak on, which cancels it exactly once grown (the
transient example's pair, docs/model.rst). A model holds orbkit.max_patterns patterns,
so five such waves; the run is cut in time into spans in which at most five waves act,
each span a model of its own, and the stars go from one span to the next through
Model.integrate(..., t0=...). Times are in model units (one orbit at r = 1 is 2 pi).
"""

import math as _math

import numpy as _np

from . import _orbkit

__all__ = ["Waves", "random_waves", "integrate"]

_FIELDS = ("start", "lifetime", "radius", "mm", "epsilon", "alpha", "phase", "width")


class Waves:
    """A sequence of transient waves, one entry per wave in order of start:

    - start, lifetime (model units): the wave acts from start to end = start + lifetime,
      at its peak at start + lifetime / 2;
    - radius: its corotation radius R_CR; its pattern speed is Omegas = Omega(R_CR) =
      R_CR^(gamma_ - 1);
    - mm (arms), epsilon (peak amplitude, speed squared), alpha (coefficient of ln r in
      the phase: > 0 trailing), phase (phi0, radians);
    - width: the radial envelope, a Gaussian of width `width` R_CR about corotation
      (smin = smax = R_CR, wmin = wmax = width R_CR).
    """

    def __init__(self, gamma_, **fields):
        self.gamma_ = float(gamma_)
        n = None
        for name in _FIELDS:
            v = _np.array(fields.pop(name), dtype=float).ravel()
            if n is None:
                n = v.size
            if v.size != n:
                raise ValueError(f"{name}: {v.size} values for {n} waves")
            setattr(self, name, v)
        if fields:
            raise TypeError(f"Waves: unknown fields {sorted(fields)}")
        for name in ("lifetime", "radius", "width"):
            bad = ~(getattr(self, name) > 0) | ~_np.isfinite(getattr(self, name))
            if bad.any():
                raise ValueError(f"{name}: expected positive finite values, got "
                                 f"{getattr(self, name)[bad][0]!r} (wave {int(_np.argmax(bad))})")
        if not _np.all(_np.isfinite(self.start)):
            raise ValueError("start: expected finite times")
        if not self.gamma_ < 1.0:
            raise ValueError(f"gamma_: a corotation radius fixes a pattern speed only for "
                             f"gamma_ < 1, got {self.gamma_}")
        order = _np.argsort(self.start, kind="stable")
        for name in _FIELDS:
            setattr(self, name, getattr(self, name)[order])

    def __len__(self):
        return self.start.size

    @property
    def end(self):
        """When each wave is gone (model units)."""
        return self.start + self.lifetime

    @property
    def Omegas(self):
        """Each wave's pattern speed, Omega(R_CR) = R_CR^(gamma_ - 1)."""
        return self.radius ** (self.gamma_ - 1.0)

    def amplitude(self, t):
        """Net amplitude of every wave at model times t: shape (len(self),) + shape(t);
        a triangle in time rising to epsilon at the middle of the wave's life."""
        t = _np.asarray(t, float)[..., None]
        x = (t - self.start) / self.lifetime
        f = _np.clip(_np.minimum(2 * x, 2 - 2 * x), 0.0, 1.0)
        return _np.moveaxis(self.epsilon * f, -1, 0)

    def patterns(self, i):
        """The two patterns (dicts of a model's pattern fields, times in orbits) that make
        wave i: the wave and the copy that cancels it."""
        half = 0.5 * self.lifetime[i] / _orbkit.twopi
        start = self.start[i] / _orbkit.twopi
        rc = self.radius[i]
        wave = dict(mm=self.mm[i], epsilon=self.epsilon[i], phi0=_math.degrees(self.phase[i]),
                    alpha=self.alpha[i], Omegas=rc ** (self.gamma_ - 1.0), growtime=half,
                    starttime=start, smin=rc, smax=rc, wmin=self.width[i] * rc,
                    wmax=self.width[i] * rc)
        copy = dict(wave, epsilon=-self.epsilon[i], starttime=start + half)
        return [wave, copy]

    def __repr__(self):
        return (f"<Waves: {len(self)} transients from t = {self.start.min():.4g} to "
                f"{self.end.max():.4g}>" if len(self) else "<Waves: none>")


def _draw(what, name, rng, n):
    """n values of a user's distribution: a number (always it), (lo, hi) (uniform), a
    sequence of n values, a scipy.stats distribution (its rvs) or a callable
    f(rng, n) of the numpy Generator."""
    if callable(what):
        v = what(rng, n)
    elif hasattr(what, "rvs"):
        v = what.rvs(size=n, random_state=rng)
    elif _np.ndim(what) == 0:
        v = _np.full(n, float(what))
    elif len(what) == 2 and n != 2:
        lo, hi = float(what[0]), float(what[1])
        if not hi >= lo:
            raise ValueError(f"{name}: expected (lo, hi) with lo <= hi, got {what!r}")
        v = rng.uniform(lo, hi, n)
    else:
        v = what
    v = _np.asarray(v, float).ravel()
    if v.size != n:
        raise ValueError(f"{name}: expected {n} values, got {v.size}")
    return v


def random_waves(n, *, gamma_=0.0, radius=(1.0, 3.0), arms=2, amplitude=0.01,
                 lifetime=8 * _math.pi, gap=0.0, pitch=20.0, width=0.25, t0=0.0, seed=0):
    """A seeded random sequence of n transient waves (Waves).

    Each argument is a distribution: a number (every wave alike), (lo, hi) (uniform),
    n values, a scipy.stats distribution (frozen: its rvs) or a callable f(rng, n)
    taking the numpy Generator. radius: corotation radii; arms: arm counts m (rounded
    to whole numbers: a fractional m cuts the field along the negative x axis);
    amplitude: peak epsilon (speed squared); lifetime (model units; default 4 orbits);
    gap: time from one wave's end to the next one's start (model units; negative values
    overlap them; the first starts at t0); pitch: pitch angle in degrees, tan i = m /
    alpha, trailing; width: the envelope's Gaussian width in units of R_CR. The phases
    are uniform in [0, 2 pi). Every draw comes from numpy's Generator seeded with seed,
    in the order of the arguments above: the same seed gives the same waves.
    """
    n = int(n)
    if n < 0:
        raise ValueError(f"n: expected a count of waves, got {n}")
    rng = _np.random.default_rng(seed)
    rc = _draw(radius, "radius", rng, n)
    m = _np.rint(_draw(arms, "arms", rng, n))
    if _np.any(m < 1):
        raise ValueError("arms: expected arm counts of 1 or more")
    eps = _draw(amplitude, "amplitude", rng, n)
    life = _draw(lifetime, "lifetime", rng, n)
    gaps = _draw(gap, "gap", rng, n)
    pitch = _draw(pitch, "pitch", rng, n)
    if _np.any(~(pitch > 0) | ~(pitch < 90)):
        raise ValueError("pitch: expected angles between 0 and 90 degrees")
    wid = _draw(width, "width", rng, n)
    phase = rng.uniform(0.0, 2 * _np.pi, n)
    # each wave starts `gap` after the previous one ends
    start = float(t0) + _np.concatenate([[0.0], _np.cumsum(life + gaps)[:-1]]) if n else _np.zeros(0)
    return Waves(gamma_, start=start, lifetime=life, radius=rc, mm=m, epsilon=eps,
                 alpha=m / _np.tan(_np.radians(pitch)), phase=phase, width=wid)


def _spans(waves, t0, t1, most):
    """Cuts [t0, t1] into spans, each with the waves that act in it, at most `most` of
    them: [(a, b, [wave indices])]. A cut falls where a wave starts or ends."""
    edges = _np.unique(_np.concatenate([[t0, t1], waves.start, waves.end]))
    edges = edges[(edges >= t0) & (edges <= t1)]
    spans = []
    a, active = edges[0], set()
    for lo, hi in zip(edges[:-1], edges[1:]):
        here = {i for i in range(len(waves)) if waves.start[i] < hi and waves.end[i] > lo}
        if len(here) > most:
            raise ValueError(f"{len(here)} waves act at once between t = {lo:.6g} and {hi:.6g}; "
                             f"a model holds {most}")
        if len(active | here) > most:
            spans.append((a, lo, sorted(active)))
            a, active = lo, set()
        active |= here
    spans.append((a, edges[-1], sorted(active)))
    return spans


def integrate(model, waves, states, times, *, t0=0.0, **how):
    """Follows stars through a sequence of transient waves: states (n, 4), x, y, vx, vy
    at time t0, in the background of `model` (its patterns are replaced by the waves')
    to the output times `times` (increasing, from t0 on; model units). Returns the
    states there, (n, len(times), 4), as Model.integrate does.

    The run is cut into spans in which at most orbkit.max_patterns // 2 waves act (cuts
    where waves start or end); each span is a model of its own, and the stars cross
    from one to the next at the cut. **how goes to Model.integrate (method, tol,
    threads). A star that fails is nan from then on, with Model.integrate's warning.
    """
    times = _np.asarray(times, float)
    states = _np.asarray(states, float)
    if times.ndim != 1 or (times.size and (times[0] < t0 or _np.any(_np.diff(times) <= 0))):
        raise ValueError("times: expected increasing times from t0 on")
    if states.ndim != 2 or states.shape[1] != 4:
        raise ValueError(f"states: expected shape (n, 4), got {states.shape}")
    out = _np.full((len(states), times.size, 4), _np.nan)
    if times.size == 0:
        return out
    base = model.replace(patterns=[], randp0=0)
    now = states.copy()
    for a, b, which in _spans(waves, float(t0), float(times[-1]), _orbkit.max_patterns // 2):
        pats = [p for i in which for p in waves.patterns(i)]
        span = base.replace(patterns=pats) if pats else base
        k = (times > a) & (times <= b) if a > t0 else (times >= a) & (times <= b)
        at = times[k]
        stops = at if at.size and at[-1] == b else _np.append(at, b)
        ok = _np.all(_np.isfinite(now), axis=1)
        rows = _np.full((len(now), stops.size, 4), _np.nan)
        if ok.any():
            rows[ok] = span.integrate(now[ok], stops, t0=a, **how)
        out[:, k] = rows[:, :at.size]
        now = rows[:, -1]
    return out
