"""RWLock: a reader-writer lock with writer preference, over RawAsyncRWMutex."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from tessaryne._tessaryne_core import RawAsyncRWMutex

from ._waiting import Future, Waiters, park

__all__ = ["RWLock"]


def _grant(fut: Future, give_back: Callable[[], None]) -> None:
    """Runs on the waiter's loop: the lock is already held on its behalf."""
    if fut.cancelled():
        give_back()
    else:
        fut.set_result(None)


def _wake_granted(waiters: Waiters) -> None:
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
            await park(self._register, self._unregister, self._give_back)

    async def __aexit__(self, *exc: object) -> None:
        self._give_back()

    def _register(self, loop: Any, fut: Future) -> bool:
        return self._acquire_or_register((loop, self._give_back), fut)

    def _unregister(self, fut: Future) -> None:
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
