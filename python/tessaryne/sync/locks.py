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


def _hand_on(pass_on: Callable[[], _Waiters], value: object) -> None:
    """A waiter woken in its turn is gone: the waiters ``pass_on`` hands out
    next are woken in its place, with the value it was woken with."""
    _wake(pass_on(), value, pass_on)


async def _park(
    register: Callable[[Any, _Future], object],
    unregister: Callable[[_Future], object],
    hand_on: Callable[[Any], object] | None = None,
) -> Any:
    """Waits as a waiter of a native primitive, for what a wake-up resolves
    its future with. ``register(loop, future)`` queues a future of the
    running loop, or returns True when there is nothing to wait for (then
    this returns None). A wait that ends in an exception leaves the queue
    (``unregister(future)``), and one woken with a result before it hands
    that on (``hand_on(result)``: the lock or permit it was granted, the item
    or turn it was given); a wake-up still on its way finds the future
    cancelled and passes itself on."""
    loop = asyncio.get_running_loop()
    fut: _Future = loop.create_future()
    try:
        if register(loop, fut):
            return None
        return await fut
    # Every exception cleans up, not only CancelledError: a coroutine can also
    # be closed (GeneratorExit) or have an exception thrown in where it waits,
    # and a waiter left queued would then be granted what nobody releases. A
    # future failed by the primitive itself (a closed channel) holds nothing
    # to hand on.
    except BaseException:
        fut.cancel()
        unregister(fut)
        if hand_on is not None and not fut.cancelled() and fut.exception() is None:
            hand_on(fut.result())
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

    __slots__ = ("_raw", "_is_writer", "_try_acquire", "_acquire_or_register", "_release")

    def __init__(self, raw: RawAsyncRWMutex, is_writer: bool) -> None:
        self._raw = raw
        self._is_writer = is_writer
        if is_writer:
            self._try_acquire, self._acquire_or_register = raw.try_acquire_write, raw.acquire_write_or_register
            self._release = raw.release_write
        else:
            self._try_acquire, self._acquire_or_register = raw.try_acquire_read, raw.acquire_read_or_register
            self._release = raw.release_read

    async def __aenter__(self) -> None:
        if not self._try_acquire():
            await _park(self._register, self._unregister, self._give_back)

    async def __aexit__(self, *exc: object) -> None:
        self._give_back()

    def _register(self, loop: Any, fut: _Future) -> bool:
        return self._acquire_or_register((loop, self._give_back), fut)

    def _unregister(self, fut: _Future) -> None:
        # Leaving the write queue may admit the readers behind it.
        _wake_granted(self._raw.remove_waiter(None, fut, self._is_writer))

    def _give_back(self, _: object = None) -> None:
        _wake_granted(self._release())


class RWLock:
    """Reader-writer lock with writer preference: ``async with lock.read():``
    admits many readers, ``async with lock.write():`` one writer alone; once a
    writer waits, new readers queue behind it."""

    __slots__ = ("_raw", "_reader", "_writer")

    def __init__(self) -> None:
        self._raw = RawAsyncRWMutex()
        self._reader = _Guard(self._raw, False)
        self._writer = _Guard(self._raw, True)

    def read(self) -> _Guard:
        return self._reader

    def write(self) -> _Guard:
        return self._writer

    def snapshot(self) -> tuple[int, bool, int]:
        """(readers, writer held, writers waiting)."""
        return self._raw.snapshot()


# --- wait group -----------------------------------------------------------------------


