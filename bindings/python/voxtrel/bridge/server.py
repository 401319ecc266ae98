"""The bridge's server: the control's methods and events as JSON-RPC 2.0 over WebSockets, one
voxtrel.aio control per connection, and the console's static files, on aiohttp."""

from __future__ import annotations

import argparse
import asyncio
import concurrent.futures
import hmac
import json
import logging
import os
import secrets
import signal
import socket
import ssl
import sys
from typing import Any, Dict, List, Optional, Sequence, Set, Tuple

try:
    from aiohttp import WSCloseCode, WSMsgType, web
except ImportError as missing:  # the package itself needs nothing outside the standard library
    raise ImportError("voxtrel.bridge needs aiohttp: pip install 'voxtrel[bridge]', or Debian's "
                      "python3-aiohttp") from missing

from ..aio import AsyncControl, Event
from ..control import EVENT_PARAMETERS, METHODS, Reconnect

LOG = logging.getLogger("voxtrel.bridge")
STATIC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "static")

PARSE_ERROR = -32700
INVALID_REQUEST = -32600
METHOD_NOT_FOUND = -32601
INVALID_PARAMS = -32602
INTERNAL_ERROR = -32603

# The integers each kind of parameter takes; a BOOL passes any 32-bit integer on as it is.
_RANGES = {"short": (-0x8000, 0xFFFF), "long": (-0x80000000, 0x7FFFFFFF),
           "bool": (-0x80000000, 0x7FFFFFFF)}
_KIND_NAMES = {"text": "a string of Latin-1 characters", "short": "a 16-bit integer",
               "long": "a 32-bit integer", "bool": "true, false or a 32-bit integer"}

Message = Dict[str, Any]


def _fits(value: Any, kind: str) -> bool:
    """Whether a JSON value is a parameter of this kind as the control's method takes it."""
    if kind == "text":
        # The control sends texts as Latin-1 bytes; a character beyond it has no byte to go as.
        return isinstance(value, str) and all(ord(c) < 0x100 for c in value)
    if isinstance(value, bool):
        return kind == "bool"
    low, high = _RANGES[kind]
    return isinstance(value, int) and low <= value <= high


def _event_value(value: Any, kind: str) -> Any:
    # The other faces report a reconnect's delay in whole milliseconds, and so does the bridge.
    return round(value * 1000) if kind == "seconds" else value


def _error(ident: Any, code: int, message: str) -> Message:
    return {"jsonrpc": "2.0", "id": ident, "error": {"code": code, "message": message}}


def _encode(message: Any) -> str:
    # ensure_ascii writes the Latin-1 characters above 0x7F as \u00XX, as `voxtrel run --json`.
    return json.dumps(message, separators=(",", ":"))


def _refuse_constant(name: str) -> Any:
    raise ValueError(f"{name} is no JSON")


