"""Builds the Python package tessal_plus.bundle: CMake builds the C++ core
(the extension tessal_plus.bundle._core) with the same sources as the
command line; setuptools installs it with the package's Python files.

Only tessal_plus/bundle/ is installed: tessal_plus itself belongs to the host.
"""
import os
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build_dir = os.environ.get("TB_PY_BUILD_DIR") or os.path.join(HERE, "build-python")
        os.makedirs(build_dir, exist_ok=True)
        subprocess.check_call([
            "cmake", "-S", HERE, "-B", build_dir, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
            "-DTB_BUILD_PYTHON=ON", "-DTB_BUILD_TESTS=OFF", "-DTB_BUILD_BENCH=OFF",
            f"-DPython3_EXECUTABLE={sys.executable}",
        ])
        jobs = os.environ.get("TB_BUILD_JOBS", "2")
        subprocess.check_call(["cmake", "--build", build_dir, "--target", "_core", "-j", jobs])
        built = [f for f in os.listdir(build_dir) if f.startswith("_core.") and f.endswith(".so")]
        if not built:
            raise RuntimeError(f"the extension was not built in {build_dir}")
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(os.path.join(build_dir, built[0]), target)


setup(
    name="tessal_plus.bundle",
    version="0.1.0",
    description="Keeps the minute-bar and tick stores of a market-data bundle up to date",
    package_dir={"": "python"},
    packages=["tessal_plus.bundle"],
    ext_modules=[Extension("tessal_plus.bundle._core", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    python_requires=">=3.9",
    zip_safe=False,
)
