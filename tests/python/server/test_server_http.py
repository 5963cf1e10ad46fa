"""The HTTP side of the server as real clients see it: raw sockets for the
byte-exact cases, http.client, urllib and curl for ordinary use."""

from __future__ import annotations

import asyncio
import http.client
import logging
import re
import shutil
import socket
import subprocess
import threading
import time
import urllib.request
from typing import Any

import pytest

from server_support import hello_app, recv_until_closed, serve, serving
from tessaryne.server import driver

OK = b"HTTP/1.1 200 OK\r\nserver: tessaryne\r\n"
CLOSE = b"Connection: close\r\n\r\n"
GET = b"GET / HTTP/1.1\r\nHost: x\r\n"
OWN_400 = b"HTTP/1.1 400 Bad Request\r\nserver: tessaryne\r\ncontent-type: text/plain; charset=utf-8\r\n"
BAD_HOST = OWN_400 + b"content-length: 48\r\nconnection: close\r\n\r\nBad Request: exactly one Host header is required"


def exchange(app: Any, request: bytes, **settings: Any) -> bytes:
    """Raw bytes in on one connection; all that comes back until the server closes, without dates."""
    with serve(app, **settings) as server, server.connect() as sock:
        sock.sendall(request)
        return re.sub(rb"date: [^\r]*\r\n", b"", recv_until_closed(sock))


def responder(status: int, *pieces: bytes, headers: list[tuple[bytes, bytes]] | None = None) -> Any:
    async def app(scope, receive, send):  # type: ignore[no-untyped-def]
        await send({"type": "http.response.start", "status": status, "headers": headers or []})
        for index, piece in enumerate(pieces or (b"",)):
            await send({"type": "http.response.body", "body": piece, "more_body": index < len(pieces) - 1})

    return app


def trailing(*pieces: bytes, finish: bool = True) -> Any:
    """Body pieces, then two trailer messages; whether the scope advertises trailers, as the first piece."""

    async def app(scope, receive, send):  # type: ignore[no-untyped-def]
        await send({"type": "http.response.start", "status": 200, "headers": [], "trailers": True})
        advertised = {k: v for k, v in scope["extensions"].items() if k == "http.response.trailers"}
        for index, piece in enumerate((repr(advertised).encode(), *pieces)):
            await send({"type": "http.response.body", "body": piece, "more_body": index < len(pieces)})
        if finish:
            await send({"type": "http.response.trailers", "headers": [(b"x-a", b"1")], "more_trailers": True})
            await send({"type": "http.response.trailers", "headers": [(b"x-b", b"2")]})

    return app


TE = b"TE: trailers\r\n"
ADVERTISED = b"{'http.response.trailers': {}}"


