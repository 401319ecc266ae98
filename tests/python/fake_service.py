"""A scripted call-processing service for the Python tests and the example runs: it listens on a
loopback port, answers the control's requests and sends notifications, every document ended by
CR LF CR LF, in the exact forms the service writes.

Run as a program it serves until killed and prints its port on the first line.
"""

import queue
import re
import socket
import sys
import threading

TERMINATOR = b"\r\n\r\n"
_DECLARATION = '<?xml version="1.0"?>\r\n'
_METHOD = re.compile(rb"<methodName>Services\.CallProcessingService\.([^<]*)</methodName>")
_STRING = re.compile(rb"<string>(.*?)</string>", re.DOTALL)


def _bytes(document):
    return document.encode("latin-1") if isinstance(document, str) else document


def string_param(text):
    return "<param>\r\n<value><string>" + text + "</string></value>\r\n</param>\r\n"


def int_param(value):
    return "<param>\r\n<value><int>" + str(value) + "</int></value>\r\n</param>\r\n"


def bool_param(value):
    return "<param>\r\n<value><boolean>" + ("1" if value else "0") + "</boolean></value>\r\n" \
        "</param>\r\n"


def response(params):
    return _bytes(_DECLARATION + "<methodResponse>\r\n<params>\r\n" + params +
                  "</params>\r\n</methodResponse>\r\n\r\n")


def authenticate_answer(accepted=True):
    return response(bool_param(accepted) + string_param("hello"))


def plain_answer(id_text):
    return response(string_param(id_text))


def fault_answer(code, text):
    return _bytes(_DECLARATION + "<methodResponse>\r\n<fault>\r\n<value><struct>\r\n<member>\r\n"
                  "<name>faultCode</name>\r\n<value><int>" + str(code) + "</int></value>\r\n"
                  "</member>\r\n<member>\r\n<name>faultString</name>\r\n<value><string>" +
                  text + "</string></value>\r\n</member>\r\n</struct></value>\r\n</fault>\r\n"
                  "</methodResponse>\r\n\r\n")


def notification(method, params):
    return _bytes(_DECLARATION + "<methodCall>\r\n<methodName>Services.CallProcessingService." +
                  method + "</methodName>\r\n<params>\r\n" + params +
                  "</params>\r\n</methodCall>\r\n\r\n")


def method_of(message):
    """The short method name of a request ("createcall"); empty for an answer."""
    found = _METHOD.search(message)
    return found.group(1).decode("latin-1") if found else ""


def first_string(message):
    """The bytes of the message's first string value, or empty."""
    found = _STRING.search(message)
    return found.group(1) if found else b""


class FakeService:
    """Accepts one connection at a time on 127.0.0.1. It answers authenticate with accepted (or
    refused), subscribe with a confirmation, every other request with a plain answer that echoes
    its first text, and, when call_state is set, follows each created call with a
    callstatechanged notification for it. Requests land in the requests queue as
    (method, document), the control's answers to notifications in answers."""

    def __init__(self, accept=True, call_state=None, answer_requests=True):
        self.accept = accept
        self.call_state = call_state
        self.answer_requests = answer_requests
        self.requests = queue.Queue()
        self.answers = queue.Queue()
        self.connections = 0
        self._lock = threading.Lock()
        self._connection = None
        self._stopping = threading.Event()
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen(1)
        self._listener.settimeout(0.1)
        self.port = self._listener.getsockname()[1]
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.stop()
        return False

    def stop(self):
        self._stopping.set()
        self._thread.join(5)
        self._listener.close()

    def send(self, document):
        """Sends a document (or any bytes) on the current connection; False without one."""
        with self._lock:
            if self._connection is None:
                return False
            try:
                self._connection.sendall(_bytes(document))
                return True
            except OSError:
                return False

    def close_connection(self):
        """Ends the current connection as a service that goes away does."""
        with self._lock:
            if self._connection is not None:
                try:
                    self._connection.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass

    def next_request(self, timeout=5):
        """The next (method, document) the control sent, skipping nothing; None on time-out."""
        try:
            return self.requests.get(timeout=timeout)
        except queue.Empty:
            return None

    def _serve(self):
        while not self._stopping.is_set():
            try:
                connection, _ = self._listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            connection.settimeout(0.1)
            with self._lock:
                self._connection = connection
                self.connections += 1
            self._read(connection)
            with self._lock:
                self._connection = None
            connection.close()

    def _read(self, connection):
        pending = b""
        while not self._stopping.is_set():
            try:
                chunk = connection.recv(4096)
            except socket.timeout:
                continue
            except OSError:
                return
            if not chunk:
                return
            pending += chunk
            while TERMINATOR in pending:
                message, pending = pending.split(TERMINATOR, 1)
                self._handle(message)

    def _handle(self, message):
        method = method_of(message)
        if not method:
            self.answers.put(message)
            return
        self.requests.put((method, message))
        if method == "authenticate":
            self.send(authenticate_answer(self.accept))
            return
        if not self.answer_requests:
            return
        id_text = first_string(message).decode("latin-1")
        if method == "subscribe":
            self.send(response(string_param(id_text) + bool_param(True) + int_param(0)))
        else:
            self.send(plain_answer(id_text))
        if method == "createcall" and self.call_state is not None:
            self.send(notification("callstatechanged",
                                   string_param(id_text) + int_param(self.call_state)))


if __name__ == "__main__":
    service = FakeService(call_state=int(sys.argv[1]) if len(sys.argv) > 1 else 3)
    print(service.port, flush=True)
    try:
        threading.Event().wait()
    except KeyboardInterrupt:
        service.stop()
