"""Directories served natively under routes (--static-path-mount), byte for
byte on raw sockets: the answers HTTP's rules give (conditional requests,
ranges, HEAD, precompressed siblings, 404, 405), targets that try to reach a
file outside the mount, keep-alive and the access log beside the
application's requests, and the settings refused at start."""

from __future__ import annotations

import email.utils
import logging
import os
import re
import socket
from pathlib import Path
from typing import Any

import pytest

from server_support import recv_until_closed, serve
from tessaryne.__main__ import configuration
from tessaryne.server.config import Config
from tessaryne.server.loading import UsageError

SECRET = b"TOP SECRET, never served"
CSS = b"body { color: red }\n"
DATA = bytes(range(256))


@pytest.fixture
def tree(tmp_path: Path) -> Path:
    """public/ is the mount; the secret lies beside it, and links lead to it."""
    public = tmp_path / "public"
    (public / "sub").mkdir(parents=True)
    (public / "dir").mkdir()
    (tmp_path / "secret").write_bytes(SECRET)
    (public / "site.css").write_bytes(CSS)
    (public / "site.css.gz").write_bytes(b"GZIP")
    (public / "site.css.br").write_bytes(b"BROTLI")
    (public / "sub" / "data.bin").write_bytes(DATA)
    (public / "out").symlink_to("../secret")
    (public / "absolute").symlink_to(tmp_path / "secret")
    (public / "up").symlink_to("..")
    (public / "sub" / "inside").symlink_to("../site.css")
    return tmp_path


