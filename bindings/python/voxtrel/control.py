"""The Control class: one Voxtrel control, its fifteen methods and its eight events."""

import ctypes
import threading
import weakref

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


def _decode(value):
    # Latin-1 maps every byte to one character, so text.encode("latin-1") gives the bytes back.
    return "" if value is None else value.decode("latin-1")


def _same(value):
    return value


def _flag(value):
    return bool(value)


# Per event: the C callback type, the setter, and how each argument reaches the handler.
_WIRING = {
    "CallStateChanged": (_native.CallStateChanged, "voxtrel_on_call_state_changed",
                         (_decode, _same)),
    "MessagePlayed": (_native.MessagePlayed, "voxtrel_on_message_played", (_decode,)),
    "DtmfDigitReceived": (_native.DtmfDigitReceived, "voxtrel_on_dtmf_digit_received",
                          (_decode, _same)),
    "RequestFailed": (_native.RequestFailed, "voxtrel_on_request_failed",
                      (_decode, _same, _decode)),
    "Disconnected": (_native.Disconnected, "voxtrel_on_disconnected", ()),
    "CallArrived": (_native.CallArrived, "voxtrel_on_call_arrived",
                    (_decode, _decode, _decode, _decode)),
    "MailArrived": (_native.MailArrived, "voxtrel_on_mail_arrived",
                    (_decode, _decode, _decode, _same, _same)),
    "SubscriptionConfirmed": (_native.SubscriptionConfirmed, "voxtrel_on_subscription_confirmed",
                              (_decode, _flag, _same)),
}


def _text(value, name):
    """A text argument as the C interface takes it: str is encoded Latin-1, bytes pass as they
    are, None is the empty text."""
    if value is None or isinstance(value, bytes):
        return value
    if isinstance(value, (bytearray, memoryview)):
        return bytes(value)
    if isinstance(value, str):
        return value.encode("latin-1")
    raise TypeError(f"{name} must be str, bytes or None, not {type(value).__name__}")


def _integer(value, name, low, high):
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if not low <= value <= high:
        raise ValueError(f"{name} must lie between {low} and {high}")
    return value


def _int16(value, name):
    """A 16-bit argument: -32768 to 65535, the upper half taken as its signed twin (65535 is
    -1), as the control reads its 16 bits."""
    value = _integer(value, name, -0x8000, 0xFFFF)
    return value - 0x10000 if value > 0x7FFF else value


def _int32(value, name):
    return _integer(value, name, -0x80000000, 0x7FFFFFFF)


def _bool32(value, name):
    """A BOOL argument: True and False become 1 and 0; an int passes as it is, and the control
    takes only 1 as on."""
    if isinstance(value, bool):
        return int(value)
    return _int32(value, name)


