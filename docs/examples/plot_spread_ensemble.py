"""
A spread ensemble
=================

``orbspread`` follows up to 210 neighbouring orbits of one star: the reference star and copies
displaced by ``mixtime`` in position (and 0.005 ``mixtime`` in velocity). At every output time
it tables how far the members have spread: ``rmax``, the largest distance from the reference
star, ``lsig``, the standard deviation of their angular momenta, and ``lmax``, the largest
change of a member's L relative to the reference star's.

On a regular orbit the spread grows slowly (linearly, through the members' slightly different
orbital frequencies); once the orbit is chaotic it grows exponentially until it saturates at
the size of the orbit. The shipped ``examples/spread.setup`` runs 100 members for 20 orbits
while two spirals grow.
"""
from pathlib import Path

import matplotlib.pyplot as plt

import orbkit

# the shipped setups: examples/ at the root of the clone this script lies in
here = Path(__file__).parent if "__file__" in globals() else Path.cwd()  # the gallery: cwd
setup = next(p / "examples" / "spread.setup" for p in (here, *here.parents)
             if (p / "examples" / "spread.setup").is_file())
model = orbkit.Model.read(str(setup))
table = orbkit.spread(model, method="dop853")  # the .l table: t (orbits), rmax, lsig, lmax

fig, ax = plt.subplots(figsize=(8, 4.5))
for name in ("rmax", "lsig", "lmax"):
    ax.semilogy(table["t"], table[name], label=name)
shade = ax.twinx()
t = table["t"] * orbkit.twopi                              # model time units
for k in range(1, model.npatterns + 1):
    shade.fill_between(table["t"], 0, model.growth(k, t), alpha=0.15, color=f"C{k + 2}",
                       label=f"pattern {k} growth")
shade.set_ylim(0, 4)
shade.set_yticks([0, 1])
shade.set_ylabel("growth factor")
ax.set_xlabel("time (orbits)")
ax.set_ylabel("spread of the ensemble")
ax.legend(loc="upper left")
shade.legend(loc="lower right", fontsize=8)
fig.tight_layout()
fig.savefig("spread_ensemble.png", dpi=100)
plt.close(fig)

# %%
print(f"{model.nstars} members: rmax from {table['rmax'][0]:.2e} to {table['rmax'][-1]:.2e}, "
      f"lsig from {table['lsig'][0]:.2e} to {table['lsig'][-1]:.2e}")
