"""Exact orbit quantities in the axisymmetric background (Model.actions) and an
equilibrium disc drawn from a distribution function (Model.draw_df).

Both hold for any rotation curve v_c = r^gamma_ (gamma_ > -1; gamma_ = 0 the logarithmic
potential); formulas and sources in docs/model.rst."""

import warnings as _warnings

import numpy as _np

from . import _orbkit
from ._checks import state_grid as _state_grid
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
    states = _state_grid(states)
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
    values, status = _orbkit._actions(self._c, flat, threads)
    _reasons_warning(status, "Model.actions")
    out = _np.empty(len(flat), dtype=[(n, "<f8") for n in ACTION_FIELDS])
    for i, n in enumerate(ACTION_FIELDS):
        out[n] = values[:, i]
    return out.reshape(shape)


# ---- an equilibrium disc

_DFS = ("dehnen", "shu")
# How far from circular a proposal may be in the scale-free measure xi of each
# distribution function (Shu: xi = (E - E_c(L)) / v_c^2(R_L); Dehnen: xi = (L_c(E) - L) /
# L_c(E)). Beyond, the orbit is nearly radial (or unbound) and is left out with a warning.
_XI_CAP = {"shu": 2.0, "dehnen": 0.95}
_BINS = 32                 # bins in xi of the envelope of the weight
_BOUND_MARGIN = 1.02       # the envelope over the largest weight sampled in a bin: W is smooth in xi
_BATCH = 65536             # proposals per pass
_MAX_PROPOSALS = 1000      # per star asked for: the work bound of one call
_W_CAP = 4.0               # largest weight (radial period over the epicycle's) drawn
_WARM = 0.5                # sigma_R / v_c above which the DF's moments are far from the profiles
_WARM_SHARE = 0.01         # the share of such stars that is worth a warning


def _circular_energy(g, R):
    """E_c(R) = v_c^2 / 2 + Phi0(R) of the circular orbit at R."""
    R = _np.asarray(R, float)
    if g == 0:
        return 0.5 + _np.log(R)
    return R ** (2 * g) * (g + 1) / (2 * g)


def _launch(g, R, L, E):
    """A state on the orbit (E, L): at the guiding radius of |L|, moving outwards."""
    Rl = _np.abs(L) ** (1.0 / (1.0 + g))
    with _np.errstate(invalid="ignore"):
        dE = E - _circular_energy(g, Rl)  # E - E_c(R_L); E = E_c(R) exactly in the Dehnen case
        vr = _np.sqrt(_np.maximum(2 * dE, 0.0))
    return _np.stack([Rl, _np.zeros_like(Rl), vr, L / Rl], axis=1)


def _proposals(g, df, R, u, sigma2):
    """States of the orbits proposed at radius R (R_L for Shu, R_E for Dehnen) with
    exponential deviates u, and their shape parameter xi."""
    vc2 = R ** (2 * g)
    if df == "shu":
        dE = u * sigma2                 # exp(-(E - E_c) / sigma^2)
        L = R ** (1 + g)
        state = _np.stack([R, _np.zeros_like(R), _np.sqrt(2 * dE), L / R], axis=1)
        return state, dE / vc2
    Lc = R ** (1 + g)
    dL = u * sigma2 / R ** (g - 1)      # exp(-Omega (L_c - L) / sigma^2)
    L = Lc - dL
    return _launch(g, R, L, _circular_energy(g, R)), dL / Lc


def _weights(model, g, R, states, threads):
    """W = kappa(R) / Omega_R: the radial period's weight over the proposal's, 1 on a circle."""
    values, status = _orbkit._actions(model._c, states, threads)
    kappa = _np.sqrt(2 * (1 + g)) * R ** (g - 1)
    return kappa / values[:, 7], status


