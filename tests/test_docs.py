#!/usr/bin/python3
"""The documentation site: it builds with warnings as errors (every gallery example run),
its API reference holds every public name of the module, every page's pictures are there,
and the front page, a gallery page and the model page render in a real browser, the model
page without a network and with every formula rendered.

    PYTHONPATH=build/python /usr/bin/python3 tests/test_docs.py OUT_DIR

builds docs/ into OUT_DIR with sphinx-build -E -W --keep-going, as the README's command does.
The programs are found beside the module (ORBMIGRATE names another). The screenshots are
taken with headless Chromium (CHROMIUM, else `chromium` on the PATH); without it that part
is skipped (exit status 77), after every other check has run.
"""
import ast
import html.parser
import importlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path
from urllib.parse import unquote, urlparse

ROOT = Path(__file__).resolve().parents[1]
DOCS = ROOT / "docs"
PNG_MAGIC = b"\x89PNG\r\n\x1a\n"
SKIP = 77

failures = []


def check(ok, message):
    if not ok:
        failures.append(message)
        print(f"FAIL: {message}", flush=True)
    return ok


# ---- building

def build_site(out):
    cmd = [sys.executable, "-m", "sphinx", "-E", "-W", "--keep-going", "-q", "-b", "html",
           str(DOCS), str(out)]
    done = subprocess.run(cmd, capture_output=True, text=True)
    sys.stdout.write(done.stdout[-4000:])
    sys.stderr.write(done.stderr[-8000:])
    return check(done.returncode == 0, f"sphinx-build ended with status {done.returncode}")


# ---- what the built HTML holds

class Page(html.parser.HTMLParser):
    def __init__(self, path):
        super().__init__()
        self.ids, self.images = set(), []
        self.feed(Path(path).read_text(encoding="utf-8"))

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if "id" in attrs:
            self.ids.add(attrs["id"])
        if tag == "img":
            self.images.append(attrs.get("src", ""))


def defined_names(module):
    """A module's public names as its source defines them: its __all__, else every top-level
    def, class and assignment whose name has no leading underscore."""
    if hasattr(module, "__all__"):
        return list(module.__all__)
    tree = ast.parse(Path(module.__file__).read_text())
    names = []
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            names.append(node.name)
        elif isinstance(node, (ast.Assign, ast.AnnAssign)):
            targets = node.targets if isinstance(node, ast.Assign) else [node.target]
            names += [t.id for t in targets if isinstance(t, ast.Name)]
    return [n for n in dict.fromkeys(names) if not n.startswith("_")]


def expected_api_names():
    import orbkit
    names = [f"orbkit.{n}" for n in orbkit.__all__]
    names += [f"orbkit.Model.{n}" for n in dir(orbkit.Model) if not n.startswith("_")]
    for sub in ("plot", "analysis", "transients"):
        try:
            module = importlib.import_module(f"orbkit.{sub}")
        except ImportError:
            if sub == "plot":
                check(False, "orbkit.plot does not import")
            continue
        names += [f"orbkit.{sub}.{n}" for n in defined_names(module)]
        for cls in (getattr(module, n) for n in defined_names(module)):
            if isinstance(cls, type) and not issubclass(cls, BaseException):
                names += [f"orbkit.{sub}.{cls.__name__}.{m}" for m in vars(cls) if not m.startswith("_")]
    return names


def check_api(out):
    page = out / "api.html"
    if not check(page.exists(), "no api.html in the built site"):
        return
    ids = Page(page).ids
    wanted = expected_api_names()
    missing = [n for n in wanted if n not in ids]
    check(not missing, f"public names missing from the API reference: {missing}")
    print(f"API reference: {len(wanted) - len(missing)} of {len(wanted)} public names documented")


def check_gallery(out):
    examples = sorted(p.stem for p in (DOCS / "examples").glob("plot_*.py"))
    check(len(examples) >= 4, f"only {len(examples)} gallery examples")
    for stem in examples:
        page = out / "gallery" / f"{stem}.html"
        if not check(page.exists(), f"gallery page {page.name} was not built"):
            continue
        made = [src for src in Page(page).images if f"sphx_glr_{stem}_" in src]
        check(made, f"{page.name}: the example drew no picture")


def check_images(out):
    """Every <img> of every page names a file of the site that is a whole PNG."""
    from PIL import Image
    count = 0
    for page in sorted(out.rglob("*.html")):
        for src in Page(page).images:
            url = urlparse(src)
            if url.scheme in ("http", "https", "data"):
                check(url.scheme == "data", f"{page.relative_to(out)}: image from the network: {src}")
                continue
            path = (page.parent / unquote(url.path)).resolve()
            if not check(path.is_file(), f"{page.relative_to(out)}: missing image {src}"):
                continue
            count += 1
            data = path.read_bytes()
            if check(data[:8] == PNG_MAGIC, f"{page.relative_to(out)}: {src} is not a PNG"):
                try:
                    with Image.open(path) as im:
                        im.load()
                        check(min(im.size) > 1, f"{src}: {im.size} pixels")
                except OSError as err:
                    check(False, f"{page.relative_to(out)}: {src} does not decode: {err}")
    print(f"images: {count} checked")


