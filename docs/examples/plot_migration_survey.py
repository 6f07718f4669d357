"""
A migration survey
==================

The shipped example ``examples/migrate.setup``: two trailing spirals of different pattern
speeds grow in turn on a flat rotation curve and then hold. 400 stars start between r = 1 and 3
on near-circular orbits; after 20 orbits, how much has each star's angular momentum changed?

``orbkit.migrate`` returns the table that ``orbmigrate`` writes (``L0 dL x y``), here at full
precision. The stars that change most lie near each spiral's corotation, where the angular
speed of a circular orbit equals the pattern's.
"""
from pathlib import Path

import matplotlib.pyplot as plt
import numpy as np

import orbkit

# the shipped setups: examples/ at the root of the clone this script lies in
here = Path(__file__).parent if "__file__" in globals() else Path.cwd()  # the gallery: cwd
setup = next(p / "examples" / "migrate.setup" for p in (here, *here.parents)
             if (p / "examples" / "migrate.setup").is_file())
model = orbkit.Model.read(str(setup))  # as orbmigrate does
table = orbkit.migrate(model, method="dop853")                         # the .lxy table

fig, (left, right) = plt.subplots(1, 2, figsize=(11, 4.5))
left.scatter(table["L0"], table["dL"], s=4, color="k")
styles = {"CR": "-", "ILR": "--", "OLR": ":"}
colors = ["tab:blue", "tab:orange"]
for k in range(1, model.npatterns + 1):
    for kind, r in model.resonances(k).items():
        if np.isfinite(r):
            L = r * model.vc(r)            # angular momentum of a circular orbit at r
            if table["L0"].min() <= L <= table["L0"].max():
                left.axvline(L, ls=styles[kind], color=colors[k - 1],
                             label=f"pattern {k} {kind} (r = {r:.2f})")
            right.add_patch(plt.Circle((0, 0), r, fill=False, ls=styles[kind],
                                      color=colors[k - 1]))
left.set_xlabel("initial angular momentum $L_0$")
left.set_ylabel(r"$\Delta L = L_1 - L_0$")
left.legend(fontsize=7, loc="lower left")
right.scatter(table["x"], table["y"], s=3, color="k")
right.set_aspect("equal")
right.set_xlim(-4, 4)
right.set_ylim(-4, 4)
right.set_xlabel("x")
right.set_ylabel("y")
right.set_title("final positions, resonance circles")
fig.tight_layout()
fig.savefig("migration_survey.png", dpi=100)
plt.close(fig)

# %%
# The spread of the changes, star by star: the root mean square of :math:`\Delta L`
print(f"{len(table)} stars, rms dL = {np.sqrt(np.mean(table['dL'] ** 2)):.4f}, "
      f"largest |dL| = {np.abs(table['dL']).max():.4f}")
