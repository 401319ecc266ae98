"""Scenarios that both black-box suites play, `voxtrel run` (tests/tools/run_test.py) and the
Python package (test_control.py): a script in the language of `voxtrel run`, the scripted
service's steps meanwhile (a method name waits for that request, bytes are sent, None closes the
connection), and the host's records: ("CreateCall", "1234") for a method, ("CallStateChanged",
"42", 3) for an event, ("timedOut", NAME) for a wait that ran out. An expected text starting
with "#" is an id: a non-zero decimal text, the same wherever the same "#" text stands."""

import collections
import threading

from fake_service import FakeService, fault_answer, notification

Scenario = collections.namedtuple("Scenario", "name script expected service steps wire",
                                  defaults=({}, (), ()))
CONNECT = "Connect 127.0.0.1 {port} 5 u p\n"
METHODS = ("Disconnect CreateCall CloseCall TransferCall JoinCalls UnjoinCalls PlayMessage "
           "EnableDtmfDetection IncomingCallHandling AcceptCall RejectCall ForwardCall "
           "SubscribeToVoiceMail Unsubscribe").split()
SCENARIOS = [
    Scenario("every method refuses before connect",
             "Disconnect\nCreateCall pbx:1 pbx:2\nCloseCall 1\nTransferCall 1 pbx:2\n"
             "JoinCalls 1 2\nUnjoinCalls 1 2\nPlayMessage 1 f.wav 1\nEnableDtmfDetection 1 1\n"
             "IncomingCallHandling 100 1\nAcceptCall 1 a b\nRejectCall 1\n"
             "ForwardCall 1 pbx:2 a b\nSubscribeToVoiceMail 100\nUnsubscribe 1\n",
             [(m, "0" if m in ("CreateCall", "SubscribeToVoiceMail") else False) for m in METHODS]),
    Scenario("refused credentials", "Connect 127.0.0.1 {port} 2 u bad\nCreateCall pbx:1 pbx:2\n",
             [("Connect", False), ("CreateCall", "0")], {"accept": False}),
    # The port is taken as 16 bits. The service echoes the ids that the requests carry.
    Scenario("a call and a subscription",
             "Connect 127.0.0.1 {port16} 5 u p\nCreateCall pbx:200 pbx:100\n"
             "wait CallStateChanged 5\nSubscribeToVoiceMail 300\nwait SubscriptionConfirmed 5\n" +
             CONNECT + "Disconnect\n",
             [("Connect", True), ("CreateCall", "#call"), ("CallStateChanged", "#call", 3),
              ("SubscribeToVoiceMail", "#sub"), ("SubscriptionConfirmed", "#sub", True, 0),
              ("Connect", False), ("Disconnect", True)],
             {"call_state": 3}, wire=[("authenticate", b"<string>u</string>")]),
    # The event that answers the last request shows that every request reached the service.
    Scenario("arguments as the wire carries them",
             CONNECT + 'PlayMessage 1 f.wav 65535\nEnableDtmfDetection 1 2\nCloseCall ""\n'
             "CreateCall pbx:1 200\nJoinCalls 1 7\nUnjoinCalls 1 7\nTransferCall 1 pbx:3\n"
             'IncomingCallHandling "caf\u00e9 \\"x\\"" 0\nwait MessagePlayed 5\n',
             [("Connect", True), ("PlayMessage", True), ("EnableDtmfDetection", True),
              ("CloseCall", True), ("CreateCall", "0"), ("JoinCalls", True), ("UnjoinCalls", True),
              ("TransferCall", True), ("IncomingCallHandling", True), ("MessagePlayed", "1")],
             steps=["incomingcallhandling", notification("messageplayed", "1")],
             wire=[("playmessage", b"<int>-1<"), ("enabledtmfdetection", b"<boolean>0<"),
                   ("closecall", b"<string>0<"), ("joincalls", b"7"), ("unjoincalls", b"7"),
                   ("transfercall", b"pbx:3"), ("incomingcallhandling", b'caf\xe9 "x"<')]),
    # One write of three notifications: the first wait must leave the rest to the second.
    Scenario("low 16 bits, signed digits and each wait at its own event",
             CONNECT + "wait CallStateChanged 5\nwait MessagePlayed 5\n",
             [("Connect", True), ("CallStateChanged", "42", 1), ("DtmfDigitReceived", "42", -23),
              ("MessagePlayed", "42")],
             steps=["authenticate", notification("callstatechanged", "42", 65537) +
                    notification("dtmfdigitdetected", "42", 0xE9) +
                    notification("messageplayed", "42")]),
    # The fault must be the only answer to its request (an automatic one could reach the
    # control first), so this service answers nothing by itself.
    Scenario("a fault, then the lost connection",
             CONNECT + "CloseCall 7\nwait RequestFailed 5\nCloseCall 8\nwait Disconnected 5\n",
             [("Connect", True), ("CloseCall", True), ("RequestFailed", "7", 4, "caf\u00e9"),
              ("CloseCall", True), ("RequestFailed", "8", 102, "Connection closed remotely"),
              ("Disconnected",)],
             {"answer_requests": False}, ["closecall", fault_answer(4, "caf\u00e9"), "closecall",
                                          None]),
    # Events that arrive without a window are dropped, and so are those still waiting at
    # Disconnect (sleep does not pump).
    Scenario("no events without a window nor after disconnect",
             CONNECT + "window destroy\nCloseCall 4\npump 1\nwindow create\nCloseCall 5\n"
             "wait MessagePlayed 5\nCloseCall 6\nsleep 1\nDisconnect\npump 0.3\n",
             [("Connect", True), ("CloseCall", True), ("CloseCall", True), ("MessagePlayed", "2"),
              ("CloseCall", True), ("Disconnect", True)],
             steps=[s for i in "123" for s in ("closecall", notification("messageplayed", i))]),
]


def play(test, scenario, host):
    """Plays scenario against a fresh service; host(script) runs the script and gives records."""
    with FakeService(**scenario.service) as service:
        steps = threading.Thread(target=_steps, args=(service, scenario.steps), daemon=True)
        steps.start()
        records = host(scenario.script.format(port=service.port, port16=service.port - 65536))
        steps.join(10)
    ids, expected = {}, []
    for record, want in zip(records, scenario.expected):
        expected.append(tuple(ids.setdefault(w, got) if str(w).startswith("#") else w
                              for got, w in zip(record, want)) + want[len(record):])
    test.assertEqual(records, expected + scenario.expected[len(records):])
    test.assertTrue(all(i.isdigit() and i != "0" for i in ids.values()), ids)
    for method, part in scenario.wire:
        test.assertTrue(any(m == method and part in d for m, d in service.requests), method)


def _steps(service, steps):
    for step in steps:
        if isinstance(step, str):
            service.next_request(step, timeout=20)
        elif step:
            service.send(step)
        else:
            service.close_connection()
