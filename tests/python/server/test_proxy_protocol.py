"""The PROXY protocol on a raw socket: v1 and v2 headers from trusted and
untrusted peers, each split at every point the network may split it; the
client it names in the scope, the access log and behind TLS; and every
connection that must send a header and does not, closed without an answer."""

from __future__ import annotations

import json
import logging
import socket
import ssl
import time
from pathlib import Path
from typing import Any

import pytest

from server_support import needs_openssl, recv_until_closed, self_signed_certificate, serve

V4 = b"\xc0\x00\x02\x01\xc6\x33\x64\x02\xdc\x04\x01\xbb"  # 192.0.2.1:56324 -> 198.51.100.2:443
SIGNATURE = b"\r\n\r\n\x00\r\nQUIT\n"
REQUEST = b"GET / HTTP/1.1\r\nhost: x\r\nx-forwarded-for: 203.0.113.9\r\nconnection: close\r\n\r\n"
PROXIED = [["192.0.2.1", 56324], ["198.51.100.2", 443]]


def v2(command: int, family: int, body: bytes) -> bytes:
    return SIGNATURE + bytes([command, family]) + len(body).to_bytes(2, "big") + body


async def addresses_app(scope: dict[str, Any], receive: Any, send: Any) -> None:
    body = json.dumps([scope["client"], scope["server"]]).encode()
    await send({"type": "http.response.start", "status": 200, "headers": [(b"content-length", b"%d" % len(body))]})
    await send({"type": "http.response.body", "body": body})


def answer(port: int, *pieces: bytes) -> bytes:
    """What the server answers; a connection reset (closed with input unread) is no answer."""
    with socket.create_connection(("127.0.0.1", port), timeout=30) as sock:
        try:
            for piece in pieces:
                sock.sendall(piece)
                time.sleep(0.02)  # each piece its own segment
            return recv_until_closed(sock)
        except ConnectionResetError:
            return b""


def addresses(response: bytes) -> Any:
    assert response.startswith(b"HTTP/1.1 200 "), response
    return json.loads(response.partition(b"\r\n\r\n")[2])


# (case, the header, the addresses the app sees: None for the socket's)
HEADERS = [
    ("v1 TCP4", b"PROXY TCP4 192.0.2.1 198.51.100.2 56324 443\r\n", PROXIED),
    ("v1 TCP6", b"PROXY TCP6 2001:db8::1 2001:db8::2 1 2\r\n", [["2001:db8::1", 1], ["2001:db8::2", 2]]),
    ("v1 UNKNOWN", b"PROXY UNKNOWN\r\n", None),
    ("v2 INET", v2(0x21, 0x11, V4), PROXIED),
    ("v2 INET with a TLV", v2(0x21, 0x11, V4 + b"\x04\x00\x01\x00"), PROXIED),
    ("v2 LOCAL (a health check)", v2(0x20, 0x00, b""), None),
]


@pytest.mark.parametrize(("case", "header", "expected"), HEADERS, ids=[c[0] for c in HEADERS])
def test_headers_from_a_trusted_peer(case: str, header: bytes, expected: Any) -> None:
    with serve(addresses_app, proxy_protocol=True) as server:
        for split in (len(header), 1, 5, 13, len(header) - 1):
            client, server_side = addresses(answer(server.port, header[:split], header[split:] + REQUEST))
            if expected is None:
                # The socket's own: its peer, a trusted proxy, is believed on X-Forwarded-For too.
                assert (client[0], server_side) == ("203.0.113.9", ["127.0.0.1", server.port])
            else:
                # X-Forwarded-For from the proxied client (not trusted) is not believed.
                assert [client, server_side] == expected, split


# (case, bytes a trusted peer opens with instead of a header)
MISSING = [
    ("a plain request", REQUEST),
    ("a bad address", b"PROXY TCP4 192.0.2.256 198.51.100.2 56324 443\r\n" + REQUEST),
    ("v1 without CRLF", b"PROXY TCP4 192.0.2.1 198.51.100.2 56324 443\n" + REQUEST),
    ("v2, version 3", SIGNATURE + b"\x31\x11\x00\x0c" + V4 + REQUEST),
    ("a TLS handshake", b"\x16\x03\x01\x00\x05hello"),
]


@pytest.mark.parametrize(("case", "data"), MISSING, ids=[c[0] for c in MISSING])
def test_a_trusted_peer_without_a_header_is_closed(case: str, data: bytes) -> None:
    with serve(addresses_app, proxy_protocol=True) as server:
        assert answer(server.port, data) == b""


def test_silence_is_closed_after_the_head_timeout() -> None:
    with serve(addresses_app, proxy_protocol=True, head_timeout=0.3) as server, server.connect() as sock:
        started = time.monotonic()
        assert recv_until_closed(sock) == b""
        assert time.monotonic() - started < 5


def test_an_untrusted_peer_is_never_believed() -> None:
    header = b"PROXY TCP4 192.0.2.1 198.51.100.2 56324 443\r\n"
    with serve(addresses_app, proxy_protocol=True, forwarded_allow_ips="192.0.2.77") as server:
        assert addresses(answer(server.port, REQUEST))[0][0] == "127.0.0.1"
        assert answer(server.port, header + REQUEST).startswith(b"HTTP/1.1 400 ")


def test_the_access_log_names_the_proxied_client(caplog: pytest.LogCaptureFixture) -> None:
    caplog.set_level(logging.INFO, logger="tessaryne.access")
    with serve(addresses_app, proxy_protocol=True, access_log=True, access_log_format="%(h)s %(s)s") as server:
        answer(server.port, v2(0x21, 0x11, V4) + REQUEST)
    assert [r.getMessage() for r in caplog.records if r.name == "tessaryne.access"] == ["192.0.2.1 200"]


@needs_openssl
def test_a_header_before_the_tls_handshake(tmp_path: Path) -> None:
    cert, key = self_signed_certificate(tmp_path)
    server_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    server_context.load_cert_chain(cert, key)
    with serve(addresses_app, proxy_protocol=True, ssl_context=server_context) as server:
        client_context = ssl.create_default_context(cafile=cert)
        with socket.create_connection(("127.0.0.1", server.port), timeout=30) as raw:
            raw.sendall(b"PROXY TCP4 192.0.2.1 198.51.100.2 56324 443\r\n")
            with client_context.wrap_socket(raw, server_hostname="127.0.0.1") as sock:
                sock.sendall(REQUEST)
                assert addresses(recv_until_closed(sock)) == PROXIED
