"""tessaryne.sync's drop-ins for asyncio's primitives: CPython's own tests of
asyncio's locks and queues, run against them, then the same classes shared by
several loops on several threads at once."""

import asyncio
import importlib.util
import os
import pathlib
import platform
import random
import sys
import threading
import types
import unittest
from concurrent.futures import ThreadPoolExecutor

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tessaryne import sync

DROP_INS = ("Lock", "Semaphore", "BoundedSemaphore", "Event", "Condition", "Queue", "LifoQueue", "PriorityQueue")


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
}
CASES = {
    "test_locks": ("LockTests", "EventTests", "ConditionTests", "SemaphoreTests"),
    "test_queues": ("QueueBasicTests", "QueueGetTests", "QueuePutTests", "LifoQueueTests", "PriorityQueueTests",
                    "QueueJoinTests", "LifoQueueJoinTests", "PriorityQueueJoinTests", "QueueShutdownTests",
                    "LifoQueueShutdownTests", "PriorityQueueShutdownTests"),
}


def cpython_asyncio_tests():
    """The adapted test classes by name, or {} without the source tree."""
    source = pathlib.Path(os.environ.get("XDG_CACHE_HOME") or pathlib.Path.home() / ".cache", "tessaryne", "src",
                          f"Python-{platform.python_version()}", "Lib", "test", "test_asyncio")
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


globals().update(cpython_asyncio_tests() or {
    "test_cpython_asyncio_suites": pytest.mark.skip("no CPython source tree in the cache")(lambda: None)})
