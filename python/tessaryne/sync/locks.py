"""The drop-ins for asyncio.locks: Lock, Semaphore, BoundedSemaphore, Event
and Condition, over RawAsyncSemaphore and RawAsyncWaitGroup."""

from __future__ import annotations

import asyncio
import functools
from collections.abc import Callable
from typing import Any, Literal, TypeVar

from tessaryne._tessaryne_core import RawAsyncSemaphore, RawAsyncWaitGroup

from ._waiting import Future, Waiters, hand_on, park, until_zero, wake

__all__ = ["BoundedSemaphore", "Condition", "Event", "Lock", "Semaphore"]

T = TypeVar("T")


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
        if not raw.try_acquire() and await park(
            raw.acquire_or_register, raw.unregister_waiter, functools.partial(hand_on, raw.give_back)
        ):
            # Granted in line: the permit was in transit until claimed here, and
            # permits freed meanwhile go to the next waiters now.
            self._grant(raw.claim())
        return True

    def _grant(self, granted: Waiters) -> None:
        if granted:
            wake(granted, True, self._raw.give_back)


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
    _bounded = False  # whether the initial value is also the most permits there can be

    def __init__(self, value: int = 1) -> None:
        if value < 0:
            raise ValueError("Semaphore initial value must be >= 0")
        self._raw = RawAsyncSemaphore(value, value if self._bounded else None)

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
    _bounded = True

    def __init__(self, value: int = 1) -> None:  # its own, for the class's name in a TypeError
        super().__init__(value)


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
        wake(self._raw.reset(0), True, None)

    def clear(self) -> None:
        self._raw.reset(1)

    async def wait(self) -> Literal[True]:
        if self._raw.counter():
            await until_zero(self._raw)
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
                taken.append(await park(self._join_line, self._raw.unregister_waiter, taken.append))
                return True
            finally:
                await self._reacquire()
        except BaseException:
            if taken:
                self._notify(1)
            raise

    def _join_line(self, loop: Any, fut: Future) -> bool:
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
                wake(woken, False, self._notify_one)
