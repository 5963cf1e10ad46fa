"""WSGI applications as PEP 3333 has them served: wrapped in wsgiref's
validator, which raises on anything the server does against the PEP; the
environ of real requests; blocking calls on many threads at once; clients
that leave mid-exchange; a graceful stop with a call running."""

from __future__ import annotations

import hashlib
import http.client
import io
import logging
import random
import socket
import sys
import threading
import time
from collections.abc import Iterable, Iterator
from concurrent.futures import ThreadPoolExecutor
from typing import Any
from wsgiref.validate import validator

import pytest

from server_support import serve, serving, wait_for

TEXT = [("Content-Type", "text/plain")]
# Several MiB, cut in pieces no buffer's size divides.
BIG = random.Random(27).randbytes(5 * 1024 * 1024 + 3)
BIG_PIECES = [BIG[start : start + 1_000_003] for start in range(0, len(BIG), 1_000_003)]
BIG_DIGEST = b"%d %s" % (len(BIG), hashlib.sha256(BIG).hexdigest().encode())
CUT = "cut short"  # the response ended without its end: the connection was closed


class Closing:
    """The application's iterable, with a close() that the server must call."""

    def __init__(self, body: Iterable[bytes], closed: threading.Event) -> None:
        self.body, self.closed = body, closed

    def __iter__(self) -> Iterator[bytes]:
        return iter(self.body)

    def close(self) -> None:
        self.closed.set()
        getattr(self.body, "close", lambda: None)()


def fetch(port: int, pieces: list[bytes] | None = None, length: bool = True) -> tuple[int, Any]:
    """The status and body over http.client: a GET, or a POST of pieces sent
    one by one, with a pause before each, under a Content-Length or chunked."""

    def paced() -> Iterator[bytes]:
        for piece in pieces or ():
            time.sleep(0.05)
            yield piece

    headers = {"Content-Length": str(sum(map(len, pieces)))} if pieces is not None and length else {}
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        method, body = ("GET", None) if pieces is None else ("POST", paced())
        connection.request(method, "/", body=body, headers=headers)
        response = connection.getresponse()
        try:
            return response.status, response.read()
        except http.client.IncompleteRead:
            return response.status, CUT
    finally:
        connection.close()


def hello(environ, start_response):  # type: ignore[no-untyped-def]
    start_response("200 OK", [*TEXT, ("Content-Length", "5")])
    return [b"hello"]


def reads(environ, start_response):  # type: ignore[no-untyped-def]
    """What each way of reading wsgi.input returned, then a read past the end."""
    body = environ["wsgi.input"]
    parts = [body.readline(), body.readline(4), body.read(5), *body.readlines(), body.read(5)]
    start_response("200 OK", TEXT)
    return [b"|".join(parts)]


def digest(environ, start_response):  # type: ignore[no-untyped-def]
    body, hashed, size = environ["wsgi.input"], hashlib.sha256(), 0
    while piece := body.read(65536):
        hashed.update(piece)
        size += len(piece)
    start_response("200 OK", TEXT)
    return [b"%d %s" % (size, hashed.hexdigest().encode())]


def writes(environ, start_response):  # type: ignore[no-untyped-def]
    write = start_response("200 OK", TEXT)
    write(b"written, ")
    write(b"")
    write(b"then ")
    return [b"returned"]


def generated(environ, start_response):  # type: ignore[no-untyped-def]
    """No length, and start_response called only once the body is iterated; an empty piece ends nothing."""
    start_response("200 OK", TEXT)
    yield from (b"a", b"", b"bc")


def wrapped_file(environ, start_response):  # type: ignore[no-untyped-def]
    """The server's file_wrapper over a file without a descriptor, iterated as middleware sees it."""
    start_response("200 OK", TEXT)
    return environ["wsgi.file_wrapper"](io.BytesIO(BIG), 8192)


def recovers(environ, start_response):  # type: ignore[no-untyped-def]
    start_response("200 OK", [*TEXT, ("X-Replaced", "yes")])
    try:
        raise ValueError("handled by the application")
    except ValueError:
        start_response("500 Internal Server Error", TEXT, sys.exc_info())
    return [b"replaced"]


def fails_late(environ, start_response):  # type: ignore[no-untyped-def]
    start_response("200 OK", TEXT)(b"begun")
    try:
        raise ValueError("once the head is out")
    except ValueError:
        start_response("500 Internal Server Error", TEXT, sys.exc_info())  # re-raises it
    return [b"never sent"]