class Control:
    """One Voxtrel control: a session with the PBX's call-processing service.

    The thread that makes the control is its host thread; methods, pump() and the handlers all
    run there. Called from another thread, a method is refused (False or "0") and pump() raises
    RuntimeError.

    Methods take texts as str (encoded Latin-1) or bytes (passed as they are); None is the
    empty text. Ids are decimal texts. Methods return True when the control accepted the request
    (its outcome arrives later, as events); create_call() and subscribe_to_voice_mail() return
    the new id as text, "0" when nothing was sent. Only connect() and disconnect() wait for the
    service.

    Events reach the handler attributes (on_call_state_changed and the others, see EVENTS),
    each a callable or None, and run only inside pump(), on the host thread. Texts reach the
    handlers as str decoded Latin-1. A handler may call the control's methods, close() included;
    an exception it raises is raised again by the pump() that ran it, once that pump has handled
    the events waiting.

    A control is a context manager: leaving the with block closes it.
    """

    def __init__(self):
        self._library = _native.load()
        self._thread = threading.get_ident()
        self._errors = []
        for attribute in EVENTS.values():
            setattr(self, attribute, None)
        handle = self._library.voxtrel_create()
        if not handle:
            raise OSError("voxtrel_create failed")
        self._handle = handle
        # The C side keeps only the function pointers: these objects must live as long as the
        # handle, and longer when the control is closed from inside one of them.
        self._callbacks = []
        owner = weakref.ref(self)
        for event, (kind, setter, conversions) in _WIRING.items():
            callback = kind(self._trampoline(owner, EVENTS[event], conversions))
            self._callbacks.append(callback)
            getattr(self._library, setter)(handle, callback, None)

    @staticmethod
    def _trampoline(owner, attribute, conversions):
        def call(_user, *arguments):
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

    def connect(self, server_address, server_port, timeout, username, password):
        """Connects and authenticates; blocks up to about timeout + 5 seconds (20 when timeout
        is 0 or less). server_port is 0 to 65535 (or -32768 to -1, read as 16 bits)."""
        return self._call("voxtrel_connect", _text(server_address, "server_address"),
                          _int16(server_port, "server_port"), _int32(timeout, "timeout"),
                          _text(username, "username"), _text(password, "password"))

    def disconnect(self):
        """Drops the connection; events on their way are lost."""
        return self._call("voxtrel_disconnect")

    def create_call(self, from_, to):
        """Asks for a call from from_ to the party address to; the new call id, or "0"."""
        return self._id_call("voxtrel_create_call", _text(from_, "from_"), _text(to, "to"))

    def close_call(self, call_id):
        """Closes the call."""
        return self._call("voxtrel_close_call", _text(call_id, "call_id"))

    def transfer_call(self, call_id, to):
        """Transfers the call to the party address to."""
        return self._call("voxtrel_transfer_call", _text(call_id, "call_id"), _text(to, "to"))

    def join_calls(self, call_id, call_id_to_join):
        """Joins two calls."""
        return self._call("voxtrel_join_calls", _text(call_id, "call_id"),
                          _text(call_id_to_join, "call_id_to_join"))

    def unjoin_calls(self, call_id, call_id_to_unjoin):
        """Separates two joined calls."""
        return self._call("voxtrel_unjoin_calls", _text(call_id, "call_id"),
                          _text(call_id_to_unjoin, "call_id_to_unjoin"))

    def play_message(self, call_id, file_name, play_count):
        """Plays a message file into the call play_count times (16 bits, -1 passes as -1)."""
        return self._call("voxtrel_play_message", _text(call_id, "call_id"),
                          _text(file_name, "file_name"), _int16(play_count, "play_count"))

    def enable_dtmf_detection(self, call_id, onoff):
        """Switches DTMF detection for the call on (True or 1) or off."""
        return self._call("voxtrel_enable_dtmf_detection", _text(call_id, "call_id"),
                          _bool32(onoff, "onoff"))

    def incoming_call_handling(self, extension_name, enable):
        """Takes over (True or 1) or gives back the offering of the extension's incoming
        calls."""
        return self._call("voxtrel_incoming_call_handling",
                          _text(extension_name, "extension_name"), _bool32(enable, "enable"))

    def accept_call(self, call_id, caller_id, caller_disp_name):
        """Accepts an offered call."""
        return self._call("voxtrel_accept_call", _text(call_id, "call_id"),
                          _text(caller_id, "caller_id"),
                          _text(caller_disp_name, "caller_disp_name"))

    def reject_call(self, call_id):
        """Rejects an offered call."""
        return self._call("voxtrel_reject_call", _text(call_id, "call_id"))

    def forward_call(self, call_id, callee, caller_id, caller_disp_name):
        """Forwards an offered call to the party address callee."""
        return self._call("voxtrel_forward_call", _text(call_id, "call_id"),
                          _text(callee, "callee"), _text(caller_id, "caller_id"),
                          _text(caller_disp_name, "caller_disp_name"))

    def subscribe_to_voice_mail(self, extension_name):
        """Subscribes to the extension's voice-mail notices; the new subscription id, or
        "0"."""
        return self._id_call("voxtrel_subscribe_to_voice_mail",
                             _text(extension_name, "extension_name"))

    def unsubscribe(self, subscr_id):
        """Ends a voice-mail subscription."""
        return self._call("voxtrel_unsubscribe", _text(subscr_id, "subscr_id"))

    # Delivery and the window.

    def pump(self, timeout=0.0):
        """Runs the handlers of the events waiting, waiting up to timeout seconds for the first
        (0: only those already waiting); returns how many events were handled. A closed control
        handles none."""
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
        return max(handled, 0)

    def fileno(self):
        """A descriptor that polls readable while an event waits, for select, selectors or
        asyncio's add_reader; call pump() when it is. ValueError without a window or once
        closed. The control owns it: never read or close it."""
        descriptor = self._library.voxtrel_event_descriptor(self._handle) if self._handle else -1
        if descriptor < 0:
            raise ValueError("the control has no event descriptor (closed, or no window)")
        return descriptor

    def create_window(self):
        """Makes the control's window, the target of event delivery; False when it exists."""
        return self._call("voxtrel_create_window")

    def destroy_window(self):
        """Destroys the window: from then on every event is dropped."""
        if self._handle is not None:
            self._library.voxtrel_destroy_window(self._handle)

    def has_window(self):
        """True while the control has its window."""
        return self._call("voxtrel_has_window")

    # Lifetime.

    @property
    def closed(self):
        """True once close() has run."""
        return self._handle is None

    def close(self):
        """Disconnects and frees the control; later calls are refused. From inside a handler
        the control goes when the pump that runs the handler returns."""
        handle, self._handle = getattr(self, "_handle", None), None
        if handle is not None:
            self._library.voxtrel_destroy(handle)

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()
        return False

    def __del__(self):
        try:
            self.close()
        except Exception:  # noqa: BLE001 - interpreter shutdown may have torn down the module
            pass

    def __repr__(self):
        state = "closed" if self._handle is None else "open"
        return f"<voxtrel.Control {state}>"

    # Plumbing.

    def _call(self, name, *arguments):
        if self._handle is None:
            return False
        return getattr(self._library, name)(self._handle, *arguments) == 1

    def _id_call(self, name, *arguments):
        if self._handle is None:
            return "0"
        buffer = ctypes.create_string_buffer(_native.ID_SIZE)
        getattr(self._library, name)(self._handle, *arguments, buffer, _native.ID_SIZE)
        return buffer.value.decode("ascii")