@pytest.mark.parametrize("app, request_bytes, expected", [
    # A HEAD answer keeps the GET's framing headers and drops the body; the connection goes on.
    (responder(200, b"hello"), b"HEAD / HTTP/1.1\r\nHost: x\r\n\r\n" + GET + CLOSE,
     OK + b"content-length: 5\r\nconnection: keep-alive\r\n\r\n" + OK + b"content-length: 5\r\nconnection: close\r\n\r\nhello"),
    (responder(200, b"he", b"llo"), b"HEAD / HTTP/1.1\r\nHost: x\r\n" + CLOSE,
     OK + b"transfer-encoding: chunked\r\nconnection: close\r\n\r\n"),
    # HTTP/1.0 never gets chunks: a streamed body runs to the close.
    (responder(200, b"a", b"bc", b"", b"d"), b"GET / HTTP/1.0\r\n\r\n", OK + b"connection: close\r\n\r\nabcd"),
    (responder(200, b"ab", b"c", headers=[(b"content-length", b"3")]), b"GET / HTTP/1.0\r\n\r\n",
     OK + b"content-length: 3\r\nconnection: close\r\n\r\nabc"),
    (responder(200, b"a", b"bc", b""), GET + CLOSE,
     OK + b"transfer-encoding: chunked\r\nconnection: close\r\n\r\n1\r\na\r\n2\r\nbc\r\n0\r\n\r\n"),
    (responder(204, b"dropped"), GET + CLOSE, b"HTTP/1.1 204 No Content\r\nserver: tessaryne\r\nconnection: close\r\n\r\n"),
    (responder(304, b"x", b"y"), GET + CLOSE, b"HTTP/1.1 304 Not Modified\r\nserver: tessaryne\r\nconnection: close\r\n\r\n"),
    # What the engine refuses is answered as every answer of the server's own is written.
    (hello_app, GET + b"Bad Header\r\n\r\n", OWN_400 + b"content-length: 11\r\nconnection: close\r\n\r\nBad Request"),
    (hello_app, b"POST / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
     OWN_400 + b"content-length: 20\r\nconnection: close\r\n\r\nInvalid chunk length"),
    # HTTP/1.1 names its host exactly once; HTTP/1.0 need not name it.
    (hello_app, b"GET / HTTP/1.1\r\n\r\n", BAD_HOST),
    (hello_app, GET + b"Host: y\r\n\r\n", BAD_HOST),
    (hello_app, b"GET / HTTP/1.0\r\n\r\n", OK + b"content-type: text/plain\r\ncontent-length: 5\r\nconnection: close\r\n\r\nhello"),
    # Trailers close a chunked body, and the response waits for them; advertised to a client that reads them.
    (trailing(b"ab"), GET + TE + CLOSE, OK + b"transfer-encoding: chunked\r\nconnection: close\r\n\r\n"
     b"%X\r\n%s\r\n2\r\nab\r\n0\r\nx-a: 1\r\nx-b: 2\r\n\r\n" % (len(ADVERTISED), ADVERTISED)),
    (trailing(), GET + CLOSE, OK + b"transfer-encoding: chunked\r\nconnection: close\r\n\r\n2\r\n{}\r\n0\r\nx-a: 1\r\nx-b: 2\r\n\r\n"),
    (trailing(b"ab"), b"GET / HTTP/1.0\r\n\r\n", OK + b"connection: close\r\n\r\n{}ab"),  # nowhere to put them
    (trailing(b"ab", finish=False), GET + CLOSE,  # without them the response is cut short
     OK + b"transfer-encoding: chunked\r\nconnection: close\r\n\r\n2\r\n{}\r\n2\r\nab\r\n0\r\n"),
])  # fmt: skip
def test_exact_bytes_on_the_wire(app: Any, request_bytes: bytes, expected: bytes) -> None:
    assert exchange(app, request_bytes) == expected


HOST = b"Host: localhost\r\n"
SMUGGLED = b"GET /smuggled HTTP/1.1\r\n" + HOST + b"\r\n"
CHUNKED = b"POST / HTTP/1.1\r\n" + HOST + b"Transfer-Encoding: chunked\r\n\r\n"


