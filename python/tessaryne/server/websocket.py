"""The ASGI websocket cycle of one upgraded connection.

The engine reads and checks the client's frames; this session checks the
handshake, answers it, and does what the engine leaves to its caller: it
answers pings, runs the closing handshake and hands messages to the app.

`send()` of a message once the connection is gone raises `ConnectionError`
(an `OSError`), so an app notices a vanished client; a `websocket.close`
then is ignored, so closing twice is harmless. An app that raises once its
connection is over (a client that reset it, say) is logged at debug level:
a client going away is not an application error.
"""

from __future__ import annotations

import asyncio
import base64
import binascii
import hashlib
from collections import deque
from enum import Enum
from typing import Any

from .._tessaryne_core import FastHttpConnection, negotiate_permessage_deflate
from .app_errors import note_app_error
from .asgi import Message, Scope
from .logs import log_access, log_access_line, server_logger
from .scope import (
    ERROR_RESPONSE,
    ERROR_STATUS,
    EVENT_ERROR,
    EVENT_WS_MESSAGE,
    MESSAGE_OPCODE,
    MESSAGE_PAYLOAD,
    REQUEST_HEADERS,
    REQUEST_METHOD,
    REQUEST_QUERY,
    REQUEST_RAW_PATH,
    REQUEST_VERSION,
    RequestEvent,
)
from .state import SessionIO

__all__ = ["WebSocketSession", "accept_key", "close_code_is_valid"]

_GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
_TEXT, _BINARY, _CLOSE, _PING, _PONG = 1, 2, 8, 9, 10
# permessage-deflate as the server asks for it where the client lets it
# choose (measured in docs/architecture.md, "WebSocket compression"): the
# server's compressor is released after every message, so an idle session
# holds no deflate state, and a client that can take a 12-bit window gets
# one, which keeps the inflater the session holds at about 11 KiB.
DEFLATE_PREFERENCES: dict[str, Any] = {
    "server_no_context_takeover": True,
    "server_max_window_bits": 12,
    "client_max_window_bits": 12,
}
# A close frame's payload is at most 125 bytes, two of them the code.
_MAX_REASON = 123


def accept_key(key: bytes) -> bytes:
    """The Sec-WebSocket-Accept value for a client's Sec-WebSocket-Key."""
    return base64.b64encode(hashlib.sha1(key + _GUID).digest())


def close_code_is_valid(code: int) -> bool:
    """Whether a peer may send this code in a close frame (1005, 1006 and
    1015 only describe a closure locally; 1016-2999 are unassigned)."""
    return 1000 <= code <= 1003 or 1007 <= code <= 1014 or 3000 <= code <= 4999


def _close_payload(code: int, reason: bytes = b"") -> bytes:
    return code.to_bytes(2, "big") + reason


class _Phase(Enum):
    HANDSHAKE = 1  # the app decides: accept, close or deny
    DENYING = 2  # a denial response is being streamed
    OPEN = 3
    CLOSING = 4  # our close frame is out, the client's is awaited
    CLOSED = 5


