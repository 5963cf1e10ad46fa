"""The runner with real clients: loop threads and their sockets, lifespan on
every loop, the shared executor, TLS, and starts that fail cleanly."""

from __future__ import annotations

import asyncio
import contextlib
import http.client
import os
import shutil
import socket
import ssl
import subprocess
import threading

import pytest

from tessaryne.server.config import Config
from tessaryne.server.runner import Server, StartupError, listening_sockets


@contextlib.contextmanager
def serving(app, **settings):
    server = Server(Config(app=app, port=0, **settings))
    server.start()
    try:
        yield server
    finally:
        server.stop()


def get(port, path="/", context=None):
    connection = (
        http.client.HTTPSConnection("127.0.0.1", port, context=context)
        if context
        else http.client.HTTPConnection("127.0.0.1", port)
    )
    try:
        connection.request("GET", path)
        response = connection.getresponse()
        return response.status, response.read()
    finally:
        connection.close()


def loop_threads_alive():
    return [t for t in threading.enumerate() if t.name.startswith("tessaryne-loop-")]


async def reply(send, text):
    await send({"type": "http.response.start", "status": 200, "headers": [(b"content-type", b"text/plain")]})
    await send({"type": "http.response.body", "body": text.encode()})


def test_lifespan_runs_on_every_loop_around_its_requests_and_its_state_reaches_the_scope():
    record = []

    async def app(scope, receive, send):
        here = threading.current_thread().name
        if scope["type"] == "lifespan":
            assert (await receive())["type"] == "lifespan.startup"
            scope["state"]["started_on"] = here
            record.append(("startup", here))
            await send({"type": "lifespan.startup.complete"})
            assert (await receive())["type"] == "lifespan.shutdown"
            record.append(("shutdown", here))
            await send({"type": "lifespan.shutdown.complete"})
            return
        record.append(("request", here))
        await reply(send, scope["state"]["started_on"] + " " + here)

    with serving(app, threads=3) as server:
        for _ in range(12):
            status, body = get(server.port)
            started_on, served_on = body.decode().split()
            assert status == 200 and started_on == served_on
    assert not loop_threads_alive()
    loops = {thread for kind, thread in record if kind == "startup"}
    assert len(loops) == 3
    for loop in loops:
        kinds = [kind for kind, thread in record if thread == loop]
        assert kinds[0] == "startup" and kinds[-1] == "shutdown"
        assert kinds.count("startup") == kinds.count("shutdown") == 1


def _lifespan_app(behaviour):
    async def app(scope, receive, send):
        if scope["type"] == "lifespan":
            if behaviour == "raise before receiving":
                raise RuntimeError("only http here")
            if behaviour == "return at once":
                return
            await receive()
            if behaviour == "raise in startup":
                raise RuntimeError("database unreachable")
            await send({"type": "lifespan.startup.failed", "message": "database unreachable"})
            return
        await reply(send, "served")

    return app


@pytest.mark.parametrize(
    ("mode", "behaviour", "failure"),
    [
        ("auto", "raise before receiving", None),
        ("auto", "return at once", None),
        ("off", "report failure", None),
        ("auto", "report failure", "application startup failed: database unreachable"),
        ("auto", "raise in startup", "application startup failed: RuntimeError: database unreachable"),
        ("on", "raise before receiving", "application startup failed: RuntimeError: only http here"),
        ("on", "return at once", "application startup failed: the application returned without completing startup"),
    ],
)
def test_lifespan_modes_serve_or_fail_cleanly(mode, behaviour, failure):
    app = _lifespan_app(behaviour)
    if failure is None:
        with serving(app, threads=2, lifespan=mode) as server:
            assert get(server.port) == (200, b"served")
        return
    server = Server(Config(app=app, port=0, threads=2, lifespan=mode))
    with pytest.raises(StartupError) as raised:
        server.start()
    assert str(raised.value) == failure
    assert not loop_threads_alive()
    with socket.create_server(("127.0.0.1", server.port)):
        pass  # every socket was closed


def test_connections_spread_over_the_loops_which_share_one_executor():
    async def app(scope, receive, send):
        worker = await asyncio.to_thread(threading.get_ident)
        await reply(send, f"{threading.current_thread().name} {worker}")

    with serving(app, threads=3, executor_threads=1) as server:
        replies = [get(server.port)[1].decode().split() for _ in range(30)]
    loops = {loop for loop, _ in replies}
    workers = {worker for _, worker in replies}
    # Each new connection's address picks a socket: 30 on one loop of three has odds of 3**-29.
    assert len(loops) > 1 and all(loop.startswith("tessaryne-loop-") for loop in loops)
    assert len(workers) == 1, "the loops share the one executor thread"


@pytest.mark.parametrize("reuse_port", [True, False])
def test_every_loop_listens_on_its_own_socket_or_on_one_shared_one(monkeypatch, reuse_port):
    if not reuse_port:
        monkeypatch.delattr(socket, "SO_REUSEPORT", raising=False)
    sockets = listening_sockets("127.0.0.1", 0, 3)
    try:
        assert len({sock.getsockname() for sock in sockets}) == 1
        assert len({os.fstat(sock.fileno()).st_ino for sock in sockets}) == (3 if reuse_port else 1)
    finally:
        for sock in sockets:
            sock.close()
    with serving(_lifespan_app("return at once"), threads=3) as server:
        assert all(get(server.port) == (200, b"served") for _ in range(6))


@pytest.mark.skipif(shutil.which("openssl") is None, reason="needs the openssl command")
def test_tls_with_a_self_signed_certificate(tmp_path):
    cert, key = tmp_path / "cert.pem", tmp_path / "key.pem"
    subprocess.run(
        ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
         "-keyout", key, "-out", cert, "-days", "1", "-subj", "/CN=localhost", "-addext", "subjectAltName=IP:127.0.0.1"],
        check=True, capture_output=True,
    )  # fmt: skip

    async def app(scope, receive, send):
        await reply(send, scope["scheme"])

    client = ssl.create_default_context(cafile=str(cert))
    with serving(app, threads=2, ssl_certfile=str(cert), ssl_keyfile=str(key)) as server:
        assert get(server.port, context=client) == (200, b"https")
        with pytest.raises(ssl.SSLError):
            get(server.port, context=ssl.create_default_context())  # not a trusted certificate
