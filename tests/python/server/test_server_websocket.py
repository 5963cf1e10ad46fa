"""The server's ASGI websocket cycle, against the websockets client library
and against raw frames for what a well-behaved client never sends."""

from __future__ import annotations

import asyncio
import json
import logging
import queue
import struct
import threading
import time
import zlib
from typing import Any

import pytest
from websockets.exceptions import ConnectionClosed, InvalidStatus
from websockets.extensions.permessage_deflate import ClientPerMessageDeflateFactory
from websockets.sync.client import connect

from server_support import recv_until_closed, serve
from tessaryne._tessaryne_core import FastHttpConnection
from tessaryne.server.driver import SessionConnection
from ws_client import encode_frame, inflate_frames


def echo_app(disconnects: queue.Queue[int | str]) -> Any:
    """Echoes until the client leaves, then puts the disconnect code in the queue."""

    async def app(scope: dict[str, Any], receive: Any, send: Any) -> None:
        assert (await receive())["type"] == "websocket.connect"
        if scope["path"] == "/deny":
            return await send({"type": "websocket.close"})
        if scope["path"] == "/silent":
            return None
        if scope["path"] == "/custom":
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
            disconnects.put(message["code"])
        else:
            disconnects.put("a send after the disconnect was taken")

    return app


def test_echo_subprotocol_ping_and_close_codes_with_a_real_client(event_loop_kind: str) -> None:
    disconnects: queue.Queue[int | str] = queue.Queue()
    with serve(echo_app(disconnects), loop=event_loop_kind) as server:
        url = f"ws://127.0.0.1:{server.port}/echo"
        with connect(url, subprotocols=["one", "two"], max_size=None) as ws:
            assert ws.subprotocol == "two"
            for message in ["hello", "", "ü" * 70000, b"\x00\xff", bytes(range(256)) * 8192]:
                ws.send(message)
                assert ws.recv() == message
            assert ws.ping(b"are you there").wait(30)
            ws.close(4001, "bye")
        assert disconnects.get(timeout=30) == 4001
        with connect(url) as ws:
            ws.send("close please")
            with pytest.raises(ConnectionClosed) as closed:
                ws.recv()
        assert (closed.value.rcvd.code, closed.value.rcvd.reason) == (4002, "asked")
        assert disconnects.get(timeout=30) == 4002
        with pytest.raises(InvalidStatus) as refused:
            connect(f"ws://127.0.0.1:{server.port}/deny")
        assert refused.value.response.status_code == 403
        # Last: once shut down, the server takes no new connection.
        with connect(url) as ws:
            server.call(server.state.shut_down_connections)
            with pytest.raises(ConnectionClosed) as closed:
                ws.recv()
        assert closed.value.rcvd.code == 1001
        assert disconnects.get(timeout=30) == 1001


def test_messages_wait_for_a_slow_app_in_order(monkeypatch: pytest.MonkeyPatch) -> None:
    paused, received = threading.Event(), queue.Queue[str | None]()
    pause_reading = SessionConnection.pause_reading

    def recording_pause(connection: SessionConnection) -> None:
        paused.set()
        pause_reading(connection)

    monkeypatch.setattr(SessionConnection, "pause_reading", recording_pause)

    async def app(scope: Any, receive: Any, send: Any) -> None:
        await receive()
        await send({"type": "websocket.accept"})
        await asyncio.to_thread(paused.wait)  # take nothing until the queue is full and reading stopped
        while (message := await receive())["type"] == "websocket.receive":
            received.put(message["text"])
        received.put(None)

    with serve(app) as server:
        with connect(f"ws://127.0.0.1:{server.port}/") as ws:
            for i in range(500):
                ws.send(str(i))
        assert list(iter(lambda: received.get(timeout=30), None)) == [str(i) for i in range(500)]


KEY = b"dGhlIHNhbXBsZSBub25jZQ=="


