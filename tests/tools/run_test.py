"""Black-box tests of `voxtrel run`: scripts on standard input, JSON lines out, against the
simulator (`voxtrel pbx`) and against scripted fake services.

VOXTREL is the voxtrel command. VOXTREL_RUN, when set, is the whole command line of another
scripting host that keeps the same contract (for example the Windows host of the ActiveX control
under Wine); the tests then drive it instead of `voxtrel run`.
"""
import json
import os
import shlex
import socket
import subprocess
import sys
import threading
import unittest

VOXTREL = os.environ.get("VOXTREL", "voxtrel")
RUN = shlex.split(os.environ["VOXTREL_RUN"]) if os.environ.get("VOXTREL_RUN") else [VOXTREL, "run"]
TERMINATOR = b"\r\n\r\n"
DECLARATION = b'<?xml version="1.0"?>\r\n'


def run_script(script, *args, timeout=60):
    """Runs a script through the host; returns (exit code, JSON objects, raw output)."""
    result = subprocess.run(RUN + list(args), input=script.encode("latin-1"),
                            capture_output=True, timeout=timeout)
    lines = result.stdout.decode("latin-1").splitlines()
    return result.returncode, [json.loads(line) for line in lines if line.startswith("{")], lines


def string_param(text):
    return b"<param>\r\n<value><string>" + text + b"</string></value>\r\n</param>\r\n"


def int_param(value):
    return b"<param>\r\n<value><int>%d</int></value>\r\n</param>\r\n" % value


def notification(method, params):
    return (DECLARATION + b"<methodCall>\r\n<methodName>Services.CallProcessingService." +
            method + b"</methodName>\r\n<params>\r\n" + params + b"</params>\r\n</methodCall>" +
            TERMINATOR)


def response(params):
    return (DECLARATION + b"<methodResponse>\r\n<params>\r\n" + params +
            b"</params>\r\n</methodResponse>" + TERMINATOR)


AUTHENTICATED = response(b"<param>\r\n<value><boolean>1</boolean></value>\r\n</param>\r\n" +
                         string_param(b"welcome"))


class FakeService:
    """Accepts one control, authenticates it, then plays `actions` (callables taking itself)."""

    def __init__(self, actions):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.port = self.listener.getsockname()[1]
        self.actions = actions
        self.received = []
        self.buffer = b""
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def next_message(self):
        while TERMINATOR not in self.buffer:
            chunk = self.connection.recv(65536)
            if not chunk:
                return None
            self.buffer += chunk
        message, self.buffer = self.buffer.split(TERMINATOR, 1)
        self.received.append(message)
        return message

    def serve(self):
        self.listener.settimeout(20)
        try:
            self.connection, _ = self.listener.accept()
        except OSError:
            return
        self.connection.settimeout(20)
        try:
            self.next_message()
            self.connection.sendall(AUTHENTICATED)
            for action in self.actions:
                action(self)
        except OSError:
            pass

    def close(self):
        self.thread.join(timeout=30)
        self.listener.close()


class Simulator:
    def __init__(self):
        self.process = subprocess.Popen([VOXTREL, "pbx"], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        first = self.process.stdout.readline().decode().split()
        assert first[0] == "listening", first
        self.host, port = first[1].rsplit(":", 1)
        self.port = int(port)

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)


class MethodsBeforeConnect(unittest.TestCase):
    def test_every_method_refuses(self):
        code, out, _ = run_script(
            "Disconnect\nCreateCall pbx:1 pbx:2\nCloseCall 1\nTransferCall 1 pbx:2\n"
            "JoinCalls 1 2\nUnjoinCalls 1 2\nPlayMessage 1 f.wav 1\nEnableDtmfDetection 1 1\n"
            "IncomingCallHandling 100 1\nAcceptCall 1 a b\nRejectCall 1\n"
            "ForwardCall 1 pbx:2 a b\nSubscribeToVoiceMail 100\nUnsubscribe 1\n", "--json")
        self.assertEqual(code, 0)
        self.assertEqual(len(out), 14)
        for line in out:
            expected = "0" if line["method"] in ("CreateCall", "SubscribeToVoiceMail") else False
            self.assertEqual(line["result"], expected, line)

    def test_lines_that_cannot_run(self):
        code, out, _ = run_script("# comment\n\nFrobnicate\nCloseCall\nwait Nothing 1\n"
                                  "wait Disconnected 0.2\nquit\nCloseCall 1\n", "--json")
        self.assertEqual(code, 0)
        self.assertEqual([list(line)[0] for line in out], ["error", "error", "error", "wait"])
        self.assertEqual(out[3], {"wait": "Disconnected", "timedOut": True})


class Usage(unittest.TestCase):
    def test_unknown_option_and_missing_file(self):
        self.assertEqual(subprocess.run(RUN + ["--bogus"], capture_output=True).returncode, 2)
        self.assertEqual(subprocess.run(RUN + ["/nonexistent/script"],
                                        capture_output=True).returncode, 2)

    def test_script_from_a_file(self):
        path = os.path.join(os.environ.get("TMPDIR", "/tmp"), "voxtrel-run-test.txt")
        with open(path, "w") as f:
            f.write("CloseCall 1\n")
        result = subprocess.run(RUN + ["--json", path], capture_output=True, timeout=30)
        os.unlink(path)
        self.assertEqual(result.stdout, b'{"method":"CloseCall","result":false}\n')


