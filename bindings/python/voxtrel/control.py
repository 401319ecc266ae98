"""The Control class: one Voxtrel control, its fifteen methods and its eight events, reconnecting
by itself and the wire trace."""

from __future__ import annotations

import ctypes
import datetime
import logging
import math
import threading
import weakref
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional, Tuple, Union

from . import _native

# Each event's name, as the control documents it, and the handler attribute that receives it.
EVENTS = {
    "CallStateChanged": "on_call_state_changed",
    "MessagePlayed": "on_message_played",
    "DtmfDigitReceived": "on_dtmf_digit_received",
    "RequestFailed": "on_request_failed",
    "Disconnected": "on_disconnected",
    "CallArrived": "on_call_arrived",
    "MailArrived": "on_mail_arrived",
    "SubscriptionConfirmed": "on_subscription_confirmed",
}
# What reconnecting by itself reports, named and received the same way.
RECONNECT_EVENTS = {
    "Reconnecting": "on_reconnecting",
    "Reconnected": "on_reconnected",
    "Resubscribed": "on_resubscribed",
}

# The fifteen methods in the order of their dispatch ids, as the control documents them: each
# one's Control method, its parameters as (name, kind) and the kind of its result. A kind is
# "text", "short" (16 bits), "long" (32 bits) or "bool".
METHODS: Dict[str, Tuple[str, Tuple[Tuple[str, str], ...], str]] = {
    "Connect": ("connect", (("serverAddress", "text"), ("serverPort", "short"),
                            ("timeout", "long"), ("username", "text"), ("password", "text")),
                "bool"),
    "Disconnect": ("disconnect", (), "bool"),
    "CreateCall": ("create_call", (("from", "text"), ("to", "text")), "text"),
    "CloseCall": ("close_call", (("callID", "text"),), "bool"),
    "TransferCall": ("transfer_call", (("callID", "text"), ("to", "text")), "bool"),
    "JoinCalls": ("join_calls", (("callID", "text"), ("callIDtoJoin", "text")), "bool"),
    "UnjoinCalls": ("unjoin_calls", (("callID", "text"), ("callIDtoUnjoin", "text")), "bool"),
    "PlayMessage": ("play_message", (("callID", "text"), ("fileName", "text"),
                                     ("playCount", "short")), "bool"),
    "EnableDtmfDetection": ("enable_dtmf_detection", (("callID", "text"), ("onoff", "bool")),
                            "bool"),
    "IncomingCallHandling": ("incoming_call_handling", (("extensionName", "text"),
                                                        ("enable", "bool")), "bool"),
    "AcceptCall": ("accept_call", (("callID", "text"), ("callerID", "text"),
                                   ("callerDispName", "text")), "bool"),
    "RejectCall": ("reject_call", (("callID", "text"),), "bool"),
    "ForwardCall": ("forward_call", (("callID", "text"), ("callee", "text"), ("callerID", "text"),
                                     ("callerDispName", "text")), "bool"),
    "SubscribeToVoiceMail": ("subscribe_to_voice_mail", (("extensionName", "text"),), "text"),
    "Unsubscribe": ("unsubscribe", (("subscrID", "text"),), "bool"),
}
# Each event's parameters, of EVENTS and RECONNECT_EVENTS, as (name, kind) in the order its
# handler receives them; the kinds are those of METHODS, and "seconds" a float of seconds, which
# the control's other faces give in whole milliseconds.
EVENT_PARAMETERS: Dict[str, Tuple[Tuple[str, str], ...]] = {
    "CallStateChanged": (("callID", "text"), ("callState", "short")),
    "MessagePlayed": (("callID", "text"),),
    "DtmfDigitReceived": (("callID", "text"), ("digit", "short")),
    "RequestFailed": (("callID", "text"), ("failureCode", "long"), ("failureString", "text")),
    "Disconnected": (),
    "CallArrived": (("callID", "text"), ("caller", "text"), ("callee", "text"),
                    ("origCallID", "text")),
    "MailArrived": (("subscrID", "text"), ("caller", "text"), ("time", "text"),
                    ("duration", "long"), ("id", "long")),
    "SubscriptionConfirmed": (("subscrID", "text"), ("confirmed", "bool"), ("errorCode", "long")),
    "Reconnecting": (("attempt", "long"), ("delay", "seconds")),
    "Reconnected": (),
    "Resubscribed": (("extensionName", "text"), ("oldSubscrID", "text"), ("subscrID", "text")),
}

