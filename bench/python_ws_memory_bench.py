"""Resident memory per idle WebSocket connection with permessage-deflate
negotiated: 1,000 connections to one server process, each opened by the
`websockets` client with its default compression offer (as browsers offer:
permessage-deflate; client_max_window_bits), each having sent one ~1 KiB
JSON-like text message and read its echo, then left idle. The figure is the
growth of the server's resident memory divided by the connections.

Servers, each in its own process on one loop thread: ours with the
parameters it asks for by default, and with other choices for comparison;
the `websockets` library's own asyncio server with its default compression.

Run: .venv/bin/python bench/python_ws_memory_bench.py"""

from __future__ import annotations

import asyncio
import json
import os
import socket
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
CONNECTIONS = 1000
MESSAGE = json.dumps({"id": 7, "items": [{"name": "alpha", "value": i, "ok": i % 2 == 0} for i in range(30)]})

PEER_SERVER = """
import asyncio, sys
from websockets.asyncio.server import serve

async def echo(ws):
    async for message in ws:
        await ws.send(message)

async def main():
    async with serve(echo, "127.0.0.1", int(sys.argv[1]), max_size=None):
        await asyncio.Future()

asyncio.run(main())
"""

# (row, the parameters the server asks for (None: its defaults), extra options)
VARIANTS = [
    ("ours, default (no server takeover, 12-bit windows)", None, []),
    ("ours, takeover, 12-bit windows", {"server_max_window_bits": 12, "client_max_window_bits": 12}, []),
    ("ours, takeover, 15-bit windows", {}, []),
    ("ours, compression declined", None, ["--no-ws-per-message-deflate"]),
]


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return int(sock.getsockname()[1])


def resident(pid: int) -> int:
    with open(f"/proc/{pid}/status") as status:
        line = next(line for line in status if line.startswith("VmRSS:"))
    return int(line.split()[1]) * 1024


def wait_listening(port: int) -> None:
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError(f"no server on port {port}")


async def open_idle(port: int, count: int) -> list[object]:
    from websockets.asyncio.client import connect

    async def one() -> object:
        ws = await connect(f"ws://127.0.0.1:{port}/", compression="deflate", max_size=None, ping_interval=None)
        await ws.send(MESSAGE)
        assert await ws.recv() == MESSAGE
        return ws

    connections = []
    for start in range(0, count, 100):  # in batches, within the listen backlog
        connections += await asyncio.gather(*(one() for _ in range(min(100, count - start))))
    return connections


def measure(command: list[str], port: int, env: dict[str, str]) -> float:
    """Bytes of server memory per idle connection."""
    process = subprocess.Popen(command, cwd=HERE, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_listening(port)

        async def run() -> float:
            warm = await open_idle(port, 20)  # first-use allocations are not per connection
            for ws in warm:
                await ws.close()
            await asyncio.sleep(0.5)
            before = resident(process.pid)
            connections = await open_idle(port, CONNECTIONS)
            await asyncio.sleep(1.0)
            after = resident(process.pid)
            for ws in connections:
                await ws.close()
            return (after - before) / CONNECTIONS

        return asyncio.run(run())
    finally:
        process.terminate()
        process.wait(timeout=30)


def main() -> None:
    try:
        import websockets  # noqa: F401
    except ImportError as error:
        print(f"websockets unavailable ({error}); install with: pip install websockets")
        return
    print(f"\nIdle WebSocket connections with permessage-deflate: {CONNECTIONS} connections, one ~1 KiB "
          "text message echoed on each, server resident memory growth per connection")
    rows = []
    for name, preferences, options in VARIANTS:
        port = free_port()
        env = dict(os.environ)
        if preferences is not None:
            env["TESSARYNE_BENCH_DEFLATE"] = json.dumps(preferences)
        command = [sys.executable, "-m", "tessaryne", "ws_echo_app:app", "--threads", "1", "--port", str(port),
                   "--no-access-log", "--log-level", "warning", *options]
        rows.append((name, measure(command, port, env)))
    port = free_port()
    peer = measure([sys.executable, "-c", PEER_SERVER, str(port)], port, dict(os.environ))
    rows.append(("websockets server, default compression", peer))
    for name, value in rows:
        print(f"  {name:52} {value / 1024:8.1f} KiB")
    print(f"  {'ours, default / websockets':52} {rows[0][1] / peer:8.2f}x  (below 1: ours holds less)")


if __name__ == "__main__":
    main()
