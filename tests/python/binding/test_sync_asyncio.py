"""tessaryne.sync's drop-ins for asyncio's primitives: CPython's own tests of
asyncio's locks and queues, run against them, then the same classes shared by
several loops on several threads at once."""

import asyncio
import gc
import importlib.util
import inspect
import os
import pathlib
import platform
import random
import sys
import threading
import types
import unittest
import weakref

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tessaryne import sync
from waiters import HANG_GUARD, run_loops, settle

DROP_INS = ("Lock", "Semaphore", "BoundedSemaphore", "Event", "Condition", "Queue", "LifoQueue", "PriorityQueue")


def parameters(function):
    return [(p.name, p.kind, p.default) for p in inspect.signature(function).parameters.values()]


@pytest.mark.parametrize("name", DROP_INS)
def test_the_interface_is_asyncios(name):
    ours, theirs = getattr(sync, name)(), getattr(asyncio, name)()
    public = {attribute for attribute in dir(theirs) if not attribute.startswith("_")}
    assert public == {attribute for attribute in dir(ours) if not attribute.startswith("_")}
    for attribute in public | {"__init__", "__aenter__", "__aexit__"} & set(dir(theirs)):
        mine, model = getattr(ours, attribute), getattr(theirs, attribute)
        if callable(model):
            assert parameters(mine) == parameters(model), attribute
            assert inspect.iscoroutinefunction(mine) == inspect.iscoroutinefunction(model), attribute


def test_the_queue_exceptions_are_asyncios():
    assert (sync.QueueEmpty, sync.QueueFull, sync.QueueShutDown) == (
        asyncio.QueueEmpty,
        asyncio.QueueFull,
        asyncio.QueueShutDown,
    )


# --- CPython's own tests, on the drop-ins ---------------------------------------------------
# Imported from the source tree the build unpacks, never copied here. Each test module
# sees an `asyncio` whose primitives are ours; these cases cannot apply:
NOT_APPLICABLE = {
    "reads or fills asyncio's private deque of waiters, _waiters": (
        "LockTests.test_acquire_cancel", "LockTests.test_cancel_race", "LockTests.test_finished_waiter_cancelled",
        "EventTests.test_repr", "EventTests.test_wait_cancel", "EventTests.test_clear_with_waiters",
        "ConditionTests.test_wait_cancel", "ConditionTests.test_repr", "SemaphoreTests.test_repr",
        "SemaphoreTests.test_acquire", "SemaphoreTests.test_acquire_cancel", "SemaphoreTests.test_acquire_fifo_order_4"),
    "reads asyncio's private counter of free permits, _value": ("SemaphoreTests.test_semaphore",),
    "binds a primitive to one loop through the private _loop, which ours never do": (
        "ConditionTests.test_ambiguous_loops",),
    "reads or fills asyncio's private deques of getters and putters": (
        "QueueGetTests.test_get_with_putters", "QueueGetTests.test_cancelled_getters_not_being_held_in_self_getters",
        "QueuePutTests.test_cancelled_puts_not_being_held_in_self_putters"),
    "expects the items of a Queue in its repr, from asyncio's private _queue": (
        "QueueBasicTests.test_repr", "QueueBasicTests.test_str"),
    "sets asyncio's private count of unfinished tasks, _unfinished_tasks": (
        "QueueJoinTests.test_format", "LifoQueueJoinTests.test_format", "PriorityQueueJoinTests.test_format"),
}  # fmt: skip
CASES = {
    "test_locks": ("LockTests", "EventTests", "ConditionTests", "SemaphoreTests"),
    "test_queues": ("QueueBasicTests", "QueueGetTests", "QueuePutTests", "LifoQueueTests", "PriorityQueueTests",
                    "QueueJoinTests", "LifoQueueJoinTests", "PriorityQueueJoinTests", "QueueShutdownTests",
                    "LifoQueueShutdownTests", "PriorityQueueShutdownTests"),
}  # fmt: skip


def cpython_asyncio_tests():
    """The adapted test classes by name, or {} without the source tree."""
    source = pathlib.Path(
        os.environ.get("XDG_CACHE_HOME") or pathlib.Path.home() / ".cache",
        "tessaryne",
        "src",
        f"Python-{platform.python_version()}",
        "Lib",
        "test",
        "test_asyncio",
    )
    if not (source / "test_locks.py").is_file():
        return {}
    ours = types.SimpleNamespace(**vars(asyncio) | {name: getattr(sync, name) for name in DROP_INS})
    skips = {test: unittest.skip(reason) for reason, tests in NOT_APPLICABLE.items() for test in tests}
    adapted = {}
    kept = sys.dont_write_bytecode
    sys.dont_write_bytecode = True  # the source tree stays as unpacked
    try:
        for module_name, cases in CASES.items():
            spec = importlib.util.spec_from_file_location(f"cpython_{module_name}", source / f"{module_name}.py")
            module = importlib.util.module_from_spec(spec)
            spec.loader.exec_module(module)
            module.asyncio = ours
            for case_name in cases:
                case = getattr(module, case_name)
                body = {"__module__": __name__}
                if getattr(case, "q_class", None) is not None:  # the join and shutdown mixins
                    body["q_class"] = getattr(sync, case.q_class.__name__)
                for name in dir(case):
                    if f"{case_name}.{name}" in skips:
                        body[name] = skips[f"{case_name}.{name}"](getattr(case, name))
                adapted[f"TestDropIn{case_name}"] = type(f"TestDropIn{case_name}", (case,), body)
    finally:
        sys.dont_write_bytecode = kept
    return adapted


