"""A scripted call-processing service for the black-box suites: it listens on a loopback port,
answers the control's requests and sends notifications, in the exact forms the service writes."""

import queue
import re
import socket
import socketserver
import threading

_DECLARATION = '<?xml version="1.0"?>\r\n'
_METHOD = re.compile(rb"<methodName>Services\.CallProcessingService\.([^<]*)</methodName>")
_STRING = re.compile(rb"<string>(.*?)</string>", re.DOTALL)


def param(value):
    kind = {bool: "boolean", int: "int"}.get(type(value), "string")
    return f"<param>\r\n<value><{kind}>{int(value) if kind != 'string' else value}</{kind}>" \
        f"</value>\r\n</param>\r\n"


def document(root, body):
    return f"{_DECLARATION}<{root}>\r\n{body}</{root}>\r\n\r\n".encode("latin-1")


def response(*values):
    return document("methodResponse", "<params>\r\n" + "".join(map(param, values)) +
                    "</params>\r\n")


def fault_answer(code, text):
    members = "".join(f"<member>\r\n<name>{name}</name>\r\n<value>{value}</value>\r\n</member>\r\n"
                      for name, value in (("faultCode", f"<int>{code}</int>"),
                                          ("faultString", f"<string>{text}</string>")))
    return document("methodResponse", f"<fault>\r\n<value><struct>\r\n{members}</struct></value>"
                    "\r\n</fault>\r\n")


def notification(method, *values):
    return document("methodCall", "<methodName>Services.CallProcessingService." + method +
                    "</methodName>\r\n<params>\r\n" + "".join(map(param, values)) +
                    "</params>\r\n")


def first_string(message):
    """The bytes of the message's first string value, or empty."""
    found = _STRING.search(message)
    return found.group(1) if found else b""


class FakeService(socketserver.ThreadingTCPServer):
    """Serves one connection at a time on 127.0.0.1. It answers authenticate with accepted (or
    refused); with answer_requests, subscribe with a confirmation and every other request with a
    plain answer that echoes its first text, and, when call_state is set, follows each created
    call with a callstatechanged notification for it. Answered requests land in requests as
    (method, document), and one by one in next_request."""

    daemon_threads = True

    def __init__(self, accept=True, call_state=None, answer_requests=True):
        super().__init__(("127.0.0.1", 0), _Connection)
        self.accept, self.call_state, self.answer_requests = accept, call_state, answer_requests
        self.port, self.requests, self.unread = self.server_address[1], [], queue.Queue()
        self.connection, self.lock = None, threading.Lock()
        threading.Thread(target=self.serve_forever, args=(0.05,), daemon=True).start()

    def stop(self):
        self.shutdown()
        self.close_connection()
        self.server_close()

    def __exit__(self, *exc_info):
        self.stop()

    def send(self, data):
        """Sends bytes on the current connection; False without one."""
        with self.lock:
            try:
                self.connection.sendall(data)
                return True
            except (AttributeError, OSError):
                return False

    def close_connection(self):
        """Ends the current connection as a service that goes away does."""
        with self.lock:
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except (AttributeError, OSError):
                pass

    def next_request(self, method=None, timeout=5):
        """The next answered (method, document) (of that method); None on time-out."""
        try:
            while True:
                request = self.unread.get(timeout=timeout)
                if method in (None, request[0]):
                    return request
        except queue.Empty:
            return None

    def handle(self, message):
        found = _METHOD.search(message)
        if not found:
            return  # the control's answer to a notification
        method, id_text = found.group(1).decode(), first_string(message).decode("latin-1")
        if method == "authenticate":
            self.send(response(self.accept, "hello"))
        elif self.answer_requests and method == "subscribe":
            self.send(response(id_text, True, 0))
        elif self.answer_requests:
            self.send(response(id_text))
            if method == "createcall" and self.call_state is not None:
                self.send(notification("callstatechanged", id_text, self.call_state))
        # Listed once answered, so that what a reader of requests sends next follows the answer.
        self.requests.append((method, message))
        self.unread.put((method, message))


class _Connection(socketserver.BaseRequestHandler):
    def handle(self):
        with self.server.lock:
            self.server.connection = self.request
        pending = b""
        try:
            while chunk := self.request.recv(65536):
                pending += chunk
                while b"\r\n\r\n" in pending:
                    message, pending = pending.split(b"\r\n\r\n", 1)
                    self.server.handle(message)
        except OSError:
            pass  # reset by the control
        with self.server.lock:
            self.server.connection = None
