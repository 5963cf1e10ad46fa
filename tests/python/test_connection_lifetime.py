"""A connection over its whole life: what a real client sees at the keep-alive
limit, and the memory a connection keeps once its traffic has passed."""

from __future__ import annotations

import asyncio
import http.client
import os
import subprocess
import sys
import threading
from collections.abc import Iterator

import pytest

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
            200, b"server: test\r\n", b"", [(b"content-type", b"text/plain")], b"ok", False, False, keep_alive)
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
])
def test_resident_memory_per_connection(case: str, count: int, bound: int) -> None:
    result = subprocess.run([sys.executable, "-c", MEASURE, case, str(count)],
                            capture_output=True, text=True, timeout=120, check=True)
    assert float(result.stdout) <= bound, result.stdout
