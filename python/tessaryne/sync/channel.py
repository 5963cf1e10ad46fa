"""Channel and select: first-in first-out channels between coroutines on any
loops, over RawAsyncChannel, and a receive from whichever has an item first."""

from __future__ import annotations

from collections import deque
from typing import Any, Generic, TypeVar, cast

from tessaryne._tessaryne_core import RawAsyncChannel

from ._waiting import Future, park

__all__ = ["Channel", "select"]

T = TypeVar("T")


def _select_wake(arbiter: Future, channel: Channel[Any]) -> None:
    if arbiter.done():  # woken by another channel, or cancelled: pass the wake-up on
        channel._raw.forward_select_wakeup()
    else:
        arbiter.set_result(channel)


class Channel(Generic[T]):
    """First-in first-out channel between coroutines on any loops; ``maxsize``
    0 is unbounded. ``await send(item)`` waits for room, ``await recv()`` for
    an item; after ``close()`` both raise ``RuntimeError("Channel is closed")``,
    a receiver only once every buffered item has been taken."""

    __slots__ = ("_raw", "_returned")

    def __init__(self, maxsize: int = 0) -> None:
        self._raw = RawAsyncChannel(maxsize, self._wake, _select_wake)
        # Items that receivers cancelled after the hand-over could not put back
        # (channel full or closed); they are received before the channel's own.
        self._returned: deque[T] = deque()

    def close(self) -> None:
        self._raw.close()

    def is_closed(self) -> bool:
        return self._raw.is_closed()

    async def send(self, item: T) -> None:
        raw = self._raw
        # A putter woken but gone needs no hand-on: the channel passes its wake-up on.
        while not raw.try_send(item):
            await park(raw.register_putter, raw.unregister_putter)

    async def recv(self) -> T:
        has_item, item = self._take()
        if has_item:
            return item
        return cast(T, await park(self._register_getter, self._raw.unregister_getter, self._give_back))

    def _register_getter(self, loop: Any, fut: Future) -> bool:
        has_item, item = self._raw.register_getter(loop, fut)
        if has_item:  # handed one at once: the wait for it ends without suspending
            fut.set_result(item)
        return False

    def _take(self) -> tuple[bool, T]:
        if self._returned:
            try:
                return True, self._returned.popleft()
            except IndexError:
                pass
        try:
            has_item, item = self._raw.try_recv()
            return has_item, cast(T, item)
        except RuntimeError:
            if self._returned:  # given back while the channel closed
                return self._take()
            raise

    def _give_back(self, item: T) -> None:
        try:
            if self._raw.try_send(item):
                return
        except RuntimeError:
            pass
        self._returned.append(item)

    def _wake(self, fut: Future, value: Any, is_error: bool, has_value: bool) -> None:
        """Runs on the waiter's loop (receiver: item or error; sender: room or error)."""
        if fut.cancelled():
            if has_value and not is_error:
                self._give_back(value)
        elif is_error:
            fut.set_exception(RuntimeError(*value.args))  # one instance per waiter
        else:
            fut.set_result(value)


class _Selection:
    """One round of a select: a waiter on every channel watched, whose arbiter
    future the first channel to have an item or be closed resolves."""

    __slots__ = ("_channels", "_watched", "_arbiter")

    def __init__(self, channels: tuple[Channel[Any], ...]) -> None:
        self._channels = channels
        self._watched: list[Channel[Any]] = []
        self._arbiter: Future | None = None

    def register(self, loop: Any, arbiter: Future) -> bool:
        self._arbiter = arbiter
        for channel in self._channels:
            if not channel._raw.register_select_watcher(loop, arbiter, channel):
                arbiter.set_result(channel)  # an item, or closed: look now, without suspending
                break
            self._watched.append(channel)
        return False

    def unregister(self, _: object = None) -> None:
        for channel in self._watched:
            channel._raw.unregister_select_watcher(self._arbiter)

    @staticmethod
    def hand_on(channel: Channel[Any]) -> None:
        channel._raw.forward_select_wakeup()


async def select(*channels: Channel[T]) -> tuple[Channel[T], T]:
    """Receives one item from whichever channel has one first, polling in the
    order given; returns (channel, item). Raises ``RuntimeError`` as ``recv``
    does when a channel it looks at is closed and drained."""
    looking = channels
    while True:
        for channel in looking:
            has_item, item = channel._take()
            if has_item:
                return channel, item
        selection = _Selection(channels)
        ready: Channel[T] = await park(selection.register, selection.unregister, _Selection.hand_on)
        selection.unregister()  # its arbiter is done: wake-ups on their way pass on (see _select_wake)
        looking = (ready, *channels)
