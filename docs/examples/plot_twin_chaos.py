"""
A twin study of chaos
=====================

``orbtwin`` integrates every star together with a twin started 1e-9 further out in x. On a
regular orbit the two stay close; near the resonances of overlapping spirals the orbits are
chaotic and the twins part until their final angular momenta differ as much as any two stars'.

``orbkit.twin`` gives the table ``L0 L1 L2`` (the star's initial and final L, the twin's final
L) at full precision, so differences far below the file's three decimals show. The shipped
``examples/twin.setup`` runs 100 stars for 60 orbits under two spirals, with phases drawn per
star.
"""
from pathlib import Path

import matplotlib.pyplot as plt
import numpy as np

import orbkit

# the shipped setups: examples/ at the root of the clone this script lies in
here = Path(__file__).parent if "__file__" in globals() else Path.cwd()  # the gallery: cwd
setup = next(p / "examples" / "twin.setup" for p in (here, *here.parents)
             if (p / "examples" / "twin.setup").is_file())
model = orbkit.Model.read(str(setup))
table = orbkit.twin(model, method="dop853")
parted = np.abs(table["L2"] - table["L1"])

fig, (left, right) = plt.subplots(1, 2, figsize=(11, 4.5))
left.semilogy(table["L0"], parted, "k.", ms=4)
left.axhline(orbkit.twin_offset, color="grey", ls=":", label="initial offset in x (1e-9)")
for k in range(1, model.npatterns + 1):
    r = model.resonances(k)["CR"]
    left.axvline(r * model.vc(r), color=f"C{k}", label=f"corotation of pattern {k}")
left.set_xlabel("initial angular momentum $L_0$")
left.set_ylabel("$|L_2 - L_1|$, twin against star at the end")
left.legend(fontsize=8)
right.plot(table["L1"] - table["L0"], table["L2"] - table["L0"], "k.", ms=4)
lim = np.abs(table["L1"] - table["L0"]).max() * 1.1
right.plot([-lim, lim], [-lim, lim], color="grey", lw=0.5)
right.set_xlabel(r"$\Delta L$ of the star")
right.set_ylabel(r"$\Delta L$ of its twin")
right.set_aspect("equal")
fig.tight_layout()
fig.savefig("twin_chaos.png", dpi=100)
plt.close(fig)

# %%
# How many pairs parted by more than a millionth in L: the chaotic fraction of this model
chaotic = parted > 1e-6
print(f"{chaotic.sum()} of {len(table)} twin pairs differ by more than 1e-6 in their final L")
