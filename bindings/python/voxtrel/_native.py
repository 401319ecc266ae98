"""Finds and loads libvoxtrel, and declares its C functions and callback types for ctypes."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import threading
from typing import Any, Dict, Iterator, List, Optional, Tuple

# Names the shared library may have in the package's own folder.
LOCAL_NAMES = ("libvoxtrel.so.1", "libvoxtrel.so", "libvoxtrel.1.dylib", "libvoxtrel.dylib",
               "libvoxtrel.dll", "voxtrel.dll")

ID_SIZE = 21  # VOXTREL_ID_SIZE: 20 digits of an unsigned 64-bit id and the zero

CallStateChanged = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_short)
MessagePlayed = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_char_p)
DtmfDigitReceived = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_short)
RequestFailed = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int,
                                 ctypes.c_char_p)
Disconnected = ctypes.CFUNCTYPE(None, ctypes.c_void_p)
CallArrived = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p,
                               ctypes.c_char_p, ctypes.c_char_p)
MailArrived = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p,
                               ctypes.c_char_p, ctypes.c_int, ctypes.c_int)
SubscriptionConfirmed = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int,
                                         ctypes.c_int)
Reconnecting = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int, ctypes.c_int)
Reconnected = ctypes.CFUNCTYPE(None, ctypes.c_void_p)
Resubscribed = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p,
                                ctypes.c_char_p)
# The document is not zero-terminated text to ctypes: its length comes beside it.
Trace = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int, ctypes.c_double, ctypes.c_void_p,
                         ctypes.c_size_t)

_handle = ctypes.c_void_p
_text = ctypes.c_char_p
_int = ctypes.c_int
_short = ctypes.c_short

# name: (result, argument types)
_FUNCTIONS: Dict[str, Tuple[Any, List[Any]]] = {
    "voxtrel_version": (_text, []),
    "voxtrel_create": (_handle, []),
    "voxtrel_destroy": (None, [_handle]),
    "voxtrel_connect": (_int, [_handle, _text, _short, _int, _text, _text]),
    "voxtrel_disconnect": (_int, [_handle]),
    "voxtrel_create_call": (_int, [_handle, _text, _text, ctypes.c_char_p, ctypes.c_size_t]),
    "voxtrel_close_call": (_int, [_handle, _text]),
    "voxtrel_transfer_call": (_int, [_handle, _text, _text]),
    "voxtrel_join_calls": (_int, [_handle, _text, _text]),
    "voxtrel_unjoin_calls": (_int, [_handle, _text, _text]),
    "voxtrel_play_message": (_int, [_handle, _text, _text, _short]),
    "voxtrel_enable_dtmf_detection": (_int, [_handle, _text, _int]),
    "voxtrel_incoming_call_handling": (_int, [_handle, _text, _int]),
    "voxtrel_accept_call": (_int, [_handle, _text, _text, _text]),
    "voxtrel_reject_call": (_int, [_handle, _text]),
    "voxtrel_forward_call": (_int, [_handle, _text, _text, _text, _text]),
    "voxtrel_subscribe_to_voice_mail": (_int, [_handle, _text, ctypes.c_char_p,
                                               ctypes.c_size_t]),
    "voxtrel_unsubscribe": (_int, [_handle, _text]),
    "voxtrel_on_call_state_changed": (_int, [_handle, CallStateChanged, ctypes.c_void_p]),
    "voxtrel_on_message_played": (_int, [_handle, MessagePlayed, ctypes.c_void_p]),
    "voxtrel_on_dtmf_digit_received": (_int, [_handle, DtmfDigitReceived, ctypes.c_void_p]),
    "voxtrel_on_request_failed": (_int, [_handle, RequestFailed, ctypes.c_void_p]),
    "voxtrel_on_disconnected": (_int, [_handle, Disconnected, ctypes.c_void_p]),
    "voxtrel_on_call_arrived": (_int, [_handle, CallArrived, ctypes.c_void_p]),
    "voxtrel_on_mail_arrived": (_int, [_handle, MailArrived, ctypes.c_void_p]),
    "voxtrel_on_subscription_confirmed": (_int, [_handle, SubscriptionConfirmed,
                                                 ctypes.c_void_p]),
    "voxtrel_pump": (_int, [_handle, _int]),
    "voxtrel_event_descriptor": (_int, [_handle]),
    "voxtrel_create_window": (_int, [_handle]),
    "voxtrel_destroy_window": (None, [_handle]),
    "voxtrel_has_window": (_int, [_handle]),
    "voxtrel_set_reconnect": (_int, [_handle, _int, _int, _int, Reconnecting, Reconnected,
                                     ctypes.c_void_p]),
    "voxtrel_on_resubscribed": (_int, [_handle, Resubscribed, ctypes.c_void_p]),
    "voxtrel_next_timeout": (_int, [_handle]),
    "voxtrel_set_reconnect_by_host": (_int, [_handle, _int]),
    "voxtrel_reconnect_try": (_int, [_handle]),
    "voxtrel_set_trace": (_int, [_handle, Trace, ctypes.c_void_p]),
}

_lock = threading.Lock()
_library: Optional[ctypes.CDLL] = None
_path: Optional[str] = None


def _candidates() -> Iterator[str]:
    """Where the library is looked for, in order: the package's folder, VOXTREL_LIBRARY, and
    the system's loader."""
    here = os.path.dirname(os.path.abspath(__file__))
    for name in LOCAL_NAMES:
        path = os.path.join(here, name)
        if os.path.exists(path):
            yield path
    explicit = os.environ.get("VOXTREL_LIBRARY")
    if explicit:
        yield explicit
    found = ctypes.util.find_library("voxtrel")
    if found:
        yield found
    yield "libvoxtrel.so.1"


def load() -> ctypes.CDLL:
    """The loaded library with its prototypes declared; OSError when it cannot be found."""
    global _library, _path
    with _lock:
        if _library is not None:
            return _library
        failures = []
        for candidate in _candidates():
            try:
                library = ctypes.CDLL(candidate)
            except OSError as error:
                failures.append(f"{candidate}: {error}")
                continue
            for name, (result, arguments) in _FUNCTIONS.items():
                # A library older than the package lacks some functions; using one of them
                # raises, see function().
                function = getattr(library, name, None)
                if function is not None:
                    function.restype = result
                    function.argtypes = arguments
            _library, _path = library, candidate
            return library
        raise OSError("libvoxtrel could not be loaded (tried " + "; ".join(failures) + ")")


def function(name: str) -> Any:
    """The library's function called name; NotImplementedError when the loaded library is too
    old to have it."""
    found = getattr(load(), name, None)
    if found is None:
        raise NotImplementedError(f"{name} is missing from {_path}: that libvoxtrel is older "
                                  "than this package")
    return found


def library_path() -> str:
    """The file or name from which libvoxtrel was loaded."""
    load()
    assert _path is not None
    return _path
