"""How every primitive of the package waits and wakes (the package's
docstring says what that guarantees); private to the package."""

from __future__ import annotations

import asyncio
from collections.abc import Callable
from typing import Any

from tessaryne._stdlib_internals import running_loop
from tessaryne._tessaryne_core import RawAsyncWaitGroup

__all__ = ["Future", "PassOn", "Waiters", "hand_on", "park", "until_zero", "wake"]

Future = asyncio.Future[Any]
Waiters = list[tuple[Any, Future]] | None
# Hands back the waiters next in line when a woken one cannot take its turn.
PassOn = Callable[[], Waiters] | None


def wake(waiters: Waiters, value: object, pass_on: PassOn) -> None:
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
        passed: list[tuple[Any, Future]] = []
        elsewhere: dict[Any, list[tuple[Any, Future]]] | None = None
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
                loop.call_soon_threadsafe(wake, theirs, value, pass_on)
            except RuntimeError:  # the loop is closed: its waiters will never run
                if pass_on is not None:
                    for _ in theirs:
                        passed += pass_on() or ()
        waiters = passed


def hand_on(pass_on: Callable[[], Waiters], value: object) -> None:
    """A waiter woken in its turn is gone: the waiters ``pass_on`` hands out
    next are woken in its place, with the value it was woken with."""
    wake(pass_on(), value, pass_on)


async def park(
    register: Callable[[Any, Future], object],
    unregister: Callable[[Future], object],
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
    fut: Future = loop.create_future()
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


async def until_zero(raw: RawAsyncWaitGroup) -> None:
    """Waits until the counter is zero; every waiter is woken then, so no turn is handed on."""
    await park(lambda loop, fut: raw.register_waiter((loop, fut)), raw.unregister_waiter)
