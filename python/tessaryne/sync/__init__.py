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

from .channel import Channel, select
from .locks import BoundedSemaphore, Condition, Event, Lock, Semaphore
from .queues import LifoQueue, PriorityQueue, Queue, QueueEmpty, QueueFull, QueueShutDown
from .rwlock import RWLock
from .wait_group import WaitGroup

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
