"""What the connections of one loop thread share: the settings, the app, the
live connections (for graceful shutdown) and the cached date header."""

from __future__ import annotations

import asyncio
import time
from email.utils import formatdate
from typing import Any, Protocol

from .._tessaryne_core import FastHttpConnection
from .asgi import ASGIApp
from .config import Config

__all__ = ["ConnectionIO", "LoopState"]


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


class LoopState:
    """Owned by one loop thread; only that thread touches it."""

    def __init__(
        self, config: Config, loop: asyncio.AbstractEventLoop, lifespan_state: dict[str, Any], app: ASGIApp
    ) -> None:
        self.config = config
        # The loop's own application when config.factory made one for it.
        self.app = app
        self.loop = loop
        # Copied shallowly into every scope's "state", as the lifespan protocol asks.
        self.lifespan_state = lifespan_state
        self.connections: set[ConnectionIO] = set()
        # Every connection of the loop reads into this, one at a time.
        self.read_buffer = memoryview(bytearray(64 * 1024))
        self.shutting_down = False
        self.server_header = b"server: tessaryne\r\n"
        self._date_second = 0
        self._date_header = b""

    @property
    def date_header(self) -> bytes:
        """The date line, rebuilt at most once a second."""
        now = int(time.time())
        if now != self._date_second:
            self._date_second = now
            self._date_header = b"date: " + formatdate(now, usegmt=True).encode("ascii") + b"\r\n"
        return self._date_header