def validators(path: Path) -> dict[str, str]:
    """The ETag and Last-Modified of a file, as the server must derive them."""
    status = os.stat(path)
    return {"etag": f'"{status.st_size:X}-{status.st_mtime_ns:X}"',
            "modified": email.utils.formatdate(status.st_mtime_ns // 10**9, usegmt=True)}  # fmt: skip


def answer(port: int, request: bytes) -> bytes:
    with socket.create_connection(("127.0.0.1", port), timeout=30) as sock:
        sock.sendall(request)
        return re.sub(rb"date: [^\r]*\r\n", b"", recv_until_closed(sock))


async def app(scope: dict[str, Any], receive: Any, send: Any) -> None:
    await send({"type": "http.response.start", "status": 200, "headers": [(b"content-type", b"text/plain")]})
    await send({"type": "http.response.body", "body": b"app " + scope["path"].encode()})


HEAD = "HTTP/1.1 {status}\r\nserver: tessaryne\r\n"
CLOSE = "connection: close\r\n\r\n"
CSS_FIELDS = (
    "content-type: text/css; charset=utf-8\r\netag: {etag}\r\nlast-modified: {modified}\r\naccept-ranges: bytes\r\n"
)

# (request line and fields, the file whose validators the answer carries, the head after its date line, the body)
ANSWERS = [
    ("GET /static/site.css HTTP/1.1", "site.css",
     HEAD.format(status="200 OK") + CSS_FIELDS + "content-length: 20\r\n" + CLOSE, CSS),
    ("HEAD /static/site.css?v=2 HTTP/1.1", "site.css",
     HEAD.format(status="200 OK") + CSS_FIELDS + "content-length: 20\r\n" + CLOSE, b""),
    ("GET /static/site.css HTTP/1.1\r\nIf-None-Match: \"other\", W/{etag}", "site.css",
     HEAD.format(status="304 Not Modified") + "etag: {etag}\r\nlast-modified: {modified}\r\n" + CLOSE, b""),
    ("GET /static/site.css HTTP/1.1\r\nIf-Modified-Since: {modified}", "site.css",
     HEAD.format(status="304 Not Modified") + "etag: {etag}\r\nlast-modified: {modified}\r\n" + CLOSE, b""),
    ("GET /static/site.css HTTP/1.1\r\nIf-None-Match: \"other\"\r\nIf-Modified-Since: {modified}", "site.css",
     HEAD.format(status="200 OK") + CSS_FIELDS + "content-length: 20\r\n" + CLOSE, CSS),
    ("GET /static/sub/data.bin HTTP/1.1\r\nRange: bytes=10-19", "sub/data.bin",
     HEAD.format(status="206 Partial Content") + "content-type: application/octet-stream\r\netag: {etag}\r\n"
     "last-modified: {modified}\r\naccept-ranges: bytes\r\ncontent-range: bytes 10-19/256\r\n"
     "content-length: 10\r\n" + CLOSE, DATA[10:20]),
    ("GET /static/sub/data.bin HTTP/1.1\r\nRange: bytes=0-1,5-6", "sub/data.bin",
     HEAD.format(status="200 OK") + "content-type: application/octet-stream\r\netag: {etag}\r\n"
     "last-modified: {modified}\r\naccept-ranges: bytes\r\ncontent-length: 256\r\n" + CLOSE, DATA),
    ("GET /static/sub/data.bin HTTP/1.1\r\nRange: bytes=256-", "sub/data.bin",
     HEAD.format(status="416 Range Not Satisfiable") + "content-range: bytes */256\r\ncontent-length: 0\r\n" + CLOSE, b""),
    ("GET /static/site.css HTTP/1.1\r\nAccept-Encoding: gzip, deflate, br", "site.css.br",
     HEAD.format(status="200 OK") + "content-type: text/css; charset=utf-8\r\ncontent-encoding: br\r\n"
     "vary: accept-encoding\r\netag: {etag}\r\nlast-modified: {modified}\r\naccept-ranges: bytes\r\n"
     "content-length: 6\r\n" + CLOSE, b"BROTLI"),
    ("GET /static/site.css HTTP/1.1\r\nAccept-Encoding: br;q=0, gzip;q=0.5", "site.css.gz",
     HEAD.format(status="200 OK") + "content-type: text/css; charset=utf-8\r\ncontent-encoding: gzip\r\n"
     "vary: accept-encoding\r\netag: {etag}\r\nlast-modified: {modified}\r\naccept-ranges: bytes\r\n"
     "content-length: 4\r\n" + CLOSE, b"GZIP"),
    ("GET /static/site.css HTTP/1.1\r\nAccept-Encoding: identity", "site.css",
     HEAD.format(status="200 OK") + "content-type: text/css; charset=utf-8\r\nvary: accept-encoding\r\n"
     "etag: {etag}\r\nlast-modified: {modified}\r\naccept-ranges: bytes\r\ncontent-length: 20\r\n" + CLOSE, CSS),
    ("GET /static/sub/inside HTTP/1.1", "site.css",
     HEAD.format(status="200 OK") + "content-type: application/octet-stream\r\netag: {etag}\r\n"
     "last-modified: {modified}\r\naccept-ranges: bytes\r\ncontent-length: 20\r\n" + CLOSE, CSS),
    ("POST /static/site.css HTTP/1.1\r\nContent-Length: 2\r\n\r\nhi", None,
     HEAD.format(status="405 Method Not Allowed") + "content-type: text/plain; charset=utf-8\r\n"
     "allow: GET, HEAD\r\ncontent-length: 18\r\n" + CLOSE, b"Method Not Allowed"),
    ("GET /static/dir HTTP/1.1", None,
     HEAD.format(status="404 Not Found") + "content-type: text/plain; charset=utf-8\r\ncontent-length: 9\r\n"
     + CLOSE, b"Not Found"),
]  # fmt: skip


@pytest.mark.parametrize(("request_text", "validated", "head", "body"), ANSWERS)
def test_answers(tree: Path, request_text: str, validated: str | None, head: str, body: bytes) -> None:
    values = validators(tree / "public" / validated) if validated else {}
    request_head, _, request_body = request_text.format(**values).partition("\r\n\r\n")
    request = (request_head + "\r\nHost: x\r\nConnection: close\r\n\r\n" + request_body).encode()
    with serve(app, static_path_mount=(str(tree / "public"),)) as served:
        assert answer(served.port, request) == head.format(**values).encode() + body


# (target, the status it gets): none reaches the secret beside the mount.
HOSTILE = [
    ("/static/../secret", b"404"),
    ("/static/%2e%2e/secret", b"404"),
    ("/static/%2E%2E/secret", b"404"),
    ("/static/..%2fsecret", b"404"),
    ("/static/%2e%2e%2fsecret", b"404"),
    ("/static/%2e%2e%5csecret", b"404"),
    ("/static/..\\secret", b"404"),
    ("/static/a%00b", b"404"),
    ("/static/%00../secret", b"404"),
    ("/static/out", b"404"),
    ("/static/absolute", b"404"),
    ("/static/up/secret", b"404"),
    ("/static/sub/../../secret", b"404"),
    ("/static//../secret", b"404"),
    ("/static/%252e%252e/secret", b"404"),
    ("/static/./../secret", b"404"),
    ("/static/", b"404"),
    ("http://x/static/../secret", b"404"),
    ("https://x/static/%2e%2e/secret", b"404"),
    ("//static/../secret", b"200"),  # not under the route: the application's
    ("/static%2f../secret", b"404"),  # decoded once: "/static/../secret"
]


@pytest.mark.parametrize(("target", "status"), HOSTILE)
def test_nothing_outside_the_mount(tree: Path, target: str, status: bytes) -> None:
    with serve(app, static_path_mount=(str(tree / "public"),)) as served:
        response = answer(served.port, f"GET {target} HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n".encode())
    assert SECRET not in response
    assert response.startswith(b"HTTP/1.1 " + status), response


def test_keep_alive_beside_the_app(tree: Path, caplog: pytest.LogCaptureFixture) -> None:
    """Two static requests and one of the app's, pipelined on one connection:
    answered in order, each logged and with the added header; the app sees
    its own only."""
    caplog.set_level(logging.INFO, logger="tessaryne.access")
    seen: list[str] = []

    async def recording(scope: dict[str, Any], receive: Any, send: Any) -> None:
        seen.append(scope["path"])
        await app(scope, receive, send)

    settings = {"static_path_mount": (str(tree / "public"), str(tree / "public" / "sub")),
                "static_path_route": ("/assets/",), "headers": (("x-extra", "1"),), "access_log": True}  # fmt: skip
    with serve(recording, **settings) as served:
        response = answer(
            served.port,
            b"GET /assets/site.css HTTP/1.1\r\nHost: x\r\n\r\n"
            b"GET /other HTTP/1.1\r\nHost: x\r\n\r\n"
            b"HEAD /static/data.bin HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
        )
    heads = re.findall(rb"HTTP/1\.1 (\d+) [^\r]*\r\n(?:[^\r]+\r\n)*?x-extra: 1\r\n(?:[^\r]+\r\n)*\r\n", response)
    assert heads == [b"200", b"200", b"200"], response
    assert CSS + b"HTTP/1.1 200 OK" in response and b"app /other" in response
    assert response.endswith(b"content-length: 256\r\nconnection: close\r\n\r\n")
    assert seen == ["/other"]
    lines = [re.sub(r"^\S+ ", "", r.getMessage()) for r in caplog.records if r.name == "tessaryne.access"]
    assert lines[:2] == ['"GET /assets/site.css HTTP/1.1" 200 20', '"GET /other HTTP/1.1" 200 10']
    assert lines[2].startswith('"HEAD /static/data.bin HTTP/1.1" 200 ') and len(lines) == 3


def test_mounts_from_the_command_line(tmp_path: Path) -> None:
    first, second = tmp_path / "a", tmp_path / "b"
    first.mkdir()
    second.mkdir()
    config = configuration(["x:y", "--static-path-mount", str(first), "--static-path-mount", str(second),
                            "--static-path-route", "/files"])  # fmt: skip
    assert config.static_mounts == (("/files", str(first)), ("/static", str(second)))


@pytest.mark.parametrize(("settings", "error"), [
    ({"static_path_mount": ("{tmp}/missing",)}, "--static-path-mount '{tmp}/missing' is not a directory"),
    ({"static_path_mount": ("{tmp}/file",)}, "--static-path-mount '{tmp}/file' is not a directory"),
    ({"static_path_mount": ("{tmp}",), "static_path_route": ("files",)}, "--static-path-route 'files' must start with /"),
    ({"static_path_route": ("/files",)}, "more --static-path-route (1) than --static-path-mount (0)"),
    ({"static_path_mount": "{tmp}"}, "static_path_mount must be a tuple of str"),
    ({"static_path_mount": ("{tmp}", "{tmp}"), "static_path_route": ("/", "//")},
     "--static-path-route '/' is given to two mounts"),
    ({"static_path_mount": ("{tmp}", "{tmp}"), "static_path_route": ("/a/", "/a")},
     "--static-path-route '/a' is given to two mounts"),
    ({"static_path_mount": ("{tmp}", "{tmp}")}, "--static-path-route '/static' is given to two mounts"),
])  # fmt: skip
def test_mounts_refused_at_start(tmp_path: Path, settings: dict[str, Any], error: str) -> None:
    (tmp_path / "file").write_text("")
    given: dict[str, Any] = {
        name: values.format(tmp=tmp_path) if isinstance(values, str) else tuple(v.format(tmp=tmp_path) for v in values)
        for name, values in settings.items()
    }
    with pytest.raises(UsageError, match=f"^{re.escape(error.format(tmp=tmp_path))}"):
        Config(app=app, **given)
