"""
Diffusion in angular momentum of the example survey
===================================================

The migration example (two trailing spirals growing in turn) integrated for all its
400 stars with the fast integrator; the mean square change of angular momentum in bins
of the initial one gives the diffusion coefficient D_LL = <dL^2> / (2 t), with
bootstrap errors. It peaks at the spirals' corotations, where stars migrate.
"""
import os

import orbkit
from orbkit import analysis
from orbkit.plot import plot_diffusion

# this folder, docs/examples (the gallery runs its examples in it, without a __file__)
here = os.path.dirname(os.path.abspath(__file__)) if "__file__" in globals() else os.getcwd()
model = orbkit.Model.read(os.path.join(here, "..", "..", "examples", "migrate.setup"))
table = orbkit.migrate(model, method="dop853")                 # L0, dL, x, y per star
d = analysis.diffusion(table, t=model.tmax, bins=12, nboot=200)
for row in d:
    print("L0 %.2f  N %3d  D_LL %.2e +- %.1e" % (row["centre"], row["count"], row["D"], row["D_err"]))
plot_diffusion(model, d, "diffusion.png")
