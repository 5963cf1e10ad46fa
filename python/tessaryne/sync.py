"""Awaitable primitives for coroutines on many event loops at once.

Each class drives one native state machine shared by every loop and thread,
so an object made at import time, with no loop running, serves every loop of
the process. A coroutine that has to wait parks a future of its own running
loop in the native object; whoever makes its condition true wakes it on that
loop: at once when it is the loop running in the waking thread, otherwise
through the loop's ``call_soon_threadsafe``. The wake-up looks at the future
first: a waiter cancelled after it was granted a lock or a permit, handed an
item or woken in its turn gives the lock or permit back or passes the item or
the turn on, so cancellation never leaks a lock or loses an item.

``Lock``, ``Semaphore``, ``BoundedSemaphore``, ``Event``, ``Condition``,
``Queue``, ``LifoQueue`` and ``PriorityQueue`` are drop-ins for their asyncio
namesakes, with the same interface and the same order of wake-ups;
``RWLock``, ``WaitGroup``, ``Channel`` and ``select`` have no asyncio
counterpart.
"""

from __future__ import annotations

import asyncio
import functools
import math
import threading
from asyncio import QueueEmpty, QueueFull, QueueShutDown
from collections import deque
from collections.abc import Callable
from heapq import heappop, heappush
from types import GenericAlias
from typing import TYPE_CHECKING, Any, Generic, Literal, TypeVar, cast

from tessaryne._stdlib_internals import running_loop
from tessaryne._tessaryne_core import (
    RawAsyncChannel,
    RawAsyncQueue,
    RawAsyncRWMutex,
    RawAsyncSemaphore,
    RawAsyncWaitGroup,
)

__all__ = [
    "BoundedSemaphore",
    "Channel",
    "Condition",
    "Event",
    "LifoQueue",
    "Lock",
    "PriorityQueue",
    "Queue",
    "QueueEmpty",
    "QueueFull",
    "QueueShutDown",
    "RWLock",
    "Semaphore",
    "WaitGroup",
    "select",
]

T = TypeVar("T")

_Future = asyncio.Future[Any]
_Waiters = list[tuple[Any, _Future]] | None
# Hands back the waiters next in line when a woken one cannot take its turn.
_PassOn = Callable[[], _Waiters] | None


def _wake(waiters: _Waiters, value: object, pass_on: _PassOn) -> None:
    """Resolves the future of each waiter with `value` on the waiter's own
    loop: at once when that loop runs this code, otherwise in one
    ``call_soon_threadsafe`` per loop, which runs this again there. A waiter
    already cancelled, or whose loop is closed, passes its turn on."""
    running = running_loop()
    if waiters and len(waiters) == 1:
        loop, fut = waiters[0]
        if loop is running and not fut.cancelled():
            fut.set_result(value)
            return
    while waiters:
        passed: list[tuple[Any, _Future]] = []
        elsewhere: dict[Any, list[tuple[Any, _Future]]] | None = None
        for waiter in waiters:
            loop, fut = waiter
            if loop is not running:
                if elsewhere is None:
                    elsewhere = {}
                elsewhere.setdefault(loop, []).append(waiter)
            elif not fut.cancelled():
                fut.set_result(value)
            elif pass_on is not None:
                passed += pass_on() or ()
        for loop, theirs in (elsewhere or {}).items():
            try:
                loop.call_soon_threadsafe(_wake, theirs, value, pass_on)
            except RuntimeError:  # the loop is closed: its waiters will never run
                if pass_on is not None:
                    for _ in theirs:
                        passed += pass_on() or ()
        waiters = passed


async def _wait_in_line(raw: RawAsyncQueue, getter: bool) -> None:
    """Waits for a wake-up in the queue's line of getters or of putters. A
    waiter woken, and resolved, before its cancellation arrived passes its turn
    on; one woken but not yet resolved is passed on by _wake, which finds it
    cancelled."""
    loop = asyncio.get_running_loop()
    fut: _Future = loop.create_future()
    if raw.register_getter(loop, fut) if getter else raw.register_putter(loop, fut):
        return
    try:
        await fut
    except BaseException:
        fut.cancel()  # a wake-up still on its way finds it cancelled
        if not (raw.unregister_getter(fut) if getter else raw.unregister_putter(fut)) and not fut.cancelled():
            pass_on = raw.pass_getter_wakeup if getter else raw.pass_putter_wakeup
            _wake(pass_on(), None, pass_on)
        raise


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


