"""`voxtrel run` (or the command line in VOXTREL_RUN, another host with that contract such as the
ActiveX control's under Wine) plays tests/python/scenarios.py and keeps its rules; netinfo."""

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
    result = subprocess.run(RUN + ["--json", *args], input=script.encode("latin-1"),
                            capture_output=True, timeout=60)
    assert result.returncode == 0, result.returncode
    return result.stdout


def host(script):
    """The records of a script's run."""
    lines = run_script(script).decode("latin-1").splitlines()
    records = [("error",) if "error" in f else ("timedOut", f["wait"]) if "wait" in f else
               tuple(f.values()) for f in map(json.loads, filter(lambda l: l[:1] == "{", lines))]
    if OTHER_HOST and "window" in script and ("error",) in records:
        raise unittest.SkipTest("this host has no window directive")
    return records


class Command(unittest.TestCase):
    def test_scenarios(self):
        scenarios.play(self, host)

    def test_line_rules_usage_and_script_file(self):
        self.assertEqual(host("# comment\n\n  \t# indented\nFrobnicate\nCloseCall\nclosecall 1 2\n"
                              "wait Nothing 1\nwait Disconnected 0.2\nquit\nCloseCall 1\n"),
                         [("error",)] * 4 + [("timedOut", "Disconnected")])
        for args in (["--bogus"], ["/nonexistent/script"], ["--reconnect"], ["--reconnect", "0,5"],
                     ["--reconnect", "9,5"], ["--reconnect", "1,2,3,4"], ["--reconnect", "5"]):
            self.assertEqual(subprocess.run(RUN + args, capture_output=True).returncode, 2, args)
        with tempfile.NamedTemporaryFile("w", delete=False) as script:
            script.write("cLOSEcALL 1\n")
        self.addCleanup(os.unlink, script.name)
        self.assertEqual(run_script("", script.name), b'{"method":"CloseCall","result":false}\n')

    @unittest.skipIf(OTHER_HOST, "--reconnect belongs to voxtrel run")
    def test_reconnect_restores_the_take_over_and_the_subscription(self):
        def start(*args):
            process = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                       encoding="latin-1")
            self.addCleanup(lambda: (process.kill(), process.communicate()))
            return process

        def say(process, *lines):
            process.stdin.write("".join(line + "\n" for line in lines))
            process.stdin.flush()

        def until(event):
            records = []
            while not records or records[-1].get("event") != event:
                line = run.stdout.readline()
                self.assertTrue(line, f"the script ended before {event}: {records}")
                records.append(json.loads(line))
            return records

        pbx = start(VOXTREL, "pbx")
        port = pbx.stdout.readline().rsplit(":", 1)[1].strip()
        run = start(*RUN, "--json", "--reconnect", "100,1000")
        say(run, f"Connect 127.0.0.1 {port} 5 demo demo", "IncomingCallHandling 300 1",
            "SubscribeToVoiceMail 300", "wait SubscriptionConfirmed 5")
        old = until("SubscriptionConfirmed")[-1]["subscrID"]
        say(run, "wait Reconnected 10")
        say(pbx, "close")
        records = until("Reconnected")
        self.assertEqual(records[0], {"event": "Disconnected"})
        self.assertEqual(records[1], {"event": "Reconnecting", "attempt": 1, "delay": 100})
        self.assertEqual(records[2]["oldSubscrID"], old)
        new = records[2]["subscrID"]
        say(run, "wait CallArrived 5", "wait MailArrived 5", "quit")
        say(pbx, "offer 300 pbx:555", f"mail {new} pbx:555 12 7")
        self.assertEqual(until("CallArrived")[-1]["callee"], "tel:300")
        self.assertEqual(until("MailArrived")[-1]["subscrID"], new)

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
