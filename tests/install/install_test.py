"""The installed tree: `cmake --install` under DESTDIR into a temporary prefix, its layout and
exports, the C example built against it with find_package (shared and static) and with
pkg-config, and the Python package and example run from it, each against the scripted
service."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "python"))

from fake_service import FakeService  # noqa: E402

SOURCE = os.environ["VOXTREL_SOURCE_DIR"]
BUILD = os.environ["VOXTREL_BUILD_DIR"]
CMAKE = os.environ.get("CMAKE_COMMAND", "cmake")
CC = os.environ.get("CC_FOR_TESTS", "cc")
PKG_CONFIG = os.environ.get("PKG_CONFIG", "pkg-config")
LIBDIR = os.environ.get("VOXTREL_LIBDIR", "lib")
HAS_COMMAND = os.environ.get("VOXTREL_HAS_COMMAND") == "1"
PREFIX = "/opt/voxtrel"
PYTHON_DIR = "lib/python3/dist-packages"


def run(command, env=None, timeout=300):
    result = subprocess.run(command, env=env, timeout=timeout, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0:
        raise AssertionError(f"{command} failed ({result.returncode}):\n{result.stdout}")
    return result.stdout


def environment(**changes):
    env = dict(os.environ)
    for name in ("VOXTREL_LIBRARY", "DESTDIR", "PYTHONPATH", "LD_LIBRARY_PATH"):
        env.pop(name, None)
    env.update(changes)
    return env


class InstalledTree(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="voxtrel-install-")
        stage = os.path.join(cls.scratch, "stage")
        run([CMAKE, "--install", BUILD, "--prefix", PREFIX], env=environment(DESTDIR=stage))
        cls.root = stage + PREFIX

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def check_host(self, command, env=None):
        """Runs an example host: --help, then against the scripted service for a second."""
        self.assertIn("usage", run(command + ["--help"], env=env))
        with FakeService(call_state=3) as service:
            output = run(command + ["127.0.0.1", str(service.port), "u", "p"] +
                         (["--seconds", "1"] if command[0] == sys.executable else
                          ["pbx:100", "pbx:200", "1"]), env=env)
        self.assertIn("Connected", output)
        created = re.search(r"CreateCall (\d+)", output)
        self.assertIsNotNone(created, output)
        self.assertNotEqual(created.group(1), "0")
        self.assertIn(f"CallStateChanged {created.group(1)} 3", output)

    def test_layout(self):
        for part in [(LIBDIR, "libvoxtrel.so"), (LIBDIR, "libvoxtrel.so.1"),
                     (LIBDIR, "libvoxtrel.a"), ("include", "voxtrel", "voxtrel.h"),
                     (LIBDIR, "cmake", "Voxtrel", "VoxtrelConfig.cmake"),
                     (LIBDIR, "cmake", "Voxtrel", "VoxtrelConfigVersion.cmake"),
                     (LIBDIR, "pkgconfig", "voxtrel.pc"),
                     (PYTHON_DIR, "voxtrel", "__init__.py")]:
            self.assertTrue(os.path.isfile(self.path(*part)), part)
        link = self.path(PYTHON_DIR, "voxtrel", "libvoxtrel.so.1")
        self.assertTrue(os.path.islink(link))
        self.assertFalse(os.path.isabs(os.readlink(link)))
        self.assertTrue(os.path.samefile(link, self.path(LIBDIR, "libvoxtrel.so.1")))
        if HAS_COMMAND:
            self.assertTrue(os.access(self.path("bin", "voxtrel"), os.X_OK))

    def test_only_the_c_interface_is_exported(self):
        with open(self.path("include", "voxtrel", "voxtrel.h")) as header:
            declared = set(re.findall(r"VOXTREL_API\s[^;(]*?\b(voxtrel_\w+)\(", header.read()))
        self.assertEqual(len(declared), 31)
        symbols = run(["nm", "-D", "--defined-only", self.path(LIBDIR, "libvoxtrel.so.1")])
        exported = {line.split()[-1].split("@")[0] for line in symbols.splitlines()
                    if line.split()[1:2] != ["A"]}
        self.assertEqual(exported, declared)

    def test_c_example_with_find_package(self):
        for static in ("OFF", "ON"):
            with self.subTest(static=static):
                build = os.path.join(self.scratch, "cmake-" + static)
                run([CMAKE, "-S", os.path.join(SOURCE, "examples", "c"), "-B", build,
                     "-DCMAKE_PREFIX_PATH=" + self.root, "-DVOXTREL_HOST_STATIC=" + static,
                     "-DCMAKE_BUILD_TYPE=Release"], env=environment())
                run([CMAKE, "--build", build], env=environment())
                host = os.path.join(build, "host")
                if static == "ON":
                    self.assertNotIn("libvoxtrel", run(["ldd", host]))
                self.check_host([host], env=environment())

    def test_c_example_with_pkg_config(self):
        env = environment(PKG_CONFIG_PATH=self.path(LIBDIR, "pkgconfig"),
                          PKG_CONFIG_LIBDIR=self.path(LIBDIR, "pkgconfig"))
        self.assertEqual(run([PKG_CONFIG, "--modversion", "voxtrel"], env=env).strip(), "1.0.0.1")
        flags = run([PKG_CONFIG, "--cflags", "--libs", "voxtrel"], env=env).split()
        libdir = run([PKG_CONFIG, "--variable=libdir", "voxtrel"], env=env).strip()
        self.assertTrue(os.path.samefile(libdir, self.path(LIBDIR)))
        host = os.path.join(self.scratch, "host-pkg-config")
        run([CC, "-std=c99", "-Wall", "-Wextra", "-Werror",
             os.path.join(SOURCE, "examples", "c", "host.c"), "-o", host] + flags +
            ["-Wl,-rpath," + libdir], env=env)
        self.check_host([host], env=environment())

    def test_python_package_and_example(self):
        env = environment(PYTHONPATH=self.path(PYTHON_DIR))
        loaded = run([sys.executable, "-c",
                      "import voxtrel; print(voxtrel.library_path()); print(voxtrel.version())"],
                     env=env).split()
        self.assertTrue(os.path.samefile(loaded[0], self.path(LIBDIR, "libvoxtrel.so.1")))
        self.assertEqual(loaded[1], "1.0.0.1")
        self.check_host([sys.executable, os.path.join(SOURCE, "examples", "python", "host.py")],
                        env=env)


if __name__ == "__main__":
    unittest.main()
