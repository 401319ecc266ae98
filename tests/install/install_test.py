"""The installed tree: `cmake --install` under DESTDIR into a temporary prefix, its files, the C
example built against it with find_package (shared and static) and with pkg-config, and the
Python package loading the installed library."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE, BUILD = os.environ["VOXTREL_SOURCE_DIR"], os.environ["VOXTREL_BUILD_DIR"]
CMAKE, LIBDIR = os.environ.get("CMAKE_COMMAND", "cmake"), os.environ.get("VOXTREL_LIBDIR", "lib")
EXAMPLE = os.path.join(SOURCE, "examples", "c")


def run(command, **changes):
    env = {k: v for k, v in os.environ.items()
           if k not in ("VOXTREL_LIBRARY", "DESTDIR", "PYTHONPATH", "LD_LIBRARY_PATH")}
    result = subprocess.run(command, env=dict(env, **changes), timeout=300, text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    assert result.returncode == 0, f"{command} failed ({result.returncode}):\n{result.stdout}"
    return result.stdout


class InstalledTree(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="voxtrel-install-")
        run([CMAKE, "--install", BUILD, "--prefix", "/opt/voxtrel"],
            DESTDIR=os.path.join(cls.scratch, "stage"))
        cls.root = os.path.join(cls.scratch, "stage", "opt", "voxtrel")
        cls.lib = os.path.join(cls.root, LIBDIR)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def test_files(self):
        command = [("bin", "voxtrel")] if os.environ.get("VOXTREL_HAS_COMMAND") == "1" else []
        for part in [(LIBDIR, "libvoxtrel.so"), (LIBDIR, "libvoxtrel.a"),
                     ("include", "voxtrel", "voxtrel.h")] + command:
            self.assertTrue(os.path.isfile(os.path.join(self.root, *part)), part)

    def test_c_example_with_find_package_and_pkg_config(self):
        # Each host loads the library it was linked with as it starts.
        for static in ("OFF", "ON"):
            build = os.path.join(self.scratch, "cmake-" + static)
            run([CMAKE, "-S", EXAMPLE, "-B", build, "-DCMAKE_PREFIX_PATH=" + self.root,
                 "-DVOXTREL_HOST_STATIC=" + static])
            run([CMAKE, "--build", build])
            host = os.path.join(build, "host")
            self.assertIn("usage", run([host, "--help"]))
            if static == "ON":
                self.assertNotIn("libvoxtrel", run(["ldd", host]))
        flags = run([os.environ.get("PKG_CONFIG", "pkg-config"), "--cflags", "--libs", "voxtrel"],
                    PKG_CONFIG_LIBDIR=os.path.join(self.lib, "pkgconfig")).split()
        host = os.path.join(self.scratch, "host-pkg-config")
        run([os.environ.get("CC_FOR_TESTS", "cc"), "-std=c99", "-Wall", "-Wextra", "-Werror",
             os.path.join(EXAMPLE, "host.c"), "-o", host, "-Wl,-rpath," + self.lib] + flags)
        self.assertIn("usage", run([host, "--help"]))

    def test_python_package_loads_the_installed_library(self):
        loaded = run([sys.executable, "-c", "import voxtrel; print(voxtrel.library_path()); "
                      "print(voxtrel.version())"],
                     PYTHONPATH=os.path.join(self.root, "lib", "python3", "dist-packages"))
        path, version = loaded.split()
        self.assertTrue(os.path.samefile(path, os.path.join(self.lib, "libvoxtrel.so.1")))
        self.assertEqual(version, "1.0.0.1")


if __name__ == "__main__":
    unittest.main()
