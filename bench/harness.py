"""Timing helpers shared by the Python benchmarks: in-process, many iterations,
median of several runs, and a table that prints ours beside the peer's."""

import statistics
import time


def per_call_ns(function, iterations=20000, repeats=7):
    """Median over `repeats` runs of the mean cost of one call, in nanoseconds."""
    function()  # warm up caches and lazy initialisation
    samples = []
    for _ in range(repeats):
        start = time.perf_counter_ns()
        for _ in range(iterations):
            function()
        samples.append((time.perf_counter_ns() - start) / iterations)
    return statistics.median(samples)


def loop_overhead_ns(iterations=20000, repeats=7):
    return per_call_ns(lambda: None, iterations, repeats)


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
