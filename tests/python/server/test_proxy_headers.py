"""Proxy headers through a served app on raw sockets: the same request from a
trusted and an untrusted peer, HTTP and WebSocket scopes, a Unix-socket peer,
the access log, and a trust list that does not parse."""

from __future__ import annotations

import logging
import socket
from typing import Any

import pytest

from server_support import recv_until_closed, serve, serving
from tessaryne.server.runner import StartupError

Headers = list[tuple[bytes, bytes]]
OWN = "own"  # the item as the connection gives it, without proxy headers

PROXIED: Headers = [
    (b"x-forwarded-for", b"1.1.1.1, 203.0.113.7"), (b"x-forwarded-proto", b"https"), (b"x-forwarded-host", b"example.com"),
]  # fmt: skip
FORWARDED: Headers = [
    (b"forwarded", b'for=1.1.1.1, for="[2001:db8::1]:4711";proto=https;host="example.com:8443"'),
    (b"x-forwarded-for", b"198.51.100.1"), (b"x-forwarded-proto", b"http"),
]  # fmt: skip
WEBSOCKET = (
    b"Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
    b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
)


def recording_app(seen: list[dict[str, Any]]) -> Any:
    async def app(scope, receive, send):  # type: ignore[no-untyped-def]
        seen.append(scope)
        if scope["type"] == "websocket":
            await send({"type": "websocket.close"})
            return
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b""})

    return app


def request(sock: socket.socket, headers: Headers, websocket: bool = False) -> None:
    lines = b"".join(name + b": " + value + b"\r\n" for name, value in headers)
    sock.sendall(
        b"GET / HTTP/1.1\r\nHost: x\r\n" + (WEBSOCKET if websocket else b"Connection: close\r\n") + lines + b"\r\n"
    )
    recv_until_closed(sock)


@pytest.mark.parametrize(("settings", "headers", "websocket", "client", "scheme", "server"), [
    # The default trust list holds 127.0.0.1: the client's own entry is walked past.
    ({}, PROXIED, False, ("203.0.113.7", 0), "https", ("example.com", 443)),
    ({"forwarded_allow_ips": "10.0.0.0/8, ::1"}, PROXIED, False, OWN, "http", OWN),
    ({"proxy_headers": False, "forwarded_allow_ips": "*"}, PROXIED, False, OWN, "http", OWN),
    # Forwarded wins over the X-Forwarded- headers, and gives the port.
    ({"forwarded_allow_ips": "127.0.0.0/8"}, FORWARDED, False, ("2001:db8::1", 4711), "https", ("example.com", 8443)),
    ({}, PROXIED, True, ("203.0.113.7", 0), "wss", ("example.com", 443)),
    ({"forwarded_allow_ips": "10.0.0.0/8"}, PROXIED, True, OWN, "ws", OWN),
    # Garbage as the nearest hop, an unknown proto: nothing changes.
    ({}, [(b"x-forwarded-for", b"203.0.113.7, garbage"), (b"x-forwarded-proto", b"gopher")], False, OWN, "http", OWN),
])  # fmt: skip
def test_scope_from_trusted_peers_only(settings, headers, websocket, client, scheme, server):
    seen: list[dict[str, Any]] = []
    with serve(recording_app(seen), **settings) as served, served.connect() as sock:
        own_client = sock.getsockname()
        request(sock, headers, websocket)
    (scope,) = seen
    assert scope["client"] == (own_client if client == OWN else client)
    assert scope["scheme"] == scheme
    assert scope["server"] == (("127.0.0.1", served.port) if server == OWN else server)
    # Read or not, the headers reach the application as they were sent.
    assert [item for item in scope["headers"] if item[0] in dict(headers)] == headers


@pytest.mark.parametrize(("allow", "client"), [("127.0.0.1,::1", None), ("unix:", ("203.0.113.7", 0))])
def test_unix_socket_peer_is_trusted_when_listed(tmp_path, allow, client):
    seen: list[dict[str, Any]] = []
    path = str(tmp_path / "s.sock")
    with serving(recording_app(seen), uds=path, threads=1, lifespan="off", forwarded_allow_ips=allow):
        with socket.socket(socket.AF_UNIX) as sock:
            sock.connect(path)
            request(sock, PROXIED[:1])
    assert seen[0]["client"] == client


def test_access_log_shows_the_resolved_client(caplog):
    caplog.set_level(logging.INFO, logger="tessaryne.access")
    with serve(recording_app([]), access_log=True) as served, served.connect() as sock:
        request(sock, PROXIED)
    assert [record.getMessage() for record in caplog.records] == ['203.0.113.7:0 "GET / HTTP/1.1" 200 0']


def test_a_bad_trust_list_stops_the_start():
    with pytest.raises(StartupError, match=r"'10\.0\.0\.0/33' is not an IP address, a CIDR range"):
        with serving(recording_app([]), threads=1, forwarded_allow_ips="127.0.0.1, 10.0.0.0/33"):
            pass
