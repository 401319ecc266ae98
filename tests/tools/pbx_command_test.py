"""Black-box test of `voxtrel pbx`: the listening line, users, the console on standard input, the
fault options, help, usage errors and the stop by signal only. Documents are written by hand."""
import os
import re
import select
import signal
import socket
import subprocess
import tempfile
import time
import unittest

VOXTREL = os.environ.get("VOXTREL", "voxtrel")
WAIT = 10


def request(method, *values):
    params = "".join(f"<param>{v}</param>" for v in values)
    return (f'<?xml version="1.0"?><methodCall><methodName>Services.CallProcessingService.'
            f"{method}</methodName><params>{params}</params></methodCall>\r\n\r\n").encode()


def s(text):
    return f"<value><string>{text}</string></value>"


class Service:
    def __init__(self, test, *options, log=subprocess.DEVNULL):
        self.process = subprocess.Popen([VOXTREL, "pbx", *options], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=log)
        test.addCleanup(lambda: self.process.poll() is None and self.process.kill())
        test.addCleanup(self.process.stdout.close)
        match = re.fullmatch(r"listening 127\.0\.0\.1:(\d+)", self.line())
        self.port = int(match.group(1)) if match else 0
        test.assertNotEqual(self.port, 0)

    def line(self):
        if not select.select([self.process.stdout], [], [], WAIT)[0]:
            raise AssertionError("no line from voxtrel pbx")
        return self.process.stdout.readline().decode("latin-1").rstrip("\n")

    def command(self, text):
        self.process.stdin.write(text.encode("latin-1") + b"\n")
        self.process.stdin.flush()
        return self.line()

    def stop(self, sig=signal.SIGTERM):
        self.process.stdin.close()
        self.process.send_signal(sig)
        return self.process.wait(timeout=WAIT)


class Client:
    def __init__(self, test, port):
        self.socket = socket.create_connection(("127.0.0.1", port), timeout=WAIT)
        test.addCleanup(self.socket.close)
        self.file = self.socket.makefile("rb")

    def message(self):
        text = b""
        while not text.endswith(b"\r\n\r\n"):
            text += self.file.readline() or b"closed\r\n\r\n"
        return text.decode("latin-1").replace("\r\n", "")

    def call(self, document):
        self.socket.sendall(document)
        return self.message()


class PbxCommandTest(unittest.TestCase):
    def test_users_console_fault_options_and_stop_by_signal_only(self):
        service = Service(self, "--user", "alice:se:cret", "--user", "bob:b", "--seed", "5",
                          "--fault", "closecall:33:out: of order", "--mute", "unjoincalls",
                          "--delay", "createcall:200", "--split-writes", "--slow-read", "100000",
                          "--close-chance", "0")
        self.assertEqual(service.command("chaos"), "seed 5 close 0 split on slow-read 100000")
        alice, bob = Client(self, service.port), Client(self, service.port)
        for client, user, password, success in ((alice, "demo", "demo", 0), (bob, "bob", "b", 1),
                                                (alice, "alice", "se:cret", 1)):
            self.assertIn(f"<boolean>{success}</boolean>",
                          client.call(request("authenticate", s(user), s(password))))
        self.assertRegex(bob.call(request("closecall", s("42"))), r"33.*>out: of order<")
        bob.socket.sendall(request("unjoincalls", s("7"), s("8")))
        self.assertIn("<int>6</int>", bob.call(request("unsubscribe", s("7"))))
        # The late answer goes first; the call's notifications wait behind it.
        bob.socket.sendall(request("createcall", s("5"), s("pbx:1"), s("pbx:busy")))
        for expected in (r"<methodResponse>.*<string>5</string>", r"changed.*<int>1</int>",
                         r"callstatechanged.*<int>7</int>"):
            self.assertRegex(bob.message(), expected)
        for kind, answer in ((2, "<boolean>0</boolean>.*<int>1</int>"),
                             (1, "<string>9</string>.*<boolean>1</boolean>.*<int>0</int>")):
            self.assertRegex(alice.call(request(
                "subscribe", s("9"), f"<value><int>{kind}</int></value>", "<value><struct><member>"
                f"<name>extension</name>{s('100')}</member></struct></value>")), answer)
        # Console commands with numbers take effect; a queued fault goes before the rate.
        self.assertEqual(service.command("mail 9 pbx:300 35 12"), "ok")
        self.assertRegex(alice.message(), r"mailarrived.*<int>35</int>.*<int>12</int>")
        self.assertEqual(service.command("fault closecall 34 not: now"), "ok")
        self.assertRegex(alice.call(request("closecall", s("5"))), r"34.*>not: now<")
        self.assertEqual(service.command("close"), "ok 2 closed")
        self.assertEqual(alice.file.read() + bob.file.read(), b"")
        service.process.stdin.close()
        time.sleep(0.2)
        self.assertIsNone(service.process.poll())
        self.assertEqual(service.stop(signal.SIGINT), 0)
        self.assertEqual(Service(self).stop(), 0)

    def test_verbose_and_run_trace_show_the_same_documents_one_line_each_password_masked(self):
        log, trace = tempfile.TemporaryFile(), tempfile.NamedTemporaryFile()
        service = Service(self, "--verbose", "--user", "u:p&amp;w", log=log)
        subprocess.run([VOXTREL, "run", "--trace", trace.name], capture_output=True, check=True,
                       input=f"Connect 127.0.0.1 {service.port} 5 u p&amp;w\nCreateCall pbx:1 "
                       "pbx:busy\nwait CallStateChanged 5\nDisconnect\n".encode(), timeout=WAIT)
        self.assertEqual(service.stop(), 0)
        log.seek(0)
        line = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z ([<>]) (<\?xml[^\r\n]*)\n"
        text = trace.read().decode()
        self.assertTrue(re.fullmatch(f"(?:{line})+", text))
        run, pbx = re.findall(line, text), re.findall("pbx: connection 1 " + line,
                                                      log.read().decode())
        # Each document in both traces, in order; the control may close before reading the last.
        for ours, theirs in ((">", "<"), ("<", ">")):
            ours, theirs = ([m[1] for m in side if m[0] == way]
                            for side, way in ((run, ours), (pbx, theirs)))
            self.assertEqual(theirs[:len(ours)], ours)
            self.assertGreater(len(ours), 1)
        self.assertIn("<string>****</string>", run[0][1])
        self.assertNotIn("p&amp;w", str(run + pbx))

    def test_help_and_usage_errors(self):
        result = subprocess.run([VOXTREL, "pbx", "--help"], capture_output=True, timeout=WAIT)
        self.assertEqual(result.returncode, 0)
        text = result.stdout.decode("latin-1")
        for expected in ("--listen HOST", "offer EXT FROM", "unknown subscription", "8 failed"):
            self.assertIn(expected, text)
        for arguments in (["pbx", "--listen", "127.0.0.1"], ["pbx", "--user", "nopassword"],
                          ["frobnicate"], ["pbx", "--fault", "hold:3"], ["pbx", "--seed", "x"]):
            result = subprocess.run([VOXTREL, *arguments], capture_output=True, timeout=WAIT)
            self.assertEqual(result.returncode, 2, arguments)


if __name__ == "__main__":
    unittest.main()
