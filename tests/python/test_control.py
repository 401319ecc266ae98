"""The Python binding against the scripted service: loading, methods before and after connect,
the byte-string rule, events through handlers, pump, fileno with selectors, the window, threads
and the context manager."""

import os
import selectors
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import voxtrel  # noqa: E402
from fake_service import (FakeService, fault_answer, first_string, int_param,  # noqa: E402
                          notification, string_param)


def pump_until(control, events, count, seconds=5.0):
    """Pumps until count events were recorded or seconds passed."""
    deadline = time.monotonic() + seconds
    while len(events) < count and time.monotonic() < deadline:
        control.pump(0.02)
    return events


class Recording:
    """Handlers for all eight events that record one tuple per event and its thread."""

    def __init__(self, control):
        self.events = []
        self.threads = set()
        for name, attribute in voxtrel.EVENTS.items():
            setattr(control, attribute, self._handler(name))

    def _handler(self, name):
        def handle(*arguments):
            self.threads.add(threading.get_ident())
            self.events.append((name,) + arguments)

        return handle


class ConnectedCase(unittest.TestCase):
    """A control connected to a fresh scripted service."""

    call_state = 3

    def setUp(self):
        self.service = FakeService(call_state=self.call_state)
        self.addCleanup(self.service.stop)
        self.control = voxtrel.Control()
        self.addCleanup(self.control.close)
        self.recording = Recording(self.control)
        self.assertTrue(self.control.connect("127.0.0.1", self.service.port, 5, "u", "p"))
        method, document = self.service.next_request()
        self.assertEqual(method, "authenticate")
        self.assertIn(b"<string>u</string>", document)

    def expect_request(self, method):
        while True:
            request = self.service.next_request()
            self.assertIsNotNone(request, f"no {method} request arrived")
            if request[0] == method:
                return request[1]


class LoadingAndRefusals(unittest.TestCase):
    def test_library_and_version(self):
        self.assertEqual(voxtrel.version(), "1.0.0.1")
        path = voxtrel.library_path()
        self.assertIn("voxtrel", os.path.basename(path))
        self.assertEqual(len(voxtrel.EVENTS), 8)

    def test_every_method_refused_before_connect(self):
        with voxtrel.Control() as control:
            self.assertIs(control.disconnect(), False)
            self.assertEqual(control.create_call("pbx:1", "pbx:2"), "0")
            self.assertEqual(control.subscribe_to_voice_mail("100"), "0")
            self.assertIs(control.close_call("1"), False)
            self.assertIs(control.transfer_call("1", "pbx:2"), False)
            self.assertIs(control.join_calls("1", "2"), False)
            self.assertIs(control.unjoin_calls("1", "2"), False)
            self.assertIs(control.play_message("1", "f.wav", -1), False)
            self.assertIs(control.enable_dtmf_detection("1", True), False)
            self.assertIs(control.incoming_call_handling("100", True), False)
            self.assertIs(control.accept_call("1", None, None), False)
            self.assertIs(control.reject_call(b"1"), False)
            self.assertIs(control.forward_call("1", "pbx:2", "", ""), False)
            self.assertIs(control.unsubscribe(None), False)
            self.assertEqual(control.pump(0), 0)

    def test_argument_checks(self):
        with voxtrel.Control() as control:
            with self.assertRaises(TypeError):
                control.close_call(42)
            with self.assertRaises(UnicodeEncodeError):
                control.close_call("\u20ac")
            with self.assertRaises(ValueError):
                control.connect("127.0.0.1", 65536, 1, "u", "p")
            with self.assertRaises(ValueError):
                control.play_message("1", "f", -40000)
            with self.assertRaises(TypeError):
                control.enable_dtmf_detection("1", "yes")

    def test_connect_to_nobody_fails_without_hanging(self):
        with FakeService() as service:
            port = service.port
        with voxtrel.Control() as control:
            start = time.monotonic()
            self.assertFalse(control.connect("127.0.0.1", port, 1, "u", "p"))
            self.assertLess(time.monotonic() - start, 8)

    def test_refused_credentials(self):
        with FakeService(accept=False) as service, voxtrel.Control() as control:
            self.assertFalse(control.connect("127.0.0.1", service.port, 2, "u", "bad"))
            self.assertEqual(control.create_call("pbx:1", "pbx:2"), "0")