def handshake(path: str = "/", version: bytes = b"13", key: bytes = KEY, method: bytes = b"GET") -> bytes:
    return (
        method + b" " + path.encode() + b" HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        b"Sec-WebSocket-Key: " + key + b"\r\nSec-WebSocket-Version: " + version + b"\r\n\r\n"
    )


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
    # Framing is strict: reserved bits no extension owns, reserved data opcodes.
    *[(encode_frame(opcode, b"x", rsv=rsv), 1002, 1002) for opcode, rsv in ((1, 4), (2, 2), (8, 1), (3, 0), (7, 0))],
    # Text fails at its first impossible byte, before the message ends.
    (encode_frame(1, b"ok \xc3", fin=False) + encode_frame(0, b"(", fin=False), 1007, 1007),
    # A message past --ws-max-size fails on its header, before its bytes arrive.
    (struct.pack("!BBQ", 0x82, 0xFF, (16 << 20) + 1) + b"mask", 1009, 1009),
]


def exchange(server: Any, data: bytes) -> tuple[bytes, bytes]:
    """The response head and all the server sends after it until it closes."""
    with server.connect() as sock:
        sock.sendall(data)
        head, _, rest = recv_until_closed(sock).partition(b"\r\n\r\n")
    return head, rest


def test_raw_client_frames_are_answered_with_the_right_close_code() -> None:
    disconnects: queue.Queue[int | str] = queue.Queue()
    with serve(echo_app(disconnects)) as server:
        for frames, answer, app_code in RAW_CASES:
            # The frames come with the upgrade request: the engine holds them until the switch.
            head, rest = exchange(server, handshake() + encode_frame(9, b"p") + frames)
            assert head.startswith(b"HTTP/1.1 101 Switching Protocols\r\n")
            assert b"\r\nsec-websocket-accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=" in head
            assert rest == b"\x8a\x01p" + FastHttpConnection.format_ws_frame(8, struct.pack("!H", answer))
            assert disconnects.get(timeout=30) == app_code
        # A message that came in the same read as a violation is the app's
        # first, and its answer goes out before the close.
        head, rest = exchange(server, handshake() + encode_frame(1, b"first") + encode_frame(1, b"x", rsv=4))
        close = FastHttpConnection.format_ws_frame(8, struct.pack("!H", 1002))
        assert rest == FastHttpConnection.format_ws_frame(1, b"first") + close
        assert disconnects.get(timeout=30) == 1002


def test_pings_from_a_client_that_never_reads_leave_the_write_buffer_bounded(event_loop_kind: str) -> None:
    with serve(echo_app(queue.Queue()), loop=event_loop_kind) as server, server.connect() as sock:
        sock.sendall(handshake() + encode_frame(9, b"p" * 125) * 200_000)  # 26 MB of pings
        buffered = server.call(lambda: [c.pending_output for c in server.state.driver.connections()])
        assert buffered and max(buffered) < 1 << 20


def test_refused_handshakes_get_an_http_response(caplog: pytest.LogCaptureFixture) -> None:
    with serve(echo_app(queue.Queue())) as server:
        for request, status, needle in [
            (handshake(version=b"8"), 426, b"sec-websocket-version: 13"),
            (handshake(key=b"c2hvcnQ="), 400, b"connection: close"),
            (handshake(key=b"not base64 at all!!!===="), 400, b"Invalid WebSocket handshake"),
            (handshake(method=b"POST"), 400, b"content-length: "),
            (handshake("/silent"), 500, b"Internal Server Error"),
            (handshake("/custom"), 401, b"x-why: no"),
        ]:
            head, body = exchange(server, request)
            assert head.startswith(b"HTTP/1.1 %d " % status) and needle in head + body
        assert body == b"3\r\ngo \r\n" + FastHttpConnection.format_chunk(b"away", False)
    # An app that neither accepts nor closes is told of in one line.
    assert [r.getMessage() for r in caplog.records if r.levelno >= logging.WARNING] == [
        "ASGI application returned without accepting or closing the WebSocket"
    ]


def deflate_handshake(offer: bytes) -> bytes:
    return handshake().replace(b"\r\n\r\n", b"\r\nSec-WebSocket-Extensions: " + offer + b"\r\n\r\n")


def recv_frames(sock: Any, count: int) -> tuple[bytes, list[tuple[int, bytes]]]:
    """The response head and the first `count` frames after it."""
    data = b""
    while True:
        head, _, rest = data.partition(b"\r\n\r\n")
        if len(frames := inflate_frames(rest)) >= count:
            return head, frames
        data += sock.recv(65536)


