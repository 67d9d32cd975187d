"""Builds the kelp_sae extension module with CMake for the running Python.

The CMake build (python/CMakeLists.txt) makes build/python/kelp_sae/, the
package with its compiled module; this file only configures that build for
sys.executable and copies the result into the wheel. See pyproject.toml.
"""
import os
import pathlib
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = pathlib.Path(self.build_temp).resolve() / "cmake"
        subprocess.run(
            ["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
             f"-DPython_EXECUTABLE={sys.executable}", "-DKELP_SAE_BUILD_TESTS=OFF",
             "-DKELP_SAE_BUILD_BENCHMARKS=OFF", "-DKELP_SAE_BUILD_EXAMPLES=OFF"],
            check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
        subprocess.run(["cmake", "--build", str(build), "--target", "kelp_sae_python",
                        "-j", jobs], check=True)
        package = pathlib.Path(self.get_ext_fullpath(ext.name)).parent
        package.mkdir(parents=True, exist_ok=True)
        for f in (build / "python" / "kelp_sae").iterdir():
            shutil.copy2(f, package / f.name)


setup(
    packages=["kelp_sae"],
    package_dir={"kelp_sae": "python/kelp_sae"},
    ext_modules=[Extension("kelp_sae._core", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
)
