"""orbkit.Model: the one Python class of a model, holding the compiled one (_orbkit._Model,
python/model.cpp). Every method has its own signature, docstring and the shared checks of
_checks.py; what needs C++ is a call on self._c.

A method that needs the compiled core calls it as self._c.NAME(...); a new one is added
to the class body below (or to a mixin class it lists) with @keywords."""

import inspect as _inspect
import math as _math

import numpy as _np

from . import _actions, _checks
from ._checks import keywords
from ._orbkit import _Model, _field_docs, _model_doc, pattern_names, scalar_names

__all__ = ["Model", "record_names"]

# Columns of a record line before the per-pattern ones, as the files' headers name them.
_RECORD_LEAD = ("r", "phi", "u", "v", "L", "J", "e", "theta1", "KE", "p0")
_FIELDS = tuple(n for n in scalar_names if n != "npatterns") + ("npatterns", "patterns")


def record_names(npatterns):
    """Names of the record-line quantities of a model with npatterns patterns."""
    names = list(_RECORD_LEAD)
    for k in range(1, npatterns + 1):
        names += [f"p{k}", f"f{k}"]
    return names


def _literal(value):
    """value as Python source that evaluates to it: inf and nan as float('inf'), ..."""
    if isinstance(value, float) and not _math.isfinite(value):
        return f"float('{value}')"
    if isinstance(value, dict):
        return "{" + ", ".join(f"{k!r}: {_literal(v)}" for k, v in value.items()) + "}"
    if isinstance(value, list):
        return "[" + ", ".join(_literal(v) for v in value) + "]"
    return repr(value)


def _wrap(compiled):
    model = Model.__new__(Model)
    model._c = compiled
    return model


def _restore(values, source):
    """A model from the values it was pickled with (checked when it was made)."""
    return _wrap(_Model._restore(values, source))


def _states_and_times(states, t, phases=None, npatterns=0):
    states = _checks.state_grid(states)
    _checks.float64(t, "t", "time")
    shape = states.shape[:-1]
    try:
        t = _np.broadcast_to(_np.asarray(t, dtype=_np.float64), shape)
    except ValueError:
        raise ValueError(f"t: shape {_np.shape(t)} does not match states of shape "
                         f"{states.shape}") from None
    if phases is not None:
        _checks.float64(phases, "phases", "radians")
        phases = _np.asarray(phases, dtype=_np.float64)
        try:
            phases = _np.broadcast_to(phases.reshape(phases.shape[:-1] + (1,) * (
                len(shape) - phases.ndim + 1) + phases.shape[-1:]) if phases.ndim else phases,
                shape + (npatterns,))
        except ValueError:
            raise ValueError(f"phases: shape {phases.shape} does not match states of shape "
                             f"{states.shape} and {npatterns} patterns") from None
        phases = _np.ascontiguousarray(phases).reshape(-1, npatterns)
    return states.reshape(-1, 4), _np.ascontiguousarray(t).reshape(-1), shape, phases


def _count(states):
    shape = _np.shape(states)
    return 1 if len(shape) == 1 else (shape[0] if shape else 0)


