"""Unmasking throughput: fast_websocket_unmask against a plain copy of the
same bytes (bytes(memoryview)) and against websockets.speedups.apply_mask.

Run: .venv/bin/python bench/python_websocket_bench.py
Each figure is the median of several timed runs; a ratio above 1 means ours
is faster."""

from __future__ import annotations

import os
import statistics
import time

from harness import per_call_ns

from tessaryne._tessaryne_core import FastHttpConnection, fast_websocket_unmask

try:
    from websockets.speedups import apply_mask as peer_apply_mask
except ImportError as error:  # the peer is optional
    peer_apply_mask = None
    peer_missing = f"websockets.speedups unavailable ({error}); install with: pip install websockets"

SIZES = [("1 KiB", 1 << 10), ("64 KiB", 64 << 10), ("1 MiB", 1 << 20)]
RUNS = 9
KEY = b"\x37\xfa\x21\x3d"


def seconds_per_call(statement: str, namespace: dict, size: int) -> float:
    iterations = max(10, (16 << 20) // size)  # about 16 MiB of payload per run
    return per_call_ns(statement, namespace, iterations=iterations, repeats=RUNS) / 1e9


def gib_per_second(size: int, seconds: float) -> float:
    return size / seconds / (1 << 30)


def main() -> None:
    print("\nWebSocket unmasking (fast_websocket_unmask vs bytes(memoryview) and websockets.speedups.apply_mask)")
    print(f"{'size':>7} {'ours GiB/s':>11} {'copy GiB/s':>11} {'ours/copy':>10} {'peer GiB/s':>11} {'ours/peer':>10}")
    for label, size in SIZES:
        payload = os.urandom(size)
        view = memoryview(payload)
        assert fast_websocket_unmask(payload, KEY) == fast_websocket_unmask(view, KEY)
        namespace = {"unmask": fast_websocket_unmask, "apply_mask": peer_apply_mask,
                     "payload": payload, "view": view, "KEY": KEY}
        ours = seconds_per_call("unmask(payload, KEY)", namespace, size)
        copy = seconds_per_call("bytes(view)", namespace, size)
        line = (
            f"{label:>7} {gib_per_second(size, ours):11.2f} {gib_per_second(size, copy):11.2f} "
            f"{copy / ours:10.2f}x"
        )
        if peer_apply_mask is not None:
            assert peer_apply_mask(payload, KEY) == fast_websocket_unmask(payload, KEY)
            peer = seconds_per_call("apply_mask(payload, KEY)", namespace, size)
            line += f" {gib_per_second(size, peer):11.2f} {peer / ours:10.2f}x"
        print(line)
    if peer_apply_mask is None:
        print(peer_missing)
    bench_frame_loop()


def masked_text_frame(payload: bytes, key: bytes) -> bytes:
    assert len(payload) < 126
    return bytes([0x81, 0x80 | len(payload)]) + key + fast_websocket_unmask(payload, key)


def bench_frame_loop() -> None:
    """100-byte masked text frames through FastHttpConnection.feed_data, 64 KiB per call."""
    frame = masked_text_frame(b"x" * 100, KEY)
    stream = frame * ((16 << 20) // len(frame))
    chunks = [stream[i : i + (64 << 10)] for i in range(0, len(stream), 64 << 10)]
    messages = len(stream) // len(frame)
    samples = []
    for _ in range(RUNS):
        connection = FastHttpConnection()
        connection.switch_to_websocket()
        feed = connection.feed_data
        received = 0
        start = time.perf_counter()
        for chunk in chunks:
            received += len(feed(chunk))
        samples.append(time.perf_counter() - start)
        assert received == messages
    seconds = statistics.median(samples)
    print("\nWebSocket frame loop: 100-byte masked text frames fed 64 KiB at a time (one core)")
    print(f"  FastHttpConnection.feed_data   {messages / seconds:12.0f} messages/s   "
          f"{len(stream) / seconds / (1 << 20):8.0f} MiB/s   {seconds / messages * 1e9:6.0f} ns/message")


if __name__ == "__main__":
    main()
