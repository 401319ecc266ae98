"""Voxtrel for Python: the embeddable telephony control through libvoxtrel, with ctypes only.

    import voxtrel

    with voxtrel.Control() as control:
        control.on_call_state_changed = lambda call_id, state: print(call_id, state)
        if control.connect("pbx.example", 5060, 10, "user", "secret"):
            call_id = control.create_call("pbx:100", "pbx:200")
            control.pump(5.0)

voxtrel.aio has the same control for asyncio. libvoxtrel is looked for in this package's
folder, then at the path in the environment variable VOXTREL_LIBRARY, then by the system's
loader.
"""

from . import _native
from ._native import library_path
from .control import (EVENT_PARAMETERS, EVENTS, METHODS, RECONNECT_EVENTS, WIRE_LOGGER, Control,
                      Reconnect, Text)

__all__ = ["Control", "EVENT_PARAMETERS", "EVENTS", "METHODS", "RECONNECT_EVENTS", "Reconnect",
           "Text", "WIRE_LOGGER", "library_path", "version"]


def version() -> str:
    """The control's version, "1.0.0.1"."""
    return str(_native.load().voxtrel_version().decode("ascii"))
