"""Soak: the server, run by its command line in a child process, takes many
pipelined keep-alive requests and many short connections (answered, idle,
cut in a head, closed by the server, reset by the client) from several client
threads. Afterwards every connection is closed and the child's resident
memory is where it was after a warm-up of the same mix.

TESSARYNE_SOAK_REQUESTS and TESSARYNE_SOAK_CONNECTIONS set the sizes
(`make soak` runs a long one)."""

from __future__ import annotations

import os
import pathlib
import re
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
from collections.abc import Callable, Iterator
from concurrent.futures import ThreadPoolExecutor

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[3]
REQUESTS = int(os.environ.get("TESSARYNE_SOAK_REQUESTS", "200000"))
CONNECTIONS = int(os.environ.get("TESSARYNE_SOAK_CONNECTIONS", "10000"))
CLIENTS = 4
PER_CONNECTION = 500  # below the server's keep-alive request limit
BATCH = 50
REQUEST = b"GET / HTTP/1.1\r\nHost: soak\r\n\r\n"
BODY = b"Hello, world!"  # once per response of bench/hello_app.py
PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")
DEADLINE = 120.0


class ResponseCounter:
    """Counts responses in a byte stream by their body, which may be split
    across reads."""

    def __init__(self, client: socket.socket) -> None:
        self.client = client
        self.count = 0
        self.tail = b""

    def feed(self, data: bytes) -> None:
        window = self.tail + data
        self.count += window.count(BODY)
        self.tail = window[-(len(BODY) - 1) :]

    def read_until(self, total: int) -> None:
        while self.count < total:
            data = self.client.recv(65536)
            if not data:
                raise ConnectionError(f"closed after {self.count} of {total} responses")
            self.feed(data)

    def read_to_end(self) -> None:
        while data := self.client.recv(65536):
            self.feed(data)


def connect(port: int) -> socket.socket:
    return socket.create_connection(("127.0.0.1", port), timeout=DEADLINE)


def pipelined(port: int, requests: int) -> int:
    """Sends the requests in pipelined batches over keep-alive connections;
    returns how many were answered."""
    answered = 0
    while answered < requests:
        with connect(port) as client:
            on_connection = min(PER_CONNECTION, requests - answered)
            counter = ResponseCounter(client)
            while counter.count < on_connection:
                client.sendall(REQUEST * min(BATCH, on_connection - counter.count))
                counter.read_until(min(counter.count + BATCH, on_connection))
            answered += counter.count
    return answered


def answered_then_closed(client: socket.socket) -> None:
    client.sendall(REQUEST)
    ResponseCounter(client).read_until(1)


def closed_idle(client: socket.socket) -> None:
    client.shutdown(socket.SHUT_WR)
    assert client.recv(1) == b""


def closed_mid_head(client: socket.socket) -> None:
    client.sendall(REQUEST[:20])
    client.shutdown(socket.SHUT_WR)
    counter = ResponseCounter(client)
    counter.read_to_end()
    assert counter.count == 0


def closed_by_server(client: socket.socket) -> None:
    client.sendall(b"GET / HTTP/1.1\r\nHost: soak\r\nConnection: close\r\n\r\n")
    counter = ResponseCounter(client)
    counter.read_to_end()
    assert counter.count == 1


def reset_mid_response(client: socket.socket) -> None:
    client.sendall(REQUEST)
    assert client.recv(1) == b"H"
    client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))


# Each waits for the server's answer or close before the next connection, so
# at most one connection per client thread is open at a time: the memory
# figures measure what every connection leaves behind, not how many were open
# at once.
SHORT_LIVED: list[Callable[[socket.socket], None]] = [
    answered_then_closed, closed_idle, closed_mid_head, closed_by_server, reset_mid_response,
]  # fmt: skip


def short_lived(port: int, connections: int) -> None:
    """Opens and closes the connections, each in one of the ways above in turn."""
    for index in range(connections):
        with connect(port) as client:
            SHORT_LIVED[index % len(SHORT_LIVED)](client)


def load(port: int, requests: int, connections: int) -> None:
    """Both kinds of traffic at once, spread over the client threads."""
    with ThreadPoolExecutor(2 * CLIENTS) as clients:
        long_lived = [clients.submit(pipelined, port, requests // CLIENTS) for _ in range(CLIENTS)]
        short = [clients.submit(short_lived, port, connections // CLIENTS) for _ in range(CLIENTS)]
        assert [f.result() for f in long_lived] == [requests // CLIENTS] * CLIENTS
        for future in short:
            future.result()


def resident_bytes(pid: int) -> int:
    return int(pathlib.Path(f"/proc/{pid}/statm").read_text().split()[1]) * PAGE_SIZE


def open_sockets(pid: int) -> int:
    count = 0
    for fd in pathlib.Path(f"/proc/{pid}/fd").iterdir():
        try:
            count += os.readlink(fd).startswith("socket:")
        except FileNotFoundError:  # closed while listed
            pass
    return count


def settle(pid: int, sockets: int) -> bool:
    """Waits (another process: there is nothing to await) until the server
    holds no more sockets than it had idle; False if it never does."""
    deadline = time.monotonic() + DEADLINE
    while open_sockets(pid) > sockets:
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


@pytest.fixture
def server() -> Iterator[tuple[int, int]]:
    """(pid, port) of a server run by the command line."""
    process = subprocess.Popen(
        [sys.executable, "-m", "tessaryne", "bench.hello_app:app", "--port", "0", "--threads", "2", "--no-access-log"],
        cwd=ROOT,
        stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
    )
    assert process.stderr is not None
    # Never hang on a server that neither starts nor exits.
    watchdog = threading.Timer(DEADLINE, process.kill)
    watchdog.start()
    output = []
    found = None
    for line in process.stderr:
        output.append(line)
        if found := re.search(r"listening on http://[^ ]*:(\d+)", line):
            break
    watchdog.cancel()
    if not found:
        process.wait()
        pytest.fail("the server did not start:\n" + "".join(output))
    threading.Thread(target=process.stderr.read, daemon=True).start()
    try:
        yield process.pid, int(found.group(1))
    finally:
        process.send_signal(signal.SIGTERM)
        assert process.wait(timeout=DEADLINE) == 0


def test_soak_leaves_no_connection_open_and_memory_flat(server: tuple[int, int]) -> None:
    pid, port = server
    idle_sockets = open_sockets(pid)
    load(port, REQUESTS // 10, CONNECTIONS // 10)
    assert settle(pid, idle_sockets)
    warm = resident_bytes(pid)

    load(port, REQUESTS, CONNECTIONS)
    assert settle(pid, idle_sockets), f"{open_sockets(pid) - idle_sockets} connections left open"
    now = resident_bytes(pid)
    assert now <= warm * 1.10, f"resident memory grew from {warm >> 20} MiB to {now >> 20} MiB"
