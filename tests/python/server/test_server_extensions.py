"""The ASGI extensions the server honours, byte for byte on a raw socket:
files sent as the body (pathsend, zerocopysend), 103 Early Hints, and what
each scope advertises; Starlette's FileResponse served through pathsend."""

from __future__ import annotations

import re
import socket
import ssl
from pathlib import Path
from typing import Any

import pytest
from starlette.applications import Starlette
from starlette.responses import FileResponse
from starlette.routing import Route

from server_support import needs_openssl, recv_until_closed, self_signed_certificate, serve
from tessaryne.server.config import Config

CONTENT = bytes(range(256)) * 4096  # 1 MiB, every byte value
HEAD = b"HTTP/1.1 200 OK\r\nserver: tessaryne\r\n"
CLOSE = b"connection: close\r\n\r\n"


def exchange(port: int, request: bytes) -> bytes:
    with socket.create_connection(("127.0.0.1", port), timeout=30) as sock:
        sock.sendall(request)
        return re.sub(rb"date: [^\r]*\r\n", b"", recv_until_closed(sock))


def file_app(path: Path, messages: list[dict[str, Any]], start: dict[str, Any] | None = None) -> Any:
    """Sends `messages` (with "file" opened from path where it is True) after a start."""

    async def app(scope: dict[str, Any], receive: Any, send: Any) -> None:
        await send({"type": "http.response.start", "status": 200, **(start or {})})
        with open(path, "rb") as file:
            for message in messages:
                await send({**message, "file": file} if message.get("file") is True else message)

    return app


# (messages, the start's extra keys, request method, the bytes after the status and server lines)
FILE_CASES = [
    (
        "pathsend",
        [{"type": "http.response.pathsend", "path": "{path}"}],
        {},
        b"GET",
        b"content-length: 1048576\r\n" + CLOSE + CONTENT,
    ),
    (
        "pathsend, HEAD",
        [{"type": "http.response.pathsend", "path": "{path}"}],
        {},
        b"HEAD",
        b"content-length: 1048576\r\n" + CLOSE,
    ),
    (
        "pathsend, the app's length",
        [{"type": "http.response.pathsend", "path": "{path}"}],
        {"headers": [(b"content-length", b"1048576")]},
        b"GET",
        b"content-length: 1048576\r\n" + CLOSE + CONTENT,
    ),
    (
        "zerocopysend, whole",
        [{"type": "http.response.zerocopysend", "file": True}],
        {},
        b"GET",
        b"content-length: 1048576\r\n" + CLOSE + CONTENT,
    ),
    (
        "zerocopysend, slices then bytes",
        [
            {"type": "http.response.zerocopysend", "file": True, "offset": 10, "count": 5, "more_body": True},
            {"type": "http.response.zerocopysend", "file": True, "offset": 0, "count": 3, "more_body": True},
            {"type": "http.response.body", "body": b"end"},
        ],
        {},
        b"GET",
        b"transfer-encoding: chunked\r\n"
        + CLOSE
        + b"5\r\n\n\x0b\x0c\r\x0e\r\n3\r\n\x00\x01\x02\r\n3\r\nend\r\n0\r\n\r\n",
    ),
    (
        "zerocopysend from the file's position",
        [
            {"type": "http.response.body", "body": b"<", "more_body": True},
            {"type": "http.response.zerocopysend", "file": True, "count": 2, "more_body": True},
            {"type": "http.response.zerocopysend", "file": True, "count": 2},
        ],
        {},
        b"GET",
        b"transfer-encoding: chunked\r\n" + CLOSE + b"1\r\n<\r\n2\r\n\x00\x01\r\n2\r\n\x02\x03\r\n0\r\n\r\n",
    ),
    # More than the file holds: what it holds, then the connection ends, the body's end missing.
    (
        "past the file's end",
        [{"type": "http.response.zerocopysend", "file": True, "offset": 1048570, "count": 7}],
        {},
        b"GET",
        b"transfer-encoding: chunked\r\n" + CLOSE + b"6\r\n" + CONTENT[-6:] + b"\r\n",
    ),
    (
        "past the file's end, the app's length",
        [{"type": "http.response.zerocopysend", "file": True, "offset": 1048570, "count": 7}],
        {"headers": [(b"content-length", b"7")]},
        b"GET",
        b"content-length: 7\r\n" + CLOSE + CONTENT[-6:],
    ),
    (
        "a file before trailers",
        [
            {"type": "http.response.zerocopysend", "file": True, "count": 2},
            {"type": "http.response.trailers", "headers": [(b"x-sum", b"1")]},
        ],
        {"trailers": True},
        b"GET",
        b"transfer-encoding: chunked\r\n" + CLOSE + b"2\r\n\x00\x01\r\n0\r\nx-sum: 1\r\n\r\n",
    ),
]


