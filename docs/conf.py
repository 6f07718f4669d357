"""Sphinx configuration of orbkit's documentation site.

Build (from the root of a clone, after building the module into build/python):

    PYTHONPATH=build/python sphinx-build -E -W --keep-going -b html docs build/docs

The site documents the module it is built with: the API reference is read from its
docstrings, the setup-file table from its field table and the programs' --help text, and
every gallery example runs against it. The programs are found beside the module
(BUILD/migrate/orbmigrate for BUILD/python/orbkit) unless ORBMIGRATE names one.
"""

import os
import re
import shutil
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

exclude_patterns = ["_build"]

templates_path = []
highlight_language = "text"   # literal blocks are program output and plain tables; code says its language
html_theme = "furo"
html_title = f"orbkit {release}".strip()
html_static_path = []

# Formulas render without a network (a cluster's login node, a laptop on a train): KaTeX from
# Debian's libjs-katex is copied into the built site, and Sphinx's math extension loads our own
# starter, which renders the \( \) and \[ \] that Sphinx writes. Nothing is fetched.
KATEX = Path(os.environ.get("ORBKIT_KATEX", "/usr/share/javascript/katex"))
if not (KATEX / "katex.min.js").exists():
    raise RuntimeError(f"the site renders its formulas with KaTeX, not found in {KATEX}: "
                       "sh tools/setup-debian.sh docs installs it (Debian: libjs-katex)")
mathjax_path = "katex/render-math.js"
mathjax_options = {"defer": "defer"}
html_js_files = ["katex/katex.min.js", "katex/contrib/auto-render.js"]
html_css_files = ["katex/katex.min.css"]
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


def _written_pictures(block, block_vars, gallery_conf):
    """The pictures an example wrote into its folder (the folder it runs in), moved into the
    gallery's images: the examples save their figures as a user would, with savefig or
    orbkit.plot, and so leave nothing behind in docs/examples."""
    from sphinx_gallery.scrapers import figure_rst
    folder = Path(block_vars["src_file"]).parent
    moved = []
    for png in sorted(folder.glob("*.png")):
        target = next(block_vars["image_path_iterator"])
        shutil.move(str(png), target)
        moved.append(target)
    return figure_rst(moved, gallery_conf["src_dir"])


sphinx_gallery_conf = {
    "within_subsection_order": _GalleryOrder,
    "examples_dirs": "examples",
    "gallery_dirs": "gallery",
    "filename_pattern": r"/plot_",
    "ignore_pattern": r"^(?!.*/plot_)",
    "abort_on_example_error": False,   # run them all, then fail the build naming each failure
    "run_stale_examples": True,        # every build runs every example against the module it documents
    "download_all_examples": False,
    "remove_config_comments": True,
    "matplotlib_animations": False,
    "image_scrapers": ("matplotlib", _written_pictures),
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


# The module's docstrings are plain text: they name the setup fields as they are spelled
# (gamma_), write Model(**fields), |L2 - L1| and tables indented under a line ending in ":".
# Read as reStructuredText those are links, emphasis, substitutions and stray indentation, so
# before numpydoc reads a docstring: such characters are escaped outside literal text, and an
# indented block after a line ending in ":" or after a paragraph becomes a literal block.
_FIELD_WORD = re.compile(r"(?<![\w`\\])([A-Za-z]\w*)_(?![\w`])")
_LONE_MARK = re.compile(r"(?<!\\)([*|])")
_PARAM_LINE = re.compile(r"^\s*\**[A-Za-z_]\w* : ")  # a numpydoc parameter: numpydoc's own


def _escape_plain(text):
    if text.count("*") >= 2 and re.search(r"(?<![\w*])\*[^\s*][^*]*(?<!\s)\*(?![\w*])", text):
        return _FIELD_WORD.sub(r"\1\\_", text.replace("|", "\\|"))  # *emphasis* meant
    return _FIELD_WORD.sub(r"\1\\_", _LONE_MARK.sub(r"\\\1", text))


def _indent(line):
    return len(line) - len(line.lstrip())


def _escape_docstring(app, what, name, obj, options, lines):
    out = []
    literal_indent = None
    for i, line in enumerate(lines):
        if literal_indent is not None:
            if not line.strip() or _indent(line) > literal_indent:
                out.append(line)
                continue
            literal_indent = None
        stripped = line.strip()
        before = next((x for x in reversed(lines[:i]) if x.strip()), None)
        if stripped and i and not lines[i - 1].strip() and before is not None \
                and _indent(line) > _indent(before) and not _PARAM_LINE.match(before):
            out += ["::", ""]      # an indented example after a paragraph: shown as written
            literal_indent = _indent(before)
            out.append(line)
            continue
        if stripped.startswith(">>>") or _PARAM_LINE.match(line):
            out.append(line)
            continue
        parts = line.split("``")
        parts[::2] = [_escape_plain(p) for p in parts[::2]]
        line = "``".join(parts)
        following = next((x for x in lines[i + 1:] if x.strip()), "")
        if stripped.endswith(":") and not stripped.endswith("::") and following \
                and _indent(following) > _indent(line) and not _PARAM_LINE.match(line):
            line += ":"            # the indented table below is shown as written
        out.append(line)
        if line.rstrip().endswith("::"):
            literal_indent = _indent(line)
            if i + 1 < len(lines) and lines[i + 1].strip():
                out.append("")
    lines[:] = out


_RENDER_MATH = r"""// renders the formulas Sphinx writes as \( \) and \[ \] with the bundled KaTeX
document.addEventListener("DOMContentLoaded", function () {
  renderMathInElement(document.body, {
    delimiters: [{left: "\\[", right: "\\]", display: true},
                 {left: "\\(", right: "\\)", display: false}],
    throwOnError: false
  });
});
"""


def _copy_katex(app, exception):
    """KaTeX and its fonts into the site (the fonts are links into fonts-katex: copied as files)."""
    if exception is not None or app.builder.format != "html":
        return
    target = Path(app.outdir) / "_static" / "katex"
    shutil.rmtree(target, ignore_errors=True)
    shutil.copytree(KATEX, target, symlinks=False,
                    ignore=shutil.ignore_patterns("*.mjs", "katex.js", "katex.css"))
    (target / "render-math.js").write_text(_RENDER_MATH)


def setup(app):
    app.connect("autodoc-process-docstring", _escape_docstring, priority=400)
    app.connect("build-finished", _copy_katex)