@pytest.mark.parametrize("request_bytes, statuses", [
    # A request hidden in another by framing that two readers read differently.
    (b"POST / HTTP/1.1\r\n" + HOST + b"Content-Length: +5\r\n\r\nhello" + SMUGGLED, [400]),
    (b"POST / HTTP/1.0\r\n" + HOST + b"Connection: keep-alive\r\nTransfer-Encoding: chunked\r\n\r\n"
     b"5\r\nhello\r\n0\r\n\r\n" + SMUGGLED, [400]),
    (CHUNKED + b"5\r\nhello\r\n0\r\n\nGET /next HTTP/1.1\r\n" + HOST + b"\r\n", [400]),
    (CHUNKED + b"2;\nxx\r\n30\r\n0\r\n\r\n" + SMUGGLED + b"\r\n0\r\n\r\n", [400]),
    # Host values that are no host, and two Host lines in any version.
    *[(b"GET / HTTP/1.1\r\nHost: " + host + b"\r\n\r\n", [400])
      for host in (b"user@localhost", b"localhost/evil", b"local host", b"localhost:abc")],
    (b"GET / HTTP/1.0\r\n" + HOST + HOST + b"\r\n", [400]),
    # No tunnels, a target too long, and an Upgrade that HTTP/1.0 cannot ask for.
    (b"CONNECT example.com:443 HTTP/1.1\r\nHost: example.com:443\r\n\r\n", [501]),
    (b"CONNECT / HTTP/1.1\r\n" + HOST + b"\r\n", [501]),
    (b"GET /" + b"a" * 100_000 + b" HTTP/1.1\r\n" + HOST + b"\r\n", [414]),
    (b"GET / HTTP/1.0\r\n" + HOST + b"Connection: Upgrade\r\nUpgrade: websocket\r\n\r\n", [200]),
    # Targets in no form an origin server serves; "*" is OPTIONS's.
    *[(b"GET " + target + b" HTTP/1.1\r\n" + HOST + b"\r\n", [400])
      for target in (b"localhost:80", b"a/b", b"*", b"http:///x", b"ftp://localhost/x")],
    (b"OPTIONS * HTTP/1.1\r\n" + HOST + b"\r\n", [200]),
])  # fmt: skip
def test_ambiguous_and_malformed_requests_get_one_answer(request_bytes: bytes, statuses: list[int]) -> None:
    reply = exchange(hello_app, request_bytes)
    assert [int(status) for status in re.findall(rb"^HTTP/1\.1 (\d{3}) ", reply, re.M)] == statuses, reply


async def path_echo(scope, receive, send):  # type: ignore[no-untyped-def]
    text = f"{scope['path']}|{scope['raw_path'].decode()}|{scope['query_string'].decode()}|{scope['root_path']}"
    await send({"type": "http.response.start", "status": 200, "headers": []})
    await send({"type": "http.response.body", "body": text.encode()})


@pytest.mark.parametrize("target, root_path, seen", [
    (b"/a%20b/%C3%BC?q=1", "", "/a b/\u00fc|/a%20b/%C3%BC|q=1|"),
    (b"/bad%zz%4", "", "/bad%zz%4|/bad%zz%4||"),
    (b"/x", "/mount", "/mount/x|/x||/mount"),
    # The absolute form a server must accept: the path is what follows the authority.
    (b"http://example.com/a%20b?q=1", "", "/a b|/a%20b|q=1|"),
    (b"HTTPS://example.com", "", "/|/||"),
])  # fmt: skip
def test_the_scope_path_from_every_target_form(target: bytes, root_path: str, seen: str) -> None:
    reply = exchange(path_echo, b"GET " + target + b" HTTP/1.1\r\nHost: x\r\n" + CLOSE, root_path=root_path)
    assert reply.split(b"\r\n\r\n", 1)[1].decode() == seen


HOLDING, RELEASE = threading.Event(), threading.Event()


async def own_answers_app(scope, receive, send):  # type: ignore[no-untyped-def]
    if scope["type"] == "websocket":
        await receive()
        await send({"type": "websocket.accept"})
        await send({"type": "websocket.close"})
        return
    if scope["path"] == "/fail":
        raise RuntimeError("the server answers 500")
    if scope["path"] == "/hold":  # in flight until released: the next request is one too many
        HOLDING.set()
        await asyncio.to_thread(RELEASE.wait, 30)
    await hello_app(scope, receive, send)


def first_head(port: int, request: bytes) -> bytes:
    with socket.create_connection(("127.0.0.1", port), timeout=30) as sock:
        sock.sendall(request)
        data = b""
        while b"\r\n\r\n" not in data and (chunk := sock.recv(65536)):
            data += chunk
    return data.split(b"\r\n\r\n")[0]


