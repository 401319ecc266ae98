"""voxtrel.aio: the control for asyncio. Its methods are coroutines, and its events reach handlers
and async iterators on the event loop, woken by the control's descriptor rather than by polling.

    import asyncio
    from voxtrel.aio import AsyncControl

    async def main():
        async with AsyncControl() as control:
            async def offered(call_id, caller, callee, orig_call_id):
                await control.accept_call(call_id, caller, "")
            control.on_call_arrived = offered
            if await control.connect("pbx.example", 5060, 10, "user", "secret"):
                await control.incoming_call_handling("100", True)
                async for event in control.events():
                    print(event.name, *event.args)

    asyncio.run(main())
"""

from __future__ import annotations

import asyncio
import functools
import inspect
import weakref
from typing import Any, Callable, NamedTuple, Optional, Set, Tuple, Union

from .control import (EVENTS, RECONNECT_EVENTS, Control, Handlers, Reconnect, ReconnectSetting,
                      Text)

__all__ = ["AsyncControl", "Event", "EventStream"]


class Event(NamedTuple):
    """One event as the control reports it: its name (a key of EVENTS or RECONNECT_EVENTS) and
    the arguments its handler receives, e.g. Event("CallStateChanged", ("42", 3))."""

    name: str
    args: Tuple[Any, ...]


class EventStream:
    """An async iterator of the control's events (Event), from the moment it was made, in the
    order the control raised them; it ends when the control closes. Each stream gets every
    event; a stream that nothing refers to any more stops collecting them."""

    def __init__(self) -> None:
        self._queue: asyncio.Queue[Optional[Event]] = asyncio.Queue()
        self._ended = False

    def __aiter__(self) -> EventStream:
        return self

    async def __anext__(self) -> Event:
        event = None if self._ended else await self._queue.get()
        if event is None:
            self._ended = True
            raise StopAsyncIteration
        return event

    def _put(self, event: Optional[Event]) -> None:
        self._queue.put_nowait(event)


