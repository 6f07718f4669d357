"""Pages of the site made from the built module and programs at each build, so that they
cannot drift from the code: the setup fields (the module's field table, with the units and
meanings of the programs' --help), the --help and --check texts, and the API reference's
list of every public name of orbkit, orbkit.plot, orbkit.analysis and orbkit.transients.

The files go to docs/generated/ (not kept in git) as .inc files that the pages include.
"""

import importlib
import inspect
import shutil
import subprocess
import tempfile
import types
from pathlib import Path


def _literal(text, indent="   "):
    return "".join(indent + line if line.strip() else "\n" for line in text.splitlines(True))


def _write(path, text):
    path.parent.mkdir(parents=True, exist_ok=True)
    if not path.exists() or path.read_text() != text:  # unchanged files keep Sphinx's cache
        path.write_text(text)


# ---- the setup file

def help_fields(help_text):
    """The setup-file rows of --help: {name: (line, unit, meaning)}, in the help's order.
    A row is '  LINE  NAME  UNIT  MEANING' in fixed columns; a row's meaning may go on in
    the next line only through the next row ('... and r_max')."""
    rows = {}
    lines = help_text.splitlines()
    start = next(i for i, line in enumerate(lines) if line.lstrip().startswith("1  gamma_"))
    for line in lines[start:]:
        if not line.startswith("  ") or not line[:6].strip().lstrip("+").isdigit():
            break
        rows[line[6:17].strip()] = (line[:6].strip(), line[17:32].strip(), line[32:].strip())
    return rows


def fields_table(orbkit, help_text):
    rows = help_fields(help_text)
    names = list(orbkit.scalar_names) + list(orbkit.pattern_names)
    missing = [n for n in names if n not in rows]
    extra = [n for n in rows if n not in names]
    if missing or extra:
        raise RuntimeError(f"orbmigrate --help and the module's field table differ: missing in the "
                           f"help {missing}, not in the module {extra}")
    out = [".. list-table::", "   :header-rows: 1", "   :widths: 8 14 14 64", "",
           "   * - line", "     - name", "     - unit", "     - meaning"]
    for n in names:
        line, unit, meaning = rows[n]
        out += [f"   * - {line}", f"     - ``{n}``", f"     - {unit or '–'}",
                f"     - {meaning or '–'}"]
    return "\n".join(out) + "\n"


def check_texts(orbmigrate, root):
    """--check of the shipped example, and of the same file with a comment line added."""
    setup = (Path(root) / "examples" / "migrate.setup").read_text()
    lines = setup.splitlines(True)
    broken = "".join(lines[:2] + ["# a comment line\n"] + lines[2:])
    out = {}
    with tempfile.TemporaryDirectory() as tmp:
        for name, text in (("migrate.setup", setup), ("commented.setup", broken)):
            (Path(tmp) / name).write_text(text)
            done = subprocess.run([orbmigrate, "--check", name], cwd=tmp, capture_output=True,
                                  text=True)
            out[name] = (done.returncode, done.stdout + done.stderr)
    return out


# ---- the API reference

def public_names(module):
    """The public names of a module of orbkit: its __all__ if it has one, else every name
    without a leading underscore that is defined there (not a module, not imported)."""
    if hasattr(module, "__all__"):
        return list(module.__all__)
    names = []
    for name, value in vars(module).items():
        if name.startswith("_") or isinstance(value, types.ModuleType):
            continue
        home = getattr(value, "__module__", None)
        if (inspect.isfunction(value) or inspect.isclass(value)) and home != module.__name__:
            continue  # imported from elsewhere
        if not callable(value) and name in vars(importlib.import_module("orbkit")) \
                and module.__name__ != "orbkit":
            continue  # a value imported from the package
        names.append(name)
    return names


def module_constants(orbkit):
    """Public values of the package that __all__ does not list (the compiled constants)."""
    return [n for n, v in vars(orbkit).items()
            if not n.startswith("_") and n not in orbkit.__all__
            and not isinstance(v, types.ModuleType) and not callable(v)]


def _entry(qualified, value):
    if inspect.isclass(value) and issubclass(value, BaseException):
        return [f".. autoexception:: {qualified}", ""]
    if inspect.isclass(value):
        members = [m for m in dir(value) if not m.startswith("_")]
        return [f".. autoclass:: {qualified}", f"   :members: {', '.join(members)}",
                "   :undoc-members:", ""]
    if callable(value):
        return [f".. autofunction:: {qualified}", ""]
    shown = repr(value)
    if len(shown) > 70:
        shown = shown[:67] + "..."
    # under the module's own heading (automodule made it the current module): the short name
    return [f".. py:data:: {qualified.rsplit('.', 1)[1]}", f"   :value: {shown}", ""]


