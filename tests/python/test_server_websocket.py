"""The server's ASGI websocket cycle, against the websockets client library
and against raw frames for what a well-behaved client never sends."""

from __future__ import annotations

import asyncio
import struct
from collections.abc import Awaitable, Callable
from typing import Any

import pytest
from websockets.asyncio.client import connect
from websockets.exceptions import ConnectionClosed, InvalidStatus

from tessaryne._tessaryne_core import FastHttpConnection
from tessaryne.server import Config
from tessaryne.server.scope import websocket_scope
from tessaryne.server.state import LoopState
from tessaryne.server.websocket import WebSocketSession
from ws_client import encode_frame


class StandInProtocol(asyncio.Protocol):
    """Just enough of the server's connection protocol to drive a session."""

    def __init__(self, state: LoopState) -> None:
        self.state, self.connection, self.paused = state, FastHttpConnection(), asyncio.Event()
        self.session: WebSocketSession | None = None

    def connection_made(self, transport: Any) -> None:
        self.transport = transport

    def data_received(self, data: bytes) -> None:
        events = self.connection.feed_data(data)
        if self.session is not None:
            self.session.on_events(events)
        elif events and events[0][8]:
            self.session = WebSocketSession(self, events[0], websocket_scope(events[0], self.state, None, None, False))
            self.session.start()

    def connection_lost(self, exc: Exception | None) -> None:
        if self.session is not None:
            self.session.connection_lost()

    async def drain(self) -> None:
        if self.transport.is_closing():
            raise ConnectionError("connection lost")

    def pause_reading(self) -> None:
        self.paused.set()
        self.transport.pause_reading()

    def resume_reading(self) -> None:
        self.transport.resume_reading()

    def close(self) -> None:
        self.transport.close()


Client = Callable[[int, list[StandInProtocol]], Awaitable[None]]


def serve(app: Any, client: Client) -> None:
    async def main() -> None:
        loop = asyncio.get_running_loop()
        state = LoopState(Config(app=app, access_log=False), loop, {})
        protocols: list[StandInProtocol] = []

        def accepted() -> StandInProtocol:
            protocols.append(StandInProtocol(state))
            return protocols[-1]

        server = await loop.create_server(accepted, "127.0.0.1", 0)
        try:
            await client(server.sockets[0].getsockname()[1], protocols)
        finally:
            server.close()

    asyncio.run(main())


def echo_app(disconnects: asyncio.Queue[int | str]) -> Any:
    """Echoes until the client leaves, then puts the disconnect code in the queue."""
    async def app(scope: dict[str, Any], receive: Any, send: Any) -> None:
        assert (await receive())["type"] == "websocket.connect"
        path = scope["path"]
        if path == "/deny":
            return await send({"type": "websocket.close"})
        if path == "/custom":
            await send({"type": "websocket.http.response.start", "status": 401, "headers": [(b"x-why", b"no")]})
            await send({"type": "websocket.http.response.body", "body": b"go ", "more_body": True})
            return await send({"type": "websocket.http.response.body", "body": b"away"})
        await send({"type": "websocket.accept", "subprotocol": (scope["subprotocols"] or [None])[-1]})
        while (message := await receive())["type"] == "websocket.receive":
            if message.get("text") == "close please":
                await send({"type": "websocket.close", "code": 4002, "reason": "asked"})
            else:
                await send({"type": "websocket.send", "text": message.get("text"), "bytes": message.get("bytes")})
        try:
            await send({"type": "websocket.send", "text": "too late"})
        except ConnectionError:
            await disconnects.put(message["code"])
        else:
            await disconnects.put("a send after the disconnect was taken")

    return app


def test_echo_subprotocol_ping_and_close_codes_with_a_real_client() -> None:
    disconnects: asyncio.Queue[int | str] = asyncio.Queue()

    async def client(port: int, protocols: list[StandInProtocol]) -> None:
        url = f"ws://127.0.0.1:{port}/echo"
        async with connect(url, subprotocols=["one", "two"], max_size=None) as ws:
            assert ws.subprotocol == "two"
            big = bytes(range(256)) * 4096
            for message in ["hello", "", "ü" * 70000, b"\x00\xff", big]:
                await ws.send(message)
                assert await ws.recv() == message
            await (await ws.ping(b"are you there"))
            await ws.close(4001, "bye")
        assert await disconnects.get() == 4001
        async with connect(url) as ws:
            await ws.send("close please")
            with pytest.raises(ConnectionClosed) as closed:
                await ws.recv()
        assert (closed.value.rcvd.code, closed.value.rcvd.reason) == (4002, "asked")
        assert await disconnects.get() == 4002
        async with connect(url) as ws:
            protocols[-1].session.shutdown()
            with pytest.raises(ConnectionClosed) as closed:
                await ws.recv()
        assert closed.value.rcvd.code == 1001
        assert await disconnects.get() == 1001
        with pytest.raises(InvalidStatus) as refused:
            async with connect(f"ws://127.0.0.1:{port}/deny"):
                pass
        assert refused.value.response.status_code == 403

    serve(echo_app(disconnects), client)


