"""RawAsyncChannel from Python: the exact wake-up calls it schedules on
recording fake loops, failing loops, and callbacks or finalizers that call back
into the same channel. The state machine's edge cases are the C++ tests'."""

import gc
import subprocess
import sys
import weakref

import pytest

from tessaryne._tessaryne_core import RawAsyncChannel
from waiters import Future

CLOSED = "Channel is closed"


def wake_fn(future, value, is_error, has_value): ...


def select_wake_fn(arbiter_fut, channel_token): ...


class Loop:
    """Records each call_soon_threadsafe as (loop name, callable, *arguments)."""

    def __init__(self, log, name):
        self.log, self.name = log, name

    def call_soon_threadsafe(self, callback, *args):
        self.log.append((self.name, callback, *args))
        return object()  # a handle, dropped at once


class ClosedLoop:
    def __init__(self):
        self.calls = 0

    def call_soon_threadsafe(self, *args):
        self.calls += 1
        raise RuntimeError("Event loop is closed")


@pytest.fixture
def log():
    return []


def make(maxsize):
    return RawAsyncChannel(maxsize, wake_fn, select_wake_fn)


def lengths(channel):
    return channel.qsize(), channel.getters_len(), channel.putters_len(), channel.notifiers_len()


def test_exact_wake_up_calls(log):
    channel = make(1)
    putters = [Future() for _ in range(3)]
    getter, arbiter = Future(), Future()
    assert channel.register_putter(Loop(log, "P"), Future()) is True  # room: not stored
    assert channel.try_send(None) and channel.full()
    assert [channel.register_putter(Loop(log, f"P{i}"), fut) for i, fut in enumerate(putters[:2])] == [False, False]
    assert channel.try_recv() == (True, None)
    assert channel.register_getter(loop_obj=Loop(log, "G"), fut=getter) == (False, None)
    assert channel.register_putter(Loop(log, "P2"), putters[2]) is False
    assert channel.try_send("x") is True and lengths(channel) == (0, 0, 0, 0)
    assert channel.register_select_watcher(Loop(log, "N"), arbiter, None) is True
    assert channel.try_send("y") is True and channel.qsize() == 1
    assert log == [
        ("P0", wake_fn, putters[0], None, False, False),
        ("G", wake_fn, getter, "x", False, True),
        ("P1", wake_fn, putters[1], None, False, False),
        ("P2", wake_fn, putters[2], None, False, False),
        ("N", select_wake_fn, arbiter, None),
    ]

    channel.try_recv()
    for name, fut in (("G0", Future()), ("G1", getter)):
        channel.register_getter(Loop(log, name), fut)
    channel.register_select_watcher(Loop(log, "N"), arbiter, "T")
    assert channel.unregister_getter(Future()) is False  # equal, but not the same future
    log.clear()
    channel.close()
    channel.close()
    error = log[0][3]
    assert type(error) is RuntimeError and str(error) == CLOSED
    assert log[1:] == [("G1", wake_fn, getter, error, True, True), ("N", select_wake_fn, arbiter, "T")]
    assert lengths(channel) == (0, 0, 0, 0)
    with pytest.raises(RuntimeError, match=f"^{CLOSED}$"):
        channel.try_recv()


def test_a_failing_loop_is_silent_and_loses_no_item(log):
    channel = make(1)
    bad = ClosedLoop()
    channel.register_getter(bad, Future())
    channel.register_getter(Loop(log, "G"), good := Future())
    assert channel.try_send("x") is True  # the first getter's loop refuses: the next one gets it
    assert log == [("G", wake_fn, good, "x", False, True)] and bad.calls == 1

    # No getter left to take it: the item goes back in front, even past the
    # bound (here a send made while the hand-over was in flight filled it).
    class SendsThenFails:
        def call_soon_threadsafe(self, *args):
            channel.try_send("late")
            raise RuntimeError("Event loop is closed")

    channel.register_getter(SendsThenFails(), Future())
    channel.register_select_watcher(Loop(log, "N"), arbiter := Future(), "T")
    assert channel.try_send("y") is True
    assert log[-1] == ("N", select_wake_fn, arbiter, "T")
    assert channel.qsize() == 2 and channel.try_send("w") is False
    assert [channel.try_recv() for _ in range(3)] == [(True, "y"), (True, "late"), (False, None)]

    # Later records of the same operation are still delivered.
    channel.register_getter(bad, Future())
    channel.register_getter(Loop(log, "G2"), second := Future())
    channel.register_select_watcher(bad, Future(), None)
    log.clear()
    channel.close()
    assert [entry[:3] for entry in log] == [("G2", wake_fn, second)]
    assert bad.calls == 3


