"""Pictures of orbkit.analysis's results: one function per analysis, arrays in, a PNG
out (matplotlib, Agg). Where an axis is a radius or an angular momentum, each pattern's
corotation (solid), inner (dashed) and outer (dotted) Lindblad resonances are marked in
the pattern's colour, at the angular momentum of a circular orbit there."""

import numpy as np

from . import analysis, twopi
from ._draw import PATTERN_COLOURS, RES_STYLE, _figure, _save

TWOPI = twopi

__all__ = ["plot_lyapunov", "plot_diffusion", "plot_churning", "plot_trapping"]


def _resonances(ax, model, axis, lo, hi):
    """Vertical lines at every pattern's resonances inside [lo, hi] of a radius axis
    (axis 'r') or an angular momentum axis ('L'); one legend entry per kind."""
    drawn = False
    for k in range(model.npatterns):
        for kind, r in model.resonances(k + 1).items():
            if not np.isfinite(r):
                continue
            x = r if axis == "r" else float(r * model.vc(r))
            if lo <= x <= hi:
                label = kind if model.npatterns == 1 else f"{kind} {k + 1}"
                ax.axvline(x, ls=RES_STYLE[kind], color=PATTERN_COLOURS[k % 10], lw=1.0,
                           alpha=0.8, label=label)
                drawn = True
    return drawn


def _span(values, pad=0.05):
    values = np.asarray(values, float)
    values = values[np.isfinite(values)]
    if values.size == 0:
        return 0.0, 1.0
    lo, hi = float(values.min()), float(values.max())
    d = (hi - lo) * pad if hi > lo else max(abs(lo) * pad, 0.05)
    return lo - d, hi + d


def plot_lyapunov(model, states, times, exponents, out, *, size=(1000, 420), curves=40,
                  shear=None):
    """Left: each star's finite-time exponent against time (log-log, per orbit at
    r = 1), at most `curves` of them, coloured by initial guiding radius, with the
    ln(t)/t of a star whose shadow only shears away (with shear, lyapunov's .shear: the
    median of the stars' own baselines). Right: the exponent at the last time against
    the initial guiding radius, resonances marked, and each star's shear baseline."""
    states = np.asarray(states, float)
    rg = analysis.guiding_radius(model, states[:, 0] * states[:, 3] - states[:, 1] * states[:, 2])
    lam = np.asarray(exponents, float) * TWOPI   # per orbit
    t = np.asarray(times, float) / TWOPI          # orbits
    plt, fig, (ax, axr) = _figure(size, 2)
    cmap = plt.get_cmap("viridis")
    lo, hi = _span(rg, 0.0)
    shown = np.linspace(0, len(lam) - 1, min(curves, len(lam))).astype(int) if len(lam) else []
    for i in shown:
        c = cmap((rg[i] - lo) / (hi - lo) if hi > lo else 0.5)
        ax.loglog(t, np.where(lam[i] > 0, lam[i], np.nan), color=c, lw=0.8, alpha=0.8)
    base = None if shear is None else np.asarray(shear, float) * TWOPI
    if len(t) and base is not None and len(base):
        ax.loglog(t, np.nanmedian(base, axis=0), "k--", lw=1,
                  label="shear alone (background): median")
        ax.legend(loc="lower left")
    elif len(t):
        # shear alone: ln(d/d0) ~ ln(t / t1), the exponent falls as ln(t)/t
        ax.loglog(t, np.log(1.0 + t / t[0]) / t, "k--", lw=1, label="regular: ln t / t")
        ax.legend(loc="lower left")
    ax.set_xlabel("t (orbits)")
    ax.set_ylabel(r"finite-time exponent $\lambda$ (per orbit)")
    ax.set_title("exponent against time")
    last = lam[:, -1] if lam.shape[1] else np.full(len(lam), np.nan)
    sc = axr.scatter(rg, last, c=rg, cmap=cmap, s=10, vmin=lo, vmax=hi)
    if base is not None and base.shape[1:] == lam.shape[1:] and lam.shape[1]:
        axr.scatter(rg, base[:, -1], marker="x", color="0.5", s=10, label="shear alone")
    xl = _span(rg)
    if _resonances(axr, model, "r", *xl) or base is not None:
        axr.legend(loc="upper right")
    axr.set_xlim(*xl)
    axr.set_yscale("log")
    axr.set_xlabel(r"initial guiding radius $R_g$")
    axr.set_ylabel(r"$\lambda$ at t = %.3g orbits" % (t[-1] if len(t) else 0))
    axr.set_title("exponent against radius")
    fig.colorbar(sc, ax=axr, label=r"$R_g$")
    return _save(plt, fig, out)


