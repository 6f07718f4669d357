"""Exact orbit quantities in the axisymmetric background (Model.actions) and an
equilibrium disc drawn from a distribution function (Model.draw_df).

Both hold for any rotation curve v_c = r^gamma_ (gamma_ > -1; gamma_ = 0 the logarithmic
potential); formulas and sources in docs/model.rst."""

import warnings as _warnings

import numpy as _np

from . import _orbkit
from ._orbkit import IntegrationWarning as _IntegrationWarning

ACTION_FIELDS = ("L", "E", "J_R", "r_peri", "r_apo", "e", "R_g", "Omega_R", "theta_R")

# why a row of _orbkit._actions is nan, by the compiled status code
_REASONS = {
    1: "a coordinate is nan or infinite",
    2: "unbound (E >= 0 with gamma_ < 0: no apocentre)",
    3: "the orbit crosses the centre (L = 0)",
    4: "gamma_ <= -1: no stable circular orbit",
    5: "the radial quadrature did not settle (eccentricity near 1)",
}


def _reasons_warning(status, what):
    bad = status != 0
    if not bad.any():
        return
    parts = []
    for code, text in _REASONS.items():
        count = int((status == code).sum())
        if count:
            first = int(_np.flatnonzero(status == code)[0])
            parts.append(f"{count} {text} (first: star {first})")
    _warnings.warn(f"{what}: {int(bad.sum())} of {status.size} stars are nan: " + "; ".join(parts),
                   _IntegrationWarning, stacklevel=3)


def _flat_states(states):
    from . import _refuse_quantity
    _refuse_quantity(states, "states", "state")
    if isinstance(states, _np.ndarray) and states.dtype != _np.float64:
        raise ValueError(f"states: expected float64 values, got dtype {states.dtype}")
    states = _np.asarray(states, dtype=_np.float64)
    if states.ndim < 1 or states.shape[-1] != 4:
        raise ValueError("states: expected an array whose last axis holds x, y, vx, vy; "
                         f"got shape {states.shape}")
    return _np.ascontiguousarray(states.reshape(-1, 4)), states.shape[:-1]


def actions(self, states, *, threads=None):
    """Exact orbit quantities of states (..., 4) in the model's axisymmetric background
    (the patterns left out), for any gamma_ > -1: a structured array of shape
    states.shape[:-1] with fields

    - L: angular momentum x vy - y vx; E: energy v^2/2 + Phi0(r);
    - J_R: the radial action (1/pi) int p_r dr between the turning points;
    - r_peri, r_apo: the turning points; e = (r_apo - r_peri) / (r_apo + r_peri);
    - R_g: guiding radius, the circular orbit of the same |L| (|L| = R_g^(1 + gamma_));
    - Omega_R: radial frequency 2 pi / T_R; theta_R: radial angle in [0, 2 pi), 0 at
      pericentre and pi at apocentre, advancing at Omega_R.

    These are constants of the motion (theta_R aside) in the background alone, unlike
    the record line's J, e and theta1, which are epicyclic estimates (exact only in the
    limit e -> 0 and, for J, only for gamma_ = 0 to O(e^4)). A circular orbit has J_R = e
    = 0, Omega_R = kappa(R_g) and theta_R = 0. A star with no such orbit (unbound, L = 0,
    non-finite) gets nan in every field but those that exist, with one
    IntegrationWarning per call counting each reason. Computed in the compiled core on
    `threads` threads (default all).
    """
    flat, shape = _flat_states(states)
    values, status = _orbkit._actions(self, flat, threads)
    _reasons_warning(status, "Model.actions")
    out = _np.empty(len(flat), dtype=[(n, "<f8") for n in ACTION_FIELDS])
    for i, n in enumerate(ACTION_FIELDS):
        out[n] = values[:, i]
    return out.reshape(shape)
