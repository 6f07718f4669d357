"""The argument checks that every public callable of orbkit shares: one helper per kind
of argument (states, times, tolerance, threads, units), the check of keyword names with
the close matches, and the progress bar of long calls."""

import contextlib
import difflib
import functools
import inspect
import sys
import time

import numpy as np

from ._orbkit import (_check_method, _check_states, _check_threads, _check_time, _check_times,
                      _refuse_quantity)

__all__ = ["keywords", "states", "state_grid", "float64", "times", "time_value", "method", "threads",
           "refuse_units", "pattern", "progress_callback", "progress_bar"]

states = _check_states      # (n, 4) float64; quantities refused; TypeError/ValueError as integrate
times = _check_times        # finite times, one dimension; ValueError naming the argument
time_value = _check_time    # one finite time
threads = _check_threads    # None or a count from 1 to orbkit.max_threads
method = _check_method      # 'dop853' or 'bs', and tol for 'dop853' only
refuse_units = _refuse_quantity  # TypeError for a number with a unit, with how to convert it


def float64(values, name, kind):
    """Refuses values with a unit (kind: what they should be, as for refuse_units) and an
    array of another dtype than float64, which would otherwise be converted unseen."""
    refuse_units(values, name, kind)
    if isinstance(values, np.ndarray) and values.dtype != np.float64:
        raise ValueError(f"{name}: expected float64 values, got dtype {values.dtype}")


def state_grid(states, name="states"):
    """States of any shape (..., 4) as float64 (quantities and other dtypes refused): the
    record quantities and actions take every state of an integration's output at once."""
    float64(states, name, "state")
    states = np.asarray(states, dtype=np.float64)
    if states.ndim < 1 or states.shape[-1] != 4:
        raise ValueError(f"{name}: expected an array whose last axis holds x, y, vx, vy; "
                         f"got shape {states.shape}")
    return states


def pattern(number, npatterns):
    """A pattern's number, 1 for the first: ValueError outside 1 .. npatterns."""
    if not 1 <= number <= npatterns:
        raise ValueError(f"pattern: expected 1 .. {npatterns}, got {number}")


def did_you_mean(name, known):
    """'; did you mean 'a' or 'b'?' naming the known names closest to a misspelled one, or ''."""
    close = difflib.get_close_matches(str(name), known, n=3, cutoff=0.6)
    return f"; did you mean {' or '.join(repr(c) for c in close)}?" if close else ""


def unknown_keyword(where, name, known):
    """The TypeError for a keyword that `where` does not take, with the names it does take
    that are closest to it."""
    return TypeError(f"{where}() got an unexpected keyword argument {name!r}{did_you_mean(name, known)} "
                     f"(it takes: {', '.join(known)})")


def keywords(function):
    """function with its own signature, whose misspelled keywords raise TypeError naming
    the close matches (the check costs nothing on a call that binds)."""
    known = [n for n, p in inspect.signature(function).parameters.items()
             if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY) and n != "self"]
    where = function.__qualname__

    @functools.wraps(function)
    def checked(*args, **kwargs):
        try:
            return function(*args, **kwargs)
        except TypeError:
            for name in kwargs:
                if name not in known:
                    raise unknown_keyword(where, name, known) from None
            raise
    return checked


# ---- progress

# A bar appears once a call has run this long: calls that take less never show one.
_DELAY = 3.0


def _interactive():
    """Standard error is a terminal, or the call runs in a notebook."""
    if "ipykernel" in sys.modules:
        try:
            return type(sys.modules["IPython"].get_ipython()).__name__ == "ZMQInteractiveShell"
        except (KeyError, AttributeError):
            pass
    try:
        return sys.stderr.isatty()
    except (AttributeError, ValueError):
        return False


class _Bar:
    """The compiled loop calls this with its count of completed stars (or output times),
    from the thread that waits for the work, every 50 ms: the bar is made at its first
    call, drawn with tqdm, and shown once the call has run for `delay` seconds."""

    def __init__(self, total, what, delay):
        self.total, self.what, self.delay = total, what, delay
        self.start = time.monotonic()
        self.bar = None

    def __call__(self, done):
        if self.bar is None:
            try:
                if "ipykernel" in sys.modules and not sys.stderr.isatty():
                    from tqdm.auto import tqdm
                else:
                    from tqdm import tqdm
            except ImportError:  # Debian's python3-tqdm is not installed: no bar
                self.bar = False
                return
            shown = max(0.0, self.delay - (time.monotonic() - self.start))
            self.bar = tqdm(total=self.total, desc=self.what, unit="star", delay=shown,
                            file=sys.stderr, dynamic_ncols=True)
        if self.bar is not False:
            self.bar.update(done - self.bar.n)

    def close(self):
        if self.bar:
            self.bar.close()


def progress_callback(progress, total, what):
    """The callback for a call's progress=: None (a bar on a terminal or in a notebook,
    shown once the call has run for a few seconds), True (a bar from the start), False
    (none). total() gives the count the bar runs to. Returns the callback, or None for no
    bar; a callback is closed when the call ends (progress_bar does that)."""
    if progress is False or (progress is None and not _interactive()):
        return None
    if progress is not None and progress is not True:
        raise TypeError(f"progress: expected None, True or False, got {progress!r}")
    return _Bar(total(), what, _DELAY if progress is None else 0.0)


@contextlib.contextmanager
def progress_bar(progress, total, what):
    """progress_callback(progress, total, what) for the length of a with block, which
    closes the bar however the call ends (an error, Ctrl-C)."""
    bar = progress_callback(progress, total, what)
    try:
        yield bar
    finally:
        if bar is not None:
            bar.close()