OWN_ANSWERS = {
    # The engine's refusals, the Host rule and CONNECT.
    400: GET + b"Bad Header\r\n\r\n",
    413: b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\n",
    414: b"GET /" + b"a" * 2000 + b" HTTP/1.1\r\n\r\n",
    431: GET + b"X: " + b"a" * 2000 + b"\r\n\r\n",
    501: b"CONNECT x:443 HTTP/1.1\r\nHost: x:443\r\n\r\n",
    # A head too slow, an application that fails, the interim and the switching answers.
    408: b"GET / HTTP/1.1\r\n",
    500: b"GET /fail HTTP/1.1\r\nHost: x\r\n\r\n",
    100: b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\nExpect: 100-continue\r\n\r\n",
    101: b"GET / HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n",
}  # fmt: skip


@pytest.mark.parametrize("settings, present, absent", [
    ({}, [b"server: tessaryne", b"date: "], [b"x-probe"]),
    ({"server_header": False, "headers": (("x-probe", "1"),)}, [b"x-probe: 1", b"date: "], [b"server:"]),
])  # fmt: skip
def test_every_answer_of_the_servers_own_carries_its_lines(
    settings: dict[str, Any], present: list[bytes], absent: list[bytes]
) -> None:
    limits = {"max_body_size": 10, "max_header_size": 1024, "head_timeout": 0.2}
    with serving(own_answers_app, lifespan="off", **limits, **settings) as server:
        heads = {status: first_head(server.port, request) for status, request in OWN_ANSWERS.items()}
    # A server of its own for the 503: under load, a request above whose client
    # has gone can still hold the one place when the next one comes.
    with serving(own_answers_app, lifespan="off", limit_concurrency=1, **settings) as server:
        HOLDING.clear()
        RELEASE.clear()
        with socket.create_connection(("127.0.0.1", server.port), timeout=30) as holding:
            holding.sendall(b"GET /hold HTTP/1.1\r\nHost: x\r\n\r\n")
            assert HOLDING.wait(30)
            heads[503] = first_head(server.port, GET + b"\r\n")
            RELEASE.set()
    for status, head in heads.items():
        lines = head.split(b"\r\n")
        assert lines[0].startswith(b"HTTP/1.1 %d " % status), head
        assert all(line in head for line in present) and not any(line in head for line in absent), head


@pytest.mark.parametrize("settings, present, absent", [
    ({}, [b"server: tessaryne\r\n", b"date: "], [b"x-frame-options"]),
    ({"server_header": False, "date_header": False}, [], [b"server:", b"date:"]),
    # Added to the application's answers and to the server's own.
    ({"headers": (("x-frame-options", "DENY"),)}, [b"x-frame-options: DENY\r\n"], []),
])  # fmt: skip
def test_the_servers_own_response_headers(settings: dict[str, Any], present: list[bytes], absent: list[bytes]) -> None:
    for request in (GET + CLOSE, b"GET / HTTP/1.1\r\n\r\n"):  # answered by the app, and a 400 of the server's
        with serve(hello_app, **settings) as server, server.connect() as sock:
            sock.sendall(request)
            head = recv_until_closed(sock).split(b"\r\n\r\n")[0] + b"\r\n"
        assert all(line in head for line in present) and not any(line in head for line in absent), head


def test_pipelined_requests_are_answered_in_order() -> None:
    async def app(scope, receive, send):  # type: ignore[no-untyped-def]
        message = await receive()
        if scope["path"] == "/slow":
            await asyncio.sleep(0)
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": scope["path"].encode() + message["body"]})

    paths = [b"/%d" % n if n % 7 else b"/slow" for n in range(100)]
    requests = b"".join(b"POST %s HTTP/1.1\r\nHost: x\r\nContent-Length: 1\r\n\r\n!" % path for path in paths)
    replies = exchange(app, requests + GET + CLOSE).split(b"HTTP/1.1 200 OK\r\n")[1:]
    assert [one.rsplit(b"\r\n\r\n", 1)[1] for one in replies] == [path + b"!" for path in paths] + [b"/"]


def test_a_head_sent_byte_by_byte_is_answered() -> None:
    with serve(hello_app) as server, server.connect() as sock:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for byte in b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n" + CLOSE + b"abc":
            sock.send(bytes([byte]))
        assert recv_until_closed(sock).endswith(b"\r\n\r\nabc")


