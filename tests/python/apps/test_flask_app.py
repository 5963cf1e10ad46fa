"""A Flask application served through WSGI: JSON both ways, a multipart
upload of a file, a generator response that reaches the client piece by
piece, and send_file of a file on disk, whole and as a range; the requests
over HTTP/1.1 and over HTTP/2."""

from __future__ import annotations

import hashlib
import http.client
import json
import random
import threading
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import flask
import httpx
import pytest

from server_support import serve

FILE = random.Random(27).randbytes(3 * 1024 * 1024 + 5)
BOUNDARY = "tessaryne-form-boundary"
FORM = b"".join([
    f'--{BOUNDARY}\r\nContent-Disposition: form-data; name="note"\r\n\r\nthe data\r\n'.encode(),
    f'--{BOUNDARY}\r\nContent-Disposition: form-data; name="upload"; filename="data.bin"\r\n'.encode(),
    b"Content-Type: application/octet-stream\r\n\r\n", FILE, f"\r\n--{BOUNDARY}--\r\n".encode(),
])  # fmt: skip
UPLOADED = {"note": "the data", "name": "data.bin", "size": len(FILE), "sha256": hashlib.sha256(FILE).hexdigest()}
MULTIPART = {"Content-Type": f"multipart/form-data; boundary={BOUNDARY}"}
# The generator waits for the client to have read its first piece.
first_read = threading.Event()


def make_app(directory: Path) -> flask.Flask:
    (directory / "data.bin").write_bytes(FILE)
    app = flask.Flask(__name__)

    @app.post("/sum")
    def total() -> dict[str, Any]:
        numbers = flask.request.get_json()["numbers"]
        return {"sum": sum(numbers), "query": flask.request.args["q"]}

    @app.post("/upload")
    def upload() -> dict[str, Any]:
        content = flask.request.files["upload"].read()
        name = flask.request.files["upload"].filename
        return {"note": flask.request.form["note"], "name": name, "size": len(content), "sha256": hashlib.sha256(content).hexdigest()}  # fmt: skip

    @app.get("/stream")
    def stream() -> flask.Response:
        def pieces() -> Iterator[str]:
            yield f"first from {flask.request.path}\n"
            yield "then\n" if first_read.wait(10) else "only once it all was made\n"

        return flask.Response(flask.stream_with_context(pieces()), mimetype="text/plain")

    @app.get("/file")
    def file() -> flask.Response:
        return flask.send_file(directory / "data.bin")

    return app


@pytest.fixture(scope="module")
def port(tmp_path_factory: pytest.TempPathFactory) -> Iterator[int]:
    with serve(make_app(tmp_path_factory.mktemp("flask")), interface="wsgi") as server:
        yield server.port


def pieces(body: bytes) -> Iterator[bytes]:
    """A body sent chunked: http.client frames an iterable without a length so."""
    yield from (body[start : start + 65536] for start in range(0, len(body), 65536))


@pytest.mark.parametrize("method, path, body, headers, status, expected", [
    ("POST", "/sum?q=%C3%A9", b'{"numbers": [1, 2, 39]}', {"Content-Type": "application/json"}, 200, {"sum": 42, "query": "é"}),
    ("POST", "/upload", FORM, MULTIPART, 200, UPLOADED),
    ("POST", "/upload", lambda: pieces(FORM), MULTIPART, 200, UPLOADED),
    ("GET", "/file", None, {}, 200, FILE),
    ("GET", "/file", None, {"Range": "bytes=1000000-1999999"}, 206, FILE[1000000:2000000]),
], ids=["json", "upload", "upload-chunked", "send-file", "send-file-range"])  # fmt: skip
@pytest.mark.parametrize("version", ["1.1", "2"])
def test_requests(
    port: int, method: str, path: str, body: Any, headers: dict[str, str], status: int, expected: Any, version: str
) -> None:
    if callable(body):
        body = body()  # a fresh iterator for each run
    if version == "2":
        # HTTP/2 by prior knowledge: the same app, the same answers.
        with httpx.Client(http1=False, http2=True, base_url=f"http://127.0.0.1:{port}", timeout=30) as client:
            answer = client.request(method, path, content=body, headers=headers)
        assert answer.http_version == "HTTP/2"
        code, content, kind = answer.status_code, answer.content, answer.headers.get("content-type")
    else:
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        try:
            connection.request(method, path, body=body, headers=headers)
            response = connection.getresponse()
            code, content, kind = response.status, response.read(), response.getheader("Content-Type")
        finally:
            connection.close()
    parsed = json.loads(content) if kind == "application/json" else content
    assert (code, parsed) == (status, expected)


def test_a_generator_response_reaches_the_client_as_it_is_made(port: int) -> None:
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        connection.request("GET", "/stream")
        response = connection.getresponse()
        first = response.readline()
        first_read.set()
        assert (response.status, first, response.read()) == (200, b"first from /stream\n", b"then\n")
    finally:
        connection.close()