def api_text(orbkit):
    out = []
    pkg_names = public_names(orbkit)
    out += ["The package ``orbkit``", "-" * 22, "",
            ".. automodule:: orbkit", ""]
    for name in pkg_names:
        out += _entry(f"orbkit.{name}", getattr(orbkit, name))
    constants = module_constants(orbkit)
    if constants:
        out += ["Constants of the compiled core", "~" * 30, ""]
        for name in constants:
            out += _entry(f"orbkit.{name}", getattr(orbkit, name))
    for sub in ("plot", "analysis", "transients"):
        try:
            module = importlib.import_module(f"orbkit.{sub}")
        except ImportError:
            continue
        title = f"``orbkit.{sub}``"
        out += [title, "-" * len(title), "", f".. automodule:: orbkit.{sub}", ""]
        for name in public_names(module):
            out += _entry(f"orbkit.{sub}.{name}", getattr(module, name))
    return "\n".join(out) + "\n"


def resonances_table(orbkit, root):
    out = [".. list-table::", "   :header-rows: 1", "", "   * - setup", "     - pattern",
           "     - m", "     - Omegas", "     - CR: r (L)", "     - ILR: r (L)", "     - OLR: r (L)"]
    for name in ("migrate.setup", "twin.setup"):
        model = orbkit.Model.read(str(Path(root) / "examples" / name))
        for k in range(1, model.npatterns + 1):
            p = model.patterns[k - 1]
            radii = model.resonances(k)
            cells = []
            for kind in ("CR", "ILR", "OLR"):
                r = radii[kind]
                cells.append("none" if r != r else f"{r:.3f} ({r * float(model.vc(r)):.3f})")
            out += [f"   * - ``examples/{name}``", f"     - {k}", f"     - {p['mm']:g}",
                    f"     - {p['Omegas']:g}"] + [f"     - {c}" for c in cells]
    return "\n".join(out) + "\n"


# ---- how to cite: CITATION.cff at the root, the one place its words are kept

def citation_fields(path):
    """The top-level "key: value" lines of a CITATION.cff and its authors' names (the file is
    flat YAML; no YAML library is needed for it)."""
    fields, authors = {}, []
    for line in Path(path).read_text().splitlines():
        stripped = line.strip()
        if stripped.startswith("- name:"):
            authors.append(stripped.split(":", 1)[1].strip().strip('"'))
        elif line and not line[0].isspace() and ":" in line and not line.startswith("#"):
            key, value = line.split(":", 1)
            fields[key.strip()] = value.strip().strip('"')
    fields["authors"] = authors
    return fields


def citation_text(orbkit, root):
    f = citation_fields(Path(root) / "CITATION.cff")
    version = getattr(orbkit, "__version__", "")
    if f.get("version") != version:
        raise RuntimeError(f"CITATION.cff gives version {f.get('version')}, the module {version}: "
                           "update CITATION.cff with the project's version")
    year = f.get("date-released", "")[:4]
    return ("::\n\n" + _literal(f"{', '.join(f['authors'])} ({year}). {f['title']}.\n"
                                 f"Version {f['version']}, released {f['date-released']}. "
                                 f"Licence: {f['license']}.\n") + "\n")


def write_all(outdir, orbkit, help_text, orbmigrate, root):
    outdir = Path(outdir)
    _write(outdir / "citation.inc", citation_text(orbkit, root))
    _write(outdir / "resonances.inc", resonances_table(orbkit, root))
    _write(outdir / "help.inc", "::\n\n" + _literal(help_text) + "\n")
    _write(outdir / "fields.inc", fields_table(orbkit, help_text))
    for name, (status, text) in check_texts(orbmigrate, root).items():
        stem = name.split(".")[0]
        _write(outdir / f"check_{stem}.inc",
               f"::\n\n   $ orbmigrate --check {name}\n" + _literal(text) +
               f"   $ echo $?\n   {status}\n\n")
    _write(outdir / "api.inc", api_text(orbkit))
    # stale files of an older build would be included by nothing; remove them
    keep = {"help.inc", "fields.inc", "check_migrate.inc", "check_commented.inc", "api.inc",
            "resonances.inc", "citation.inc"}
    for f in outdir.iterdir():
        if f.name not in keep:
            f.unlink() if f.is_file() else shutil.rmtree(f)
