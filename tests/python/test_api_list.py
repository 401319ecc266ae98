"""The binding's methods, events and C prototypes against the control's one list of them."""

import ctypes
import inspect
import os
import re
import unittest

import voxtrel
from voxtrel import _native, control

_C_TYPES = {"Text": ctypes.c_char_p, "Short": ctypes.c_short, "Long": ctypes.c_int,
            "Bool": ctypes.c_int}
_CONVERSIONS = {"Text": control._decode, "Short": control._same, "Long": control._same,
                "Bool": control._flag}


def _members(macro):
    """Per row of one list: its words (dispid, Name, c_name, a method's result) and parameter
    types."""
    with open(os.path.join(os.path.dirname(__file__), "..", "..", "src", "control",
                           "control_api_list.h"), encoding="utf-8") as header:
        text = header.read().replace("\\\n", " ")
    rows = re.split(r"\b[ME]\(", re.search(rf"#define {macro}\(\w, P\)(.*)", text)[1])[1:]
    return [(words, [words[i + 1] for i, w in enumerate(words) if w == "P"])
            for words in (re.findall(r"\w+", row) for row in rows)]


class ApiList(unittest.TestCase):
    def test_methods_have_their_names_arities_and_prototypes(self):
        methods = _members("VOXTREL_METHODS")
        self.assertEqual(len(methods), 15)
        for (_, name, c_name, result, *_), params in methods:
            with self.subTest(name):
                signature = inspect.signature(getattr(voxtrel.Control, c_name))
                self.assertEqual(len(signature.parameters), len(params) + 1)
                buffer = [ctypes.c_char_p, ctypes.c_size_t] if result == "Text" else []
                self.assertEqual(_native._FUNCTIONS["voxtrel_" + c_name], (ctypes.c_int, [
                    ctypes.c_void_p] + [_C_TYPES[kind] for kind in params] + buffer))

    def test_events_have_their_names_handlers_and_callback_types(self):
        events = _members("VOXTREL_EVENTS")
        self.assertEqual([words[1] for words, _ in events], list(voxtrel.EVENTS))
        for (_, name, c_name, *_), params in events:
            with self.subTest(name):
                self.assertEqual(voxtrel.EVENTS[name], "on_" + c_name)
                kind, setter, conversions = control._WIRING[name]
                self.assertEqual((setter, conversions), ("voxtrel_on_" + c_name, tuple(
                    _CONVERSIONS[p] for p in params)))
                self.assertEqual(kind._argtypes_,
                                 (ctypes.c_void_p,) + tuple(_C_TYPES[p] for p in params))
                self.assertEqual(_native._FUNCTIONS[setter][1][1], kind)


if __name__ == "__main__":
    unittest.main()
