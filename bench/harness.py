"""Timing helpers shared by the Python benchmarks: in-process, many iterations,
median of several runs, and a table that prints ours beside the peer's."""

import statistics
import threading
import time
import timeit


def per_call_ns(statement, namespace, iterations=50000, repeats=9):
    """Median over `repeats` runs of the mean cost of one execution of
    `statement` (source text, run inline in timeit's loop so no extra Python
    call is counted), in nanoseconds."""
    timer = timeit.Timer(statement, globals=namespace)
    timer.timeit(1000)  # warm up caches, specialisation and lazy initialisation
    return statistics.median(timer.repeat(repeat=repeats, number=iterations)) / iterations * 1e9


def print_table(title, rows):
    """rows: (operation, ours_ns, peer_name, peer_ns); ratio = peer time / our time."""
    print(f"\n{title}")
    header = f"{'operation':<44} {'ours':>12} {'peer':<26} {'peer time':>12} {'speedup':>8}"
    print(header)
    print("-" * len(header))
    for operation, ours, peer_name, peer in rows:
        if peer is None:
            print(f"{operation:<44} {fmt(ours):>12} {peer_name:<26} {'-':>12} {'-':>8}")
        else:
            print(f"{operation:<44} {fmt(ours):>12} {peer_name:<26} {fmt(peer):>12} {peer / ours:>7.2f}x")


def fmt(ns):
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.2f} us"
    return f"{ns:.0f} ns"


def run_threads(targets):
    """Starts one thread per target, releases them together and returns the
    seconds until the last one ends."""
    start = threading.Barrier(len(targets) + 1)

    def wrap(target):
        start.wait()
        target()

    threads = [threading.Thread(target=wrap, args=(target,)) for target in targets]
    for thread in threads:
        thread.start()
    start.wait()
    began = time.perf_counter()
    for thread in threads:
        thread.join()
    return time.perf_counter() - began