async def _until_zero(raw: RawAsyncWaitGroup) -> None:
    """Waits until the counter is zero; every waiter is woken then, so no turn is handed on."""
    await _park(lambda loop, fut: raw.register_waiter((loop, fut)), raw.unregister_waiter)


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
        await _until_zero(self._raw)


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
        # A putter woken but gone needs no hand-on: the channel passes its wake-up on.
        while not raw.try_send(item):
            await _park(raw.register_putter, raw.unregister_putter)

    async def recv(self) -> T:
        has_item, item = self._take()
        if has_item:
            return item
        return cast(T, await _park(self._register_getter, self._raw.unregister_getter, self._give_back))

    def _register_getter(self, loop: Any, fut: _Future) -> bool:
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

    def _wake(self, fut: _Future, value: Any, is_error: bool, has_value: bool) -> None:
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
        self._arbiter: _Future | None = None

    def register(self, loop: Any, arbiter: _Future) -> bool:
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
    for channel in channels:
        has_item, item = channel._take()
        if has_item:
            return channel, item
    while True:
        selection = _Selection(channels)
        ready: Channel[T] = await _park(selection.register, selection.unregister, _Selection.hand_on)
        selection.unregister()  # its arbiter is done: wake-ups on their way pass on (see _select_wake)
        for channel in (ready, *channels):
            has_item, item = channel._take()
            if has_item:
                return channel, item


# --- asyncio's primitives, for every loop ---------------------------------------------------


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


class _Permits(_ContextManagerMixin):
    """What Lock and Semaphore share: the permits of a RawAsyncSemaphore."""

    __slots__ = ()
    _raw: RawAsyncSemaphore

    async def acquire(self) -> Literal[True]:
        raw = self._raw
        if not raw.try_acquire() and await _park(
            raw.acquire_or_register, raw.unregister_waiter, functools.partial(_hand_on, raw.give_back)
        ):
            # Granted in line: the permit was in transit until claimed here, and
            # permits freed meanwhile go to the next waiters now.
            self._grant(raw.claim())
        return True

    def _grant(self, granted: _Waiters) -> None:
        if granted:
            _wake(granted, True, self._raw.give_back)


class Lock(_Permits):
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

    def release(self) -> None:
        try:
            granted = self._raw.release()
        except ValueError:
            raise RuntimeError("Lock is not acquired.") from None
        self._grant(granted)


class Semaphore(_Permits):
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

    def release(self) -> None:
        self._grant(self._raw.release())


class BoundedSemaphore(Semaphore):
    """asyncio.BoundedSemaphore: a release that would raise the permits above
    the initial value raises ValueError."""

    __slots__ = ()

    def __init__(self, value: int = 1) -> None:  # its own, for the class's name in a TypeError
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
        if self._raw.counter():
            await _until_zero(self._raw)
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
        # The notification this task took, which goes to another waiter if
        # the task does not come back from here to act on it.
        taken: list[object] = []
        try:
            try:
                taken.append(await _park(self._join_line, self._raw.unregister_waiter, taken.append))
                return True
            finally:
                await self._reacquire()
        except BaseException:
            if taken:
                self._notify(1)
            raise

    def _join_line(self, loop: Any, fut: _Future) -> bool:
        # In line before the lock is let go: a notification made on another
        # thread as soon as the lock is free cannot pass this waiter by.
        self._raw.acquire_or_register(loop, fut)  # never granted: it only queues
        self.release()
        return False

    async def _reacquire(self) -> None:
        """Takes the lock again, through any cancellation; then raises the latest one, as it was raised."""
        error: BaseException | None = None
        while True:
            try:
                await self.acquire()
                break
            except asyncio.CancelledError as cancelled:
                error = cancelled
        if error is not None:
            try:
                raise error
            finally:
                error = None

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
    # native queue answers that with False or None, not an exception. A woken
    # getter or putter is not handed an item or room, only the turn to look
    # again, which one gone before it looked passes on.

    async def put(self, item: T) -> None:
        raw = self._raw
        while (woken := raw.put(item) if self._mutex is None else self._put_kept(item)) is False:
            await _park(raw.register_putter, raw.unregister_putter, functools.partial(_hand_on, raw.pass_putter_wakeup))
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
            await _park(raw.register_getter, raw.unregister_getter, functools.partial(_hand_on, raw.pass_getter_wakeup))
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
        await _park(self._raw.register_joiner, self._raw.unregister_joiner)  # every joiner is woken: no turn

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