globals().update(
    cpython_asyncio_tests()
    or {"test_cpython_asyncio_suites": pytest.mark.skip("no CPython source tree in the cache")(lambda: None)}
)


# --- the same classes, shared by several loops on several threads ------------------------
# Made at import time, with no loop running, as an application's module-level objects are.
LOOPS = 4
PERMITS = [(sync.Lock(), 1), (sync.Semaphore(3), 3), (sync.BoundedSemaphore(2), 2), (sync.Condition(), 1)]


def cancelling(seed, body, rounds):
    """A loop's main: rounds of a few tasks running body(rng), some cancelled at a random point."""

    async def main():
        rng = random.Random(seed)
        for _ in range(rounds):
            tasks = [asyncio.create_task(body(rng)) for _ in range(rng.randint(1, 4))]
            await settle(rng.randrange(3))
            for task in tasks:
                if rng.random() < 0.3:
                    task.cancel()
            await asyncio.gather(*tasks, return_exceptions=True)

    return main


@pytest.mark.parametrize("primitive, bound", PERMITS, ids=[type(p).__name__ for p, _ in PERMITS])
def test_holders_never_pass_the_bound_and_every_permit_comes_back(primitive, bound):
    guard, inside, most, entered = threading.Lock(), [0], [0], [0]

    async def hold(rng):
        async with primitive:
            with guard:
                inside[0] += 1
                entered[0] += 1
                most[0] = max(most[0], inside[0])
            try:
                await settle(rng.randrange(2))
            finally:
                with guard:
                    inside[0] -= 1

    async def all_permits_back():
        for _ in range(bound):  # a lost permit leaves one of these waiting
            await primitive.acquire()
        assert primitive.locked()  # and there is no extra one
        for _ in range(bound):
            primitive.release()

    run_loops(*(cancelling(seed, hold, 300) for seed in range(LOOPS)))
    run_loops(all_permits_back)
    assert most[0] <= bound and entered[0] > 300


@settings(max_examples=6)
@given(
    kind=st.sampled_from(["Queue", "LifoQueue", "PriorityQueue"]), maxsize=st.integers(0, 4), seed=st.integers(0, 2**32)
)
def test_every_item_put_is_got_exactly_once(kind, maxsize, seed):
    # Producers and consumers on their own loops, their puts and gets cancelled
    # now and then: an item is put when put() returned, got when get() did.
    queue, produced = getattr(sync, kind)(maxsize), sync.Event()
    producers, per_producer, count_lock = 2, 300, threading.Lock()
    sent, got, finished = [], [], [0]

    def cancelled_now_and_then(rng, operation):
        async def run():
            task = asyncio.create_task(operation())
            if rng.random() < 0.2:
                await settle(rng.randrange(3))
                task.cancel()
            try:
                return True, await task
            except asyncio.CancelledError:
                return False, None

        return run()

    def producer(index):
        async def main():
            rng = random.Random(seed + index)
            for item in range(index, producers * per_producer, producers):
                put, _ = await cancelled_now_and_then(rng, lambda item=item: queue.put(item))
                if put:
                    sent.append(item)
                assert maxsize == 0 or queue.qsize() <= maxsize
            with count_lock:
                finished[0] += 1
                if finished[0] == producers:
                    produced.set()

        return main

    def consumer(index):
        async def main():
            rng = random.Random(seed - index)
            while True:
                try:
                    taken, item = await cancelled_now_and_then(rng, queue.get)
                except sync.QueueShutDown:
                    return
                if taken:
                    got.append(item)
                    queue.task_done()

        return main

    async def joiner():
        await produced.wait()
        await queue.join()  # every item put was got and marked done
        assert sorted(got) == sorted(sent)
        queue.shutdown()

    run_loops(producer(0), producer(1), consumer(0), consumer(1), joiner)
    assert len(got) == len(set(got)) and queue.empty() and len(sent) > producers * per_producer // 2


def test_two_loops_take_turns_through_a_condition_without_losing_a_notification():
    # Each loop waits for its turn, gives the turn to the other and notifies it,
    # as soon as the other lets the lock go: a notification that passes by a
    # waiter about to wait leaves both waiting.
    condition, turn, rounds = sync.Condition(), [0], 10000

    def player(me):
        async def main():
            for _ in range(rounds):
                async with condition:
                    await condition.wait_for(lambda: turn[0] == me)
                    turn[0] = 1 - me
                    condition.notify()

        return main

    run_loops(player(0), player(1))


