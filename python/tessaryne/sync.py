"""Awaitable lock, wait group and channel for coroutines on many event loops.

Each class drives one native state machine shared by every loop and thread.
A coroutine that has to wait parks a future of its own running loop in the
native object; whoever makes its condition true wakes it on that loop through
``call_soon_threadsafe``. The wake-up runs on the waiter's loop and looks at
the future first: a waiter cancelled after it was granted a lock or handed an
item gives the lock back or returns the item, so cancellation never leaks a
lock or drops an item.
"""

from __future__ import annotations

import asyncio
from collections import deque
from collections.abc import Callable
from typing import Any, Generic, TypeVar, cast

from tessaryne._tessaryne_core import RawAsyncChannel, RawAsyncRWMutex, RawAsyncWaitGroup

__all__ = ["Channel", "RWLock", "WaitGroup", "select"]

T = TypeVar("T")

_Future = asyncio.Future[Any]
_Waiters = list[tuple[Any, _Future]] | None


# --- lock ---------------------------------------------------------------------------


def _grant(fut: _Future, give_back: Callable[[], None]) -> None:
    """Runs on the waiter's loop: the lock is already held on its behalf."""
    if fut.cancelled():
        give_back()
    else:
        fut.set_result(None)


def _wake_granted(waiters: _Waiters) -> None:
    # A lock waiter registers (loop, give_back) in the loop's place, so that the
    # wake-up knows which kind of lock to hand back if the waiter is gone.
    for (loop, give_back), fut in waiters or ():
        try:
            loop.call_soon_threadsafe(_grant, fut, give_back)
        except RuntimeError:  # the loop is closed: its waiter will never run
            give_back()


class _Guard:
    """``async with`` for one side of the lock: made once per lock and side."""

    __slots__ = ("_lock", "_try_acquire", "_release", "_is_writer")

    def __init__(self, lock: RWLock, try_acquire: Callable[[], bool], release: Callable[[], None],
                 is_writer: bool) -> None:
        self._lock = lock
        self._try_acquire = try_acquire
        self._release = release
        self._is_writer = is_writer

    async def __aenter__(self) -> None:
        if not self._try_acquire():
            await self._lock._wait(self._is_writer, self._release)

    async def __aexit__(self, *exc: object) -> None:
        self._release()


class RWLock:
    """Reader-writer lock with writer preference: ``async with lock.read():``
    admits many readers, ``async with lock.write():`` one writer alone; once a
    writer waits, new readers queue behind it."""

    __slots__ = ("_raw", "_reader", "_writer")

    def __init__(self) -> None:
        self._raw = RawAsyncRWMutex()
        self._reader = _Guard(self, self._raw.try_acquire_read, self._release_read, False)
        self._writer = _Guard(self, self._raw.try_acquire_write, self._release_write, True)

    def read(self) -> _Guard:
        return self._reader

    def write(self) -> _Guard:
        return self._writer

    def snapshot(self) -> tuple[int, bool, int]:
        """(readers, writer held, writers waiting)."""
        return self._raw.snapshot()

    def _release_read(self) -> None:
        _wake_granted(self._raw.release_read())

    def _release_write(self) -> None:
        _wake_granted(self._raw.release_write())

    async def _wait(self, is_writer: bool, give_back: Callable[[], None]) -> None:
        loop = asyncio.get_running_loop()
        fut: _Future = loop.create_future()
        register = self._raw.acquire_write_or_register if is_writer else self._raw.acquire_read_or_register
        if register((loop, give_back), fut):
            return
        try:
            await fut
        except asyncio.CancelledError:
            # Still queued: leave the queue (which may admit readers behind a
            # writer). Granted and resolved before the cancellation arrived:
            # release here. Granted but not yet resolved: _grant gives it back.
            _wake_granted(self._raw.remove_waiter(None, fut, is_writer))
            if fut.done() and not fut.cancelled():
                give_back()
            raise


# --- wait group -----------------------------------------------------------------------


