"""
A transient wave
================

``examples/transient.setup`` makes a spiral that grows over orbits 1 to 3, holds, and fades
over orbits 6 to 8: a pattern plus an exact copy with the opposite amplitude that starts
later. While the wave is there a star near its corotation changes its angular momentum; once
the copy has cancelled the wave, L stays constant.

We take the star of the survey that migrated most, integrate it through the run with
``Model.integrate`` and draw its orbit in the frame that turns with the wave, and L(t) under
the wave's net amplitude :math:`\\sum_k \\varepsilon_k f_k(t)`.
"""
from pathlib import Path

import matplotlib.pyplot as plt
import numpy as np

import orbkit

# the shipped setups: examples/ at the root of the clone this script lies in
here = Path(__file__).parent if "__file__" in globals() else Path.cwd()  # the gallery: cwd
setup = next(p / "examples" / "transient.setup" for p in (here, *here.parents)
             if (p / "examples" / "transient.setup").is_file())
model = orbkit.Model.read(str(setup))
table = orbkit.migrate(model, method="dop853")
star = int(np.argmax(np.abs(table["dL"])))          # the star that migrated most

states = model.draw(star + 1)[star:star + 1]          # the survey's own stars, in draw order
times = np.linspace(0.0, model.tmax, 801)             # model time units (2 pi per orbit)
orbit = model.integrate(states, times, method="dop853")[0]
x, y, vx, vy = orbit.T
L = x * vy - y * vx

wave = model.patterns[0]
omega_p = wave["Omegas"]
amplitude = sum(p["epsilon"] * model.growth(k + 1, times)
                for k, p in enumerate(model.patterns))

fig, (frame, history) = plt.subplots(1, 2, figsize=(11, 4.5))
angle = -omega_p * times                               # rotate into the wave's frame
xr = x * np.cos(angle) - y * np.sin(angle)
yr = x * np.sin(angle) + y * np.cos(angle)
frame.plot(xr, yr, lw=0.6, color="k")
r_cr = model.resonances(1)["CR"]
frame.add_patch(plt.Circle((0, 0), r_cr, fill=False, color="tab:red",
                           label=f"corotation r = {r_cr:.2f}"))
frame.set_aspect("equal")
frame.set_xlabel("x (turning with the wave)")
frame.set_ylabel("y")
frame.legend(loc="upper right", fontsize=8)
frame.set_title(f"star {star}: orbit in the wave's frame")

orbits = times / orbkit.twopi
history.plot(orbits, L, color="k")
history.set_xlabel("time (orbits)")
history.set_ylabel("angular momentum L")
shade = history.twinx()
shade.fill_between(orbits, 0, np.abs(amplitude), color="tab:blue", alpha=0.2)
shade.set_ylabel("net amplitude of the wave", color="tab:blue")
fig.tight_layout()
fig.savefig("transient_wave.png", dpi=100)
plt.close(fig)

# %%
print(f"star {star}: L0 = {L[0]:.4f}, L at the end = {L[-1]:.4f}; "
      f"L changes by {np.ptp(L[orbits > 8.5]):.2e} after the wave is gone")
