"""Compressed echo: 1 KiB JSON-like text messages, compressed by a client
with permessage-deflate (context takeover, 15-bit windows), read by the
server and sent back compressed. Ours: FastHttpConnection.feed_data() and
format_ws_message() after configure_websocket(permessage_deflate=True).
Peer: the websockets library's sans-I/O protocol with its PerMessageDeflate,
fed the same bytes, with the same parameters.

Run: .venv/bin/python bench/python_deflate_bench.py
Figures are medians of several runs; a ratio above 1 means ours is faster."""

from __future__ import annotations

import json
import random
import statistics
import time
import zlib

from tessaryne._tessaryne_core import FastHttpConnection, fast_websocket_unmask
from tessaryne.server.websocket import DEFLATE_PREFERENCES

try:
    from websockets.extensions.permessage_deflate import PerMessageDeflate
    from websockets.protocol import Protocol, Side
except ImportError as error:  # the peer is optional
    Protocol = None
    peer_missing = f"websockets unavailable ({error}); install with: pip install websockets"

MESSAGES = 5000
RUNS = 5
KEY = b"\x37\xfa\x21\x3d"


def json_messages(count: int) -> list[bytes]:
    rng = random.Random(7)
    words = ["alpha", "bravo", "charlie", "delta", "echo", "foxtrot", "golf", "hotel", "café", "naïve"]
    out = []
    for i in range(count):
        record = {"id": i, "items": []}
        while len(json.dumps(record)) < 1000:
            record["items"].append({"name": rng.choice(words), "value": rng.randrange(100000), "ok": rng.random() < 0.5})
        text = json.dumps(record, ensure_ascii=False).encode()[:1024]
        out.append(text.decode("utf-8", "ignore").encode())
    return out


def client_frames(messages: list[bytes], window_bits: int) -> list[bytes]:
    """Masked, compressed frames as a browser sends them (one stream, context taken over)."""
    compressor = zlib.compressobj(wbits=-window_bits)
    frames = []
    for message in messages:
        payload = compressor.compress(message) + compressor.flush(zlib.Z_SYNC_FLUSH)
        payload = payload[:-4]
        n = len(payload)
        header = bytes([0xC1, 0x80 | n]) if n < 126 else bytes([0xC1, 0x80 | 126]) + n.to_bytes(2, "big")
        frames.append(header + KEY + fast_websocket_unmask(payload, KEY))
    return frames


# The parameters each row runs with: context takeover and 15-bit windows as
# a client offers them, then what the server asks for by default (its own
# compressor reset after every message, 12-bit windows).
SETTINGS = [
    ("context takeover, 15-bit windows", {}),
    ("the server's defaults", DEFLATE_PREFERENCES),
]


def ours(frames: list[bytes], settings: dict[str, object]) -> int:
    connection = FastHttpConnection()
    connection.switch_to_websocket()
    connection.configure_websocket(permessage_deflate=True, **settings)
    feed, reply = connection.feed_data, connection.format_ws_message
    sent = 0
    for frame in frames:
        for event in feed(frame):
            sent += len(reply(1, event[3]))
    return sent


def peer(frames: list[bytes], settings: dict[str, object]) -> int:
    protocol = Protocol(Side.SERVER, max_size=None)
    protocol.extensions = [PerMessageDeflate(
        bool(settings.get("client_no_context_takeover", False)), bool(settings.get("server_no_context_takeover", False)),
        int(settings.get("client_max_window_bits", 15)), int(settings.get("server_max_window_bits", 15)))]
    receive, events, send_text, to_send = (
        protocol.receive_data, protocol.events_received, protocol.send_text, protocol.data_to_send)
    sent = 0
    for frame in frames:
        receive(frame)
        for event in events():
            send_text(event.data)
        sent += sum(len(chunk) for chunk in to_send())
    return sent


def timed(run, frames: list[bytes], settings: dict[str, object]) -> float:
    samples = []
    for _ in range(RUNS):
        start = time.perf_counter()
        run(frames, settings)
        samples.append(time.perf_counter() - start)
    return statistics.median(samples)



def main() -> None:
    messages = json_messages(MESSAGES)
    print(f"\nCompressed echo: {MESSAGES} JSON-like text messages of ~1 KiB, permessage-deflate, one core")
    for name, settings in SETTINGS:
        frames = client_frames(messages, int(settings.get("client_max_window_bits", 15)))
        # Both sides echo the same texts.
        check = FastHttpConnection()
        check.switch_to_websocket()
        check.configure_websocket(permessage_deflate=True, **settings)
        assert [e[3] for f in frames for e in check.feed_data(f)] == messages
        print(f" {name} ({sum(len(f) for f in frames) / MESSAGES:.0f} bytes a message on the wire)")
        seconds = timed(ours, frames, settings)
        print(f"  ours (FastHttpConnection)       {MESSAGES / seconds:10.0f} messages/s")
        if Protocol is None:
            print(peer_missing)
            continue
        peer_seconds = timed(peer, frames, settings)
        print(f"  peer (websockets sans-I/O)      {MESSAGES / peer_seconds:10.0f} messages/s")
        print(f"  ours / peer                     {peer_seconds / seconds:10.2f}x")


if __name__ == "__main__":
    main()
