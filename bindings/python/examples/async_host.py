#!/usr/bin/env python3
"""An asyncio host of the Voxtrel control: connects, takes over an extension and accepts every call
offered to it, subscribes to its voice mail, creates a call and prints each event for a while."""

import argparse
import asyncio
import logging
import sys

from voxtrel.aio import AsyncControl


async def host(args: argparse.Namespace) -> int:
    async with AsyncControl(reconnect=(0.5, 30.0) if args.reconnect else None) as control:
        events = control.events()  # before connect(), so that no event is missed

        async def accept(call_id: str, caller: str, callee: str, orig_call_id: str) -> None:
            print("AcceptCall", call_id, await control.accept_call(call_id, caller, "Host"),
                  flush=True)

        control.on_call_arrived = accept
        if not await control.connect(args.address, args.port, 10, args.user, args.password):
            print(f"host: could not connect to {args.address}:{args.port}", file=sys.stderr)
            return 1
        print("Connected", flush=True)
        await control.incoming_call_handling(args.extension, True)
        print("SubscribeToVoiceMail", await control.subscribe_to_voice_mail(args.extension),
              flush=True)
        print("CreateCall", await control.create_call(args.from_, args.to), flush=True)

        async def show() -> None:
            async for event in events:
                print(event.name, *event.args, flush=True)

        try:
            await asyncio.wait_for(show(), args.seconds)
        except asyncio.TimeoutError:
            pass
        await control.disconnect()
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("address")
    parser.add_argument("port", type=int)
    parser.add_argument("user", nargs="?", default="")
    parser.add_argument("password", nargs="?", default="")
    parser.add_argument("--extension", default="100", help="the extension taken over")
    parser.add_argument("--from", dest="from_", default="pbx:100")
    parser.add_argument("--to", default="pbx:200")
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--reconnect", action="store_true", help="reconnect after a loss")
    parser.add_argument("--trace", action="store_true", help="log every message on stderr")
    args = parser.parse_args()
    if args.trace:
        logging.basicConfig(format="%(message)s")
        logging.getLogger("voxtrel.wire").setLevel(logging.DEBUG)
    return asyncio.run(host(args))


if __name__ == "__main__":
    sys.exit(main())
