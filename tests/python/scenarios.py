"""What the suites of `voxtrel run` and of the Python package both play: a scripted service on a
loopback port, and scenarios: a script for `voxtrel run`, the service's steps (a method name waits
for that request, bytes are sent, None closes the connection) and the host's records such as
("CallStateChanged", "42", 3) or ("timedOut", NAME). "#..." stands for the same non-zero id."""

import collections
import contextlib
import queue
import re
import socket
import socketserver
import threading

_METHOD = re.compile(rb"CallProcessingService\.(\w+)</methodName>")


def _value(v):
    kind = {bool: "boolean", int: "int"}.get(type(v), "string")
    return f"<value><{kind}>{v if kind == 'string' else int(v)}</{kind}></value>"


def message(method, *values, fault=False):
    """A notification of method, or with method None a response: of values, or of a fault's code
    and text."""
    root, body = ("methodCall", f"<methodName>Services.CallProcessingService.{method}"
                  "</methodName>") if method else ("methodResponse", "")
    if fault:
        body += "<fault><value><struct>" + "".join(
            f"<member><name>{name}</name>{_value(v)}</member>"
            for name, v in zip(("faultCode", "faultString"), values)) + "</struct></value></fault>"
    else:
        body += "<params>" + "".join(f"<param>{_value(v)}</param>" for v in values) + "</params>"
    return f'<?xml version="1.0"?>\r\n<{root}>{body}</{root}>\r\n\r\n'.encode("latin-1")


class FakeService(socketserver.ThreadingTCPServer):
    """Answers authenticate with accept; with answer_requests, the rest with their first text (and
    a confirmation for subscribe, state 3 for createcall). Requests go to requests, next_request."""
    daemon_threads = True

    def __init__(self, accept=True, answer_requests=True):
        super().__init__(("127.0.0.1", 0), self._serve)
        self.accept, self.answer_requests = accept, answer_requests
        self.port, self.requests, self.unread = self.server_address[1], [], queue.Queue()
        self.connection, self.lock, self.ended = None, threading.Lock(), threading.Event()
        threading.Thread(target=self.serve_forever, args=(0.05,), daemon=True).start()

    def __exit__(self, *exc_info):
        self.shutdown()
        self.send(None)
        self.server_close()

    def send(self, data):
        with self.lock, contextlib.suppress(AttributeError, OSError):
            self.connection.shutdown(socket.SHUT_RDWR) if data is None else \
                self.connection.sendall(data)

    def next_request(self, method, timeout=5):
        with contextlib.suppress(queue.Empty):
            while (request := self.unread.get(timeout=timeout))[0] != method:
                pass
            return request[1]

    def _serve(self, connection, address, server):
        with self.lock:
            self.connection, pending = connection, b""
        with contextlib.suppress(OSError):  # a reset by the control ends the connection too
            while chunk := connection.recv(65536):
                *requests, pending = (pending + chunk).split(b"\r\n\r\n")
                for request in requests:
                    if not (found := _METHOD.search(request)):
                        continue  # the control's answer to a notification
                    method = found[1].decode()
                    id_text = re.search(rb"<string>(.*?)</string>", request)[1].decode("latin-1")
                    if method == "authenticate":
                        self.send(message(None, self.accept, "hello"))
                    elif self.answer_requests:
                        self.send(message(None, *[id_text] + [True, 0] * (method == "subscribe")))
                        if method == "createcall":
                            self.send(message("callstatechanged", id_text, 3))
                    # Listed once answered, so that what a reader sends next follows the answer.
                    self.requests.append((method, request))
                    self.unread.put((method, request))
        with self.lock:
            self.connection = None
            self.ended.set()


Scenario = collections.namedtuple("Scenario", "name script expected service steps wire",
                                  defaults=({}, (), ()))
CONNECT = "Connect 127.0.0.1 {port} 5 u p\n"
REFUSED = ["Disconnect", "CreateCall pbx:1 pbx:2", "CloseCall 1", "TransferCall 1 pbx:2",
           "JoinCalls 1 2", "UnjoinCalls 1 2", "PlayMessage 1 f.wav 1", "EnableDtmfDetection 1 1",
           "IncomingCallHandling 100 1", "AcceptCall 1 a b", "RejectCall 1",
           "ForwardCall 1 pbx:2 a b", "SubscribeToVoiceMail 100", "Unsubscribe 1"]
