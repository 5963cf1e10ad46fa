"""A Starlette application, written for Starlette alone, served unchanged:
lifespan state, routing with a path parameter, a streaming response, a
multipart upload with a file and a WebSocket endpoint, driven by the standard
library's HTTP client and the websockets client library."""

from __future__ import annotations

import contextlib
import hashlib
import http.client
import json
import os
from collections.abc import AsyncIterator, Iterator

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import JSONResponse, PlainTextResponse, Response, StreamingResponse
from starlette.routing import Route, WebSocketRoute
from starlette.websockets import WebSocket
from websockets.sync.client import connect

from server_support import serving

PIECES = [f"piece {i}\n".encode() * (i + 1) for i in range(20)]


@contextlib.asynccontextmanager
async def lifespan(app: Starlette) -> AsyncIterator[dict[str, str]]:
    yield {"greeting": "hello from the lifespan"}


async def home(request: Request) -> Response:
    return PlainTextResponse(request.state.greeting)


async def item(request: Request) -> Response:
    return JSONResponse({"id": request.path_params["item_id"], "q": request.query_params.get("q")})


async def stream(request: Request) -> Response:
    async def pieces() -> AsyncIterator[bytes]:
        for piece in PIECES:
            yield piece

    return StreamingResponse(pieces(), media_type="text/plain")


async def upload(request: Request) -> Response:
    async with request.form() as form:
        file = form["file"]
        assert not isinstance(file, str)
        data = await file.read()
        return JSONResponse(
            {"name": form["name"], "filename": file.filename, "sha256": hashlib.sha256(data).hexdigest()}
        )


async def echo(websocket: WebSocket) -> None:
    await websocket.accept()
    while True:
        message = await websocket.receive()
        if message["type"] == "websocket.disconnect":
            return
        if message.get("text") is not None:
            await websocket.send_text(message["text"])
        else:
            await websocket.send_bytes(message["bytes"])


app = Starlette(
    routes=[
        Route("/", home),
        Route("/items/{item_id}", item),
        Route("/stream", stream),
        Route("/upload", upload, methods=["POST"]),
        WebSocketRoute("/ws", echo),
    ],
    lifespan=lifespan,
)


@pytest.fixture(scope="module")
def port() -> Iterator[int]:
    with serving(app, threads=2) as server:
        yield server.port


def request(
    port: int, method: str, path: str, body: bytes | None = None, headers: dict[str, str] | None = None
) -> tuple[http.client.HTTPResponse, bytes]:
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        connection.request(method, path, body=body, headers=headers or {})
        response = connection.getresponse()
        return response, response.read()
    finally:
        connection.close()


@pytest.mark.parametrize(
    ("method", "path", "status", "body"),
    [
        ("GET", "/", 200, b"hello from the lifespan"),
        ("GET", "/items/42?q=x", 200, b'{"id":"42","q":"x"}'),
        ("GET", "/items/a%20b", 200, b'{"id":"a b","q":null}'),
        ("GET", "/missing", 404, b"Not Found"),
        ("DELETE", "/items/1", 405, b"Method Not Allowed"),
    ],
)
def test_routes(port: int, method: str, path: str, status: int, body: bytes) -> None:
    response, received = request(port, method, path)
    assert (response.status, received) == (status, body)


def test_streaming_response_arrives_whole_and_chunked(port: int) -> None:
    response, received = request(port, "GET", "/stream")
    assert response.status == 200
    assert response.getheader("transfer-encoding") == "chunked"
    assert received == b"".join(PIECES)


def test_multipart_upload_with_a_file(port: int) -> None:
    boundary = "tessaryne-boundary-7f3a"
    # Larger than the read buffer, with line breaks and a near-boundary inside.
    content = os.urandom(300_000) + f"\r\n--{boundary[:-1]}\r\n".encode() + os.urandom(1000)
    body = (
        (
            f'--{boundary}\r\nContent-Disposition: form-data; name="name"\r\n\r\nreport\r\n'
            f'--{boundary}\r\nContent-Disposition: form-data; name="file"; filename="data.bin"\r\n'
            "Content-Type: application/octet-stream\r\n\r\n"
        ).encode()
        + content
        + f"\r\n--{boundary}--\r\n".encode()
    )
    response, received = request(
        port, "POST", "/upload", body, {"Content-Type": f"multipart/form-data; boundary={boundary}"}
    )
    assert response.status == 200
    assert json.loads(received) == {
        "name": "report",
        "filename": "data.bin",
        "sha256": hashlib.sha256(content).hexdigest(),
    }


messages = st.lists(st.one_of(st.text(max_size=300), st.binary(max_size=70_000)), min_size=1, max_size=6)


@settings(max_examples=20)
@given(sent=messages)
def test_websocket_echoes_every_message(port: int, sent: list[str | bytes]) -> None:
    with connect(f"ws://127.0.0.1:{port}/ws", max_size=None) as websocket:
        for message in sent:
            websocket.send(message)
        assert [websocket.recv(timeout=30) for _ in sent] == sent
