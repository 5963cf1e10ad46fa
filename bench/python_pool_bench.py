"""Python-level worker-pool benchmarks: NativeWorkerPool against queue.SimpleQueue
and collections.deque from one thread and from two producer and two consumer
threads, and AtomicMetrics increments from two threads against one.

Run: python bench/python_pool_bench.py  (after installing the extension)."""

import collections
import os
import queue
import statistics
import threading

from harness import run_threads, fmt, per_call_ns, print_table

from tessaryne import _tessaryne_core as core

RUNS = 5
THREADED_ITEMS = 1_000_000
INCREMENTS = 1_000_000


def bench_one_thread():
    pool = core.NativeWorkerPool(1)
    simple, pipe = queue.SimpleQueue(), collections.deque()
    namespace = {
        "push_global": pool.push_global, "push_local": pool.push_local, "pop_work": pool.pop_work,
        "put": simple.put, "get_nowait": simple.get_nowait, "append": pipe.append, "popleft": pipe.popleft,
        "task": object(),
    }

    def pair(statement):
        return per_call_ns(statement, namespace, iterations=200000, repeats=RUNS)

    simple_ns = pair("put(task); get_nowait()")
    deque_ns = pair("append(task); popleft()")
    rows = []
    for label, statement in (("push_global + pop_work", "push_global(task); pop_work(0)"),
                             ("push_local + pop_work", "push_local(0, task); pop_work(0)")):
        ours = pair(statement)
        rows.append((label, ours, "SimpleQueue put+get_nowait", simple_ns))
        rows.append((label, ours, "deque append+popleft", deque_ns))
    print_table("One thread, one task in and out (time per pair; goal: at most 1.25x SimpleQueue's)", rows)
    for label, ours, peer, peer_ns in rows[::2]:
        print(f"  {label}: {ours / peer_ns:.2f}x SimpleQueue's time")


def pool_run(idle):
    """`idle` is called after a poll that found nothing, or None to poll again at once."""
    pool = core.NativeWorkerPool(2)
    half = THREADED_ITEMS // 2
    received = [0, 0]
    producers_done = threading.Barrier(2, action=pool.close)  # close once both have pushed

    def produce(first):
        push = pool.push_global
        for item in range(first, first + half):
            push(item)
        producers_done.wait()

    def consume(index):
        pop, count = pool.pop_work, 0
        while True:
            try:
                item = pop(index)
            except core.ThreadPoolClosedError:
                break
            if item is not None:
                count += 1
            elif idle is not None:
                idle()
        received[index] = count

    seconds = run_threads([lambda: produce(0), lambda: produce(half), lambda: consume(0), lambda: consume(1)])
    assert sum(received) == THREADED_ITEMS
    return seconds


def simple_queue_run():
    shared = queue.SimpleQueue()
    half = THREADED_ITEMS // 2
    received = [0, 0]
    done = object()
    producers_done = threading.Barrier(2, action=lambda: (shared.put(done), shared.put(done)))

    def produce(first):
        put = shared.put
        for item in range(first, first + half):
            put(item)
        producers_done.wait()

    def consume(index):
        get, count = shared.get, 0
        while get() is not done:
            count += 1
        received[index] = count

    seconds = run_threads([lambda: produce(0), lambda: produce(half), lambda: consume(0), lambda: consume(1)])
    assert sum(received) == THREADED_ITEMS
    return seconds


def bench_two_by_two():
    peer = statistics.median(THREADED_ITEMS / simple_queue_run() for _ in range(RUNS))
    print(f"\nTwo producers, two consumers, {THREADED_ITEMS:,} items (goal: at least 1.5x SimpleQueue's throughput)")
    print(f"  {'SimpleQueue put / blocking get':<58} {peer:12,.0f} items/s")
    # The pool never blocks: a worker that finds nothing either polls again or
    # gives its core away, as a runtime's worker parks.
    for label, idle in (("busy polling", None), ("sched_yield when empty", os.sched_yield)):
        ours = statistics.median(THREADED_ITEMS / pool_run(idle) for _ in range(RUNS))
        print(f"  {'NativeWorkerPool, ' + label:<58} {ours:12,.0f} items/s   "
              f"{ours / peer:.2f}x SimpleQueue")


def bench_metrics():
    metrics = core.AtomicMetrics(2)

    def increment(index):
        inc = metrics.inc_park
        for _ in range(INCREMENTS):
            inc(index)

    def baseline(index):  # the same loop around a call that shares nothing
        call = abs
        for _ in range(INCREMENTS):
            call(index)

    print("\nAtomicMetrics.inc_park, each thread on its own index (time per increment per thread; goal: ratio near 1)")
    for label, loop in (("inc_park", increment), ("abs(), the machine's own ratio", baseline)):
        alone = statistics.median(run_threads([lambda: loop(0)]) for _ in range(RUNS))
        together = statistics.median(run_threads([lambda: loop(0), lambda: loop(1)]) for _ in range(RUNS))
        print(f"  {label:<32} one thread {fmt(alone / INCREMENTS * 1e9):>8}   two threads "
              f"{fmt(together / INCREMENTS * 1e9):>8}   ratio {together / alone:.2f}")


if __name__ == "__main__":
    bench_one_thread()
    bench_two_by_two()
    bench_metrics()
