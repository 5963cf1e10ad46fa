"""Access lines in a format of the operator's and as JSON, through a served
app on raw sockets: every kind of atom, headers of the request and of what
the application sent (a file too), a WebSocket handshake, a proxied client; the JSON
line read back; the command's lines on stderr; formats refused at start."""

from __future__ import annotations

import datetime
import json
import logging
import os
import re
import socket
import textwrap
from pathlib import Path
from typing import Any

import pytest

from server_support import command, recv_until_closed, serve
from tessaryne.__main__ import configuration
from tessaryne.server.loading import UsageError

HEAD = b"Host: x\r\nConnection: close\r\n"
BROWSER = (
    b'Referer: http://ref/\r\nUser-Agent: agent/1 "q"\r\nAuthorization: Basic Ym9iOnB3\r\n'  # bob:pw
    b"X-Request-Id: r1\r\nx-request-id: r2\r\n"
)
WEBSOCKET = (
    b"Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
    b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
)


async def app(scope: dict[str, Any], receive: Any, send: Any) -> None:
    if scope["type"] == "websocket":
        await receive()
        await send({"type": "websocket.accept"})
        await send({"type": "websocket.close"})
        return
    if scope["path"] == "/bad":  # a header no response may carry: answered 500 instead
        await send({"type": "http.response.start", "status": 200, "headers": [(b"x-trace", b"a\r\nb")]})
    headers = [(b"Content-Type", b"text/plain"), (b"X-Trace", b"t1")]
    await send({"type": "http.response.start", "status": 201, "headers": headers})
    if scope["path"] == "/file":  # the body sent from a file: its head is logged alike
        await send({"type": "http.response.pathsend", "path": __file__})
        return
    await send({"type": "http.response.body", "body": b"hello"})


CASES = [
    # Each kind of atom; the time and the durations are matched below.
    (
        '%(h)s %(l)s %(u)s %(t)s "%(r)s" %(s)s %(b)s "%(f)s" "%(a)s" %(D)s %(L)s %(M)s %(T)s %(p)s',
        b"GET /a%20b?x=1 HTTP/1.1\r\n" + HEAD + BROWSER,
        r'127\.0\.0\.1 - bob \[\d\d/\w{3}/\d{4}:\d\d:\d\d:\d\d [+-]\d{4}\] "GET /a%20b\?x=1 HTTP/1\.1" 201 5 '
        r'"http://ref/" "agent/1 \\"q\\"" \d+ \d+\.\d{6} \d+ \d+ ' + re.escape(f"<{os.getpid()}>"),
    ),
    (
        "%(m)s|%(U)s|%(q)s|%(H)s|%(B)s|%({X-REQUEST-ID}i)s|%({x-trace}o)s|%({CONTENT-TYPE}o)s|%({none}i)s%%",
        b"POST /p?q=1 HTTP/1.0\r\nContent-Length: 0\r\n" + HEAD + BROWSER,
        re.escape("POST|/p|q=1|HTTP/1.0|5|r1, r2|t1|text/plain|-%"),
    ),
    # The server's 500 in place of a head that could not go out: its headers, not the app's.
    (
        "%(s)s %({x-trace}o)s %({content-type}o)s %(b)s",
        b"GET /bad HTTP/1.1\r\n" + HEAD,
        re.escape("500 - text/plain; charset=utf-8 21"),
    ),
    ("%(s)s %({x-trace}o)s %(B)s", b"GET /file HTTP/1.1\r\n" + HEAD, re.escape(f"201 t1 {os.path.getsize(__file__)}")),
    # A HEAD's answer sends no body, from bytes or from a file: none is counted.
    ("%(m)s %(s)s %(B)s", b"HEAD / HTTP/1.1\r\n" + HEAD, re.escape("HEAD 201 0")),
    ("%(m)s %(s)s %(B)s", b"HEAD /file HTTP/1.1\r\n" + HEAD, re.escape("HEAD 201 0")),
    (
        '"%(r)s" %(s)s %(b)s %({sec-websocket-accept}o)s',
        b"GET /ws HTTP/1.1\r\nHost: x\r\n" + WEBSOCKET,
        re.escape('"GET /ws HTTP/1.1" 101 - s3pPLMBiTxaQ9kYGzzhZRbK+xOo='),
    ),
    # A trusted proxy's client; a tab, bytes above 0x7E and a quote escaped.
    (
        "%(h)s %(a)s",
        b'GET / HTTP/1.1\r\nX-Forwarded-For: 203.0.113.7\r\nUser-Agent: a\tb\xc3\xa9"\r\n' + HEAD,
        re.escape(r"203.0.113.7 a\x09b\xc3\xa9\""),
    ),
]