@pytest.mark.parametrize(
    ("messages", "start", "method", "expected"), [case[1:] for case in FILE_CASES], ids=[case[0] for case in FILE_CASES]
)
def test_file_bodies(
    tmp_path: Path, messages: list[dict[str, Any]], start: dict[str, Any], method: bytes, expected: bytes
) -> None:
    path = tmp_path / "data.bin"
    path.write_bytes(CONTENT)
    messages = [{**m, "path": str(path)} if m.get("path") == "{path}" else m for m in messages]
    with serve(file_app(path, messages, start)) as server:
        te = b"te: trailers\r\n" if start.get("trailers") else b""
        got = exchange(server.port, method + b" / HTTP/1.1\r\nhost: x\r\n" + te + b"connection: close\r\n\r\n")
    assert got == HEAD + expected


# Misplaced or impossible file messages: what the client gets.
BAD_FILE_CASES = [
    ("a missing file", {"type": "http.response.pathsend", "path": "/nonexistent/file"}, b"HTTP/1.1 500 "),
    ("a directory", {"type": "http.response.pathsend", "path": "/"}, b"HTTP/1.1 500 "),
]


@pytest.mark.parametrize(("message", "status"), [c[1:] for c in BAD_FILE_CASES], ids=[c[0] for c in BAD_FILE_CASES])
def test_bad_files_are_application_errors(tmp_path: Path, message: dict[str, Any], status: bytes) -> None:
    path = tmp_path / "data.bin"
    path.write_bytes(CONTENT)
    with serve(file_app(path, [message])) as server:
        got = exchange(server.port, b"GET / HTTP/1.1\r\nhost: x\r\nconnection: close\r\n\r\n")
    assert got.startswith(status) and CONTENT[:64] not in got


def test_early_hints() -> None:
    errors: list[str] = []

    async def app(scope: dict[str, Any], receive: Any, send: Any) -> None:
        await send(
            {"type": "http.response.early_hint", "links": [b"</style.css>; rel=preload", "</a.js>; rel=preload"]}
        )
        await send({"type": "http.response.start", "status": 200})
        try:
            await send({"type": "http.response.early_hint", "links": [b"</late>"]})
        except RuntimeError as error:
            errors.append(str(error))
        await send({"type": "http.response.body", "body": b"ok"})

    with serve(app) as server:
        got = exchange(server.port, b"GET / HTTP/1.1\r\nhost: x\r\nconnection: close\r\n\r\n")
        old = exchange(server.port, b"GET / HTTP/1.0\r\n\r\n")
    assert got == (
        b"HTTP/1.1 103 Early Hints\r\nserver: tessaryne\r\nlink: </style.css>; rel=preload\r\n"
        b"link: </a.js>; rel=preload\r\n\r\n" + HEAD + b"content-length: 2\r\n" + CLOSE + b"ok"
    )
    assert old.startswith(b"HTTP/1.1 200 OK\r\n")  # an HTTP/1.0 client gets no 1xx
    assert errors == ["ASGI 'http.response.early_hint' sent after 'http.response.start'"] * 2


def test_extensions_advertised() -> None:
    seen: list[dict[str, Any]] = []

    async def app(scope: dict[str, Any], receive: Any, send: Any) -> None:
        seen.append(scope["extensions"])
        await send({"type": "http.response.start", "status": 204})
        await send({"type": "http.response.body"})

    with serve(app) as server:
        exchange(server.port, b"GET / HTTP/1.1\r\nhost: x\r\nte: trailers\r\nconnection: close\r\n\r\n")
        exchange(server.port, b"GET / HTTP/1.0\r\n\r\n")
    assert sorted(seen[0]) == [
        "http.response.early_hint",
        "http.response.pathsend",
        "http.response.trailers",
        "http.response.zerocopysend",
    ]
    assert sorted(seen[1]) == ["http.response.pathsend", "http.response.zerocopysend"]


@needs_openssl
def test_tls_extension(tmp_path: Path) -> None:
    cert, key = self_signed_certificate(tmp_path)
    seen: list[dict[str, Any]] = []

    async def app(scope: dict[str, Any], receive: Any, send: Any) -> None:
        seen.append(scope["extensions"]["tls"])
        await send({"type": "http.response.start", "status": 204})
        await send({"type": "http.response.body"})

    server_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    server_context.load_cert_chain(cert, key)
    with serve(app, ssl_context=server_context, ssl_certfile=cert, ssl_keyfile=key) as server:
        client_context = ssl.create_default_context(cafile=cert)
        with socket.create_connection(("127.0.0.1", server.port), timeout=30) as raw:
            with client_context.wrap_socket(raw, server_hostname="127.0.0.1") as sock:
                sock.sendall(b"GET / HTTP/1.1\r\nhost: x\r\nconnection: close\r\n\r\n")
                assert recv_until_closed(sock).startswith(b"HTTP/1.1 204 ")
                version, cipher = sock.version(), sock.cipher()
    tls = seen[0]
    assert tls["server_cert"] == Path(cert).read_text()
    assert (tls["client_cert_chain"], tls["client_cert_name"], tls["client_cert_error"]) == ([], None, None)
    assert tls["tls_version"] == {"TLSv1.2": 0x0303, "TLSv1.3": 0x0304}[version]
    assert cipher is not None and tls["cipher_suite"] in {
        c["id"] & 0xFFFF for c in client_context.get_ciphers() if c["name"] == cipher[0]
    }