class Session:
    """One WebSocket connection and its control: the requests it sends, answered in order, and
    the control's events, sent as notifications in the order the control fires them."""

    def __init__(self, number: int, socket_: web.WebSocketResponse, control: AsyncControl):
        self.number = number
        self.socket = socket_
        self.control = control

    async def serve(self) -> None:
        forwarder = asyncio.ensure_future(self._forward(self.control.events()))
        try:
            async for message in self.socket:
                if message.type == WSMsgType.TEXT:
                    answer = await self.answer(message.data)
                    if answer is not None:
                        await self._send(answer)
                elif message.type == WSMsgType.BINARY:
                    await self.socket.close(code=WSCloseCode.UNSUPPORTED_DATA,
                                            message=b"binary messages are not taken")
                else:  # an error, such as a message above --max-message; aiohttp has closed
                    break
        finally:
            await self.control.aclose()
            await forwarder

    async def answer(self, text: str) -> Optional[str]:
        """The answer to one text message; None when it holds only notifications."""
        try:
            request = json.loads(text, parse_constant=_refuse_constant)
        except (ValueError, RecursionError):
            return _encode(_error(None, PARSE_ERROR, "Parse error: the message is not JSON"))
        if not isinstance(request, list):
            answer = await self.execute(request)
            return None if answer is None else _encode(answer)
        if not request:
            return _encode(_error(None, INVALID_REQUEST, "Invalid Request: an empty batch"))
        answers = [answer for answer in [await self.execute(item) for item in request]
                   if answer is not None]
        return _encode(answers) if answers else None

    async def execute(self, request: Any) -> Optional[Message]:
        """Runs one request object; its answer, None for a notification."""
        if not isinstance(request, dict):
            return _error(None, INVALID_REQUEST, "Invalid Request: not an object")
        ident = request.get("id")
        notification = "id" not in request
        if not (ident is None or isinstance(ident, (str, int, float))) or isinstance(ident, bool):
            return _error(None, INVALID_REQUEST, "Invalid Request: id is no string or number")
        name, params = request.get("method"), request.get("params", [])
        if request.get("jsonrpc") != "2.0" or not isinstance(name, str):
            return _error(ident, INVALID_REQUEST,
                          'Invalid Request: needs "jsonrpc": "2.0" and a method name')
        row = METHODS.get(name)
        if row is None:
            return None if notification else _error(
                ident, METHOD_NOT_FOUND, "Method not found: not one of the control's methods")
        attribute, parameters, _ = row
        problem = self._check(name, parameters, params)
        if problem is not None:
            return None if notification else _error(ident, INVALID_PARAMS, problem)
        # The method only: Connect's parameters hold the password.
        LOG.info("connection %d: %s", self.number, name)
        try:
            result = await getattr(self.control, attribute)(*params)
        except Exception as error:  # noqa: BLE001 - the client gets an error, the bridge goes on
            # The type only: a message could quote a parameter.
            LOG.error("connection %d: %s raised %s", self.number, name, type(error).__name__)
            return None if notification else _error(ident, INTERNAL_ERROR, "Internal error")
        return None if notification else {"jsonrpc": "2.0", "id": ident, "result": result}

    @staticmethod
    def _check(name: str, parameters: Tuple[Tuple[str, str], ...], params: Any) -> Optional[str]:
        """What is wrong with a request's parameters, in words that quote none of them."""
        if not isinstance(params, list):
            return f"Invalid params: {name} takes its parameters by position, in an array"
        if len(params) != len(parameters):
            return f"Invalid params: {name} takes {len(parameters)} parameters, not {len(params)}"
        for position, ((parameter, kind), value) in enumerate(zip(parameters, params), 1):
            if not _fits(value, kind):
                return (f"Invalid params: parameter {position} of {name}, {parameter}, must be "
                        f"{_KIND_NAMES[kind]}")
        return None

    async def _forward(self, events: Any) -> None:
        event: Event
        async for event in events:
            params = {parameter: _event_value(value, kind) for (parameter, kind), value in
                      zip(EVENT_PARAMETERS[event.name], event.args)}
            await self._send(_encode({"jsonrpc": "2.0", "method": event.name, "params": params}))

    async def _send(self, text: str) -> None:
        # A connection closing under a send loses what it was still to be sent, nothing more.
        if not self.socket.closed:
            try:
                await self.socket.send_str(text)
            except ConnectionError:
                pass


class Bridge:
    """The bridge's web application and what it enforces: the token, the origins, the bounds on
    connections and message sizes, and each connection's control."""

    def __init__(self, token: str, origins: Set[str], reconnect: Optional[Reconnect],
                 max_connections: int, max_message: int) -> None:
        self.token = token
        self.origins = origins
        self.reconnect = reconnect
        self.max_connections = max_connections
        self.max_message = max_message
        self.sockets: Set[web.WebSocketResponse] = set()
        self.opened = 0
        self.app = web.Application()
        self.app.router.add_get("/rpc", self.rpc)
        self.app.router.add_get("/", self.index)
        # An installation that left the console's files out still serves /rpc.
        if os.path.isdir(STATIC):
            self.app.router.add_static("/", STATIC)
        self.app.on_shutdown.append(self.close_all)

    async def index(self, _: web.Request) -> web.StreamResponse:
        page = os.path.join(STATIC, "index.html")
        if not os.path.isfile(page):
            raise web.HTTPNotFound(text="this installation has no console page\n")
        return web.FileResponse(page)

    async def rpc(self, request: web.Request) -> web.StreamResponse:
        given = request.query.get("token", "").encode("utf-8", "surrogateescape")
        if not hmac.compare_digest(given, self.token.encode("utf-8")):
            raise web.HTTPForbidden(text="wrong or missing token\n")
        origin = request.headers.get("Origin")
        if origin is not None and origin.lower() not in self.origins:
            raise web.HTTPForbidden(text="this page's origin may not use the bridge\n")
        if len(self.sockets) >= self.max_connections:
            raise web.HTTPServiceUnavailable(text="the bridge has all the connections it takes\n")
        # Compression stays off: it would let a small frame inflate beyond --max-message's reach.
        socket_ = web.WebSocketResponse(max_msg_size=self.max_message, compress=False)
        if not socket_.can_prepare(request).ok:
            raise web.HTTPBadRequest(text="/rpc takes WebSocket connections only\n")
        # Counted before the first await, so that no two upgrades pass the limit together.
        self.sockets.add(socket_)
        self.opened += 1
        number = self.opened
        try:
            await socket_.prepare(request)
            LOG.info("connection %d opened from %s", number, request.remote)
            try:
                control = AsyncControl(reconnect=self.reconnect)
            except OSError as error:
                LOG.error("connection %d: no control: %s", number, error)
                await socket_.close(code=WSCloseCode.INTERNAL_ERROR, message=b"no control")
                return socket_
            await Session(number, socket_, control).serve()
        finally:
            self.sockets.discard(socket_)
            LOG.info("connection %d closed", number)
        return socket_

    async def close_all(self, _: web.Application) -> None:
        for socket_ in list(self.sockets):
            await socket_.close(code=WSCloseCode.GOING_AWAY, message=b"the bridge stops")


