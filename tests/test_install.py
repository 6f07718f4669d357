#!/usr/bin/python3
"""Tests of orbkit as a site or a user installs it, from the tree CTest built (nothing is
built again).

  test_install.py Installed       cmake --install into a temporary prefix; the installed
                                  programs on the installed examples, the module, orbplot,
                                  and the install page's C++ program built against the package
  test_install.py DebianPackage   cpack -G DEB into a temporary folder: its files, its
                                  fields and dependencies, its programs unpacked

Everything installed runs in a clean environment: PATH with the prefix's bin/, /usr/bin
and /bin, and HOME; no folder of the build or of the sources on any path. CTest sets
ORBKIT_BUILD (the built tree), ORBKIT_CMAKE and ORBKIT_CPACK, ORBKIT_VERSION, the install
folders relative to the prefix (ORBKIT_BINDIR, ORBKIT_INCLUDEDIR, ORBKIT_LIBDIR,
ORBKIT_DATADIR, ORBKIT_CMAKEDIR, ORBKIT_PYTHONDIR, empty without the module), and
ORBKIT_MPI=1 when the programs are built with MPI.
"""

import glob
import gzip
import math
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("ORBKIT_BUILD", os.path.join(ROOT, "build"))
CMAKE = os.environ.get("ORBKIT_CMAKE", "cmake")
CPACK = os.environ.get("ORBKIT_CPACK", "cpack")
VERSION = os.environ.get("ORBKIT_VERSION", "")
DIRS = {key: os.environ.get(f"ORBKIT_{key.upper()}DIR", default) for key, default in (
    ("bin", "bin"), ("include", "include"), ("lib", "lib"), ("data", "share"),
    ("cmake", "lib/cmake/orbkit"),
    ("python", f"lib/python{sys.version_info.major}.{sys.version_info.minor}/dist-packages"))}
MODULE = bool(DIRS["python"])
MPI = os.environ.get("ORBKIT_MPI") == "1"
PROGRAMS = ("orbspread", "orbmigrate", "orbtwin")
# the interface a C++ user programs against: the core's and the drivers' headers (all of
# them are installed but the kernels the library compiles inside itself)
API_HEADERS = ("params.h", "state.h", "galaxy.h", "integrator.h", "dop853.h", "follow.h", "output.h",
               "mathlib.h", "survey.h", "spread.h", "tasks.h")
# one run of each program on an installed example, and the regression case that holds its bytes
EXAMPLE_CASES = ("example-spread", "example-transient", "example-twin")
TWOPI = 6.283185307179586


def run(args, **kw):
    return subprocess.run(args, capture_output=True, text=True, timeout=600, **kw)


def ok(test, r, what):
    test.assertEqual(r.returncode, 0, f"{what} failed:\n{r.stdout}\n{r.stderr}")


def clean_env(prefix, home, **extra):
    """What a user who installed orbkit into prefix has: nothing of the build."""
    return {"PATH": f"{os.path.join(prefix, DIRS['bin'])}:/usr/bin:/bin", "HOME": home, **extra}


def source_files(*patterns):
    return {os.path.basename(f): f for p in patterns for f in glob.glob(os.path.join(ROOT, p))}


def expected_paths():
    """Files that an install must hold, relative to its prefix: {path: source file or None}."""
    paths = {os.path.join(DIRS["bin"], p): None for p in PROGRAMS}
    headers = source_files("core/*.h", "drivers/*.h")
    for name in API_HEADERS:
        paths[os.path.join(DIRS["include"], "orbkit", name)] = headers[name]
    for lib in ("liborbcore.a", "liborbdrivers.a"):
        paths[os.path.join(DIRS["lib"], lib)] = None
    for f in ("orbkitConfig.cmake", "orbkitConfigVersion.cmake", "orbkitTargets.cmake"):
        paths[os.path.join(DIRS["cmake"], f)] = None
    for name, src in source_files("examples/*").items():
        paths[os.path.join(DIRS["data"], "orbkit", "examples", name)] = src
    for name in ("copyright", "changelog.gz"):  # where Debian keeps the licence and the history
        paths[os.path.join(DIRS["data"], "doc", "orbkit", name)] = None
    if MODULE:
        paths[os.path.join(DIRS["bin"], "orbplot")] = None
        package = source_files("python/orbkit/*.py", "python/orbkit/*.pyi", "python/orbkit/py.typed")
        for name, src in package.items():
            paths[os.path.join(DIRS["python"], "orbkit", name)] = src
    return paths


def files_under(top):
    return sorted(os.path.relpath(os.path.join(d, f), top) for d, _, fs in os.walk(top) for f in fs)


