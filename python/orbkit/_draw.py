"""The drawing that orbkit.plot and orbkit's analysis pictures share: matplotlib (Agg, loaded
when a figure is drawn), the figure in pixels, and its writing with the tool's error for a
file that cannot be written."""

DPI = 100                          # pixels per inch of the written PNG; sizes are in pixels
# each pattern's colour, and the line of each resonance: corotation solid, the inner
# Lindblad resonance dashed, the outer dotted
PATTERN_COLOURS = ["tab:red", "tab:blue", "tab:green", "tab:orange", "tab:purple",
                   "tab:brown", "tab:pink", "tab:olive", "tab:cyan", "tab:gray"]
RES_STYLE = {"CR": "-", "ILR": "--", "OLR": ":"}


class InputError(Exception):
    """Input the tool refuses; str() is the whole message without the program name."""


def _pyplot():
    try:
        import matplotlib
    except ImportError:
        raise InputError("matplotlib is not installed (Debian: python3-matplotlib)") from None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    plt.rcParams.update({"font.size": 10, "axes.titlesize": 10, "legend.fontsize": 8})
    return plt


def _figure(size, ncols):
    plt = _pyplot()
    fig, axes = plt.subplots(1, ncols, figsize=(size[0] / DPI, size[1] / DPI), dpi=DPI)
    return plt, fig, axes


def _save(plt, fig, out, rect=(0, 0, 1, 1)):
    fig.tight_layout(rect=rect)
    try:
        fig.savefig(out, dpi=DPI)
    except OSError as err:
        raise InputError(f"{out}: {err.strerror}") from None
    finally:
        plt.close(fig)
    return out
