"""Unmasking throughput: fast_websocket_unmask against a plain copy of the
same bytes (bytes(memoryview)) and against websockets.speedups.apply_mask.

Run: .venv/bin/python bench/python_websocket_bench.py
Each figure is the median of several timed runs; a ratio above 1 means ours
is faster."""

from __future__ import annotations

import os
import statistics
import time
from collections.abc import Callable

from tessaryne._tessaryne_core import fast_websocket_unmask

try:
    from websockets.speedups import apply_mask as peer_apply_mask
except ImportError as error:  # the peer is optional
    peer_apply_mask = None
    peer_missing = f"websockets.speedups unavailable ({error}); install with: pip install websockets"

SIZES = [("1 KiB", 1 << 10), ("64 KiB", 64 << 10), ("1 MiB", 1 << 20)]
RUNS = 9
KEY = b"\x37\xfa\x21\x3d"


def median_seconds_per_call(function: Callable[[], object], total_bytes: int) -> float:
    calls = max(10, (64 << 20) // total_bytes)  # about 64 MiB of payload per run
    samples = []
    for _ in range(RUNS):
        start = time.perf_counter()
        for _ in range(calls):
            function()
        samples.append((time.perf_counter() - start) / calls)
    return statistics.median(samples)


def gib_per_second(size: int, seconds: float) -> float:
    return size / seconds / (1 << 30)


def main() -> None:
    print(f"{'size':>7} {'ours GiB/s':>11} {'copy GiB/s':>11} {'ours/copy':>10} {'peer GiB/s':>11} {'ours/peer':>10}")
    for label, size in SIZES:
        payload = os.urandom(size)
        view = memoryview(payload)
        assert fast_websocket_unmask(payload, KEY) == fast_websocket_unmask(view, KEY)
        ours = median_seconds_per_call(lambda: fast_websocket_unmask(payload, KEY), size)
        copy = median_seconds_per_call(lambda: bytes(view), size)
        line = (
            f"{label:>7} {gib_per_second(size, ours):11.2f} {gib_per_second(size, copy):11.2f} "
            f"{copy / ours:10.2f}x"
        )
        if peer_apply_mask is not None:
            assert peer_apply_mask(payload, KEY) == fast_websocket_unmask(payload, KEY)
            peer = median_seconds_per_call(lambda: peer_apply_mask(payload, KEY), size)
            line += f" {gib_per_second(size, peer):11.2f} {peer / ours:10.2f}x"
        print(line)
    if peer_apply_mask is None:
        print(peer_missing)


if __name__ == "__main__":
    main()
