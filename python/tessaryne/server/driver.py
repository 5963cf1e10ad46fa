"""The native connection driver on one loop.

Plain-TCP connections are served by a `ConnectionDriver`: the loop watches its
one descriptor and calls `run()`, which reads, parses, answers and closes
natively. Python runs only what belongs to the application: one task per
request around the app (below), and the WebSocket session, which writes
through the driver's connection.
"""

from __future__ import annotations

import asyncio
import functools
import socket
from collections.abc import Callable
from typing import Any

from .._tessaryne_core import ConnectionDriver
from .app_errors import note_app_error
from .asgi import Scope
from .logs import log_access, log_access_line, server_logger
from .proxy_protocol import Addresses
from .scope import ASGI_VERSION, RequestEvent, address, server_address
from .state import FrameSource, LoopState
from .websocket import WebSocketSession
from .wsgi import FileWrapper, environ_template, serve_calls

__all__ = ["NativeServing", "SessionConnection"]


async def _serve_request(app: Any, scope: Scope, exchange: Any) -> None:
    try:
        await app(scope, exchange.receive, exchange.send)
    except Exception as error:  # noqa: BLE001 - any failure of the application is logged and answered
        if exchange.app_failed():
            server_logger.exception("Exception in ASGI application")
            note_app_error(error)
        else:
            # A client going away is not an application error.
            server_logger.debug("ASGI application raised after its client went away", exc_info=True)
        return
    if exchange.app_returned():
        server_logger.error("ASGI application returned without completing its response")


class SessionConnection:
    """A driver connection as a WebSocket session sees it."""

    __slots__ = ("_native", "state")

    def __init__(self, native: Any, state: LoopState) -> None:
        self._native = native
        self.state = state

    def write(self, data: bytes) -> None:
        self._native.write(data)

    def write_response(
        self, status: int, headers: list[tuple[bytes, bytes]], body: bytes, *, more_body: bool, no_body: bool
    ) -> bool:
        return bool(self._native.write_response(status, headers, body, more_body, no_body))

    def access_line(self, status: int, headers: list[tuple[bytes, bytes]], sent: int) -> str | None:
        return self._native.access_line(status, headers, sent)  # type: ignore[no-any-return]

    def close(self) -> None:
        self._native.close()

    def gone(self) -> bool:
        return bool(self._native.gone())

    def pause_reading(self) -> None:
        self._native.pause_reading()

    def resume_reading(self) -> None:
        self._native.resume_reading()

    @property
    def connection(self) -> FrameSource:
        return self._native  # type: ignore[no-any-return]

    @property
    def write_paused(self) -> bool:
        return bool(self._native.write_paused)

    async def drain(self) -> None:
        await self._native.drain()


class NativeServing:
    """Owns the loop's driver and registers it with the loop."""

    def __init__(self, state: LoopState) -> None:
        config = state.config
        self.state = state
        self.loop = state.loop
        self.app = state.app
        # Python hears of a completed response only when it logs or counts them;
        # with a format of the operator's, as the line rendered natively.
        access_format = config.access_line_format()
        done: Callable[..., None] | None = None
        if config.access_log or state.requests is not None:
            done = self._response_done if access_format is None else self._line_done
        serve: Callable[..., Any] = functools.partial(_serve_request, state.app)
        environ: dict[str, Any] | None = None
        if state.wsgi:
            if state.executor is None:
                raise RuntimeError("a WSGI application needs the loop state's executor")
            serve, environ = serve_calls(state.app, state.executor), environ_template(config)
        self.driver = ConnectionDriver(
            config,
            loop=state.loop,
            serve=serve,
            task=asyncio.Task,
            websocket=self._websocket,
            access=done,
            state=state.lifespan_state,
            asgi=ASGI_VERSION,
            counters=state.counters,
            concurrency=state.concurrency,
            access_format=access_format,
            wsgi_environ=environ,
            file_wrapper=FileWrapper,
        )
        state.driver = self.driver
        self.loop.add_reader(self.driver.fileno(), self.driver.run)

    def adopt(self, conn: socket.socket, addresses: Addresses | None = None) -> None:
        """Hands an accepted socket to the driver, which owns it from here;
        ``addresses`` (client, server), a proxy's word, stand for its own."""
        try:
            conn.setblocking(False)
            client, server = address(conn.getpeername()), server_address(conn.getsockname())
        except OSError:
            conn.close()  # gone already
            return
        if addresses is not None:
            client, server = addresses
        self.driver.adopt(conn.detach(), client, server)

    def close(self) -> None:
        self.loop.remove_reader(self.driver.fileno())

    def _response_done(
        self,
        client: tuple[str, int] | None,
        method: str,
        raw_path: bytes,
        query: bytes,
        version: str,
        status: int,
        sent: int,
    ) -> None:
        if self.state.config.access_log:
            log_access(client, method, raw_path, query, version, status, sent)
        self.state.request_done()

    def _line_done(self, line: str) -> None:
        log_access_line(line)
        self.state.request_done()

    def _websocket(self, native: Any, request: RequestEvent, scope: Scope) -> WebSocketSession:
        session = WebSocketSession(SessionConnection(native, self.state), request, scope)
        session.start()
        return session
