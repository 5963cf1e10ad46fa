"""The asyncio protocol of one client connection.

Received bytes go into the connection's `FastHttpConnection`; the events that
come out drive one `HttpCycle` per request, or hand the connection to a
`WebSocketSession` after an upgrade request. Around the engine this adds what
a server owes its clients: the Host check, 100-continue, HEAD and HTTP/1.0
framing (in the cycle), flow control both ways, idle, slow-head and
stalled-body timeouts, and a lingering close so a client still sending sees the
answer it got.

When the connection ends, the protocol lets go of its cycle or session: they
point back to it, and a finished connection must be freed by reference
counting alone, not left to the cyclic collector.
"""

from __future__ import annotations

import asyncio
import socket
from typing import Any

from .._tessaryne_core import FastHttpConnection
from .http_cycle import HttpCycle
from .scope import (
    BODY_DATA, BODY_MORE, ERROR_RESPONSE, EVENT_BODY, EVENT_ERROR, EVENT_REQUEST, REQUEST_HEADERS,
    REQUEST_UPGRADE, REQUEST_UPGRADE_TO, REQUEST_VERSION, RequestEvent, address, http_scope, websocket_scope,
)
from .state import LoopState
from .websocket import WebSocketSession

__all__ = ["HttpProtocol"]


# What the connection's single timer watches for.
_IDLE = 0  # between requests: keep_alive_timeout
_HEAD = 1  # part of a head received: head_timeout from its first byte
_BODY = 2  # the request's body is due: body_timeout from its last byte, while reading
_BUSY = 3  # a request is being served or a WebSocket session runs: no timer
_LINGER = 4  # after the last answer, draining input: linger_timeout

_TEXT_HEADERS = ((b"content-type", b"text/plain; charset=utf-8"),)
_BAD_HOST_BODY = b"Bad Request: exactly one Host header is required"
_TIMEOUT_BODY = b"Request Timeout"


