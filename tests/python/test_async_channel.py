"""RawAsyncChannel: its state machine as seen from Python, the exact wake-up
calls it schedules on recording fake loops, failing loops, and callbacks or
finalizers that call back into the same channel."""

import gc
import subprocess
import sys
import weakref

import pytest

from tessaryne._tessaryne_core import RawAsyncChannel

CLOSED = "Channel is closed"


def wake_fn(future, value, is_error, has_value):
    raise AssertionError("only scheduled, never run by the channel")


def select_wake_fn(arbiter_fut, channel_token):
    raise AssertionError("only scheduled, never run by the channel")


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


class Future:
    """Equal to every other Future: the channel must match identity only."""

    def __eq__(self, other):
        return True

    __hash__ = object.__hash__


@pytest.fixture
def log():
    return []


def make(maxsize=0, **kwargs):
    kwargs.setdefault("wake_fn", wake_fn)
    kwargs.setdefault("select_wake_fn", select_wake_fn)
    return RawAsyncChannel(maxsize, **kwargs)


def closed_error(call, *args):
    with pytest.raises(RuntimeError) as caught:
        call(*args)
    return str(caught.value)


def lengths(channel):
    return channel.qsize(), channel.getters_len(), channel.putters_len(), channel.notifiers_len()


def test_buffer_bounds_and_close():
    unbounded = RawAsyncChannel()
    assert unbounded.maxsize == 0
    assert all(unbounded.try_send(i) for i in range(1000)) and not unbounded.full()

    bounded = RawAsyncChannel(2)
    assert bounded.empty() and bounded.try_recv() == (False, None)
    assert [bounded.try_send(x) for x in (None, "b", "c")] == [True, True, False]
    assert bounded.full() and bounded.qsize() == 2 and not bounded.empty()
    assert bounded.close() is None and bounded.close() is None and bounded.is_closed()
    assert closed_error(bounded.try_send, "d") == CLOSED
    assert closed_error(bounded.register_putter, Loop([], "L"), Future()) == CLOSED
    assert bounded.register_select_watcher(Loop([], "L"), Future(), None) is False
    assert bounded.try_recv() == (True, None)
    assert bounded.register_getter(Loop([], "L"), Future()) == (True, "b")
    assert closed_error(bounded.try_recv) == CLOSED
    assert closed_error(bounded.register_getter, Loop([], "L"), Future()) == CLOSED
    assert lengths(bounded) == (0, 0, 0, 0)


def test_hand_over_to_a_getter_wakes_every_putter_when_there_is_room(log):
    channel = make(1)
    getter_fut, putters = Future(), [Future(), Future()]
    assert channel.try_send("a")
    assert [channel.register_putter(Loop(log, f"P{i}"), fut) for i, fut in enumerate(putters)] == [False, False]
    assert channel.try_recv() == (True, "a")
    assert log == [("P0", wake_fn, putters[0], None, False, False)]
    assert channel.register_getter(Loop(log, "G"), getter_fut) == (False, None)
    assert channel.register_putter(Loop(log, "P2"), fut2 := Future()) is False
    log.clear()
    assert channel.try_send("x") is True
    assert log == [("G", wake_fn, getter_fut, "x", False, True),
                   ("P1", wake_fn, putters[1], None, False, False),
                   ("P2", wake_fn, fut2, None, False, False)]
    assert lengths(channel) == (0, 0, 0, 0)
    assert channel.register_putter(Loop(log, "P"), Future()) is True  # room, not stored
    assert channel.putters_len() == 0


def test_select_watchers(log):
    channel = make(1)
    arbiters = [Future(), Future(), Future()]
    for i, arbiter in enumerate(arbiters):
        assert channel.register_select_watcher(Loop(log, f"N{i}"), arbiter, f"T{i}") is True
    assert channel.try_send("x") and channel.try_send("y")  # past the bound: notifiers wait
    assert channel.qsize() == 2 and channel.notifiers_len() == 1
    assert channel.forward_select_wakeup() is None
    assert channel.forward_select_wakeup() is None  # nobody left
    assert channel.try_send("z") is False
    assert log == [(f"N{i}", select_wake_fn, arbiters[i], f"T{i}") for i in range(3)]
    assert channel.register_select_watcher(Loop(log, "N"), Future(), None) is False  # an item is there
    assert channel.notifiers_len() == 0

    empty = make()
    empty.register_select_watcher(Loop(log, "N"), arbiter := Future(), None)
    assert empty.unregister_select_watcher(Future()) is False  # equal but not the same
    assert empty.unregister_select_watcher(fut=arbiter) is True
    assert empty.unregister_select_watcher(arbiter) is False