class AsyncControl(Handlers):
    """One Voxtrel control driven by the running asyncio event loop: make it inside a coroutine,
    on the loop's thread, and close it with aclose() or an async with block.

    The fifteen methods are coroutines with Control's arguments and results. connect() and
    disconnect(), which wait for the service, run on the loop's default executor while the loop
    goes on; the others only queue their request and return at once. While a connect() or
    disconnect() runs, events wait and the other methods wait for it to end.

    Events reach the handler attributes (see EVENTS and RECONNECT_EVENTS) on the loop's thread.
    A handler may be a plain function or a coroutine function: a coroutine handler runs as a
    task of its own, so it may await the control's methods. An exception a handler raises goes
    to the loop's exception handler. events() gives an async iterator of the same events.

    control is the underlying Control, for its window; pump it only through this object.
    """

    def __init__(self, reconnect: ReconnectSetting = None) -> None:
        self._loop = asyncio.get_running_loop()
        self._control = Control()
        self._streams: weakref.WeakSet[EventStream] = weakref.WeakSet()
        self._tasks: Set[asyncio.Future[Any]] = set()
        # The connect() or disconnect() under way on the executor. The loop's thread makes no
        # call into the control meanwhile, and the handle outlives it.
        self._blocking: Optional[asyncio.Future[Any]] = None
        self._timer: Optional[asyncio.TimerHandle] = None
        self._closing = False
        for name, attribute in list(EVENTS.items()) + list(RECONNECT_EVENTS.items()):
            setattr(self._control, attribute, functools.partial(self._deliver, name, attribute))
        self._descriptor = self._control.fileno()
        self._loop.add_reader(self._descriptor, self._pump)
        # Reconnect tries are made on the executor like connect(), never inside a pump on the
        # loop, which would hold up the loop as long as a connect can take.
        self._tries_by_host = hasattr(self._control._library, "voxtrel_reconnect_try")
        if self._tries_by_host:
            self._control._library.voxtrel_set_reconnect_by_host(self._control._handle, 1)
        self.reconnect = reconnect  # type: ignore[assignment]

    # The fifteen methods.

    async def connect(self, server_address: Text, server_port: int, timeout: int,
                      username: Text, password: Text) -> bool:
        """Connects and authenticates on the loop's executor, while the loop goes on; done
        within about timeout + 5 seconds (20 when timeout is 0 or less). server_port is 0 to
        65535 (or -32768 to -1, read as 16 bits)."""
        return await self._off_the_loop("voxtrel_connect", functools.partial(
            self._control._connect_arguments, server_address, server_port, timeout, username,
            password))

    async def disconnect(self) -> bool:
        """Drops the connection, on the loop's executor; events on their way are lost."""
        return await self._off_the_loop("voxtrel_disconnect", tuple)

    async def create_call(self, from_: Text, to: Text) -> str:
        return (await self._idle()).create_call(from_, to)

    async def close_call(self, call_id: Text) -> bool:
        return (await self._idle()).close_call(call_id)

    async def transfer_call(self, call_id: Text, to: Text) -> bool:
        return (await self._idle()).transfer_call(call_id, to)

    async def join_calls(self, call_id: Text, call_id_to_join: Text) -> bool:
        return (await self._idle()).join_calls(call_id, call_id_to_join)

    async def unjoin_calls(self, call_id: Text, call_id_to_unjoin: Text) -> bool:
        return (await self._idle()).unjoin_calls(call_id, call_id_to_unjoin)

    async def play_message(self, call_id: Text, file_name: Text, play_count: int) -> bool:
        return (await self._idle()).play_message(call_id, file_name, play_count)

    async def enable_dtmf_detection(self, call_id: Text, onoff: Union[bool, int]) -> bool:
        return (await self._idle()).enable_dtmf_detection(call_id, onoff)

    async def incoming_call_handling(self, extension_name: Text,
                                     enable: Union[bool, int]) -> bool:
        return (await self._idle()).incoming_call_handling(extension_name, enable)

    async def accept_call(self, call_id: Text, caller_id: Text, caller_disp_name: Text) -> bool:
        return (await self._idle()).accept_call(call_id, caller_id, caller_disp_name)

    async def reject_call(self, call_id: Text) -> bool:
        return (await self._idle()).reject_call(call_id)

    async def forward_call(self, call_id: Text, callee: Text, caller_id: Text,
                           caller_disp_name: Text) -> bool:
        return (await self._idle()).forward_call(call_id, callee, caller_id, caller_disp_name)

    async def subscribe_to_voice_mail(self, extension_name: Text) -> str:
        return (await self._idle()).subscribe_to_voice_mail(extension_name)

    async def unsubscribe(self, subscr_id: Text) -> bool:
        return (await self._idle()).unsubscribe(subscr_id)

    # Events and reconnecting.

    def events(self) -> EventStream:
        """A new async iterator of every event from now on, until the control closes:
        `async for event in control.events():`."""
        stream = EventStream()
        if self.closed:
            stream._put(None)
        else:
            self._streams.add(stream)
        return stream

    @property
    def reconnect(self) -> Optional[Reconnect]:
        """As Control.reconnect; the tries run on the executor, at their time. It cannot change
        while connect() or disconnect() runs (RuntimeError)."""
        return self._control.reconnect

    @reconnect.setter
    def reconnect(self, setting: ReconnectSetting) -> None:
        if self._blocking is not None:
            raise RuntimeError("reconnect cannot change while connect() or disconnect() runs")
        self._control.reconnect = setting  # type: ignore[assignment]
        self._arm()

    # Lifetime.

    @property
    def control(self) -> Control:
        """The underlying Control."""
        return self._control

    @property
    def closed(self) -> bool:
        """True once aclose() has begun."""
        return self._closing

    async def aclose(self) -> None:
        """Waits for a connect() or disconnect() under way, then closes the control and ends
        every event stream. Handler tasks still running go on; the control refuses what they
        ask of it."""
        if self._closing:
            return
        self._closing = True
        await self._idle()
        self._loop.remove_reader(self._descriptor)
        self._disarm()
        self._control.close()
        for stream in list(self._streams):
            stream._put(None)

    async def __aenter__(self) -> AsyncControl:
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.aclose()

    def __repr__(self) -> str:
        return f"<voxtrel.aio.AsyncControl {'closed' if self._closing else 'open'}>"

    # Plumbing.

    async def _idle(self) -> Control:
        """The control, once no connect() or disconnect() is under way."""
        while self._blocking is not None:
            # A cancelled caller leaves the call to finish: the handle must outlive it.
            await asyncio.shield(self._blocking)
        return self._control

    async def _off_the_loop(self, name: str, arguments: Callable[[], Tuple[Any, ...]]) -> bool:
        control = await self._idle()
        if self._closing:
            return False
        blocking = self._hand_off(functools.partial(control._call, name, *arguments()))
        blocking.add_done_callback(self._resume)
        return bool(await asyncio.shield(blocking))

    def _hand_off(self, call: Callable[[], Any]) -> asyncio.Future[Any]:
        """Runs call on the executor; the loop's thread leaves the control alone until it ends."""
        self._loop.remove_reader(self._descriptor)
        self._disarm()
        self._blocking = self._loop.run_in_executor(None, call)
        return self._blocking

    def _resume(self, _: asyncio.Future[Any]) -> None:
        self._blocking = None
        if not self._closing:
            self._loop.add_reader(self._descriptor, self._pump)
            self._arm()

    def _pump(self) -> None:
        try:
            self._control.pump(0)
        except Exception as error:  # noqa: BLE001 - the loop reports it, delivery goes on
            self._loop.call_exception_handler({"message": "a voxtrel handler raised",
                                               "exception": error})
        # Right after a pump, no time left means that a reconnect try is due.
        if (self._tries_by_host and not self._closing and self._blocking is None
                and self._control.next_timeout() == 0):
            self._try_off_the_loop()
        else:
            self._arm()

    def _try_off_the_loop(self) -> None:
        self._hand_off(functools.partial(self._control._library.voxtrel_reconnect_try,
                                         self._control._handle)).add_done_callback(self._reported)

    def _reported(self, future: asyncio.Future[Any]) -> None:
        """After a try: the pump fires its outcome and restores what the control had."""
        self._resume(future)
        if not self._closing:
            self._pump()

    def _arm(self) -> None:
        """Schedules a pump for when the control has work of its own (a reconnect try)."""
        self._disarm()
        delay = None if self._closing else self._control.next_timeout()
        if delay is not None:
            self._timer = self._loop.call_later(delay, self._pump)

    def _disarm(self) -> None:
        if self._timer is not None:
            self._timer.cancel()
            self._timer = None

    def _deliver(self, name: str, attribute: str, *arguments: Any) -> None:
        event = Event(name, arguments)
        for stream in list(self._streams):
            stream._put(event)
        handler = getattr(self, attribute)
        if handler is None:
            return
        result = handler(*arguments)
        if inspect.isawaitable(result):
            task = asyncio.ensure_future(result)
            self._tasks.add(task)
            task.add_done_callback(self._handled)

    def _handled(self, task: asyncio.Future[Any]) -> None:
        self._tasks.discard(task)
        if not task.cancelled() and task.exception() is not None:
            self._loop.call_exception_handler({"message": "a voxtrel handler raised",
                                               "exception": task.exception(), "future": task})


# The coroutines read as the methods they stand for.
for _name, _method in list(vars(AsyncControl).items()):
    if inspect.iscoroutinefunction(_method) and _method.__doc__ is None and hasattr(Control, _name):
        _method.__doc__ = getattr(Control, _name).__doc__
del _name, _method