def draw_df(self, n, *, df="dehnen", hr=1 / 3, hs=1.0, sigma_r0=0.2, seed=0, threads=None):
    """n stars (n, 4: x, y, vx, vy at t = 0) drawn from an equilibrium distribution
    function of a warm disc in the model's background (the patterns play no part):

    - df="dehnen": Dehnen's (1999, AJ 118, 1201, eq. 10) f(E, L) = gamma F(R_E) /
      (2 pi sigma^2(R_E)) exp(Omega(R_E) (L - L_c(R_E)) / sigma^2(R_E)), R_E the circular
      orbit of energy E;
    - df="shu": Shu's (1969, ApJ 160, 89) f(E, L) = gamma F(R_L) / (2 pi sigma^2(R_L))
      exp(-(E - E_c(R_L)) / sigma^2(R_L)) for L > 0, R_L the circular orbit of
      angular momentum L;

    with gamma = 2 Omega / kappa and the profiles F(R) = exp(-R / hr) (surface density
    scale length hr) and sigma^2(R) = sigma_r0^2 exp(-2 (R - 1) / hs) (radial dispersion
    sigma_r0 at R = 1, scale length hs), as galpy's dehnendf and shudf take
    profileParams=(hr, hs, sigma_r0) with correct=False. F and sigma are the DF's
    parameters: its surface density and radial dispersion follow them in a cold disc
    and depart from them as sigma / v_c grows (by some 5 % where sigma / v_c = 0.2).

    Exact sampling: (E, L) by rejection with the weight of the radial period, the
    radial angle and the azimuth uniform; the stars are in equilibrium in the background
    (Model.actions, docs/model.rst). Reproducible from seed (numpy's Generator; the
    compiled part gives the same numbers on any number of threads).

    What it cannot answer, it says (one RuntimeWarning): orbits that are nearly radial,
    unbound (gamma_ < 0: E >= 0) or whose radial period exceeds four epicycle periods
    are left out and counted; and where sigma / v_c exceeds 0.5 for more than 1 % of the
    stars (a hot centre: the default profile has sigma / v_c = 0.5 at R = 0.1 for
    gamma_ = 0), the drawn disc's surface density and dispersion there are far from
    the profiles given.
    """
    n = int(n)
    if n < 0:
        raise ValueError(f"n: expected a count, got {n}")
    if df not in _DFS:
        raise ValueError(f"df: expected 'dehnen' or 'shu', got {df!r}")
    hr, hs, sigma_r0 = float(hr), float(hs), float(sigma_r0)
    if not (0 < hr < _np.inf and 0 < hs < _np.inf and 0 <= sigma_r0 < _np.inf):
        raise ValueError("hr, hs: expected positive finite lengths, sigma_r0 a finite speed >= 0; "
                         f"got hr={hr!r}, hs={hs!r}, sigma_r0={sigma_r0!r}")
    g = float(self.gamma_)
    if not -1 < g < 1:
        raise ValueError(f"draw_df: gamma_ = {g} has no epicycles to draw (needs -1 < gamma_ < 1)")
    rng = _np.random.default_rng(seed)
    cap = _XI_CAP[df]
    if df == "shu" and g < 0:  # unbound from E_c + xi v_c^2 >= 0
        cap = min(cap, -(g + 1) / (2 * g))
    # The weight W = kappa / Omega_R depends on xi alone (the orbits of a scale-free
    # potential are scaled copies of each other): an envelope b_j over bins of xi,
    # taken at R = 1 on each bin's ends and midpoint. xi is then drawn from
    # b(xi) exp(-xi / s), so that the last rejection, W / b_j, accepts nearly all.
    fine = cap * _np.arange(2 * _BINS + 1) / (2 * _BINS)
    fine[0] = 1e-12 * cap
    one = _np.ones(fine.size)
    if df == "shu":
        grid = _np.stack([one, 0 * one, _np.sqrt(2 * fine), one], axis=1)
    else:
        grid = _launch(g, one, 1 - fine, _circular_energy(g, one))
    w_fine, _ = _weights(self, g, one, grid, threads)
    # the quadrature's reach, and orbits whose radial period exceeds W_CAP epicycles
    # (near E = 0 for gamma_ < 0), which the envelope could only take at a low acceptance
    beyond = ~(w_fine <= _W_CAP)
    if beyond.any():
        last = 2 * (int(_np.argmax(beyond)) // 2) - 2
        if last < 2:
            raise RuntimeError("draw_df: the weights of nearly circular orbits are not finite")
        cap = fine[last]
        w_fine = w_fine[:last + 1]
        fine = fine[:last + 1]
    bins = (len(fine) - 1) // 2
    edges = fine[::2].copy()
    edges[0] = 0.0  # the weight was taken a hair off the circle, where W -> 1
    env = _BOUND_MARGIN * _np.maximum.reduce([w_fine[0:-1:2], w_fine[1::2], w_fine[2::2]])
    top = env.max()
    states = _np.empty((0, 4))
    proposed = dropped = 0
    warm = []
    while len(states) < n:
        if proposed > _MAX_PROPOSALS * max(n, 1000):
            raise RuntimeError(f"draw_df: {len(states)} stars from {proposed} proposals: the "
                               "distribution function is too hot for this background to draw from")
        m = min(max(2 * (n - len(states)), 1024), _BATCH)
        R = rng.gamma(2.0, hr, m)          # 2 pi R F(R) dR: the cold disc's radii
        v = rng.random((m, 4))
        theta = rng.random(m) * _orbkit.twopi
        phi = rng.random(m) * _orbkit.twopi
        proposed += m
        sigma2 = sigma_r0 ** 2 * _np.exp(-2 * (R - 1) / hs)
        warm.append(R[_np.sqrt(sigma2) > _WARM * R ** g])
        s = _np.maximum(sigma2 / R ** (2 * g), 1e-300)   # xi ~ exp(-xi / s) / s in the DF
        # masses of the envelope's bins under exp(-xi / s), and the tail beyond cap
        ex = _np.exp(-edges[None, :] / s[:, None])
        mass = _np.concatenate([env[None, :] * (ex[:, :-1] - ex[:, 1:]), ex[:, -1:]], axis=1)
        Z = mass.sum(axis=1)
        keep = v[:, 0] * top < Z           # R with the weight of its xi envelope, Z <= top
        R, v, theta, phi, sigma2, s, mass, Z = (a[keep] for a in (R, v, theta, phi, sigma2, s, mass, Z))
        j = (v[:, 1:2] * Z[:, None] > _np.cumsum(mass, axis=1)).sum(axis=1)
        tail = j == bins
        dropped += int(tail.sum())
        R, v, theta, phi, sigma2, s, j = (a[~tail] for a in (R, v, theta, phi, sigma2, s, j))
        width = edges[j + 1] - edges[j]
        xi = edges[j] - s * _np.log1p(-v[:, 2] * -_np.expm1(-width / s))
        xi = _np.minimum(xi, edges[j + 1])
        u = xi * R ** (2 * g) / sigma2 if sigma_r0 > 0 else 0 * xi
        st, _ = _proposals(g, df, R, u, sigma2)
        w, _ = _weights(self, g, R, _np.ascontiguousarray(st), threads)
        w = _np.where(_np.isfinite(w), w, 0.0)
        if _np.any(w > env[j]):
            raise RuntimeError(f"draw_df: an orbit's weight {_np.max(w / env[j]):.6g} times its "
                               "envelope: please report this")
        keep = v[:, 3] * env[j] < w
        st, theta, phi = st[keep], theta[keep], phi[keep]
        rv, status = _orbkit._orbit_points(self._c, _np.ascontiguousarray(st), theta, threads)
        L = st[:, 0] * st[:, 3]
        r, vr = rv[:, 0], rv[:, 1]
        vt = L / r
        c, sn = _np.cos(phi), _np.sin(phi)
        new = _np.stack([r * c, r * sn, vr * c - vt * sn, vr * sn + vt * c], axis=1)
        states = _np.concatenate([states, new[status == 0]])
    warm = _np.concatenate(warm) if warm else _np.empty(0)
    notes = []
    if dropped:
        notes.append(f"{dropped} of {proposed} proposed orbits ({dropped / proposed:.2g}) were "
                     + ("unbound or " if df == "shu" and g < 0 else "")
                     + "too nearly radial to follow and are left out")
    if warm.size > _WARM_SHARE * proposed:
        notes.append(f"sigma_R / v_c exceeds {_WARM} at radii {warm.min():.3g} to {warm.max():.3g} "
                     f"({warm.size / proposed:.2g} of the stars): there the drawn disc's surface "
                     "density and dispersion are far from the profiles given")
    if notes:
        _warnings.warn("draw_df: " + "; ".join(notes), RuntimeWarning, stacklevel=2)
    return _np.ascontiguousarray(states[:n])
