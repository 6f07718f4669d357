#!/usr/bin/python3
"""Peak memory of orbkit's Model.integrate for 10^5, 10^6 and 10^7 stars to one output time:
each size in a fresh interpreter, the peak resident set (ru_maxrss) before the call (the
states made) and after it, against the result's size. A call holds its result, a float64
array (n, 1, 4), and a few stars in flight per thread, so the growth stays near the
result's size.

usage: bench/module_memory.py [BUILD_DIR] [SIZES...]   (defaults: build, 1e5 1e6 1e7)
"""

import os
import subprocess
import sys

here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "build"))
sizes = [int(float(s)) for s in sys.argv[2:]] or [10**5, 10**6, 10**7]

CHILD = """
import resource, sys, numpy as np, orbkit
n = int(sys.argv[1])
model = orbkit.Model.read(sys.argv[2])
states = np.tile(model.draw(1000), (n // 1000, 1))
model.integrate(states[:10], [0.1])          # the module's worker and its team exist from here on
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
out = model.integrate(states, [0.1])
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
print(base, peak, out.nbytes)
"""

env = dict(os.environ, PYTHONPATH=os.path.join(build, "python"))
setup = os.path.join(here, "examples", "migrate.setup")
print(f"{'stars':>10} {'result MB':>10} {'peak RSS MB':>12} {'growth MB':>10} {'growth/result':>14}")
for n in sizes:
    done = subprocess.run([sys.executable, "-c", CHILD, str(n), setup], env=env, capture_output=True, text=True)
    if done.returncode != 0:
        print(f"{n:>10} failed: {done.stderr.strip().splitlines()[-1] if done.stderr else done.returncode}")
        continue
    base, peak, result = map(int, done.stdout.split())
    mb = 2.0**20
    print(f"{n:>10} {result / mb:>10.1f} {peak / mb:>12.1f} {(peak - base) / mb:>10.1f} "
          f"{(peak - base) / result:>14.2f}")
