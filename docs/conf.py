"""Sphinx configuration of orbkit's documentation site.

Build (from the root of a clone, after building the module into build/python):

    PYTHONPATH=build/python sphinx-build -W --keep-going -b html docs build/docs

The site documents the module it is built with: the API reference is read from its
docstrings, the setup-file table from its field table and the programs' --help text, and
every gallery example runs against it. The programs are found beside the module
(BUILD/migrate/orbmigrate for BUILD/python/orbkit) unless ORBMIGRATE names one.
"""

import os
import re
import subprocess
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))  # _gen: the pages made from the module at build time

try:
    import orbkit
except ImportError as err:  # the site documents a built module, never a guess of one
    raise RuntimeError("the documentation needs the built orbkit module: set PYTHONPATH to the "
                       f"build's python folder (e.g. PYTHONPATH=build/python); {err}") from None

import _gen  # noqa: E402

project = "orbkit"
author = "the orbkit developers"
copyright = "the orbkit developers"
version = release = getattr(orbkit, "__version__", "")

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.mathjax",
    "numpydoc",
    "sphinx_gallery.gen_gallery",
]
if any(HERE.glob("*.md")):
    extensions.append("myst_parser")
    source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
    myst_heading_anchors = 3

# another page may be given as Markdown (galpy.md); the reStructuredText fallback then steps aside
exclude_patterns = ["_build"]
if (HERE / "galpy.md").exists():
    exclude_patterns.append("galpy.rst")

templates_path = []
html_theme = "furo"
html_title = f"orbkit {release}".strip()
html_static_path = []
html_show_sourcelink = False
html_last_updated_fmt = None

# the API reference: the docstrings as written (numpydoc sections where they have them)
autodoc_member_order = "bysource"
autodoc_typehints = "signature"
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
numpydoc_xref_param_type = False

# the gallery: every docs/examples/plot_*.py runs at each build; its pictures are its own


class _GalleryOrder:
    """The programs' experiments first, then the analyses, then any other example."""
    first = ["plot_migration_survey.py", "plot_transient_wave.py", "plot_twin_chaos.py",
             "plot_spread_ensemble.py", "plot_lyapunov.py", "plot_diffusion.py",
             "plot_churning.py", "plot_trapping.py"]

    def __init__(self, src_dir):
        self.src_dir = src_dir

    def __call__(self, filename):
        if filename in self.first:
            return (0, self.first.index(filename), filename)
        return (1, 0, filename)

    def __repr__(self):  # Sphinx compares configurations by their text
        return "_GalleryOrder"


sphinx_gallery_conf = {
    "within_subsection_order": _GalleryOrder,
    "examples_dirs": "examples",
    "gallery_dirs": "gallery",
    "filename_pattern": r"/plot_",
    "ignore_pattern": r"^(?!.*/plot_)",
    "abort_on_example_error": False,   # run them all, then fail the build naming each failure
    "download_all_examples": False,
    "remove_config_comments": True,
    "matplotlib_animations": False,
    "image_scrapers": ("matplotlib",),
    "reset_modules": ("matplotlib",),
    "min_reported_time": 1,
    "capture_repr": (),
}


def _orbmigrate():
    named = os.environ.get("ORBMIGRATE")
    if named:
        return named
    beside = Path(orbkit.__file__).resolve().parents[2] / "migrate" / "orbmigrate"
    if beside.exists():
        return str(beside)
    raise RuntimeError("the setup page quotes orbmigrate --help: build the programs, or name "
                       "one with ORBMIGRATE=PATH")


def _help_text():
    done = subprocess.run([_orbmigrate(), "--help"], capture_output=True, text=True)
    if done.returncode != 0 or not done.stdout.strip():
        raise RuntimeError(f"orbmigrate --help ended with status {done.returncode}: {done.stderr}")
    return done.stdout


_gen.write_all(HERE / "generated", orbkit, _help_text(), _orbmigrate(), HERE.parent)


# The module's docstrings name the setup fields as they are spelled (gamma_, ...); in
# reStructuredText a word ending in "_" is a link. Escape such words outside literal text.
_FIELD_WORD = re.compile(r"(?<![\w`\\])([A-Za-z]\w*)_(?![\w`])")


def _escape_field_names(app, what, name, obj, options, lines):
    literal_indent = None
    for i, line in enumerate(lines):
        indent = len(line) - len(line.lstrip())
        if literal_indent is not None:
            if not line.strip() or indent > literal_indent:
                continue
            literal_indent = None
        if line.lstrip().startswith(">>>"):
            continue
        parts = line.split("``")
        parts[::2] = [_FIELD_WORD.sub(r"\1\\_", p) for p in parts[::2]]
        lines[i] = "``".join(parts)
        if line.rstrip().endswith("::"):
            literal_indent = indent


def setup(app):
    app.connect("autodoc-process-docstring", _escape_field_names, priority=400)
