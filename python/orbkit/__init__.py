"""orbkit: test-star orbits in a spiral galactic disc, the programs' exact numbers in numpy.

    import orbkit
    model = orbkit.Model.read("examples/migrate.setup")   # exactly as the programs read it
    table = orbkit.migrate(model)                          # the .lxy table at full precision
    states = model.draw(10)                                # (10, 4): x, y, vx, vy
    orbits = model.integrate(states, model.times())        # (10, nsteps + 1, 4)

Times given to and returned by the model are in model time units (one orbit at r = 1 is
2 pi); the setup's own fields keep the file's units (dt_int, growtime, starttime in orbits,
phi0 in degrees). Phases drawn per star (randp0 = 1, Model.draw_phases) are in radians.
Quantities with units (astropy) are refused with a TypeError that says which model units are
expected: convert them first. Coming from galpy: see docs/galpy.md.

Warnings: SetupWarning (the setup reader's warnings, in its words) and IntegrationWarning
(failed stars, one per call, with the cause and the remedy; phases not given), both
RuntimeWarning.
"""

import inspect as _inspect

import numpy as _np

from ._orbkit import (IntegrationWarning, Model, SetupError, SetupWarning, __version__,  # noqa: F401
                      ensemble_capacity, max_patterns, max_threads, migrate, pattern_names,
                      scalar_names, spread, twin, twin_offset, twopi, _refuse_quantity)

__all__ = ["Model", "SetupError", "SetupWarning", "IntegrationWarning", "migrate", "twin", "spread",
           "read", "record_names", "__version__"]


# ---- the Model's Python surface: signatures, quantities refused, replace

_compiled_init = Model.__init__


def _init(self, **fields):
    _compiled_init(self, **fields)


# Model(**fields) takes the setup's fields by name: its signature lists them, from the
# one table of fields, with their defaults.
_init.__signature__ = _inspect.Signature(
    [_inspect.Parameter("self", _inspect.Parameter.POSITIONAL_OR_KEYWORD)]
    + [_inspect.Parameter(n, _inspect.Parameter.KEYWORD_ONLY, default=0)
       for n in scalar_names if n != "npatterns"]
    + [_inspect.Parameter("patterns", _inspect.Parameter.KEYWORD_ONLY, default=())])
_init.__doc__ = Model.__doc__
_init.__qualname__ = "Model.__init__"
Model.__init__ = _init


def _replace(self, **fields):
    """A new model: this one's fields with those given changed (patterns: the whole list).
    The reader's checks run on the result."""
    values = self.to_dict()
    values.pop("npatterns")
    values.update(fields)
    return Model(**values)


def _potential(self, x, y, t=0.0):
    """Total potential at (x, y) and time t (model units), the patterns at their grown
    amplitudes; broadcasts as numpy does."""
    _refuse_quantity(x, "x", "length")
    _refuse_quantity(y, "y", "length")
    _refuse_quantity(t, "t", "time")
    return self._potential(x, y, t)


def _vc(self, r):
    """Circular speed of the background at radius r (model units): v_c = r^gamma_."""
    _refuse_quantity(r, "r", "length")
    return self._vc(r)


def _omega(self, r):
    """Circular angular speed v_c / r at radius r (model units)."""
    _refuse_quantity(r, "r", "length")
    return self._omega(r)


def _kappa(self, r):
    """Epicycle frequency kappa = sqrt(2 (1 + gamma_)) Omega at radius r (model units)."""
    _refuse_quantity(r, "r", "length")
    return self._kappa(r)


_compiled_growth = Model.growth


def _growth(self, pattern, t):
    """Growth factor of a pattern (1 for the first) at times t (model units): 0 before its
    starttime, rising linearly over its growtime, then 1."""
    _refuse_quantity(t, "t", "time")
    return _compiled_growth(self, pattern, t)


Model.growth = _growth
Model.replace = _replace
Model.potential = _potential
Model.vc = _vc
Model.omega = _omega
Model.kappa = _kappa

