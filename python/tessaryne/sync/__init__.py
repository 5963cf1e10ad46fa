"""Awaitable primitives for coroutines on many event loops at once."""

from tessaryne.sync.locks import (
    BoundedSemaphore,
    Channel,
    Condition,
    Event,
    LifoQueue,
    Lock,
    PriorityQueue,
    Queue,
    QueueEmpty,
    QueueFull,
    QueueShutDown,
    RWLock,
    Semaphore,
    WaitGroup,
    select,
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
