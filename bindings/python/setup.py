"""Builds the voxtrel package: libvoxtrel comes from the project's own CMake (the repository root
is two folders up), built in a folder of its own, and travels inside the package."""

import os
import re
import runpy
import shutil
import subprocess

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))


def project_version():
    """The control's version, as the C interface's voxtrel_version() reports it."""
    with open(os.path.join(ROOT, "src", "CMakeLists.txt"), encoding="utf-8") as listing:
        return re.search(r"set\(VOXTREL_API_VERSION ([\d.]+)", listing.read())[1]


def library_names():
    """The names the package's loader looks for in its own folder (it loads nothing as it is
    imported)."""
    return runpy.run_path(os.path.join(HERE, "voxtrel", "_native.py"))["LOCAL_NAMES"]


class BuildWithLibrary(build_py):
    """build_py, then libvoxtrel built by CMake (Release, the shared library only) and copied
    into the built package under the name the loader tries first."""

    def run(self):
        super().run()
        build = os.path.join(os.path.abspath(self.get_finalized_command("build").build_base),
                             "cmake")
        cmake = os.environ.get("CMAKE", "cmake")
        configure = [cmake, "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                     "-DVOXTREL_TESTS=OFF", "-DVOXTREL_BENCH=OFF", "-DVOXTREL_FUZZ=OFF"]
        if shutil.which("ninja") and not os.path.exists(os.path.join(build, "CMakeCache.txt")):
            configure += ["-G", "Ninja"]
        subprocess.run(configure, check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 2)
        subprocess.run([cmake, "--build", build, "--target", "voxtrel_shared", "--parallel", jobs],
                       check=True)
        for name in library_names():
            built = os.path.join(build, "src", name)
            if os.path.exists(built):
                # The real file, not a link, under the name the soname gives it.
                target = os.path.join(self.build_lib, "voxtrel", name)
                shutil.copyfile(os.path.realpath(built), target)
                shutil.copymode(os.path.realpath(built), target)
                return
        raise RuntimeError(f"CMake built no libvoxtrel in {build}/src")


commands = {"build_py": BuildWithLibrary}
try:
    from wheel.bdist_wheel import bdist_wheel

    class PlatformWheel(bdist_wheel):
        """The library ties the wheel to the platform, not to one Python: py3-none-PLATFORM."""

        def get_tag(self):
            return ("py3", "none", super().get_tag()[2])

    commands["bdist_wheel"] = PlatformWheel
except ImportError:  # setuptools then builds no wheel itself either
    pass

class PlatformDistribution(Distribution):
    """Bundles a native library, so it installs where platform-specific packages go."""

    def has_ext_modules(self):
        return True


setup(version=project_version(), cmdclass=commands, distclass=PlatformDistribution)