# Columns of a record line before the per-pattern ones, as the files' headers name them.
_RECORD_LEAD = ("r", "phi", "u", "v", "L", "J", "e", "theta1", "KE", "p0")


def record_names(npatterns):
    """Names of the record-line quantities of a model with npatterns patterns."""
    names = list(_RECORD_LEAD)
    for k in range(1, npatterns + 1):
        names += [f"p{k}", f"f{k}"]
    return names


def _states_and_times(states, t, phases=None, npatterns=0):
    _refuse_quantity(states, "states", "state")
    _refuse_quantity(t, "t", "time")
    if isinstance(states, _np.ndarray) and states.dtype != _np.float64:
        raise ValueError(f"states: expected float64 values, got dtype {states.dtype}")
    states = _np.asarray(states, dtype=_np.float64)
    if states.ndim < 1 or states.shape[-1] != 4:
        raise ValueError("states: expected an array whose last axis holds x, y, vx, vy; "
                         f"got shape {states.shape}")
    if isinstance(t, _np.ndarray) and t.dtype != _np.float64:
        raise ValueError(f"t: expected float64 values, got dtype {t.dtype}")
    shape = states.shape[:-1]
    try:
        t = _np.broadcast_to(_np.asarray(t, dtype=_np.float64), shape)
    except ValueError:
        raise ValueError(f"t: shape {_np.shape(t)} does not match states of shape "
                         f"{states.shape}") from None
    if phases is not None:
        if isinstance(phases, _np.ndarray) and phases.dtype != _np.float64:
            raise ValueError(f"phases: expected float64 values, got dtype {phases.dtype}")
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


def _record_rows(self, states, t, phases):
    flat, tt, shape, ph = _states_and_times(states, t, phases, self.npatterns)
    return self._record_rows(flat, tt, ph), shape


def _record(self, states, t=0.0, phases=None):
    """Every record-line quantity of states (..., 4) at times t (model units), as the orbit
    files compute them, at full precision: a structured array of shape states.shape[:-1]
    with fields r, phi, u, v, L, J, e, theta1, KE, p0, p1, f1, p2, f2, ...
    J, e and theta1 are the files' epicyclic estimates, not constants of the motion for
    gamma_ != 0: Model.actions gives the exact radial action, eccentricity and angle.

    For the output of integrate, pass the times the states are at
    (integrate(..., with_times=True)) and, with randp0 = 1, each star's drawn phases
    (shape (n, npatterns), applied along the states' first axis).
    """
    rows, shape = _record_rows(self, states, t, phases)
    names = record_names(self.npatterns)
    out = _np.empty(len(rows), dtype=[(n, "<f8") for n in names])
    for i, n in enumerate(names):
        out[n] = rows[:, i]
    return out.reshape(shape)


def _quantity(self, name, states, t=0.0, phases=None):
    """One record-line quantity by name (see record_names), same shape as states[..., 0]."""
    names = record_names(self.npatterns)
    if name not in names:
        raise ValueError(f"{name!r} is not a record-line quantity; the model's are {names}")
    return _record(self, states, t, phases)[name]


def _jacobi(self, states, t=0.0, pattern=1, phases=None):
    """Jacobi energy E - Omega_p L of states (..., 4) at times t in pattern `pattern`
    (1 for the first), with that pattern's potential at full amplitude as the record
    line's p1, p2, ... show it."""
    if not 1 <= pattern <= self.npatterns:
        raise ValueError(f"pattern: expected 1 .. {self.npatterns}, got {pattern}")
    rows, shape = _record_rows(self, states, t, phases)
    return rows[:, 10 + 2 * self.npatterns + pattern - 1].reshape(shape)


def _force(self, x, y, t=0.0):
    """Force per unit mass (-dPhi/dx, -dPhi/dy) at (x, y) and time t, the patterns at
    their grown amplitudes: the field the integrator follows."""
    _refuse_quantity(x, "x", "length")
    _refuse_quantity(y, "y", "length")
    _refuse_quantity(t, "t", "time")
    return self._force_x(x, y, t), self._force_y(x, y, t)


