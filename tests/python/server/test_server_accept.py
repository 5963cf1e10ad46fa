"""Accepting under pressure: a server out of file descriptors says so in a few
lines, serves the connections it has, accepts again once descriptors are free
and stops on time, closing what is left (TLS handshakes too); and the
log-once-then-count helper it uses."""

from __future__ import annotations

import contextlib
import logging
import os
import re
import signal
import socket
import ssl
import subprocess
import sys
import time
from pathlib import Path
from types import SimpleNamespace

import pytest

from server_support import HELPERS, hello_app, needs_openssl, recv_until_closed, self_signed_certificate, serving
from tessaryne.server import logs
from tessaryne.server.logs import RecurringCondition

LIMIT = 64  # the child's descriptors: about 16 for the server itself, the rest for connections
SHUTDOWN_TIMEOUT = 1.0
CHILD = f"""
import logging, resource
from server_support import hello_app
from tessaryne.server.config import Config
from tessaryne.server.launch import run

resource.setrlimit(resource.RLIMIT_NOFILE, ({LIMIT}, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
logging.basicConfig(level=logging.INFO, format="%(levelname)s %(message)s")
run(Config(app=hello_app, port=0, threads=2, access_log=False, keep_alive_timeout=60,
           shutdown_timeout={SHUTDOWN_TIMEOUT}))
"""
GET = b"GET / HTTP/1.1\r\nHost: x\r\n\r\n"
STUCK = b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n\r\n"  # its app waits for a body that never comes


def wait_for(log: Path, pattern: str, count: int = 1) -> list[str]:
    deadline = time.monotonic() + 5
    while len(found := re.findall(pattern, log.read_text(), re.M)) < count:
        assert time.monotonic() < deadline, log.read_text()
        time.sleep(0.02)
    return found


def connect(opened: contextlib.ExitStack, port: int, count: int, request: bytes) -> list[socket.socket]:
    clients = [opened.enter_context(socket.create_connection(("127.0.0.1", port), timeout=10)) for _ in range(count)]
    for client in clients:
        client.sendall(request)
    return clients


def cpu_seconds(pid: int) -> float:
    user, system = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[11:13]
    return (int(user) + int(system)) / os.sysconf("SC_CLK_TCK")


def test_out_of_descriptors_is_logged_once_served_through_and_stopped_on_time(tmp_path):
    log = tmp_path / "stderr"
    with log.open("w") as stderr:
        process = subprocess.Popen([sys.executable, "-c", CHILD], cwd=HELPERS, stderr=stderr)
    with contextlib.ExitStack() as opened:
        opened.callback(process.wait)
        opened.callback(process.kill)
        port = int(wait_for(log, r"listening on http://127\.0\.0\.1:(\d+)")[0])
        [early] = connect(opened, port, 1, GET)
        assert early.recv(4096).endswith(b"hello")
        stuck = connect(opened, port, LIMIT, STUCK)
        wait_for(log, "cannot accept connections: Too many open files")
        [queued] = connect(opened, port, 1, GET)  # waits in the listen queue
        spent = cpu_seconds(process.pid)
        time.sleep(1.5)  # a few retries, further and further apart
        assert cpu_seconds(process.pid) - spent < 0.5, "the loops wait instead of spinning on the listening socket"
        early.sendall(GET)
        assert early.recv(4096).endswith(b"hello"), "an open connection is still served"

        for client in stuck:
            client.close()
        assert queued.recv(4096).endswith(b"hello"), "accepting resumes once descriptors are free"
        wait_for(log, "accepting connections again after")
        connect(opened, port, LIMIT, STUCK)
        wait_for(log, "cannot accept connections", count=2)
        stopping = time.monotonic()
        process.send_signal(signal.SIGTERM)
        assert process.wait(timeout=10) == 0
        assert time.monotonic() - stopping < SHUTDOWN_TIMEOUT + 1.5
    lines = log.read_text().splitlines()
    assert len(lines) < 10 and lines[-1] == "INFO stopped" and "Traceback" not in log.read_text(), lines


@pytest.mark.parametrize("tls", [False, pytest.param(True, marks=needs_openssl)])
def test_what_is_left_at_the_shutdown_timeout_is_closed(tmp_path, tls):
    """A request still waiting for its body, or a TLS handshake left half
    done: the stop waits for them until the timeout, then closes them."""
    certificate = (
        dict(zip(("ssl_certfile", "ssl_keyfile"), self_signed_certificate(tmp_path), strict=True)) if tls else {}
    )
    with serving(hello_app, threads=1, shutdown_timeout=SHUTDOWN_TIMEOUT, **certificate) as server:
        client = socket.create_connection(("127.0.0.1", server.port), timeout=5)
        if tls:
            hello = ssl.MemoryBIO()
            with pytest.raises(ssl.SSLWantReadError):
                ssl.create_default_context().wrap_bio(ssl.MemoryBIO(), hello).do_handshake()
        client.sendall(hello.read() if tls else GET)
        assert client.recv(65536), "the server's handshake, or its answer: the connection is accepted"
        client.sendall(b"" if tls else STUCK)
        stopping = time.monotonic()
    assert SHUTDOWN_TIMEOUT <= time.monotonic() - stopping < SHUTDOWN_TIMEOUT + 1
    with client:
        recv_until_closed(client)  # returns: the server closed it


# Steps "seconds source action": + reports, - clears, ~ clears quietly.
@pytest.mark.parametrize(
    ("steps", "expected"),
    [
        ("0 a+ 1 a+ 2 a+ 5 a+ 6 a+ 7 a-", ["started E", "ongoing 3 5.0", "ended 7.0"]),
        ("0 a+ 1 b+ 2 a- 3 b+ 4 b-", ["started E", "ended 4.0"]),  # over when its last source clears
        ("0 a+ 1 a~ 2 a+ 3 a-", ["started E", "started E", "ended 1.0"]),  # ended quietly, then again
    ],
)
def test_a_recurring_condition_is_logged_once_then_counted(monkeypatch, caplog, steps, expected):
    now = [0.0]
    monkeypatch.setattr(logs, "time", SimpleNamespace(monotonic=lambda: now[0]))
    logger = logging.getLogger("recurring-condition-test")
    recurring = RecurringCondition(logger, "started %s", "ongoing %d %.1f", "ended %.1f", interval=5.0)
    for at, step in zip(*[iter(steps.split())] * 2, strict=True):
        now[0] = float(at)
        if step[-1] == "+":
            recurring.report(step[:-1], "E")
        else:
            recurring.clear(step[:-1], quietly=step[-1] == "~")
    assert caplog.messages == expected
