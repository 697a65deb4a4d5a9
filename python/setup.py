"""Builds the extension module with the project's own CMake build.

The module needs the libraries and the front ends' shared core (reading,
options, renderings, diff), so it is built as the project builds it: CMake
configures the source tree one folder up with only the Python package on
(not profile-query, whose command-line and HTTP libraries it does not
need), for the interpreter running this build, and the module lands in the
package. Nothing is downloaded.
"""

import os
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent.parent


class CMakeExtension(Extension):
    def __init__(self, name: str) -> None:
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext: Extension) -> None:
        target = Path(self.get_ext_fullpath(ext.name)).resolve()
        build = Path(self.build_temp).resolve() / "cmake"
        build.mkdir(parents=True, exist_ok=True)
        subprocess.run(
            ["cmake", "-S", str(ROOT), "-B", str(build),
             "-DCMAKE_BUILD_TYPE=Release",
             "-DZUN_BUILD_TESTS=OFF", "-DZUN_BUILD_BENCHMARKS=OFF",
             "-DZUN_BUILD_SELFCHECK=OFF", "-DZUN_INSTALL=OFF",
             "-DZUN_BUILD_CLI=OFF", "-DZUN_BUILD_PYTHON=ON",
             f"-DPython3_EXECUTABLE={sys.executable}"],
            check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", str(os.cpu_count() or 1))
        subprocess.run(["cmake", "--build", str(build), "--target", "_zun",
                        "-j", jobs], check=True)
        built = next((build / "python" / "stage" / "zun").glob("_zun*.so"))
        target.parent.mkdir(parents=True, exist_ok=True)
        self.copy_file(str(built), str(target))


setup(ext_modules=[CMakeExtension("zun._zun")], cmdclass={"build_ext": CMakeBuild})