# Each makes a primitive and returns what each of two waiters awaits, the
# wake-up of one waiter, and the check that exactly one took its turn (None
# where a wake-up wakes every waiter: there is no turn to take).


def lock_turn():
    lock = sync.Lock()
    asyncio.run(lock.acquire())  # held from the start: each round's winner keeps it

    async def wake():
        lock.release()  # grants the lock to the oldest waiter

    return lock.acquire, wake, lock.locked


def semaphore_turn():
    semaphore = sync.Semaphore(1)
    asyncio.run(semaphore.acquire())

    async def wake():
        semaphore.release()

    return semaphore.acquire, wake, semaphore.locked


def write_lock_turn():
    lock = sync.RWLock()
    asyncio.run(lock.write().__aenter__())
    return lock.write().__aenter__, lock.write().__aexit__, lambda: lock.snapshot() == (0, True, 0)


def condition_turn():
    condition, tokens = sync.Condition(), [0]

    async def wait():
        async with condition:
            await condition.wait_for(lambda: tokens[0])
            tokens[0] -= 1

    async def wake():
        async with condition:
            tokens[0] += 1
            condition.notify(1)

    return wait, wake, lambda: tokens == [0]


def getter_turn():
    queue = sync.Queue()
    return queue.get, lambda: queue.put("item"), queue.empty


def putter_turn():
    queue = sync.Queue(1)
    queue.put_nowait("item")

    async def wake():
        queue.get_nowait()

    return lambda: queue.put("item"), wake, queue.full


def receiver_turn():
    channel = sync.Channel()
    return channel.recv, lambda: channel.send("item"), lambda: channel._raw.qsize() == 0


def sender_turn():
    channel = sync.Channel(1)
    asyncio.run(channel.send("item"))
    return lambda: channel.send("item"), channel.recv, channel._raw.full


def select_turn():
    channel = sync.Channel()
    return lambda: sync.select(sync.Channel(), channel), lambda: channel.send("item"), lambda: channel._raw.qsize() == 0


def wait_group_wake():
    group = sync.WaitGroup()
    group.add()

    async def wake():
        group.done()

    return group.wait, wake, None


def event_wake():
    event = sync.Event()

    async def wake():
        event.set()

    return event.wait, wake, None


def join_wake():
    queue = sync.Queue()
    queue.put_nowait("item")
    queue.get_nowait()

    async def wake():
        queue.task_done()

    return queue.join, wake, None


TURNS = [lock_turn, semaphore_turn, write_lock_turn, condition_turn, getter_turn, putter_turn, receiver_turn,
         sender_turn, select_turn]  # fmt: skip
WAKES = [*TURNS, wait_group_wake, event_wake, join_wake]


@pytest.mark.parametrize("turn", TURNS)
def test_a_wake_up_reaches_the_next_waiter_when_the_woken_one_is_cancelled(turn):
    # Each round one loop wakes the oldest of two waiters on another loop, which
    # cancels that waiter at a random moment: before the wake-up arrives, after,
    # or (for the condition) while it takes the lock again. Unless it took its
    # turn first, the other waiter must take it: a lost wake-up hangs the round.
    wait, wake, one_turn_taken = turn()
    rounds, step = 300, threading.Barrier(2, timeout=HANG_GUARD)

    async def waker():
        for _ in range(rounds):
            step.wait()  # both wait
            await wake()
            step.wait()

    async def waiters():
        rng = random.Random(0)
        for _ in range(rounds):
            first = asyncio.create_task(wait())
            await settle(2)
            second = asyncio.create_task(wait())
            await settle(2)
            step.wait()
            await settle(rng.randrange(5))
            (second if first.done() else first).cancel()
            await asyncio.gather(first, second, return_exceptions=True)
            assert first.cancelled() != second.cancelled() and one_turn_taken()
            step.wait()

    run_loops(waker, waiters)


class Thrown(BaseException):
    pass


@pytest.mark.parametrize("ending", ["thrown", "closed"])
@pytest.mark.parametrize("resolved_first", [False, True])
@pytest.mark.parametrize("turn", WAKES)
def test_a_waiter_ended_by_another_exception_leaves_and_hands_its_turn_on(turn, resolved_first, ending):
    # A waiting coroutine ended where it waits by an exception thrown in, or
    # closed (GeneratorExit), not cancelled: it must leave the primitive, and
    # what a wake-up gave it before (a lock, a permit, an item, a turn) goes
    # to the other waiter, as after a cancellation.
    wait, wake, one_turn_taken = turn()

    async def main():
        gone = wait()
        waiter_future = weakref.ref(gone.send(None))  # parked on the primitive
        other = asyncio.create_task(wait())
        await settle()
        if resolved_first:
            await wake()
            await settle()
        try:
            gone.throw(Thrown()) if ending == "thrown" else gone.close()
        except Thrown:
            pass
        gc.collect()
        assert waiter_future() is None  # nothing holds it any more
        if not resolved_first:
            await wake()
        await asyncio.wait_for(other, HANG_GUARD)
        assert one_turn_taken is None or one_turn_taken()

    asyncio.run(main())
