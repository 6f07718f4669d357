"""Builds orbkit's compiled module with CMake for pip (see pyproject.toml).

The extension is the CMake target _orbkit, built for the interpreter that runs pip. Set
ORBKIT_CMAKE_BUILD to an existing CMake build folder of this tree to reuse it (only the
module is brought up to date there); ORBKIT_JOBS sets the parallel build jobs (default 2).
"""

import os
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))


def version():
    """The programs' version, from the CMake project: one number for both."""
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        return re.search(r"project\(orbkit VERSION ([0-9.]+)", f.read()).group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = os.environ.get("ORBKIT_CMAKE_BUILD") or os.path.join(os.path.abspath(self.build_temp), "cmake")
        if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
            subprocess.check_call(["cmake", "-S", ROOT, "-B", build, "-DBUILD_TESTING=OFF",
                                   "-DCMAKE_BUILD_TYPE=Release", f"-DPython_EXECUTABLE={sys.executable}"])
        subprocess.check_call(["cmake", "--build", build, "--target", "_orbkit",
                               "-j", os.environ.get("ORBKIT_JOBS", "2")])
        folder = os.path.join(build, "python", "orbkit")
        built = [f for f in os.listdir(folder) if f.startswith("_orbkit.") and f.endswith(".so")]
        if len(built) != 1:
            sys.exit(f"setup.py: expected one _orbkit module in {folder}, found {built}")
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(os.path.join(folder, built[0]), target)


setup(version=version(), ext_modules=[Extension("orbkit._orbkit", sources=[])],
      cmdclass={"build_ext": CMakeBuild})
