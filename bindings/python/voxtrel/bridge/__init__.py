"""voxtrel.bridge: the control for web pages and WebSocket clients. `voxtrel-bridge` (or
`python3 -m voxtrel.bridge`) serves each WebSocket connection its own control, the fifteen
methods as JSON-RPC 2.0 requests and the events as notifications, and the console page; see
docs/bridge.md. It needs aiohttp."""

from .server import Bridge, main

__all__ = ["Bridge", "main"]