def test_compression_with_real_clients_is_invisible_to_the_app() -> None:
    # JSON-like messages that repeat, so context takeover matters, and one
    # large enough to take many inflate steps.
    messages = [json.dumps({"id": i, "user": "someone", "items": list(range(i % 50))}) for i in range(200)]
    messages.append("x" * (3 << 20))
    cases = [
        # (client's extensions, server compresses, the answer the client gets)
        ("deflate", True, "permessage-deflate; server_no_context_takeover; server_max_window_bits=12; "
         "client_max_window_bits=12"),
        ([ClientPerMessageDeflateFactory(client_no_context_takeover=True, server_max_window_bits=10,
                                         client_max_window_bits=9)], True,
         "permessage-deflate; server_no_context_takeover; client_no_context_takeover; "
         "server_max_window_bits=10; client_max_window_bits=9"),
        ([ClientPerMessageDeflateFactory(client_max_window_bits=None)], True,
         "permessage-deflate; server_no_context_takeover; server_max_window_bits=12"),
        (None, True, None),
        ("deflate", False, None),
    ]  # fmt: skip
    for extensions, compress, answer in cases:
        with serve(echo_app(queue.Queue()), ws_per_message_deflate=compress) as server:
            options: dict[str, Any] = (
                {"compression": extensions}
                if isinstance(extensions, str | None)
                else {"compression": None, "extensions": extensions}
            )
            with connect(f"ws://127.0.0.1:{server.port}/", max_size=None, **options) as ws:
                assert ws.response.headers.get("Sec-WebSocket-Extensions") == answer
                for message in messages:
                    ws.send(message)
                    assert ws.recv() == message
                # A message in fragments: only its first frame carries RSV1.
                ws.send(["frag", "mented ", "message"])
                assert ws.recv() == "fragmented message"


def test_a_compressed_message_in_any_frames_and_reads_and_a_bomb() -> None:
    text = ("ünïcode " * 4000).encode()
    compressed = zlib.compressobj(9, zlib.DEFLATED, -15)
    body = compressed.compress(text) + compressed.flush(zlib.Z_SYNC_FLUSH)
    body = body[:-4]  # the message's tail goes unsent
    pieces = [body[:1], body[1:700], body[700:]]
    frames = (
        encode_frame(1, pieces[0], fin=False, rsv=4)
        + encode_frame(0, pieces[1], fin=False)
        + encode_frame(0, pieces[2])
    )
    with serve(echo_app(queue.Queue())) as server, server.connect() as sock:
        sock.sendall(deflate_handshake(b"permessage-deflate"))
        # The reads split frames, headers and the compressed stream anywhere.
        for start in range(0, len(frames), 333):
            sock.sendall(frames[start : start + 333])
            time.sleep(0.001)
        head, frames = recv_frames(sock, 1)
    assert b"sec-websocket-extensions: permessage-deflate; server_no_context_takeover" in head
    assert frames == [(1, text)]
    # 64 MiB of zeros in 64 KiB: inflating stops at the bound, with 1009.
    bomb = zlib.compressobj(9, zlib.DEFLATED, -15)
    payload = bomb.compress(bytes(64 << 20)) + bomb.flush(zlib.Z_SYNC_FLUSH)
    with serve(echo_app(queue.Queue()), ws_max_size=1 << 20) as server:
        _, rest = exchange(server, deflate_handshake(b"permessage-deflate") + encode_frame(2, payload[:-4], rsv=4))
    assert inflate_frames(rest) == [(8, struct.pack("!H", 1009))]


def test_keepalive_pings_close_a_client_that_does_not_answer() -> None:
    settings = {"ws_ping_interval": 0.05, "ws_ping_timeout": 0.3}
    with serve(echo_app(queue.Queue()), **settings) as server:
        # A client that answers (websockets does) stays through many pings.
        with connect(f"ws://127.0.0.1:{server.port}/") as ws:
            time.sleep(1)
            ws.send("still here")
            assert ws.recv() == "still here"
        # One that does not is pinged once, then closed with 1011.
        _, rest = exchange(server, handshake())
    assert inflate_frames(rest) == [(9, b"\x00\x00\x00\x01"), (8, struct.pack("!H", 1011))]
