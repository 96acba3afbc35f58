"""pip install ./python: the package avi with its compiled part built by the project's CMake.

The extension avi._avi is built and installed by CMake into a staging folder; it goes into the
package with the shared libraries it links (avi/lib) and the remote plug-in (avi/bin/darm64),
which the library finds relative to itself. Nothing is downloaded: the build runs offline with
--no-build-isolation on Debian's setuptools. AVI_CMAKE_BUILD_DIR names a CMake build folder of
the project to use as it is instead of a fresh one.
"""
import os
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent.parent


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = os.environ.get("AVI_CMAKE_BUILD_DIR")
        if not build:
            build = str(Path(self.build_temp).resolve() / "cmake")
            subprocess.run(["cmake", "-S", str(ROOT), "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DAVI_BUILD_TESTS=OFF",
                            f"-DAVI_PYTHON={sys.executable}"], check=True)
            subprocess.run(["cmake", "--build", build, "-j", str(os.cpu_count() or 2)], check=True)
        stage = Path(self.build_temp).resolve() / "stage"
        shutil.rmtree(stage, ignore_errors=True)
        subprocess.run(["cmake", "--install", build, "--prefix", str(stage)], check=True, stdout=subprocess.DEVNULL)
        package = Path(self.get_ext_fullpath(ext.name)).parent
        package.mkdir(parents=True, exist_ok=True)
        shutil.copy2(next(stage.glob("lib/python*/dist-packages/avi/_avi*.so")), self.get_ext_fullpath(ext.name))
        (package / "lib").mkdir(exist_ok=True)
        for library in stage.glob("lib/lib*.so.[0-9]"):  # the names the loader looks for
            shutil.copy2(library, package / "lib")
        if (stage / "bin" / "darm64").is_dir():
            shutil.copytree(stage / "bin" / "darm64", package / "bin" / "darm64", dirs_exist_ok=True)


setup(
    ext_modules=[Extension("avi._avi", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    package_data={"avi": ["*.pyi", "py.typed", "lib/*", "bin/darm64/*"]},
    include_package_data=True,
)