class Methods(ConnectedCase):
    call_state = None

    def test_ids_and_conversions(self):
        call_id = self.control.create_call("pbx:1", "pbx:2")
        self.assertTrue(call_id.isdigit() and call_id != "0", call_id)
        self.assertEqual(first_string(self.expect_request("createcall")), call_id.encode())
        self.assertEqual(self.control.create_call("pbx:1", "200"), "0")
        self.assertTrue(self.control.close_call(""))
        self.assertEqual(first_string(self.expect_request("closecall")), b"0")
        self.assertTrue(self.control.play_message(call_id, "f.wav", 65535))
        self.assertIn(b"<value><int>-1</int></value>", self.expect_request("playmessage"))
        self.assertTrue(self.control.enable_dtmf_detection(call_id, 2))
        self.assertIn(b"<boolean>0</boolean>", self.expect_request("enabledtmfdetection"))
        self.assertTrue(self.control.join_calls(call_id, "7"))
        self.expect_request("joincalls")
        self.assertTrue(self.control.unjoin_calls(call_id, "7"))
        self.expect_request("unjoincalls")
        self.assertTrue(self.control.transfer_call(call_id, "pbx:3"))
        self.expect_request("transfercall")
        subscription = self.control.subscribe_to_voice_mail("100")
        self.assertNotEqual(subscription, "0")
        self.assertEqual(first_string(self.expect_request("subscribe")), subscription.encode())
        # The worker waits until the host has seen the confirmation before it writes again.
        self.assertEqual(pump_until(self.control, self.recording.events, 1),
                         [("SubscriptionConfirmed", subscription, True, 0)])
        self.assertTrue(self.control.unsubscribe(subscription))
        self.expect_request("unsubscribe")
        self.assertFalse(self.control.connect("127.0.0.1", self.service.port, 5, "u", "p"))

    def test_texts_are_byte_strings(self):
        self.assertTrue(self.control.incoming_call_handling("caf\u00e9", True))
        self.assertEqual(first_string(self.expect_request("incomingcallhandling")), b"caf\xe9")
        self.assertTrue(self.control.incoming_call_handling(b"raw\xff", False))
        document = self.expect_request("incomingcallhandling")
        self.assertEqual(first_string(document), b"raw\xff")
        self.assertIn(b"<boolean>0</boolean>", document)
        self.assertTrue(self.control.incoming_call_handling(None, 1))
        self.assertEqual(first_string(self.expect_request("incomingcallhandling")), b"")

    def test_another_thread_is_refused(self):
        results = []

        def elsewhere():
            results.append(self.control.close_call("1"))
            results.append(self.control.create_call("pbx:1", "pbx:2"))
            try:
                self.control.pump(0)
            except RuntimeError:
                results.append("refused")

        worker = threading.Thread(target=elsewhere)
        worker.start()
        worker.join()
        self.assertEqual(results, [False, "0", "refused"])


