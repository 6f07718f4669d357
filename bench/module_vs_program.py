#!/usr/bin/python3
"""Cost per star of orbkit's Model.integrate against orbmigrate, on the same 1000 stars.

The example's model with 1000 stars and an empty window (l_min > l_max), so that orbmigrate
integrates each star once for its table and only the last star once more for its one orbit
file. integrate follows the same 1000 drawn states straight to tmax, as orbmigrate does for
its table; its end points are checked against the table. Each side runs five times,
alternating, at the same thread count, and the fastest run counts.

usage: bench/module_vs_program.py [BUILD_DIR] [THREADS]   (defaults: build, 2)
"""

import os
import subprocess
import sys
import tempfile
import time

here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "build"))
threads = int(sys.argv[2]) if len(sys.argv) > 2 else 2
sys.path.insert(0, os.path.join(build, "python"))
import orbkit  # noqa: E402

NSTARS = 1000

with tempfile.TemporaryDirectory() as work:
    lines = open(os.path.join(here, "examples", "migrate.setup")).read().splitlines(True)
    lines[5] = f"{NSTARS}  nstars\n"
    lines[11] = "1.0  l_min\n"   # empty window: no star's orbit is kept but the last one's
    lines[12] = "0.5  l_max\n"
    setup = os.path.join(work, "bench.setup")
    open(setup, "w").write("".join(lines))
    model = orbkit.Model.read(setup)
    states = model.draw()
    env = dict(os.environ, OMP_NUM_THREADS=str(threads))

    def program():
        start = time.perf_counter()
        done = subprocess.run([os.path.join(build, "migrate", "orbmigrate"), "bench.setup"],
                              cwd=work, env=env, stdout=subprocess.DEVNULL)
        assert done.returncode == 1
        return time.perf_counter() - start

    def module():
        start = time.perf_counter()
        end = model.integrate(states, [model.tmax], threads=threads, method="bs")  # the program's method
        seconds = time.perf_counter() - start
        with open(setup + ".lxy") as f:
            assert ["%.3f" % x for x in end[:, 0, 0]] == [row.split()[2] for row in f]
        return seconds

    best_p = best_m = float("inf")
    for _ in range(5):
        best_p = min(best_p, program())
        best_m = min(best_m, module())
    per_p, per_m = best_p / NSTARS * 1e3, best_m / NSTARS * 1e3
    print(f"{NSTARS} stars, {threads} threads, fastest of five: orbmigrate {best_p:.2f} s "
          f"({per_p:.2f} ms/star), integrate {best_m:.2f} s ({per_m:.2f} ms/star), "
          f"integrate/orbmigrate {best_m / best_p:.3f}")