Text = Union[str, bytes, bytearray, memoryview, None]
"""A text argument: str is encoded Latin-1, bytes-like objects pass as they are, None is the
empty text."""

WIRE_LOGGER = logging.getLogger("voxtrel.wire")


def _decode(value: Optional[bytes]) -> str:
    # Latin-1 maps every byte to one character, so text.encode("latin-1") gives the bytes back.
    return "" if value is None else value.decode("latin-1")


def _same(value: int) -> int:
    return value


def _flag(value: int) -> bool:
    return bool(value)


def _seconds(milliseconds: int) -> float:
    return milliseconds / 1000


# How an argument of each kind of EVENT_PARAMETERS reaches a handler.
_CONVERSIONS: Dict[str, Callable[[Any], Any]] = {
    "text": _decode, "short": _same, "long": _same, "bool": _flag, "seconds": _seconds}

# Per event: the C callback type, the setter (None: set with voxtrel_set_reconnect), and how
# each argument reaches the handler.
_WIRING: Dict[str, Tuple[Any, Optional[str], Tuple[Callable[[Any], Any], ...]]] = {
    event: (kind, setter, tuple(_CONVERSIONS[k] for _, k in EVENT_PARAMETERS[event]))
    for event, (kind, setter) in {
        "CallStateChanged": (_native.CallStateChanged, "voxtrel_on_call_state_changed"),
        "MessagePlayed": (_native.MessagePlayed, "voxtrel_on_message_played"),
        "DtmfDigitReceived": (_native.DtmfDigitReceived, "voxtrel_on_dtmf_digit_received"),
        "RequestFailed": (_native.RequestFailed, "voxtrel_on_request_failed"),
        "Disconnected": (_native.Disconnected, "voxtrel_on_disconnected"),
        "CallArrived": (_native.CallArrived, "voxtrel_on_call_arrived"),
        "MailArrived": (_native.MailArrived, "voxtrel_on_mail_arrived"),
        "SubscriptionConfirmed": (_native.SubscriptionConfirmed,
                                  "voxtrel_on_subscription_confirmed"),
        "Reconnecting": (_native.Reconnecting, None),
        "Reconnected": (_native.Reconnected, None),
        "Resubscribed": (_native.Resubscribed, "voxtrel_on_resubscribed"),
    }.items()
}


def _text(value: Text, name: str) -> Optional[bytes]:
    """A text argument as the C interface takes it: str is encoded Latin-1, bytes pass as they
    are, None is the empty text."""
    if value is None or isinstance(value, bytes):
        return value
    if isinstance(value, (bytearray, memoryview)):
        return bytes(value)
    if isinstance(value, str):
        return value.encode("latin-1")
    raise TypeError(f"{name} must be str, bytes or None, not {type(value).__name__}")


