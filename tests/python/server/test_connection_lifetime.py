"""A connection over its whole life: what a real client sees at the keep-alive
limit, the memory a connection keeps once its traffic has passed, and what a
connection abandoned at any point leaves behind."""

from __future__ import annotations

import asyncio
import collections
import gc
import http.client
import logging
import os
import socket
import struct
import subprocess
import sys
import threading
import time
from collections.abc import Iterator
from typing import Any

import pytest

from server_support import serve
from tessaryne._tessaryne_core import FastHttpConnection


class MinimalServer(asyncio.Protocol):
    """Answers every request with "ok", promising exactly the keep-alive
    that the request event carries."""

    connections = 0

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        assert isinstance(transport, asyncio.Transport)
        MinimalServer.connections += 1
        self.transport = transport
        self.connection = FastHttpConnection()

    def data_received(self, data: bytes) -> None:
        events = self.connection.feed_data(data)
        keep_alive = True
        while events:
            pending, events = events, []
            for event in pending:
                if event[0] == 5:
                    self.transport.write(event[2])
                    self.transport.close()
                    return
                if event[0] == 1:
                    keep_alive = event[7]
                if (event[0] == 1 and not event[10]) or (event[0] == 2 and not event[2]):
                    events = self.respond(keep_alive)

    def respond(self, keep_alive: bool) -> list:
        response, _, _ = FastHttpConnection.format_response(
            200, b"server: test\r\n", b"", [(b"content-type", b"text/plain")], b"ok", False, False, keep_alive
        )
        self.transport.write(response)
        self.connection.reset_for_next_request()
        if self.connection.is_closed():
            self.transport.close()
            return []
        return self.connection.pump_events()


@pytest.fixture
def server_port() -> Iterator[int]:
    loop = asyncio.new_event_loop()
    server = loop.run_until_complete(loop.create_server(MinimalServer, "127.0.0.1", 0))
    thread = threading.Thread(target=loop.run_forever, daemon=True)
    thread.start()
    yield server.sockets[0].getsockname()[1]
    loop.call_soon_threadsafe(loop.stop)
    thread.join()
    server.close()
    loop.run_until_complete(server.wait_closed())
    loop.close()


def test_http_client_gets_every_answer_across_the_keep_alive_limit(server_port: int) -> None:
    MinimalServer.connections = 0
    client = http.client.HTTPConnection("127.0.0.1", server_port, timeout=10)
    for number in range(1, 1002):
        client.request("GET", f"/{number}")
        response = client.getresponse()
        assert response.read() == b"ok"
        assert response.getheader("connection") == ("close" if number == 1000 else "keep-alive"), number
    client.close()
    assert MinimalServer.connections == 2


# Resident bytes per connection, measured in a fresh interpreter: many
# connections, memory before and after, while all of them are still alive.
MEASURE = """
import os, sys
from tessaryne._tessaryne_core import FastHttpConnection

def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

case, count = sys.argv[1], int(sys.argv[2])
big = 1 << 20
masked = bytes(b ^ 0x5A for b in bytes(big))
traffic = {
    "idle": b"",
    "upload": b"POST / HTTP/1.1\\r\\nContent-Length: %d\\r\\n\\r\\n" % big + bytes(big),
    "head": b"GET / HTTP/1.1\\r\\nX: " + b"h" * (60 << 10) + b"\\r\\n\\r\\n",
    "frame": b"\\x82\\xff" + big.to_bytes(8, "big") + b"\\x5a\\x5a\\x5a\\x5a" + masked,
}[case]
kept = []
before = resident()
for _ in range(count):
    connection = FastHttpConnection(max_header_size=1 << 20)
    if case == "frame":
        connection.switch_to_websocket()
    if traffic:
        events = connection.feed_data(traffic)
        assert events and events[-1][0] in (1, 2, 4), events[-1][:2]
        del events
    kept.append(connection)
print((resident() - before) / count)
"""


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.parametrize("case, count, bound", [
    ("idle", 10000, 2048),
    ("upload", 200, 32 << 10),
    ("head", 400, 4096),
    ("frame", 200, 32 << 10),
])  # fmt: skip
def test_resident_memory_per_connection(case: str, count: int, bound: int) -> None:
    result = subprocess.run(
        [sys.executable, "-c", MEASURE, case, str(count)], capture_output=True, text=True, timeout=120, check=True
    )
    assert float(result.stdout) <= bound, result.stdout


