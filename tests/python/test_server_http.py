"""The HTTP side of the server as real clients see it: raw sockets for the
byte-exact cases, http.client, urllib and curl for ordinary use."""

from __future__ import annotations

import asyncio
import http.client
import re
import shutil
import socket
import subprocess
import threading
import urllib.request
from typing import Any

import pytest

from server_support import hello_app, recv_until_closed, serve

App = Any


def undated(reply: bytes) -> bytes:
    return re.sub(rb"date: [^\r]*\r\n", b"", reply)


def exchange(app: App, request: bytes, **settings: Any) -> bytes:
    """Sends raw bytes on one connection and returns all it gets until the server closes."""
    with serve(app, **settings) as server, server.connect() as sock:
        sock.sendall(request)
        return undated(recv_until_closed(sock))


def responder(status: int, *pieces: bytes, headers: tuple[tuple[bytes, bytes], ...] = ()) -> App:
    """An app that answers with status and headers, sending the body in the given pieces."""
    async def app(scope, receive, send):  # type: ignore[no-untyped-def]
        await send({"type": "http.response.start", "status": status, "headers": list(headers)})
        for index, piece in enumerate(pieces):
            await send({"type": "http.response.body", "body": piece, "more_body": index < len(pieces) - 1})
        if not pieces:
            await send({"type": "http.response.body"})
    return app


HEAD = b"HTTP/1.1 200 OK\r\nserver: tessaryne\r\n"


@pytest.mark.parametrize("app, request_bytes, expected", [
    # Framing follows the request: a HEAD answer keeps the GET's length but no body;
    # an HTTP/1.0 client gets a streamed body delimited by the close.
    (responder(200, b"hello"), b"HEAD / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
     HEAD + b"content-length: 5\r\nconnection: close\r\n\r\n"),
    (responder(200, b"he", b"llo"), b"HEAD / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
     HEAD + b"transfer-encoding: chunked\r\nconnection: close\r\n\r\n"),
    (responder(200, b"a", b"bc", b"", b"d"), b"GET / HTTP/1.0\r\n\r\n",
     HEAD + b"connection: close\r\n\r\nabcd"),
    (responder(200, b"a", b"bc", b""), b"GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
     HEAD + b"transfer-encoding: chunked\r\nconnection: close\r\n\r\n1\r\na\r\n2\r\nbc\r\n0\r\n\r\n"),
    (responder(200, b"ab", b"c", headers=((b"content-length", b"3"),)), b"GET / HTTP/1.0\r\n\r\n",
     HEAD + b"content-length: 3\r\nconnection: close\r\n\r\nabc"),
    (responder(204, b"dropped"), b"GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
     b"HTTP/1.1 204 No Content\r\nserver: tessaryne\r\nconnection: close\r\n\r\n"),
    (responder(304, b"x", b"y"), b"GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
     b"HTTP/1.1 304 Not Modified\r\nserver: tessaryne\r\nconnection: close\r\n\r\n"),
    # What the engine refuses goes out byte for byte.
    (hello_app, b"GET / HTTP/1.1\r\nHost: x\r\nBad Header\r\n\r\n",
     b"HTTP/1.1 400 Bad Request\r\nserver: tessaryne\r\nconnection: close\r\ncontent-length: 11\r\n\r\nBad Request"),
    (hello_app, b"POST / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
     b"HTTP/1.1 400 Bad Request\r\nserver: tessaryne\r\nconnection: close\r\ncontent-length: 20\r\n\r\n"
     b"Invalid chunk length"),
    # HTTP/1.1 names its host exactly once; HTTP/1.0 need not name it.
    (hello_app, b"GET / HTTP/1.1\r\n\r\n",
     b"HTTP/1.1 400 Bad Request\r\nserver: tessaryne\r\ncontent-type: text/plain; charset=utf-8\r\n"
     b"content-length: 48\r\nconnection: close\r\n\r\nBad Request: exactly one Host header is required"),
    (hello_app, b"GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n",
     b"HTTP/1.1 400 Bad Request\r\nserver: tessaryne\r\ncontent-type: text/plain; charset=utf-8\r\n"
     b"content-length: 48\r\nconnection: close\r\n\r\nBad Request: exactly one Host header is required"),
    (hello_app, b"GET / HTTP/1.0\r\n\r\n",
     HEAD + b"content-type: text/plain\r\ncontent-length: 5\r\nconnection: close\r\n\r\nhello"),
])
def test_exact_bytes_on_the_wire(app: App, request_bytes: bytes, expected: bytes) -> None:
    assert exchange(app, request_bytes) == expected


