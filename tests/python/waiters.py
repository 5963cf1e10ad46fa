"""Waiters for the tests of the asynchronous primitives: futures that only
identity tells apart, a check of returned waiter lists, and coroutines run on
one loop per thread."""

import asyncio
import threading
from concurrent.futures import ThreadPoolExecutor

HANG_GUARD = 15  # seconds; only turns a lost wake-up into a failure instead of a hang


class Future:
    """Equal to every other future: only identity tells two apart."""

    def __eq__(self, other):
        return True

    __hash__ = object.__hash__


def waiter(name):
    return (f"loop {name}", Future())


def assert_waiters(returned, expected):
    """The same (loop, future) objects, as 2-tuples, oldest first."""
    assert type(returned) is list and all(type(item) is tuple for item in returned)
    assert [tuple(map(id, item)) for item in returned] == [tuple(map(id, item)) for item in expected]


def run_loops(*mains):
    """Runs each coroutine function on its own loop in its own thread, all
    starting together; re-raises a failure."""
    start = threading.Barrier(len(mains))

    async def guarded(main):
        start.wait()
        return await asyncio.wait_for(main(), HANG_GUARD)

    with ThreadPoolExecutor(len(mains)) as pool:
        for future in [pool.submit(asyncio.run, guarded(main)) for main in mains]:
            future.result()


async def settle(rounds=10):
    for _ in range(rounds):
        await asyncio.sleep(0)