class Events(ConnectedCase):
    def test_created_call_state_reaches_the_handler_on_this_thread(self):
        call_id = self.control.create_call("pbx:1", "pbx:2")
        events = pump_until(self.control, self.recording.events, 1)
        self.assertEqual(events, [("CallStateChanged", call_id, 3)])
        self.assertEqual(self.recording.threads, {threading.get_ident()})

    def test_low_16_bits_signed_digits_and_latin1_texts(self):
        self.service.send(
            notification("callstatechanged", string_param("42") + int_param(65537)) +
            notification("dtmfdigitdetected", string_param("42") + int_param(0xE9)) +
            notification("messageplayed", string_param("42")))
        call_id = self.control.create_call("pbx:1", "pbx:2")
        events = pump_until(self.control, self.recording.events, 4)
        self.assertEqual(events[:3], [("CallStateChanged", "42", 1),
                                      ("DtmfDigitReceived", "42", -23),
                                      ("MessagePlayed", "42")])
        self.assertEqual(events[3], ("CallStateChanged", call_id, 3))
        # The fault must be the only answer: an automatic one could reach the control first.
        self.service.answer_requests = False
        call_id = self.control.create_call("pbx:1", "pbx:2")
        while first_string(self.expect_request("createcall")) != call_id.encode():
            pass
        self.service.send(fault_answer(7, "occup\u00e9"))
        events = pump_until(self.control, self.recording.events, 5)
        self.assertEqual(events[4], ("RequestFailed", call_id, 7, "occup\u00e9"))

    def test_subscription_confirmed_then_remote_close(self):
        subscription = self.control.subscribe_to_voice_mail("100")
        pump_until(self.control, self.recording.events, 1)
        self.service.close_connection()
        events = pump_until(self.control, self.recording.events, 2)
        self.assertEqual(events, [("SubscriptionConfirmed", subscription, True, 0),
                                  ("Disconnected",)])

    def test_pump_counts_and_waits_only_as_told(self):
        start = time.monotonic()
        self.assertEqual(self.control.pump(0.2), 0)
        self.assertGreaterEqual(time.monotonic() - start, 0.15)
        self.service.send(notification("messageplayed", string_param("1")))
        deadline = time.monotonic() + 5
        handled = 0
        while handled == 0 and time.monotonic() < deadline:
            handled = self.control.pump(0.05)
        self.assertEqual(handled, 1)

    def test_fileno_with_selectors(self):
        with selectors.DefaultSelector() as selector:
            selector.register(self.control, selectors.EVENT_READ)
            self.assertEqual(selector.select(0), [])
            self.service.send(notification("messageplayed", string_param("5")))
            ready = selector.select(5)
            self.assertEqual([key.fileobj for key, _ in ready], [self.control])
            self.assertEqual(self.control.pump(0), 1)
            self.assertEqual(self.recording.events, [("MessagePlayed", "5")])

    def test_handler_exception_is_raised_by_pump(self):
        def fail(call_id):
            raise KeyError(call_id)

        self.control.on_message_played = fail
        self.service.send(notification("messageplayed", string_param("6")))
        with self.assertRaises(KeyError):
            deadline = time.monotonic() + 5
            while time.monotonic() < deadline:
                self.control.pump(0.05)
        # The delivery ended: the service's next notification still arrives.
        self.control.on_message_played = None
        self.service.send(notification("callstatechanged", string_param("6") + int_param(2)))
        self.assertEqual(pump_until(self.control, self.recording.events, 1),
                         [("CallStateChanged", "6", 2)])

    def test_no_events_without_window_nor_after_disconnect(self):
        self.assertTrue(self.control.has_window())
        self.control.destroy_window()
        self.assertFalse(self.control.has_window())
        with self.assertRaises(ValueError):
            self.control.fileno()
        self.control.create_call("pbx:1", "pbx:2")
        self.expect_request("createcall")
        time.sleep(0.2)
        self.assertEqual(self.control.pump(0.1), 0)
        self.assertTrue(self.control.create_window())
        self.assertFalse(self.control.create_window())
        self.assertTrue(self.control.disconnect())
        self.assertEqual(pump_until(self.control, self.recording.events, 1, 0.3), [])

    def test_methods_and_close_from_inside_a_handler(self):
        def on_played(call_id):
            self.recording.events.append(("played", call_id))
            self.assertTrue(self.control.close_call(call_id))
            self.control.close()

        self.control.on_message_played = on_played
        self.service.send(notification("messageplayed", string_param("9")) +
                          notification("messageplayed", string_param("10")))
        pump_until(self.control, self.recording.events, 1)
        self.assertEqual(self.recording.events, [("played", "9")])
        self.assertTrue(self.control.closed)
        self.assertEqual(self.control.pump(0.1), 0)
        self.assertEqual(self.recording.events, [("played", "9")])


class ContextManager(unittest.TestCase):
    def test_closed_on_exit(self):
        with FakeService(call_state=3) as service:
            with voxtrel.Control() as control:
                self.assertFalse(control.closed)
                self.assertTrue(control.connect("127.0.0.1", service.port, 5, "u", "p"))
                self.assertGreaterEqual(control.fileno(), 0)
            self.assertTrue(control.closed)
            self.assertFalse(control.close_call("1"))
            self.assertEqual(control.create_call("pbx:1", "pbx:2"), "0")
            self.assertEqual(control.pump(0), 0)
            with self.assertRaises(ValueError):
                control.fileno()
            control.close()
            # The service saw the connection end.
            deadline = time.monotonic() + 5
            while service.send(b"") and time.monotonic() < deadline:
                time.sleep(0.02)
            self.assertFalse(service.send(b""))

    def test_dropped_control_is_released(self):
        with FakeService() as service:
            control = voxtrel.Control()
            self.assertTrue(control.connect("127.0.0.1", service.port, 5, "u", "p"))
            del control
            deadline = time.monotonic() + 5
            while service.send(b"") and time.monotonic() < deadline:
                time.sleep(0.02)
            self.assertFalse(service.send(b""))


if __name__ == "__main__":
    unittest.main()
