"""The runner with real clients: loop threads and their sockets, lifespan on
every loop, the shared executor, TLS, and starts that fail cleanly."""

from __future__ import annotations

import asyncio
import contextlib
import http.client
import os
import socket
import ssl
import threading

import pytest
from websockets.asyncio.client import connect

from server_support import needs_openssl, self_signed_certificate, serving
from tessaryne.server.config import Config
from tessaryne.server.runner import Server, StartupError, listening_sockets


def get(port, context=None):
    if context:
        connection = http.client.HTTPSConnection("127.0.0.1", port, context=context)
    else:
        connection = http.client.HTTPConnection("127.0.0.1", port)
    with contextlib.closing(connection):
        connection.request("GET", "/")
        response = connection.getresponse()
        return response.status, response.read().decode()


async def reply(send, text):
    await send({"type": "http.response.start", "status": 200, "headers": []})
    await send({"type": "http.response.body", "body": text.encode()})


def test_every_loop_runs_lifespan_around_its_requests_and_shares_one_executor(event_loop_kind):
    record = []

    async def app(scope, receive, send):
        here = threading.current_thread().name
        if scope["type"] == "lifespan":
            for step in ("startup", "shutdown"):
                assert (await receive())["type"] == f"lifespan.{step}"
                scope["state"]["started_on"] = here
                record.append((step, here))
                await send({"type": f"lifespan.{step}.complete"})
            return
        record.append(("request", here))
        worker = await asyncio.to_thread(lambda: threading.current_thread().name)
        await reply(send, f"{scope['state']['started_on']} {here} {worker}")

    with serving(app, threads=3, executor_threads=1, loop=event_loop_kind) as server:
        replies = [get(server.port) for _ in range(30)]
    assert all(status == 200 for status, _ in replies)
    started_on, served_on, workers = zip(*(text.split() for _, text in replies), strict=True)
    assert started_on == served_on, "each loop's state reaches its scopes"
    # A new connection's address picks one of the sockets: 30 on one loop of three has odds of 3**-29.
    assert len(set(served_on)) > 1
    assert len(set(workers)) == 1 and workers[0].startswith("tessaryne-worker")
    for loop in {thread for kind, thread in record if kind == "startup"} | set(served_on):
        kinds = [kind for kind, thread in record if thread == loop]
        assert kinds[0] == "startup" and kinds[-1] == "shutdown" and kinds.count("shutdown") == 1


def _lifespan_app(behaviour):
    async def app(scope, receive, send):
        if scope["type"] == "http":
            return await reply(send, "served")
        if behaviour == "raise before receiving":
            raise RuntimeError("only http here")
        if behaviour == "return at once":
            return
        await receive()
        if behaviour == "raise in startup":
            raise RuntimeError("database unreachable")
        await send({"type": "lifespan.startup.failed", "message": "database unreachable"})

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
            assert get(server.port) == (200, "served")
        return
    server = Server(Config(app=app, port=0, threads=2, lifespan=mode))
    with pytest.raises(StartupError) as raised:
        server.start()
    assert str(raised.value) == failure
    assert not [t for t in threading.enumerate() if t.name.startswith("tessaryne-loop-")]
    socket.create_server(("127.0.0.1", server.port)).close()  # every socket was closed


@pytest.mark.parametrize("reuse_port", [True, False])
def test_every_loop_listens_on_its_own_socket_or_on_one_shared_one(monkeypatch, reuse_port):
    if not reuse_port:
        monkeypatch.delattr(socket, "SO_REUSEPORT", raising=False)
    sockets = listening_sockets("127.0.0.1", 0, 3)
    assert len({sock.getsockname() for sock in sockets}) == 1
    assert len({os.fstat(sock.fileno()).st_ino for sock in sockets}) == (3 if reuse_port else 1)
    for sock in sockets:
        sock.listen()
    with pytest.raises(StartupError, match="Address already in use"):  # a second server never joins the port
        listening_sockets("127.0.0.1", sockets[0].getsockname()[1], 2)
    for sock in sockets:
        sock.close()
    with serving(_lifespan_app("return at once"), threads=3) as server:
        assert all(get(server.port) == (200, "served") for _ in range(6))