def plot_diffusion(model, table, out, *, size=(1000, 420)):
    """From analysis.diffusion's table: the diffusion coefficient D2 = var(dL) / dt and
    the drift coefficient D1 = <dL> / dt with their bootstrap errors against the
    initial angular momentum, resonances marked; dt, the time the waves act, in the
    titles."""
    d = np.asarray(table)
    plt, fig, (ax, axm) = _figure(size, 2)
    ok = d["count"] > 0
    x = d["centre"][ok]
    xl = (float(d["lo"][0]), float(d["hi"][-1])) if len(d) else (0.0, 1.0)
    dt = float(d["interval"][0]) if len(d) else float("nan")
    ax.errorbar(x, d["D2"][ok], yerr=d["D2_err"][ok], fmt="o", color="k", ms=4, capsize=2)
    ax.set_ylabel(r"$D_2 = \mathrm{var}(\Delta L) / \Delta t$")
    ax.set_title(r"diffusion coefficient, $\Delta t$ = %.3g orbits" % (dt / TWOPI))
    axm.errorbar(x, d["D1"][ok], yerr=d["D1_err"][ok], fmt="s", color="tab:blue", ms=4,
                 capsize=2)
    axm.axhline(0.0, color="0.6", lw=0.8)
    axm.set_ylabel(r"$D_1 = \langle \Delta L \rangle / \Delta t$")
    axm.set_title("drift coefficient (bootstrap errors)")
    for a in (ax, axm):
        a.set_xlim(*xl)
        a.set_xlabel(r"initial angular momentum $L_0$")
        if _resonances(a, model, "L", *xl):
            a.legend(loc="upper right")
    return _save(plt, fig, out)


def plot_churning(model, c, out, *, size=(1000, 420)):
    """From analysis.churning's table: left, the change of guiding radius (churning)
    against the initial angular momentum, resonances marked; right, churning against
    blurring, star by star."""
    c = np.asarray(c)
    plt, fig, (ax, axb) = _figure(size, 2)
    ok = np.isfinite(c["dRg"]) & np.isfinite(c["blur"])
    s = 8 if ok.sum() < 2000 else 2
    sc = ax.scatter(c["L0"][ok], c["dRg"][ok], c=c["e0"][ok], cmap="plasma", s=s)
    xl = _span(c["L0"][ok])
    ax.set_xlim(*xl)
    ax.axhline(0.0, color="0.6", lw=0.8)
    if _resonances(ax, model, "L", *xl):
        ax.legend(loc="upper right")
    fig.colorbar(sc, ax=ax, label="initial eccentricity e")
    ax.set_xlabel(r"initial angular momentum $L_0$")
    ax.set_ylabel(r"churning $\Delta R_g$")
    ax.set_title("churning: change of guiding radius")
    axb.scatter(c["dRg"][ok], c["blur"][ok], s=s, color="k", alpha=0.6)
    lim = _span(np.concatenate([c["dRg"][ok], c["blur"][ok]]))
    axb.plot(lim, [-lim[0], -lim[1]], color="0.6", lw=0.8, label="r unchanged")
    axb.legend(loc="upper right")
    axb.set_xlim(*lim)
    axb.set_ylim(*lim)
    axb.set_aspect("equal")
    axb.set_xlabel(r"churning $\Delta R_g$")
    axb.set_ylabel(r"blurring $\Delta(r - R_g)$")
    rms = np.sqrt(np.mean(c["dRg"][ok] ** 2)), np.sqrt(np.mean(c["blur"][ok] ** 2))
    axb.set_title("rms churning %.3g, blurring %.3g" % rms)
    return _save(plt, fig, out)


