"""Black-box test of `voxtrel pbx`: the listening line, a raw-socket authentication, console
commands on standard input, and the stop by signal.

The documents are written out by hand, as any client of the service could write them.
"""
import os
import re
import select
import signal
import socket
import subprocess
import time
import unittest

VOXTREL = os.environ.get("VOXTREL", "voxtrel")
PREFIX = "Services.CallProcessingService."
TERMINATOR = b"\r\n\r\n"
WAIT = 10


def request(method, *params):
    lines = ['<?xml version="1.0"?>', "<methodCall>", f"<methodName>{PREFIX}{method}</methodName>",
             "<params>"]
    for param in params:
        lines += ["<param>", param, "</param>"]
    lines += ["</params>", "</methodCall>"]
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")


def string(text):
    return f"<value><string>{text}</string></value>"


def boolean(flag):
    return f"<value><boolean>{1 if flag else 0}</boolean></value>"


class Service:
    """One `voxtrel pbx` process with pipes on its standard input and output."""

    def __init__(self, *options):
        self.process = subprocess.Popen([VOXTREL, "pbx", *options], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.pending = b""

    def line(self):
        deadline = time.monotonic() + WAIT
        while b"\n" not in self.pending:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.process.stdout], [], [], left)[0]:
                raise AssertionError("no line from voxtrel pbx")
            chunk = os.read(self.process.stdout.fileno(), 4096)
            if not chunk:
                raise AssertionError("voxtrel pbx closed its output")
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        return line.decode("latin-1")

    def command(self, text):
        self.process.stdin.write(text.encode("latin-1") + b"\n")
        self.process.stdin.flush()
        return self.line()

    def stop(self, sig=signal.SIGTERM):
        self.process.send_signal(sig)
        return self.process.wait(timeout=WAIT)

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(timeout=WAIT)
        for stream in (self.process.stdin, self.process.stdout):
            try:
                stream.close()
            except BrokenPipeError:
                pass


class Client:
    """A raw connection that cuts messages at CR LF CR LF."""

    def __init__(self, port):
        self.socket = socket.create_connection(("127.0.0.1", port), timeout=WAIT)
        self.pending = b""

    def message(self):
        while TERMINATOR not in self.pending:
            chunk = self.socket.recv(4096)
            if not chunk:
                raise AssertionError("connection closed")
            self.pending += chunk
        message, self.pending = self.pending.split(TERMINATOR, 1)
        return message.decode("latin-1")

    def call(self, document):
        self.socket.sendall(document)
        return self.message()

    def closed(self):
        try:
            while self.socket.recv(4096):
                pass
            return True
        except OSError:
            return True

    def close(self):
        self.socket.close()


