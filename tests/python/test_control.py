"""The Python binding: the shared scenarios (scenarios.py) played through the package, then what
only the package has: loading, argument checks, byte strings, threads, pump, fileno, handlers
and closing."""

import os
import re
import selectors
import shlex
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import scenarios  # noqa: E402
import voxtrel  # noqa: E402
from fake_service import FakeService, first_string, notification  # noqa: E402

INTEGERS = {"Connect": (1, 2), "PlayMessage": (2,), "EnableDtmfDetection": (1,),
            "IncomingCallHandling": (1,)}


def record_events(control, records):
    host = threading.get_ident()
    for name, attribute in voxtrel.EVENTS.items():
        setattr(control, attribute, lambda *arguments, name=name: records.append(
            (name,) + arguments if threading.get_ident() == host else ("off the host", name)))


def pump_for(control, seconds, records=None, name=None):
    """Pumps for seconds, or until an event called name is recorded."""
    deadline, count = time.monotonic() + seconds, len(records or [])
    while time.monotonic() < deadline:
        control.pump(0.02)
        if name and any(r[0] == name for r in records[count:]):
            return True
    return False


def host(script):
    """The script language of `voxtrel run`, on a control of this package."""
    records = []
    with voxtrel.Control() as control:
        record_events(control, records)
        for words in map(shlex.split, script.splitlines()):
            if words[0] == "wait" and not pump_for(control, float(words[2]), records, words[1]):
                records.append(("timedOut", words[1]))
            elif words[0] == "pump":
                pump_for(control, float(words[1]))
            elif words[0] == "sleep":
                time.sleep(float(words[1]))
            elif words[0] == "window":
                getattr(control, words[1] + "_window")()
            elif words[0] != "wait":
                method = re.sub(r"(?<!^)([A-Z])", r"_\1", words[0]).lower()
                arguments = [int(w) if i in INTEGERS.get(words[0], ()) else w
                             for i, w in enumerate(words[1:])]
                records.append((words[0], getattr(control, method)(*arguments)))
    return records


class Package(unittest.TestCase):
    def test_scenarios(self):
        for scenario in scenarios.SCENARIOS:
            with self.subTest(scenario.name):
                scenarios.play(self, scenario, host)

    def test_loading_and_argument_checks(self):
        self.assertEqual(voxtrel.version(), "1.0.0.1")
        self.assertIn("voxtrel", os.path.basename(voxtrel.library_path()))
        with voxtrel.Control() as control:
            for call, error in [(lambda: control.close_call(42), TypeError),
                                (lambda: control.close_call("\u20ac"), UnicodeEncodeError),
                                (lambda: control.connect("127.0.0.1", 65536, 1, "u", "p"),
                                 ValueError),
                                (lambda: control.play_message("1", "f", -40000), ValueError),
                                (lambda: control.enable_dtmf_detection("1", "yes"), TypeError)]:
                self.assertRaises(error, call)
        self.assertTrue(control.closed)


class Connected(unittest.TestCase):
    def setUp(self):
        self.service = FakeService()
        self.addCleanup(self.service.stop)
        self.control = voxtrel.Control()
        self.addCleanup(self.control.close)
        self.events = []
        record_events(self.control, self.events)
        self.assertTrue(self.control.connect("127.0.0.1", self.service.port, 5, "u", "p"))

    def test_texts_are_byte_strings(self):
        for text, sent in [(b"raw\xff", b"raw\xff"), (None, b"")]:
            self.assertTrue(self.control.incoming_call_handling(text, 0))
            request = self.service.next_request("incomingcallhandling")[1]
            self.assertEqual(first_string(request), sent)

    def test_another_thread_is_refused(self):
        results = []

        def elsewhere():
            results.append(self.control.close_call("1"))
            results.append(self.control.create_call("pbx:1", "pbx:2"))
            self.assertRaises(RuntimeError, self.control.pump, 0)
            results.append("refused")

        worker = threading.Thread(target=elsewhere)
        worker.start()
        worker.join()
        self.assertEqual(results, [False, "0", "refused"])

    def test_pump_fileno_and_handler_exceptions(self):
        start = time.monotonic()
        self.assertEqual(self.control.pump(0.2), 0)
        self.assertGreaterEqual(time.monotonic() - start, 0.15)
        with selectors.DefaultSelector() as selector:
            selector.register(self.control, selectors.EVENT_READ)
            self.assertEqual(selector.select(0), [])
            self.service.send(notification("messageplayed", "5"))
            self.assertEqual([key.fileobj for key, _ in selector.select(5)], [self.control])
        self.assertEqual(self.control.pump(0), 1)
        self.control.on_message_played = lambda call_id: {}[call_id]
        self.service.send(notification("messageplayed", "6"))
        with self.assertRaises(KeyError):
            pump_for(self.control, 5)
        # Delivery goes on after the handler's exception.
        self.service.send(notification("callstatechanged", "6", 2))
        pump_for(self.control, 5, self.events, "CallStateChanged")
        self.assertEqual(self.events, [("MessagePlayed", "5"), ("CallStateChanged", "6", 2)])

    def test_window_and_closing_inside_a_handler(self):
        self.control.destroy_window()
        self.assertFalse(self.control.has_window())
        self.assertRaises(ValueError, self.control.fileno)
        self.assertTrue(self.control.create_window())
        self.assertFalse(self.control.create_window())

        def on_played(call_id):
            self.events.append(("played", call_id, self.control.close_call(call_id)))
            self.control.close()

        self.control.on_message_played = on_played
        self.service.send(notification("messageplayed", "9") +
                          notification("messageplayed", "10"))
        pump_for(self.control, 5, self.events, "played")
        self.assertEqual(self.events, [("played", "9", True)])
        self.assertTrue(self.control.closed)
        self.assertEqual(self.control.pump(0.1), 0)
        self.assertEqual(self.events, [("played", "9", True)])

    def test_closed_or_dropped_control_ends_its_connection(self):
        self.control.close()
        self.assertEqual((self.control.close_call("1"), self.control.pump(0)), (False, 0))
        self.assertRaises(ValueError, self.control.fileno)
        self.control.close()
        for release in (None, "del"):
            if release:
                self.assertTrue(voxtrel.Control().connect("127.0.0.1", self.service.port, 5,
                                                          "u", "p"))
            deadline = time.monotonic() + 5
            while self.service.send(b"") and time.monotonic() < deadline:
                time.sleep(0.02)
            self.assertFalse(self.service.send(b""), release)


if __name__ == "__main__":
    unittest.main()