# (--http, what the client offers in ALPN, what the handshake chooses)
ALPN_CHOICES = [
    ("auto", ["h2", "http/1.1"], "h2"),
    ("auto", ["http/1.1", "h2"], "h2"),  # the server's preference decides
    ("auto", ["http/1.1"], "http/1.1"),
    ("1", ["h2", "http/1.1"], "http/1.1"),
    ("2", ["h2", "http/1.1"], "h2"),
    ("2", ["http/1.1"], None),  # no version in common: no ALPN answer
]


@needs_openssl
@pytest.mark.parametrize(("http", "offer", "chosen"), ALPN_CHOICES)
def test_alpn_offers_the_http_versions_served(tmp_path: Path, http: str, offer: list[str], chosen: str | None) -> None:
    cert, key = self_signed_certificate(tmp_path)
    server_context = Config(app="served:app", http=http, ssl_certfile=cert, ssl_keyfile=key).ssl_context()
    assert server_context is not None
    client_context = ssl.create_default_context(cafile=cert)
    client_context.set_alpn_protocols(offer)
    # Both ends in memory, each one's output the other's input, until the handshake is done.
    server_in, server_out, client_in, client_out = (ssl.MemoryBIO() for _ in range(4))
    server = server_context.wrap_bio(server_in, server_out, server_side=True)
    client = client_context.wrap_bio(client_in, client_out, server_hostname="127.0.0.1")
    for _ in range(10):
        for end in (client, server):
            try:
                end.do_handshake()
            except ssl.SSLWantReadError:
                pass
        client_in.write(server_out.read())
        server_in.write(client_out.read())
    assert server.version() is not None and client.version() is not None, "the handshake finished"
    assert (server.selected_alpn_protocol(), client.selected_alpn_protocol()) == (chosen, chosen)


def test_starlette_file_response_through_pathsend(tmp_path: Path) -> None:
    path = tmp_path / "page.html"
    path.write_bytes(b"<p>hi</p>" * 1000)
    starlette = Starlette(routes=[Route("/", lambda request: FileResponse(path))])
    sent: list[str] = []

    async def app(scope: dict[str, Any], receive: Any, send: Any) -> None:
        async def recorded(message: dict[str, Any]) -> None:
            sent.append(message["type"])
            await send(message)

        await starlette(scope, receive, recorded)

    with serve(app, lifespan="off") as server:
        got = exchange(server.port, b"GET / HTTP/1.1\r\nhost: x\r\nconnection: close\r\n\r\n")
    head, _, body = got.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 200 OK") and b"content-length: 9000" in head and body == path.read_bytes()
    assert sent == ["http.response.start", "http.response.pathsend"]


def test_files_keep_their_place_in_the_output(tmp_path: Path) -> None:
    """Pipelined answers whose files cannot go out at once (a client with a
    small window): every byte arrives, in order."""
    path = tmp_path / "data.bin"
    path.write_bytes(CONTENT * 4)

    async def app(scope: dict[str, Any], receive: Any, send: Any) -> None:
        await send({"type": "http.response.start", "status": 200})
        await send({"type": "http.response.body", "body": scope["path"].encode(), "more_body": True})
        with open(path, "rb") as file:
            await send({"type": "http.response.zerocopysend", "file": file, "more_body": True})
        await send({"type": "http.response.pathsend", "path": str(path)})

    with serve(app) as server:
        with socket.socket() as sock:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            sock.settimeout(30)
            sock.connect(("127.0.0.1", server.port))
            sock.sendall(b"GET /a HTTP/1.1\r\nhost: x\r\n\r\nGET /b HTTP/1.1\r\nhost: x\r\nconnection: close\r\n\r\n")
            got = recv_until_closed(sock)
    bodies = re.findall(rb"\r\n\r\n(.*?)0\r\n\r\n", got, re.S)
    assert len(bodies) == 2
    for name, chunked in zip((b"/a", b"/b"), bodies, strict=True):
        pieces, rest = [], chunked
        while rest:
            size, _, rest = rest.partition(b"\r\n")
            pieces.append(rest[: int(size, 16)])
            rest = rest[int(size, 16) + 2 :]
        assert pieces == [name, CONTENT * 4, CONTENT * 4]