def _resonances(self, pattern=1):
    """Corotation and inner and outer Lindblad radii of a pattern (1 for the first): the
    roots of Omega = Omega_p (CR), Omega - kappa/m = Omega_p (ILR) and
    Omega + kappa/m = Omega_p (OLR) for Omega(r) = r^(gamma_ - 1), for any m and either
    sense of Omega_p. Omega is monotonic, so each has at most one root; one that does
    not exist is nan (for Omega_p <= 0: no CR, and the ILR only where m < q = kappa/Omega,
    as for m = 1, where Omega - kappa = Omega_p < 0 has its root)."""
    if not 1 <= pattern <= self.npatterns:
        raise ValueError(f"pattern: expected 1 .. {self.npatterns}, got {pattern}")
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


Model.record = _record
Model.quantity = _quantity
Model.jacobi = _jacobi
Model.force = _force
Model.resonances = _resonances


# ---- output files

_TABLES = {
    ".lxy": ("L0", "dL", "x", "y"),
    ".rx": ("L0", "L1", "L2"),
    ".l": ("t", "rmax", "lsig", "lmax"),
}
_ORBIT_LEAD = ("t", "x", "y", "vx", "vy") + _RECORD_LEAD           # .bb, .xb: t in model units
_INDEXED_LEAD = ("i", "to", "x", "y", "vx", "vy") + _RECORD_LEAD    # .x: to in orbits


def read(path, npatterns=None):
    """Any of the programs' output files as a numpy structured array with named columns:
    .lxy (L0, dL, x, y), .rx (L0, L1, L2), .l (t in orbits, rmax, lsig, lmax), orbit files
    .bb/.xb (t, x, y, vx, vy, r, phi, u, v, L, J, e, theta1, KE, p0, p1, f1, ...) and the
    ensemble's .x (i, to, x, ...; its blocks one after the other, 'to' in orbits).

    The record files' width follows from npatterns, the model's number of patterns, when it
    is given, else from their first row. A row that does not fit raises ValueError naming
    the file and line."""
    path = str(path)
    ext = "." + path.rsplit(".", 1)[-1] if "." in path else ""
    with open(path, errors="replace") as f:  # a stray byte is then a value that does not convert
        rows = [(lineno, line.split()) for lineno, line in enumerate(f, start=1)
                if line.strip() and not line.startswith("#")]
    if ext in _TABLES:
        names = _TABLES[ext]
    elif ext in (".bb", ".xb", ".x"):
        lead = _INDEXED_LEAD if ext == ".x" else _ORBIT_LEAD
        if npatterns is not None:
            width = len(lead) + 2 * npatterns
        else:
            width = len(rows[0][1]) if rows else len(lead)
            if width < len(lead) or (width - len(lead)) % 2:
                raise ValueError(f"{path}:{rows[0][0]}: {width} columns is not a record line")
        names = lead + tuple(f"{c}{k}" for k in range(1, (width - len(lead)) // 2 + 1)
                             for c in ("p", "f"))
    else:
        raise ValueError(f"{path}: not an orbkit output file (.lxy, .rx, .bb, .xb, .x, .l)")
    dtype = [(n, "<i8" if n == "i" else "<f8") for n in names]
    out = _np.empty(len(rows), dtype=dtype)
    for row, (lineno, fields) in enumerate(rows):
        if len(fields) != len(names):
            raise ValueError(f"{path}:{lineno}: expected {len(names)} values ({' '.join(names)}), "
                             f"got {len(fields)}")
        try:
            out[row] = tuple(int(v) if n == "i" else float(v) for n, v in zip(names, fields))
        except ValueError:
            bad = next(v for n, v in zip(names, fields) if not _is_number(v, int if n == "i" else float))
            raise ValueError(f"{path}:{lineno}: expected a number, got '{bad}'") from None
    return out


def _is_number(text, kind):
    try:
        kind(text)
        return True
    except ValueError:
        return False


from . import analysis  # noqa: E402,F401  (orbkit.analysis)
from . import _actions  # noqa: E402  (Model.actions, Model.draw_df)
Model.actions = _actions.actions
Model.draw_df = _actions.draw_df
