"""What the connections of one loop thread share: the settings, the app, the
live connections (for graceful shutdown) and the cached date header."""

from __future__ import annotations

import asyncio
import time
from email.utils import formatdate
from typing import Any, Protocol

from .._tessaryne_core import ConnectionDriver, FastHttpConnection
from .asgi import ASGIApp
from .config import Config

__all__ = ["FrameSource", "LoopState", "SessionIO"]


class FrameSource(Protocol):
    """The engine side of a connection that a WebSocket session switches over."""

    def switch_to_websocket(self) -> None: ...
    def pump_events(self) -> list[Any]: ...


class SessionIO(Protocol):
    """What a WebSocket session uses of its connection, asyncio's or the native driver's."""

    @property
    def state(self) -> LoopState: ...
    @property
    def connection(self) -> FrameSource: ...
    @property
    def write_paused(self) -> bool: ...

    def write(self, data: bytes) -> None: ...
    async def drain(self) -> None: ...
    def gone(self) -> bool: ...
    def pause_reading(self) -> None: ...
    def resume_reading(self) -> None: ...
    def close(self) -> None: ...


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
        # Serves the loop's connections, once the runner made it.
        self.driver: ConnectionDriver | None = None
        self.shutting_down = False
        self.server_header = b"server: tessaryne\r\n"
        self._date_second = 0
        self._date_header = b""

    def open_connections(self) -> int:
        """Connections of this loop that are not closed yet, whoever serves them."""
        return len(self.driver) if self.driver is not None else 0

    def shut_down_connections(self) -> None:
        """No more keep-alive: idle connections close now, busy ones after
        their answer, WebSocket sessions say goodbye."""
        self.shutting_down = True
        if self.driver is not None:
            for session in self.driver.shutdown():
                session.shutdown()

    @property
    def date_header(self) -> bytes:
        """The date line, rebuilt at most once a second."""
        now = int(time.time())
        if now != self._date_second:
            self._date_second = now
            self._date_header = b"date: " + formatdate(now, usegmt=True).encode("ascii") + b"\r\n"
        return self._date_header
