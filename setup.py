"""Build of the ``pyqelm`` wheel: the package metadata lives in pyproject.toml; this file only
teaches setuptools to build the extension module with CMake.

The CMake tree is the one ``make build`` uses (``build/``, or ``PYQELM_BUILD_DIR``), so a
``pip install .`` after ``make build`` relinks nothing, and a fresh one configures it the same
way the Makefile does; ccache covers the rest. ``CMAKE_BUILD_PARALLEL_LEVEL`` limits the jobs.
"""
import os
import re
import shutil
import subprocess
import sys
import sysconfig

from setuptools import Extension, find_packages, setup
from setuptools.command.build import build
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD_DIR = os.path.abspath(os.path.join(HERE, os.environ.get("PYQELM_BUILD_DIR") or "build"))


def package_version():
    # Read, not imported: importing the package would set process-wide environment variables.
    with open(os.path.join(HERE, "pyqelm", "__init__.py"), encoding="utf-8") as f:
        return re.search(r'^__version__ = "([^"]+)"', f.read(), re.M).group(1)


class CMakeExtension(Extension):
    """An extension whose sources and flags are CMake's business, not setuptools'."""

    def __init__(self, name, target):
        super().__init__(name, sources=[])
        self.target = target


class CleanBuild(build):
    """Starts the wheel's staging folder afresh, so a module deleted from the checkout does not
    live on in the next wheel."""

    def initialize_options(self):
        super().initialize_options()
        # setuptools' own staging would otherwise land in build/lib and build/bdist.*, beside
        # CMake's files.
        self.build_base = os.path.join(BUILD_DIR, "python")

    def run(self):
        for d in (self.build_lib, self.build_temp):
            if d and os.path.isdir(d):
                shutil.rmtree(d)
        super().run()


class CMakeBuild(build_ext):
    """Configures the CMake tree when it has not been, builds the extension target and copies the
    module CMake writes into the source package into the wheel's staging folder."""

    def build_extension(self, ext):
        if not isinstance(ext, CMakeExtension):
            return super().build_extension(ext)
        cmake = shutil.which("cmake")
        if cmake is None:
            sys.exit("error: building pyqelm needs cmake (Debian: apt-get install cmake; or `make setup`)")
        if not os.path.isfile(os.path.join(BUILD_DIR, "CMakeCache.txt")):
            # Same configuration as the Makefile's, so either may create the tree the other reuses.
            self._run([cmake, "-S", HERE, "-B", BUILD_DIR, f"-DPython3_EXECUTABLE={sys.executable}",
                       "-DCMAKE_BUILD_TYPE=Release"])
        self._run([cmake, "--build", BUILD_DIR, "--target", ext.target])

        # The CMake target writes next to the package's Python files, for runs from the checkout.
        package_dir = os.path.join(HERE, *ext.name.split(".")[:-1])
        built = os.path.join(package_dir, ext.name.split(".")[-1] + sysconfig.get_config_var("EXT_SUFFIX"))
        if not os.path.isfile(built):
            found = sorted(f for f in os.listdir(package_dir) if f.startswith(ext.target) and f.endswith(".so"))
            sys.exit(f"error: the CMake tree {BUILD_DIR} built {', '.join(found) or 'nothing'}, not "
                     f"{os.path.basename(built)} for {sys.executable}; it was configured for another "
                     f"Python: remove it, or point PYQELM_BUILD_DIR at a new folder")
        dest = self.get_ext_fullpath(ext.name)
        if os.path.abspath(dest) != os.path.abspath(built):  # an in-place build is already there
            os.makedirs(os.path.dirname(dest), exist_ok=True)
            self.copy_file(built, dest)

    def _run(self, cmd):
        print(" ".join(cmd), flush=True)
        subprocess.run(cmd, check=True)


setup(
    version=package_version(),
    packages=find_packages(include=["pyqelm", "pyqelm.*"]),
    ext_modules=[CMakeExtension("pyqelm.encoder.tcnn_compressor", target="tcnn_compressor")],
    cmdclass={"build": CleanBuild, "build_ext": CMakeBuild},
)