class PbxCommandTest(unittest.TestCase):
    def start(self, *options):
        service = Service(*options)
        self.addCleanup(service.close)
        match = re.fullmatch(r"listening (\d+\.\d+\.\d+\.\d+):(\d+)", service.line())
        self.assertIsNotNone(match)
        self.assertEqual(match.group(1), "127.0.0.1")
        port = int(match.group(2))
        self.assertNotEqual(port, 0)
        return service, port

    def connect(self, port):
        client = Client(port)
        self.addCleanup(client.close)
        return client

    def test_authenticates_over_a_raw_socket_and_stops_on_sigterm(self):
        service, port = self.start("--user", "alice:se:cret")
        client = self.connect(port)
        refused = client.call(request("authenticate", string("demo"), string("demo")))
        self.assertIn("<boolean>0</boolean>", refused)
        accepted = client.call(request("authenticate", string("alice"), string("se:cret")))
        self.assertIn("<methodResponse>", accepted)
        self.assertIn("<boolean>1</boolean>", accepted)
        self.assertEqual(service.stop(), 0)
        self.assertTrue(client.closed())

    def test_refuses_requests_before_authentication(self):
        service, port = self.start()
        client = self.connect(port)
        answer = client.call(request("closecall", string("42")))
        self.assertIn("<fault>", answer)
        self.assertIn("<name>faultCode</name>", answer)
        self.assertEqual(service.stop(signal.SIGINT), 0)

    def test_console_offers_a_call_to_the_extensions_handler(self):
        service, port = self.start()
        self.assertTrue(service.command("offer 100 pbx:555").startswith("error: "))
        client = self.connect(port)
        client.call(request("authenticate", string("demo"), string("demo")))
        answer = client.call(request("incomingcallhandling", string("100"), boolean(True)))
        self.assertIn(string("0"), answer)
        call_id = service.command("offer 100 pbx:555")
        self.assertRegex(call_id, r"^\d+$")
        offer = client.message()
        self.assertIn(f"<methodName>{PREFIX}process</methodName>", offer)
        self.assertIn(string(call_id), offer)
        self.assertIn(string("tel:555"), offer)
        self.assertEqual(service.command("status"),
                         "connections 1 authenticated 1 calls 1 unacknowledged 0")
        self.assertEqual(service.command("close"), "ok 1 closed")
        self.assertTrue(client.closed())
        self.assertEqual(service.stop(), 0)

    def test_end_of_input_does_not_stop_the_service(self):
        service, port = self.start()
        service.process.stdin.close()
        time.sleep(0.2)
        self.assertIsNone(service.process.poll())
        client = self.connect(port)
        answer = client.call(request("authenticate", string("demo"), string("demo")))
        self.assertIn("<boolean>1</boolean>", answer)
        self.assertEqual(service.stop(), 0)

    def test_fault_options_shape_the_answers_from_the_start(self):
        service, port = self.start("--seed", "5", "--fault", "closecall:33:out: of order",
                                   "--mute", "unjoincalls", "--delay", "unsubscribe:50",
                                   "--split-writes", "--slow-read", "100000",
                                   "--close-chance", "0")
        self.assertEqual(service.command("chaos"), "seed 5 close 0 split on slow-read 100000")
        client = self.connect(port)
        client.call(request("authenticate", string("demo"), string("demo")))
        faulted = client.call(request("closecall", string("42")))
        self.assertIn("<int>33</int>", faulted)
        self.assertIn(string("out: of order"), faulted)
        # The muted unjoincalls gets nothing; the late unsubscribe answer is the next to come.
        client.socket.sendall(request("unjoincalls", string("7"), string("8")))
        answer = client.call(request("unsubscribe", string("7")))
        self.assertIn("<int>6</int>", answer)
        self.assertEqual(service.command("counts"),
                         "requests 4 accepted 0 declined 0 redirected 0 acknowledged 0")
        self.assertEqual(service.command("cr-flood 1 100"), "ok connection 1, 103 bytes")
        self.assertEqual(client.message(), "\r" * 99)
        self.assertTrue(service.command("garbage 1").startswith("ok connection 1, "))
        self.assertEqual(client.message(), "garbage: no XML-RPC document, not even XML")
        self.assertTrue(service.command("flood").startswith("ok connection 1, "))
        self.assertTrue(client.closed())
        self.assertEqual(service.stop(), 0)

    def test_help_and_usage_errors(self):
        result = subprocess.run([VOXTREL, "pbx", "--help"], capture_output=True, timeout=WAIT)
        self.assertEqual(result.returncode, 0)
        text = result.stdout.decode("latin-1")
        for expected in ("--listen HOST:PORT", "--user NAME:PASSWORD", "offer EXT FROM",
                         "mail SUBSCRID FROM DURATION MAILID", "3 connected", "8 failed",
                         "--delay METHOD:MS", "--fault METHOD:CODE[:TEXT]",
                         "--fault-rate METHOD:PERCENT:CODE[:TEXT]", "--mute METHOD",
                         "--close-chance PERCENT", "--split-writes",
                         "--slow-read BYTES_PER_SECOND", "--seed N", "delay METHOD MILLISECONDS",
                         "fault-rate METHOD PERCENT CODE", "chaos close PERCENT",
                         "chaos split on|off", "chaos slow-read BYTES_PER_SECOND",
                         "garbage [CONNECTION]", "flood [CONNECTION]",
                         "nest [CONNECTION [DEPTH]]", "attributes [CONNECTION [COUNT]]",
                         "cr-flood [CONNECTION [BYTES]]", "crlfcr-flood [CONNECTION [BYTES]]",
                         "offers COUNT EXT FROM", "counts"):
            self.assertIn(expected, text)
        for arguments in (["pbx", "--listen", "127.0.0.1"], ["pbx", "--user", "nopassword"],
                          ["pbx", "--frobnicate"], ["frobnicate"], ["pbx", "--fault", "hold:3"],
                          ["pbx", "--close-chance", "101"], ["pbx", "--delay", "closecall"],
                          ["pbx", "--seed", "x"]):
            result = subprocess.run([VOXTREL, *arguments], capture_output=True, timeout=WAIT)
            self.assertEqual(result.returncode, 2, arguments)
        result = subprocess.run([VOXTREL, "--help"], capture_output=True, timeout=WAIT)
        self.assertEqual(result.returncode, 0)
        self.assertIn(b"pbx", result.stdout)


if __name__ == "__main__":
    unittest.main()
