"""The installed tree: `cmake --install` under DESTDIR into a temporary prefix, the command, the C
example built against it with find_package (shared and static) and with pkg-config, and the
Python package loading the installed library."""

import os
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
    def test_installed_tree(self):
        scratch = self.enterContext(tempfile.TemporaryDirectory(prefix="voxtrel-install-"))
        run([CMAKE, "--install", BUILD, "--prefix", "/opt/voxtrel"],
            DESTDIR=os.path.join(scratch, "stage"))
        root = os.path.join(scratch, "stage", "opt", "voxtrel")
        lib = os.path.join(root, LIBDIR)
        if os.environ.get("VOXTREL_HAS_COMMAND") == "1":
            self.assertTrue(os.path.isfile(os.path.join(root, "bin", "voxtrel")))
        flags = run([os.environ.get("PKG_CONFIG", "pkg-config"), "--cflags", "--libs", "voxtrel"],
                    PKG_CONFIG_LIBDIR=os.path.join(lib, "pkgconfig")).split()
        host = os.path.join(scratch, "host-pkg-config")
        run([os.environ.get("CC_FOR_TESTS", "cc"), "-std=c99", "-Wall", "-Wextra", "-Werror",
             os.path.join(EXAMPLE, "host.c"), "-o", host, "-Wl,-rpath," + lib] + flags)
        hosts = {host: True}
        for static in ("OFF", "ON"):
            build = os.path.join(scratch, "cmake-" + static)
            run([CMAKE, "-S", EXAMPLE, "-B", build, "-DCMAKE_PREFIX_PATH=" + root,
                 "-DVOXTREL_HOST_STATIC=" + static])
            run([CMAKE, "--build", build])
            hosts[os.path.join(build, "host")] = static == "OFF"
        # Each host loads the library it was linked with as it starts.
        for host, shared in hosts.items():
            self.assertIn("usage", run([host, "--help"]))
            self.assertEqual("libvoxtrel.so.1" in run(["ldd", host]), shared, host)
        path, version = run([sys.executable, "-c", "import voxtrel; print(voxtrel.library_path(), "
                             "voxtrel.version())"], PYTHONPATH=os.path.join(
                                 root, "lib", "python3", "dist-packages")).split()
        self.assertTrue(os.path.samefile(path, os.path.join(lib, "libvoxtrel.so.1")))
        package = os.path.join(root, "lib", "python3", "dist-packages", "voxtrel")
        for data in ("py.typed", "bridge/static/index.html"):
            self.assertTrue(os.path.isfile(os.path.join(package, data)), data)
        self.assertEqual(version, "1.0.0.1")


if __name__ == "__main__":
    unittest.main()
