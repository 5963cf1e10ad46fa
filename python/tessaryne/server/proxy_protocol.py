"""The PROXY protocol header a trusted load balancer opens its connections with.

The header is read before anything serves the connection, plain or TLS: it is
peeked at, so that the bytes after it (the HTTP request, the TLS handshake)
stay in the socket for whoever serves it, and read by the native parser.
"""

from __future__ import annotations

import asyncio
import socket

from .._tessaryne_core import ConnectionDriver

__all__ = ["Addresses", "read_proxy_header"]

# (client, server) as the driver's adopt() takes them.
Addresses = tuple[tuple[str, int] | None, tuple[str, int | None]]

# The longest header: v2's 16 fixed bytes and a 16-bit length.
_LONGEST = 16 + 0xFFFF
# A header cut across segments leaves its bytes readable in the socket, so
# readiness cannot say when more came: it is peeked at again this much later.
_RETRY = 0.005


async def _readable(loop: asyncio.AbstractEventLoop, conn: socket.socket) -> None:
    ready: asyncio.Future[None] = loop.create_future()

    def wake() -> None:
        if not ready.done():
            ready.set_result(None)

    loop.add_reader(conn, wake)
    try:
        await ready
    finally:
        loop.remove_reader(conn)


async def read_proxy_header(loop: asyncio.AbstractEventLoop, conn: socket.socket, timeout: float) -> Addresses | None:
    """Takes the header off the non-blocking ``conn``: the addresses it names,
    or None to keep the socket's. Raises ValueError for bytes no header starts
    with, EOFError when the peer closes first, TimeoutError after ``timeout``
    seconds, OSError when the connection fails."""
    async with asyncio.timeout(timeout):
        seen = 0
        while True:
            await _readable(loop, conn)
            data = conn.recv(_LONGEST, socket.MSG_PEEK)
            if not data:
                raise EOFError("the peer closed before its PROXY header")
            header = ConnectionDriver.read_proxy_header(data)
            if header is not None:
                length, addresses = header
                # Peeked, so all there: this takes the header and nothing after it.
                conn.recv(length)
                return addresses
            if len(data) == seen:
                await asyncio.sleep(_RETRY)
            seen = len(data)