class HttpProtocol(asyncio.BufferedProtocol):
    __slots__ = (
        "state", "config", "loop", "connection", "transport", "client", "server", "tls",
        "cycle", "websocket", "handling", "pump_pending", "held", "read_paused", "write_paused",
        "drain_waiters", "phase", "deadline", "timer", "timer_at", "clock", "eof", "closed",
    )

    def __init__(self, state: LoopState) -> None:
        config = state.config
        self.state = state
        self.config = config
        self.loop = state.loop
        self.connection = FastHttpConnection(
            config.max_body_size, config.max_header_size, config.max_keepalive_requests)
        self.transport: asyncio.Transport = None  # type: ignore[assignment]  # set in connection_made
        self.client: tuple[str, int] | None = None
        self.server: tuple[str, int] | None = None
        self.tls = False
        self.cycle: HttpCycle | None = None
        self.websocket: WebSocketSession | None = None
        # Inside handle(): a response completed there defers the next request to its loop.
        self.handling = False
        self.pump_pending = False
        # Bytes received while the current request is complete and still being answered.
        self.held = 0
        self.read_paused = False
        self.write_paused = False
        self.drain_waiters: list[asyncio.Future[None]] = []
        self.phase = _IDLE
        self.deadline = 0.0
        self.timer: asyncio.TimerHandle | None = None
        self.timer_at = 0.0
        self.clock = state.loop.time
        self.eof = False
        self.closed = False

    # --- asyncio callbacks ----------------------------------------------------

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        assert isinstance(transport, asyncio.Transport)
        self.transport = transport
        sock = transport.get_extra_info("socket")
        if sock is not None and sock.family in (socket.AF_INET, socket.AF_INET6):
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.client = address(transport.get_extra_info("peername"))
        self.server = address(transport.get_extra_info("sockname"))
        self.tls = transport.get_extra_info("sslcontext") is not None
        self.state.connections.add(self)
        if self.state.shutting_down:
            self.close()
            return
        self.arm(self.clock() + self.config.keep_alive_timeout)

    def connection_lost(self, exc: Exception | None) -> None:
        self.closed = True
        # Already closing, so this only drops the transport's reference to its
        # own read callback: a connection reset skips close(), and that cycle
        # would keep the transport until the cyclic collector runs.
        self.transport.close()
        self.state.connections.discard(self)
        if self.timer is not None:
            self.timer.cancel()
            self.timer = None
        # The cycle and the session point back to this protocol: letting go of
        # them here leaves no reference cycle once their app returns.
        cycle, self.cycle = self.cycle, None
        if cycle is not None:
            cycle.on_disconnect()
        websocket, self.websocket = self.websocket, None
        if websocket is not None:
            websocket.connection_lost()
        self.write_paused = False
        self.wake_drain_waiters()

    def get_buffer(self, sizehint: int) -> memoryview:
        return self.state.read_buffer

    def buffer_updated(self, nbytes: int) -> None:
        # The engine copies what it keeps, so the loop's one read buffer is free again on return.
        self.data_received(self.state.read_buffer[:nbytes])

    def data_received(self, data: bytes | memoryview) -> None:
        if self.websocket is not None:
            self.websocket.on_events(self.connection.feed_data(data))
            return
        phase = self.phase
        if phase == _LINGER:
            return
        if phase == _BODY:
            self.arm(self.clock() + self.config.body_timeout)
        cycle = self.cycle
        if cycle is not None and cycle.body_complete:
            # Pipelined bytes wait in the engine until this request is answered.
            self.held += len(data)
            if self.held > self.config.read_buffer_limit:
                self.pause_reading()
        events = self.connection.feed_data(data)
        if events:
            self.handle(events)
        elif cycle is None and self.phase == _IDLE:
            self.phase = _HEAD
            self.arm(self.clock() + self.config.head_timeout)

    def eof_received(self) -> bool:
        cycle = self.cycle
        if cycle is None or not cycle.body_complete or self.phase == _LINGER:
            # Nothing to answer, or a request that can never be complete: the
            # loss of the connection tells its app.
            return False
        # Keep the write side open: a half-closed client still reads its answer.
        self.eof = True
        cycle.on_eof()
        return True

    def pause_writing(self) -> None:
        self.write_paused = True

    def resume_writing(self) -> None:
        self.write_paused = False
        self.wake_drain_waiters()

    def wake_drain_waiters(self) -> None:
        # A result, never an exception: drain() raises a fresh one itself, so no
        # future keeps an exception whose traceback holds that future.
        for waiter in self.drain_waiters:
            if not waiter.done():
                waiter.set_result(None)
        self.drain_waiters.clear()

    # --- what cycles and sessions use -----------------------------------------

    async def drain(self) -> None:
        """Returns once the transport takes more bytes; ConnectionError once it is gone."""
        if self.closed or self.transport.is_closing():
            raise ConnectionError("connection lost")
        if not self.write_paused:
            return
        waiter = self.loop.create_future()
        self.drain_waiters.append(waiter)
        await waiter
        if self.closed:
            raise ConnectionError("connection lost")

    def write(self, data: bytes) -> None:
        self.transport.write(data)

    def gone(self) -> bool:
        """Whether the connection has ended or is ending: nothing more can be sent."""
        return self.closed or self.transport.is_closing()

    def pause_reading(self) -> None:
        if not self.read_paused:
            self.read_paused = True
            self.transport.pause_reading()

    def resume_reading(self) -> None:
        if self.read_paused:
            self.read_paused = False
            self.transport.resume_reading()
            if self.phase == _BODY:
                # While reading was paused the app was behind, not the client.
                self.arm(self.clock() + self.config.body_timeout)

    def await_body(self) -> None:
        """The request's body is now due from the client (at once, or once
        "100 Continue" went out): from here its bytes must keep coming."""
        if self.phase == _BUSY and self.cycle is not None and not self.cycle.body_complete:
            self.phase = _BODY
            self.arm(self.clock() + self.config.body_timeout)

    def close(self) -> None:
        if not self.transport.is_closing():
            self.transport.close()

    def shutdown(self) -> None:
        """No more keep-alive: idle connections close now, busy ones after their answer."""
        if self.websocket is not None:
            self.websocket.shutdown()
        elif self.cycle is None and self.phase != _LINGER:
            self.close()

    def force_close(self) -> None:
        self.transport.abort()

    # --- events ---------------------------------------------------------------

    def handle(self, events: list[Any]) -> None:
        """Runs the events of one engine call in order. A response completed
        while this runs asks for the next request by setting pump_pending, so
        pipelined requests are served in this loop, not by recursion."""
        self.handling = True
        try:
            while True:
                started: HttpCycle | None = None
                for event in events:
                    kind = event[0]
                    if kind == EVENT_BODY:
                        assert self.cycle is not None
                        self.cycle.on_body(event[BODY_DATA], event[BODY_MORE])
                        if not event[BODY_MORE] and self.phase == _BODY:
                            self.phase = _BUSY
                    elif kind == EVENT_REQUEST:
                        if not self.check_host(event):
                            return
                        if event[REQUEST_UPGRADE] and event[REQUEST_UPGRADE_TO] == b"websocket":
                            self.start_websocket(event)
                            return
                        self.phase = _BUSY
                        self.held = 0
                        scope = http_scope(event, self.state, self.client, self.server, self.tls)
                        started = self.cycle = HttpCycle(self, event, scope)
                        if not started.expect_continue:
                            self.await_body()
                    elif kind == EVENT_ERROR:
                        self.end_request(event[ERROR_RESPONSE])
                        return
                if started is not None:
                    started.start()
                if not self.pump_pending:
                    return
                self.pump_pending = False
                events = self.connection.pump_events()
                if not events:
                    return
        finally:
            self.handling = False
            self.pump_pending = False

    def check_host(self, request: RequestEvent) -> bool:
        """An HTTP/1.1 request names its host exactly once."""
        if request[REQUEST_VERSION] != "1.1":
            return True
        hosts = 0
        for name, _ in request[REQUEST_HEADERS]:
            if name == b"host":
                hosts += 1
        if hosts == 1:
            return True
        self.connection.close()
        self.linger(self.text_response(400, _BAD_HOST_BODY))
        return False

    def text_response(self, status: int, text: bytes) -> bytes:
        """A short plain-text answer of the server's own, ending the connection."""
        state = self.state
        response, _, _ = FastHttpConnection.format_response(
            status, state.server_header, state.date_header, _TEXT_HEADERS, text, False, False, False)
        return response

    def start_websocket(self, request: RequestEvent) -> None:
        self.phase = _BUSY
        self.deadline = 0.0
        scope = websocket_scope(request, self.state, self.client, self.server, self.tls)
        session = WebSocketSession(self, request, scope)
        self.websocket = session
        session.start()

    def end_request(self, response: bytes) -> None:
        """A protocol error or a timeout ends the connection with this answer.
        A request broken off mid-body: its app hears a disconnect, and an
        answer already under way cannot be followed by these bytes."""
        cycle = self.cycle
        if cycle is not None:
            self.cycle = None
            cycle.on_disconnect()
            if cycle.head_sent:
                self.close()
                return
        self.linger(response)

    # --- end of a response ----------------------------------------------------

    def response_complete(self, keep_alive: bool) -> None:
        self.cycle = None
        if self.closed:
            return
        if not keep_alive or self.eof:
            self.linger(b"")
            return
        connection = self.connection
        connection.reset_for_next_request()
        if connection.is_closed() or self.state.shutting_down:
            self.linger(b"")
            return
        self.phase = _IDLE
        self.arm(self.clock() + self.config.keep_alive_timeout)
        if self.read_paused:
            self.resume_reading()
        if self.handling:
            self.pump_pending = True
            return
        events = connection.pump_events()
        if events:
            self.handle(events)

    def response_failed(self) -> None:
        """The app failed after its response head went out: the response cannot be completed."""
        self.cycle = None
        self.close()

    def linger(self, data: bytes) -> None:
        """Write the last bytes, half-close, and drain the input for a while so
        the client reads them instead of a reset caused by unread upload."""
        transport = self.transport
        if transport.is_closing():
            return
        if data:
            transport.write(data)
        if self.eof or not transport.can_write_eof():
            transport.close()
            return
        try:
            transport.write_eof()
        except OSError:
            # The client reset the connection and its loss is not read yet.
            transport.abort()
            return
        self.phase = _LINGER
        self.resume_reading()
        self.arm(self.clock() + self.config.linger_timeout)

    # --- the one timer --------------------------------------------------------

    def arm(self, deadline: float) -> None:
        """Moving the deadline later costs nothing: the pending timer re-arms when it fires."""
        self.deadline = deadline
        if self.timer is None or self.timer_at > deadline:
            if self.timer is not None:
                self.timer.cancel()
            self.timer = self.loop.call_at(deadline, self.on_timer)
            self.timer_at = deadline

    def on_timer(self) -> None:
        self.timer = None
        phase = self.phase
        if phase == _BUSY or self.closed or (phase == _BODY and self.read_paused):
            return  # resume_reading() re-arms a paused body's timer
        if self.clock() < self.deadline:
            self.timer = self.loop.call_at(self.deadline, self.on_timer)
            self.timer_at = self.deadline
        elif phase == _LINGER:
            self.transport.abort()
        elif phase == _IDLE:
            self.close()
        else:
            # A head or a body too slow: the client hears why before the close.
            self.connection.close()
            self.end_request(self.text_response(408, _TIMEOUT_BODY))
