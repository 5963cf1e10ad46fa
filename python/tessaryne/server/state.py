"""What the connections of one loop thread share: the settings, the app, the
live connections (for graceful shutdown) and the process's count of answered
requests."""

from __future__ import annotations

import asyncio
import threading
from collections.abc import Callable
from typing import Any, Protocol

from .._tessaryne_core import ConnectionDriver, ServerCounters
from .asgi import ASGIApp
from ..executor import WorkerPoolExecutor
from .config import Config
from .wsgi import serves_wsgi

__all__ = ["FrameSource", "LoopState", "RequestCount", "SessionIO"]


class FrameSource(Protocol):
    """The engine side of a connection that a WebSocket session switches over."""

    def switch_to_websocket(self) -> None: ...
    def pump_events(self) -> list[Any]: ...
    # The keywords of FastHttpConnection.configure_websocket.
    def configure_websocket(self, **settings: Any) -> None: ...
    def format_ws_message(self, opcode: int, payload: bytes) -> bytes: ...


class SessionIO(Protocol):
    """What a WebSocket session uses of its connection (the driver's, seen through SessionConnection)."""

    @property
    def state(self) -> LoopState: ...
    @property
    def connection(self) -> FrameSource: ...
    @property
    def write_paused(self) -> bool: ...

    def write(self, data: bytes) -> None: ...
    # A response with the server's own lines; whether the rest of its body goes in chunks.
    def write_response(
        self, status: int, headers: list[tuple[bytes, bytes]], body: bytes, *, more_body: bool, no_body: bool
    ) -> bool: ...
    # Its access line in the driver's access format; None without one.
    def access_line(self, status: int, headers: list[tuple[bytes, bytes]], sent: int) -> str | None: ...
    async def drain(self) -> None: ...
    def gone(self) -> bool: ...
    def pause_reading(self) -> None: ...
    def resume_reading(self) -> None: ...
    def close(self) -> None: ...


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
        app: ASGIApp,
        requests: RequestCount | None = None,
    ) -> None:
        self.config = config
        # The loop's own application when config.factory made one for it.
        self.app = app
        self.loop = loop
        # Copied shallowly into every scope's "state", as the lifespan protocol asks.
        self.lifespan_state = lifespan_state
        # Serves the loop's connections, once the runner made it.
        self.driver: ConnectionDriver | None = None
        self.requests = requests
        # The loop's counters, and the cell of requests in flight that every
        # loop of the process shares (set by the runner).
        self.counters: ServerCounters | None = None
        self.concurrency: ServerCounters | None = None
        # The executor whose workers run a WSGI application's calls (set by the runner).
        self.executor: WorkerPoolExecutor | None = None
        self.wsgi = serves_wsgi(config, app)

    def open_connections(self) -> int:
        """Connections of this loop that are not closed yet, whoever serves them."""
        return len(self.driver) if self.driver is not None else 0

    def shut_down_connections(self) -> None:
        """No more keep-alive: idle connections close now, busy ones after
        their answer, WebSocket sessions say goodbye."""
        if self.driver is not None:
            for session in self.driver.shutdown():
                session.shutdown()

    def request_done(self) -> None:
        """A response is complete."""
        if self.requests is not None:
            self.requests.add()
