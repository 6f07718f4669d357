"""orbplot: pictures of orbkit's output tables (migration survey, orbit files, spread ensemble,
twin survey), drawn as PNG files.

The command is tools/orbplot (or python3 -m orbkit.plot). The setup is read by the programs'
own reader (orbkit.Model.read), the tables by orbkit.read, and every quantity of the model
(resonance radii, circular speed, growth factors) comes from the compiled core. matplotlib is
loaded when a figure is drawn.
"""

import argparse
import math
import os
import re
import sys
import warnings

import numpy as np
from numpy.lib.recfunctions import structured_to_unstructured

from . import Model, SetupError, read, twopi
from ._draw import DPI, InputError, _figure, _save  # noqa: F401
from ._analysis_plots import (COMMANDS as _ANALYSES, plot_churning, plot_diffusion,  # noqa: F401
                              plot_lyapunov, plot_trapping, run_command as _run_analysis)

HIST_ABOVE = 3000                  # more stars than this: a 2D histogram instead of a scatter
DEFAULT_SIZE = (1400, 650)

_ORBIT_FILE_RE = re.compile(r"^(.*)_\d+\.(bb|xb)$")


# ---------------------------------------------------------------------------------------------
# Reading

def read_setup(path):
    """The run's model, read as the programs read it: the same values, the reader's warnings
    printed as orbplot's, and a setup the programs refuse refused with their message."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            return Model.read(path)
        except SetupError as err:
            raise InputError(str(err)) from None
        except OSError as err:
            raise InputError(f"{path}: cannot open: {err.strerror}") from None
        finally:
            for w in caught:
                warn(str(w.message))


def _label(source):
    """How a message names a table: its path, or "the table given" for an array."""
    return "the table given" if isinstance(source, np.ndarray) else os.fspath(source)


def _setup_label(model, setup_path):
    return setup_path if setup_path is not None else (model.source or "Model()")


def read_table(source, npatterns=None):
    """One of the programs' output tables as an array of rows, its columns in the file's
    order: a file (orbkit.read; orbit files of a model with npatterns patterns), or the
    array itself, as orbkit.read, orbkit.migrate, twin and spread return it (structured) or
    plain rows. Rows holding nan or inf (a star whose integration failed) are kept here;
    callers drop them with finite_rows()."""
    if isinstance(source, np.ndarray):
        table = source
    else:
        try:
            table = read(source, npatterns)
        except OSError as err:
            raise InputError(f"{source}: {err.strerror}") from None
        except ValueError as err:
            raise InputError(str(err)) from None
    if not len(table):
        names = " ".join(table.dtype.names or ())
        raise InputError(f"{_label(source)}: no rows to plot ({names})")
    if table.dtype.names:
        return structured_to_unstructured(table, dtype=float)
    if table.ndim != 2:
        raise InputError(f"the table given: expected rows (a 2-D or a structured array), got "
                         f"shape {table.shape}")
    return np.asarray(table, dtype=float)


# matplotlib's tick placement multiplies an axis's span by up to 10 and overflows near the
# largest double: values beyond this cannot be drawn on any axis
DRAWABLE = 1e300


def finite_rows(path, data, cols=None):
    """Drop the rows with a nan, an inf or a value beyond +-1e300 (no axis can scale it) in
    the given columns; say on stderr how many went."""
    path = _label(path)
    sub = data if cols is None else data[:, cols]
    with np.errstate(invalid="ignore"):
        keep = np.all(np.abs(sub) <= DRAWABLE, axis=1)
    dropped = int(np.count_nonzero(~keep))
    if not np.any(keep):
        raise InputError(f"{path}: no finite rows to plot (every row holds nan, inf or a value beyond "
                         f"+-{DRAWABLE:g}, which no axis can scale)")
    if dropped:
        warn(f"{path}: {dropped} of {len(data)} rows hold nan, inf or a value beyond "
             f"+-{DRAWABLE:g} and are not drawn")
    return data[keep], dropped


def warn(message):
    """Prints one line 'orbplot: message' on standard error, as the programs print theirs."""
    print(f"orbplot: {message}", file=sys.stderr)


# ---------------------------------------------------------------------------------------------
# Resonances

def circular_l(model, r):
    """Angular momentum of a circular orbit at r: L = r v_c(r)."""
    return r * float(model.vc(r))


def pattern_resonances(model):
    """Per pattern, a list of (kind, r, L) for every resonance that exists (corotation, inner
    and outer Lindblad), L that of a circular orbit there."""
    result = []
    for k in range(model.npatterns):
        radii = model.resonances(k + 1)
        result.append([(kind, r, circular_l(model, r)) for kind, r in radii.items()
                       if math.isfinite(r)])
    return result


# ---------------------------------------------------------------------------------------------
# Waves: the patterns' strength over time

SHAPE_FIELDS = ("mm", "alpha", "Omegas", "smin", "smax", "wmin", "wmax")
PHASE_TOL = 2e-3    # radians: phases equal to the 4 digits an orbit file prints them with


def _same_phase(a, b):
    d = (a - b) % twopi
    return min(d, twopi - d) <= PHASE_TOL


def pattern_waves(model, phases=None):
    """Group the patterns into waves: patterns with the same arms, pitch, speed, envelope and
    phase add into one wave (a copy with the opposite epsilon cancels it). Returns lists of
    pattern indices in order.

    `phases` gives each pattern's phi0 (radians) when known, from an orbit file; otherwise the
    setup's phi0 serves, except that with randp0 = 1 every star draws its own phases for
    patterns 2, 3, ..., which then are unknown and group with nothing.
    """
    pats = model.patterns
    if phases is None:
        phases = [math.radians(pats[k]["phi0"]) if k == 0 or model.randp0 != 1 else None
                  for k in range(len(pats))]
    waves = []
    for k in range(len(pats)):
        for wave in waves:
            j = wave[0]
            if (phases[k] is not None and phases[j] is not None
                    and all(pats[k][f] == pats[j][f] for f in SHAPE_FIELDS)
                    and _same_phase(phases[k], phases[j])):
                wave.append(k)
                break
        else:
            waves.append([k])
    return waves


def net_amplitude(model, wave, t):
    """Amplitude of a wave at model times t: the sum of epsilon_k f_k(t) over its patterns."""
    pats = model.patterns
    return sum(pats[k]["epsilon"] * model.growth(k + 1, t) for k in wave)


def _grows(pattern):
    """Where a pattern grows, in orbits: (start, end)."""
    return pattern["starttime"], pattern["starttime"] + pattern["growtime"]


def wave_label(model, wave):
    """The legend text of a wave (a list of pattern indices from 0, as pattern_waves gives):
    its patterns, arms, pattern speed and when it grows, holds or is cancelled."""
    pats = model.patterns

    def grows(k):
        t0, t1 = _grows(pats[k])
        return f"grows {t0:g} to {t1:g}" if t1 > t0 else f"switched on at {t0:g}"
    if len(wave) == 1:
        return f"pattern {wave[0] + 1}: {grows(wave[0])} orbits"
    parts = [f"{k + 1} ({pats[k]['epsilon']:+g}) {grows(k)}" for k in wave]
    return (f"patterns {'+'.join(str(k + 1) for k in wave)}, one wave: " + ", ".join(parts)
            + " orbits")


def _shade_waves(ax, model, t0, t1, phases=None):
    """Shade every wave's |net amplitude| against time in orbits on a right-hand axis behind
    the data. Returns the legend handles."""
    waves = pattern_waves(model, phases)
    if not waves or not t1 > t0:
        return []
    # the amplitudes are piecewise linear in t: sample densely and at every corner
    corners = [c for p in model.patterns for c in _grows(p)]
    t = np.unique(np.concatenate([np.linspace(t0, t1, 1001),
                                  [c for c in corners if t0 <= c <= t1]]))
    axr = ax.twinx()
    handles, top = [], 0.0
    for wave in waves:
        a = np.abs(net_amplitude(model, wave, t * twopi))
        colour = PATTERN_COLOURS[wave[0] % 10]
        handles.append(axr.fill_between(t, 0.0, a, color=colour, alpha=0.18, lw=0,
                                        label=wave_label(model, wave)))
        axr.plot(t, a, color=colour, lw=0.8)
        top = max(top, float(np.max(a)))
    axr.set_ylim(0.0, 1.05 * top if top > 0 else 1.0)
    axr.set_ylabel(r"net amplitude $|\sum_k \epsilon_k f_k(t)|$ of each wave (speed$^2$)")
    axr.set_zorder(ax.get_zorder() - 1)     # the data in front of the shading
    ax.patch.set_visible(False)
    return handles


# ---------------------------------------------------------------------------------------------
# Which row of the run's table an orbit file belongs to

def _half_unit(v, digits):
    """Half a unit in the last place of v printed with `digits` significant digits."""
    v = abs(float(v))
    return 0.5 * 10.0 ** (math.floor(math.log10(v)) - digits + 1) if v > 0 else 0.0


def find_table_row(model, setup_path, orbit_path, data):
    """The table row (star number, from 0) of the star whose orbit file this is.

    The orbit file's first line is the star's initial state and its last the state at the end
    of the run; the table (SETUP.lxy or SETUP.rx, beside the setup) holds every star's initial
    angular momentum and its final state. Both are rounded, and the orbit file is integrated
    output time by output time, so the match allows the rounding of both and 1e-3 more.
    Returns (table path, list of matching star numbers, best first); an empty list when none
    matches, None for the list when the table cannot be read.
    """
    m = _ORBIT_FILE_RE.match(orbit_path)
    kind = m.group(2) if m else ("xb" if orbit_path.endswith(".xb") else "bb")
    table = setup_path + (".lxy" if kind == "bb" else ".rx")
    try:
        rows = read_table(table)
    except InputError:
        return table, None
    l_first, l_last = data[0, 9], data[-1, 9]
    complete = abs(data[-1, 0] - model.tmax) < 1e-3 * max(1.0, data[-1, 0])
    tol_l = 5e-4 + _half_unit(l_first, 4) + 1e-3
    # an odd number of an .xb file is the twin of the star before it: its final L is L2
    twin = kind == "xb" and m is not None and int(re.search(r"_(\d+)\.xb$", orbit_path).group(1)) % 2
    scores = []
    for i, row in enumerate(rows):
        if not abs(row[0] - l_first) <= tol_l:
            continue
        if not complete:             # an integration that failed: only the start can tell
            scores.append((abs(row[0] - l_first), i))
            continue
        # (table value, orbit file value, rounding of the orbit file's value)
        if kind == "bb":
            pairs = [(row[1], l_last - l_first, _half_unit(l_last, 4) + _half_unit(l_first, 4)),
                     (row[2], data[-1, 1], _half_unit(data[-1, 1], 4)),
                     (row[3], data[-1, 2], _half_unit(data[-1, 2], 4))]
        else:
            pairs = [(row[2] if twin else row[1], l_last, _half_unit(l_last, 4))]
        d = max(abs(g - w) - 5e-4 - h for g, w, h in pairs)
        if d <= 1e-3:
            scores.append((d, i))
    return table, [i for _, i in sorted(scores)]


def _row_note(table, rows):
    name = os.path.basename(table)
    if rows is None:
        return f"table row unknown ({name} not readable)"
    if not rows:
        return f"no row of {name} matches"
    if len(rows) == 1:
        return f"star {rows[0]}: line {rows[0] + 1} of {name}"
    return f"star {rows[0]} (line {rows[0] + 1} of {name}), or " + \
        ", ".join(f"{i} (line {i + 1})" for i in rows[1:])


# ---------------------------------------------------------------------------------------------
# Drawing

from ._draw import RES_STYLE, PATTERN_COLOURS  # noqa: E402  (shared with the analysis pictures)


def _wave_title(model, wave):
    k = wave[0]
    p = model.patterns[k]
    who = (f"pattern {k + 1}" if len(wave) == 1 else
           f"patterns {'+'.join(str(j + 1) for j in wave)} (one wave)")
    return f"{who}: m={p['mm']:g}, " r"$\Omega_p$" f"={p['Omegas']:g}"


def _span(values, pad=0.05):
    lo, hi = float(np.min(values)), float(np.max(values))
    d = (hi - lo) * pad if hi > lo else max(abs(lo) * pad, 0.05)
    return lo - d, hi + d


def _resonance_circles(ax, model, patterns, radius_limit):
    """Dashed circles at the resonance radii in a position panel, pattern colours."""
    t = np.linspace(0.0, twopi, 361)
    resonances = pattern_resonances(model)
    for k in patterns:
        for kind, r, _ in resonances[k]:
            if r <= radius_limit:
                ax.plot(r * np.cos(t), r * np.sin(t), RES_STYLE[kind],
                        color=PATTERN_COLOURS[k % 10], lw=1.0, alpha=0.8)


def plot_migrate(model, setup_path, lxy_path, out, size=DEFAULT_SIZE, mode="auto"):
    """The migration survey: a table (file or array, as orbkit.migrate returns it) drawn
    to the PNG out. setup_path names the run in the title (None: the model's source)."""
    setup_path = _setup_label(model, setup_path)
    data = read_table(lxy_path)
    data, dropped = finite_rows(lxy_path, data)
    l0, dl, x, y = data.T
    plt, fig, (ax, axp) = _figure(size, 2)
    n = len(l0)
    use_hist = mode == "hist" or (mode == "auto" and n > HIST_ABOVE)
    if use_hist:
        from matplotlib.colors import LogNorm
        bins = int(min(200, max(20, math.sqrt(n))))
        # Empty bins stay blank (cmin); a bin of one star gets the darkest colour, not white.
        _, _, _, im = ax.hist2d(l0, dl, bins=bins, cmap="viridis", norm=LogNorm(), cmin=1)
        fig.colorbar(im, ax=ax, label="stars per bin", pad=0.01, format="%d")
    else:
        ax.scatter(l0, dl, s=8 if n < 500 else 3, c="k", alpha=0.6, lw=0, label="stars")
    ax.axhline(0.0, color="0.6", lw=0.8)
    xlo, xhi = _span(l0)
    ax.set_xlim(xlo, xhi)
    # One legend below both panels, a column per pattern: its name, then CR, ILR, OLR.
    from matplotlib.lines import Line2D
    handles = []
    resonances = pattern_resonances(model)
    waves = pattern_waves(model)      # a cancelling copy shares its wave's resonances
    for wave in waves:
        k = wave[0]
        colour = PATTERN_COLOURS[k % 10]
        handles.append(Line2D([], [], ls="none", label=_wave_title(model, wave)))
        found = {kind: (r, lres) for kind, r, lres in resonances[k]}
        for kind in ("CR", "ILR", "OLR"):
            line = Line2D([], [], color=colour, ls=RES_STYLE[kind], lw=1.4)
            if kind not in found:
                line.set_label(f"{kind}: none")
            else:
                r, lres = found[kind]
                inside = xlo <= lres <= xhi
                line.set_label(f"{kind}: r={r:.3g}, L={lres:.3g}" +
                               ("" if inside else ", off scale"))
                if inside:      # off-scale lines are listed only, so the stars keep the axis
                    ax.axvline(lres, color=colour, ls=RES_STYLE[kind], lw=1.4)
            handles.append(line)
    rect = (0, 0, 1, 1)
    if handles:
        ncol = min(len(waves), 4)
        rows = math.ceil(len(handles) / ncol)
        fig.legend(handles=handles, loc="lower center", ncol=ncol, frameon=False,
                   handlelength=3.0, columnspacing=3.0)
        rect = (0, min(0.45, (rows * 15 + 12) / size[1]), 1, 1)
    ax.set_xlabel(r"initial angular momentum $L_0$ (model units)")
    ax.set_ylabel(r"change $\Delta L = L_1 - L_0$ (model units)")
    tmax = model.tmax / twopi
    note = f", {dropped} with nan not drawn" if dropped else ""
    ax.set_title(f"{setup_path}: change of angular momentum, "
                 f"{n} stars{note}, after {tmax:g} orbits")

    axp.scatter(x, y, s=8 if n < 500 else 2, c="k", alpha=0.6, lw=0)
    rlim = 1.05 * float(np.max(np.hypot(x, y)))
    _resonance_circles(axp, model, [wave[0] for wave in waves], rlim)
    axp.set_xlim(-rlim, rlim)
    axp.set_ylim(-rlim, rlim)
    axp.set_aspect("equal")
    axp.set_xlabel("x (model units)")
    axp.set_ylabel("y (model units)")
    axp.set_title(f"final positions at t = {tmax:g} orbits\n(circles: resonance radii, "
                  "same line styles)")
    return _save(plt, fig, out, rect)


def plot_orbit(model, setup_path, orbit_path, out, size=DEFAULT_SIZE, pattern=1):
    """An orbit file (or its rows as an array, as orbkit.read returns them) drawn to the
    PNG out; the survey table's row of the star is looked up beside the setup when the
    orbit is a file."""
    setup_path = _setup_label(model, setup_path)
    npat = model.npatterns
    data = read_table(orbit_path, npat)
    data, dropped = finite_rows(orbit_path, data, [0, 1, 2, 9])
    if npat and not 1 <= pattern <= npat:
        raise InputError(f"--pattern {pattern}: {setup_path} has patterns 1 to {npat}")
    t, x, y, lz = data[:, 0], data[:, 1], data[:, 2], data[:, 9]
    torb = t / twopi
    plt, fig, axes = _figure(size, 3 if npat else 2)
    name = os.path.basename(orbit_path) if not isinstance(orbit_path, np.ndarray) else "orbit"

    ax = axes[0]
    ax.plot(x, y, "k.-", lw=0.7, ms=3)
    ax.plot(x[:1], y[:1], "go", ms=6, label="start")
    ax.plot(x[-1:], y[-1:], "rs", ms=6, label="end")
    rlim = 1.1 * float(np.max(np.hypot(x, y)))
    for a in axes[:-1]:
        a.set_xlim(-rlim, rlim)
        a.set_ylim(-rlim, rlim)
        a.set_aspect("equal")
        a.set_xlabel("x (model units)")
        a.set_ylabel("y (model units)")
    if isinstance(orbit_path, np.ndarray):
        ax.set_title(f"{name}: inertial frame")
    else:
        table, rows = find_table_row(model, setup_path, orbit_path, data)
        ax.set_title(f"{name}: inertial frame\n{_row_note(table, rows)}")
    ax.legend(loc="upper right")

    # each pattern's phase phi0 for this star: the f column at t = 0 (phases may be drawn per star)
    phases = ([float(data[0, 16 + 2 * k]) for k in range(npat)]
              if abs(data[0, 0]) < 1e-12 else None)
    if npat:
        k = pattern - 1
        # The f column is the pattern's phase Omegas t + phi0 of this star (phases may be
        # drawn per star), so rotating by it puts chi = 0 at r = 1 on the x axis.
        f = data[:, 16 + 2 * k]
        c, s = np.cos(f), np.sin(f)
        xr, yr = x * c + y * s, -x * s + y * c
        ax = axes[1]
        _draw_crests(ax, model, k, rlim, wave_sign(model, k, phases))
        ax.plot(xr, yr, "k.-", lw=0.7, ms=3)
        ax.plot(xr[:1], yr[:1], "go", ms=6)
        ax.plot(xr[-1:], yr[-1:], "rs", ms=6)
        _resonance_circles(ax, model, [k], rlim)
        for kind, r, _ in pattern_resonances(model)[k]:
            if r <= rlim:
                ax.plot([], [], RES_STYLE[kind], color=PATTERN_COLOURS[k % 10],
                        label=f"{kind} r={r:.3g}")
        p = model.patterns[k]
        ax.set_title(f"frame rotating with pattern {pattern} "
                     f"(m={p['mm']:g}, " r"$\Omega_p$" f"={p['Omegas']:g})")
        if ax.get_legend_handles_labels()[0]:
            _legend_below(ax)

    ax = axes[-1]
    ax.plot(torb, lz, "k.-", lw=1.0, ms=3, label="L")
    ax.set_xlabel("time t (orbits, t/2π)")
    ax.set_ylabel("angular momentum L (model units)")
    ax.set_xlim(torb[0], torb[-1])
    handles = _shade_waves(ax, model, float(torb[0]), float(torb[-1]), phases)
    if handles:
        _legend_below(ax, ax.get_legend_handles_labels()[0] + handles)
    note = f" ({dropped} nan rows not drawn)" if dropped else ""
    ax.set_title(f"angular momentum L(t), {name}{note}")
    return _save(plt, fig, out)


def _legend_below(ax, handles=None):
    ax.legend(handles=handles, loc="upper center", bbox_to_anchor=(0.5, -0.13), frameon=False,
              fontsize=8)


def wave_sign(model, k, phases=None):
    """+1 or -1: the sign of the amplitude of the wave that pattern k belongs to, where that
    wave is strongest (a cancelling copy has the sign of the pattern it cancels)."""
    wave = next(w for w in pattern_waves(model, phases) if k in w)
    pats = model.patterns
    # the amplitude is linear between these corners (orbits) and constant after the last
    corners = [c for j in wave for c in _grows(pats[j])]
    a = net_amplitude(model, wave, np.array(corners + [max(corners) + 1.0]) * twopi)
    strongest = float(a[np.argmax(np.abs(a))])
    return -1.0 if strongest < 0 else 1.0


def crest_curves(model, k, rlim, sign=1.0):
    """Potential minima and maxima of pattern k in its rotating frame, where the rotation by
    the f column puts chi = m phi' + alpha ln r at 0 on the x axis at r = 1. For a positive
    amplitude the minima are chi = pi (mod 2 pi), the maxima chi = 0; a negative one swaps
    them. Returns {"minima": [(x, y), ...], "maxima": [...]}, one curve per arm."""
    p = model.patterns[k]
    m, alpha = p["mm"], p["alpha"]
    out = {"minima": [], "maxima": []}
    if not m > 0:
        return out
    rin = max(p["smin"] - p["wmin"], 0.02 * rlim)
    rout = min(p["smax"] + p["wmax"], rlim)
    if not rout > rin:
        return out
    r = np.linspace(rin, rout, 300)
    at_chi_pi = "minima" if sign > 0 else "maxima"
    for j in range(max(1, int(round(m)))):
        for name, chi in ((at_chi_pi, math.pi), ("maxima" if sign > 0 else "minima", 0.0)):
            ph = (chi + twopi * j - alpha * np.log(r)) / m
            out[name].append((r * np.cos(ph), r * np.sin(ph)))
    return out


def _draw_crests(ax, model, k, rlim, sign):
    curves = crest_curves(model, k, rlim, sign)
    for j, (x, y) in enumerate(curves["minima"]):
        ax.plot(x, y, color="0.7", lw=3.0, solid_capstyle="round", zorder=0,
                label="potential minima of the wave (where density arms lie)" if j == 0 else None)
    for j, (x, y) in enumerate(curves["maxima"]):
        ax.plot(x, y, color="0.7", lw=1.0, ls=":", zorder=0,
                label="potential maxima" if j == 0 else None)


def plot_spread(model, setup_path, l_path, out, size=DEFAULT_SIZE):
    """The spread ensemble's table (file or array, as orbkit.spread returns it) drawn to
    the PNG out."""
    setup_path = _setup_label(model, setup_path)
    data = read_table(l_path)
    t = data[:, 0]
    plt, fig, ax = _figure(size, 1)
    drawn = 0
    for col, label, colour in [(1, "rmax: largest distance from the reference star",
                                "tab:blue"),
                               (2, "lsig: standard deviation of L", "tab:orange"),
                               (3, "lmax: largest |L - L(reference)|", "tab:green")]:
        v = data[:, col]
        ok = np.isfinite(v) & np.isfinite(t) & (v > 0)
        if np.any(ok):
            ax.plot(t[ok], v[ok], ".-", color=colour, label=label)
            drawn += 1
        else:       # a log axis cannot show zeros (one member) or nan (no members)
            ax.plot([], [], ".-", color=colour, label=label + " (no positive value)")
    if not drawn:
        raise InputError(f"{_label(l_path)}: every rmax, lsig and lmax is 0 or nan (an ensemble of "
                         "one star?): nothing to draw on a log scale")
    ax.set_yscale("log")
    ax.set_xlabel("time t (orbits)")
    ax.set_ylabel("spread (model units: length for rmax, angular momentum for lsig, lmax)")
    ok = np.isfinite(t)
    handles = _shade_waves(ax, model, float(np.min(t[ok])), float(np.max(t[ok])))
    ax.legend(handles=ax.get_legend_handles_labels()[0] + handles, loc="best")
    ax.grid(True, which="major", alpha=0.3)
    ax.set_title(f"{setup_path}: spread of {model.nstars} neighbouring orbits "
                 f"(offset scale mixtime={model.mixtime:g})")
    return _save(plt, fig, out)


def plot_twin(model, setup_path, rx_path, out, size=DEFAULT_SIZE):
    """The twin survey's table (file or array, as orbkit.twin returns it) drawn to the PNG
    out."""
    setup_path = _setup_label(model, setup_path)
    data = read_table(rx_path)
    data, dropped = finite_rows(rx_path, data)
    l0, l1, l2 = data.T
    d = np.abs(l2 - l1)
    # The table prints L with three decimals: a difference printed as 0 is below 5e-4, and
    # the least non-zero one is 1e-3. Zeros are drawn at that floor, marked apart.
    floor = 5e-4
    zero = d < floor
    plt, fig, (ax, ax2) = _figure(size, 2)
    ax.scatter(l0[~zero], d[~zero], s=10, c="k", lw=0, label="star and twin")
    if np.any(zero):
        ax.scatter(l0[zero], np.full(np.count_nonzero(zero), floor), s=14, marker="v",
                   facecolors="none", edgecolors="tab:blue",
                   label=f"equal to 3 decimals ({np.count_nonzero(zero)}), drawn at 5e-4")
    ax.set_yscale("log")
    ax.set_xlabel(r"initial angular momentum $L_0$ (model units)")
    ax.set_ylabel(r"$|L_2 - L_1|$ at the end, twin vs star (model units)")
    ax.legend(loc="best")
    tmax = model.tmax / twopi
    note = f", {dropped} with nan not drawn" if dropped else ""
    ax.set_title(f"{setup_path}: twins started 1e-9 apart, {len(l0)} stars{note}, "
                 f"after {tmax:g} orbits")

    d1, d2 = l1 - l0, l2 - l0
    ax2.scatter(d1, d2, s=10, c="k", lw=0)
    lo, hi = _span(np.concatenate([d1, d2]))
    ax2.plot([lo, hi], [lo, hi], color="0.6", lw=0.8, label="equal change")
    ax2.set_xlim(lo, hi)
    ax2.set_ylim(lo, hi)
    ax2.set_aspect("equal")
    ax2.set_xlabel(r"$\Delta L$ of the star, $L_1 - L_0$ (model units)")
    ax2.set_ylabel(r"$\Delta L$ of the twin, $L_2 - L_0$ (model units)")
    ax2.legend(loc="upper left")
    ax2.set_title("change of angular momentum, star against twin")
    return _save(plt, fig, out)


# ---------------------------------------------------------------------------------------------
# Command line

def _size(text):
    m = re.fullmatch(r"(\d+)[xX](\d+)", text)
    if not m or not 50 <= int(m.group(1)) <= 10000 or not 50 <= int(m.group(2)) <= 10000:
        raise argparse.ArgumentTypeError(f"expected WIDTHxHEIGHT in pixels (50 to 10000), "
                                         f"got '{text}'")
    return int(m.group(1)), int(m.group(2))


DESCRIPTION = """\
Draw the output tables of orbspread, orbmigrate and orbtwin as PNG pictures.
Each sub-command reads the setup file of the run for the model (gamma_, the patterns'
arm numbers, pattern speeds, start and growth times) and the table the program wrote
beside it.

output files (unless -o names another path), the picture sits next to its table:
  orbplot migrate SETUP           SETUP.lxy  ->  SETUP.lxy.png
  orbplot orbit SETUP_N.bb        SETUP_N.bb ->  SETUP_N.bb.png   (also .xb files)
  orbplot spread SETUP            SETUP.l    ->  SETUP.l.png
  orbplot twin SETUP              SETUP.rx   ->  SETUP.rx.png

analyses of the setup's stars, computed with orbkit.analysis (no table needed):
  orbplot lyapunov SETUP          ->  SETUP.lyapunov.png
  orbplot diffusion SETUP         ->  SETUP.diffusion.png
  orbplot churning SETUP          ->  SETUP.churning.png
  orbplot trapping SETUP          ->  SETUP.trapping.png

exit status: 0 when the picture is written; 2 for a missing, unreadable or malformed
input file (named as FILE:LINE on standard error) or an unwritable output path.
"""


def _parser():
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("-o", "--output", metavar="PATH",
                        help="write the PNG here instead of next to the input table")
    common.add_argument("--size", type=_size, default=DEFAULT_SIZE, metavar="WxH",
                        help="picture size in pixels (default %dx%d)" % DEFAULT_SIZE)
    p = argparse.ArgumentParser(prog="orbplot", description=DESCRIPTION,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")
    s = sub.add_parser("migrate", parents=[common],
                       help="change of angular momentum against L0, resonances marked",
                       description="From SETUP.lxy: the change of angular momentum against "
                       "the initial one (a 2D histogram above %d stars), with each pattern's "
                       "corotation (solid), inner (dashed) and outer (dotted) Lindblad "
                       "resonances at the angular momentum of a circular orbit there; and "
                       "the final positions." % HIST_ABOVE)
    s.add_argument("setup", metavar="SETUP")
    g = s.add_mutually_exclusive_group()
    g.add_argument("--hist", dest="mode", action="store_const", const="hist",
                   help="always draw a 2D histogram")
    g.add_argument("--scatter", dest="mode", action="store_const", const="scatter",
                   help="always draw one point per star")
    s = sub.add_parser("orbit", parents=[common],
                       help="one orbit, inertial and rotating frame, and L(t)",
                       description="From an orbit file SETUP_N.bb or SETUP_N.xb: the orbit "
                       "in the inertial frame and in the frame rotating with one pattern, "
                       "and L against time with the pattern's growth shaded. The setup is "
                       "the orbit file's path without _N.bb, unless --setup names it.")
    s.add_argument("orbit_file", metavar="FILE")
    s.add_argument("--pattern", type=int, default=1, metavar="K",
                   help="rotating frame of pattern K, counted from 1 as in the file's "
                   "p1/f1 columns (default 1)")
    s.add_argument("--setup", metavar="SETUP", help="the run's setup file")
    s = sub.add_parser("spread", parents=[common],
                       help="rmax, lsig, lmax against time (log scale)",
                       description="From SETUP.l: rmax, lsig and lmax against time in "
                       "orbits, on a log scale (zeros cannot be drawn and are left out).")
    s.add_argument("setup", metavar="SETUP")
    s = sub.add_parser("twin", parents=[common],
                       help="|L2 - L1| against L0, and star against twin",
                       description="From SETUP.rx: |L2 - L1| against L0 on a log scale "
                       "(differences printed as 0, below the table's 1e-3 resolution, are "
                       "drawn at 5e-4 with their own marker), and the change of L of the "
                       "star against that of its twin.")
    s.add_argument("setup", metavar="SETUP")
    for name, what in _ANALYSES.items():
        s = sub.add_parser(name, parents=[common], help=what,
                           description=f"From SETUP's model and stars: {what}; resonances "
                           "marked. The stars are drawn and integrated as orbmigrate does, "
                           "by default with the fast integrator.")
        s.add_argument("setup", metavar="SETUP")
        s.add_argument("-n", "--stars", type=int, default=None, metavar="N",
                       help="the first N stars of the survey (default nstars)")
        s.add_argument("--method", choices=("dop853", "bs"), default="dop853",
                       help="integrator (default dop853; bs gives the programs' digits)")
        if name == "trapping":
            s.add_argument("--pattern", type=int, default=1, metavar="K",
                           help="corotation of pattern K, counted from 1 (default 1)")
    return p


def run(argv):
    """Runs the orbplot command line argv (without the program's name): draws the picture
    of one table or analysis and writes its PNG. Raises InputError for a file or setup that
    cannot be drawn; main turns that into one line and exit status 2."""
    args = _parser().parse_args(argv)
    if args.command in _ANALYSES:
        model = read_setup(args.setup)
        out = args.output or f"{args.setup}.{args.command}.png"
        try:
            _run_analysis(args.command, model, out, args.size, args.stars, args.method,
                          getattr(args, "pattern", 1))
        except OSError as err:
            raise InputError(f"{out}: {err.strerror}") from None
        except ValueError as err:
            raise InputError(f"{args.setup}: {err}") from None
        return out
    if args.command == "orbit":
        setup_path = args.setup
        if setup_path is None:
            m = _ORBIT_FILE_RE.match(args.orbit_file)
            if not m:
                raise InputError(f"{args.orbit_file}: not named SETUP_N.bb or SETUP_N.xb; "
                                 "give the setup file with --setup")
            setup_path = m.group(1)
        table = args.orbit_file
    else:
        setup_path = args.setup
        table = setup_path + {"migrate": ".lxy", "spread": ".l", "twin": ".rx"}[args.command]
    model = read_setup(setup_path)
    if args.command == "spread":
        try:
            model.spread_times()    # the spread program's rule for the output interval
        except SetupError as err:
            raise InputError(str(err)) from None  # "PATH: ...", as the spread program says it
    out = args.output or table + ".png"
    if args.command == "migrate":
        plot_migrate(model, setup_path, table, out, args.size, args.mode or "auto")
    elif args.command == "orbit":
        plot_orbit(model, setup_path, table, out, args.size, args.pattern)
    elif args.command == "spread":
        plot_spread(model, setup_path, table, out, args.size)
    else:
        plot_twin(model, setup_path, table, out, args.size)
    return out


def main(argv=None):
    """The orbplot command: run(argv or sys.argv[1:]), a refused input said in one line on
    standard error with exit status 2."""
    try:
        run(sys.argv[1:] if argv is None else argv)
    except InputError as err:
        warn(str(err))
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
