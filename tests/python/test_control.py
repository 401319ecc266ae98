"""The Python package: the shared scenarios (scenarios.py), what only the package has, and its
methods, events and C prototypes against the control's one list of them."""

import concurrent.futures
import ctypes
import inspect
import pathlib
import re
import selectors
import shlex
import threading
import time
import unittest

import scenarios
import voxtrel
from scenarios import FakeService, message
from voxtrel import _native
from voxtrel.aio import AsyncControl
from voxtrel.control import _WIRING, _decode, _flag, _same

# The rows of the control's lists of methods and of events, and of the reconnect supervisor's
# events, each as its words (dispid, Name, c_name, a method's result) and its parameters' types.
_LIST = "".join(pathlib.Path(__file__, "../../../src/control", name).resolve().read_text("utf-8")
                for name in ("control_api_list.h", "reconnect_supervisor.h")).replace("\\\n", " ")
METHODS, EVENTS, RECONNECT_EVENTS = (
    [(words, [words[i + 1] for i, w in enumerate(words) if w == "P"])
     for words in (re.findall(r"\w+", row) for row in re.split(
         r"\b[ME]\(", re.search(rf"#define {macro}\(\w, P\)(.*)", _LIST)[1])[1:])]
    for macro in ("VOXTREL_METHODS", "VOXTREL_EVENTS", "VOXTREL_RECONNECT_EVENTS"))
INTEGERS = {words[1]: [i for i, p in enumerate(params) if p != "Text"] for words, params in METHODS}


def record_events(control, records):
    host = threading.get_ident()
    for name, attribute in voxtrel.EVENTS.items():
        setattr(control, attribute, lambda *arguments, name=name: records.append(
            (name,) + arguments if threading.get_ident() == host else ("off the host", name)))


def pump_for(control, seconds, records=(), name=None):
    """Pumps for seconds, or until an event called name is recorded; whether it was."""
    deadline, seen = time.monotonic() + seconds, len(records)
    while time.monotonic() < deadline and name not in (r[0] for r in records[seen:]):
        control.pump(0.02)
    return name in (r[0] for r in records[seen:])


def host(script):
    """The script language of `voxtrel run` on a control of the package."""
    records = []
    with voxtrel.Control() as control:
        record_events(control, records)
        for word, *rest in map(shlex.split, script.splitlines()):
            if word == "wait":
                pump_for(control, float(rest[1]), records, rest[0]) or records.append(
                    ("timedOut", rest[0]))
            elif word in ("pump", "sleep"):
                pump_for(control, float(rest[0])) if word == "pump" else time.sleep(float(rest[0]))
            elif word == "window":
                getattr(control, rest[0] + "_window")()
            else:
                method = getattr(control, re.sub(r"(?<!^)([A-Z])", r"_\1", word).lower())
                records.append((word, method(*[int(a) if i in INTEGERS.get(word, ()) else a
                                               for i, a in enumerate(rest)])))
    assert control.closed, "the with block closes the control"
    return records


