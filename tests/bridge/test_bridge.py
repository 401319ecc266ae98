"""voxtrel-bridge as a web page's client sees it: JSON-RPC over WebSockets against `voxtrel pbx`,
with the bridge's refusals, bounds, TLS and what it keeps to itself."""

import asyncio
import json
import os
import pathlib
import re
import select
import ssl
import subprocess
import sys
import tempfile
import unittest

import aiohttp

from voxtrel import EVENT_PARAMETERS, METHODS
from voxtrel.aio import AsyncControl

VOXTREL = os.environ.get("VOXTREL")
PASSWORD = "pw-8c1f"
TOKEN = "t0ken"
MAX_MESSAGE = 4096


def line(pipe, seconds=10):
    """The next line of an unbuffered pipe, waiting at most seconds."""
    if not select.select([pipe], [], [], seconds)[0]:
        raise TimeoutError("no line in time")
    return pipe.readline().decode().strip()


def start_bridge(cleanup, *options):
    """A bridge process with these options, stopped by cleanup; its base URL, the process and
    its log, once it has printed its three lines."""
    log = tempfile.TemporaryFile()
    bridge = subprocess.Popen([sys.executable, "-m", "voxtrel.bridge", "--listen", "127.0.0.1:0",
                               "--token", TOKEN, *options], stdout=subprocess.PIPE, stderr=log,
                              bufsize=0)
    for step in (log.close, bridge.stdout.close, bridge.wait, bridge.terminate):
        cleanup(step)
    lines = [line(bridge.stdout) for _ in range(3)]
    base = re.fullmatch(r"listening (https?://127\.0\.0\.1:\d+/)", lines[0])[1]
    if lines[1:] != [f"token {TOKEN}", f"console {base}#token={TOKEN}"]:
        raise AssertionError(f"the bridge began with {lines}")
    return base, bridge, log


class Client:
    """One WebSocket connection to the bridge: requests answered in order, and the events met
    on the way, kept until a test takes them."""

    def __init__(self, socket):
        self.socket, self.events, self.sent = socket, [], 0

    async def send(self, message):
        await (self.socket.send_str(message) if isinstance(message, str)
               else self.socket.send_json(message))

    async def call(self, method, *params):
        """The method's result, or the error object."""
        self.sent += 1
        await self.send({"jsonrpc": "2.0", "id": self.sent, "method": method,
                         "params": list(params)})
        answer = await self.answer()
        assert answer["id"] == self.sent, answer
        return answer["result"] if "result" in answer else answer["error"]

    async def answer(self):
        """The next message that is no notification (a closing frame as its type)."""
        while (message := await self.receive()) is None:
            pass
        return message

    async def receive(self):
        """The next message; None for a notification, which joins the events."""
        message = await self.socket.receive(timeout=10)
        if message.type != aiohttp.WSMsgType.TEXT:
            return message.type, self.socket.close_code
        data = json.loads(message.data)
        if isinstance(data, dict) and "method" in data:
            return self.events.append(data)
        return data

    async def event(self, name):
        """The params of the first event called name not yet taken, waiting up to 10 s."""
        while True:
            for index, event in enumerate(self.events):
                if event["method"] == name:
                    return self.events.pop(index)["params"]
            answer = await self.receive()
            if answer is not None:
                raise AssertionError(f"an answer nobody asked for: {answer}")