@pytest.mark.parametrize(("format", "request_bytes", "line"), CASES)
def test_lines_in_a_format(caplog: pytest.LogCaptureFixture, format: str, request_bytes: bytes, line: str) -> None:
    caplog.set_level(logging.INFO, logger="tessaryne.access")
    with serve(app, access_log=True, access_log_format=format) as served, served.connect() as sock:
        sock.sendall(request_bytes + b"\r\n")
        recv_until_closed(sock)
    (record,) = [r for r in caplog.records if r.name == "tessaryne.access"]
    assert re.fullmatch(line, record.getMessage()), record.getMessage()


def test_json_lines_read_back(caplog: pytest.LogCaptureFixture) -> None:
    caplog.set_level(logging.INFO, logger="tessaryne.access")
    with serve(app, access_log=True, access_log_json=True) as served:
        for request in (b"GET /a%20b?x=1 HTTP/1.1\r\n" + HEAD + BROWSER,
                        b"GET /\xc3\xa9 HTTP/1.1\r\nUser-Agent: \"\\\t\r\n" + HEAD):  # fmt: skip
            with served.connect() as sock:
                sock.sendall(request + b"\r\n")
                recv_until_closed(sock)
    first, second = [json.loads(r.getMessage()) for r in caplog.records if r.name == "tessaryne.access"]
    began = datetime.datetime.fromisoformat(first.pop("time"))
    assert abs(datetime.datetime.now(datetime.UTC) - began) < datetime.timedelta(minutes=1)
    assert isinstance(first.pop("duration_us"), int)
    assert first == {"client": "127.0.0.1", "method": "GET", "path": "/a%20b", "query": "x=1", "protocol": "HTTP/1.1",
                     "status": 201, "bytes": 5, "referer": "http://ref/", "user_agent": 'agent/1 "q"'}  # fmt: skip
    # Bytes above 0x7F as their Latin-1 characters, so that the bytes come back.
    assert (second["path"].encode("latin-1"), second["user_agent"], second["referer"]) == (b"/\xc3\xa9", '"\\', None)


def test_the_command_writes_each_json_line_alone(tmp_path: Path) -> None:
    (tmp_path / "served.py").write_text(
        textwrap.dedent("""
        async def app(scope, receive, send):
            await send({"type": "http.response.start", "status": 200, "headers": []})
            await send({"type": "http.response.body", "body": b"ok"})
    """)
    )
    with command("served:app", "--threads", "2", "--lifespan", "off", "--access-log-json", cwd=tmp_path) as server:
        for path in ("/one", "/two"):
            with socket.create_connection(("127.0.0.1", server.port), timeout=30) as sock:
                sock.sendall(f"GET {path} HTTP/1.1\r\n".encode() + HEAD + b"\r\n")
                recv_until_closed(sock)
        log = server.stop()
    lines = [json.loads(line) for line in log.splitlines() if line.startswith("{")]
    assert [(line["path"], line["status"]) for line in lines] == [("/one", 200), ("/two", 200)]
    assert "INFO tessaryne listening" in log  # the server's own lines keep their time and level


@pytest.mark.parametrize(("arguments", "error"), [
    (["--access-log-format", '%(h)s "%(x)s"'], "access_log_format: unknown atom %(x)s; known atoms: h l u t r s m U q H"),
    (["--access-log-format", "%(h)d"], "access_log_format: %(h) must be followed by 's', as in %(h)s"),
    (["--access-log-format", "%({HOME}e)s"], "environment variables are not logged"),
    (["--access-log-format", "%(h)s", "--access-log-json"], "it cannot be combined with --access-log-format"),
])  # fmt: skip
def test_formats_refused_at_start(arguments: list[str], error: str) -> None:
    with pytest.raises(UsageError, match=re.escape(error)):
        configuration(["x:y", *arguments])
