"""
A disc's lifetime of transient spirals
======================================

Ten thousand stars of a warm disc go through thirty transient spirals, one after
another (``orbkit.transients``). Each wave is drawn at random from the distributions
given below, with a seeded generator: its corotation radius, its arm count, its peak
amplitude, its lifetime and its phase. It grows linearly to its peak over half its life
and decays to nothing over the other half (in the model, a pattern and a copy with the
opposite amplitude that cancels it). A model holds five such waves: the run is cut into
spans of at most five, each a model of its own, and the stars go on from one to the
next.

The angular momentum of every star is read at the end of each wave. On the left, the
mean square change <dL^2> (and the variance, the drift taken out) after k of the 30
waves, with bootstrap errors, for the stars that start between corotation radii. It is
a random walk in L: the changes the waves give are independent, so <dL^2> after k waves
is the sum of the k waves' own mean square changes (the red steps), with no cross terms,
and it grows in proportion to k as far as the waves are alike (a strong wave makes a
tall step). The cross terms are small and negative (some -8 % after 30 waves): beyond
the corotation radii drawn the waves act less, and a star carried there tends to stay,
a drift back that the fall of D2 with L brings. On the right, the
diffusion coefficient D2 = var(dL) / dt per bin of the initial L, dt being the time the
waves act (the whole sequence), and the slope of ln var(dL) against ln t fitted by
``analysis.diffusion_history``: 1 for diffusion, 2 for a ballistic change.
"""
import matplotlib.pyplot as plt
import numpy as np

import orbkit
from orbkit import analysis, transients

n = 10000
base = orbkit.Model(gamma_=0.0, r_min=1.0, r_max=3.0, disp_u0=0.05, nstars=n, lseed=3)
# an equilibrium disc (Dehnen's distribution function): surface density scale length 1,
# radial dispersion 0.1 at r = 1 falling outwards over 2, so nothing changes without the waves
states = base.draw_df(n, hr=1.0, hs=2.0, sigma_r0=0.1, seed=1)
orbit = orbkit.twopi
waves = transients.random_waves(
    30, gamma_=base.gamma_, seed=1,
    radius=(1.5, 2.5),                                  # corotation, uniform
    arms=lambda rng, k: rng.integers(2, 5, k),          # 2, 3 or 4 arms
    amplitude=(0.003, 0.008),                           # peak epsilon, uniform
    lifetime=(2 * orbit, 4 * orbit))                    # 2 to 4 orbits, uniform
print(waves, "- the last gone after %.1f orbits" % (waves.end[-1] / orbit))

times = np.concatenate([[0.0], waves.end])
orbits = transients.integrate(base, waves, states, times[1:], method="dop853", tol=1e-10)
L = np.concatenate([(states[:, 0] * states[:, 3] - states[:, 1] * states[:, 2])[:, None],
                    orbits[..., 0] * orbits[..., 3] - orbits[..., 1] * orbits[..., 2]], axis=1)

middle = (L[:, 0] > 1.5) & (L[:, 0] < 2.5)
k = np.arange(len(waves) + 1)
steps = np.array([analysis.diffusion(L[middle, 0], L[middle, j], interval=1.0, bins=1,
                                     nboot=200, seed=j)[0] for j in k[1:]])
# a random walk: the changes of successive waves are independent, so <dL^2> after k
# waves is the sum of the k waves' own mean square changes, without cross terms
own = np.mean(np.diff(L[middle], axis=1) ** 2, axis=0)
walk = np.concatenate([[0.0], np.cumsum(own)])
print("after %d waves <dL^2> = %.4f +- %.4f; the sum of the waves' own: %.4f (cross terms %+.1f %%)"
      % (len(waves), steps["msq"][-1], steps["msq_err"][-1], walk[-1],
         100 * (steps["msq"][-1] / walk[-1] - 1)))
dt = waves.end[-1] - waves.start[0]
d = analysis.diffusion(L[:, 0], L[:, -1], interval=dt, bins=10)
h = analysis.diffusion_history(L, times, bins=[1.5, 2.5], nboot=0)[0]
print("growth exponent of var(dL) between corotation radii: %.2f" % h["exponent"])

fig, (ax, axd) = plt.subplots(1, 2, figsize=(11, 4.5))
ax.errorbar(k[1:], steps["msq"], yerr=steps["msq_err"], fmt="o", ms=3, color="k",
            capsize=2, label=r"$\langle \Delta L^2 \rangle$")
ax.errorbar(k[1:], steps["var"], yerr=steps["var_err"], fmt="s", ms=3, color="tab:blue",
            capsize=2, label=r"var$(\Delta L)$")
ax.plot(k, walk, color="tab:red", lw=1, drawstyle="steps-post",
        label="sum of each wave's own mean square change")
ax.set_xlabel("transient waves gone through, k")
ax.set_ylabel(r"$\langle \Delta L^2 \rangle$, stars with $1.5 < L_0 < 2.5$")
ax.set_title("a random walk in L (growth exponent %.2f)" % h["exponent"])
ax.legend(loc="upper left")
ok = d["count"] > 0
axd.errorbar(d["centre"][ok], d["D2"][ok], yerr=d["D2_err"][ok], fmt="o", ms=4, color="k",
             capsize=2)
axd.axvspan(1.5, 2.5, color="0.9", label="corotation radii drawn")
axd.set_xlabel(r"initial angular momentum $L_0$")
axd.set_ylabel(r"$D_2 = \mathrm{var}(\Delta L) / \Delta t$")
axd.set_title(r"diffusion coefficient, $\Delta t$ = %.0f orbits" % (dt / orbit))
axd.legend(loc="upper right")
fig.tight_layout()
fig.savefig("transient_lifetime.png", dpi=100)
plt.close(fig)
