"""Black-box test of `voxtrel pbx`, one check per point of its contract: the listening line,
users, many connections, answers in order, the call model, the console commands, the fault
options, help, usage errors and the stop by signal only. Documents are written by hand."""
import os
import re
import select
import signal
import socket
import subprocess
import time
import unittest

VOXTREL = os.environ.get("VOXTREL", "voxtrel")
WAIT = 10


def params(*values):
    return "<params>" + "".join(f"<param>{v}</param>" for v in values) + "</params>"


def request(method, *values):
    return (f'<?xml version="1.0"?><methodCall><methodName>Services.CallProcessingService.'
            f"{method}</methodName>{params(*values)}</methodCall>\r\n\r\n").encode("latin-1")


def answer(*values):
    return f"<methodResponse>{params(*values)}</methodResponse>\r\n\r\n".encode("latin-1")


def s(text):
    return f"<value><string>{text}</string></value>"


def member(name, value):
    return f"<value><struct><member><name>{name}</name>{value}</member></struct></value>"


AUTH = request("authenticate", s("demo"), s("demo"))


class Service:
    def __init__(self, test, *options):
        self.process = subprocess.Popen([VOXTREL, "pbx", *options], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        test.addCleanup(lambda: self.process.poll() is None and self.process.kill())
        test.addCleanup(self.process.stdout.close)
        match = re.fullmatch(r"listening 127\.0\.0\.1:(\d+)", self.line())
        test.assertIsNotNone(match)
        self.port = int(match.group(1))
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
            line = self.file.readline()
            if not line:
                raise AssertionError("connection closed")
            text += line
        return text.decode("latin-1").replace("\r\n", "")

    def call(self, document):
        self.socket.sendall(document)
        return self.message()

    def closed(self):
        return self.file.read() == b""


class PbxCommandTest(unittest.TestCase):
    def test_users_connections_answers_commands_and_sigterm(self):
        service = Service(self, "--user", "alice:se:cret", "--user", "bob:b")
        alice, bob = Client(self, service.port), Client(self, service.port)
        self.assertIn("<fault>", alice.call(request("closecall", s("42"))))
        self.assertIn("<boolean>0</boolean>", alice.call(AUTH))
        self.assertIn("<boolean>1</boolean>", alice.call(request("authenticate", s("alice"),
                                                                 s("se:cret"))))
        self.assertIn("<boolean>1</boolean>", bob.call(request("authenticate", s("bob"), s("b"))))
        # In order, ids echoed; a stray answer is acknowledged by nothing.
        on = "<value><boolean>1</boolean></value>"
        alice.socket.sendall(answer(s("77"))
                             + request("createcall", s("5"), s("pbx:1"), s("pbx:100"))
                             + request("subscribe", s("9"), "<value><int>1</int></value>",
                                       member("extension", s("100")))
                             + request("incomingcallhandling", s("100"), on))
        self.assertRegex(alice.message(), r"<methodResponse>.*<string>5</string>")
        self.assertIn("callstatechanged", alice.message())
        self.assertRegex(alice.message(), r"<string>9</string>.*<boolean>1</boolean>.*<int>0</int>")
        self.assertRegex(alice.message(), r"<methodResponse>.*<string>0</string>")
        self.assertRegex(alice.message(), r"<string>5</string>.*<int>2</int>")
        self.assertRegex(alice.message(), r"<string>5</string>.*<int>3</int>")
        alice.socket.sendall(request("enabledtmfdetection", s("5"), on))
        self.assertIn("<string>5</string>", alice.message())
        self.assertEqual(service.command("dtmf 5 #"), "ok")
        self.assertRegex(alice.message(), r"dtmfdigitdetected.*<int>35</int>")
        self.assertEqual(service.command("state 5 6"), "ok")
        self.assertRegex(alice.message(), r"<string>5</string>.*<int>6</int>")
        self.assertEqual(service.command("mail 9 pbx:300 35 12"), "ok")
        self.assertRegex(alice.message(), r"mailarrived.*<int>35</int>")
        # The offer's id is printed; the accept is read and the call connects.
        call_id = service.command("offer 100 pbx:555 3")
        self.assertRegex(call_id, r"^\d+$")
        self.assertRegex(alice.message(), rf"process.*tel:555.*<string>{call_id}</string>")
        alice.socket.sendall(answer(member("action", s("accept")), s(call_id)))
        self.assertRegex(alice.message(), rf"<string>{call_id}</string>.*<int>3</int>")
        self.assertEqual(service.command("fault closecall 33 out: of order"), "ok")
        self.assertRegex(alice.call(request("closecall", s(call_id))), r"33.*out: of order")
        self.assertEqual(service.command("mute closecall"), "ok")
        # The muted request gets nothing: the next answer is the unsubscribe's fault 6.
        alice.socket.sendall(request("closecall", s(call_id)))
        self.assertRegex(alice.call(request("unsubscribe", s("8"))), r"<fault>.*<int>6</int>")
        self.assertEqual(service.command("close"), "ok 2 closed")
        self.assertTrue(alice.closed() and bob.closed())
        self.assertEqual(service.stop(), 0)

    def test_end_of_input_does_not_stop_it_sigint_does_and_fault_options_apply(self):
        service = Service(self, "--seed", "5", "--fault", "closecall:33:out: of order",
                          "--mute", "unjoincalls", "--delay", "unsubscribe:50",
                          "--split-writes", "--slow-read", "100000", "--close-chance", "0")
        self.assertEqual(service.command("chaos"), "seed 5 close 0 split on slow-read 100000")
        service.process.stdin.close()
        time.sleep(0.2)
        self.assertIsNone(service.process.poll())
        client = Client(self, service.port)
        self.assertIn("<boolean>1</boolean>", client.call(AUTH))
        self.assertRegex(client.call(request("closecall", s("42"))), r"33.*out: of order")
        client.socket.sendall(request("unjoincalls", s("7"), s("8")))
        self.assertIn("<int>6</int>", client.call(request("unsubscribe", s("7"))))
        self.assertEqual(service.stop(signal.SIGINT), 0)

    def test_help_and_usage_errors(self):
        result = subprocess.run([VOXTREL, "pbx", "--help"], capture_output=True, timeout=WAIT)
        self.assertEqual(result.returncode, 0)
        text = result.stdout.decode("latin-1")
        for expected in ("--listen HOST:PORT", "--user NAME:PASSWORD", "offer EXT FROM", "close\n",
                         "mail SUBSCRID FROM DURATION MAILID", "dtmf CALLID DIGITS",
                         "state CALLID N", "fault METHOD CODE TEXT", "mute METHOD",
                         "2 ringing        the called party rings, 200 ms", "8 failed"):
            self.assertIn(expected, text)
        for arguments in (["pbx", "--listen", "127.0.0.1"], ["pbx", "--user", "nopassword"],
                          ["frobnicate"], ["pbx", "--fault", "hold:3"], ["pbx", "--seed", "x"]):
            result = subprocess.run([VOXTREL, *arguments], capture_output=True, timeout=WAIT)
            self.assertEqual(result.returncode, 2, arguments)


if __name__ == "__main__":
    unittest.main()
