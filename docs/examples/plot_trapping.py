"""
Horseshoe orbits at a spiral's corotation
=========================================

One steady two-armed spiral on a flat rotation curve, and stars on near-circular orbits
around its corotation radius. The azimuth of each star's guiding centre in the frame
turning with the spiral: stars close enough to corotation turn back and forth
(horseshoe orbits, trapped), the others circulate. Right: the libration period of the
trapped ones.
"""
import numpy as np

import orbkit
from orbkit import analysis
from orbkit.plot import plot_trapping

spiral = dict(mm=2, epsilon=0.01, phi0=0.0, alpha=4.0, Omegas=0.5, growtime=0.0,
              starttime=0.0, smin=1.0, smax=3.0, wmin=0.5, wmax=0.5)
model = orbkit.Model(gamma_=0.0, dt_int=0.05, nsteps=1200, nstars=120, disp_u0=0.02,
                     r_min=1.5, r_max=2.5, lseed=3, patterns=[spiral])
states = model.draw()
times = model.times()                               # every 0.05 orbits for 60 orbits
orbits = model.integrate(states, times, method="dop853")
trap = analysis.trapping(model, orbits, times)
print("%d of %d stars librate about corotation; median period %.1f orbits"
      % (trap["trapped"].sum(), len(trap), np.nanmedian(trap["period"]) / (2 * np.pi)))
plot_trapping(model, orbits, times, trap, "trapping.png")