def raises(environ, start_response):  # type: ignore[no-untyped-def]
    raise ValueError("before the head")


def breaks(environ, start_response):  # type: ignore[no-untyped-def]
    start_response("200 OK", TEXT)
    yield b"part"
    raise ValueError("mid-body")


@pytest.mark.parametrize("app, pieces, length, status, body, errors", [
    (hello, None, True, 200, b"hello", 0),
    (reads, [b"first li", b"ne\nseco", b"nd line\nthi", b"rd"], True, 200, b"first line\n|seco|nd li|ne\n|third|", 0),
    (digest, BIG_PIECES, False, 200, BIG_DIGEST, 0),
    (digest, BIG_PIECES, True, 200, BIG_DIGEST, 0),
    (writes, None, True, 200, b"written, then returned", 0),
    (generated, None, True, 200, b"abc", 0),
    (wrapped_file, None, True, 200, BIG, 0),
    (recovers, None, True, 500, b"replaced", 0),
    (fails_late, None, True, 200, CUT, 1),
    (raises, None, True, 500, ..., 1),
    (breaks, None, True, 200, CUT, 1),
], ids=["get", "streamed-post", "chunked-MiB", "length-MiB", "write", "generator", "file-wrapper",
        "exc-info-before-head", "exc-info-after-head", "raises", "raises-mid-body"])  # fmt: skip
def test_validated_applications(
    caplog: pytest.LogCaptureFixture,
    app: Any,
    pieces: Any,
    length: bool,
    status: int,
    body: Any,
    errors: int,
    event_loop_kind: str,
) -> None:
    """Each error expected is the application's ValueError, logged once; an
    AssertionError of the validator is a fault of the server. On both loops:
    each wakes for the calls' pieces its own way."""
    returned, closed = threading.Event(), threading.Event()

    def tracked(environ, start_response):  # type: ignore[no-untyped-def]
        body = app(environ, start_response)
        returned.set()
        return Closing(body, closed)

    with serve(validator(tracked), interface="wsgi", loop=event_loop_kind) as server:
        answer = fetch(server.port, pieces, length)
        assert not returned.is_set() or closed.wait(10), "the server closed the iterable"
        if errors:
            wait_for(lambda: any(r.levelno >= logging.ERROR for r in caplog.records), "the error's log line")
    assert answer == (status, answer[1] if body is ... else body)
    logged = [r for r in caplog.records if r.levelno >= logging.ERROR]
    assert len(logged) == errors and "AssertionError" not in caplog.text, caplog.text
    assert errors == 0 or "ValueError" in caplog.text, caplog.text


ABSENT = "absent"
COMMON = (
    b"Accept: text/html\r\nAccept: text/plain\r\nCookie: a=1\r\nCookie: b=2\r\n"
    b"X_User: mallory\r\nX-User: alice\r\nConnection: close\r\n\r\n"
)


@pytest.mark.parametrize("head, body, expected", [
    (b"GET /a%20b/%C3%A9?q=1&r=%20 HTTP/1.1\r\n", b"", {
        "REQUEST_METHOD": "GET", "PATH_INFO": "/a b/\xc3\xa9", "QUERY_STRING": "q=1&r=%20",
        "SERVER_PROTOCOL": "HTTP/1.1", "CONTENT_TYPE": ABSENT, "CONTENT_LENGTH": ABSENT,
    }),
    (b"POST /form HTTP/1.0\r\nContent-Type: text/plain\r\nContent-Length: 3\r\n", b"abc", {
        "REQUEST_METHOD": "POST", "PATH_INFO": "/form", "QUERY_STRING": "",
        "SERVER_PROTOCOL": "HTTP/1.0", "CONTENT_TYPE": "text/plain", "CONTENT_LENGTH": "3",
    }),
], ids=["get", "post"])  # fmt: skip
def test_the_environ_of_a_request(head: bytes, body: bytes, expected: dict[str, object]) -> None:
    """Repeated headers joined, cookies as one Cookie header has them, and a
    header whose name has "_" dropped: it would pass for X-User."""
    environs: list[dict[str, Any]] = []

    def app(environ, start_response):  # type: ignore[no-untyped-def]
        environs.append(dict(environ, body=environ["wsgi.input"].read(10)))
        start_response("200 OK", TEXT)
        return [b"seen"]

    with serve(validator(app), interface="wsgi", root_path="/mount") as server, server.connect() as sock:
        sock.sendall(head + b"Host: 127.0.0.1:%d\r\n" % server.port + COMMON + body)
        assert sock.makefile("rb").readline().split()[1] == b"200"
        client_port = sock.getsockname()[1]
    (environ,) = environs
    expected = {
        **expected, "SCRIPT_NAME": "/mount", "SERVER_NAME": "127.0.0.1", "SERVER_PORT": str(server.port),
        "REMOTE_ADDR": "127.0.0.1", "REMOTE_PORT": str(client_port), "HTTP_HOST": f"127.0.0.1:{server.port}",
        "HTTP_ACCEPT": "text/html,text/plain", "HTTP_COOKIE": "a=1; b=2", "HTTP_X_USER": "alice",
        "HTTP_CONTENT_TYPE": ABSENT, "HTTP_CONTENT_LENGTH": ABSENT, "body": body,
        "wsgi.version": (1, 0), "wsgi.url_scheme": "http", "wsgi.multithread": True, "wsgi.multiprocess": False,
        "wsgi.run_once": False,
    }  # fmt: skip
    assert {key: environ.get(key, ABSENT) for key in expected} == expected