def plot_trapping(model, orbits, times, trap, out, *, pattern=1, size=(1000, 420), curves=30):
    """Left: the guiding centre's azimuth in the pattern's turning frame against time
    for up to `curves` stars, trapped (librating) ones in colour, circulating ones grey.
    Right: the libration period of every trapped star against its initial guiding
    radius, the pattern's resonances marked."""
    psi = analysis.pattern_angle(model, orbits, times, pattern=pattern)
    o = np.asarray(orbits, float)
    t = np.asarray(times, float)
    t = t if t.ndim == 1 else t[0]
    rg = analysis.guiding_radius(model, o[:, 0, 0] * o[:, 0, 3] - o[:, 0, 1] * o[:, 0, 2])
    trapped = np.asarray(trap["trapped"])
    plt, fig, (ax, axr) = _figure(size, 2)
    # as many librating as circulating stars, where there are enough of both
    caught, free = np.flatnonzero(trapped), np.flatnonzero(~trapped)
    half = max(curves - min(len(free), curves // 2), curves // 2)
    shown = np.concatenate([free[:curves - min(len(caught), half)], caught[:half]])
    cmap = plt.get_cmap("tab10")
    for j, i in enumerate(shown):
        if trapped[i]:
            ax.plot(t / TWOPI, psi[i] - psi[i, 0], color=cmap(j % 10), lw=1.0)
        else:
            ax.plot(t / TWOPI, psi[i] - psi[i, 0], color="0.7", lw=0.6)
    ax.set_ylim(-2 * np.pi, 2 * np.pi)
    ax.set_xlabel("t (orbits)")
    ax.set_ylabel(r"$\phi_g - \Omega_p t$ (from its start, rad)")
    ax.set_title("azimuth in the frame of pattern %d: %d of %d stars librate"
                 % (pattern, int(trapped.sum()), len(trapped)))
    period = np.asarray(trap["period"], float) / TWOPI
    xl = _span(rg)
    axr.scatter(rg[~trapped], np.zeros((~trapped).sum()), s=6, color="0.7", label="circulating (at 0)")
    timed = trapped & np.isfinite(period)
    axr.scatter(rg[timed], period[timed], s=12, color="tab:red", label="librating")
    axr.scatter(rg[trapped & ~timed], np.zeros((trapped & ~timed).sum()), s=14,
                facecolors="none", edgecolors="tab:red", label="librating, < 3 turns (at 0)")
    axr.set_xlim(*xl)
    axr.set_xlabel(r"initial guiding radius $R_g$")
    axr.set_ylabel("libration period (orbits)")
    axr.set_title("trapped stars about corotation")
    k = pattern - 1
    for kind, r in model.resonances(pattern).items():
        if np.isfinite(r) and xl[0] <= r <= xl[1]:
            axr.axvline(r, ls=RES_STYLE[kind], color=PATTERN_COLOURS[k % 10], lw=1.0, label=kind)
    axr.legend(loc="upper right")
    return _save(plt, fig, out)


# ---- orbplot's commands: a model in, the analysis computed, its picture out

COMMANDS = {
    "lyapunov": "finite-time Lyapunov exponents against time and radius",
    "diffusion": "diffusion and drift coefficients D2, D1 in bins of L0, bootstrap errors",
    "churning": "change of guiding radius (churning) against L0 and against blurring",
    "trapping": "guiding-centre azimuth in a pattern's frame: librating stars, periods",
}
FINE_STEP = 0.1 * TWOPI  # trapping: at most a tenth of an orbit between output times


def run_command(command, model, out, size, n=None, method="dop853", pattern=1):
    """Computes one analysis of a model's survey and draws it to out: the first n stars
    (default nstars) drawn as orbmigrate draws them, integrated with `method` to the
    end of the run."""
    states, phases = analysis._drawn(model, n)
    if command == "lyapunov":
        times, lam = res = analysis.lyapunov(model, states, phases=phases, method=method)
        return plot_lyapunov(model, states, times, lam, out, size=size, shear=res.shear)
    if command in ("diffusion", "churning"):
        s = analysis.survey(model, n, method=method)
        if command == "churning":
            c = analysis.churning(model, s.initial, s.final, s.t, phases=s.phases)
            return plot_churning(model, c, out, size=size)
        d = analysis.diffusion(model.quantity("L", s.initial), model.quantity("L", s.final, s.t),
                               model=model, bins=12)
        return plot_diffusion(model, d, out, size=size)
    if command == "trapping":
        if not 1 <= pattern <= model.npatterns:
            raise ValueError(f"--pattern: expected 1 .. {model.npatterns}, got {pattern}")
        # the output interval, split so that no star's angle in the pattern's frame
        # moves by more than pi between two times
        per = max(1, int(np.ceil(model.dt_int * TWOPI / FINE_STEP)))
        times = np.arange(model.nsteps * per + 1) * (model.dt_int * TWOPI / per)
        orbits = model.integrate(states, times, phases=phases, method=method)
        trap = analysis.trapping(model, orbits, times, pattern=pattern)
        return plot_trapping(model, orbits, times, trap, out, pattern=pattern, size=size)
    raise ValueError(f"unknown command {command!r}")
