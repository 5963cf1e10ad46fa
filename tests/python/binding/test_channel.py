"""Channel: non-blocking sends and receives, close, and items whose finalizers
call back into their channel."""

import subprocess
import sys
import threading

import pytest

from tessaryne._tessaryne_core import Channel

CLOSED = "Channel is closed"


def closed_error(call):
    with pytest.raises(RuntimeError) as caught:
        call()
    return str(caught.value)


def test_bounded_channel_refuses_when_full_and_makes_room_on_receive():
    channel = Channel(2)
    assert [channel.try_send(item) for item in ("a", "b", "c")] == [True, True, False]
    assert channel.try_recv() == (True, "a")
    assert channel.try_send("d") is True
    assert channel.qsize() == 2
    assert [channel.try_recv() for _ in range(3)] == [(True, "b"), (True, "d"), (False, None)]


def test_unbounded_channel_is_never_full():
    channel = Channel(maxsize=0)
    assert all(channel.try_send(item) for item in range(10_000))
    assert channel.qsize() == 10_000
    assert [channel.try_recv()[1] for _ in range(10_000)] == list(range(10_000))


def test_none_is_an_item_told_apart_from_empty():
    channel = Channel(0)
    assert channel.try_recv() == (False, None)
    assert channel.try_send(item=None) is True
    assert channel.try_recv() == (True, None)
    assert channel.try_recv() == (False, None)


def test_close_stops_sends_at_once_and_drains_in_order():
    channel = Channel(1)
    assert channel.try_send(1) and not channel.is_closed()
    channel.close()
    channel.close()  # again: nothing changes
    assert channel.is_closed()
    assert closed_error(lambda: channel.try_send(2)) == CLOSED  # closed wins over full
    assert channel.try_recv() == (True, 1)
    assert closed_error(channel.try_recv) == CLOSED
    assert closed_error(lambda: channel.try_send(3)) == CLOSED
    assert channel.qsize() == 0


def test_maxsize_conversion_and_method_documentation():
    with pytest.raises(OverflowError) as caught:
        Channel(-1)
    assert caught.value.__notes__ == ["while processing 'maxsize'"]
    assert Channel(2**64 - 1).try_send(item=1) is True
    assert [name for name in vars(Channel) if not name.startswith("_")] == [
        "close",
        "is_closed",
        "try_send",
        "try_recv",
        "qsize",
    ]
    assert Channel.try_send.__text_signature__ == "($self, item)"
    assert Channel.try_recv.__doc__.startswith("Non-blocking receive.\n\n")
    assert Channel.qsize.__doc__ is None


@pytest.mark.parametrize("maxsize", [0, 4])
def test_close_racing_senders_loses_nothing(maxsize):
    """Two senders, two receivers and a close: every item whose send returned
    True is received exactly once, and each sender's items arrive in order.
    Senders send until the channel refuses, so the close lands among sends."""
    channel = Channel(maxsize)
    stride = 1 << 40  # sender i sends i * stride + 0, 1, 2, ...
    sent_counts = [0, 0]
    received = [[], []]
    enough_received = threading.Event()

    def send(index):
        item = index * stride
        try:
            while True:
                while not channel.try_send(item):
                    pass
                item += 1
        except RuntimeError:
            sent_counts[index] = item - index * stride

    def receive(index):
        mine = received[index]
        while True:
            try:
                has_item, item = channel.try_recv()
            except RuntimeError:
                return
            if has_item:
                mine.append(item)
                if len(mine) == 5_000:
                    enough_received.set()

    threads = [threading.Thread(target=send, args=(i,)) for i in range(2)]
    threads += [threading.Thread(target=receive, args=(i,)) for i in range(2)]
    for thread in threads:
        thread.start()
    enough_received.wait()
    channel.close()
    for thread in threads:
        thread.join()
    expected = [sender * stride + i for sender in range(2) for i in range(sent_counts[sender])]
    assert sorted(received[0] + received[1]) == expected
    for items in received:
        for sender in range(2):
            mine = [item for item in items if item // stride == sender]
            assert mine == sorted(mine)


# Items whose finalizers call back into the channel that held them, while it
# drops its reference to them. Any lock still held there would deadlock, so
# the script runs in its own interpreter, bounded by a timeout.
REENTRANT_FINALIZERS = r"""
import gc
from tessaryne._tessaryne_core import Channel

finalized = []

class Calls:
    def __init__(self, channel):
        self.channel = channel
    def __del__(self):
        channel = self.channel
        finalized.append(channel.qsize())
        if not channel.is_closed():
            channel.try_send(None)
        elif channel.qsize():
            channel.try_recv()  # drops another item of the same channel

# Received: the dropped result holds the last reference.
channel = Channel(0)
channel.try_send(Calls(channel))
channel.try_recv()
assert finalized == [0] and channel.try_recv() == (True, None), finalized

# Destroyed with items queued: each item's finalizer uses a second channel
# reference taken out of the first's reach, so the first really goes away.
other = Channel(0)
first = Channel(0)
for _ in range(3):
    first.try_send(Calls(other))
del first
assert len(finalized) == 4 and other.qsize() == 3, (finalized, other.qsize())

# A cycle channel -> item -> channel, collected; and one with a closed channel
# whose finalizers receive from it while it is being cleared.
gc.disable()
for close in (False, True):
    cyclic = Channel(0)
    for _ in range(3):
        cyclic.try_send(Calls(cyclic))
    if close:
        cyclic.close()
    del cyclic
    gc.collect()
print(len(finalized))
"""


def test_finalizers_calling_back_into_the_channel_do_not_deadlock():
    result = subprocess.run([sys.executable, "-c", REENTRANT_FINALIZERS], capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.split() == ["10"]
