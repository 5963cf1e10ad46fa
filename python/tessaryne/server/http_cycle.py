"""One ASGI http request/response cycle on a connection.

The protocol hands the cycle the request event and the body pieces as the
engine produces them; the application reads them through `receive()` and
answers through `send()`. Every response byte comes from the engine's
serializers: the head (coalesced with the first body piece) from
`format_response`, further pieces from `format_chunk` or written raw.
"""

from __future__ import annotations

import asyncio
from typing import TYPE_CHECKING, Any

from .._tessaryne_core import FastHttpConnection
from .asgi import Message, Scope
from .logs import log_access, server_logger
from .state import ConnectionIO

if TYPE_CHECKING:
    from .scope import RequestEvent

__all__ = ["HttpCycle"]

format_response = FastHttpConnection.format_response
format_chunk = FastHttpConnection.format_chunk

# The interim answer to "Expect: 100-continue"; the serializer always adds a
# framing or connection line, which an interim response must not carry.
CONTINUE = b"HTTP/1.1 100 Continue\r\n\r\n"

# How body pieces after the head go out.
_FRAMED = 0  # raw: the length was announced, or the connection close ends the body
_CHUNKED = 1  # each piece through format_chunk
_DISCARDED = 2  # HEAD and no-body statuses: the app's pieces are dropped

_SERVER_ERROR_HEADERS = ((b"content-type", b"text/plain; charset=utf-8"),)
_SERVER_ERROR_BODY = b"Internal Server Error"