def _integer(value: int, name: str, low: int, high: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if not low <= value <= high:
        raise ValueError(f"{name} must lie between {low} and {high}")
    return value


def _int16(value: int, name: str) -> int:
    """A 16-bit argument: -32768 to 65535, the upper half taken as its signed twin (65535 is
    -1), as the control reads its 16 bits."""
    value = _integer(value, name, -0x8000, 0xFFFF)
    return value - 0x10000 if value > 0x7FFF else value


def _int32(value: int, name: str) -> int:
    return _integer(value, name, -0x80000000, 0x7FFFFFFF)


def _bool32(value: Union[bool, int], name: str) -> int:
    """A BOOL argument: True and False become 1 and 0; an int passes as it is, and the control
    takes only 1 as on."""
    if isinstance(value, bool):
        return int(value)
    return _int32(value, name)


def _milliseconds(seconds: float, name: str) -> int:
    if isinstance(seconds, bool) or not isinstance(seconds, (int, float)):
        raise TypeError(f"{name} must be a number of seconds, not {type(seconds).__name__}")
    if not 0.001 <= seconds <= 0x7FFFFFFF / 1000:
        raise ValueError(f"{name} must lie between 0.001 and {0x7FFFFFFF / 1000} seconds")
    return round(seconds * 1000)


@dataclass(frozen=True)
class Reconnect:
    """How a control reconnects by itself after the service closed its connection.

    It connects again with the arguments of the last connect(), after a back-off that grows
    exponentially with jitter, never shorter than min_delay nor longer than max_delay seconds
    (both kept to the millisecond), for at most attempts tries in a row (None: no limit). After
    a try that succeeded it takes over again the extensions it had taken over and subscribes
    again to the voice mail it had subscribed to, then on_reconnected runs. disconnect(), or a
    connect() by the host, stops the tries.
    """

    min_delay: float = 0.5
    max_delay: float = 30.0
    attempts: Optional[int] = None

    def __post_init__(self) -> None:
        if _milliseconds(self.max_delay, "max_delay") < _milliseconds(self.min_delay,
                                                                      "min_delay"):
            raise ValueError("max_delay must not be shorter than min_delay")
        if self.attempts is not None:
            _integer(self.attempts, "attempts", 1, 0x7FFFFFFF)


ReconnectSetting = Union[Reconnect, Tuple[float, float], Tuple[float, float, Optional[int]],
                         bool, None]
"""Control's reconnect: a Reconnect, the tuple of its fields, True for Reconnect(), or None
(False) for none."""


def _reconnect(setting: ReconnectSetting) -> Optional[Reconnect]:
    if setting is None or setting is False:
        return None
    if setting is True:
        return Reconnect()
    if isinstance(setting, Reconnect):
        return setting
    if isinstance(setting, tuple):
        return Reconnect(*setting)
    raise TypeError(f"reconnect must be a Reconnect, a tuple, a bool or None, not "
                    f"{type(setting).__name__}")


# What a trace line writes in place of CR, LF, the backslash and the other control characters but
# tab, so that a message stays on one line.
_LINE_ESCAPES = {**{code: f"\\x{code:02x}" for code in [*range(0x20), 0x7F] if code != 9},
                 13: "\\r", 10: "\\n", 92: "\\\\"}


def _wire_line(direction: int, time: float, document: bytes) -> str:
    """One traced message as `voxtrel run --trace` writes it: the UTC time to the microsecond
    (cut, not rounded), the direction and the document, escaped onto one line."""
    # The whole seconds apart first: time * 1e6 would round to the nearest quarter microsecond.
    seconds = math.floor(time)
    micro = math.floor((time - seconds) * 1_000_000)
    stamp = datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc)
    text = document.decode("latin-1").translate(_LINE_ESCAPES)
    return f"{stamp:%Y-%m-%dT%H:%M:%S}.{micro:06d}Z {chr(direction)} {text}"


def _trace(_user: Any, direction: int, time: float, document: int, length: int) -> None:
    # Runs on the control's worker thread, which waits for it.
    if WIRE_LOGGER.isEnabledFor(logging.DEBUG):
        WIRE_LOGGER.debug("%s", _wire_line(direction, time, ctypes.string_at(document, length)))


# One callback object serves every control; it lives as long as the module.
_TRACE = _native.Trace(_trace)


class Handlers:
    """The handler attributes of a control, each a callable or None: one per event of EVENTS
    and of RECONNECT_EVENTS."""

    on_call_state_changed: Optional[Callable[[str, int], object]] = None
    on_message_played: Optional[Callable[[str], object]] = None
    on_dtmf_digit_received: Optional[Callable[[str, int], object]] = None
    on_request_failed: Optional[Callable[[str, int, str], object]] = None
    on_disconnected: Optional[Callable[[], object]] = None
    on_call_arrived: Optional[Callable[[str, str, str, str], object]] = None
    on_mail_arrived: Optional[Callable[[str, str, str, int, int], object]] = None
    on_subscription_confirmed: Optional[Callable[[str, bool, int], object]] = None
    on_reconnecting: Optional[Callable[[int, float], object]] = None
    """Before each reconnect try: its number (1, 2, ...) and the seconds it waits first."""
    on_reconnected: Optional[Callable[[], object]] = None
    """After a try that succeeded, once extensions and subscriptions are back."""
    on_resubscribed: Optional[Callable[[str, str, str], object]] = None
    """For each voice-mail subscription made again: extension, old id, new id."""