UPGRADE = (
    b"GET /%s HTTP/1.1\r\nHost: x\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"
    b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n"
)

# What the client sends before it goes away, and what it waits for first.
ABANDONED = {
    "mid-head": (b"GET / HTTP/1.1\r\nHo", b""),
    "mid-body": (b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\nabc", b""),
    "waiting for the app": (b"GET /wait HTTP/1.1\r\nHost: x\r\n\r\n", b""),
    "mid-response": (b"GET /stream HTTP/1.1\r\nHost: x\r\n\r\n", b"\r\n\r\n"),
    "websocket receiving": (UPGRADE % b"receive", b"\r\n\r\n"),
    "websocket sending": (UPGRADE % b"send", b"\r\n\r\n"),
}


async def busy_app(scope: dict[str, Any], receive: Any, send: Any) -> None:
    """Keeps every kind of connection busy until its client is gone."""
    path = scope["path"]
    if scope["type"] == "websocket":
        await receive()
        await send({"type": "websocket.accept"})
        if path == "/send":
            while True:
                await send({"type": "websocket.send", "text": "x" * 65536})
        while (await receive())["type"] != "websocket.disconnect":
            pass
        return
    if path == "/wait":
        await asyncio.sleep(0.2)
    await send({"type": "http.response.start", "status": 200, "headers": []})
    while path == "/stream":
        await send({"type": "http.response.body", "body": b"x" * 65536, "more_body": True})
    message = await receive()
    await send({"type": "http.response.body", "body": message.get("body", b"")})


@pytest.fixture
def no_cyclic_collector() -> Iterator[None]:
    gc.collect()
    gc.disable()
    try:
        yield
    finally:
        gc.enable()


@pytest.mark.parametrize("how", ["reset", "close"])
def test_abandoned_connections_are_freed_by_reference_counting_and_not_logged(
    how: str, no_cyclic_collector: None, caplog: pytest.LogCaptureFixture
) -> None:
    caplog.set_level(logging.INFO)  # a debug record's traceback would keep its frames alive
    with serve(busy_app) as server:
        for _ in range(20):
            for sent, awaited in ABANDONED.values():
                with server.connect() as sock:
                    sock.sendall(sent)
                    received = b""
                    while not received.endswith(awaited) and awaited not in received:
                        received += sock.recv(65536)
                    if how == "reset":
                        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        deadline = time.monotonic() + 30
        while server.call(lambda: server.state.open_connections() + len(asyncio.all_tasks()) - 1):
            assert time.monotonic() < deadline, "connections or app tasks still alive"
            time.sleep(0.01)
    kept = {"WebSocketSession", "ServedConnection", "HttpExchange", "Completion"}
    live = [type(o).__name__ for o in gc.get_objects() if type(o).__name__ in kept]
    assert collections.Counter(live) == {}
    assert [r.getMessage() for r in caplog.records if r.levelno >= logging.WARNING] == []


@pytest.mark.parametrize("refused", ["from another thread", "with a bad argument"])
def test_a_socket_adopt_refuses_is_closed(refused: str) -> None:
    """adopt() owns the descriptor it is handed, even when it refuses it: the
    peer sees the end instead of a socket nobody serves or closes."""
    with serve(busy_app) as server:
        driver = server.state.driver
        assert driver is not None
        ours, theirs = socket.socketpair()
        with ours:
            fd = theirs.detach()
            with pytest.raises((RuntimeError, TypeError)):
                if refused == "from another thread":
                    driver.adopt(fd, None, None)
                else:
                    server.call(lambda: driver.adopt(fd, None, None, http2="yes"))
            ours.settimeout(10)
            assert ours.recv(1) == b""