class WaitGroup:
    """Counts outstanding work: ``add(n)``, ``done()``, and ``await wait()``
    until the count is back at zero. Reusable for any number of cycles."""

    __slots__ = ("_raw",)

    def __init__(self) -> None:
        self._raw = RawAsyncWaitGroup()

    def add(self, n: int = 1) -> None:
        _wake(self._raw.add(n), None, None)

    def done(self) -> None:
        _wake(self._raw.done(), None, None)

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


# --- asyncio's primitives, for every loop ---------------------------------------------------


async def _acquire_permit(raw: RawAsyncSemaphore) -> None:
    """Waits in the semaphore's line until granted a permit, then claims it."""
    loop = asyncio.get_running_loop()
    fut: _Future = loop.create_future()
    if raw.acquire_or_register(loop, fut):
        return
    try:
        await fut
    except BaseException:
        # Still queued: leave the line. Granted and resolved before the
        # cancellation arrived: give the permit back here. Granted but not yet
        # resolved: _wake finds the future cancelled and gives it back.
        fut.cancel()
        if not raw.unregister_waiter(fut) and not fut.cancelled():
            _wake(raw.give_back(), True, raw.give_back)
        raise
    granted = raw.claim()
    if granted:
        _wake(granted, True, raw.give_back)


def _with_waiters(instance: object, state: str, waiters: int) -> str:
    """asyncio's repr of a primitive: the default one, with the state in brackets."""
    default = object.__repr__(instance)
    extra = f"{state}, waiters:{waiters}" if waiters else state
    return f"<{default[1:-1]} [{extra}]>"


class _ContextManagerMixin:
    __slots__ = ()

    async def __aenter__(self) -> None:
        await self.acquire()  # type: ignore[attr-defined]

    async def __aexit__(self, exc_type: object, exc: object, tb: object) -> None:
        self.release()  # type: ignore[attr-defined]


class Lock(_ContextManagerMixin):
    """asyncio.Lock for coroutines on any loops. Waiters acquire in the order
    they came; a release wakes the oldest, and the lock counts as unlocked
    until that waiter runs, but nobody else can take it meanwhile."""

    __slots__ = ("_raw", "__weakref__")

    def __init__(self) -> None:
        self._raw = RawAsyncSemaphore(1, 1)

    def __repr__(self) -> str:
        _, waiting, in_transit = self._raw.state()
        return _with_waiters(self, "locked" if self.locked() else "unlocked", waiting + in_transit)

    def locked(self) -> bool:
        """True when the lock is held (a waiter woken to take it does not hold it yet)."""
        free, _, in_transit = self._raw.state()
        return free == 0 and in_transit == 0

    async def acquire(self) -> Literal[True]:
        if not self._raw.try_acquire():
            await _acquire_permit(self._raw)
        return True

    def release(self) -> None:
        try:
            granted = self._raw.release()
        except ValueError:
            raise RuntimeError("Lock is not acquired.") from None
        if granted:
            _wake(granted, True, self._raw.give_back)


class Semaphore(_ContextManagerMixin):
    """asyncio.Semaphore for coroutines on any loops: permits go first come,
    first served; a release grants its permit to the oldest waiter at once."""

    __slots__ = ("_raw", "__weakref__")

    def __init__(self, value: int = 1) -> None:
        if value < 0:
            raise ValueError("Semaphore initial value must be >= 0")
        self._raw = RawAsyncSemaphore(value)

    def __repr__(self) -> str:
        free, waiting, in_transit = self._raw.state()
        state = "locked" if self.locked() else f"unlocked, value:{free}"
        return _with_waiters(self, state, waiting + in_transit)

    def locked(self) -> bool:
        """True when acquire() would wait: no permit is free, or others are ahead."""
        return self._raw.locked()

    async def acquire(self) -> Literal[True]:
        if not self._raw.try_acquire():
            await _acquire_permit(self._raw)
        return True

    def release(self) -> None:
        granted = self._raw.release()
        if granted:
            _wake(granted, True, self._raw.give_back)


class BoundedSemaphore(Semaphore):
    """asyncio.BoundedSemaphore: a release that would raise the permits above
    the initial value raises ValueError."""

    __slots__ = ()

    def __init__(self, value: int = 1) -> None:
        if value < 0:
            raise ValueError("Semaphore initial value must be >= 0")
        self._raw = RawAsyncSemaphore(value, value)