def _address(text: str) -> Tuple[str, int]:
    host, colon, port = text.rpartition(":")
    if not colon or not host or not port.isdigit() or int(port) > 0xFFFF:
        raise argparse.ArgumentTypeError("takes HOST:PORT")
    return host, int(port)


def _reconnect(text: str) -> Reconnect:
    """MIN,MAX[,ATTEMPTS] in milliseconds, as `voxtrel run --reconnect` takes them."""
    words = text.split(",")
    if not 2 <= len(words) <= 3 or not all(word.isdigit() for word in words):
        raise argparse.ArgumentTypeError("takes MIN,MAX[,ATTEMPTS] in milliseconds")
    low, high, attempts = (int(word) for word in words + ["0"] * (3 - len(words)))
    try:
        return Reconnect(low / 1000, high / 1000, attempts or None)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _positive(text: str) -> int:
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError("takes a whole number above 0")
    return int(text)


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="voxtrel-bridge",
        description="The Voxtrel control for web pages: its methods and events as JSON-RPC 2.0 "
                    "over a WebSocket at /rpc?token=TOKEN, one control per connection, and the "
                    "console page at /.")
    parser.add_argument("--listen", type=_address, default=("127.0.0.1", 8765),
                        metavar="HOST:PORT", help="where to listen (default 127.0.0.1:8765; "
                        "port 0 takes a free one)")
    parser.add_argument("--token", help="the access token (default: a random one)")
    parser.add_argument("--allow-origin", action="append", default=[], metavar="ORIGIN",
                        help="another page origin allowed to open WebSockets (repeatable)")
    parser.add_argument("--cert", metavar="FILE", help="serve HTTPS and WSS with this "
                        "certificate (PEM), with --key")
    parser.add_argument("--key", metavar="FILE", help="the certificate's private key (PEM)")
    parser.add_argument("--reconnect", type=_reconnect, metavar="MIN,MAX[,ATTEMPTS]",
                        help="each connection's control reconnects by itself, after MIN to MAX "
                        "milliseconds, at most ATTEMPTS tries in a row")
    parser.add_argument("--max-connections", type=_positive, default=16, metavar="N",
                        help="WebSocket connections at once (default 16)")
    parser.add_argument("--max-message", type=_positive, default=65536, metavar="BYTES",
                        help="the longest message a client may send (default 65536)")
    return parser


def _origins(host: str, port: int, scheme: str, allowed: Sequence[str]) -> Set[str]:
    own = [f"{scheme}://{host}:{port}"]
    if host == "127.0.0.1":
        own.append(f"{scheme}://localhost:{port}")
    return {origin.rstrip("/").lower() for origin in own + list(allowed)}


async def serve(options: argparse.Namespace, tls: Optional[ssl.SSLContext]) -> None:
    """Runs the bridge until SIGINT or SIGTERM."""
    loop = asyncio.get_running_loop()
    # Connect and Disconnect run on the executor: one thread each connection may need, so that
    # a connection waiting for its service never waits for another's.
    loop.set_default_executor(concurrent.futures.ThreadPoolExecutor(
        max_workers=options.max_connections, thread_name_prefix="voxtrel-bridge"))
    host, port = options.listen
    bound = socket.create_server((host.strip("[]"), port), reuse_port=False)
    port = bound.getsockname()[1]
    scheme = "https" if tls else "http"
    token = options.token if options.token is not None else secrets.token_hex(16)
    bridge = Bridge(token, _origins(host, port, scheme, options.allow_origin), options.reconnect,
                    options.max_connections, options.max_message)
    # No access log: its request lines would carry the token.
    runner = web.AppRunner(bridge.app, access_log=None, handle_signals=False)
    await runner.setup()
    await web.SockSite(runner, bound, ssl_context=tls).start()
    base = f"{scheme}://{host}:{port}/"
    print(f"listening {base}\ntoken {token}\nconsole {base}#token={token}", flush=True)
    stop = asyncio.Event()
    for number in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(number, stop.set)
    try:
        await stop.wait()
    finally:
        await runner.cleanup()


def main(argv: Optional[List[str]] = None) -> int:
    parser = _parser()
    options = parser.parse_args(argv)
    if (options.cert is None) != (options.key is None):
        parser.error("--cert and --key go together")
    logging.basicConfig(level=logging.INFO, stream=sys.stderr,
                        format="%(asctime)s voxtrel-bridge: %(message)s")
    tls = None
    try:
        if options.cert is not None:
            tls = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
            tls.load_cert_chain(options.cert, options.key)
        asyncio.run(serve(options, tls))
    except (OSError, ssl.SSLError) as error:
        print(f"voxtrel-bridge: {error}", file=sys.stderr)
        return 1
    return 0
