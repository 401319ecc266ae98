"""voxtrel.aio against `voxtrel pbx`: connect off the loop, a call's states, an offer accepted by
a coroutine handler, voice mail, a reconnect with what it restores, and the wire trace through
logging."""

import asyncio
import logging
import os
import unittest

from voxtrel.aio import AsyncControl, Event
from voxtrel.control import _wire_line

VOXTREL = os.environ.get("VOXTREL")


async def until(stream, name, seen):
    """Reads the stream up to the first event called name, which it returns; seen gets all."""
    while (event := await asyncio.wait_for(stream.__anext__(), 10)).name != name:
        seen.append(event)
    seen.append(event)
    return event


@unittest.skipUnless(VOXTREL, "VOXTREL names no voxtrel command to run the simulator")
class AsyncControlTest(unittest.IsolatedAsyncioTestCase):
    async def asyncSetUp(self):
        # A slow authenticate shows whether connect() leaves the loop free. The simulator brings
        # its own sanitizer runtime, if any, and must not get the one preloaded for Python.
        self.pbx = await asyncio.create_subprocess_exec(
            VOXTREL, "pbx", "--delay", "authenticate:300", "--user", "demo:s3cret",
            stdin=asyncio.subprocess.PIPE, stdout=asyncio.subprocess.PIPE,
            env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"})
        self.addAsyncCleanup(self.pbx.wait)
        self.addCleanup(lambda: self.pbx.returncode is None and self.pbx.terminate())
        self.port = int((await self.command(None)).rsplit(":", 1)[1])

    async def command(self, text):
        """The simulator's answer to a console command (None: its next line)."""
        if text:
            self.pbx.stdin.write(text.encode() + b"\n")
        return (await asyncio.wait_for(self.pbx.stdout.readline(), 10)).decode().strip()

    async def test_calls_offers_mail_and_a_reconnect(self):
        errors, seen, ticks = [], [], []
        asyncio.get_running_loop().set_exception_handler(
            lambda loop, context: errors.append(context["exception"]))
        async with AsyncControl(reconnect=(0.1, 0.5)) as c:
            stream = c.events()

            async def offered(call_id, caller, callee, orig_call_id):
                seen.append(("accepted", await c.accept_call(call_id, caller, "me")))
            c.on_call_arrived = offered
            c.on_disconnected = lambda: {}["raised"]

            async def tick():
                while True:
                    ticks.append(await asyncio.sleep(0.02))
            ticker = asyncio.ensure_future(tick())
            # A method called during connect() waits for it rather than be refused.
            connected, call_id = await asyncio.gather(c.connect("127.0.0.1", self.port, 5,
                                                               "demo", "s3cret"),
                                                      c.create_call("pbx:100", "pbx:200"))
            ticker.cancel()
            self.assertEqual((connected, call_id.isdigit() and call_id != "0"), (True, True))
            self.assertGreater(len(ticks), 2, "the loop ran while connect() waited")
            for state in (1, 2, 3):
                self.assertEqual(await until(stream, "CallStateChanged", seen),
                                 Event("CallStateChanged", (call_id, state)))
            self.assertTrue(await c.incoming_call_handling("100", True))
            subscription = await c.subscribe_to_voice_mail("100")
            self.assertEqual((await until(stream, "SubscriptionConfirmed", seen)).args,
                             (subscription, True, 0))

            # The simulator drops the connection: the take-over and the subscription come back,
            # the try (0.1 s away, then 0.3 s of authenticate) made while the loop goes on.
            ticks.clear()
            ticker = asyncio.ensure_future(tick())
            self.assertEqual(await self.command("close"), "ok 1 closed")
            await until(stream, "Reconnected", seen)
            ticker.cancel()
            self.assertGreater(len(ticks), 12, "the loop ran while the reconnect try waited")
            names = [event.name for event in seen if isinstance(event, Event)]
            self.assertEqual(names[-4:], ["Disconnected", "Reconnecting", "Resubscribed",
                                          "Reconnected"])
            self.assertEqual(seen[-3].args, (1, 0.1), "the first try waits min_delay seconds")
            old, renewed = seen[-2].args[1:]
            self.assertEqual((seen[-2].args[0], old), ("100", subscription))
            self.assertEqual([type(error) for error in errors], [KeyError])

            offer = await self.command("offer 100 pbx:300")
            self.assertEqual((await until(stream, "CallArrived", seen)).args,
                             (offer, "tel:300", "tel:100", "0"))
            self.assertEqual(await until(stream, "CallStateChanged", seen),
                             Event("CallStateChanged", (offer, 3)))
            self.assertIn(("accepted", True), seen)
            self.assertEqual(await self.command(f"mail {renewed} pbx:5 30 7"), "ok")
            mail = (await until(stream, "MailArrived", seen)).args
            self.assertEqual(mail[:2] + mail[3:], (renewed, "pbx:5", 30, 7))
        # Closing ends every stream, and the methods are refused.
        with self.assertRaises(StopAsyncIteration):
            await until(stream, "", seen)
        self.assertFalse(await c.close_call(call_id))

    async def test_the_wire_trace_through_logging(self):
        with self.assertLogs("voxtrel.wire", logging.DEBUG) as logs:
            async with AsyncControl() as c:
                self.assertTrue(await c.connect("127.0.0.1", self.port, 5, "demo", "s3cret"))
        sent = [line for line in logs.output if " > " in line and "authenticate" in line]
        self.assertEqual(len(sent), 1, logs.output)
        self.assertRegex(sent[0], r"^DEBUG:voxtrel\.wire:\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z > "
                                  r"<\?xml[^\r\n]*\\r\\n.*<string>\*\*\*\*</string>")
        self.assertNotIn("s3cret", "".join(logs.output))
        # The line as voxtrel run --trace writes it: microseconds cut, control characters escaped.
        self.assertEqual(_wire_line(ord("<"), 1796562245.1234569, b"a\\b\r\n\t\x01\x7f\xe9"),
                         "2026-12-06T13:04:05.123456Z < a\\\\b\\r\\n\t\\x01\\x7f\xe9")


if __name__ == "__main__":
    unittest.main()