class HttpCycle:
    """Lives from a request event to the end of its response; the protocol
    holds it while the request is being served."""

    __slots__ = (
        "protocol", "scope", "request", "keep_alive", "expect_continue",
        "body", "body_size", "body_complete", "delivered", "waiter",
        "status", "headers", "started", "head_sent", "complete", "mode",
        "disconnected", "eof", "sent",
    )

    def __init__(self, protocol: ConnectionIO, request: RequestEvent, scope: Scope) -> None:
        self.protocol = protocol
        self.scope = scope
        self.request = request
        has_body = request[10]
        self.keep_alive = request[7]
        self.expect_continue = has_body and request[5] == "1.1" and _expects_continue(request[6])
        # Body pieces received and not yet handed to the app.
        self.body: list[bytes] = []
        self.body_size = 0
        self.body_complete = not has_body
        # The app has been given the last piece of the request body.
        self.delivered = False
        self.waiter: asyncio.Future[None] | None = None
        self.status = 0
        self.headers: Any = ()
        self.started = False
        self.head_sent = False
        self.complete = False
        self.mode = _FRAMED
        # The connection is gone, or the client has finished sending (half-close).
        self.disconnected = False
        self.eof = False
        self.sent = 0

    def start(self) -> None:
        # An eager task runs the app up to its first real suspension right
        # here, so a simple app has answered before data_received returns.
        asyncio.Task(self.run(), loop=self.protocol.loop, eager_start=True)

    async def run(self) -> None:
        try:
            await self.protocol.state.app(self.scope, self.receive, self.send)
        except Exception:
            if self.disconnected or self.protocol.gone():
                # A client going away is not an application error.
                server_logger.debug("ASGI application raised after its client went away", exc_info=True)
                return
            server_logger.exception("Exception in ASGI application")
            self.fail()
            return
        if self.complete or self.disconnected:
            return
        if self.eof:
            # The client stopped sending and the app chose not to answer.
            self.protocol.close()
            return
        server_logger.error("ASGI application returned without completing its response")
        self.fail()

    def fail(self) -> None:
        """500 while nothing went out; otherwise the response is cut short by closing."""
        if self.complete:
            return
        if self.head_sent:
            self.complete = True
            self.protocol.response_failed()
            return
        self.status, self.headers, self.started = 500, _SERVER_ERROR_HEADERS, True
        self.write_head(_SERVER_ERROR_BODY, False)

    # --- input, from the protocol ---------------------------------------------

    def on_body(self, data: bytes, more: bool) -> None:
        if data:
            self.body.append(data)
            self.body_size += len(data)
        if not more:
            self.body_complete = True
        elif self.body_size > self.protocol.config.read_buffer_limit:
            self.protocol.pause_reading()
        self.wake()

    def on_disconnect(self) -> None:
        self.disconnected = True
        self.wake()

    def on_eof(self) -> None:
        # The client may still read the answer: only an app waiting for the
        # end of the exchange is told.
        self.eof = True
        self.wake()

    def wake(self) -> None:
        waiter = self.waiter
        if waiter is not None and not waiter.done():
            waiter.set_result(None)

    async def wait(self) -> None:
        waiter = self.waiter = self.protocol.loop.create_future()
        try:
            await waiter
        finally:
            self.waiter = None

    # --- the ASGI callables ---------------------------------------------------

    async def receive(self) -> Message:
        if not self.delivered:
            # Once the request is answered, body bytes that have not arrived
            # are no longer awaited: the connection drains and discards them.
            while not (self.body or self.body_complete or self.disconnected or self.complete):
                if self.expect_continue:
                    self.expect_continue = False
                    if not self.head_sent:
                        self.protocol.transport.write(CONTINUE)
                        self.protocol.await_body()
                self.protocol.resume_reading()
                await self.wait()
            if self.body or self.body_complete:
                body = self.body
                data = body[0] if len(body) == 1 else b"".join(body)
                body.clear()
                self.body_size = 0
                self.delivered = self.body_complete
                if not self.delivered:
                    self.protocol.resume_reading()
                return {"type": "http.request", "body": data, "more_body": not self.delivered}
        while not (self.complete or self.disconnected or self.eof):
            await self.wait()
        return {"type": "http.disconnect"}

    async def send(self, message: Message) -> None:
        protocol = self.protocol
        if protocol.write_paused:
            await protocol.drain()
        if self.disconnected or protocol.gone():
            # Also before connection_lost has run: a write that met a reset has
            # already closed the transport.
            self.disconnected = True
            raise ConnectionError("the client has disconnected")
        kind = message["type"]
        if kind == "http.response.body":
            if not self.started:
                raise RuntimeError("ASGI 'http.response.body' sent before 'http.response.start'")
            if self.complete:
                raise RuntimeError("ASGI 'http.response.body' sent after the response was complete")
            body = message.get("body", b"")
            if type(body) is not bytes:
                body = bytes(body)
            more = bool(message.get("more_body", False))
            if not self.head_sent:
                self.write_head(body, more)
                return
            if self.mode == _CHUNKED:
                protocol.transport.write(format_chunk(body, more))
            elif self.mode == _FRAMED and body:
                protocol.transport.write(body)
            self.sent += len(body)
            if not more:
                self.finish()
        elif kind == "http.response.start":
            if self.started:
                raise RuntimeError("ASGI 'http.response.start' sent twice")
            status = message["status"]
            if type(status) is not int:
                raise RuntimeError(f"ASGI response status must be an int, not {type(status).__name__}")
            self.status = status
            self.headers = message.get("headers", ())
            self.started = True
        elif kind == "http.response.trailers":
            raise RuntimeError("ASGI response trailers are not supported")
        else:
            raise RuntimeError(f"Unexpected ASGI message type {kind!r} for an http connection")

    # --- output ---------------------------------------------------------------

    def write_head(self, body: bytes, more: bool) -> None:
        protocol = self.protocol
        state = protocol.state
        status = self.status
        # A response given before the whole request body has arrived ends the
        # connection: the rest of the body is drained by the lingering close
        # instead of being parsed as the next request.
        keep_alive = self.keep_alive and self.body_complete and not self.eof and not state.shutting_down
        server, date = state.server_header, state.date_header
        if status < 200 or status == 204 or status == 304:
            data, _, keep_alive = format_response(status, server, date, self.headers, b"", False, True, keep_alive)
            self.mode = _DISCARDED
        elif self.request[1] == "HEAD":
            # The head a GET would get, with its length or chunked framing, minus the body.
            data, _, keep_alive = format_response(
                status, server, date, self.headers, b"" if more else body, more, False, keep_alive)
            if body and not more:
                data = data[: len(data) - len(body)]
            self.mode = _DISCARDED
        else:
            data, chunked, keep_alive = format_response(
                status, server, date, self.headers, body, more, False, keep_alive)
            if chunked and self.request[5] == "1.0":
                # An HTTP/1.0 client cannot read chunks: no framing at all, the
                # body runs to the connection's close.
                head, _, keep_alive = format_response(status, server, date, self.headers, b"", False, True, False)
                data = head + body
                chunked = False
            self.mode = _CHUNKED if chunked else _FRAMED
        self.keep_alive = keep_alive
        self.head_sent = True
        self.sent = len(body)
        protocol.transport.write(data)
        if not more:
            self.finish()

    def finish(self) -> None:
        self.complete = True
        protocol = self.protocol
        if protocol.config.access_log:
            log_access(self.scope["client"], self.request, self.status, self.sent)
        if self.waiter is not None:
            self.wake()
        protocol.state.request_done()
        protocol.response_complete(self.keep_alive)


def _expects_continue(headers: list[tuple[bytes, bytes]]) -> bool:
    for name, value in headers:
        if name == b"expect" and value.lower() == b"100-continue":
            return True
    return False