class Model:
    __doc__ = _model_doc

    def __init__(self, **fields):
        for name in fields:
            if name not in _FIELDS:
                raise _checks.unknown_keyword("Model", name, list(_FIELDS))
        patterns = fields.get("patterns", ())
        if isinstance(patterns, (list, tuple)):
            for k, pattern in enumerate(patterns):
                for name in (pattern if isinstance(pattern, dict) else ()):
                    if name not in pattern_names:
                        hint = _checks.did_you_mean(name, pattern_names)
                        raise TypeError(f"patterns[{k}]: unknown field {name!r}{hint} (a pattern's "
                                        f"fields: {', '.join(pattern_names)})")
        self._c = _Model(**fields)

    # ---- a value: compared, hashed, pickled, copied, shown by its fields

    @staticmethod
    @keywords
    def read(path):
        """The model of a setup file, read exactly as the programs read it. SetupError (with
        their 'path:line: ...' message) for a setup they refuse, SetupWarning for each of
        their warnings, OSError for a file that cannot be read."""
        return _wrap(_Model.read(path))

    @keywords
    def write(self, path):
        """Writes the model as a setup file that reads back to the same values, bit for bit."""
        self._c.write(path)

    def to_dict(self):
        """The fields as Model() takes them: every scalar field and 'patterns', a list of dicts."""
        return self._c.to_dict()

    def replace(self, **fields):
        """A new model: this one's fields with those given changed (patterns: the whole list).
        The reader's checks run on the result."""
        values = self.to_dict()
        values.pop("npatterns")
        values.update(fields)
        return Model(**values)

    def __eq__(self, other):
        """Same values (NaN equals NaN); False for anything that is not a Model."""
        return isinstance(other, Model) and self._c == other._c

    def __hash__(self):
        """A hash by value: equal models hash alike."""
        return hash(self._c)

    def __reduce__(self):
        return _restore, (self._c.to_dict(), self._c.source or "")

    def __copy__(self):
        """A copy (a Model is immutable)."""
        return self

    def __deepcopy__(self, memo):
        """A copy (a Model is immutable)."""
        return self

    def __repr__(self):
        """orbkit.Model(...) with every field, which eval gives back (inf and nan too)."""
        values = self.to_dict()
        values.pop("npatterns")  # implied by the list of patterns
        return "orbkit.Model(" + ", ".join(f"{k}={_literal(v)}" for k, v in values.items()) + ")"

    @property
    def source(self):
        """The setup file the model was read from, or None."""
        return self._c.source

    @property
    def patterns(self):
        """The patterns' fields, one dict per pattern (file units)."""
        return self._c.patterns

    @property
    def tmax(self):
        """The surveys' end, nsteps x dt_int, in model time units."""
        return self._c.tmax

    # ---- times and draws

    def times(self):
        """The orbit files' output times, model units: 0, dt_int, 2 dt_int, ... (a running
        sum), nsteps + 1 of them."""
        return self._c.times()

    def spread_times(self):
        """The spread ensemble's output times, model units: dt_int, 2 dt_int, ... up to
        (nsteps + 1) dt_int."""
        return self._c.spread_times()

    @keywords
    def draw(self, n=None):
        """The initial states x, y, vx, vy of the first n stars a survey draws (n = nstars when
        None), as an (n, 4) array, whatever randp0. With randp0 = 1 each star is drawn with
        phases of its own: draw_phases(n) gives them."""
        return self._c.draw(n)

    @keywords
    def draw_phases(self, n=None):
        """The pattern phases phi0 (radians) the first n stars a survey draws are drawn with, an
        (n, npatterns) array: the model's own phases, and with randp0 = 1 fresh ones for
        patterns 2, 3, ... of every star. Pass them as integrate(..., phases=...)."""
        return self._c.draw_phases(n)

    # ---- orbits

    @keywords
    def integrate(self, states, times, t0=0.0, *, phases=None, threads=None, with_times=False,
                  method="dop853", tol=None, exact=True, progress=None):
        """Follows states (n, 4) or one state (4,), x, y, vx, vy at time t0, through the output
        times (model units, 2 pi per orbit; any order, before or after t0) and returns the
        states there: (n, len(times), 4), or (len(times), 4) for one state.

        method='dop853' (default) is the fast mode: the eighth-order method at tolerance tol
        (default 1e-13), its bits the same on every machine; every row is at exactly the
        time asked for. method='bs' follows the programs' path (Bulirsch-Stoer at 1e-14):
        it reaches each output time within 1e-4 and a copy is landed on it for the row, the
        path going on unchanged; exact=False gives the states the path reached instead.
        The programs' digits (the orbit files' rows) are method='bs', exact=False
        (with_times=True tells the times of those rows).

        phases: (n, npatterns) radians per star (see draw_phases); without them every star
        moves in the model's own phases (a warning for a randp0 = 1 model).
        threads: how many (None: OpenMP's default; at most orbkit.max_threads); a call
        with a few stars over a short time runs on the calling thread.
        progress: None shows a bar (tqdm) on a terminal or in a notebook once the call has
        run for a few seconds; True always, False never.
        Times and t0 must be finite (ValueError). A star whose state holds nan or inf is
        not integrated; a failed star's rows from the failure on are nan; one
        IntegrationWarning per call counts them and says why. Ctrl-C stops the call with
        KeyboardInterrupt.
        """
        with _checks.progress_bar(progress, lambda: _count(states), "integrate") as bar:
            return self._c.integrate(states, times, t0, phases, threads, with_times, method, tol,
                                     exact, bar)

    # ---- the potential and the frequencies

    @keywords
    def potential(self, x, y, t=0.0):
        """Total potential at (x, y) and time t (model units), the patterns at their grown
        amplitudes; broadcasts as numpy does."""
        _checks.refuse_units(x, "x", "length")
        _checks.refuse_units(y, "y", "length")
        _checks.refuse_units(t, "t", "time")
        return self._c.potential(x, y, t)

    @keywords
    def force(self, x, y, t=0.0):
        """Force per unit mass (-dPhi/dx, -dPhi/dy) at (x, y) and time t, the patterns at
        their grown amplitudes: the field the integrator follows."""
        _checks.refuse_units(x, "x", "length")
        _checks.refuse_units(y, "y", "length")
        _checks.refuse_units(t, "t", "time")
        return self._c.force_x(x, y, t), self._c.force_y(x, y, t)

    @keywords
    def vc(self, r):
        """Circular speed of the background at radius r (model units): v_c = r^gamma_."""
        _checks.refuse_units(r, "r", "length")
        return self._c.vc(r)

    @keywords
    def omega(self, r):
        """Circular angular speed v_c / r at radius r (model units)."""
        _checks.refuse_units(r, "r", "length")
        return self._c.omega(r)

    @keywords
    def kappa(self, r):
        """Epicycle frequency kappa = sqrt(2 (1 + gamma_)) Omega at radius r (model units)."""
        _checks.refuse_units(r, "r", "length")
        return self._c.kappa(r)

    @keywords
    def growth(self, pattern, t):
        """Growth factor of a pattern (1 for the first) at times t (model units): 0 before its
        starttime, rising linearly over its growtime, then 1; the force's patterns are at
        epsilon times this."""
        _checks.refuse_units(t, "t", "time")
        return self._c.growth(pattern, t)

    @keywords
    def resonances(self, pattern=1):
        """Corotation and inner and outer Lindblad radii of a pattern (1 for the first): the
        roots of Omega = Omega_p (CR), Omega - kappa/m = Omega_p (ILR) and
        Omega + kappa/m = Omega_p (OLR) for Omega(r) = r^(gamma_ - 1), for any m and either
        sense of Omega_p. Omega is monotonic, so each has at most one root; one that does
        not exist is nan (for Omega_p <= 0: no CR, and the ILR only where m < q = kappa/Omega,
        as for m = 1, where Omega - kappa = Omega_p < 0 has its root)."""
        _checks.pattern(pattern, self.npatterns)
        g = self.gamma_
        p = self.patterns[pattern - 1]
        m, omegas = p["mm"], p["Omegas"]

        def where(omega):
            # Omega(r) = r^(gamma_ - 1) > 0 takes each positive value at one radius
            if not 0.0 < omega < float("inf") or g == 1.0:
                return float("nan")
            return omega ** (1.0 / (g - 1.0))

        q = (2.0 * (1.0 + g)) ** 0.5 if g >= -1.0 else float("nan")
        out = {"CR": where(omegas), "ILR": float("nan"), "OLR": float("nan")}
        if m != 0.0 and q == q:
            for kind, factor in (("ILR", 1.0 - q / m), ("OLR", 1.0 + q / m)):
                # Omega (1 -/+ q/m) = Omega_p: none when the factor is 0 (or the root r is every r)
                if factor != 0.0:
                    out[kind] = where(omegas / factor)
        return out

    # ---- exact orbit quantities and an equilibrium disc (_actions.py)

    @keywords
    def actions(self, states, *, threads=None):
        return _actions.actions(self, states, threads=threads)

    @keywords
    def draw_df(self, n, *, df="dehnen", hr=1 / 3, hs=1.0, sigma_r0=0.2, seed=0, threads=None):
        return _actions.draw_df(self, n, df=df, hr=hr, hs=hs, sigma_r0=sigma_r0, seed=seed,
                                threads=threads)

    actions.__doc__ = _actions.actions.__doc__
    draw_df.__doc__ = _actions.draw_df.__doc__

    # ---- the record line's quantities

    def _record_rows(self, states, t, phases):
        """Every record-line quantity and Jacobi energy of states at times t, as rows."""
        flat, tt, shape, ph = _states_and_times(states, t, phases, self.npatterns)
        return self._c.record_rows(flat, tt, ph), shape

    @keywords
    def record(self, states, t=0.0, phases=None):
        """Every record-line quantity of states (..., 4) at times t (model units), as the orbit
        files compute them, at full precision: a structured array of shape states.shape[:-1]
        with fields r, phi, u, v, L, J, e, theta1, KE, p0, p1, f1, p2, f2, ...
        J, e and theta1 are the files' epicyclic estimates, not constants of the motion for
        gamma_ != 0: Model.actions gives the exact radial action, eccentricity and angle.

        For the output of integrate, pass the times the states are at
        (integrate(..., with_times=True)) and, with randp0 = 1, each star's drawn phases
        (shape (n, npatterns), applied along the states' first axis). States and times may
        hold nan (a failed star's rows): their quantities are nan.
        """
        rows, shape = self._record_rows(states, t, phases)
        names = record_names(self.npatterns)
        out = _np.empty(len(rows), dtype=[(n, "<f8") for n in names])
        for i, n in enumerate(names):
            out[n] = rows[:, i]
        return out.reshape(shape)

    @keywords
    def quantity(self, name, states, t=0.0, phases=None):
        """One record-line quantity by name (see record_names), same shape as states[..., 0]."""
        names = record_names(self.npatterns)
        if name not in names:
            raise ValueError(f"{name!r} is not a record-line quantity; the model's are {names}")
        return self.record(states, t, phases)[name]

    @keywords
    def jacobi(self, states, t=0.0, pattern=1, phases=None):
        """Jacobi energy E - Omega_p L of states (..., 4) at times t in pattern `pattern`
        (1 for the first), with that pattern's potential at full amplitude as the record
        line's p1, p2, ... show it."""
        _checks.pattern(pattern, self.npatterns)
        rows, shape = self._record_rows(states, t, phases)
        return rows[:, 10 + 2 * self.npatterns + pattern - 1].reshape(shape)


# Model(**fields) takes the setup's fields by name: its signature lists them, from the one
# table of fields, with their defaults.
Model.__init__.__signature__ = _inspect.Signature(
    [_inspect.Parameter("self", _inspect.Parameter.POSITIONAL_OR_KEYWORD)]
    + [_inspect.Parameter(n, _inspect.Parameter.KEYWORD_ONLY, default=0)
       for n in scalar_names if n != "npatterns"]
    + [_inspect.Parameter("patterns", _inspect.Parameter.KEYWORD_ONLY, default=())])
Model.__init__.__doc__ = _model_doc


def _field(name):
    return property(lambda self: getattr(self._c, name), doc=_field_docs[name])


for _name in scalar_names:
    setattr(Model, _name, _field(_name))
del _name
Model.__module__ = "orbkit"