@needs_openssl
def test_tls_with_a_self_signed_certificate(tmp_path):
    cert, key = self_signed_certificate(tmp_path)

    async def app(scope, receive, send):
        await reply(send, scope["scheme"])

    with serving(app, threads=2, ssl_certfile=cert, ssl_keyfile=key) as server:
        assert get(server.port, ssl.create_default_context(cafile=cert)) == (200, "https")
        with pytest.raises(ssl.SSLError):
            get(server.port, ssl.create_default_context())  # not a trusted certificate


@needs_openssl
def test_tls_carries_keep_alive_uploads_downloads_and_websockets_through_the_same_engine(event_loop_kind, tmp_path):
    cert, key = self_signed_certificate(tmp_path)
    context = ssl.create_default_context(cafile=cert)
    big = os.urandom(3 << 20)

    async def app(scope, receive, send):
        if scope["type"] == "websocket":
            await receive()
            await send({"type": "websocket.accept"})
            message = await receive()
            await send({"type": "websocket.send", "bytes": message["bytes"][::-1]})
            await send({"type": "websocket.close"})
            return
        body = b""
        while True:
            message = await receive()
            body += message.get("body", b"")
            if not message.get("more_body"):
                break
        answer = big if scope["path"] == "/big" else scope["scheme"].encode() + b" " + str(len(body)).encode()
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": answer})

    with serving(app, threads=1, ssl_certfile=cert, ssl_keyfile=key, lifespan="off", loop=event_loop_kind) as server:
        connection = http.client.HTTPSConnection("127.0.0.1", server.port, context=context)
        with contextlib.closing(connection):
            replies = []
            for path, body in [("/", None), ("/up", big), ("/big", None), ("/", b"x")]:
                connection.request("POST" if body else "GET", path, body=body)
                replies.append(connection.getresponse().read())
        assert replies == [b"https 0", b"https %d" % len(big), big, b"https 1"]

        # The asyncio client: the threaded one sometimes stalls in its own TLS
        # handshake on this interpreter, whichever server it talks to.
        async def websocket() -> bytes:
            async with connect(f"wss://127.0.0.1:{server.port}/", ssl=context, max_size=None) as ws:
                await ws.send(big)
                return await ws.recv()

        assert asyncio.run(websocket()) == big[::-1]


def test_a_server_restarts_at_once_on_the_port_it_has_closed_connections_on():
    """The connections it closed itself leave TIME-WAIT entries on the port."""
    app = _lifespan_app("return at once")
    with serving(app, threads=2) as server:
        port = server.port
        for _ in range(20):
            with socket.create_connection(("127.0.0.1", port)) as client:
                client.sendall(b"GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
                while client.recv(65536):
                    pass
    with serving(app, threads=2, port=port) as server:
        assert get(server.port) == (200, "served")


@pytest.mark.parametrize("ending", ["request_shutdown", "cancel"])
def test_serve_embeds_the_server_in_a_program_that_owns_its_loop(ending):
    async def app(scope, receive, send):
        await reply(send, "embedded")

    async def main():
        server = Server(Config(app=app, port=0, threads=2, lifespan="off", access_log=False))
        serving_task = asyncio.create_task(server.serve())
        while not server.started:
            await asyncio.sleep(0.01)
        answer = await asyncio.to_thread(get, server.port)
        if ending == "cancel":
            serving_task.cancel()
        else:
            server.request_shutdown()
        with contextlib.suppress(asyncio.CancelledError):
            await serving_task
        return answer

    assert asyncio.run(main()) == (200, "embedded")
    assert not [t for t in threading.enumerate() if t.name.startswith("tessaryne-loop-")]


def test_limit_concurrency_counts_requests_across_loops_and_answers_503_above_it(event_loop_kind):
    release, entered = threading.Event(), threading.Semaphore(0)

    async def app(scope, receive, send):
        if scope["path"] == "/wait":
            entered.release()
            await asyncio.to_thread(release.wait, 30)
        await reply(send, "ok")

    with serving(app, threads=2, limit_concurrency=2, lifespan="off", loop=event_loop_kind) as server:
        waiting = [socket.create_connection(("127.0.0.1", server.port)) for _ in range(2)]
        for sock in waiting:
            sock.sendall(b"GET /wait HTTP/1.1\r\nHost: x\r\n\r\n")
            assert entered.acquire(timeout=30)  # admitted, one at a time
        assert get(server.port) == (503, "Service Unavailable")
        release.set()
        for sock in waiting:
            with sock:
                assert sock.recv(65536).startswith(b"HTTP/1.1 200 OK")
        assert get(server.port) == (200, "ok")  # the slots are free again