def _resolve(fut: _Future) -> None:
    if not fut.done():
        fut.set_result(None)


def _wake_all(waiters: _Waiters) -> None:
    for loop, fut in waiters or ():
        try:
            loop.call_soon_threadsafe(_resolve, fut)
        except RuntimeError:  # the loop is closed: nobody is left to wake
            pass


class WaitGroup:
    """Counts outstanding work: ``add(n)``, ``done()``, and ``await wait()``
    until the count is back at zero. Reusable for any number of cycles."""

    __slots__ = ("_raw",)

    def __init__(self) -> None:
        self._raw = RawAsyncWaitGroup()

    def add(self, n: int = 1) -> None:
        _wake_all(self._raw.add(n))

    def done(self) -> None:
        _wake_all(self._raw.done())

    async def wait(self) -> None:
        loop = asyncio.get_running_loop()
        fut: _Future = loop.create_future()
        if self._raw.register_waiter((loop, fut)):
            return
        try:
            await fut
        except asyncio.CancelledError:
            self._raw.unregister_waiter(fut)
            raise


# --- channel ----------------------------------------------------------------------------


def _select_wake(arbiter: _Future, channel: Channel[Any]) -> None:
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
        if raw.try_send(item):
            return
        loop = asyncio.get_running_loop()
        while True:
            fut: _Future = loop.create_future()
            if not raw.register_putter(loop, fut):
                try:
                    await fut
                except asyncio.CancelledError:
                    raw.unregister_putter(fut)  # already woken: the wake-up passes on
                    raise
            if raw.try_send(item):
                return

    async def recv(self) -> T:
        has_item, item = self._take()
        if has_item:
            return item
        loop = asyncio.get_running_loop()
        fut: _Future = loop.create_future()
        taken = self._raw.register_getter(loop, fut)
        if taken[0]:
            return cast(T, taken[1])
        try:
            result: T = await fut
            return result
        except asyncio.CancelledError:
            # Handed an item before the cancellation arrived: put it back. (An item
            # still on its way to the cancelled future is put back by _wake.)
            if not self._raw.unregister_getter(fut) and fut.done() and not fut.cancelled():
                if fut.exception() is None:
                    self._give_back(fut.result())
            raise

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

    def _wake(self, fut: _Future, value: Any, is_error: bool, has_value: bool) -> None:
        """Runs on the waiter's loop (receiver: item or error; sender: room or error)."""
        if fut.cancelled():
            if has_value and not is_error:
                self._give_back(value)
        elif is_error:
            fut.set_exception(RuntimeError(*value.args))  # one instance per waiter
        else:
            fut.set_result(value)


async def select(*channels: Channel[T]) -> tuple[Channel[T], T]:
    """Receives one item from whichever channel has one first, polling in the
    order given; returns (channel, item). Raises ``RuntimeError`` as ``recv``
    does when a channel it looks at is closed and drained."""
    for channel in channels:
        has_item, item = channel._take()
        if has_item:
            return channel, item
    loop = asyncio.get_running_loop()
    while True:
        arbiter: _Future = loop.create_future()
        watched: list[Channel[T]] = []
        ready: Channel[T] | None = None
        for channel in channels:
            if not channel._raw.register_select_watcher(loop, arbiter, channel):
                ready = channel  # an item, or closed: look now
                break
            watched.append(channel)
        if ready is None:
            try:
                ready = await arbiter
            except asyncio.CancelledError:
                for channel in watched:
                    channel._raw.unregister_select_watcher(arbiter)
                if arbiter.done() and not arbiter.cancelled():
                    arbiter.result()._raw.forward_select_wakeup()
                raise
        for channel in watched:
            channel._raw.unregister_select_watcher(arbiter)
        arbiter.cancel()  # wake-ups still on their way now pass on (see _select_wake)
        assert ready is not None
        for channel in (ready, *channels):
            has_item, item = channel._take()
            if has_item:
                return channel, item
