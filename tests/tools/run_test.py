"""Black-box tests of the voxtrel command: `voxtrel run` (or, VOXTREL_RUN being set, that whole
command line: another host with its contract, such as the ActiveX control's under Wine) plays
tests/python/scenarios.py and keeps its line and usage rules; `voxtrel netinfo` routes."""

import contextlib
import json
import os
import re
import shlex
import socket
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
import scenarios  # noqa: E402

VOXTREL, OTHER_HOST = os.environ.get("VOXTREL", "voxtrel"), os.environ.get("VOXTREL_RUN")
RUN = shlex.split(OTHER_HOST) if OTHER_HOST else [VOXTREL, "run"]


def run_script(script, *args):
    """Exit code, records, standard output."""
    result = subprocess.run(RUN + ["--json", *args], input=script.encode("latin-1"),
                            capture_output=True, timeout=60)
    fields = [json.loads(line) for line in result.stdout.decode("latin-1").splitlines()
              if line.startswith("{")]
    return result.returncode, [("error",) if "error" in f else ("timedOut", f["wait"])
                               if "wait" in f else tuple(f.values()) for f in fields], result.stdout


def host(script):
    code, records, _ = run_script(script)
    if OTHER_HOST and "window" in script and ("error",) in records:
        raise unittest.SkipTest("this host has no window directive")
    assert code == 0, code
    return records


class Command(unittest.TestCase):
    def test_scenarios(self):
        scenarios.play(self, host)

    def test_line_rules_usage_and_script_file(self):
        code, records, _ = run_script("# comment\n\n  \t# indented\nFrobnicate\nCloseCall\n"
                                      "closecall 1 2\nwait Nothing 1\nwait Disconnected 0.2\n"
                                      "quit\nCloseCall 1\n")
        self.assertEqual((code, records), (0, [("error",)] * 4 + [("timedOut", "Disconnected")]))
        for args in (["--bogus"], ["/nonexistent/script"]):
            self.assertEqual(subprocess.run(RUN + args, capture_output=True).returncode, 2, args)
        with tempfile.NamedTemporaryFile("w", delete=False) as script:
            script.write("cLOSEcALL 1\n")
        self.addCleanup(os.unlink, script.name)
        self.assertEqual(run_script("", script.name)[2], b'{"method":"CloseCall","result":false}\n')

    def test_netinfo_routes_as_the_kernel_chooses_them_and_a_bad_address(self):
        cases = [("127.0.0.1", 0, r"^Host name: .+\n[\s\S]*\n  127\.0\.0\.0/8  from 127\.0\.0\.1  "
                  r"[\s\S]*\nRoute to 127\.0\.0\.1 \(127\.0\.0\.1\): local address 127\.0\.0\.1, "
                  r"interface \w+\n$"), ("300.1.2.3", 2, r'^.*"300\.1\.2\.3" is not an IPv4 ')]
        # Through the default route: the address that the kernel binds a socket to.
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe, \
                contextlib.suppress(OSError):  # no default route here
            probe.connect(("198.51.100.7", 9))
            cases.append(("198.51.100.7", 0, re.escape(f"address {probe.getsockname()[0]}, ")))
        for address, code, pattern in cases:
            done = subprocess.run([VOXTREL, "netinfo", address], capture_output=True, text=True)
            self.assertEqual(done.returncode, code, address)
            self.assertRegex(done.stdout + done.stderr, pattern)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=1)
