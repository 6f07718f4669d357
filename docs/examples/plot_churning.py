"""
Churning and blurring in the example survey
===========================================

Every star of the migration example, from its initial to its final state: the change
of its guiding radius R_g (where v_c(R_g) R_g = L), the churning, which moves the whole
orbit, against the change of r - R_g, the blurring, which is only the star's place on
its epicycle. Near corotation churning dominates.
"""
import os

import numpy as np

import orbkit
from orbkit import analysis
from orbkit.plot import plot_churning

# this folder, docs/examples (the gallery runs its examples in it, without a __file__)
here = os.path.dirname(os.path.abspath(__file__)) if "__file__" in globals() else os.getcwd()
model = orbkit.Model.read(os.path.join(here, "..", "..", "examples", "migrate.setup"))
s = analysis.survey(model, method="dop853")        # initial and final states of every star
c = analysis.churning(model, s.initial, s.final, s.t, phases=s.phases)
print("rms churning %.3f, rms blurring %.3f" % (np.sqrt(np.mean(c["dRg"] ** 2)),
                                                np.sqrt(np.mean(c["blur"] ** 2))))
plot_churning(model, c, "churning.png")