class Package(unittest.TestCase):
    def setUp(self):
        self.service = self.enterContext(FakeService())
        self.control = self.enterContext(voxtrel.Control())
        self.events = []
        record_events(self.control, self.events)
        self.assertTrue(self.control.connect("127.0.0.1", self.service.port, 5, "u", "p"))

    def test_scenarios(self):
        scenarios.play(self, host)

    def test_argument_checks_texts_and_another_thread(self):
        c = self.control
        for error, call in [(TypeError, lambda: c.close_call(42)),
                            (UnicodeEncodeError, lambda: c.close_call("\u20ac")),
                            (ValueError, lambda: c.connect("127.0.0.1", 65536, 1, "u", "p")),
                            (ValueError, lambda: c.play_message("1", "f", -40000)),
                            (TypeError, lambda: c.enable_dtmf_detection("1", "yes")),
                            (ValueError, lambda: voxtrel.Reconnect(0.0001)),
                            (ValueError, lambda: voxtrel.Reconnect(2, 1)),
                            (ValueError, lambda: voxtrel.Reconnect(1, 2, 0)),
                            (TypeError, lambda: setattr(c, "reconnect", "often"))]:
            self.assertRaises(error, call)
        for text, sent in [(b"raw\xff", b"<string>raw\xff</string>"), (None, b"<string></string>")]:
            self.assertTrue(c.incoming_call_handling(text, 0))
            self.assertIn(sent, self.service.next_request("incomingcallhandling"))
        with concurrent.futures.ThreadPoolExecutor() as pool:
            results = pool.submit(lambda: [c.close_call("1"), c.create_call("pbx:1", "pbx:2"),
                                           self.assertRaises(RuntimeError, c.pump, 0)]).result()
        self.assertEqual(results, [False, "0", None])

    def test_pump_fileno_and_a_handler_that_raises(self):
        start = time.monotonic()
        self.assertEqual(self.control.pump(0.2), 0)
        self.assertGreaterEqual(time.monotonic() - start, 0.15)
        with selectors.DefaultSelector() as selector:
            selector.register(self.control, selectors.EVENT_READ)
            self.assertEqual(selector.select(0), [])
            self.service.send(message("messageplayed", "5"))
            self.assertEqual([key.fileobj for key, _ in selector.select(5)], [self.control])
        self.assertEqual(self.control.pump(0), 1)
        self.control.on_message_played = lambda call_id: {}[call_id]
        self.service.send(message("messageplayed", "6"))
        self.assertRaises(KeyError, pump_for, self.control, 5)
        # Delivery goes on after the handler's exception.
        self.service.send(message("callstatechanged", "6", 2))
        pump_for(self.control, 5, self.events, "CallStateChanged")
        self.assertEqual(self.events, [("MessagePlayed", "5"), ("CallStateChanged", "6", 2)])

    def test_window_closing_inside_a_handler_and_a_dropped_control(self):
        c = self.control
        c.destroy_window()
        self.assertFalse(c.has_window())
        self.assertRaises(ValueError, c.fileno)
        self.assertEqual((c.create_window(), c.create_window()), (True, False))
        c.on_message_played = lambda call_id: self.events.append(
            ("played", call_id, c.close_call(call_id), c.close()))
        self.service.send(message("messageplayed", "9") + message("messageplayed", "10"))
        pump_for(c, 5, self.events, "played")
        self.assertEqual((c.closed, c.pump(0.1), c.close_call("1")), (True, 0, False))
        self.assertEqual(self.events, [("played", "9", True, None)])
        self.assertRaises(ValueError, c.fileno)
        # A closed control, and one that nothing holds, ends its connection.
        self.assertTrue(self.service.ended.wait(5))
        self.service.ended.clear()
        self.assertTrue(voxtrel.Control().connect("127.0.0.1", self.service.port, 5, "u", "p"))
        self.assertTrue(self.service.ended.wait(5))

    def test_methods_and_events_follow_the_list(self):
        c_type = {"Text": ctypes.c_char_p, "Short": ctypes.c_short}.get  # Long and Bool: int
        self.assertEqual((len(METHODS), [row[1] for row, _ in EVENTS]), (15, list(voxtrel.EVENTS)))
        for (_, name, c_name, result, *_), params in METHODS:
            with self.subTest(name):
                # The asyncio face has each method as a coroutine with the same signature.
                signature, *others = {inspect.signature(getattr(face, c_name))
                                      for face in (voxtrel.Control, AsyncControl)}
                self.assertEqual((len(signature.parameters), others, inspect.iscoroutinefunction(
                    getattr(AsyncControl, c_name))), (len(params) + 1, [], True))
                buffer = [ctypes.c_char_p, ctypes.c_size_t] if result == "Text" else []
                self.assertEqual(_native._FUNCTIONS["voxtrel_" + c_name], (ctypes.c_int, [
                    ctypes.c_void_p] + [c_type(p, ctypes.c_int) for p in params] + buffer))
        for (_, name, c_name, *_), params in EVENTS:
            with self.subTest(name):
                kind, setter, conversions = _WIRING[name]
                self.assertEqual((voxtrel.EVENTS[name], setter, conversions), (
                    "on_" + c_name, "voxtrel_on_" + c_name, tuple(
                        {"Text": _decode, "Bool": _flag}.get(p, _same) for p in params)))
                self.assertEqual((kind._argtypes_, _native._FUNCTIONS[setter][1][1]), (
                    (ctypes.c_void_p,) + tuple(c_type(p, ctypes.c_int) for p in params), kind))
        self.assertEqual([row[1] for row, _ in RECONNECT_EVENTS], list(voxtrel.RECONNECT_EVENTS))
        for (_, name, c_name, *_), params in RECONNECT_EVENTS:
            with self.subTest(name):
                self.assertEqual((voxtrel.RECONNECT_EVENTS[name], _WIRING[name][0]._argtypes_), (
                    "on_" + c_name, (ctypes.c_void_p,) + tuple(c_type(p, ctypes.c_int)
                                                               for p in params)))


if __name__ == "__main__":
    unittest.main()
