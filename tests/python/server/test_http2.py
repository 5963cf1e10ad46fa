"""HTTP/2: real clients (curl, httpx) over cleartext and TLS, the scope beside
HTTP/1.1's, and a frame-level client (h2_client) for what they cannot send:
trailers, malformed requests, the documented attacks, the --http choices
and a graceful shutdown."""

from __future__ import annotations

import asyncio
import hashlib
import http.client
import json
import os
import socket
import ssl
import subprocess
import threading
import time
import urllib.parse
from collections.abc import AsyncIterator, Callable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

import hpack
import httpx
import pytest
from hyperframe.frame import (
    ContinuationFrame,
    DataFrame,
    HeadersFrame,
    PingFrame,
    RstStreamFrame,
    SettingsFrame,
    WindowUpdateFrame,
)
from hypothesis import given, settings
from hypothesis import strategies as st

from h2_client import CANCEL, PREFACE, PROTOCOL_ERROR, H2Client
from server_support import needs_openssl, self_signed_certificate, serving
from ws_client import encode_frame, inflate_frames

MIB = 1 << 20
PATTERN = bytes(range(256)) * 4096  # one MiB of a download
REFUSED_STREAM = 0x7


class App:
    """Every test's application, which records the paths it is called for; the
    path's first segment chooses the answer."""

    def __init__(self) -> None:
        self.paths: list[str] = []
        self.entered, self.release = threading.Event(), threading.Event()
        self.sent = 0  # bytes of downloads whose send has returned

    async def __call__(self, scope: dict[str, Any], receive: Any, send: Any) -> None:
        if scope["type"] == "websocket":  # reverses one text message, in a frame that says what the scope was
            assert (await receive())["type"] == "websocket.connect"
            await send({"type": "websocket.accept"})
            text = (await receive())["text"]
            await send({"type": "websocket.send", "text": f"{text[::-1]} {scope['http_version']} {scope['path']}"})
            await send({"type": "websocket.close", "code": 1000})
            return
        if scope["type"] != "http":
            return
        self.paths.append(scope["path"])
        body, message = b"", {"more_body": True}
        while message.get("more_body"):
            message = await receive()
            body += message.get("body", b"")
        route, _, rest = scope["path"][1:].partition("/")
        await send({"type": "http.response.start", "status": 200, "headers": [], "trailers": route == "trailers"})
        if route == "download":
            for _ in range(int(rest) // MIB):
                await send({"type": "http.response.body", "body": PATTERN, "more_body": True})
                self.sent += MIB
            answer = b""
        elif route == "trailers":
            answer = repr(sorted(scope["extensions"])).encode()
        elif route == "echo":
            answer = f"{len(body)} {hashlib.sha256(body).hexdigest()}".encode()
        elif route == "scope":
            answer = json.dumps(scope, default=lambda o: o.decode("latin-1") if isinstance(o, bytes) else repr(o))
            answer = answer.encode()
        elif route == "wait":
            self.entered.set()
            await asyncio.to_thread(self.release.wait, 30)
            answer = b"done"
        elif route == "sleep":
            await asyncio.sleep(2)
            answer = b"slept"
        else:
            answer = f"hello {scope['http_version']} {scope['client'][1]}".encode()
        await send({"type": "http.response.body", "body": answer})
        if route == "trailers":
            await send({"type": "http.response.trailers", "headers": [(b"x-a", b"1")], "more_trailers": True})
            await send({"type": "http.response.trailers", "headers": [(b"grpc-status", b"0")]})


@pytest.fixture
def app() -> App:
    return App()


@pytest.fixture(scope="module")
def certificate(tmp_path_factory: pytest.TempPathFactory) -> tuple[str, str]:
    return self_signed_certificate(tmp_path_factory.mktemp("tls"))


def settings_for(certificate: tuple[str, str], tls: bool, http: str = "auto") -> dict[str, str]:
    """The server's settings for TLS with `certificate` or cleartext, and --http (auto, the default, left unsaid)."""
    tls_files = {"ssl_certfile": certificate[0], "ssl_keyfile": certificate[1]} if tls else {}
    return tls_files | ({} if http == "auto" else {"http": http})


def answered(port: int) -> bool:
    """A fresh connection's request is answered within 10 s."""
    with H2Client(port) as client:
        client.sock.settimeout(10)
        stream = client.response(client.request("/"))
    return stream.status == 200 and stream.body.startswith(b"hello 2 ")


@needs_openssl
@pytest.mark.parametrize("http, tls, flag, status_line", [
    ("auto", False, "--http2-prior-knowledge", "HTTP/2 200"),
    ("auto", False, "--http1.1", "HTTP/1.1 200"),
    ("auto", True, "--http2", "HTTP/2 200"),  # ALPN chooses h2
    ("auto", True, "--http1.1", "HTTP/1.1 200"),
    ("1", True, "--http2", "HTTP/1.1 200"),  # h2 is not offered
    ("2", False, "--http2-prior-knowledge", "HTTP/2 200"),
])  # fmt: skip
def test_curl(app: App, certificate: tuple[str, str], http: str, tls: bool, flag: str, status_line: str) -> None:
    upload = os.urandom(300_000)  # beyond the initial flow-control window
    with serving(app, threads=1, **settings_for(certificate, tls, http)) as server:
        url = f"http{'s' if tls else ''}://127.0.0.1:{server.port}/echo"
        curl = ["curl", "-sS", "-i", flag, "--cacert", certificate[0], "-H", "Expect:", "--data-binary", "@-", url]
        output = subprocess.run(curl, input=upload, capture_output=True, check=True, timeout=60).stdout
    head, _, body = output.partition(b"\r\n\r\n")
    assert head.split(b"\r\n")[0].decode().split()[:2] == status_line.split()
    assert body.decode() == f"{len(upload)} {hashlib.sha256(upload).hexdigest()}"


@contextmanager
def h2_server(
    app: App, tls: bool, certificate: tuple[str, str], loop: str = "asyncio"
) -> Iterator[tuple[int, str, ssl.SSLContext]]:
    """A server's port, its base URL and what httpx verifies it with."""
    with serving(app, threads=1, loop=loop, **settings_for(certificate, tls)) as server:
        base = f"http{'s' if tls else ''}://127.0.0.1:{server.port}"
        yield server.port, base, ssl.create_default_context(cafile=certificate[0])


async def on_one_connection(base: str, verify: ssl.SSLContext, send: Callable[[httpx.AsyncClient], Any]) -> Any:
    # http1=False: prior knowledge in cleartext, h2 alone offered over TLS.
    limits = httpx.Limits(max_connections=1)
    async with httpx.AsyncClient(http1=False, http2=True, verify=verify, limits=limits, timeout=30) as client:
        return await send(client)


@needs_openssl
@pytest.mark.parametrize("tls", [False, True])
def test_httpx_300_concurrent_requests_share_one_connection(
    app: App, certificate: tuple[str, str], tls: bool, event_loop_kind: str
) -> None:
    with h2_server(app, tls, certificate, event_loop_kind) as (_, base, verify):

        async def send(client: httpx.AsyncClient) -> list[httpx.Response]:
            return list(await asyncio.gather(*(client.get(f"{base}/n/{i}") for i in range(300))))

        responses = asyncio.run(on_one_connection(base, verify, send))
    assert [(r.status_code, r.http_version) for r in responses] == [(200, "HTTP/2")] * 300
    ports = {r.text.split()[2] for r in responses}
    assert [r.text.split()[:2] for r in responses] == [["hello", "2"]] * 300 and len(ports) == 1
    assert sorted(app.paths) == sorted(f"/n/{i}" for i in range(300))


@needs_openssl
def test_flow_control_carries_big_bodies_and_a_stalled_reader_pauses_the_app(
    app: App, certificate: tuple[str, str]
) -> None:
    upload = os.urandom(8 * MIB)
    with h2_server(app, False, certificate) as (port, base, verify):

        async def send(client: httpx.AsyncClient) -> tuple[httpx.Response, httpx.Response]:
            up = await client.post(f"{base}/echo", content=upload)
            return up, await client.get(f"{base}/download/{16 * MIB}")

        up, down = asyncio.run(on_one_connection(base, verify, send))
        assert up.text == f"{len(upload)} {hashlib.sha256(upload).hexdigest()}"
        assert (down.status_code, len(down.content), down.content == PATTERN * 16) == (200, 16 * MIB, True)
        # A client that gives no window back: the app's sends wait instead of filling the server.
        app.sent = 0
        with H2Client(port) as client:
            client.give_back = False
            stream_id = client.request(f"/download/{16 * MIB}")
            stream = client.streams[stream_id]
            client.read(lambda: len(stream.body) >= 65535)
            time.sleep(1)
            assert app.sent <= 4 * MIB
            client.give_back = True
            client.send(WindowUpdateFrame(0, len(stream.body)), WindowUpdateFrame(stream_id, len(stream.body)))
            stream = client.response(stream_id)
        assert (stream.ended, len(stream.body), bytes(stream.body) == PATTERN * 16) == (True, 16 * MIB, True)


TOKEN = st.from_regex(r"x-[a-z0-9-]{1,12}", fullmatch=True)
VALUE = st.from_regex(r"([!-~]([ !-~]{0,30}[!-~])?)?", fullmatch=True)
SEGMENT = st.text(max_size=8).map(lambda s: urllib.parse.quote(s, safe="!$&'()*+,;=:@"))
QUERY = st.text(max_size=16).map(lambda s: urllib.parse.quote(s, safe="=&/?"))


@pytest.mark.parametrize("announced", [True, False], ids=["content-length", "streamed"])
def test_a_body_over_the_limit_is_answered_413(app: App, announced: bool) -> None:
    body = os.urandom(300_000)

    async def pieces() -> AsyncIterator[bytes]:
        for start in range(0, len(body), 16384):
            yield body[start : start + 16384]

    with serving(app, threads=1, max_body_size=100_000) as server:
        base = f"http://127.0.0.1:{server.port}"

        async def send(client: httpx.AsyncClient) -> httpx.Response:
            return await client.post(f"{base}/echo", content=body if announced else pieces())

        response = asyncio.run(on_one_connection(base, ssl.create_default_context(), send))
    assert (response.status_code, response.text) == (413, "Payload Too Large")


def test_the_scope_over_http2_is_the_scope_over_http11_but_for_the_version(app: App) -> None:
    with serving(app, threads=1) as server, H2Client(server.port) as h2:
        h1 = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
        authority = f"127.0.0.1:{server.port}"

        @settings(max_examples=40)
        @given(
            method=st.sampled_from(["GET", "POST", "PUT", "DELETE", "PATCH", "OPTIONS"]),
            segments=st.lists(SEGMENT, max_size=4),
            query=st.none() | QUERY,
            headers=st.lists(st.tuples(TOKEN, VALUE), max_size=5),
        )
        def same_scope(method: str, segments: list[str], query: str | None, headers: list[tuple[str, str]]) -> None:
            target = "/scope/" + "/".join(segments) + ("" if query is None else "?" + query)
            h1.putrequest(method, target, skip_host=True, skip_accept_encoding=True)
            h1.putheader("host", authority)
            for name, value in headers:
                h1.putheader(name, value)
            h1.endheaders()
            over_h1 = json.loads(h1.getresponse().read())
            over_h2 = json.loads(h2.response(h2.request(target, method=method, headers=headers)).body)
            assert (over_h1["http_version"], over_h2["http_version"]) == ("1.1", "2")
            assert over_h2["method"] == method and over_h2["scheme"] == "http"
            assert over_h2["path"] == urllib.parse.unquote(target.partition("?")[0])
            assert (over_h2["raw_path"], over_h2["query_string"]) == (target.partition("?")[0], query or "")
            # :authority is the host header; the others keep their order.
            for scope in (over_h1, over_h2):
                assert [v for n, v in scope["headers"] if n == "host"] == [authority]
                assert [[n, v] for n, v in scope["headers"] if n != "host"] == [list(h) for h in headers]
            apart = {"http_version", "client", "extensions", "state", "headers"}
            assert {k: v for k, v in over_h1.items() if k not in apart} == {
                k: v for k, v in over_h2.items() if k not in apart
            }

        same_scope()
        h1.close()


def test_trailers_close_the_stream_as_headers(app: App) -> None:
    with serving(app, threads=1) as server, H2Client(server.port) as client:
        stream_id = client.request("/trailers", headers=[("te", "trailers")])
        stream = client.response(stream_id)
        frames = [f for f in client.received if f.stream_id == stream_id]
    assert stream.status == 200 and b"'http.response.trailers'" in stream.body
    assert stream.trailers == [(b"x-a", b"1"), (b"grpc-status", b"0")]
    assert isinstance(frames[-1], HeadersFrame) and "END_STREAM" in frames[-1].flags
    assert not any("END_STREAM" in f.flags for f in frames[:-1])


def websocket_connect(port: int) -> list[tuple[str, str]]:
    """The extended CONNECT that opens a WebSocket session on a stream."""
    return [(":method", "CONNECT"), (":protocol", "websocket"), (":scheme", "http"), (":path", "/ws"),
            (":authority", f"127.0.0.1:{port}"), ("sec-websocket-version", "13")]  # fmt: skip


@pytest.mark.parametrize("offer", [[], [("sec-websocket-extensions", "permessage-deflate")]], ids=["plain", "deflate"])
def test_a_websocket_session_over_extended_connect(app: App, offer: list[tuple[str, str]]) -> None:
    with serving(app, threads=1) as server, H2Client(server.port) as client:
        client.read(lambda: any(isinstance(f, SettingsFrame) and "ACK" not in f.flags for f in client.received))
        advertised = next(f for f in client.received if isinstance(f, SettingsFrame)).settings
        stream_id = client.request(fields=[*websocket_connect(server.port), *offer], end=False)
        stream = client.streams[stream_id]
        client.read(lambda: stream.headers is not None or stream.reset is not None)
        client.send(DataFrame(stream_id, encode_frame(0x1, b"hello")))
        client.read(lambda: any(opcode == 0x8 for opcode, _ in inflate_frames(bytes(stream.body))))
        client.send(DataFrame(stream_id, encode_frame(0x8, b"\x03\xe8"), flags=["END_STREAM"]))
        stream = client.response(stream_id)
    assert advertised.get(SettingsFrame.ENABLE_CONNECT_PROTOCOL) == 1
    head = dict(stream.headers or [])
    assert head[b":status"] == b"200" and b"sec-websocket-accept" not in head
    assert (b"permessage-deflate" in head.get(b"sec-websocket-extensions", b"")) == bool(offer)
    assert inflate_frames(bytes(stream.body)) == [(0x1, b"olleh 2 /ws"), (0x8, b"\x03\xe8")]
    assert stream.ended and stream.reset is None


REQUEST = [(":method", "GET"), (":scheme", "http"), (":authority", "localhost"), (":path", "/")]


def without(name: str) -> list[tuple[str, str]]:
    return [field for field in REQUEST if field[0] != name]


@pytest.mark.parametrize("fields", [
    pytest.param(without(":path"), id="no :path"),
    pytest.param(without(":method"), id="no :method"),
    pytest.param(without(":scheme"), id="no :scheme"),
    pytest.param([*REQUEST[:3], (":path", "")], id="empty :path"),
    pytest.param([*REQUEST[:3], (":path", "localhost:80")], id=":path in no origin form"),
    pytest.param([*REQUEST[:3], (":path", "*")], id=":path * without OPTIONS"),
    pytest.param([*REQUEST, (":path", "/again")], id="two :path"),
    pytest.param([*REQUEST, (":protocol", "websocket")], id=":protocol without CONNECT"),
    pytest.param([*REQUEST, (":unknown", "x")], id="unknown pseudo-header"),
    pytest.param([("x-before", "1"), *REQUEST], id="pseudo-headers after a field"),
    pytest.param([*REQUEST, ("X-Upper", "1")], id="uppercase name"),
    pytest.param([*REQUEST, ("connection", "keep-alive")], id="connection"),
    pytest.param([*REQUEST, ("keep-alive", "timeout=5")], id="keep-alive"),
    pytest.param([*REQUEST, ("proxy-connection", "keep-alive")], id="proxy-connection"),
    pytest.param([*REQUEST, ("transfer-encoding", "chunked")], id="transfer-encoding"),
    pytest.param([*REQUEST, ("upgrade", "websocket")], id="upgrade"),
    pytest.param([*REQUEST, ("te", "gzip")], id="te other than trailers"),
    pytest.param([*REQUEST, ("x-bad", "a\r\nb")], id="CR LF in a value"),
])  # fmt: skip
def test_a_malformed_request_is_refused_without_the_app(app: App, fields: list[tuple[str, str]]) -> None:
    with serving(app, threads=1) as server, H2Client(server.port) as client:
        refused = client.response(client.request(fields=fields))
        # The connection may have ended too; if not, it still serves.
        after = None if client.goaways or client.closed else client.response(client.request("/"))
    # A stream or connection error; a server may answer 400 first.
    codes = {refused.reset} | {g.error_code for g in client.goaways}
    assert PROTOCOL_ERROR in codes or refused.status == 400, (refused, client.goaways)
    assert app.paths == ([] if after is None else ["/"])
    assert after is None or after.status == 200


def test_a_valid_request_of_the_same_shape_is_served(app: App) -> None:
    with serving(app, threads=1) as server, H2Client(server.port) as client:
        stream = client.response(client.request(fields=[*REQUEST, ("te", "trailers"), ("x-lower", "1")]))
    assert stream.status == 200 and app.paths == ["/"]


def rapid_reset(client: H2Client) -> Iterator[bytes]:
    """CVE-2023-44487: 50,000 requests, each cancelled as soon as it is sent."""
    block = client.block(client.request_fields("/sleep"))
    for _ in range(50):
        frames = []
        for stream_id in (client.new_stream() for _ in range(1000)):
            frames += [
                HeadersFrame(stream_id, block, flags=["END_HEADERS", "END_STREAM"]),
                RstStreamFrame(stream_id, CANCEL),
            ]
        yield b"".join(f.serialize() for f in frames)


def continuation_flood(client: H2Client) -> Iterator[bytes]:
    """CVE-2024-27316: a header block that never ends, 64 MiB of CONTINUATION frames."""
    yield HeadersFrame(1, client.block(client.request_fields())).serialize()  # no END_HEADERS
    fields = [hpack.NeverIndexedHeaderTuple(f"x-flood-{i}", "a" * 1000) for i in range(15)]
    frame = ContinuationFrame(1, bytes(hpack.Encoder().encode(fields, huffman=False))).serialize()  # 15 KB
    for _ in range(64):
        yield frame * 64


def hpack_bomb(client: H2Client) -> Iterator[bytes]:
    """A 4 KB header indexed once, then referred to 12,000 times a block (48 MB decoded), on 200 streams."""
    fields = [*REQUEST[:2], (":path", "/"), hpack.NeverIndexedHeaderTuple(":authority", "x"), ("x-bomb", "a" * 4000)]
    block = bytes(hpack.Encoder().encode(fields, huffman=False)) + b"\xbe" * 12000  # 0xbe: dynamic entry 62
    for _ in range(200):
        yield HeadersFrame(client.new_stream(), block, flags=["END_HEADERS", "END_STREAM"]).serialize()


def repeated(frame: Any) -> Callable[[H2Client], Iterator[bytes]]:
    """A million of one frame that asks the server for an acknowledgement, never read."""
    return lambda client: iter([frame.serialize() * 1000] * 1000)


@contextmanager
def peak_memory_growth() -> Iterator[list[int]]:
    """This process's largest resident size during the block over its size before, sampled every 10 ms, in bytes."""

    def rss() -> int:
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmRSS:"))

    before, peak, done = rss(), [0], threading.Event()

    def sample() -> None:
        while not done.wait(0.01):
            peak[0] = max(peak[0], rss() - before)

    sampler = threading.Thread(target=sample)
    sampler.start()
    try:
        yield peak
    finally:
        done.set()
        sampler.join()


@pytest.mark.skipif(not Path("/proc/self/status").exists(), reason="reads the resident size in /proc")
@pytest.mark.parametrize("attack, must_end", [
    pytest.param(rapid_reset, False, id="rapid reset"),
    pytest.param(continuation_flood, True, id="CONTINUATION flood"),
    pytest.param(hpack_bomb, False, id="HPACK bomb"),
    pytest.param(repeated(SettingsFrame(0, {0x2: 0})), False, id="SETTINGS flood"),
    pytest.param(repeated(PingFrame(0, b"12345678")), False, id="PING flood"),
])  # fmt: skip
def test_an_attack_is_bounded_and_the_server_keeps_serving(
    app: App, attack: Callable[[H2Client], Iterator[bytes]], must_end: bool
) -> None:
    with serving(app, threads=1) as server:
        assert answered(server.port)  # warmed up before measuring
        with peak_memory_growth() as growth, H2Client(server.port) as client:
            outcome = "sent"
            for chunk in attack(client):
                if (outcome := client.flood(chunk, 1)) != "sent":
                    break
            if must_end and outcome != "closed":
                client.read(lambda: bool(client.goaways))
            assert answered(server.port)
        assert growth[0] < 48 * MIB, f"grew {growth[0] / MIB:.0f} MiB ({outcome})"
        if must_end:
            assert outcome == "closed" or client.goaways, outcome


def test_max_concurrent_streams_is_advertised_and_kept(app: App) -> None:
    with serving(app, threads=1, h2_max_concurrent_streams=3) as server, H2Client(server.port) as client:
        # The limit binds once the client has acknowledged the server's SETTINGS.
        client.read(lambda: any(isinstance(f, SettingsFrame) for f in client.received))
        waiting = [client.request("/wait") for _ in range(3)]
        extra = client.request("/wait")
        refused = client.response(extra)
        app.release.set()
        answers = [client.response(stream_id) for stream_id in waiting]
        advertised = next(f for f in client.received if isinstance(f, SettingsFrame) and "ACK" not in f.flags)
    assert advertised.settings.get(SettingsFrame.MAX_CONCURRENT_STREAMS) == 3
    assert refused.status is None and app.paths.count("/wait") <= 3
    if refused.reset is not None:  # the stream error RFC 9113 asks for; the others go on
        assert refused.reset in (PROTOCOL_ERROR, REFUSED_STREAM) and [a.body for a in answers] == [b"done"] * 3
    else:  # or nghttp2's connection error, which ends them too
        assert [(g.error_code, g.last_stream_id < extra) for g in client.goaways] == [(PROTOCOL_ERROR, True)]


def first_bytes(port: int, data: bytes) -> bytes:
    """What the server writes for `data` until it closes, or stops for 2 s."""
    with socket.create_connection(("127.0.0.1", port), timeout=2) as sock:
        sock.sendall(data)
        received = b""
        try:
            while chunk := sock.recv(65536):
                received += chunk
        except TimeoutError, ConnectionResetError:
            pass
    return received


@pytest.mark.parametrize("http, data", [
    pytest.param("1", PREFACE + SettingsFrame(0).serialize(), id="--http 1 and the HTTP/2 preface"),
    pytest.param("2", b"GET / HTTP/1.1\r\nhost: localhost\r\n\r\n", id="--http 2 and an HTTP/1.1 request"),
])  # fmt: skip
def test_one_version_alone_does_not_serve_the_other(app: App, http: str, data: bytes) -> None:
    with serving(app, threads=1, http=http) as server:
        answer = first_bytes(server.port, data)
    if http == "1":
        # Read as HTTP/1.1: refused as such, or closed; never HTTP/2's SETTINGS.
        assert answer == b"" or answer.split(b" ", 2)[:2] in ([b"HTTP/1.1", b"400"], [b"HTTP/1.1", b"505"]), answer
    else:
        assert not answer.startswith(b"HTTP/1"), answer
    assert app.paths == []


def test_graceful_shutdown_finishes_the_open_stream_and_says_going_away_to_a_session(app: App) -> None:
    with serving(app, threads=1) as server, H2Client(server.port) as client:
        stream_id = client.request("/wait")
        assert app.entered.wait(10)
        session_id = client.request(fields=websocket_connect(server.port), end=False)
        session = client.streams[session_id]
        client.read(lambda: session.headers is not None or session.reset is not None)
        began = time.monotonic()
        stopping = threading.Thread(target=server.stop)
        stopping.start()
        client.read(lambda: bool(client.goaways) and any(op == 0x8 for op, _ in inflate_frames(bytes(session.body))))
        client.send(DataFrame(session_id, encode_frame(0x8, b"\x03\xe9"), flags=["END_STREAM"]))  # the reply
        app.release.set()
        stream = client.response(stream_id)
        stopping.join(60)
        took = time.monotonic() - began
        client.read(lambda: False)  # until the server closes the connection
    assert [g.error_code for g in client.goaways][-1:] == [0] and client.goaways[-1].last_stream_id >= session_id
    assert (stream.status, bytes(stream.body), stream.ended, client.closed) == (200, b"done", True, True)
    assert inflate_frames(bytes(session.body)) == [(0x8, b"\x03\xe9")] and session.ended  # 1001: going away
    assert took < 5  # not the shutdown timeout