# ---- in a browser

def chromium_offline(chromium, profile, *args):
    """Chromium as on a machine without a network: no host name resolves, so anything the
    site would fetch from outside (a CDN's script or font) fails as it would there."""
    cmd = [chromium, "--headless", "--disable-gpu", "--hide-scrollbars", "--no-first-run",
           f"--user-data-dir={profile}", "--host-resolver-rules=MAP * ~NOTFOUND", *args]
    if os.geteuid() == 0:
        cmd.insert(1, "--no-sandbox")  # Chromium's sandbox refuses to run as root
    return subprocess.run(cmd, capture_output=True, text=True, timeout=120)


def screenshot(chromium, page, png, profile):
    done = chromium_offline(chromium, profile, "--window-size=1280,1400", "--virtual-time-budget=5000",
                            f"--screenshot={png}", page.as_uri())
    return check(done.returncode == 0 and png.exists(),
                 f"chromium on {page.name}: status {done.returncode}: {done.stderr[-2000:]}")


def check_math_offline(chromium, page, profile):
    """The page's formulas as the browser shows them without a network: every one rendered
    (KaTeX's markup), none left as raw LaTeX delimiters or as a KaTeX error."""
    done = chromium_offline(chromium, profile, "--virtual-time-budget=5000", "--dump-dom", page.as_uri())
    if not check(done.returncode == 0, f"chromium --dump-dom on {page.name}: status {done.returncode}"):
        return
    dom = done.stdout
    written = len(re.findall(r'class="math notranslate', page.read_text()))
    rendered = dom.count('class="katex"') + dom.count('class="katex-display"')
    text = re.sub(r"<(script|style|annotation)[^>]*>.*?</\1>", "", dom, flags=re.S)
    text = re.sub(r"<[^>]+>", "", text)
    raw = re.findall(r"\\[(\[]", text)
    print(f"{page.name} offline: {written} formulas written, {rendered} rendered, {len(raw)} raw")
    check(written > 0, f"{page.name}: no formula written (the check would prove nothing)")
    check(not raw, f"{page.name}: {len(raw)} raw LaTeX delimiters left without a network")
    check(rendered >= written, f"{page.name}: {rendered} of {written} formulas rendered")
    check("katex-error" not in dom, f"{page.name}: a formula KaTeX cannot read")


def check_rendered(png, name):
    """A rendered page: many colours (text, code, a figure), not one blank colour."""
    from PIL import Image
    with Image.open(png) as im:
        rgb = im.convert("RGB")
        colours = rgb.getcolors(maxcolors=1 << 20)
        width, height = rgb.size
    if not check(colours is not None, f"{name}: unreadable screenshot"):
        return
    commonest = max(count for count, _ in colours)
    print(f"{name}: {width}x{height}, {len(colours)} colours, the commonest covers "
          f"{commonest / (width * height):.0%}")
    check(len(colours) >= 500, f"{name}: only {len(colours)} colours: a blank or unstyled page")
    check(commonest < 0.95 * width * height, f"{name}: one colour covers the page")


def check_browser(out, shots):
    chromium = os.environ.get("CHROMIUM") or shutil.which("chromium")
    if not chromium:
        print("chromium not found (Debian: chromium; sh tools/setup-debian.sh docs): "
              "the site is not opened in a browser")
        return False
    with tempfile.TemporaryDirectory() as profile:
        for page, name in ((out / "index.html", "front.png"),
                           (out / "gallery" / "plot_migration_survey.html", "gallery.png")):
            png = shots / name
            png.unlink(missing_ok=True)
            if screenshot(chromium, page, png, profile):
                check_rendered(png, f"{page.relative_to(out)} ({png})")
        check_math_offline(chromium, out / "model.html", profile)
        screenshot(chromium, out / "model.html", shots / "model.png", profile)
    return True


def main():
    out = Path(sys.argv[1] if len(sys.argv) > 1 else ROOT / "build" / "docs").resolve()
    if build_site(out):
        check_api(out)
        check_gallery(out)
        check_images(out)
        shots = out.parent / f"{out.name}-screenshots"   # kept, to be looked at
        shots.mkdir(exist_ok=True)
        browsed = check_browser(out, shots)
    else:
        browsed = True
    if failures:
        print(f"{len(failures)} failure(s)")
        return 1
    return 0 if browsed else SKIP


if __name__ == "__main__":
    sys.exit(main())
