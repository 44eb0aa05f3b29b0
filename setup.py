# Builds the Python package velk through the project's CMake build, for the
# interpreter that runs this script (pip's own), so that pybind11 and NumPy
# are those it imports. Needs what scripts/install-deps installs.
import os
import re
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        out = os.path.dirname(os.path.abspath(self.get_ext_fullpath(ext.name)))
        build = os.path.join(os.path.abspath(self.build_temp), "cmake")
        jobs = os.environ.get("VELK_JOBS", "2")
        subprocess.check_call([
            "cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
            "-DVELK_BUILD_PYTHON=ON", "-DVELK_BUILD_TESTS=OFF", "-DVELK_BUILD_BENCH=OFF",
            "-DPython_EXECUTABLE=" + sys.executable,
            "-DVELK_PYTHON_PACKAGE_DIR=" + os.path.join(out)])
        subprocess.check_call(["cmake", "--build", build, "--target", "_velk", "-j", jobs])


def version():
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        return re.search(r"project\(velk VERSION ([0-9.]+)", f.read()).group(1)


setup(
    name="velk",
    version=version(),
    description="Find which recordings were made at the same event, and their offsets",
    packages=["velk"],
    package_dir={"": "python"},
    package_data={"velk": ["*.pyi", "py.typed"]},
    ext_modules=[Extension("velk._velk", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    install_requires=["numpy"],
    python_requires=">=3.8",
    zip_safe=False,
)
