"""The drop-ins for asyncio.queues: Queue, LifoQueue and PriorityQueue over
RawAsyncQueue, and asyncio's own exceptions of a queue."""

from __future__ import annotations

import functools
import math
import threading
from asyncio import QueueEmpty, QueueFull, QueueShutDown
from collections import deque
from heapq import heappop, heappush
from types import GenericAlias
from typing import TYPE_CHECKING, Any, Generic, Literal, TypeVar, cast

from tessaryne._tessaryne_core import RawAsyncQueue

from ._waiting import Waiters, hand_on, park, wake

__all__ = ["LifoQueue", "PriorityQueue", "Queue", "QueueEmpty", "QueueFull", "QueueShutDown"]

T = TypeVar("T")


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
        while not self._try_put(item):
            await park(raw.register_putter, raw.unregister_putter, functools.partial(hand_on, raw.pass_putter_wakeup))

    def put_nowait(self, item: T) -> None:
        if not self._try_put(item):
            raise QueueFull

    async def get(self) -> T:
        raw = self._raw
        while (taken := self._try_get()) is None:
            await park(raw.register_getter, raw.unregister_getter, functools.partial(hand_on, raw.pass_getter_wakeup))
        return cast(T, taken[0])

    def get_nowait(self) -> T:
        if (taken := self._try_get()) is None:
            raise QueueEmpty
        return cast(T, taken[0])

    def _try_put(self, item: T) -> bool:
        """Puts the item and wakes a getter to look, or returns False when the queue is full."""
        woken = self._raw.put(item) if self._mutex is None else self._put_kept(item)
        if woken is False:
            return False
        if woken:
            wake(woken, None, self._raw.pass_getter_wakeup)
        return True

    def _try_get(self) -> tuple[Any, Waiters] | None:
        """Takes an item and wakes a putter to look: (item, the putters woken), or None when empty."""
        taken = self._raw.get() if self._mutex is None else self._get_kept()
        if taken is not None and taken[1]:
            wake(taken[1], None, self._raw.pass_putter_wakeup)
        return taken

    # The items kept by a subclass: under the lock, the native queue counts them.

    def _put_kept(self, item: T) -> Waiters | Literal[False]:
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

    def _get_kept(self) -> tuple[Any, Waiters] | None:
        assert self._mutex is not None
        raw = self._raw
        with self._mutex:
            if raw.qsize() == 0:
                return raw.get()  # None, or raises QueueShutDown
            item = self._get()
            return item, cast(tuple[Any, Waiters], raw.get())[1]

    def task_done(self) -> None:
        wake(self._raw.task_done(), None, None)

    async def join(self) -> None:
        await park(self._raw.register_joiner, self._raw.unregister_joiner)  # every joiner is woken: no turn

    def shutdown(self, immediate: bool = False) -> None:
        if self._mutex is None:
            woken = self._raw.shutdown(immediate)[1]
        else:
            with self._mutex:
                drained, woken = self._raw.shutdown(immediate)
                for _ in range(drained):
                    self._get()
        wake(woken, None, None)


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