class Control(Handlers):
    """One Voxtrel control: a session with the PBX's call-processing service.

    The thread that makes the control is its host thread; methods, pump() and the handlers all
    run there. Called from another thread, a method is refused (False or "0") and pump() raises
    RuntimeError.

    Methods take texts as str (encoded Latin-1) or bytes (passed as they are); None is the
    empty text. Ids are decimal texts. Methods return True when the control accepted the request
    (its outcome arrives later, as events); create_call() and subscribe_to_voice_mail() return
    the new id as text, "0" when nothing was sent. Only connect() and disconnect() wait for the
    service.

    Events reach the handler attributes (on_call_state_changed and the others, see EVENTS and
    RECONNECT_EVENTS), each a callable or None, and run only inside pump(), on the host thread.
    Texts reach the handlers as str decoded Latin-1. A handler may call the control's methods,
    close() included; an exception it raises is raised again by the pump() that ran it, once
    that pump has handled the events waiting.

    reconnect (see Reconnect) makes the control connect again by itself when the service closes
    the connection. While the logger "voxtrel.wire" is enabled for DEBUG when connect() runs,
    every message sent and received is logged there, one record each.

    A control is a context manager: leaving the with block closes it.
    """

    def __init__(self, reconnect: ReconnectSetting = None) -> None:
        self._library = _native.load()
        self._thread = threading.get_ident()
        self._errors: List[BaseException] = []
        self._tracing = False
        self._reconnect: Optional[Reconnect] = None
        handle = self._library.voxtrel_create()
        if not handle:
            raise OSError("voxtrel_create failed")
        self._handle: Optional[int] = handle
        # The C side keeps only the function pointers: these objects must live as long as the
        # handle, and longer when the control is closed from inside one of them.
        self._callbacks: Dict[str, Any] = {}
        owner = weakref.ref(self)
        for event, (kind, setter, conversions) in _WIRING.items():
            attribute = EVENTS.get(event) or RECONNECT_EVENTS[event]
            callback = kind(self._trampoline(owner, attribute, conversions))
            self._callbacks[event] = callback
            # A library without reconnecting has no setter for what only it reports.
            if setter is not None and hasattr(self._library, setter):
                getattr(self._library, setter)(handle, callback, None)
        self.reconnect = reconnect  # type: ignore[assignment]

    @staticmethod
    def _trampoline(owner: "weakref.ref[Control]", attribute: str,
                    conversions: Tuple[Callable[[Any], Any], ...]) -> Callable[..., None]:
        def call(_user: Any, *arguments: Any) -> None:
            control = owner()
            if control is None:
                return
            handler = getattr(control, attribute, None)
            if handler is None:
                return
            try:
                handler(*(convert(value) for convert, value in zip(conversions, arguments)))
            except BaseException as error:  # noqa: B902 - ctypes would only print it
                control._errors.append(error)

        return call

    # The fifteen methods.

    def connect(self, server_address: Text, server_port: int, timeout: int, username: Text,
                password: Text) -> bool:
        """Connects and authenticates; blocks up to about timeout + 5 seconds (20 when timeout
        is 0 or less). server_port is 0 to 65535 (or -32768 to -1, read as 16 bits)."""
        return self._call("voxtrel_connect", *self._connect_arguments(
            server_address, server_port, timeout, username, password))

    def disconnect(self) -> bool:
        """Drops the connection; events on their way are lost."""
        return self._call("voxtrel_disconnect")

    def create_call(self, from_: Text, to: Text) -> str:
        """Asks for a call from from_ to the party address to; the new call id, or "0"."""
        return self._id_call("voxtrel_create_call", _text(from_, "from_"), _text(to, "to"))

    def close_call(self, call_id: Text) -> bool:
        """Closes the call."""
        return self._call("voxtrel_close_call", _text(call_id, "call_id"))

    def transfer_call(self, call_id: Text, to: Text) -> bool:
        """Transfers the call to the party address to."""
        return self._call("voxtrel_transfer_call", _text(call_id, "call_id"), _text(to, "to"))

    def join_calls(self, call_id: Text, call_id_to_join: Text) -> bool:
        """Joins two calls."""
        return self._call("voxtrel_join_calls", _text(call_id, "call_id"),
                          _text(call_id_to_join, "call_id_to_join"))

    def unjoin_calls(self, call_id: Text, call_id_to_unjoin: Text) -> bool:
        """Separates two joined calls."""
        return self._call("voxtrel_unjoin_calls", _text(call_id, "call_id"),
                          _text(call_id_to_unjoin, "call_id_to_unjoin"))

    def play_message(self, call_id: Text, file_name: Text, play_count: int) -> bool:
        """Plays a message file into the call play_count times (16 bits, -1 passes as -1)."""
        return self._call("voxtrel_play_message", _text(call_id, "call_id"),
                          _text(file_name, "file_name"), _int16(play_count, "play_count"))

    def enable_dtmf_detection(self, call_id: Text, onoff: Union[bool, int]) -> bool:
        """Switches DTMF detection for the call on (True or 1) or off."""
        return self._call("voxtrel_enable_dtmf_detection", _text(call_id, "call_id"),
                          _bool32(onoff, "onoff"))

    def incoming_call_handling(self, extension_name: Text, enable: Union[bool, int]) -> bool:
        """Takes over (True or 1) or gives back the offering of the extension's incoming
        calls."""
        return self._call("voxtrel_incoming_call_handling",
                          _text(extension_name, "extension_name"), _bool32(enable, "enable"))

    def accept_call(self, call_id: Text, caller_id: Text, caller_disp_name: Text) -> bool:
        """Accepts an offered call."""
        return self._call("voxtrel_accept_call", _text(call_id, "call_id"),
                          _text(caller_id, "caller_id"),
                          _text(caller_disp_name, "caller_disp_name"))

    def reject_call(self, call_id: Text) -> bool:
        """Rejects an offered call."""
        return self._call("voxtrel_reject_call", _text(call_id, "call_id"))

    def forward_call(self, call_id: Text, callee: Text, caller_id: Text,
                     caller_disp_name: Text) -> bool:
        """Forwards an offered call to the party address callee."""
        return self._call("voxtrel_forward_call", _text(call_id, "call_id"),
                          _text(callee, "callee"), _text(caller_id, "caller_id"),
                          _text(caller_disp_name, "caller_disp_name"))

    def subscribe_to_voice_mail(self, extension_name: Text) -> str:
        """Subscribes to the extension's voice-mail notices; the new subscription id, or
        "0"."""
        return self._id_call("voxtrel_subscribe_to_voice_mail",
                             _text(extension_name, "extension_name"))

    def unsubscribe(self, subscr_id: Text) -> bool:
        """Ends a voice-mail subscription."""
        return self._call("voxtrel_unsubscribe", _text(subscr_id, "subscr_id"))

    # Reconnecting by itself.

    @property
    def reconnect(self) -> Optional[Reconnect]:
        """How the control reconnects by itself (see Reconnect), None when it does not. Takes a
        Reconnect, the tuple of its fields, True for Reconnect(), or None."""
        return self._reconnect

    @reconnect.setter
    def reconnect(self, setting: ReconnectSetting) -> None:
        reconnect = _reconnect(setting)
        if self._handle is not None and (reconnect is not None or self._reconnect is not None):
            delays = (0, 0, 0) if reconnect is None else (
                _milliseconds(reconnect.min_delay, "min_delay"),
                _milliseconds(reconnect.max_delay, "max_delay"), reconnect.attempts or 0)
            _native.function("voxtrel_set_reconnect")(
                self._handle, *delays, self._callbacks["Reconnecting"],
                self._callbacks["Reconnected"], None)
        self._reconnect = reconnect

    # Delivery and the window.

    def pump(self, timeout: float = 0.0) -> int:
        """Runs the handlers of the events waiting, waiting up to timeout seconds for the first
        (0: only those already waiting); returns how many events were handled. A closed control
        handles none. A reconnect try that is due runs here too."""
        milliseconds = max(0, min(int(timeout * 1000), 0x7FFFFFFF))
        if self._handle is None:
            return 0
        if threading.get_ident() != self._thread:
            raise RuntimeError("pump() runs on the thread that made the control")
        handled = self._library.voxtrel_pump(self._handle, milliseconds)
        if self._errors:
            error = self._errors[0]
            del self._errors[:]
            raise error
        return max(int(handled), 0)

    def fileno(self) -> int:
        """A descriptor that polls readable while an event waits, for select, selectors or
        asyncio's add_reader; call pump() when it is. ValueError without a window or once
        closed. The control owns it: never read or close it."""
        descriptor = self._library.voxtrel_event_descriptor(self._handle) if self._handle else -1
        if descriptor < 0:
            raise ValueError("the control has no event descriptor (closed, or no window)")
        return int(descriptor)

    def next_timeout(self) -> Optional[float]:
        """For a host that waits on fileno() in its own loop: the seconds until pump() has work
        of its own (a reconnect try that is due), 0 when it has now, None when it has none."""
        if self._handle is None or not hasattr(self._library, "voxtrel_next_timeout"):
            return None
        milliseconds = self._library.voxtrel_next_timeout(self._handle)
        return None if milliseconds < 0 else milliseconds / 1000

    def create_window(self) -> bool:
        """Makes the control's window, the target of event delivery; False when it exists."""
        return self._call("voxtrel_create_window")

    def destroy_window(self) -> None:
        """Destroys the window: from then on every event is dropped."""
        if self._handle is not None:
            self._library.voxtrel_destroy_window(self._handle)

    def has_window(self) -> bool:
        """True while the control has its window."""
        return self._call("voxtrel_has_window")

    # Lifetime.

    @property
    def closed(self) -> bool:
        """True once close() has run."""
        return self._handle is None

    def close(self) -> None:
        """Disconnects and frees the control; later calls are refused. From inside a handler
        the control goes when the pump that runs the handler returns."""
        handle, self._handle = getattr(self, "_handle", None), None
        if handle is not None:
            self._library.voxtrel_destroy(handle)

    def __enter__(self) -> Control:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:  # noqa: BLE001 - interpreter shutdown may have torn down the module
            pass

    def __repr__(self) -> str:
        state = "closed" if self._handle is None else "open"
        return f"<voxtrel.Control {state}>"

    # Plumbing.

    def _connect_arguments(self, server_address: Text, server_port: int, timeout: int,
                           username: Text, password: Text) -> Tuple[Any, ...]:
        """connect()'s arguments as the C interface takes them; switches the wire trace on or
        off as the logger wants it, here on the host thread."""
        arguments = (_text(server_address, "server_address"), _int16(server_port, "server_port"),
                     _int32(timeout, "timeout"), _text(username, "username"),
                     _text(password, "password"))
        # A library older than the package has no trace: debug logging must not stop connect().
        tracing = WIRE_LOGGER.isEnabledFor(logging.DEBUG) and hasattr(self._library,
                                                                      "voxtrel_set_trace")
        if self._handle is not None and tracing != self._tracing:
            self._library.voxtrel_set_trace(self._handle, _TRACE if tracing else _native.Trace(0),
                                            None)
            self._tracing = tracing
        return arguments

    def _call(self, name: str, *arguments: Any) -> bool:
        if self._handle is None:
            return False
        return bool(getattr(self._library, name)(self._handle, *arguments) == 1)

    def _id_call(self, name: str, *arguments: Any) -> str:
        if self._handle is None:
            return "0"
        buffer = ctypes.create_string_buffer(_native.ID_SIZE)
        getattr(self._library, name)(self._handle, *arguments, buffer, _native.ID_SIZE)
        return buffer.value.decode("ascii")