SCENARIOS = [
    Scenario("every method refuses after refused credentials",
             "Connect 127.0.0.1 {port} 2 u bad\n" + "\n".join(REFUSED) + "\n",
             [("Connect", False)] + [(m, "0" if m in ("CreateCall", "SubscribeToVoiceMail") else
                                      False) for m in (line.split()[0] for line in REFUSED)],
             {"accept": False}),
    # The port is taken as 16 bits. The service echoes the ids that the requests carry.
    Scenario("a call and a subscription",
             "Connect 127.0.0.1 {port16} 5 u p\nCreateCall pbx:200 pbx:100\n"
             "wait CallStateChanged 5\nSubscribeToVoiceMail 300\nwait SubscriptionConfirmed 5\n" +
             CONNECT + "Disconnect\n",
             [("Connect", True), ("CreateCall", "#call"), ("CallStateChanged", "#call", 3),
              ("SubscribeToVoiceMail", "#sub"), ("SubscriptionConfirmed", "#sub", True, 0),
              ("Connect", False), ("Disconnect", True)],
             wire=[("authenticate", b"<string>u</string>")]),
    # The event that answers the last request shows that every request reached the service.
    Scenario("arguments as the wire carries them",
             CONNECT + 'PlayMessage 1 f.wav 65535\nEnableDtmfDetection 1 0\nCloseCall ""\n'
             "CreateCall pbx:1 200\nJoinCalls 1 7\nUnjoinCalls 1 7\nTransferCall 1 pbx:3\n"
             'IncomingCallHandling "caf\u00e9 \\"x\\"" 0\nwait MessagePlayed 5\n',
             [("Connect", True), ("PlayMessage", True), ("EnableDtmfDetection", True),
              ("CloseCall", True), ("CreateCall", "0"), ("JoinCalls", True), ("UnjoinCalls", True),
              ("TransferCall", True), ("IncomingCallHandling", True), ("MessagePlayed", "1")],
             steps=["incomingcallhandling", message("messageplayed", "1")],
             wire=[("playmessage", b"<int>-1<"), ("enabledtmfdetection", b"<boolean>0<"),
                   ("closecall", b"<string>0<"), ("joincalls", b"7"), ("unjoincalls", b"7"),
                   ("transfercall", b"pbx:3"), ("incomingcallhandling", b'caf\xe9 "x"<')]),
    # One write of three notifications: the first wait must leave the rest to the second.
    Scenario("low 16 bits, signed digits and each wait at its own event",
             CONNECT + "wait CallStateChanged 5\nwait MessagePlayed 5\n",
             [("Connect", True), ("CallStateChanged", "42", 1), ("DtmfDigitReceived", "42", -23),
              ("MessagePlayed", "42")],
             steps=["authenticate", message("callstatechanged", "42", 65537) +
                    message("dtmfdigitdetected", "42", 0xE9) +
                    message("messageplayed", "42")]),
    # The fault must be the only answer to its request (an automatic one could reach the
    # control first), so this service answers nothing by itself.
    Scenario("a fault, then the lost connection",
             CONNECT + "CloseCall 7\nwait RequestFailed 5\nCloseCall 8\nwait Disconnected 5\n",
             [("Connect", True), ("CloseCall", True), ("RequestFailed", "7", 4, "caf\u00e9"),
              ("CloseCall", True), ("RequestFailed", "8", 102, "Connection closed remotely"),
              ("Disconnected",)],
             {"answer_requests": False},
             ["closecall", message(None, 4, "caf\u00e9", fault=True), "closecall", None]),
    # Events that arrive without a window are dropped, and so are those still waiting at
    # Disconnect (sleep does not pump).
    Scenario("no events without a window nor after disconnect",
             CONNECT + "window destroy\nCloseCall 4\npump 1\nwindow create\nCloseCall 5\n"
             "wait MessagePlayed 5\nCloseCall 6\nsleep 1\nDisconnect\npump 0.3\n",
             [("Connect", True), ("CloseCall", True), ("CloseCall", True), ("MessagePlayed", "2"),
              ("CloseCall", True), ("Disconnect", True)],
             steps=[s for i in "123" for s in ("closecall", message("messageplayed", i))]),
]


def play(test, host):
    """Plays every scenario against a fresh service; host(script) runs a script, giving records."""
    for scenario in SCENARIOS:
        with test.subTest(scenario.name), FakeService(**scenario.service) as service:
            if any(b"<methodResponse>" in step for step in scenario.steps if type(step) is bytes):
                test.assertIs(scenario.service.get("answer_requests"), False, "automatic answers")
            (steps := threading.Thread(target=lambda: [
                service.next_request(step, 20) if isinstance(step, str) else service.send(step)
                for step in scenario.steps])).start()
            records = host(scenario.script.format(port=service.port, port16=service.port - 65536))
            steps.join(30)
            ids, expected = {}, []
            for record, want in zip(records, scenario.expected):
                expected.append(tuple(ids.setdefault(w, got) if str(w).startswith("#") else w
                                      for got, w in zip(record, want)) + want[len(record):])
            test.assertEqual(records, expected + scenario.expected[len(records):])
            test.assertTrue(all(i.isdigit() and i != "0" for i in ids.values()), ids)
            for method, part in scenario.wire:
                test.assertTrue(any(m == method and part in d for m, d in service.requests), method)