@pytest.mark.parametrize("app_reads_body", [True, False])
def test_expect_continue(app_reads_body: bool) -> None:
    after: list[Any] = []
    finished = threading.Event()

    async def app(scope, receive, send):  # type: ignore[no-untyped-def]
        body = (await receive())["body"] if app_reads_body else b"unread"
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": body})
        after.append(await receive())
        finished.set()

    with serve(app) as server, server.connect() as sock:
        sock.sendall(b"POST / HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\nContent-Length: 4\r\n\r\n")
        if app_reads_body:
            interim = sock.recv(200)
            assert interim.startswith(b"HTTP/1.1 100 Continue\r\nserver: tessaryne\r\ndate: ") and interim.endswith(
                b"\r\n\r\n"
            )
            sock.sendall(b"body" + GET + CLOSE)
            reply = recv_until_closed(sock)
            assert reply.count(OK) == 2 and b"\r\n\r\nbody" in reply
        else:
            # Answered without its body: no 100, and the connection ends with the answer.
            reply = recv_until_closed(sock)
            assert reply.startswith(OK) and reply.endswith(b"connection: close\r\n\r\nunread")
        assert finished.wait(30) and after[0] == {"type": "http.disconnect"}


def test_http_client_upload_over_the_limit_reads_413() -> None:
    with serve(hello_app) as server:
        client = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
        client.request("POST", "/", body=bytes(11 << 20))
        response = client.getresponse()
        assert (response.status, response.read()) == (413, b"Payload Too Large")


@pytest.mark.parametrize("fault", ["raise", "return", "raise after head", "body before start", "start twice"])
def test_app_faults(fault: str) -> None:
    async def app(scope, receive, send):  # type: ignore[no-untyped-def]
        if fault == "return":
            return
        if fault == "body before start":
            await send({"type": "http.response.body"})
        if fault != "raise":
            await send({"type": "http.response.start", "status": 200, "headers": [(b"content-length", b"9")]})
            await send({"type": "http.response.body", "body": b"1234", "more_body": True})
        if fault == "start twice":
            await send({"type": "http.response.start", "status": 200})
        raise ValueError(fault)

    reply = exchange(app, GET + CLOSE)
    if fault in ("raise after head", "start twice"):
        assert reply.startswith(OK) and reply.endswith(b"\r\n\r\n1234")  # cut short by the close
    else:
        assert reply.startswith(b"HTTP/1.1 500 Internal Server Error\r\n") and reply.endswith(b"Internal Server Error")


def test_every_response_begun_has_one_access_line(caplog: pytest.LogCaptureFixture) -> None:
    left = threading.Event()

    async def app(scope, receive, send):  # type: ignore[no-untyped-def]
        if scope["type"] == "websocket":
            await receive()
            await send({"type": "websocket.accept"})
            await send({"type": "websocket.close"})
            return
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b"part", "more_body": True})
        while (await receive())["type"] != "http.disconnect":
            pass
        left.set()

    caplog.set_level(logging.INFO, logger="tessaryne.access")
    with serve(app, access_log=True) as server:
        with server.connect() as sock:
            sock.sendall(GET + b"\r\n")
            assert sock.recv(65536).endswith(b"part\r\n")
        assert left.wait(30)
        with server.connect() as sock:
            sock.sendall(OWN_ANSWERS[101])
            recv_until_closed(sock)
    # Cut short by the client, and a handshake, whose size is its body's as for any response.
    assert [record.getMessage().split('" ')[-1] for record in caplog.records] == ["200 4", "101 0"]


