"""What the connections of one loop thread share: the settings, the app, the
live connections (for graceful shutdown), the cached date header and the
process's count of answered requests."""

from __future__ import annotations

import asyncio
import threading
import time
from collections.abc import Callable
from email.utils import formatdate
from typing import Any, Protocol

from .._tessaryne_core import FastHttpConnection
from .config import Config

__all__ = ["ConnectionIO", "LoopState", "RequestCount"]


class ConnectionIO(Protocol):
    """What a request cycle, a WebSocket session and the runner use of a
    connection; the connection protocol implements it."""

    transport: asyncio.Transport
    connection: FastHttpConnection
    state: LoopState
    config: Config
    loop: asyncio.AbstractEventLoop
    write_paused: bool

    async def drain(self) -> None: ...
    def gone(self) -> bool: ...
    def pause_reading(self) -> None: ...
    def resume_reading(self) -> None: ...
    def await_body(self) -> None: ...
    def close(self) -> None: ...
    def response_complete(self, keep_alive: bool) -> None: ...
    def response_failed(self) -> None: ...
    def shutdown(self) -> None: ...
    def force_close(self) -> None: ...


class RequestCount:
    """The answered requests of every loop of a process, against a limit:
    on_reached runs once, on the loop thread whose answer reached it."""

    def __init__(self, limit: int, on_reached: Callable[[], None]) -> None:
        self._lock = threading.Lock()
        self._left = limit
        self._on_reached = on_reached

    def add(self) -> None:
        with self._lock:
            self._left -= 1
            reached = self._left == 0
        if reached:
            self._on_reached()


class LoopState:
    """Owned by one loop thread; only that thread touches it (the request
    count excepted, which is made for sharing)."""

    def __init__(
        self,
        config: Config,
        loop: asyncio.AbstractEventLoop,
        lifespan_state: dict[str, Any],
        requests: RequestCount | None = None,
    ) -> None:
        self.config = config
        self.app = config.app
        self.loop = loop
        # Copied shallowly into every scope's "state", as the lifespan protocol asks.
        self.lifespan_state = lifespan_state
        self.connections: set[ConnectionIO] = set()
        # Every connection of the loop reads into this, one at a time.
        self.read_buffer = memoryview(bytearray(64 * 1024))
        self.shutting_down = False
        self.requests = requests
        self.server_header = b"server: tessaryne\r\n"
        self._date_second = 0
        self._date_header = b""

    def request_done(self) -> None:
        """A response is complete."""
        if self.requests is not None:
            self.requests.add()

    @property
    def date_header(self) -> bytes:
        """The date line, rebuilt at most once a second."""
        now = int(time.time())
        if now != self._date_second:
            self._date_second = now
            self._date_header = b"date: " + formatdate(now, usegmt=True).encode("ascii") + b"\r\n"
        return self._date_header
