"""RawAsyncRWMutex through Python: the returned waiter lists, removal by future
identity, argument errors, and loops whose finalizers call back into the lock."""

import subprocess
import sys

import pytest

from tessaryne._tessaryne_core import RawAsyncRWMutex
from waiters import assert_waiters, waiter


def test_releases_hand_over_one_writer_or_every_reader():
    lock = RawAsyncRWMutex()
    assert lock.snapshot() == (0, False, 0)
    assert lock.try_acquire_read() is True
    writer, first, second = waiter("w"), waiter("r1"), waiter("r2")
    assert lock.acquire_write_or_register(*writer) is False
    assert lock.snapshot() == (1, False, 1) and lock.try_acquire_read() is False
    assert lock.acquire_read_or_register(*first) is False
    assert lock.acquire_read_or_register(loop_obj=second[0], fut_obj=second[1]) is False
    assert_waiters(lock.release_read(), [writer])
    assert lock.snapshot() == (0, True, 0)
    assert_waiters(lock.release_write(), [first, second])
    assert lock.snapshot() == (2, False, 0)
    assert [lock.release_read(), lock.release_read(), lock.release_read()] == [None, None, None]
    assert lock.snapshot() == (0, False, 0)


def test_removal_matches_the_future_by_identity_and_admits_readers():
    lock = RawAsyncRWMutex()
    lock.try_acquire_read()
    writer, twice, other = waiter("w"), waiter("twice"), waiter("other")
    assert twice[1] == other[1] == writer[1]
    lock.acquire_write_or_register(*writer)
    for entry in (twice, other, twice):
        lock.acquire_read_or_register(*entry)
    assert lock.remove_waiter("any loop", twice[1], False) is None  # both of its entries only
    assert_waiters(lock.remove_waiter(None, writer[1], is_writer=True), [other])
    assert lock.snapshot() == (2, False, 0)
    # Already granted: finds nothing, changes nothing.
    assert lock.remove_waiter(_loop_obj=None, fut_obj=other[1], is_writer=False) is None
    assert lock.snapshot() == (2, False, 0)


def test_argument_errors_change_nothing():
    lock = RawAsyncRWMutex()
    lock.try_acquire_write()
    entry = waiter("r")
    lock.acquire_read_or_register(*entry)
    with pytest.raises(TypeError) as caught:
        lock.remove_waiter(None, entry[1], 0)
    assert str(caught.value) == "'int' object is not an instance of 'bool'"
    assert caught.value.__notes__ == ["while processing 'is_writer'"]
    with pytest.raises(
        TypeError,
        match=r"^RawAsyncRWMutex.acquire_write_or_register\(\) missing 1 required "
        r"positional argument: 'fut_obj'$",
    ):
        lock.acquire_write_or_register(None)
    assert lock.snapshot() == (0, True, 0)
    assert_waiters(lock.release_write(), [entry])


# Loops whose finalizers call back into the lock, run when the lock lets go of
# them: removed, handed over, or cleared by the collector. A lock still held
# there would deadlock, so the script runs in its own interpreter.
REENTRANT_FINALIZERS = r"""
import gc
from tessaryne._tessaryne_core import RawAsyncRWMutex

seen = []

class Loop:
    def __init__(self, lock):
        self.lock = lock
    def __del__(self):
        seen.append(self.lock.snapshot())
        self.lock.remove_waiter(None, object(), True)

lock = RawAsyncRWMutex()
lock.try_acquire_write()
future = object()
for is_writer in (False, True):
    (lock.acquire_write_or_register if is_writer else lock.acquire_read_or_register)(Loop(lock), future)
    assert lock.remove_waiter(None, future, is_writer) is None  # drops the loop's last reference
lock.acquire_read_or_register(Loop(lock), future)
lock.release_write()  # the list, and the loop, dropped by the caller
assert seen == [(0, True, 0), (0, True, 0), (1, False, 0)], seen
gc.disable()
lock.release_read()
assert lock.try_acquire_write()
for _ in range(2):
    lock.acquire_read_or_register(Loop(lock), object())
    lock.acquire_write_or_register(Loop(lock), object())
del lock  # lock -> loop -> lock: only the collector frees it
gc.collect()
print(len(seen))
"""


def test_finalizers_calling_back_into_the_lock_do_not_deadlock():
    result = subprocess.run([sys.executable, "-c", REENTRANT_FINALIZERS], capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.split() == ["7"]