def test_an_app_waiting_for_the_client_hears_it_leave() -> None:
    messages: list[dict[str, Any]] = []
    done = threading.Event()

    async def app(scope, receive, send):  # type: ignore[no-untyped-def]
        messages.extend([await receive(), await receive()])
        done.set()

    with serve(app) as server:
        with server.connect() as sock:
            sock.sendall(b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\nhi")
        assert done.wait(30)
    assert messages == [{"type": "http.request", "body": b"hi", "more_body": False}, {"type": "http.disconnect"}]


def test_a_client_that_does_not_read_holds_back_the_app(event_loop_kind: str) -> None:
    piece, count, buffered, paused = bytes(64 << 10), 400, [], threading.Event()

    async def app(scope, receive, send):  # type: ignore[no-untyped-def]
        await send({"type": "http.response.start", "status": 200, "headers": []})
        for _ in range(count):
            connection = next(iter(state.driver.connections()))
            buffered.append(connection.pending_output)
            if connection.write_paused:
                paused.set()
            await send({"type": "http.response.body", "body": piece, "more_body": True})
        await send({"type": "http.response.body"})

    with serve(app, loop=event_loop_kind) as server, server.connect() as sock:
        state = server.state
        sock.sendall(GET + CLOSE)
        assert paused.wait(30)
        reply = recv_until_closed(sock)
    assert reply.endswith(b"0\r\n\r\n") and reply.count(b"\r\n10000\r\n") == count
    assert max(buffered) <= 3 * len(piece)


def test_an_upload_is_read_as_the_app_consumes_it(event_loop_kind: str) -> None:
    sizes: list[int] = []

    async def slow_reader(scope, receive, send):  # type: ignore[no-untyped-def]
        message = {"more_body": True}
        while message["more_body"]:
            message = await receive()
            sizes.append(len(message["body"]))
            for _ in range(20):
                await asyncio.sleep(0)
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b"%d" % sum(sizes)})

    with serve(slow_reader, read_buffer_limit=32 << 10, loop=event_loop_kind) as server:
        client = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
        client.request("POST", "/", body=bytes(5 << 20))
        assert client.getresponse().read() == b"%d" % (5 << 20)
    # Reading pauses past the limit, so nothing waiting for the app exceeds it by more than one read.
    assert max(sizes) <= (32 << 10) + (256 << 10)


def test_urllib_and_http_client_in_ordinary_use() -> None:
    with serve(hello_app) as server:
        with urllib.request.urlopen(f"http://127.0.0.1:{server.port}/a?b", timeout=30) as response:
            assert (response.status, response.read()) == (200, b"hello")
        client = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
        for body in (None, b"x" * 100_000, b"abc"):
            client.request("PUT" if body else "GET", "/", body=body)
            response = client.getresponse()
            assert (response.status, response.read()) == (200, body or b"hello")


@pytest.mark.skipif(shutil.which("curl") is None, reason="needs curl")
def test_curl() -> None:
    async def echo_in_chunks(scope, receive, send):  # type: ignore[no-untyped-def]
        body, message = b"", {"more_body": True}
        while message["more_body"]:
            message = await receive()
            body += message["body"]
        await send({"type": "http.response.start", "status": 200, "headers": []})
        for piece in (body[:2], body[2:], b""):
            await send({"type": "http.response.body", "body": piece, "more_body": bool(piece)})

    with serve(echo_in_chunks) as server:
        url = f"http://127.0.0.1:{server.port}/"
        for args, expected in [
            ((), b""),
            (("--data-binary", "posted"), b"posted"),
            (("-H", "Transfer-Encoding: chunked", "--data-binary", "streamed"), b"streamed"),
        ]:
            assert subprocess.run(["curl", "-sS", *args, url], capture_output=True, check=True).stdout == expected


TIMEOUT = (
    b"HTTP/1.1 408 Request Timeout\r\nserver: tessaryne\r\ncontent-type: text/plain; charset=utf-8\r\n"
    b"content-length: 15\r\nconnection: close\r\n\r\nRequest Timeout"
)
POST = b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n"
CONTINUE = b"HTTP/1.1 100 Continue\r\nserver: tessaryne\r\n\r\n"  # and a date line
BIG = 1 << 20


def counted(body: bytes) -> bytes:
    return OK + b"content-length: %d\r\nconnection: close\r\n\r\n%d" % (len(b"%d" % len(body)), len(body))