class AgainstTheSimulator(unittest.TestCase):
    def setUp(self):
        self.pbx = Simulator()

    def tearDown(self):
        self.pbx.stop()

    def test_a_call_and_a_subscription(self):
        code, out, _ = run_script(
            f"Connect {self.pbx.host} {self.pbx.port} 5 demo demo\n"
            "CreateCall pbx:200 pbx:100\n"
            "wait CallStateChanged 5\n"
            "SubscribeToVoiceMail 300\n"
            "wait SubscriptionConfirmed 5\n"
            "Disconnect\n", "--json")
        self.assertEqual(code, 0)
        self.assertEqual(out[0], {"method": "Connect", "result": True})
        call = out[1]["result"]
        self.assertTrue(call.isdigit() and call != "0")
        self.assertEqual(out[2]["event"], "CallStateChanged")
        self.assertEqual(out[2]["callID"], call)
        subscription = out[3]["result"]
        confirmed = [line for line in out if line.get("event") == "SubscriptionConfirmed"]
        self.assertEqual(confirmed, [{"event": "SubscriptionConfirmed", "subscrID": subscription,
                                      "confirmed": True, "errorCode": 0}])
        self.assertEqual(out[-1], {"method": "Disconnect", "result": True})

    def test_wrong_password_and_port_as_sixteen_bits(self):
        code, out, _ = run_script(
            f"Connect {self.pbx.host} {self.pbx.port} 5 demo wrong\n"
            f"Connect {self.pbx.host} {self.pbx.port - 65536} 5 demo demo\n", "--json")
        self.assertEqual([line["result"] for line in out], [False, True])


class AgainstFakeServices(unittest.TestCase):
    def script(self, actions, lines):
        service = FakeService(actions)
        try:
            return run_script(f"Connect 127.0.0.1 {service.port} 5 u p\n" + lines, "--json")
        finally:
            service.close()

    def test_low_sixteen_bits_and_negative_digits(self):
        def notify(s):
            s.connection.sendall(
                notification(b"callstatechanged", string_param(b"42") + int_param(65537)) +
                notification(b"dtmfdigitdetected", string_param(b"42") + int_param(0xE9)))
        _, out, _ = self.script([notify], "wait DtmfDigitReceived 5\n")
        self.assertEqual(out[1:], [
            {"event": "CallStateChanged", "callID": "42", "callState": 1},
            {"event": "DtmfDigitReceived", "callID": "42", "digit": -23}])

    def test_each_wait_ends_at_its_own_event(self):
        # Two notifications in one write: the first wait must leave the second event to the next.
        def notify_back_to_back(s):
            s.connection.sendall(
                notification(b"callstatechanged", string_param(b"42") + int_param(3)) +
                notification(b"messageplayed", string_param(b"42")))
        _, out, _ = self.script([notify_back_to_back],
                                "wait CallStateChanged 5\nwait MessagePlayed 5\n")
        self.assertEqual(out[1:], [
            {"event": "CallStateChanged", "callID": "42", "callState": 3},
            {"event": "MessagePlayed", "callID": "42"}])

    def test_fault_then_lost_connection(self):
        def answer_with_fault(s):
            s.next_message()
            s.connection.sendall(
                DECLARATION + b"<methodResponse>\r\n<fault>\r\n<value><struct>\r\n<member>\r\n"
                b"<name>faultCode</name>\r\n<value><int>4</int></value>\r\n</member>\r\n"
                b"<member>\r\n<name>faultString</name>\r\n<value><string>caf\xe9</string>"
                b"</value>\r\n</member>\r\n</struct></value>\r\n</fault>\r\n</methodResponse>" +
                TERMINATOR)
            s.next_message()
            s.connection.close()
        _, out, _ = self.script([answer_with_fault],
                                "CloseCall 7\nwait RequestFailed 5\nCloseCall 8\n"
                                "wait Disconnected 5\n")
        events = [line for line in out if "event" in line]
        self.assertEqual(events, [
            {"event": "RequestFailed", "callID": "7", "failureCode": 4,
             "failureString": "caf\u00e9"},
            {"event": "RequestFailed", "callID": "8", "failureCode": 102,
             "failureString": "Connection closed remotely"},
            {"event": "Disconnected"}])

    def test_no_event_without_a_window_nor_after_disconnect(self):
        def notify_twice(s):
            s.connection.sendall(notification(b"messageplayed", string_param(b"1")))
            s.next_message()
            s.next_message()  # the second CloseCall, sent after the window came back
            s.connection.sendall(notification(b"messageplayed", string_param(b"2")))
            s.next_message()
        code, out, lines = self.script(
            [notify_twice],
            "window destroy\npump 0.5\nwindow create\nCloseCall 5\npump 0.5\nDisconnect\n"
            "pump 0.3\n")
        if os.environ.get("VOXTREL_RUN") and any("window" in line.get("error", "") for line in out):
            self.skipTest("this host has no window directive")
        self.assertEqual([line for line in out if "event" in line],
                         [{"event": "MessagePlayed", "callID": "2"}])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=1)