def test_unregistering(log):
    channel = make(1)
    twice, other = Future(), Future()
    channel.register_getter(Loop(log, "G"), twice)
    channel.register_getter(Loop(log, "G"), twice)
    channel.register_getter(Loop(log, "H"), other)
    assert channel.unregister_getter(Future()) is False
    assert channel.unregister_getter(twice) is True and channel.getters_len() == 1
    assert channel.unregister_getter(twice) is False
    assert log == []

    # A putter already woken passes its wake-up on while there is room.
    assert channel.unregister_getter(other) is True
    channel.try_send("a")
    putters = [Future(), Future(), Future()]
    for i, fut in enumerate(putters):
        channel.register_putter(Loop(log, f"P{i}"), fut)
    assert channel.unregister_putter(putters[1]) is True
    channel.try_recv()
    assert channel.unregister_putter(putters[0]) is False
    assert channel.unregister_putter(putters[0]) is False  # no putter left
    assert [entry[0] for entry in log] == ["P0", "P2"]

    # A getter already woken passes the wake-up on to a notifier while items wait.
    selects = make()
    for name in ("N0", "N1"):
        selects.register_select_watcher(Loop(log, name), Future(), name)
    selects.try_send("x")
    log.clear()
    assert selects.unregister_getter(Future()) is False
    assert [entry[0] for entry in log] == ["N1"]


def test_close_fails_getters_then_putters_then_tells_notifiers(log):
    channel = make(1)
    channel.try_send("a")
    putter_a, putter_b, getter, arbiter = Future(), Future(), Future(), Future()
    channel.register_putter(Loop(log, "P0"), putter_a)
    channel.register_putter(Loop(log, "P1"), putter_b)
    channel.try_recv()
    channel.register_getter(Loop(log, "G"), getter)
    channel.register_select_watcher(Loop(log, "N"), arbiter, None)
    log.clear()
    channel.close()
    error = log[0][3]
    assert type(error) is RuntimeError and str(error) == CLOSED
    assert log == [("G", wake_fn, getter, error, True, True),
                   ("P1", wake_fn, putter_b, error, True, True),
                   ("N", select_wake_fn, arbiter, None)]
    assert lengths(channel) == (0, 0, 0, 0)
    log.clear()
    channel.close()
    assert log == []


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
        "close", "is_closed", "qsize", "empty", "full", "try_send", "try_recv", "register_getter",
        "unregister_getter", "register_putter", "unregister_putter", "register_select_watcher",
        "unregister_select_watcher", "forward_select_wakeup", "getters_len", "putters_len", "notifiers_len",
        "maxsize"]
    assert RawAsyncChannel.register_select_watcher.__text_signature__ == (
        "($self, loop_obj, arbiter_fut, channel_token)")
    assert RawAsyncChannel.try_recv.__text_signature__ == "($self)"
    assert RawAsyncChannel.try_send.__doc__ is None
    channel = RawAsyncChannel()
    with pytest.raises(TypeError, match=r"^RawAsyncChannel.register_select_watcher\(\) missing 1 required "
                                        r"positional argument: 'channel_token'$"):
        channel.register_select_watcher(1, 2)
    with pytest.raises(TypeError, match="got an unexpected keyword argument 'future'"):
        channel.unregister_getter(future=1)
    with pytest.raises(OverflowError) as caught:
        RawAsyncChannel(-1)
    assert caught.value.__notes__ == ["while processing 'maxsize'"]


def test_collector_breaks_cycles_through_items_waiters_and_wake_fn():
    class Node:
        pass

    probes = []
    for build in ("item", "getter", "notifier", "wake_fn"):
        node = Node()
        channel = RawAsyncChannel(0, (lambda *a: node) if build == "wake_fn" else None)
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
    assert result.stdout.strip() == (
        "True [('wake', 'x'), ('select', 'T'), ('wake', None)]")
