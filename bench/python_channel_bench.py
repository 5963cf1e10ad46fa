"""Channel against the standard library's queues: one thread sending and
receiving in pairs, and two producer with two consumer threads sharing one
queue (items per second; meaningful on a free-threaded interpreter).

Run: python bench/python_channel_bench.py  (after installing the extension)."""

import collections
import queue
import statistics
import sys
import threading

from harness import per_call_ns, print_table, run_threads

from tessaryne import _tessaryne_core as core

RUNS = 9
THREADED_ITEMS = 1_000_000


def bench_pairs():
    """One send and one receive on one thread, nothing else queued."""
    namespace = {
        "channel": core.Channel(0),
        "simple": queue.SimpleQueue(),
        "deque": collections.deque(),
    }
    ours = per_call_ns("channel.try_send(1); channel.try_recv()", namespace, iterations=200000)
    rows = [
        ("try_send + try_recv (unbounded)", ours, "SimpleQueue put+get_nowait",
         per_call_ns("simple.put(1); simple.get_nowait()", namespace, iterations=200000)),
        ("try_send + try_recv (unbounded)", ours, "deque append+popleft",
         per_call_ns("deque.append(1); deque.popleft()", namespace, iterations=200000)),
    ]
    print_table("One thread: send and receive one item (time per pair)", rows)


def run_two_by_two(producer, consumer):
    """Seconds for two producers to pass THREADED_ITEMS items to two consumers."""
    per_producer = THREADED_ITEMS // 2
    received = [0, 0]
    elapsed = run_threads([lambda: producer(per_producer), lambda: producer(per_producer),
                           lambda: consumer(received, 0), lambda: consumer(received, 1)])
    assert sum(received) == THREADED_ITEMS, received
    return elapsed


def channel_run():
    channel = core.Channel(0)
    producers_left = [2]
    lock = threading.Lock()

    def producer(count):
        send = channel.try_send
        for item in range(count):
            send(item)
        with lock:
            producers_left[0] -= 1
            if producers_left[0] == 0:
                channel.close()  # consumers stop once everything is drained

    def consumer(received, index):
        recv = channel.try_recv
        count = 0
        try:
            while True:
                if recv()[0]:
                    count += 1
        except RuntimeError:
            received[index] = count

    return run_two_by_two(producer, consumer)


def simple_queue_run(blocking):
    """The same sharing through SimpleQueue; a None per consumer ends it."""
    shared = queue.SimpleQueue()
    producers_left = [2]
    lock = threading.Lock()

    def producer(count):
        put = shared.put
        for item in range(count):
            put(item)
        with lock:
            producers_left[0] -= 1
            if producers_left[0] == 0:
                put(None)
                put(None)

    def polling_consumer(received, index):
        get = shared.get_nowait
        count = 0
        while True:
            try:
                item = get()
            except queue.Empty:
                continue
            if item is None:
                break
            count += 1
        received[index] = count

    def blocking_consumer(received, index):
        get = shared.get
        count = 0
        while get() is not None:
            count += 1
        received[index] = count

    return run_two_by_two(producer, blocking_consumer if blocking else polling_consumer)


def bench_threads():
    """Runs alternate between the queues, so a busy moment of the machine
    falls on all of them alike; the median run of each counts."""
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    runs = {
        "Channel": channel_run,
        "SimpleQueue, get_nowait polls": lambda: simple_queue_run(False),
        "SimpleQueue, blocking get": lambda: simple_queue_run(True),
    }
    seconds = {name: [] for name in runs}
    for _ in range(RUNS):
        for name, run in runs.items():
            seconds[name].append(run())
    rate = {name: THREADED_ITEMS / statistics.median(times) for name, times in seconds.items()}
    ours = rate.pop("Channel")
    title = (f"Two producers, two consumers, {THREADED_ITEMS:,} items (items per second, higher is better; "
             f"GIL {'enabled' if gil else 'disabled'})")
    print(f"\n{title}")
    header = f"{'operation':<44} {'ours':>12} {'peer':<32} {'peer rate':>12} {'ours/peer':>9}"
    print(header)
    print("-" * len(header))
    for peer_name, peer in rate.items():
        print(f"{'Channel try_send / try_recv polls':<44} {ours / 1e6:>10.2f} M {peer_name:<32} "
              f"{peer / 1e6:>10.2f} M {ours / peer:>8.2f}x")


if __name__ == "__main__":
    bench_pairs()
    bench_threads()