class WebSocketSession:
    """One ASGI websocket cycle, driven by the connection's protocol."""

    def __init__(self, protocol: SessionIO, request: RequestEvent, scope: Scope) -> None:
        self._protocol = protocol
        self._request = request
        self._scope = scope
        scope.setdefault("extensions", {})["websocket.http.response"] = {}
        self._phase = _Phase.HANDSHAKE
        self._connect_sent = False
        self._queue: deque[Message] = deque()
        self._waiter: asyncio.Future[None] | None = None
        self._reading_paused = False
        # A violation that came after messages the app has not taken yet: its
        # close frame and code, sent once the app asks past those messages.
        self._failure: tuple[bytes, int] | None = None
        # Reading pauses once the app has this many received messages waiting,
        # and resumes once it has taken them down to a quarter.
        self._queue_high = protocol.state.config.ws_max_queue
        self._queue_low = self._queue_high // 4
        # The keep-alive ping: its timer, and the payload of the ping whose
        # pong is awaited.
        self._keepalive: asyncio.TimerHandle | None = None
        self._ping_payload: bytes | None = None
        self._pings_sent = 0
        self._close_code = 1006
        self._close_reason = ""
        self._close_timer: asyncio.TimerHandle | None = None
        # The loop keeps only a weak reference to a task.
        self._task: asyncio.Task[None] | None = None
        # A denial response: its status and headers until the first body part.
        self._denial: tuple[int, list[tuple[bytes, bytes]]] | None = None
        self._denial_chunked = False

    # --- the protocol's side ---------------------------------------------------

    def start(self) -> None:
        """Check the handshake; reject it at once or run the app."""
        error = self._handshake_error()
        if error is not None:
            self._reject(*error, b"Invalid WebSocket handshake\n")
            return
        self._task = self._protocol.state.loop.create_task(self._run_app())

    def on_events(self, events: list[Any]) -> None:
        for event in events:
            if self._phase is _Phase.CLOSED or self._failure is not None:
                return
            if event[0] == EVENT_WS_MESSAGE:
                self._on_frame(event[MESSAGE_OPCODE], event[MESSAGE_PAYLOAD])
            elif event[0] == EVENT_ERROR:
                self._failure = (event[ERROR_RESPONSE], event[ERROR_STATUS])
                if self._queue:
                    # The messages before the violation are the app's first, and
                    # its answers to them go out before the close.
                    self._protocol.pause_reading()
                else:
                    self._close_for_failure()

    def _close_for_failure(self) -> None:
        if self._failure is not None:
            frame, code = self._failure
            self._failure = None
            if self._phase is _Phase.OPEN:
                self._write(frame)
            self._close_transport(code)

    def connection_lost(self) -> None:
        self._finish(1006)

    def shutdown(self) -> None:
        """Server shutdown: a going-away close, then the end of the connection."""
        if self._phase is _Phase.OPEN:
            self._write(FastHttpConnection.format_ws_frame(_CLOSE, _close_payload(1001)))
        self._close_transport(1001)

    # --- the handshake -----------------------------------------------------------

    def _handshake_error(self) -> tuple[int, list[tuple[bytes, bytes]]] | None:
        request = self._request
        versions = [v for n, v in request[REQUEST_HEADERS] if n == b"sec-websocket-version"]
        keys = [v for n, v in request[REQUEST_HEADERS] if n == b"sec-websocket-key"]
        if versions != [b"13"]:
            return 426, [(b"sec-websocket-version", b"13")]
        if request[REQUEST_VERSION] == "2":
            # An extended CONNECT (RFC 8441): the stream is the session; no key to answer.
            return None
        if request[REQUEST_METHOD] != "GET" or request[REQUEST_VERSION] != "1.1" or len(keys) != 1:
            return 400, []
        try:
            decoded = base64.b64decode(keys[0].strip(), validate=True)
        except binascii.Error:
            return 400, []
        return None if len(decoded) == 16 else (400, [])

    def _accept(self, message: Message) -> None:
        headers: list[tuple[bytes, bytes]] = []
        if self._request[REQUEST_VERSION] != "2":
            key = next(v for n, v in self._request[REQUEST_HEADERS] if n == b"sec-websocket-key").strip()
            headers += [
                (b"upgrade", b"websocket"),
                (b"connection", b"Upgrade"),
                (b"sec-websocket-accept", accept_key(key)),
            ]
        subprotocol = message.get("subprotocol")
        if subprotocol is not None:
            headers.append((b"sec-websocket-protocol", subprotocol.encode("latin-1")))
        config = self._protocol.state.config
        deflate: dict[str, Any] = {}
        if config.ws_per_message_deflate and (
            offers := [v for n, v in self._request[REQUEST_HEADERS] if n == b"sec-websocket-extensions"]
        ):
            agreed = negotiate_permessage_deflate(offers, **DEFLATE_PREFERENCES)
            if agreed is not None:
                response, deflate = agreed
                headers.append((b"sec-websocket-extensions", response))
        headers.extend((bytes(n), bytes(v)) for n, v in message.get("headers") or ())
        self._write_response(101, headers, b"", no_body=True)
        self._phase = _Phase.OPEN
        connection = self._protocol.connection
        connection.configure_websocket(strict=True, utf8_fail_fast=True, max_message_size=config.ws_max_size, **deflate)
        connection.switch_to_websocket()
        self._schedule_ping()
        self.on_events(connection.pump_events())

    def _write_response(
        self, status: int, headers: list[tuple[bytes, bytes]], body: bytes, *, no_body: bool = False, more: bool = False
    ) -> bool:
        chunked = self._protocol.write_response(status, headers, body, more_body=more, no_body=no_body)
        config = self._protocol.state.config
        if config.native_access_log:
            if (line := self._protocol.access_line(status, headers, len(body))) is not None:
                log_access_line(line)
        elif config.access_log:
            request = self._request
            log_access(
                self._scope.get("client"),
                request[REQUEST_METHOD],
                request[REQUEST_RAW_PATH],
                request[REQUEST_QUERY],
                request[REQUEST_VERSION],
                status,
                len(body),
            )
        return chunked

    def _reject(self, status: int, headers: list[tuple[bytes, bytes]], text: bytes) -> None:
        self._write_response(status, [*headers, (b"content-type", b"text/plain; charset=utf-8")], text)
        self._close_transport(1006)

    # --- the app's side ----------------------------------------------------------

    async def _run_app(self) -> None:
        try:
            await self._protocol.state.app(self._scope, self._receive, self._send)
        except Exception as error:  # noqa: BLE001 - any failure of the application is logged and closes with 1011
            if self._phase is _Phase.CLOSED or self._protocol.gone():
                server_logger.debug("WebSocket application raised after its connection ended", exc_info=True)
                return
            server_logger.exception("WebSocket application failed")
            note_app_error(error)
            self._end_after_app(1011)
        else:
            self._end_after_app(1000)

    def _end_after_app(self, code: int) -> None:
        """The app has returned: whatever it left open is closed for it."""
        self._close_for_failure()
        if self._phase is _Phase.HANDSHAKE:
            if code == 1000:  # a failure is logged already
                server_logger.error("ASGI application returned without accepting or closing the WebSocket")
            self._reject(500, [], b"Internal Server Error\n")
        elif self._phase is _Phase.DENYING:
            self._close_transport(1006)
        elif self._phase is _Phase.OPEN:
            self._start_close(code, b"")

    async def _receive(self) -> Message:
        if not self._connect_sent:
            self._connect_sent = True
            return {"type": "websocket.connect"}
        while not self._queue:
            self._close_for_failure()
            if self._phase is _Phase.CLOSED:
                return {"type": "websocket.disconnect", "code": self._close_code, "reason": self._close_reason}
            self._waiter = self._protocol.state.loop.create_future()
            try:
                await self._waiter
            finally:
                self._waiter = None
        message = self._queue.popleft()
        if self._reading_paused and len(self._queue) <= self._queue_low and self._failure is None:
            self._reading_paused = False
            if self._phase is not _Phase.CLOSED:
                self._protocol.resume_reading()
        return message

    async def _send(self, message: Message) -> None:
        kind = message["type"]
        phase = self._phase
        if kind == "websocket.close":
            if phase is _Phase.HANDSHAKE:
                self._reject(403, [], b"Forbidden\n")
            elif phase is _Phase.OPEN:
                self._start_close(message.get("code") or 1000, (message.get("reason") or "").encode())
                await self._drain()
            return
        if phase is _Phase.CLOSED or self._protocol.gone():
            # Also before connection_lost has run: a write that met a reset
            # has already closed the transport.
            raise ConnectionError("the WebSocket connection is closed")
        if kind == "websocket.send" and phase is _Phase.OPEN:
            text, data = message.get("text"), message.get("bytes")
            if (text is None) == (data is None):
                raise ValueError("websocket.send needs exactly one of 'text' and 'bytes'")
            format_message = self._protocol.connection.format_ws_message
            if text is not None:
                self._write(format_message(_TEXT, text.encode()))
            else:
                self._write(format_message(_BINARY, bytes(message["bytes"])))
        elif kind == "websocket.send" and phase is _Phase.CLOSING:
            raise ConnectionError("the WebSocket connection is closing")
        elif kind == "websocket.accept" and phase is _Phase.HANDSHAKE:
            self._accept(message)
        elif kind == "websocket.http.response.start" and phase is _Phase.HANDSHAKE:
            self._phase = _Phase.DENYING
            self._denial = (message["status"], [(bytes(n), bytes(v)) for n, v in message.get("headers") or ()])
        elif kind == "websocket.http.response.body" and phase is _Phase.DENYING:
            self._send_denial_body(message.get("body", b""), message.get("more_body", False))
        else:
            raise RuntimeError(f"unexpected ASGI message {kind!r} in the WebSocket phase {phase.name}")
        await self._drain()

    def _send_denial_body(self, body: bytes, more: bool) -> None:
        if self._denial is not None:
            status, headers = self._denial
            self._denial = None
            self._denial_chunked = self._write_response(status, headers, body, more=more)
        elif self._denial_chunked:
            self._write(FastHttpConnection.format_chunk(body, more))
        if not more:
            self._close_transport(1006)

    async def _drain(self) -> None:
        if self._phase is not _Phase.CLOSED:
            await self._protocol.drain()

    # --- frames from the client --------------------------------------------------

    def _on_frame(self, opcode: int, payload: bytes) -> None:
        if opcode == _TEXT or opcode == _BINARY:
            if self._phase is not _Phase.OPEN:
                return  # after our close frame, data is no longer delivered
            body = payload.decode() if opcode == _TEXT else payload
            self._queue.append({"type": "websocket.receive", "text" if opcode == _TEXT else "bytes": body})
            self._wake()
            if len(self._queue) >= self._queue_high and not self._reading_paused:
                self._reading_paused = True
                self._protocol.pause_reading()
        elif opcode == _PING:
            # A client that sends pings without reading the pongs gets none
            # while the transport is full: its pings cannot grow our buffer.
            if self._phase is _Phase.OPEN and not self._protocol.write_paused:
                self._write(FastHttpConnection.format_ws_frame(_PONG, payload))
        elif opcode == _CLOSE:
            self._on_close_frame(payload)
        elif opcode == _PONG:
            if payload == self._ping_payload:
                self._ping_payload = None
                self._schedule_ping()
        else:  # the reserved control opcodes
            self._fail(1002)

    # --- keep-alive pings --------------------------------------------------------

    def _schedule_ping(self) -> None:
        interval = self._protocol.state.config.ws_ping_interval
        if self._keepalive is not None:
            self._keepalive.cancel()
        self._keepalive = self._protocol.state.loop.call_later(interval, self._ping) if interval else None

    def _ping(self) -> None:
        if self._phase is not _Phase.OPEN:
            return
        self._pings_sent += 1
        self._ping_payload = self._pings_sent.to_bytes(4, "big")
        self._write(FastHttpConnection.format_ws_frame(_PING, self._ping_payload))
        timeout = self._protocol.state.config.ws_ping_timeout
        # Without a timeout the next ping goes out after the interval, answered or not.
        self._keepalive = None
        if timeout:
            self._keepalive = self._protocol.state.loop.call_later(timeout, self._ping_unanswered)
        else:
            self._schedule_ping()

    def _ping_unanswered(self) -> None:
        server_logger.debug(
            "WebSocket client did not answer a ping within %ss", self._protocol.state.config.ws_ping_timeout
        )
        self._fail(1011)

    def _on_close_frame(self, payload: bytes) -> None:
        if len(payload) == 1:
            self._fail(1002)
            return
        code = int.from_bytes(payload[:2], "big") if payload else 1005
        if payload and not close_code_is_valid(code):
            self._fail(1002)
            return
        try:
            reason = payload[2:].decode()
        except UnicodeDecodeError:
            self._fail(1007)
            return
        if self._phase is _Phase.OPEN:  # else this answers our own close frame
            self._write(FastHttpConnection.format_ws_frame(_CLOSE, _close_payload(1000 if code == 1005 else code)))
        self._close_reason = reason
        self._close_transport(code)

    def _fail(self, code: int) -> None:
        if self._phase is _Phase.OPEN:
            self._write(FastHttpConnection.format_ws_frame(_CLOSE, _close_payload(code)))
        self._close_transport(code)

    # --- the end -----------------------------------------------------------------

    def _start_close(self, code: int, reason: bytes) -> None:
        if len(reason) > _MAX_REASON:
            raise ValueError(f"a close reason takes at most {_MAX_REASON} bytes in UTF-8")
        self._write(FastHttpConnection.format_ws_frame(_CLOSE, _close_payload(code, reason)))
        self._phase = _Phase.CLOSING
        self._close_code = code
        # The client answers with its own close frame; one that does not is cut off.
        loop = self._protocol.state.loop
        self._close_timer = loop.call_later(self._protocol.state.config.linger_timeout, self._close_transport, code)

    def _close_transport(self, code: int) -> None:
        if self._phase is not _Phase.CLOSED:
            self._finish(code)
            self._protocol.close()

    def _finish(self, code: int) -> None:
        """The connection is over: the app's next receive gets the disconnect."""
        if self._phase is _Phase.CLOSED:
            return
        self._phase = _Phase.CLOSED
        self._close_code = code
        for timer in (self._close_timer, self._keepalive):
            if timer is not None:
                timer.cancel()
        self._close_timer = self._keepalive = None
        self._wake()

    def _wake(self) -> None:
        if self._waiter is not None and not self._waiter.done():
            self._waiter.set_result(None)

    def _write(self, data: bytes) -> None:
        self._protocol.write(data)
