"""
Exact orbit quantities and an equilibrium disc
==============================================

Left: along one orbit of a rising rotation curve (``gamma_`` = 0.3), the record line's
epicyclic radial action J swings by a factor 2 while Model.actions' radial action J_R,
a quadrature between the turning points, stays constant. Right: a disc drawn from
Dehnen's distribution function (Model.draw_df) keeps its radial dispersion profile over
20 orbits in the background alone, where the programs' draw (tangential speed 1, Gaussian
radial speed) does not.
"""
import warnings

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import orbkit  # noqa: E402

model = orbkit.Model(gamma_=0.3, dt_int=0.5, nsteps=40, r_min=0.6, r_max=1.6, disp_u0=0.15,
                     nstars=5000)
t = np.linspace(0.0, 3 * orbkit.twopi, 400)
orbit = model.integrate(np.array([1.2, 0.0, 0.15, 1.2 ** 0.3]), t, method="dop853")
exact = model.actions(orbit)
record = model.record(orbit)
print("J swings by a factor %.2f, J_R by %.1e" % (record["J"].max() / record["J"].min(),
                                                   np.ptp(exact["J_R"]) / exact["J_R"].mean()))

with warnings.catch_warnings():
    warnings.simplefilter("ignore")  # the default profile's hot centre is said in a warning
    disc = model.draw_df(5000, seed=1)
plain = model.draw()
end = np.array([20 * orbkit.twopi])


def dispersion(states, edges):
    r = np.hypot(states[:, 0], states[:, 1])
    vr = (states[:, 0] * states[:, 2] + states[:, 1] * states[:, 3]) / r
    which = np.digitize(r, edges) - 1
    return np.array([np.sqrt(np.mean(vr[which == i] ** 2)) for i in range(len(edges) - 1)])


edges = np.linspace(0.6, 1.6, 6)
mid = 0.5 * (edges[1:] + edges[:-1])
fig, (a, b) = plt.subplots(1, 2, figsize=(10, 4.2), layout="constrained")
a.plot(t / orbkit.twopi, record["J"], label="record line's J (epicyclic)")
a.plot(t / orbkit.twopi, exact["J_R"], label="Model.actions' J_R (exact)")
a.set_xlabel("t [orbits at r = 1]")
a.set_ylabel("radial action")
a.legend()
for states, name, colour in ((disc, "draw_df (Dehnen)", "C0"), (plain, "draw (programs)", "C3")):
    b.plot(mid, dispersion(states, edges), "o-", color=colour, label=name + ", t = 0")
    later = model.integrate(states, end, method="dop853")[:, -1]
    b.plot(mid, dispersion(later, edges), "s--", color=colour, label=name + ", 20 orbits")
b.set_xlabel("r")
b.set_ylabel(r"$\sigma_R$")
b.legend(fontsize=8)
fig.savefig("actions.png", dpi=80)
