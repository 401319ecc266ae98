"""The binding's methods, events and C prototypes against the control's one list of them."""

import ctypes
import inspect
import os
import re
import unittest

import voxtrel
from voxtrel import _native, control

_LIST = os.path.join(os.path.dirname(__file__), "..", "..", "src", "control", "control_api_list.h")
_C_TYPES = {"Text": ctypes.c_char_p, "Short": ctypes.c_short, "Long": ctypes.c_int,
            "Bool": ctypes.c_int}
_CONVERSIONS = {"Text": control._decode, "Short": control._same, "Long": control._same,
                "Bool": control._flag}


def _members(macro):
    """(dispid, name, c_name, result, [parameter types]) of each row of one list, in order."""
    with open(_LIST, encoding="utf-8") as header:
        text = re.sub(r"\s+", " ", header.read().replace("\\\n", " "))
    body = re.search(r"#define " + macro + r"\((\w), P\)(.*?)(#|$)", text).group(2)
    rows = []
    for row in re.finditer(r"\b[ME]\((\d+), (\w+), (\w+)((?:, (?:\w+|P\(\w+, \w+\)))*)\)", body):
        words = re.findall(r"P\((\w+), \w+\)|(\w+)", row.group(4))
        result = next((plain for _, plain in words if plain), None)
        rows.append((int(row.group(1)), row.group(2), row.group(3), result,
                     [typed for typed, _ in words if typed]))
    return rows


class ApiList(unittest.TestCase):
    def test_methods_have_their_names_arities_and_prototypes(self):
        methods = _members("VOXTREL_METHODS")
        self.assertEqual([row[0] for row in methods], list(range(1, 16)))
        for _, name, c_name, result, params in methods:
            with self.subTest(name):
                signature = inspect.signature(getattr(voxtrel.Control, c_name))
                self.assertEqual(len(signature.parameters), len(params) + 1)
                restype, argtypes = _native._FUNCTIONS["voxtrel_" + c_name]
                buffer = [ctypes.c_char_p, ctypes.c_size_t] if result == "Text" else []
                self.assertEqual((restype, argtypes), (ctypes.c_int, [ctypes.c_void_p] + [
                    _C_TYPES[kind] for kind in params] + buffer))

    def test_events_have_their_names_handlers_and_callback_types(self):
        events = _members("VOXTREL_EVENTS")
        self.assertEqual([row[1] for row in events], list(voxtrel.EVENTS))
        self.assertEqual([row[0] for row in events], list(range(1, 9)))
        for _, name, c_name, _, params in events:
            with self.subTest(name):
                self.assertEqual(voxtrel.EVENTS[name], "on_" + c_name)
                kind, setter, conversions = control._WIRING[name]
                self.assertIs(kind, getattr(_native, name))
                self.assertEqual(setter, "voxtrel_on_" + c_name)
                self.assertEqual(conversions, tuple(_CONVERSIONS[p] for p in params))
                self.assertEqual(kind._argtypes_,
                                 (ctypes.c_void_p,) + tuple(_C_TYPES[p] for p in params))
                self.assertEqual(_native._FUNCTIONS[setter][1][1], kind)


if __name__ == "__main__":
    unittest.main()
