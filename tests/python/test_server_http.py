"""The HTTP side of the server as real clients see it: raw sockets for the
byte-exact cases, http.client, urllib and curl for ordinary use."""

from __future__ import annotations

import http.client

from server_support import hello_app, recv_until_closed, serve


def test_pipelined_requests_are_answered_in_order() -> None:
    async def app(scope, receive, send):  # type: ignore[no-untyped-def]
        await receive()
        body = scope["path"].encode()
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": body})

    count = 100
    requests = b"".join(b"GET /%d HTTP/1.1\r\nHost: x\r\n\r\n" % n for n in range(count))
    with serve(app) as server, server.connect() as sock:
        sock.sendall(requests + b"GET /last HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
        replies = recv_until_closed(sock).split(b"HTTP/1.1 200 OK\r\n")[1:]
    assert [reply.rsplit(b"\r\n\r\n", 1)[1] for reply in replies] == [b"/%d" % n for n in range(count)] + [b"/last"]
    assert all(b"connection: keep-alive" in reply for reply in replies[:-1])
    assert b"connection: close" in replies[-1]


def test_http_client_keeps_the_connection_across_requests() -> None:
    with serve(hello_app) as server:
        client = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
        for body in (None, b"x" * 100_000, b"abc"):
            client.request("POST" if body else "GET", "/", body=body)
            response = client.getresponse()
            assert (response.status, response.read()) == (200, body or b"hello")
        client.close()
        assert server.call(lambda: len(server.state.connections)) <= 1