def test_a_no_body_answer_keeps_the_connection() -> None:
    request = b"HEAD / HTTP/1.1\r\nHost: x\r\n\r\n" + b"GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"
    assert exchange(responder(200, b"hello"), request) == (
        HEAD + b"content-length: 5\r\nconnection: keep-alive\r\n\r\n"
        + HEAD + b"content-length: 5\r\nconnection: close\r\n\r\nhello")


def test_pipelined_requests_are_answered_in_order() -> None:
    async def app(scope, receive, send):  # type: ignore[no-untyped-def]
        message = await receive()
        if scope["path"] == "/slow":
            await asyncio.sleep(0)
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": scope["path"].encode() + message["body"]})

    paths = [b"/%d" % n if n % 7 else b"/slow" for n in range(100)]
    requests = b"".join(b"POST %s HTTP/1.1\r\nHost: x\r\nContent-Length: 1\r\n\r\n!" % path for path in paths)
    reply = exchange(app, requests + b"GET /last HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
    replies = reply.split(b"HTTP/1.1 200 OK\r\n")[1:]
    assert [one.rsplit(b"\r\n\r\n", 1)[1] for one in replies] == [path + b"!" for path in paths] + [b"/last"]
    assert all(b"connection: keep-alive" in one for one in replies[:-1])


def test_a_head_sent_byte_by_byte_is_answered() -> None:
    with serve(hello_app) as server, server.connect() as sock:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for byte in b"POST /slow HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\nConnection: close\r\n\r\nabc":
            sock.send(bytes([byte]))
        assert recv_until_closed(sock).endswith(b"\r\n\r\nabc")


@pytest.mark.parametrize("app_reads_body", [True, False])
def test_expect_continue(app_reads_body: bool) -> None:
    async def app(scope, receive, send):  # type: ignore[no-untyped-def]
        body = (await receive())["body"] if app_reads_body else b"unread"
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": body})

    head = b"POST / HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\nContent-Length: 4\r\n\r\n"
    with serve(app) as server, server.connect() as sock:
        sock.sendall(head)
        if app_reads_body:
            assert sock.recv(100) == b"HTTP/1.1 100 Continue\r\n\r\n"
            sock.sendall(b"body" + b"GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
            reply = recv_until_closed(sock)
            assert reply.count(b"HTTP/1.1 200 OK") == 2 and b"\r\n\r\nbody" in reply
        else:
            # Answered without the body: no 100, and the connection ends after the answer.
            reply = recv_until_closed(sock)
            assert reply.startswith(HEAD) and reply.endswith(b"connection: close\r\n\r\nunread")


def test_http_client_upload_over_the_limit_reads_413() -> None:
    with serve(hello_app) as server:
        client = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
        client.request("POST", "/", body=bytes(11 << 20))
        response = client.getresponse()
        assert (response.status, response.read()) == (413, b"Payload Too Large")
        client.close()


@pytest.mark.parametrize("failure", ["raise before start", "return without answer", "raise after head",
                                     "body before start", "start twice"])
def test_app_faults(failure: str) -> None:
    errors: list[str] = []

    async def app(scope, receive, send):  # type: ignore[no-untyped-def]
        start = {"type": "http.response.start", "status": 200, "headers": [(b"content-length", b"10")]}
        if failure == "raise before start":
            raise ValueError("app fault")
        if failure == "return without answer":
            return
        try:
            if failure == "body before start":
                await send({"type": "http.response.body", "body": b"x"})
            await send(start)
            await send({"type": "http.response.body", "body": b"12345", "more_body": True})
            if failure == "start twice":
                await send(start)
        except RuntimeError as error:
            errors.append(str(error))
            raise
        raise ValueError("app fault")

    reply = exchange(app, b"GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
    if failure in ("raise after head", "start twice"):
        # The response was under way: it is cut short by the close.
        assert reply.startswith(HEAD) and reply.endswith(b"\r\n\r\n12345")
    else:
        assert reply.startswith(b"HTTP/1.1 500 Internal Server Error\r\n")
        assert reply.endswith(b"\r\n\r\nInternal Server Error")
    assert len(errors) == (failure in ("body before start", "start twice"))


def test_an_app_waiting_for_the_client_hears_it_leave() -> None:
    messages: list[dict[str, Any]] = []
    done = threading.Event()

    async def app(scope, receive, send):  # type: ignore[no-untyped-def]
        messages.append(await receive())
        messages.append(await receive())
        done.set()

    with serve(app) as server:
        with server.connect() as sock:
            sock.sendall(b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\nhi")
        assert done.wait(30)
    assert messages == [{"type": "http.request", "body": b"hi", "more_body": False}, {"type": "http.disconnect"}]


def test_a_client_that_does_not_read_holds_back_the_app() -> None:
    piece, count = bytes(64 << 10), 400
    buffered: list[int] = []
    paused = threading.Event()
    with serve(responder(200)) as server:
        async def app(scope, receive, send):  # type: ignore[no-untyped-def]
            await send({"type": "http.response.start", "status": 200, "headers": []})
            for _ in range(count):
                protocol = next(iter(server.state.connections))
                buffered.append(protocol.transport.get_write_buffer_size())
                if protocol.write_paused:
                    paused.set()
                await send({"type": "http.response.body", "body": piece, "more_body": True})
            await send({"type": "http.response.body"})

        server.state.app = app
        with server.connect() as sock:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 64 << 10)
            sock.sendall(b"GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
            assert paused.wait(30)
            reply = recv_until_closed(sock)
    assert reply.endswith(b"0\r\n\r\n") and reply.count(b"\r\n10000\r\n") == count
    assert max(buffered) <= 2 * len(piece) + (64 << 10)


def test_a_large_upload_is_read_as_the_app_consumes_it() -> None:
    """The app reads slowly; the server keeps what waits for it bounded by pausing the socket."""
    sizes: list[int] = []

    async def app(scope, receive, send):  # type: ignore[no-untyped-def]
        total = 0
        while True:
            message = await receive()
            total += len(message["body"])
            sizes.append(len(message["body"]))
            for _ in range(20):
                await asyncio.sleep(0)
            if not message["more_body"]:
                break
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b"%d" % total})

    size = 5 << 20
    with serve(app, read_buffer_limit=32 << 10) as server:
        client = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
        client.request("POST", "/", body=bytes(size))
        assert client.getresponse().read() == b"%d" % size
        client.close()
    # Reading stops once the limit is passed, so no message holds more than one read beyond it.
    assert max(sizes) <= (32 << 10) + (256 << 10)


def test_urllib_and_http_client_in_ordinary_use() -> None:
    with serve(hello_app) as server:
        with urllib.request.urlopen(server.url("/a?b=c"), timeout=30) as response:
            assert (response.status, response.read()) == (200, b"hello")
        request = urllib.request.Request(server.url(), data=b"posted", method="PUT")
        with urllib.request.urlopen(request, timeout=30) as response:
            assert response.read() == b"posted"
        client = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
        for body in (None, b"x" * 100_000, b"abc"):
            client.request("POST" if body else "GET", "/", body=body)
            response = client.getresponse()
            assert (response.status, response.read()) == (200, body or b"hello")
        client.close()


@pytest.mark.skipif(shutil.which("curl") is None, reason="needs curl")
def test_curl() -> None:
    async def stream(scope, receive, send):  # type: ignore[no-untyped-def]
        if scope["path"] != "/stream":
            return await hello_app(scope, receive, send)
        await send({"type": "http.response.start", "status": 200, "headers": []})
        for n in range(5):
            await send({"type": "http.response.body", "body": b"%d," % n, "more_body": True})
        await send({"type": "http.response.body"})

    def curl(*args: str) -> bytes:
        return subprocess.run(["curl", "-sS", "--max-time", "30", *args], capture_output=True, check=True).stdout

    with serve(stream) as server:
        assert curl(server.url()) == b"hello"
        assert curl("--data-binary", "posted", server.url()) == b"posted"
        assert curl(server.url("/stream")) == b"0,1,2,3,4,"
        headers = curl("-D", "-", "-o", "/dev/null", server.url("/stream"))
        assert b"transfer-encoding: chunked" in headers



@pytest.mark.parametrize("sent", [b"", b"GET / HTTP/1.1\r\nHost: x\r\n\r\n", b"GET / HTTP/1.1\r\nHo"])
def test_idle_and_slow_connections_are_closed(sent: bytes) -> None:
    with serve(hello_app, keep_alive_timeout=0.05, head_timeout=0.05) as server, server.connect() as sock:
        sock.sendall(sent)
        reply = recv_until_closed(sock)
    assert reply.endswith(b"hello") if sent.endswith(b"\r\n\r\n") else reply == b""


def test_shutdown_closes_idle_connections_and_ends_busy_ones_after_their_answer() -> None:
    release = asyncio.Event()
    waiting = threading.Event()

    async def app(scope, receive, send):  # type: ignore[no-untyped-def]
        waiting.set()
        await release.wait()
        await hello_app(scope, receive, send)

    with serve(app) as server, server.connect() as idle, server.connect() as busy:
        busy.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
        assert waiting.wait(30)

        def shut_down() -> None:
            server.state.shutting_down = True
            for connection in list(server.state.connections):
                connection.shutdown()
            release.set()
        server.call(shut_down)
        assert recv_until_closed(idle) == b""
        assert undated(recv_until_closed(busy)).endswith(b"connection: close\r\n\r\nhello")