class Event:
    """asyncio.Event for coroutines on any loops."""

    __slots__ = ("_raw", "__weakref__")

    def __init__(self) -> None:
        # The counter is 0 while the event is set, 1 while it is clear.
        self._raw = RawAsyncWaitGroup()
        self._raw.reset(1)

    def __repr__(self) -> str:
        return _with_waiters(self, "set" if self.is_set() else "unset", 0)

    def is_set(self) -> bool:
        return self._raw.counter() == 0

    def set(self) -> None:
        _wake(self._raw.reset(0), True, None)

    def clear(self) -> None:
        self._raw.reset(1)

    async def wait(self) -> Literal[True]:
        if not self._raw.counter():
            return True
        return await self._wait()  # apart, so that this coroutine stays small

    async def _wait(self) -> Literal[True]:
        raw = self._raw
        loop = asyncio.get_running_loop()
        fut: _Future = loop.create_future()
        if raw.register_waiter((loop, fut)):
            return True
        try:
            await fut
        except BaseException:
            raw.unregister_waiter(fut)
            raise
        return True


_ALL = 2**64 - 1  # every waiter: the most the native queue can hand out


class Condition(_ContextManagerMixin):
    """asyncio.Condition for coroutines on any loops, over a tessaryne.sync
    Lock of its own or the one given."""

    __slots__ = ("_lock", "_raw", "_notify_one", "locked", "acquire", "release", "__weakref__")

    def __init__(self, lock: Lock | None = None) -> None:
        if lock is None:
            lock = Lock()
        self._lock = lock
        self.locked = lock.locked
        self.acquire = lock.acquire
        self.release = lock.release
        # The waiters' line: a semaphore that never has a permit, woken by wake().
        self._raw = RawAsyncSemaphore(0)
        self._notify_one = functools.partial(self._raw.wake, 1)

    def __repr__(self) -> str:
        _, waiting, _ = self._raw.state()
        return _with_waiters(self, "locked" if self.locked() else "unlocked", waiting)

    async def wait(self) -> Literal[True]:
        """Releases the lock, waits to be notified, and takes the lock again
        (even when cancelled meanwhile)."""
        if not self.locked():
            raise RuntimeError("cannot wait on un-acquired lock")
        raw = self._raw
        loop = asyncio.get_running_loop()
        fut: _Future = loop.create_future()
        # In line before the lock is let go: a notification made on another
        # thread as soon as the lock is free cannot pass this waiter by.
        raw.acquire_or_register(loop, fut)  # never granted: it only queues
        try:
            self.release()
        except BaseException:
            if not raw.unregister_waiter(fut):
                self._notify(1)
            raise
        took_notification = True
        try:
            try:
                try:
                    await fut
                    return True
                except BaseException:
                    # Notified and resolved before the error: this task took the
                    # notification. Notified but not yet resolved: _wake passes it on.
                    fut.cancel()
                    took_notification = not raw.unregister_waiter(fut) and not fut.cancelled()
                    raise
            finally:
                error: BaseException | None = None
                while True:
                    try:
                        await self.acquire()
                        break
                    except asyncio.CancelledError as cancelled:
                        error = cancelled
                if error is not None:
                    try:
                        raise error  # the latest cancellation, as it was raised
                    finally:
                        error = None
        except BaseException:
            # A notification this task took but will not act on goes to another waiter.
            if took_notification:
                self._notify(1)
            raise

    async def wait_for(self, predicate: Callable[[], T]) -> T:
        result = predicate()
        while not result:
            await self.wait()
            result = predicate()
        return result

    def notify(self, n: int = 1) -> None:
        if not self.locked():
            raise RuntimeError("cannot notify on un-acquired lock")
        self._notify(n)

    def notify_all(self) -> None:
        self.notify(_ALL)

    def _notify(self, n: int) -> None:
        if n > 0:
            woken = self._raw.wake(n if n < _ALL else _ALL)
            if woken:
                _wake(woken, False, self._notify_one)


def _capacity(maxsize: float) -> int:
    """asyncio.Queue's bound as a count of items: full once qsize() >= maxsize."""
    return 0 if maxsize <= 0 else math.ceil(maxsize)


