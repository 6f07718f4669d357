#!/usr/bin/python3
"""Per-call overhead of orbkit's Model.integrate: one star, one output time at its start
(no step taken), called many times, with the default threads and with one thread; and the
cost of one call that integrates nothing, against a call of an empty Python function.
A call with a few stars over a short time runs on the calling thread, so the default
threads cost what one thread costs, however busy the machine's other cores are.
For integrate's cost per star against the programs', see bench/module_vs_program.py.

usage: bench/module_overhead.py [BUILD_DIR] [CALLS]   (defaults: build, 2000)
"""

import os
import sys
import time

here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "build"))
calls = int(sys.argv[2]) if len(sys.argv) > 2 else 2000
sys.path.insert(0, os.path.join(build, "python"))
import numpy as np  # noqa: E402
import orbkit  # noqa: E402
from timing import best  # noqa: E402  (bench/timing.py, beside this script)

model = orbkit.Model.read(os.path.join(here, "examples", "migrate.setup"))
state = model.draw(1)
at_start = np.zeros(1)


def per_call(threads, repeats=5):
    """The fastest of `repeats` loops of `calls` calls, seconds per call."""
    model.integrate(state, at_start, threads=threads)  # the worker and its team exist from here on

    def loop():
        for _ in range(calls):
            model.integrate(state, at_start, threads=threads)
    return best(loop, repeats) / calls


def empty():
    pass


start = time.perf_counter()
for _ in range(calls):
    empty()
floor = (time.perf_counter() - start) / calls
print(f"orbkit {getattr(orbkit, '__version__', '(no version)')}, {os.cpu_count()} processors, {calls} calls per loop")
print(f"integrate, default threads: {per_call(None) * 1e3:.3f} ms per call")
print(f"integrate, threads=1: {per_call(1) * 1e3:.3f} ms per call")
print(f"an empty Python call: {floor * 1e6:.2f} us")

# orbkit.read against numpy.loadtxt on the same rows: a 10^5-row survey table (.lxy) and an
# orbit file of a two-pattern model (.bb, 19 columns), in the programs' formats
import tempfile  # noqa: E402

rng = np.random.default_rng(1)


with tempfile.TemporaryDirectory() as folder:
    for name, cols, fmt in (("table.lxy", 4, "%.3f"), ("orbit.bb", 19, "%.6e")):
        path = os.path.join(folder, name)
        np.savetxt(path, rng.normal(size=(100000, cols)), fmt=fmt)
        ours, theirs = best(lambda: orbkit.read(path)), best(lambda: np.loadtxt(path))
        print(f"read {name}, 1e5 rows: orbkit.read {ours * 1e3:.1f} ms, np.loadtxt {theirs * 1e3:.1f} ms "
              f"({ours / theirs:.2f}x)")