def test_messages_wait_for_a_slow_app_in_order() -> None:
    received: list[str] = []
    go, done = asyncio.Event(), asyncio.Event()

    async def app(scope: Any, receive: Any, send: Any) -> None:
        await receive()
        await send({"type": "websocket.accept"})
        await go.wait()
        while (message := await receive())["type"] == "websocket.receive":
            received.append(message["text"])
        done.set()

    async def client(port: int, protocols: list[StandInProtocol]) -> None:
        async with connect(f"ws://127.0.0.1:{port}/") as ws:
            for i in range(500):
                await ws.send(str(i))
            await protocols[0].paused.wait()  # the queue filled up: reading stopped
            go.set()
        await done.wait()

    serve(app, client)
    assert received == [str(i) for i in range(500)]


KEY = b"dGhlIHNhbXBsZSBub25jZQ=="


def handshake(path: str = "/", version: bytes = b"13", key: bytes = KEY, method: bytes = b"GET") -> bytes:
    return (
        method + b" " + path.encode() + b" HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        b"Sec-WebSocket-Key: " + key + b"\r\nSec-WebSocket-Version: " + version + b"\r\n\r\n"
    )


async def raw_exchange(port: int, head: bytes, frames: bytes = b"") -> tuple[bytes, bytes]:
    """The response head and everything the server sends after it until it closes."""
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    writer.write(head)
    response = await reader.readuntil(b"\r\n\r\n")
    writer.write(frames)
    rest = await reader.read()
    writer.close()
    return response, rest


def close_frame(code: int, reason: bytes = b"") -> bytes:
    return encode_frame(8, struct.pack("!H", code) + reason)


# (what the client sends, the close code the server answers with, the code the app sees)
RAW_CASES = [
    (encode_frame(8, b""), 1000, 1005),
    (encode_frame(8, b"\x03"), 1002, 1002),
    *[(close_frame(code), 1002, 1002) for code in (0, 999, 1004, 1005, 1006, 1015, 1016, 2999, 5000, 65535)],
    *[(close_frame(code, b"why"), code, code) for code in (1000, 1001, 1003, 1007, 1014, 3000, 4999)],
    (close_frame(1000, b"\xff"), 1007, 1007),
    (encode_frame(11, b"") + encode_frame(1, b"never seen"), 1002, 1002),
    (encode_frame(1, b"unmasked", key=None), 1002, 1002),
]


def test_raw_client_frames_are_answered_with_the_right_close_code() -> None:
    disconnects: asyncio.Queue[int | str] = asyncio.Queue()

    async def client(port: int, protocols: list[StandInProtocol]) -> None:
        for frames, answer, app_code in RAW_CASES:
            response, rest = await raw_exchange(port, handshake(), encode_frame(9, b"p") + frames)
            assert response.startswith(b"HTTP/1.1 101 ")
            assert b"\r\nsec-websocket-accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n" in response
            assert rest == b"\x8a\x01p" + FastHttpConnection.format_ws_frame(8, struct.pack("!H", answer))
            assert await disconnects.get() == app_code

    serve(echo_app(disconnects), client)


@pytest.mark.parametrize(
    ("head", "status", "needle"),
    [
        (handshake(version=b"8"), 426, b"sec-websocket-version: 13\r\n"),
        (handshake(key=b"c2hvcnQ="), 400, b"connection: close\r\n"),
        (handshake(key=b"not base64 at all!!!===="), 400, b"Invalid WebSocket handshake"),
        (handshake(method=b"POST"), 400, b"content-length: "),
        (handshake("/custom"), 401, b"x-why: no\r\n"),
    ],
)
def test_refused_handshakes_get_an_http_response(head: bytes, status: int, needle: bytes) -> None:
    async def client(port: int, protocols: list[StandInProtocol]) -> None:
        response, body = await raw_exchange(port, head)
        assert response.startswith(b"HTTP/1.1 %d " % status)
        assert needle in response + body
        if status == 401:
            assert body == b"3\r\ngo \r\n" + FastHttpConnection.format_chunk(b"away", False)

    serve(echo_app(asyncio.Queue()), client)
