#!/usr/bin/env python3
"""A small Python host of the Voxtrel control: connects to a call-processing service, creates a
call and prints the control's events for a few seconds."""

import argparse
import selectors
import sys
import time

import voxtrel


def main(argv=None):
    parser = argparse.ArgumentParser(
        description="Connects to a call-processing service, creates a call and prints the "
        "events.")
    parser.add_argument("address")
    parser.add_argument("port", type=int)
    parser.add_argument("user", nargs="?", default="")
    parser.add_argument("password", nargs="?", default="")
    parser.add_argument("--from", dest="from_", default="pbx:100")
    parser.add_argument("--to", default="pbx:200")
    parser.add_argument("--seconds", type=float, default=5.0)
    args = parser.parse_args(argv)

    with voxtrel.Control() as control:
        for name, attribute in voxtrel.EVENTS.items():
            setattr(control, attribute,
                    lambda *values, name=name: print(name, *values, flush=True))
        if not control.connect(args.address, args.port, 10, args.user, args.password):
            print(f"host: could not connect to {args.address}:{args.port}", file=sys.stderr)
            return 1
        print("Connected", flush=True)
        call_id = control.create_call(args.from_, args.to)
        print("CreateCall", call_id if call_id != "0" else "refused", flush=True)

        # The control's descriptor in a selector, as a host with its own loop would use it.
        with selectors.DefaultSelector() as selector:
            selector.register(control, selectors.EVENT_READ)
            end = time.monotonic() + args.seconds
            while (left := end - time.monotonic()) > 0:
                if selector.select(left):
                    control.pump(0)
        control.disconnect()
    return 0


if __name__ == "__main__":
    sys.exit(main())
