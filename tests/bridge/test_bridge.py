"""voxtrel-bridge as a WebSocket client sees it, against `voxtrel pbx`: calls, offers, mail,
faults, batches, reconnecting, refused input and clients, the limits, TLS, the password kept."""

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

VOXTREL, PASSWORD, TOKEN, MAX_MESSAGE = os.environ.get("VOXTREL"), "pw-8c1f", "t0ken", 4096


def line(pipe, seconds=10):
    """The next line of an unbuffered pipe, waiting at most seconds."""
    if not select.select([pipe], [], [], seconds)[0]:
        raise TimeoutError("no line in time")
    return pipe.readline().decode().strip()


def start_bridge(cleanup, *options):
    """A bridge with these options, stopped by cleanup: its base URL and its log."""
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
    return base, log


def request(ident, method, params):
    return f'{{"jsonrpc":"2.0","id":{json.dumps(ident)},"method":"{method}","params":[{params}]}}'


class Client:
    """One WebSocket to the bridge; the events met while waiting are kept until taken."""

    def __init__(self, socket):
        self.socket, self.events = socket, []

    async def call(self, method, *params):
        """The method's result, or its error object."""
        await self.socket.send_str(request(1, method, json.dumps(params)[1:-1]))
        answer = await self.receive()
        return answer.get("result", answer.get("error"))

    async def receive(self, event=None):
        """The params of the first event so named not yet taken; the next answer instead, or
        the closing frame's type and code, when one comes first."""
        while True:
            for index, notification in enumerate(self.events):
                if notification["method"] == event:
                    return self.events.pop(index)["params"]
            message = await self.socket.receive(timeout=10)
            if message.type != aiohttp.WSMsgType.TEXT:
                return message.type, self.socket.close_code
            data = json.loads(message.data)
            if not isinstance(data, dict) or "method" not in data:
                return data
            self.events.append(data)


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
        cls.base, cls.log = start_bridge(
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

    async def expect(self, client, event, **params):
        self.assertEqual(await client.receive(event), params)

    async def test_calls_offers_mail_faults_batches_and_a_reconnect(self):
        client = await self.open()
        self.assertIs(await client.call("Connect", "127.0.0.1", self.pbx_port, 5, "demo",
                                        PASSWORD), True)
        call = await client.call("CreateCall", "pbx:200", "pbx:100")
        for state in (1, 2, 3):
            await self.expect(client, "CallStateChanged", callID=call, callState=state)
        self.assertIs(await client.call("IncomingCallHandling", "100", True), True)
        offer = self.command("offer 100 pbx:300")
        await self.expect(client, "CallArrived", callID=offer, caller="tel:300", callee="tel:100",
                          origCallID="0")
        self.assertIs(await client.call("AcceptCall", offer, "300", "Caller \xe9"), True)
        await self.expect(client, "CallStateChanged", callID=offer, callState=3)
        subscription = await client.call("SubscribeToVoiceMail", "100")
        await self.expect(client, "SubscriptionConfirmed", subscrID=subscription, confirmed=True,
                          errorCode=0)
        self.command(f"mail {subscription} pbx:5 30 7")
        mail = await client.receive("MailArrived")
        self.assertEqual((bool(mail.pop("time")), mail), (True, {
            "subscrID": subscription, "caller": "pbx:5", "duration": 30, "id": 7}))
        self.command("fault closecall 42 Out of order")
        self.assertIs(await client.call("CloseCall", call), True)
        await self.expect(client, "RequestFailed", callID=call, failureCode=42,
                          failureString="Out of order")
        # A batch is answered in its order, without its notifications; a notification alone
        # runs unanswered, as the event of the closed call and the next answer show.
        notification = '{"jsonrpc":"2.0","method":"CloseCall","params":["%s"]}'
        await client.socket.send_str(f'[{request("a", "CloseCall", json.dumps(offer))},'
                                     f'{notification % 1},{request("b", "CloseCall", "")}]')
        self.assertEqual([(a["id"], a.get("result"), "error" in a) for a in await client.receive()],
                         [("a", True, False), ("b", None, True)])
        await client.socket.send_str(notification % call)
        for closed in (offer, call):
            await self.expect(client, "CallStateChanged", callID=closed, callState=6)
        # --reconnect reaches each connection's control, and its events the client.
        self.command("close")
        await self.expect(client, "Disconnected")
        await self.expect(client, "Reconnecting", attempt=1, delay=100)
        await self.expect(client, "Reconnected")
        self.assertIs(await client.call("Disconnect"), True)

    async def test_bad_input_is_refused_and_leaves_the_other_connection_alone(self):
        # The other connection's Connect meanwhile waits for a slow service.
        self.command("delay authenticate 1000")
        self.addCleanup(self.command, "delay authenticate 0")
        other = await self.open()
        connecting = asyncio.ensure_future(other.call("Connect", "127.0.0.1", self.pbx_port, 5,
                                                      "demo", PASSWORD))
        await asyncio.sleep(0.1)
        rows = [  # the messages sent, the answer's id and error code (None: the result false)
            ("nope", None, -32700), (request(1, "CloseCall", '"1"')[:-1], None, -32700),
            (request(1, "PlayMessage", '"1","f",NaN'), None, -32700), ("42", None, -32600),
            ("[]", None, -32600), ('{"id":2,"method":"Disconnect"}', 2, -32600),
            ('{"jsonrpc":"2.0","id":[3],"method":"Disconnect"}', None, -32600),
            (request(4, "Dial", ""), 4, -32601), (request(5, "CreateCall", '"a"'), 5, -32602),
            (request(6, "CreateCall", '"a",1'), 6, -32602),
            (request(7, "CloseCall", '"\u20ac"'), 7, -32602),
            (request(8, "PlayMessage", '"1","f",65536'), 8, -32602),
            ('{"jsonrpc":"2.0","id":9,"method":"CloseCall","params":{"callID":"1"}}', 9, -32602),
            (request(10, "Connect", '"h",1,true,"u","p"'), 10, -32602),
            (request(11, "EnableDtmfDetection", '"1",7'), 11, None),
            ('{"jsonrpc":"2.0","method":"Dial"}\n' + request(12, "Disconnect", ""), 12, None),
        ]
        client = await self.open()
        for messages, ident, code in rows:
            with self.subTest(messages):
                for message in messages.split("\n"):
                    await client.socket.send_str(message)
                answer = await client.receive()
                self.assertEqual((answer["jsonrpc"], answer["id"]), ("2.0", ident))
                self.assertEqual(answer["error"]["code"] if code else answer["result"],
                                 code or False)
        self.assertFalse(connecting.done(), "the rows waited for the other's Connect")
        self.assertIs(await connecting, True)
        # What the bridge does not read ends the connection, with the code that says why.
        for frame, close_code in (("x" * (MAX_MESSAGE + 1), 1009), (b"\x00", 1003)):
            client = await self.open()
            await (client.socket.send_str if isinstance(frame, str) else
                   client.socket.send_bytes)(frame)
            self.assertEqual(await client.receive(), (aiohttp.WSMsgType.CLOSE, close_code))
        call = await other.call("CreateCall", "pbx:200", "pbx:100")
        await self.expect(other, "CallStateChanged", callID=call, callState=1)
        # The password went out to the service only: no answer and no log line has it.
        answer = await other.call("Connect", "127.0.0.1", "5060", 5, "demo", PASSWORD)
        self.log.seek(0)
        log = self.log.read().decode()
        self.assertEqual(("Connect" in log, PASSWORD in log + json.dumps(answer)), (True, False))

    async def test_who_may_connect(self):
        own, good = f"http://127.0.0.1:{self.port}", f"?token={TOKEN}"
        rows = [  # query, Origin, the status of the upgrade
            ("", None, 403), ("?token=t0ke", None, 403), ("?token=t0kenx", None, 403),
            (good, "http://evil.example", 403), (good, "null", 403), ("?token=x", own, 403),
            (good, own, 101), (good, f"http://localhost:{self.port}", 101),
            (good, "http://page.example", 101), (good, None, 101),
        ]
        for query, origin, status in rows:
            with self.subTest(query=query, origin=origin):
                try:
                    client = await self.open(query, headers={"Origin": origin} if origin else {})
                    self.assertIs(await client.call("Disconnect"), False)
                    await client.socket.close()
                    self.assertEqual(101, status)
                except aiohttp.WSServerHandshakeError as error:
                    self.assertEqual(error.status, status)
        # Beyond --max-connections the upgrade is refused; those of the rows make room as they
        # close.
        clients = []
        for _ in range(50):
            try:
                clients.append(await self.open())
            except aiohttp.WSServerHandshakeError as error:
                self.assertEqual(error.status, 503)
                if len(clients) == 3:
                    break
                await asyncio.sleep(0.05)
        self.assertEqual(len(clients), 3)
        async with self.session.get(self.base) as page:
            self.assertEqual((page.status, page.content_type), (200, "text/html"))

    async def test_tls(self):
        folder = self.enterContext(tempfile.TemporaryDirectory())
        cert, key = f"{folder}/cert.pem", f"{folder}/key.pem"
        # A self-signed certificate for 127.0.0.1, made off the loop as the bridge is started.
        await asyncio.to_thread(subprocess.run, [
            "openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
            "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1", "-addext",
            "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", cert], check=True,
            capture_output=True)
        base, _ = await asyncio.to_thread(start_bridge, self.addCleanup, "--cert", cert,
                                          "--key", key)
        client = await self.open(base=base.replace("https:", "wss:"),
                                 ssl=ssl.create_default_context(cafile=cert))
        self.assertIs(await client.call("Connect", "127.0.0.1", self.pbx_port, 5, "demo",
                                        PASSWORD), True)
        with self.assertRaises(aiohttp.ClientError):
            await self.open(base=base.replace("https:", "http:"))


if __name__ == "__main__":
    unittest.main()
