"""Build glue for pip: the extension modules come from the project's own CMake
build, written straight into the tree that setuptools packs."""
import os
import subprocess
import sys

from setuptools import Distribution, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))


class CMakeBuild(build_ext):
    """Configures and builds the CMake project with the modules' output root set
    to the build tree (the source tree itself for --inplace)."""

    def run(self):
        out = ROOT if self.inplace else os.path.abspath(self.build_lib)
        work = os.path.abspath(self.build_temp)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        subprocess.check_call(["cmake", "-S", ROOT, "-B", work, "-G", "Ninja", f"-DPYTHON={sys.executable}",
                               f"-DTVK_OUTPUT_ROOT={out}", "-DTVK_TEST_MODULES=OFF"])
        subprocess.check_call(["cmake", "--build", work, "-j", jobs])
        self._outputs = [os.path.join(d, f) for d, _, files in os.walk(os.path.join(out, "tarvok"))
                         for f in files if f.endswith(".so")]

    def get_outputs(self):
        return getattr(self, "_outputs", [])


class BinaryDistribution(Distribution):
    """The package holds extension modules, so the wheel is platform-specific."""

    def has_ext_modules(self):
        return True


setup(distclass=BinaryDistribution, cmdclass={"build_ext": CMakeBuild},
      options={"build": {"build_base": "build-pip"}})