def module_of_orbplot(test, orbplot, env):
    """The file of the orbkit package that orbplot imports when started in env."""
    probe = ("import contextlib, io, runpy, sys\n"
             "sys.argv = [sys.argv[1], '--help']\n"
             "with contextlib.redirect_stdout(io.StringIO()):\n"
             "    try:\n"
             "        runpy.run_path(sys.argv[0], run_name='__main__')\n"
             "    except SystemExit as e:\n"
             "        assert not e.code, e.code\n"
             "print(sys.modules['orbkit'].__file__)\n")
    r = run(["/usr/bin/python3", "-c", probe, orbplot], env=env)
    ok(test, r, "orbplot --help")
    return r.stdout.strip()


class Installed(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="orbkit-install-")
        cls.addClassCleanup(shutil.rmtree, cls.tmp)
        cls.prefix = os.path.join(cls.tmp, "prefix")
        cls.home = os.path.join(cls.tmp, "home")
        os.mkdir(cls.home)
        cls.install = run([CMAKE, "--install", BUILD, "--prefix", cls.prefix])
        if cls.install.returncode:
            raise RuntimeError(f"cmake --install failed:\n{cls.install.stdout}\n{cls.install.stderr}")
        cls.env = clean_env(cls.prefix, cls.home)
        # each program once on an installed example, as a user would start it
        cls.runs = {}
        for case in EXAMPLE_CASES:
            with open(os.path.join(ROOT, "tests", "regress", case, "case")) as f:
                program, setup = f.read().split()
            work = os.path.join(cls.tmp, case)
            os.mkdir(work)
            base = os.path.basename(setup)
            shutil.copyfile(os.path.join(cls.prefix, DIRS["data"], "orbkit", "examples", base),
                            os.path.join(work, base))
            r = subprocess.run([program, base], cwd=work, env=cls.env, capture_output=True, timeout=600)
            left = {"stdout": r.stdout, "stderr": r.stderr, "status": b"%d\n" % r.returncode}
            for f in os.listdir(work):
                if f != base:
                    with open(os.path.join(work, f), "rb") as fh:
                        left[f] = fh.read()
            cls.runs[case] = (work, base, left)

    def test_the_prefix_holds_the_programs_headers_libraries_package_examples_and_module(self):
        installed = files_under(self.prefix)
        for path, src in expected_paths().items():
            full = os.path.join(self.prefix, path)
            self.assertIn(path, installed)
            if path.startswith(DIRS["bin"] + "/"):
                self.assertTrue(os.access(full, os.X_OK), path)
            if src:
                with open(full, "rb") as a, open(src, "rb") as b:
                    self.assertEqual(a.read(), b.read(), f"{path} is not {src}")
        # the headers are the core's and the drivers' as they are, nothing of the programs'
        # own layer (that each one compiles in a user's program is tested below)
        include = os.path.join(DIRS["include"], "orbkit")
        sources = source_files("core/*.h", "drivers/*.h")
        for name in os.listdir(os.path.join(self.prefix, include)):
            self.assertIn(name, sources)
            with open(os.path.join(self.prefix, include, name), "rb") as a, open(sources[name], "rb") as b:
                self.assertEqual(a.read(), b.read(), f"{include}/{name} is not {sources[name]}")
        if MODULE:
            self.assertTrue(glob.glob(os.path.join(self.prefix, DIRS["python"], "orbkit", "_orbkit*.so")))
        # the licence in Debian's machine-readable copyright format, word for word, and the
        # changelog as written
        doc = os.path.join(self.prefix, DIRS["data"], "doc", "orbkit")
        with open(os.path.join(doc, "copyright")) as f:
            copyright_text = f.read()
        self.assertTrue(copyright_text.startswith("Format: https://www.debian.org/doc/packaging-manuals/"
                                                  "copyright-format/1.0/\n"), copyright_text[:200])
        stanza = copyright_text.split("\nLicense: BSD-3-Clause\n")[-1]
        unfolded = "\n".join("" if line == " ." else line[1:] for line in stanza.rstrip("\n").split("\n"))
        with open(os.path.join(ROOT, "LICENSE")) as f:
            self.assertEqual(unfolded, f.read().rstrip("\n"))
        with gzip.open(os.path.join(doc, "changelog.gz"), "rb") as a, \
                open(os.path.join(ROOT, "CHANGELOG.md"), "rb") as b:
            self.assertEqual(a.read(), b.read())

    def test_no_installed_file_names_the_build_or_the_sources(self):
        for path in files_under(self.prefix):
            with open(os.path.join(self.prefix, path), "rb") as f:
                data = f.read()
            for folder in (BUILD, ROOT):
                self.assertNotIn(os.path.realpath(folder).encode(), data, path)

    def test_installed_programs_write_the_examples_bytes(self):
        for case, (_, _, got) in self.runs.items():
            with self.subTest(case=case):
                expected_dir = os.path.join(ROOT, "tests", "regress", case, "expected")
                want = {}
                for f in os.listdir(expected_dir):
                    with open(os.path.join(expected_dir, f), "rb") as fh:
                        want[f] = fh.read()
                self.assertEqual(sorted(got), sorted(want))
                for f in want:
                    self.assertEqual(got[f], want[f], f"{case}: {f} differs")

    @unittest.skipUnless(MODULE, "the Python module is not built")
    def test_installed_orbplot_draws_with_the_installed_module_and_no_pythonpath(self):
        work, base, _ = self.runs["example-transient"]
        orbit = base + "_0.bb"
        r = run(["orbplot", "orbit", orbit], cwd=work, env=self.env)
        ok(self, r, "orbplot orbit")
        with open(os.path.join(work, orbit + ".png"), "rb") as f:
            self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")
        orbplot = os.path.join(self.prefix, DIRS["bin"], "orbplot")
        package = os.path.join(self.prefix, DIRS["python"], "orbkit") + "/"
        self.assertTrue(module_of_orbplot(self, orbplot, self.env).startswith(package))

    def test_install_page_program_builds_against_the_package_and_integrates_its_star(self):
        # the program and its CMakeLists.txt as the install page shows them
        with open(os.path.join(ROOT, "docs", "install.rst")) as f:
            page = f.read()

        def block(language):
            body = re.search(rf"\.\. code-block:: {language}\n\n(.*?)\n(?=\S)", page, re.S).group(1)
            return "".join(line[3:] + "\n" for line in body.splitlines())
        source, lists = block("cpp"), block("cmake")
        exe, cpp = re.search(r"add_executable\((\S+) (\S+)\)", lists).groups()
        app = os.path.join(self.tmp, "app")
        os.mkdir(app)
        with open(os.path.join(app, cpp), "w") as f:
            f.write(source)
        # beside the install page's program: every installed header in one translation unit,
        # compiled with the drivers' target (a public header that needs a file not
        # installed fails here)
        include = os.path.join(self.prefix, DIRS["include"], "orbkit")
        with open(os.path.join(app, "every_header.cpp"), "w") as f:
            f.writelines(f"#include <orbkit/{h}>\n" for h in sorted(os.listdir(include)))
        with open(os.path.join(app, "CMakeLists.txt"), "w") as f:
            f.write(lists + "add_library(every_header OBJECT every_header.cpp)\n"
                    "target_link_libraries(every_header PRIVATE orbkit::orbdrivers)\n")
        env = clean_env(self.prefix, self.home, CMAKE_PREFIX_PATH=self.prefix)
        configure = [CMAKE, "-S", app, "-B", os.path.join(app, "build"), "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON"]
        ok(self, run(configure, env=env), "configuring the install page's program")
        ok(self, run([CMAKE, "--build", os.path.join(app, "build")], env=env), "building it")
        # the core's code in the headers is compiled as the core is: no fused multiply-add
        with open(os.path.join(app, "build", "compile_commands.json")) as f:
            commands = f.read()
        self.assertEqual(commands.count("-ffp-contract=off"), 2)
        self.assertEqual(commands.count("-fopenmp"), 2)
        r = run([os.path.join(app, "build", exe)], env=env)
        ok(self, r, "the install page's program")
        x, y, vx, vy = map(float, r.stdout.split())

        # the star and the time as the program states them
        start = [float(v) for v in re.search(r"\{([^{}]*)\};", source).group(1).split(",")]
        orbits = float(re.search(r"(\d+) \* twopi", source).group(1))
        x0, y0, vx0, vy0 = start
        # it moved, and in the flat rotation curve without spirals (potential ln r) its
        # angular momentum and energy stay what they were
        self.assertGreater(math.hypot(x - x0, y - y0), 0.1)
        self.assertAlmostEqual(x * vy - y * vx, x0 * vy0 - y0 * vx0, delta=1e-11)
        energy = lambda x, y, vx, vy: 0.5 * (vx * vx + vy * vy) + math.log(math.hypot(x, y))  # noqa: E731
        self.assertAlmostEqual(energy(x, y, vx, vy), energy(*start), delta=1e-11)
        if MODULE:
            # and the installed module, the programs' own advance, gives every digit: the
            # same model (the radii only draw stars, which this does not), the state where
            # the programs' path reaches the time (method="bs", exact=False)
            probe = ("import sys, numpy, orbkit\n"
                     "s = [float(v) for v in sys.argv[1:5]]\n"
                     "model = orbkit.Model(gamma_=0, r_min=1, r_max=3)\n"
                     "t = float(sys.argv[5]) * orbkit.twopi\n"
                     "o = model.integrate(numpy.array([s]), [t], method=\"bs\", exact=False)\n"
                     "print(orbkit.__file__)\n"
                     "print(' '.join(repr(float(v)) for v in o[0, -1]))\n")
            env = clean_env(self.prefix, self.home, PYTHONPATH=os.path.join(self.prefix, DIRS["python"]))
            r = run(["/usr/bin/python3", "-c", probe, *map(repr, start), repr(orbits)], env=env)
            ok(self, r, "the installed module")
            where, numbers = r.stdout.splitlines()
            self.assertTrue(where.startswith(self.prefix + "/"), where)
            self.assertEqual([float(v) for v in numbers.split()], [x, y, vx, vy])


class DebianPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="orbkit-deb-")
        cls.addClassCleanup(shutil.rmtree, cls.tmp)
        r = run([CPACK, "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", cls.tmp])
        if r.returncode:
            raise RuntimeError(f"cpack failed:\n{r.stdout}\n{r.stderr}")
        cls.packages = glob.glob(os.path.join(cls.tmp, "*.deb"))
        cls.deb = cls.packages[0] if len(cls.packages) == 1 else None

    def setUp(self):
        self.assertIsNotNone(self.deb, f"one package expected, cpack made {self.packages}")

    def test_the_package_holds_what_cmake_install_installs_under_usr(self):
        r = run(["dpkg-deb", "-c", self.deb])
        ok(self, r, "dpkg-deb -c")
        listed = sorted(line.split()[-1][len("./usr/"):] for line in r.stdout.splitlines()
                        if not line.startswith("d"))
        for path in expected_paths():
            self.assertIn(path, listed)
        staged = os.path.join(self.tmp, "staged")
        ok(self, run([CMAKE, "--install", BUILD, "--prefix", staged]), "cmake --install")
        self.assertEqual(listed, files_under(staged))

    def test_fields_and_dependencies_are_debian_packages_this_machine_satisfies(self):
        r = run(["dpkg-deb", "-f", self.deb, "Package", "Version", "Architecture", "Depends"])
        ok(self, r, "dpkg-deb -f")
        fields = dict(line.split(": ", 1) for line in r.stdout.splitlines())
        self.assertEqual(fields["Package"], "orbkit")
        self.assertEqual(fields["Version"], VERSION)
        arch = run(["dpkg", "--print-architecture"]).stdout.strip()
        self.assertEqual(fields["Architecture"], arch)
        clauses = [c.strip() for c in fields["Depends"].split(",")]
        names = {re.match(r"[a-z0-9.+-]+", c).group(0) for c in clauses}
        # the libraries the programs load, found by dpkg-shlibdeps, and what the module imports
        wanted = {"libc6", "libstdc++6", "libgomp1"}
        if MPI:
            wanted.add("libopenmpi3")
        if MODULE:
            wanted |= {"python3", "python3-numpy", "python3-matplotlib"}
        self.assertLessEqual(wanted, names, fields["Depends"])
        # every clause names a package that is installed here in a version it accepts
        # (the programs just ran here)
        for clause in clauses:
            name, op, version = re.fullmatch(r"(\S+)(?: \((\S+) (\S+)\))?", clause).groups()
            r = run(["dpkg-query", "-W", "-f", "${Version}", f"{name}:{arch}"])
            if r.returncode:
                r = run(["dpkg-query", "-W", "-f", "${Version}", name])
            ok(self, r, f"dpkg-query {name}")
            if op:
                self.assertEqual(run(["dpkg", "--compare-versions", r.stdout, op, version]).returncode, 0,
                                 f"{name} {r.stdout} does not satisfy {clause}")

    def test_unpacked_programs_run_and_orbplot_takes_the_package_beside_it(self):
        root = os.path.join(self.tmp, "root")
        home = os.path.join(self.tmp, "home")
        os.mkdir(home)
        ok(self, run(["dpkg-deb", "-x", self.deb, root]), "dpkg-deb -x")
        prefix = os.path.join(root, "usr")
        env = clean_env(prefix, home)
        for program in PROGRAMS:
            r = run([program, "--version"], env=env)
            ok(self, r, f"{program} --version")
            self.assertIn(VERSION, r.stdout)
        if MODULE:
            where = module_of_orbplot(self, os.path.join(prefix, DIRS["bin"], "orbplot"), env)
            self.assertTrue(where.startswith(os.path.join(prefix, DIRS["python"], "orbkit") + "/"), where)


if __name__ == "__main__":
    unittest.main()