class BridgeTest(unittest.IsolatedAsyncioTestCase):
    @classmethod
    def setUpClass(cls):
        if not VOXTREL:
            raise unittest.SkipTest("VOXTREL names no voxtrel command to run the simulator")
        cls.pbx = subprocess.Popen([VOXTREL, "pbx", "--user", f"demo:{PASSWORD}"],
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0,
                                   env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"})
        for step in (cls.pbx.stdin.close, cls.pbx.stdout.close, cls.pbx.wait, cls.pbx.terminate):
            cls.addClassCleanup(step)
        cls.pbx_port = int(line(cls.pbx.stdout).rsplit(":", 1)[1])
        cls.base, cls.bridge, cls.log = start_bridge(
            cls.addClassCleanup, "--allow-origin", "http://page.example", "--max-connections", "3",
            "--max-message", str(MAX_MESSAGE), "--reconnect", "100,1000")
        cls.port = int(cls.base.rsplit(":", 1)[1].rstrip("/"))

    def command(self, text):
        self.pbx.stdin.write(text.encode() + b"\n")
        return line(self.pbx.stdout)

    async def asyncSetUp(self):
        self.session = aiohttp.ClientSession()
        self.addAsyncCleanup(self.session.close)

    async def open(self, query=f"?token={TOKEN}", base=None, **options):
        socket = await self.session.ws_connect((base or self.base) + "rpc" + query, **options)
        self.addAsyncCleanup(socket.close)
        return Client(socket)

    async def connected(self):
        client = await self.open()
        self.assertIs(await client.call("Connect", "127.0.0.1", self.pbx_port, 5, "demo",
                                        PASSWORD), True)
        return client

    def test_the_package_lists_follow_the_controls_list(self):
        kinds = {"Text": "text", "Short": "short", "Long": "long", "Bool": "bool", "": None}
        source = "".join(pathlib.Path(__file__, "../../../src/control", name).resolve().read_text()
                         for name in ("control_api_list.h", "reconnect_supervisor.h"))
        listed = {name: (c_name, kinds[result], tuple(
            (p, kinds[t]) for t, p in re.findall(r"P\((\w+),\s*(\w+)\)", params)))
            for name, c_name, result, params in re.findall(
                r"\b[ME]\(\d+,\s*(\w+),\s*(\w+)(?:,\s*(Bool|Text))?((?:,\s*P\(\w+,\s*\w+\))*)\s*\)",
                source.replace("\\\n", " "))}
        self.assertEqual(len(listed), len(METHODS) + len(EVENT_PARAMETERS))
        self.assertEqual({name: (a, r, p) for name, (a, p, r) in METHODS.items()},
                         {name: listed[name] for name in METHODS})
        # The handlers get a reconnect's delay in seconds, the other faces in milliseconds.
        self.assertEqual({name: (None, tuple((p, "long" if k == "seconds" else k) for p, k in ps))
                          for name, ps in EVENT_PARAMETERS.items()},
                         {name: listed[name][1:] for name in EVENT_PARAMETERS})
        for attribute, params, _ in METHODS.values():
            self.assertEqual(getattr(AsyncControl, attribute).__code__.co_argcount,
                             len(params) + 1, attribute)

    async def test_calls_offers_mail_faults_batches_and_a_reconnect(self):
        client = await self.connected()
        call_id = await client.call("CreateCall", "pbx:200", "pbx:100")
        for state in (1, 2, 3):
            self.assertEqual(await client.event("CallStateChanged"),
                             {"callID": call_id, "callState": state})
        self.assertIs(await client.call("IncomingCallHandling", "100", True), True)
        offer = self.command("offer 100 pbx:300")
        self.assertEqual(await client.event("CallArrived"), {
            "callID": offer, "caller": "tel:300", "callee": "tel:100", "origCallID": "0"})
        self.assertIs(await client.call("AcceptCall", offer, "300", "Caller \xe9"), True)
        self.assertEqual(await client.event("CallStateChanged"), {"callID": offer, "callState": 3})
        subscription = await client.call("SubscribeToVoiceMail", "100")
        self.assertEqual(await client.event("SubscriptionConfirmed"),
                         {"subscrID": subscription, "confirmed": True, "errorCode": 0})
        self.assertEqual(self.command(f"mail {subscription} pbx:5 30 7"), "ok")
        mail = await client.event("MailArrived")
        self.assertEqual((mail.pop("time") != "", mail), (True, {
            "subscrID": subscription, "caller": "pbx:5", "duration": 30, "id": 7}))
        self.assertEqual(self.command("fault closecall 42 Out of order"), "ok")
        self.assertIs(await client.call("CloseCall", call_id), True)
        self.assertEqual(await client.event("RequestFailed"), {
            "callID": call_id, "failureCode": 42, "failureString": "Out of order"})

        # A batch is answered in its order, without its notifications; a notification alone
        # runs unanswered, as the event of the closed call and the next answer show.
        await client.send([{"jsonrpc": "2.0", "id": "a", "method": "CloseCall", "params": [offer]},
                           {"jsonrpc": "2.0", "method": "Unsubscribe", "params": [subscription]},
                           {"jsonrpc": "2.0", "id": "b", "method": "CloseCall", "params": []}])
        self.assertEqual([(a["id"], a.get("result"), "error" in a) for a in await client.answer()],
                         [("a", True, False), ("b", None, True)])
        await client.send({"jsonrpc": "2.0", "method": "CloseCall", "params": [call_id]})
        self.assertEqual(await client.event("CallStateChanged"), {"callID": offer, "callState": 6})
        self.assertEqual(await client.event("CallStateChanged"),
                         {"callID": call_id, "callState": 6})

        # --reconnect reaches each connection's control, and its events the client.
        self.assertTrue(self.command("close").startswith("ok"))
        self.assertEqual(await client.event("Disconnected"), {})
        self.assertEqual(await client.event("Reconnecting"), {"attempt": 1, "delay": 100})
        self.assertEqual(await client.event("Reconnected"), {})
        self.assertIs(await client.call("Disconnect"), True)

    async def test_bad_input_is_refused_and_leaves_the_other_connection_alone(self):
        # The other connection's Connect waits for a slow service meanwhile.
        self.assertEqual(self.command("delay authenticate 1000"), "ok")
        self.addCleanup(self.command, "delay authenticate 0")
        other = await self.open()
        connecting = asyncio.ensure_future(other.call("Connect", "127.0.0.1", self.pbx_port, 5,
                                                      "demo", PASSWORD))
        await asyncio.sleep(0.1)
        wrong_type = "must be a string of Latin-1 characters"
        rows = [  # message, its answer's id, error code (None: a result) and message part
            ("nope", None, -32700, "not JSON"),
            ('{"jsonrpc":"2.0","id":1,"method":"CloseCall","params":["1"', None, -32700, ""),
            ('{"jsonrpc":"2.0","id":1,"method":"PlayMessage","params":["1","f",NaN]}', None,
             -32700, ""),
            ("42", None, -32600, "not an object"),
            ("[]", None, -32600, "empty batch"),
            ('{"id":2,"method":"Disconnect"}', 2, -32600, "jsonrpc"),
            ('{"jsonrpc":"2.0","id":[3],"method":"Disconnect"}', None, -32600, "id"),
            ('{"jsonrpc":"2.0","id":4,"method":"Dial","params":[]}', 4, -32601, "not one of"),
            ('{"jsonrpc":"2.0","method":"Dial"}', None, None, None),
            ('{"jsonrpc":"2.0","id":5,"method":"CreateCall","params":["a"]}', 5, -32602,
             "takes 2 parameters, not 1"),
            ('{"jsonrpc":"2.0","id":6,"method":"CreateCall","params":["a",1]}', 6, -32602,
             f"parameter 2 of CreateCall, to, {wrong_type}"),
            ('{"jsonrpc":"2.0","id":7,"method":"CloseCall","params":["\u20ac"]}', 7, -32602,
             wrong_type),
            ('{"jsonrpc":"2.0","id":8,"method":"PlayMessage","params":["1","f",65536]}', 8,
             -32602, "16-bit"),
            ('{"jsonrpc":"2.0","id":9,"method":"CloseCall","params":{"callID":"1"}}', 9,
             -32602, "by position"),
            ('{"jsonrpc":"2.0","id":10,"method":"Connect","params":["h",1,true,"u","p"]}', 10,
             -32602, "32-bit"),
            ('{"jsonrpc":"2.0","id":11,"method":"EnableDtmfDetection","params":["1",7]}', 11,
             None, False),
        ]
        client = await self.open()
        for message, ident, code, text in rows:
            with self.subTest(message):
                await client.send(message)
                if code is None and text is None:  # a notification: the next answer is Ping's
                    await client.send('{"jsonrpc":"2.0","id":"ping","method":"Disconnect"}')
                    ident, text = "ping", False
                answer = await client.answer()
                self.assertEqual((answer["jsonrpc"], answer["id"]), ("2.0", ident))
                if code is None:
                    self.assertIs(answer["result"], text)
                else:
                    self.assertEqual(answer["error"]["code"], code)
                    self.assertIn(text, answer["error"]["message"])
        self.assertFalse(connecting.done(), "the rows waited for the other's Connect")
        self.assertIs(await connecting, True)
        # What the bridge does not read ends the connection, with the code that says why.
        for frame, close_code in (("x" * (MAX_MESSAGE + 1), 1009), (b"\x00", 1003)):
            with self.subTest(close_code=close_code):
                client = await self.open()
                await (client.send(frame) if isinstance(frame, str)
                       else client.socket.send_bytes(frame))
                self.assertEqual(await client.answer(), (aiohttp.WSMsgType.CLOSE, close_code))
        call_id = await other.call("CreateCall", "pbx:200", "pbx:100")
        self.assertEqual(await other.event("CallStateChanged"), {"callID": call_id,
                                                                 "callState": 1})
        # The password went out to the service only: no answer and no log line has it.
        answer = await other.call("Connect", "127.0.0.1", "5060", 5, "demo", PASSWORD)
        self.assertNotIn(PASSWORD, json.dumps(answer))
        self.log.seek(0)
        log = self.log.read().decode()
        self.assertIn("Connect", log)
        self.assertNotIn(PASSWORD, log)

    async def test_who_may_connect(self):
        own = f"http://127.0.0.1:{self.port}"
        rows = [  # query, Origin, the status of the upgrade
            ("", None, 403), ("?token=t0ke", None, 403), ("?token=t0kenx", None, 403),
            (f"?token={TOKEN}", "http://evil.example", 403), (f"?token={TOKEN}", "null", 403),
            ("?token=nope", own, 403), (f"?token={TOKEN}", own, 101),
            (f"?token={TOKEN}", f"http://localhost:{self.port}", 101),
            (f"?token={TOKEN}", "http://page.example", 101), (f"?token={TOKEN}", None, 101),
        ]
        for query, origin, status in rows:
            with self.subTest(query=query, origin=origin):
                headers = {} if origin is None else {"Origin": origin}
                try:
                    client = await self.open(query, headers=headers)
                    self.assertIs(await client.call("Disconnect"), False)
                    await client.socket.close()
                    got = 101
                except aiohttp.WSServerHandshakeError as error:
                    got = error.status
                self.assertEqual(got, status)
        # Beyond --max-connections the upgrade is refused; a connection closed makes room.
        clients = []
        for _ in range(20):  # the connections of the rows above may still be closing
            try:
                clients.append(await self.open())
            except aiohttp.WSServerHandshakeError as error:
                self.assertEqual(error.status, 503)
                if len(clients) == 3:
                    break
                await asyncio.sleep(0.1)
        self.assertEqual(len(clients), 3)
        await clients.pop().socket.close()
        for _ in range(20):
            try:
                clients.append(await self.open())
                break
            except aiohttp.WSServerHandshakeError:
                await asyncio.sleep(0.1)
        self.assertEqual(len(clients), 3)
        async with self.session.get(self.base) as page:
            self.assertEqual((page.status, page.content_type), (200, "text/html"))

    async def test_tls(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        cert, key = (os.path.join(folder.name, name) for name in ("cert.pem", "key.pem"))
        # A self-signed certificate for 127.0.0.1, made off the loop as the bridge is started.
        await asyncio.to_thread(subprocess.run, [
            "openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
            "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1", "-addext",
            "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", cert], check=True,
            capture_output=True)
        base, _, _ = await asyncio.to_thread(start_bridge, self.addCleanup, "--cert", cert,
                                             "--key", key)
        self.assertTrue(base.startswith("https://"))
        client = await self.open(base=base.replace("https", "wss"),
                                 ssl=ssl.create_default_context(cafile=cert))
        self.assertIs(await client.call("Connect", "127.0.0.1", self.pbx_port, 5, "demo",
                                        PASSWORD), True)
        with self.assertRaises(aiohttp.ClientError):
            await self.open(base=base.replace("https", "http"))


if __name__ == "__main__":
    unittest.main()
