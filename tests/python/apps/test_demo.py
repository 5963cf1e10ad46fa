"""The demo application's routes, served by the real server to real clients."""

from __future__ import annotations

import http.client

import pytest
from websockets.sync.client import connect

from tessaryne import demo
from tessaryne.server.config import Config
from tessaryne.server.runner import Server


@pytest.fixture(scope="module")
def port():
    server = Server(Config(app=demo.app, port=0, threads=2))
    server.start()
    yield server.port
    server.stop()


@pytest.mark.parametrize(
    ("method", "path", "body", "status", "expected", "content_type"),
    [
        ("GET", "/", None, 200, b"Hello from tessaryne!\n", "text/plain; charset=utf-8"),
        ("POST", "/echo", b'{"n": 1}', 200, b'{"n": 1}', "application/json"),
        ("GET", "/stream", None, 200, b"".join(demo.STREAM_PIECES), "text/plain"),
        ("GET", "/app", None, 200, demo.PAGE, "text/html; charset=utf-8"),
        ("GET", "/nowhere", None, 404, b"Not found\n", "text/plain; charset=utf-8"),
    ],
)
def test_http_routes(port, method, path, body, status, expected, content_type):
    connection = http.client.HTTPConnection("127.0.0.1", port)
    headers = {"content-type": content_type} if body is not None else {}
    connection.request(method, path, body=body, headers=headers)
    response = connection.getresponse()
    assert (response.status, response.read()) == (status, expected)
    assert response.getheader("content-type") == content_type
    assert (response.getheader("transfer-encoding") == "chunked") == (path == "/stream")
    connection.close()


def test_the_page_opens_the_websocket_route_which_echoes_text_and_bytes(port):
    assert b"/ws`" in demo.PAGE and b"new WebSocket(" in demo.PAGE
    with connect(f"ws://127.0.0.1:{port}/ws") as websocket:
        for message in ("hello", b"\x00\xffbytes", "é" * 70000):
            websocket.send(message)
            assert websocket.recv() == message
