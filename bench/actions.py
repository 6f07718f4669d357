#!/usr/bin/python3
"""Cost of Model.actions per star (exact radial action, turning points, frequency and angle
by quadrature) against integrating the same star over one orbit, and of Model.draw_df per
star drawn, for a warm disc on a rising rotation curve, on one thread and on all.

usage: bench/actions.py [BUILD_DIR] [STARS]   (defaults: build, 20000)
"""

import os
import sys
import warnings

here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "build"))
n = int(sys.argv[2]) if len(sys.argv) > 2 else 20000
sys.path.insert(0, os.path.join(build, "python"))
import numpy as np  # noqa: E402
import orbkit  # noqa: E402
from timing import best  # noqa: E402  (bench/timing.py, beside this script)

model = orbkit.Model(gamma_=0.3, dt_int=0.5, nsteps=40, r_min=0.5, r_max=2.0, disp_u0=0.15, nstars=n)
states = model.draw()
orbit = np.array([orbkit.twopi])


with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    for threads in (1, None):
        name = "1 thread " if threads == 1 else "all threads"
        a = best(lambda: model.actions(states, threads=threads))
        i = best(lambda: model.integrate(states, orbit, threads=threads, method="dop853"), 1)
        d = best(lambda: model.draw_df(n, seed=1, threads=threads), 1)
        print(f"{name}: actions {1e6 * a / n:.1f} us/star, one orbit (dop853) {1e6 * i / n:.1f} "
              f"us/star, draw_df {1e6 * d / n:.1f} us/star")
