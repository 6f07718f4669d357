#!/usr/bin/python3
"""Cost of finite-time Lyapunov exponents against that of the integration alone.

    PYTHONPATH=BUILD/python /usr/bin/python3 bench/lyapunov.py [--stars 1000] [--orbits 50]
        [--runs 3] [--tau T] [SETUP]

SETUP defaults to examples/migrate.setup. Its first --stars stars are drawn as orbmigrate
draws them; on every thread and with the fast integrator (method 'dop853', tolerance
1e-13) the script times (wall clock, best of --runs) Model.integrate of the stars to
--orbits orbits, and analysis.lyapunov over the same time with a renormalisation every
--tau model time units (default the setup's output interval). A Lyapunov run follows a
star and its shadow together and restarts the shadow's integration at every
renormalisation; the last line gives the ratio of the two times.
"""
import argparse
import os

import numpy as np

import orbkit
from orbkit import analysis
from timing import best  # bench/timing.py, beside this script

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("setup", nargs="?", default=os.path.join(ROOT, "examples", "migrate.setup"))
    p.add_argument("--stars", type=int, default=1000)
    p.add_argument("--orbits", type=float, default=50.0)
    p.add_argument("--runs", type=int, default=3)
    p.add_argument("--tau", type=float, default=None, help="renormalisation interval, model units")
    a = p.parse_args()
    model = orbkit.Model.read(a.setup)
    drawn = model.draw(a.stars)
    states, phases = drawn if isinstance(drawn, tuple) else (drawn, None)
    tmax = a.orbits * orbkit.twopi
    tau = a.tau if a.tau is not None else model.dt_int * orbkit.twopi
    plain = best(lambda: model.integrate(states, np.array([0.0, tmax]), phases=phases,
                                         method="dop853"), a.runs)
    # the exponents alone: the shear baseline (shear=True) is a second run in the background
    chaos = best(lambda: analysis.lyapunov(model, states, tmax, tau=tau, phases=phases,
                                           method="dop853", shear=False), a.runs)
    print(f"setup {a.setup}: {a.stars} stars, {a.orbits:g} orbits, tau {tau:.4g}, "
          f"{os.cpu_count()} hardware threads")
    print(f"integrate  {plain:8.3f} s")
    print(f"lyapunov   {chaos:8.3f} s   ({int(tmax / tau)} renormalisations per star)")
    print(f"ratio      {chaos / plain:8.2f}")


if __name__ == "__main__":
    main()