def test_blocking_calls_run_on_as_many_threads_at_once_and_the_limit_answers_503() -> None:
    """The barrier lets the calls through only once all eight are in the
    application together; a server that ran fewer at once breaks it."""
    all_in, release = threading.Event(), threading.Event()
    together = threading.Barrier(8, action=all_in.set, timeout=10)

    def app(environ, start_response):  # type: ignore[no-untyped-def]
        together.wait()
        release.wait(30)
        start_response("200 OK", TEXT)
        return [threading.current_thread().name.encode()]

    with (
        serving(app, interface="wsgi", threads=1, executor_threads=8, limit_concurrency=8) as server,
        ThreadPoolExecutor(8) as clients,
    ):
        try:
            calls = [clients.submit(fetch, server.port) for _ in range(8)]
            assert all_in.wait(30), "eight calls were in the application at once"
            assert fetch(server.port)[0] == 503
        finally:
            release.set()
        answers = [call.result() for call in calls]
    assert {status for status, _ in answers} == {200} and len({body for _, body in answers}) == 8


def endless(produced: list[int]) -> Iterator[bytes]:
    """A body of 128 MiB, counted as it is made: far more than a departed client lets through."""
    for produced[0] in range(1, 2049):
        yield b"x" * 65536


@pytest.mark.parametrize("request_bytes, heard", [
    (b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\n" + b"x" * 10, ["OSError"]),
    (b"GET / HTTP/1.1\r\nHost: x\r\n\r\n", []),
], ids=["mid-body", "mid-response"])  # fmt: skip
def test_a_client_that_leaves_mid_exchange(request_bytes: bytes, heard: list[str]) -> None:
    """Leaving mid-body fails the read (a short body is no end of it); leaving
    mid-response stops the iteration; either way the iterable is closed."""
    reading, closed, events, produced = threading.Event(), threading.Event(), [], [0]

    def app(environ, start_response):  # type: ignore[no-untyped-def]
        reading.set()
        try:
            while environ["wsgi.input"].read(30):
                pass
        except OSError:
            events.append("OSError")
        start_response("200 OK", TEXT)
        return Closing(endless(produced), closed)

    with serve(app, interface="wsgi", body_timeout=60) as server:
        with server.connect() as sock:
            sock.sendall(request_bytes)
            assert reading.wait(30)
            if not heard:
                assert len(sock.recv(65536)) > 0
        assert closed.wait(10), "the server closed the iterable"
    assert (events, produced[0] < 2048) == (heard, True)


def refused(port: int) -> bool:
    try:
        socket.create_connection(("127.0.0.1", port), timeout=5).close()
    except ConnectionRefusedError, ConnectionResetError:  # a reset: it met the listener closing
        return True
    return False


def test_a_graceful_stop_lets_a_running_call_finish() -> None:
    entered, release = threading.Event(), threading.Event()

    def app(environ, start_response):  # type: ignore[no-untyped-def]
        entered.set()
        release.wait(30)
        start_response("200 OK", TEXT)
        return [b"finished"]

    with serving(app, interface="wsgi", threads=1, shutdown_timeout=30) as server, ThreadPoolExecutor(2) as pool:
        answer = pool.submit(fetch, server.port)
        assert entered.wait(30)
        stopped = pool.submit(server.stop)
        wait_for(lambda: refused(server.port), "the listener to close")
        release.set()
        assert answer.result(30) == (200, b"finished")
        stopped.result(30)