def test_without_wake_fn_an_item_for_a_getter_stays_receivable():
    channel = RawAsyncChannel(0)
    channel.register_getter(Loop([], "G"), Future())
    assert channel.try_send("x") is True
    assert channel.getters_len() == 0 and channel.try_recv() == (True, "x")


def test_methods_and_arguments():
    assert [name for name in vars(RawAsyncChannel) if not name.startswith("_")] == [
        "close",
        "is_closed",
        "qsize",
        "empty",
        "full",
        "try_send",
        "try_recv",
        "register_getter",
        "unregister_getter",
        "register_putter",
        "unregister_putter",
        "register_select_watcher",
        "unregister_select_watcher",
        "forward_select_wakeup",
        "getters_len",
        "putters_len",
        "notifiers_len",
        "maxsize",
    ]
    method = RawAsyncChannel.register_select_watcher
    assert method.__text_signature__ == "($self, loop_obj, arbiter_fut, channel_token)" and method.__doc__ is None
    with pytest.raises(
        TypeError,
        match=r"^RawAsyncChannel.register_select_watcher\(\) missing 1 required "
        r"positional argument: 'channel_token'$",
    ):
        RawAsyncChannel().register_select_watcher(1, 2)


def test_collector_breaks_cycles_through_items_waiters_and_wake_fn():
    class Node:
        pass

    probes = []
    for build in ("item", "getter", "notifier", "wake_fn"):
        node = Node()
        channel = RawAsyncChannel(0, (lambda *a, node=node: node) if build == "wake_fn" else None)
        node.channel = channel
        if build == "item":
            channel.try_send(node)
        elif build == "getter":
            channel.register_getter(node, Future())
        elif build == "notifier":
            channel.register_select_watcher(Loop([], "N"), Future(), node)
        probes.append(weakref.ref(node))
        del node, channel
    gc.collect()
    assert [probe() for probe in probes] == [None] * 4


# Wake-ups that run at once and call back into the same channel, and loops,
# futures and items whose finalizers do: a lock still held would deadlock, so
# the script runs in its own interpreter, bounded by a timeout.
REENTRANT = r"""
import gc
from tessaryne._tessaryne_core import RawAsyncChannel

calls = []

class EagerLoop:
    def call_soon_threadsafe(self, callback, *args):
        callback(*args)

def wake(future, value, is_error, has_value):
    calls.append(("wake", value if not is_error else "error"))
    channel.try_send("echo")          # back into the same channel, at once
    channel.getters_len()

def select_wake(arbiter, token):
    calls.append(("select", token))
    channel.forward_select_wakeup()
    channel.try_recv()

channel = RawAsyncChannel(1, wake, select_wake)
channel.register_getter(EagerLoop(), object())
channel.try_send("x")                 # wake runs inside: its echo is buffered
assert channel.try_recv() == (True, "echo"), calls
channel.register_select_watcher(EagerLoop(), object(), "T")
channel.try_send("y")                 # select_wake receives it at once
channel.try_send("z")
channel.register_putter(EagerLoop(), object())
channel.try_recv()                    # wakes the putter, whose wake sends again
channel.close()

class CallsBack:
    def __init__(self, target):
        self.target = target
    def __del__(self):
        calls.append("del")
        self.target.qsize()
        if not self.target.is_closed():
            self.target.try_send(None)
            self.target.unregister_getter(object())
    def call_soon_threadsafe(self, *args):
        raise RuntimeError("closed")

# Unregistered, woken, passed back and cleared waiters whose loop and future
# call back as they are released.
target = RawAsyncChannel(0, lambda *a: None, lambda *a: None)
target.register_getter(CallsBack(target), CallsBack(target))
target.register_getter(CallsBack(target), fut := CallsBack(target))
target.unregister_getter(fut)
del fut
target.try_send(CallsBack(target))     # the getter's loop refuses: the item goes back
target.register_select_watcher(CallsBack(target), CallsBack(target), CallsBack(target))
target.close()
del target
gc.disable()
cyclic = RawAsyncChannel(0, lambda *a: None)
cyclic.register_getter(CallsBack(cyclic), CallsBack(cyclic))
cyclic.register_putter(CallsBack(cyclic), CallsBack(cyclic))
cyclic.try_send(CallsBack(cyclic))
del cyclic
gc.collect()
print(calls.count("del") >= 10, [c for c in calls if c != "del"])
"""


def test_callbacks_and_finalizers_calling_back_do_not_deadlock():
    result = subprocess.run([sys.executable, "-c", REENTRANT], capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.strip() == ("True [('wake', 'x'), ('select', 'T'), ('wake', None)]")
