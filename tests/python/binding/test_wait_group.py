"""RawAsyncWaitGroup through Python: the counter's errors, the returned waiter
lists, unregistering by future identity, argument conversion, and loops whose
finalizers call back into the group."""

import collections
import subprocess
import sys

import pytest

from tessaryne._tessaryne_core import RawAsyncWaitGroup
from waiters import Future, assert_waiters, waiter


def test_counter_errors_leave_the_group_unchanged():
    group = RawAsyncWaitGroup()
    for call, message in [
        (group.done, "WaitGroup counter went negative: too many done() calls"),
        (lambda: group.add(-1), "WaitGroup counter went negative: add() with negative delta"),
    ]:
        with pytest.raises(RuntimeError) as caught:
            call()
        assert str(caught.value) == message
    assert group.add(0) is None
    for delta in (2**63 - 1, 2**63 - 1, 1):
        assert group.add(delta) is None
    with pytest.raises(RuntimeError) as caught:
        group.add(1)
    assert str(caught.value) == "WaitGroup counter overflowed: add() with positive delta"
    assert group.add(-(2**63)) is None
    assert group.add(delta=-(2**63 - 1)) == []  # so the refused add changed nothing


def test_waiters_are_handed_over_at_zero_and_unregistered_by_identity():
    group = RawAsyncWaitGroup()
    group.add(3)
    first, twice, second = waiter("1"), waiter("twice"), waiter("2")
    assert first[1] == twice[1] == second[1]
    for entry in (first, twice, second, twice):
        assert group.register_waiter(entry) is False
    assert group.unregister_waiter(twice[1]) is True  # both of its entries only
    assert group.unregister_waiter(fut=twice[1]) is False
    assert group.done() is None
    assert_waiters(group.add(-2), [first, second])
    assert group.register_waiter(first) is True  # zero: not kept
    assert group.unregister_waiter(first[1]) is False


class Index:
    def __index__(self):
        return 1


@pytest.mark.parametrize("argument, parameter, error, message", [
    ("1", "delta", TypeError, "'str' object cannot be interpreted as an integer"),
    (2**63, "delta", OverflowError, None),
    (["loop", Future()], "waiter", TypeError, "'list' object is not an instance of 'tuple'"),
    (("loop", Future(), "x"), "waiter", ValueError, "expected tuple of length 2, but got tuple of length 3"),
])  # fmt: skip
def test_argument_errors_carry_the_parameter_note_and_change_nothing(argument, parameter, error, message):
    group = RawAsyncWaitGroup()
    group.add(Index())
    with pytest.raises(error) as caught:
        group.add(argument) if parameter == "delta" else group.register_waiter(argument)
    assert message is None or str(caught.value) == message
    assert caught.value.__notes__ == [f"while processing '{parameter}'"]
    entry = collections.namedtuple("Pair", "loop future")("loop", Future())  # a tuple subclass serves
    assert group.register_waiter(entry) is False
    assert_waiters(group.done(), [entry])


# Loops whose finalizers call back into the group, run when the group lets go
# of them: unregistered, handed over, refused, or cleared by the collector. A
# lock still held there would deadlock, so the script runs in its own
# interpreter.
REENTRANT_FINALIZERS = r"""
import gc
from tessaryne._tessaryne_core import RawAsyncWaitGroup

seen = []

class Loop:
    def __init__(self, group):
        self.group = group
    def __del__(self):
        seen.append(self.group.unregister_waiter(object()))
        self.group.add(1)

group = RawAsyncWaitGroup()
group.add(1)
future = object()
group.register_waiter((Loop(group), future))
assert group.unregister_waiter(future) is True  # drops the loop's last reference
group.register_waiter((Loop(group), future))
assert len(group.add(-2)) == 1  # the list, and the loop, dropped by the caller
assert group.done() == []
assert group.register_waiter((Loop(group), future)) is True
gc.disable()
for _ in range(3):
    group.register_waiter((Loop(group), object()))
del group  # group -> loop -> group: only the collector frees it
gc.collect()
print(len(seen))
"""


def test_finalizers_calling_back_into_the_group_do_not_deadlock():
    result = subprocess.run([sys.executable, "-c", REENTRANT_FINALIZERS], capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.split() == ["6"]
