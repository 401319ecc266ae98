"""The package as pip installs it, offline, into a fresh virtual environment of Debian's Python:
built from a copy of the source with the project's CMake, its own libvoxtrel inside, and the
asyncio example host run against `voxtrel pbx`."""

import os
import re
import select
import shutil
import subprocess
import sys
import tempfile
import unittest

PYTHON = "/usr/bin/python3"
SOURCE, VOXTREL = os.environ["VOXTREL_SOURCE_DIR"], os.environ["VOXTREL"]


def lines_until(process, pattern, seconds=30):
    """The process's output lines up to the first that matches pattern."""
    seen = []
    while not seen or not re.search(pattern, seen[-1]):
        if not select.select([process.stdout], [], [], seconds)[0]:
            raise AssertionError(f"no line like {pattern!r} after {seen}")
        seen.append(process.stdout.readline().decode() or "(closed)")
    return seen


class PipInstall(unittest.TestCase):
    def test_pip_install_into_a_venv_runs_the_asyncio_host(self):
        if not os.path.exists(PYTHON) or subprocess.run(
                [PYTHON, "-c", "import ensurepip, venv"]).returncode != 0:
            self.skipTest(f"{PYTHON} lacks venv and pip (scripts/install-deps installs them)")
        scratch = self.enterContext(tempfile.TemporaryDirectory(prefix="voxtrel-pip-"))
        source = os.path.join(scratch, "source")
        shutil.copytree(SOURCE, source, ignore=shutil.ignore_patterns(
            "build", ".git", "__pycache__", "*.egg-info", "dist"))
        env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "VOXTREL_LIBRARY")}
        env.update(PIP_NO_INDEX="1", CCACHE_BASEDIR=source, CCACHE_NOHASHDIR="1")
        if shutil.which("ccache"):
            env.update(CMAKE_CXX_COMPILER_LAUNCHER="ccache", CMAKE_C_COMPILER_LAUNCHER="ccache")
        venv = os.path.join(scratch, "venv")
        for command in ([PYTHON, "-m", "venv", venv],
                        [os.path.join(venv, "bin", "pip"), "install", "--find-links",
                         "/usr/share/python-wheels", os.path.join(source, "bindings", "python")]):
            result = subprocess.run(command, env=env, cwd=scratch, stdout=subprocess.PIPE,
                                    stderr=subprocess.STDOUT, text=True, timeout=800)
            self.assertEqual(result.returncode, 0, result.stdout)
        python = os.path.join(venv, "bin", "python")
        shown = subprocess.run([python, "-m", "voxtrel"], env=env, cwd=scratch, text=True,
                               stdout=subprocess.PIPE, check=True).stdout.split()
        self.assertEqual(shown[:3], ["voxtrel", "1.0.0.1", "library"])
        self.assertTrue(shown[3].startswith(venv) and not os.path.islink(shown[3]), shown)

        pbx = subprocess.Popen([VOXTREL, "pbx"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.addCleanup(pbx.wait)
        self.addCleanup(pbx.kill)
        port = lines_until(pbx, "listening")[0].split(":")[-1].strip()
        host = subprocess.Popen([python, os.path.join(source, "bindings", "python", "examples",
                                                      "async_host.py"), "127.0.0.1", port,
                                 "demo", "demo", "--seconds", "3"], env=env, cwd=scratch,
                                stdout=subprocess.PIPE)
        self.addCleanup(host.kill)
        output = "".join(lines_until(host, "^SubscriptionConfirmed"))
        subscription = output.splitlines()[-1].split()[1]
        pbx.stdin.write(f"offer 100 pbx:300\nmail {subscription} pbx:5 30 7\n".encode())
        pbx.stdin.flush()
        output += host.communicate(timeout=30)[0].decode()
        self.assertEqual(host.returncode, 0)
        for line in ("Connected", "CallArrived 1 tel:300 tel:100 0", "AcceptCall 1 True",
                     "CallStateChanged 1 3", f"MailArrived {subscription} pbx:5"):
            self.assertIn(line, output)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + ["-v"])