@pytest.mark.parametrize("steps, expected, heard", [
    ([], b"", None),  # idle keep-alive: closed without a word
    ([b"GET / HT"], TIMEOUT, None),  # a head too slow
    ([POST % 10 + b"\r\nabc"], TIMEOUT, "http.disconnect"),  # a body that stops
    ([POST % 10 + CLOSE + b"ab", 0.25, b"cd", 0.25, b"ef", 0.25, b"ghij"], counted(b"x" * 10), "http.request"),
    # The body is due only once "100 Continue" has asked for it...
    ([POST % 3 + b"Expect: 100-continue\r\n" + CLOSE, CONTINUE, b"abc"], CONTINUE + counted(b"abc"), "http.request"),
    # ...and not while the server has stopped reading it for an app that is behind.
    ([POST % BIG + CLOSE + b"x" * BIG], counted(b"x" * BIG), "http.request"),
])  # fmt: skip
def test_timeouts_of_idle_connections_slow_heads_and_stalled_bodies(
    steps: list[bytes | float], expected: bytes, heard: str | None, event_loop_kind: str
) -> None:
    """Each gap between steps is shorter than the body timeout, the whole body
    slower; the app sleeps past the timeouts before it reads."""
    last: list[str] = []
    finished = threading.Event()

    async def app(scope, receive, send):  # type: ignore[no-untyped-def]
        await asyncio.sleep(1.0)
        size, message = 0, {"more_body": True}
        while message.get("more_body"):
            message = await receive()
            size += len(message.get("body", b""))
        last.append(message["type"])
        finished.set()
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b"%d" % size})

    received = b""
    with (
        serve(app, keep_alive_timeout=0.6, head_timeout=0.6, body_timeout=0.6, loop=event_loop_kind) as server,
        server.connect() as sock,
    ):
        for step in steps:
            if isinstance(step, float):
                time.sleep(step)
            elif step == CONTINUE:
                while not received.endswith(b"\r\n\r\n") and (piece := sock.recv(1)):
                    received += piece
            else:
                sock.sendall(step)
        received += recv_until_closed(sock)
        if heard is not None:
            assert finished.wait(30)
    assert re.sub(rb"date: [^\r]*\r\n", b"", received) == expected
    assert last == ([heard] if heard else [])


def test_shutdown_closes_idle_connections_and_ends_busy_ones_after_their_answer(event_loop_kind: str) -> None:
    release, waiting = asyncio.Event(), threading.Event()

    async def app(scope, receive, send):  # type: ignore[no-untyped-def]
        waiting.set()
        await release.wait()
        await hello_app(scope, receive, send)

    def shut_down() -> None:
        server.state.shut_down_connections()
        release.set()

    with serve(app, loop=event_loop_kind) as server, server.connect() as idle, server.connect() as busy:
        busy.sendall(GET + b"\r\n")
        assert waiting.wait(30)
        server.call(shut_down)
        assert recv_until_closed(idle) == b""
        assert recv_until_closed(busy).endswith(b"connection: close\r\n\r\nhello")


def test_an_upgrade_request_is_handed_to_the_websocket_session(monkeypatch: pytest.MonkeyPatch) -> None:
    calls: list[Any] = []
    lost = threading.Event()

    class Session:
        def __init__(self, protocol: Any, request: Any, scope: Any) -> None:
            calls.append((request[1], scope["type"], scope["path"]))
            self.start = lambda: calls.append("start")
            self.on_events = calls.append
            self.connection_lost = lost.set

    monkeypatch.setattr(driver, "WebSocketSession", Session)
    with serve(hello_app) as server:
        with server.connect() as sock:
            sock.sendall(b"GET /chat HTTP/1.1\r\nHost: x\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n\r\n")
            server.call(lambda: None)
            sock.sendall(b"\x81\x85")
        assert lost.wait(30)
    # Until the session switches the engine, later bytes stay buffered in it.
    assert calls[:2] == [("GET", "websocket", "/chat"), "start"] and all(call == [] for call in calls[2:])
