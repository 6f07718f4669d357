"""
Diffusion in angular momentum of the example survey
===================================================

The migration example (two trailing spirals growing in turn) integrated for all its
400 stars with the fast integrator. Per bin of the initial angular momentum, with
dL = L1 - L0 over the bin's stars and bootstrap errors:

- the drift coefficient D1 = <dL> / dt and the diffusion coefficient
  D2 = var(dL) / dt = (<dL^2> - <dL>^2) / dt: the drift is kept out of D2;
- dt is the time over which the model's waves act (``analysis.acting_window``): from
  the first spiral's start (orbit 1) to the end of the run, not the run's length.
  Both spirals hold to the end here, so the window ends with the run.

The coefficients peak at the spirals' corotations, where stars migrate. Whether the
spread grows in proportion to time, as diffusion would, two times cannot tell:
``analysis.diffusion_history`` and :doc:`plot_transient_lifetime` follow it in time.
"""
import os

import orbkit
from orbkit import analysis
from orbkit.plot import plot_diffusion

# this folder, docs/examples (the gallery runs its examples in it, without a __file__)
here = os.path.dirname(os.path.abspath(__file__)) if "__file__" in globals() else os.getcwd()
model = orbkit.Model.read(os.path.join(here, "..", "..", "examples", "migrate.setup"))
table = orbkit.migrate(model, method="dop853")                 # L0, dL, x, y per star
start, end = analysis.acting_window(model)
print("waves act from t = %.3g to %.3g (%.3g orbits)" % (start, end, (end - start) / orbkit.twopi))
d = analysis.diffusion(table, model=model, bins=12, nboot=200)
for row in d:
    print("L0 %.2f  N %3d  D1 %+.2e +- %.1e  D2 %.2e +- %.1e" % (
        row["centre"], row["count"], row["D1"], row["D1_err"], row["D2"], row["D2_err"]))
plot_diffusion(model, d, "diffusion.png")