class Queue(Generic[T]):
    """asyncio.Queue for coroutines on any loops.

    The items live in the native queue, except in a subclass that replaces
    ``_init``, ``_get`` or ``_put`` (``LifoQueue``, ``PriorityQueue``): there
    the native queue counts them, and ``self._queue`` holds them, changed only
    under a thread lock (as in ``queue.Queue``), so an ordering method of the
    items runs under that lock."""

    _items_in_native = True

    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        cls._items_in_native = all(getattr(cls, hook) is getattr(Queue, hook) for hook in ("_init", "_get", "_put"))

    def __init__(self, maxsize: int = 0) -> None:
        self._maxsize = maxsize
        self._raw = RawAsyncQueue(_capacity(maxsize), QueueShutDown)
        self._mutex: threading.Lock | None = None
        if not self._items_in_native:
            self._mutex = threading.Lock()
            self._init(maxsize)

    # The hooks of a subclass that keeps the items itself; the queue's own items
    # never use them.

    def _init(self, maxsize: int) -> None:
        self._queue: Any = deque()

    def _get(self) -> T:
        return cast(T, self._queue.popleft())

    def _put(self, item: T) -> None:
        self._queue.append(item)

    if not TYPE_CHECKING:
        __class_getitem__ = classmethod(GenericAlias)

    def __repr__(self) -> str:
        return f"<{type(self).__name__} at {id(self):#x} {self._format()}>"

    def __str__(self) -> str:
        return f"<{type(self).__name__} {self._format()}>"

    def _format(self) -> str:
        _, getters, putters, unfinished, shut_down = self._raw.state()
        result = f"maxsize={self._maxsize!r}"
        if getattr(self, "_queue", None):
            result += f" _queue={list(self._queue)!r}"
        if getters:
            result += f" _getters[{getters}]"
        if putters:
            result += f" _putters[{putters}]"
        if unfinished:
            result += f" tasks={unfinished}"
        if shut_down:
            result += " shutdown"
        return result

    def qsize(self) -> int:
        return self._raw.qsize()

    @property
    def maxsize(self) -> int:
        return self._maxsize

    def empty(self) -> bool:
        return self._raw.qsize() == 0

    def full(self) -> bool:
        return self._raw.full()

    # put() and get() meet a full or an empty queue every time they wait: the
    # native queue answers that with False or None, not an exception.

    async def put(self, item: T) -> None:
        raw = self._raw
        while (woken := raw.put(item) if self._mutex is None else self._put_kept(item)) is False:
            await _wait_in_line(raw, False)
        if woken:
            _wake(woken, None, raw.pass_getter_wakeup)

    def put_nowait(self, item: T) -> None:
        raw = self._raw
        woken = raw.put(item) if self._mutex is None else self._put_kept(item)
        if woken is False:
            raise QueueFull
        if woken:
            _wake(woken, None, raw.pass_getter_wakeup)

    async def get(self) -> T:
        raw = self._raw
        while (taken := raw.get() if self._mutex is None else self._get_kept()) is None:
            await _wait_in_line(raw, True)
        item, woken = taken
        if woken:
            _wake(woken, None, raw.pass_putter_wakeup)
        return cast(T, item)

    def get_nowait(self) -> T:
        raw = self._raw
        taken = raw.get() if self._mutex is None else self._get_kept()
        if taken is None:
            raise QueueEmpty
        item, woken = taken
        if woken:
            _wake(woken, None, raw.pass_putter_wakeup)
        return cast(T, item)

    # The items kept by a subclass: under the lock, the native queue counts them.

    def _put_kept(self, item: T) -> _Waiters | Literal[False]:
        assert self._mutex is not None
        raw = self._raw
        with self._mutex:
            size, _, _, _, shut_down = raw.state()
            if shut_down:
                raise QueueShutDown
            if 0 < raw.maxsize <= size:
                return False
            self._put(item)  # first: an item it refuses changes nothing
            return raw.put(None)

    def _get_kept(self) -> tuple[Any, _Waiters] | None:
        assert self._mutex is not None
        raw = self._raw
        with self._mutex:
            if raw.qsize() == 0:
                return raw.get()  # None, or raises QueueShutDown
            item = self._get()
            return item, cast(tuple[Any, _Waiters], raw.get())[1]

    def task_done(self) -> None:
        _wake(self._raw.task_done(), None, None)

    async def join(self) -> None:
        raw = self._raw
        loop = asyncio.get_running_loop()
        fut: _Future = loop.create_future()
        if raw.register_joiner(loop, fut):
            return
        try:
            await fut
        except BaseException:
            raw.unregister_joiner(fut)
            raise

    def shutdown(self, immediate: bool = False) -> None:
        if self._mutex is None:
            woken = self._raw.shutdown(immediate)[1]
        else:
            with self._mutex:
                drained, woken = self._raw.shutdown(immediate)
                for _ in range(drained):
                    self._get()
        _wake(woken, None, None)


class PriorityQueue(Queue[T]):
    """asyncio.PriorityQueue: the lowest item first."""

    def _init(self, maxsize: int) -> None:
        self._queue = []

    def _put(self, item: T) -> None:
        heappush(self._queue, item)

    def _get(self) -> T:
        return cast(T, heappop(self._queue))


class LifoQueue(Queue[T]):
    """asyncio.LifoQueue: the latest item first."""

    def _init(self, maxsize: int) -> None:
        self._queue = []

    def _put(self, item: T) -> None:
        self._queue.append(item)

    def _get(self) -> T:
        return cast(T, self._queue.pop())
