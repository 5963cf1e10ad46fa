"""TLS connections, served by the same native driver as plain ones.

asyncio's TLS transport does the handshake and the records; the plaintext
crosses a socket pair whose other end the driver adopts like an accepted
plain socket, so a TLS request meets exactly the HTTP and WebSocket handling
of any other. This costs a few system calls per read and write, a small share
beside the cryptography.
"""

from __future__ import annotations

import asyncio
import functools
import socket
import ssl
from typing import Any, cast

from .driver import NativeServing
from .proxy_protocol import Addresses
from .scope import address, server_address

__all__ = ["TlsBridge", "tls_extension"]

_READ_SIZE = 256 * 1024

# The protocol versions as the TLS records number them.
_TLS_VERSIONS = {"TLSv1": 0x0301, "TLSv1.1": 0x0302, "TLSv1.2": 0x0303, "TLSv1.3": 0x0304}
# Attribute names of a distinguished name as RFC 4514 writes them.
_SHORT_NAMES = {
    "commonName": "CN",
    "countryName": "C",
    "localityName": "L",
    "stateOrProvinceName": "ST",
    "organizationName": "O",
    "organizationalUnitName": "OU",
    "streetAddress": "STREET",
    "domainComponent": "DC",
    "userId": "UID",
}


@functools.cache
def _server_cert(certfile: str | None) -> str | None:
    """The first certificate of the server's PEM file, read once."""
    if certfile is None:
        return None
    with open(certfile, encoding="ascii", errors="replace") as file:
        text = file.read()
    end_marker = "-----END CERTIFICATE-----"
    start, end = text.find("-----BEGIN CERTIFICATE-----"), text.find(end_marker)
    return text[start : end + len(end_marker)] + "\n" if 0 <= start < end else None


def _rfc4514_value(value: str) -> str:
    escaped = "".join("\\" + c if c in ',+"\\<>;=' else c for c in value)
    if escaped.startswith(("#", " ")):
        escaped = "\\" + escaped
    return escaped[:-1] + "\\ " if escaped.endswith(" ") and len(escaped) > 1 else escaped


def _subject_name(cert: dict[str, Any]) -> str | None:
    subject = cert.get("subject")
    if not subject:
        return None
    # RFC 4514 writes the most specific RDN first: the reverse of the certificate's order.
    return ",".join(
        "+".join(f"{_SHORT_NAMES.get(key, key)}={_rfc4514_value(value)}" for key, value in rdn)
        for rdn in reversed(subject)
    )


def _cipher_suite(ssl_object: ssl.SSLObject) -> int | None:
    cipher = ssl_object.cipher()
    if cipher is None:
        return None
    for entry in ssl_object.context.get_ciphers():
        if entry["name"] == cipher[0]:
            return int(entry["id"]) & 0xFFFF
    return None


def tls_extension(ssl_object: ssl.SSLObject, certfile: str | None) -> dict[str, Any]:
    """The scope's "tls" extension for a connection whose handshake is done."""
    chain = [ssl.DER_cert_to_PEM_cert(der) for der in ssl_object.get_verified_chain() or ()]
    version = ssl_object.version()
    return {
        "server_cert": _server_cert(certfile),
        "client_cert_chain": chain,
        "client_cert_name": _subject_name(ssl_object.getpeercert() or {}) if chain else None,
        # A client certificate that does not verify fails the handshake: a connection has none.
        "client_cert_error": None,
        "tls_version": _TLS_VERSIONS.get(version) if version else None,
        "cipher_suite": _cipher_suite(ssl_object),
    }


class TlsBridge(asyncio.Protocol):
    """One TLS connection's plaintext, carried to and from the driver."""

    def __init__(self, native: NativeServing, addresses: Addresses | None = None) -> None:
        self._native = native
        self._addresses = addresses  # (client, server) as a PROXY header named them
        self._loop = native.loop
        self._transport: asyncio.Transport | None = None
        self._inner: socket.socket | None = None
        # Plaintext from the client that the socket pair did not take yet.
        self._pending = bytearray()
        self._reading_inner = False

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        # Not necessarily an asyncio.Transport subclass: uvloop's TLS transport
        # has the methods without the base class.
        self._transport = cast(asyncio.Transport, transport)
        inner, outer = socket.socketpair()
        inner.setblocking(False)
        outer.setblocking(False)
        self._inner = inner
        client = address(transport.get_extra_info("peername"))
        server = server_address(transport.get_extra_info("sockname"))
        if self._addresses is not None:
            client, server = self._addresses
        ssl_object = transport.get_extra_info("ssl_object")
        info = tls_extension(ssl_object, self._native.state.config.ssl_certfile) if ssl_object is not None else True
        # The handshake's ALPN chose the version: HTTP/2 from the first byte.
        http2 = ssl_object is not None and ssl_object.selected_alpn_protocol() == "h2"
        self._native.driver.adopt(outer.detach(), client, server, info, http2=http2)
        self._watch_inner(True)

    def _watch_inner(self, on: bool) -> None:
        if self._inner is None or on == self._reading_inner:
            return
        self._reading_inner = on
        if on:
            self._loop.add_reader(self._inner, self._from_driver)
        else:
            self._loop.remove_reader(self._inner)

    # --- client to driver ---------------------------------------------------------

    def data_received(self, data: bytes) -> None:
        if self._inner is None:
            return
        if self._pending:
            self._pending += data
            return
        try:
            sent = self._inner.send(data)
        except BlockingIOError:
            sent = 0
        except OSError:
            self._close()
            return
        if sent < len(data):
            # The driver is not reading (it paused, or is behind): so is the client.
            self._pending += data[sent:]
            assert self._transport is not None
            self._transport.pause_reading()
            self._loop.add_writer(self._inner, self._to_driver)

    def _to_driver(self) -> None:
        assert self._inner is not None and self._transport is not None
        try:
            sent = self._inner.send(self._pending)
        except BlockingIOError:
            return
        except OSError:
            self._close()
            return
        del self._pending[:sent]
        if not self._pending:
            self._loop.remove_writer(self._inner)
            if not self._transport.is_closing():
                self._transport.resume_reading()

    def eof_received(self) -> bool:
        # The client finished sending. TLS has no half-close: asyncio ends the
        # connection, and the driver hears the end of input first.
        if self._inner is not None and not self._pending:
            try:
                self._inner.shutdown(socket.SHUT_WR)
            except OSError:
                pass
        return False

    # --- driver to client -----------------------------------------------------------

    def _from_driver(self) -> None:
        assert self._inner is not None and self._transport is not None
        try:
            data = self._inner.recv(_READ_SIZE)
        except BlockingIOError:
            return
        except OSError:
            data = b""
        if not data:
            # The driver closed or half-closed: TLS cannot half-close, so the
            # connection ends once what is written went out.
            self._close()
            return
        self._transport.write(data)

    def pause_writing(self) -> None:
        self._watch_inner(False)

    def resume_writing(self) -> None:
        self._watch_inner(True)

    # --- the end -------------------------------------------------------------------------

    def connection_lost(self, exc: Exception | None) -> None:
        self._release()

    def _close(self) -> None:
        if self._transport is not None:
            self._transport.close()
        self._release()

    def _release(self) -> None:
        inner, self._inner = self._inner, None
        if inner is not None:
            self._reading_inner = False
            self._loop.remove_reader(inner)
            self._loop.remove_writer(inner)
            inner.close()  # the driver's end sees the end of input
