"""Servers for tests, on port 0: one loop's listener and connections on an
event loop in a thread (`serve`), the whole runner with its loop threads
(`serving`), or the command as a process (`command`, `tessaryne`,
`listening_port`), with its worker processes (`worker_pids`). `serve` and
`serving` run asyncio's loop unless given loop="uvloop" (see the
event_loop_kind fixture); the command takes uvloop where it is installed."""

from __future__ import annotations

import asyncio
import os
import queue
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

import pytest

from tessaryne.executor import WorkerPoolExecutor
from tessaryne.server.asgi import ASGIApp, Receive, Scope, Send
from tessaryne.server.config import Config
from tessaryne.server.runner import Server, event_loop_class, open_listener
from tessaryne.server.state import LoopState

# Where these helpers are: a child process that imports them runs from here.
HELPERS = Path(__file__).resolve().parent


class LoopServer:
    def __init__(self, state: LoopState, port: int) -> None:
        self.state = state
        self.loop = state.loop
        self.port = port

    def call(self, function: Callable[[], Any]) -> Any:
        """Runs function on the loop thread and returns its result."""

        async def run() -> Any:
            return function()

        return asyncio.run_coroutine_threadsafe(run(), self.loop).result(timeout=30)

    def connect(self) -> socket.socket:
        return socket.create_connection(("127.0.0.1", self.port), timeout=30)


@contextmanager
def serve(app: ASGIApp, **settings: Any) -> Iterator[LoopServer]:
    ssl_context = settings.pop("ssl_context", None)
    config = Config(
        app=app, host="127.0.0.1", port=0, threads=1, **{"access_log": False, "loop": "asyncio", **settings}
    )
    loop = event_loop_class(config)()
    state = LoopState(config, loop, {}, app)
    # A WSGI application's calls run on the executor's threads, as the runner gives them.
    executor = state.executor = WorkerPoolExecutor(config.executor_threads) if state.wsgi else None
    sock = socket.create_server(("127.0.0.1", 0))
    thread = threading.Thread(target=loop.run_forever, daemon=True)
    thread.start()
    server = LoopServer(state, sock.getsockname()[1])
    # The listener and the driver belong to the loop's thread.
    listener, native = server.call(lambda: open_listener(state, sock, ssl_context))
    try:
        yield server
    finally:

        def stop() -> None:
            listener.close()
            listener.abort_clients()
            if native is not None:
                native.close()
            # Application tasks still running end as the runner ends them:
            # cancelled, on their loop, before it stops.
            for task in asyncio.all_tasks(loop):
                task.cancel()
            loop.call_soon(loop.stop)

        loop.call_soon_threadsafe(stop)
        thread.join()
        loop.close()
        if executor is not None:
            executor.shutdown()


@contextmanager
def serving(app: ASGIApp, **settings: Any) -> Iterator[Server]:
    """The runner's Server: returns once every loop listens, and after stop()
    no loop thread is left."""
    server = Server(Config(app=app, **{"port": 0, "access_log": False, "loop": "asyncio", **settings}))
    server.start()
    try:
        yield server
    finally:
        server.stop()
    assert not [t for t in threading.enumerate() if t.name.startswith("tessaryne-loop-")]


def tessaryne(*args: str, cwd: Path | str) -> subprocess.Popen[str]:
    """``python -m tessaryne``, run from cwd (which `-m` puts on the import path)."""
    return subprocess.Popen([sys.executable, "-m", "tessaryne", *args], cwd=cwd, stderr=subprocess.PIPE, text=True)


class RunningCommand:
    """The command's process once it listens; its stderr is read all along, so
    that a server logging a lot never blocks on a full pipe."""

    def __init__(self, process: subprocess.Popen[str]) -> None:
        self.process = process
        self._lines: queue.Queue[str | None] = queue.Queue()
        self._stderr: list[str] = []
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        self.listening = self._wait_listening()
        self.port = int(self.listening[1])

    def _read(self) -> None:
        assert self.process.stderr is not None
        for line in self.process.stderr:
            self._stderr.append(line)
            self._lines.put(line)
        self._lines.put(None)

    def _wait_listening(self) -> re.Match[str]:
        while (line := self._lines.get(timeout=120)) is not None:
            if ready := re.search(r"tessaryne listening on \S+:(\d+) \((\d+) threads\)", line):
                return ready
        self._reader.join()
        raise AssertionError("the server ended before listening:\n" + "".join(self._stderr))

    def stop(self) -> str:
        """SIGTERM, a clean exit, and everything the server wrote on stderr."""
        self.process.send_signal(signal.SIGTERM)
        assert self.process.wait(timeout=120) == 0
        self._reader.join()
        return "".join(self._stderr)


@contextmanager
def command(*args: str, cwd: Path | str) -> Iterator[RunningCommand]:
    """``python -m tessaryne ... --port 0``, until it listens; killed at the end if still running."""
    process = tessaryne(*args, "--port", "0", cwd=cwd)
    try:
        yield RunningCommand(process)
    finally:
        process.kill()
        process.wait()


needs_openssl = pytest.mark.skipif(shutil.which("openssl") is None, reason="needs the openssl command")


def self_signed_certificate(directory: Path) -> tuple[str, str]:
    """The paths of a certificate for 127.0.0.1 and of its key, made with the openssl command."""
    cert, key = directory / "cert.pem", directory / "key.pem"
    subprocess.run(
        ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
         "-keyout", key, "-out", cert, "-days", "1", "-subj", "/CN=localhost", "-addext", "subjectAltName=IP:127.0.0.1"],
        check=True, capture_output=True,
    )  # fmt: skip
    return str(cert), str(key)


def recv_until_closed(sock: socket.socket) -> bytes:
    chunks = []
    while chunk := sock.recv(65536):
        chunks.append(chunk)
    return b"".join(chunks)


async def hello_app(scope: Scope, receive: Receive, send: Send) -> None:
    """Echoes the request body, or says hello."""
    assert scope["type"] == "http"
    body, message = b"", {"more_body": True}
    while message["more_body"]:
        message = await receive()
        body += message["body"]
    await send({"type": "http.response.start", "status": 200, "headers": [(b"content-type", b"text/plain")]})
    await send({"type": "http.response.body", "body": body or b"hello"})


def listening_port(process: subprocess.Popen[str]) -> int:
    """Reads the command's log until it listens; the port it says."""
    assert process.stderr is not None
    while True:
        line = process.stderr.readline()
        assert line, "the server ended before listening"
        if ready := re.search(r"tessaryne listening on https?://\S+:(\d+) ", line):
            return int(ready[1])


def worker_pids(cwd: Path) -> set[int]:
    """The worker processes alive that a command run from cwd started (read from /proc)."""
    found, where = set(), os.path.realpath(cwd)
    for entry in Path("/proc").iterdir():
        try:
            if b"worker_main" in (entry / "cmdline").read_bytes() and os.readlink(entry / "cwd") == where:
                found.add(int(entry.name))
        except OSError:
            pass  # not a process, or gone meanwhile
    return found


needs_proc = pytest.mark.skipif(not Path("/proc/self/cwd").exists(), reason="finds worker processes in /proc")


def wait_for(condition: Callable[[], Any], what: str) -> Any:
    """The first true value of condition(), asked every 50 ms; a minute without
    one is a hang, not slowness."""
    deadline = time.monotonic() + 60
    while not (result := condition()):
        assert time.monotonic() < deadline, f"still waiting for {what}"
        time.sleep(0.05)
    return result
