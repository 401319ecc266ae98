"""Black-box tests of the voxtrel command: `voxtrel run` plays the shared scenarios
(tests/python/scenarios.py) and its own usage and line rules; `voxtrel netinfo` its exit codes.

VOXTREL is the voxtrel command. VOXTREL_RUN, when set, is the whole command line of another
scripting host that keeps the same contract (for example the Windows host of the ActiveX control
under Wine); the tests then drive it instead of `voxtrel run`.
"""
import json
import os
import shlex
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
import scenarios  # noqa: E402

VOXTREL = os.environ.get("VOXTREL", "voxtrel")
RUN = shlex.split(os.environ["VOXTREL_RUN"]) if os.environ.get("VOXTREL_RUN") else [VOXTREL, "run"]


def run_script(script, *args):
    """Runs a script through the host; returns (exit code, records, raw output)."""
    result = subprocess.run(RUN + ["--json"] + list(args), input=script.encode("latin-1"),
                            capture_output=True, timeout=60)
    records = []
    for line in result.stdout.decode("latin-1").splitlines():
        if line.startswith("{"):
            fields = json.loads(line)
            records.append(("error",) if "error" in fields else
                           ("timedOut", fields["wait"]) if "wait" in fields else
                           tuple(fields.values()))
    return result.returncode, records, result.stdout


def host(script):
    code, records, _ = run_script(script)
    if os.environ.get("VOXTREL_RUN") and "window" in script and ("error",) in records:
        raise unittest.SkipTest("this host has no window directive")
    assert code == 0, code
    return records


class Run(unittest.TestCase):
    def test_scenarios(self):
        for scenario in scenarios.SCENARIOS:
            with self.subTest(scenario.name):
                scenarios.play(self, scenario, host)

    def test_lines_that_cannot_run(self):
        code, records, _ = run_script("# comment\n\n  \t# indented\nFrobnicate\nCloseCall\n"
                                      "closecall 1 2\nwait Nothing 1\nwait Disconnected 0.2\n"
                                      "quit\nCloseCall 1\n")
        self.assertEqual(code, 0)
        self.assertEqual(records, [("error",)] * 4 + [("timedOut", "Disconnected")])

    def test_usage_and_script_file(self):
        for args in (["--bogus"], ["/nonexistent/script"]):
            self.assertEqual(subprocess.run(RUN + args, capture_output=True).returncode, 2, args)
        with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as script:
            script.write("cLOSEcALL 1\n")
        self.addCleanup(os.unlink, script.name)
        self.assertEqual(run_script("", script.name)[2], b'{"method":"CloseCall","result":false}\n')


@unittest.skipIf(os.environ.get("VOXTREL_RUN"), "netinfo belongs to the native command")
class Netinfo(unittest.TestCase):
    def test_route_to_loopback_and_a_bad_address(self):
        good = subprocess.run([VOXTREL, "netinfo", "127.0.0.1"], capture_output=True, text=True)
        self.assertEqual(good.returncode, 0, good.stderr)
        self.assertIn("Host name: ", good.stdout)
        self.assertRegex(good.stdout, r"\n  127\.0\.0\.0/8  from 127\.0\.0\.1  ")
        self.assertRegex(good.stdout, r"\nRoute to 127\.0\.0\.1 \(127\.0\.0\.1\): local address "
                                      r"127\.0\.0\.1, interface \w+\n$")
        bad = subprocess.run([VOXTREL, "netinfo", "300.1.2.3"], capture_output=True, text=True)
        self.assertEqual((bad.returncode, bad.stdout), (2, ""))
        self.assertIn('"300.1.2.3" is not an IPv4 address', bad.stderr)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=1)
