"""orbkit: test-star orbits in a spiral galactic disc, the programs' exact numbers in numpy.

    import orbkit
    model = orbkit.Model.read("examples/migrate.setup")   # exactly as the programs read it
    table = orbkit.migrate(model)                          # the .lxy table at full precision
    states = model.draw(10)                                # (10, 4): x, y, vx, vy
    orbits = model.integrate(states, model.times())        # (10, nsteps + 1, 4), fast mode
    files = model.integrate(states, model.times(), method="bs", exact=False)  # the orbit files' digits

Model.integrate and orbkit.analysis use the fast mode by default (method="dop853": the
eighth-order method, the same bits on every machine); orbkit.migrate, twin and spread keep
the programs' method ("bs"), since they are the programs' tables. orbkit.plot draws them.

Times given to and returned by the model are in model time units (one orbit at r = 1 is
2 pi); the setup's own fields keep the file's units (dt_int, growtime, starttime in orbits,
phi0 in degrees). Phases drawn per star (randp0 = 1, Model.draw_phases) are in radians.
Quantities with units (astropy) are refused with a TypeError that says which model units are
expected: convert them first. Coming from galpy: see docs/galpy.md.

Warnings: SetupWarning (the setup reader's warnings, in its words) and IntegrationWarning
(failed stars and stars given with nan or inf, one per call, with the cause and the remedy;
phases not given), both RuntimeWarning. Times must be finite (ValueError naming the argument).
"""

import os as _os

import numpy as _np

from . import _checks
from ._checks import keywords as _keywords
from ._model import _RECORD_LEAD, Model, record_names
from ._orbkit import (IntegrationWarning, SetupError, SetupWarning, __version__,  # noqa: F401
                      ensemble_capacity, max_patterns, max_threads, pattern_names,
                      scalar_names, twin_offset, twopi)
from . import _orbkit

__all__ = ["Model", "SetupError", "SetupWarning", "IntegrationWarning", "migrate", "twin", "spread",
           "read", "record_names", "__version__"]


# ---- the programs' tables: the programs' method by default, since they are their tables

def _table(run, model, threads, method, tol, progress, total, what):
    if not isinstance(model, Model):
        raise TypeError(f"model: expected an orbkit.Model, got {type(model).__name__}")
    with _checks.progress_bar(progress, total, what) as bar:
        return run(model._c, threads, method, tol, bar)


@_keywords
def migrate(model, *, threads=None, method="bs", tol=None, progress=None):
    """The migration survey of the model: orbmigrate's .lxy table at full precision, a
    structured array L0 dL x y, one row per star.

    method='bs' (default) is the program's method: printed with its format the table is the
    program's file byte for byte. method='dop853' is the fast mode at tolerance tol.
    threads, progress as for Model.integrate."""
    return _table(_orbkit._migrate, model, threads, method, tol, progress,
                  lambda: max(model.nstars, 0), "migrate")


@_keywords
def twin(model, *, threads=None, method="bs", tol=None, progress=None):
    """The twin survey: orbtwin's .rx table at full precision, a structured array L0 L1 L2.
    method='bs' (default) is the program's method, its table byte for byte; method, tol,
    threads, progress as for migrate."""
    return _table(_orbkit._twin, model, threads, method, tol, progress,
                  lambda: max(model.nstars, 0), "twin")


@_keywords
def spread(model, *, threads=None, method="bs", tol=None, progress=None):
    """The spread ensemble: orbspread's .l table at full precision, a structured array
    t (orbits) rmax lsig lmax, and beside them lsig_twopass, the standard deviation of the
    members' L about their mean computed in two passes (lsig is the program's one-pass
    figure, which cancels when the spread is far below L: keep lsig to match the file,
    use lsig_twopass for the science). table[["t", "rmax", "lsig", "lmax"]] printed with
    the program's format is its file byte for byte (method='bs', the default).
    SetupError for a dt_int the spread program refuses. method, tol, threads, progress as
    for migrate; the progress counts output times."""
    return _table(_orbkit._spread, model, threads, method, tol, progress,
                  lambda: len(model.spread_times()), "spread")


# ---- output files

_TABLES = {
    ".lxy": ("L0", "dL", "x", "y"),
    ".rx": ("L0", "L1", "L2"),
    ".l": ("t", "rmax", "lsig", "lmax"),
}
_ORBIT_LEAD = ("t", "x", "y", "vx", "vy") + _RECORD_LEAD           # .bb, .xb: t in model units
_INDEXED_LEAD = ("i", "to", "x", "y", "vx", "vy") + _RECORD_LEAD    # .x: to in orbits


@_keywords
def read(path, npatterns=None):
    """Any of the programs' output files as a numpy structured array with named columns:
    .lxy (L0, dL, x, y), .rx (L0, L1, L2), .l (t in orbits, rmax, lsig, lmax), orbit files
    .bb/.xb (t, x, y, vx, vy, r, phi, u, v, L, J, e, theta1, KE, p0, p1, f1, ...) and the
    ensemble's .x (i, to, x, ...; its blocks one after the other, 'to' in orbits).

    The record files' width follows from npatterns, the model's number of patterns, when it
    is given, else from their first row. A row that does not fit raises ValueError naming
    the file and line. Lines starting with '#' and blank lines are skipped."""
    path = _os.fspath(path)
    ext = _os.path.splitext(path)[1] if "." in _os.path.basename(path) else ""
    if ext in _TABLES:
        names = _TABLES[ext]
    elif ext in (".bb", ".xb", ".x"):
        lead = _INDEXED_LEAD if ext == ".x" else _ORBIT_LEAD
        names = None if npatterns is None else _record_columns(lead, len(lead) + 2 * npatterns)
    else:
        raise ValueError(f"{path}: not an orbkit output file (.lxy, .rx, .bb, .xb, .x, .l)")
    if names is None:  # the width of the first row
        lineno, width = _first_row(path)
        if width is None:
            width = len(lead)
        if width < len(lead) or (width - len(lead)) % 2:
            raise ValueError(f"{path}:{lineno}: {width} columns is not a record line")
        names = _record_columns(lead, width)
    rows, bad = _orbkit._read_rows(path, len(names), ext == ".x")
    if bad is not None:
        line, kind, detail = bad
        if kind == "count":
            raise ValueError(f"{path}:{line}: expected {len(names)} values ({' '.join(names)}), "
                             f"got {detail}")
        raise ValueError(f"{path}:{line}: expected a number, got '{detail}'")
    dtype = [(n, "<i8" if n == "i" else "<f8") for n in names]  # the star index of .x a whole number
    if len(rows) == 0:
        return _np.empty(0, dtype=dtype)
    if ext != ".x":  # every column a double: the rows are the records, no copy
        return rows.view(dtype).reshape(len(rows))
    out = _np.empty(len(rows), dtype=dtype)
    for k, n in enumerate(names):
        out[n] = rows[:, k]
    return out


def _record_columns(lead, width):
    return lead + tuple(f"{c}{k}" for k in range(1, (width - len(lead)) // 2 + 1) for c in ("p", "f"))


def _first_row(path):
    """The line number of a file's first row (not blank, not a comment) and its number of
    values; (1, None) for a file without rows."""
    with open(path, errors="replace") as f:
        for lineno, line in enumerate(f, start=1):
            if line.strip() and not line.startswith("#"):
                return lineno, len(line.split())
    return 1, None


from . import analysis  # noqa: E402,F401  (orbkit.analysis)
from . import transients  # noqa: E402,F401  (orbkit.transients: many transient waves)
from . import plot  # noqa: E402,F401  (orbkit.plot: matplotlib is imported when a picture is drawn)
