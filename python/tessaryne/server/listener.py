"""Accepting the connections of one loop's listening socket.

The listener uses only the loop's public API (``add_reader`` on the listening
socket; ``connect_accepted_socket`` for a TLS connection's handshake), so it
behaves the same on any loop. A plain connection goes straight to the loop's
native driver; a TLS one to it too, through a `TlsBridge`. What it adds to asyncio's own accept path is a
careful answer to running out of file descriptors or memory: it stops reading
the listening socket and tries again after a short back-off, while the open
connections are still served (new clients wait in the listen queue meanwhile),
and it says so once for the whole process, then as a count every few seconds,
instead of a traceback per failed accept. It also knows every connection of
its loop (the driver's, and those still in their TLS handshake), so shutdown
can wait for them or abort them.
"""

from __future__ import annotations

import asyncio
import errno
import socket
import ssl

from .driver import NativeServing
from .logs import RecurringCondition, server_logger
from .proxy_protocol import Addresses, read_proxy_header
from .scope import address
from .tls import TlsBridge

__all__ = ["Listener"]

# Accepts per readiness of the listening socket; what is left is accepted on
# the next turn of the loop, after the open connections had theirs.
_ACCEPT_BATCH = 64
# After a failed accept the first retry comes this many seconds later, each
# next one that accepts nothing twice as late, up to _RETRY_LAST.
_RETRY_FIRST = 0.1
_RETRY_LAST = 1.0
# Accepting has recovered once it has worked this long without a failure, so a
# server at the edge of its limit does not log a recovery per retry.
_SETTLED_AFTER = 1.0
# How often shutdown looks whether the last connection is gone.
_CLOSED_POLL = 0.05

# Errors of one connection that accept() reports (on Linux, the network errors
# pending on it too): they end that connection only.
_CONNECTION_ERRORS = frozenset(
    getattr(errno, name)
    for name in (
        "ECONNABORTED", "ECONNRESET", "EPROTO", "EPERM", "ENOPROTOOPT", "EOPNOTSUPP",
        "ENETDOWN", "ENETUNREACH", "EHOSTDOWN", "EHOSTUNREACH", "ENONET",
    )
    if hasattr(errno, name)
)  # fmt: skip

_STARTED = "cannot accept connections: %s; retrying, and serving the open ones meanwhile"
_OUT_OF_DESCRIPTORS = RecurringCondition(
    server_logger,
    _STARTED,
    "still out of file descriptors: %d failed accepts in the last %.1f s",
    "accepting connections again after %.1f s out of file descriptors",
)
_OUT_OF_MEMORY = RecurringCondition(
    server_logger,
    _STARTED,
    "still out of memory for new sockets: %d failed accepts in the last %.1f s",
    "accepting connections again after %.1f s out of memory",
)
_ACCEPT_FAILING = RecurringCondition(
    server_logger,
    _STARTED,
    "accepting connections still fails: %d failed accepts in the last %.1f s",
    "accepting connections again after %.1f s of failures",
)
_CONDITIONS = {
    errno.EMFILE: _OUT_OF_DESCRIPTORS,
    errno.ENFILE: _OUT_OF_DESCRIPTORS,
    errno.ENOBUFS: _OUT_OF_MEMORY,
    errno.ENOMEM: _OUT_OF_MEMORY,
}


def _describe(error: OSError) -> str:
    if error.errno is None or not error.strerror:
        return str(error)
    return f"{error.strerror} ({errno.errorcode.get(error.errno, error.errno)})"


class Listener:
    """Accepts on ``sock`` for the loop of ``native``, whose driver serves
    every connection."""

    def __init__(
        self,
        native: NativeServing,
        sock: socket.socket,
        *,
        ssl_context: ssl.SSLContext | None,
        backlog: int,
    ) -> None:
        self._loop = native.loop
        self._native = native
        self._sock = sock
        self._ssl = ssl_context
        self._backlog = backlog
        self._proxy_protocol = native.state.config.proxy_protocol
        self._head_timeout = native.state.config.head_timeout
        # Accepted sockets not yet served: a TLS handshake or a PROXY header is due.
        self._connecting: dict[socket.socket, asyncio.Task[None]] = {}
        self._failing: RecurringCondition | None = None
        self._delay = _RETRY_FIRST
        self._retry: asyncio.TimerHandle | None = None
        self._settle: asyncio.TimerHandle | None = None
        self._closed = False

    def start(self) -> None:
        self._sock.setblocking(False)
        self._sock.listen(self._backlog)
        self._loop.add_reader(self._sock, self._accept)

    def close(self) -> None:
        """Stops accepting and closes the listening socket; no callback of
        the listener runs after this. Open connections are left alone."""
        if self._closed:
            return
        self._closed = True
        if self._retry is None:
            self._loop.remove_reader(self._sock)
        for timer in (self._retry, self._settle):
            if timer is not None:
                timer.cancel()
        self._retry = self._settle = None
        if self._failing is not None:
            self._failing.clear(self, quietly=True)
            self._failing = None
        self._sock.close()

    async def wait_closed(self) -> None:
        """Returns once every connection of the loop is gone."""
        while self._connecting or len(self._native.driver):
            await asyncio.sleep(_CLOSED_POLL)

    def abort_clients(self) -> None:
        """Closes every connection at once, those still being set up too."""
        self._native.driver.abort()
        for task in list(self._connecting.values()):
            task.cancel()

    # --- accepting ------------------------------------------------------------

    def _accept(self) -> None:
        accept = self._sock.accept
        for accepted in range(_ACCEPT_BATCH):
            try:
                conn, peer = accept()
            except BlockingIOError:
                break
            except OSError as error:
                if error.errno in _CONNECTION_ERRORS:
                    continue
                self._back_off(error, accepted > 0)
                return
            proxied = self._proxy_protocol and self._native.driver.expects_proxy_header(address(peer))
            if self._ssl is None and not proxied:
                self._native.adopt(conn)
                continue
            # Eager: the transport is made now, and the task only waits for
            # connection_made (or the TLS handshake, or the PROXY header).
            task = asyncio.Task(self._connect(conn, proxied), loop=self._loop, eager_start=True)
            if not task.done():
                self._connecting[conn] = task
        if self._failing is not None and self._settle is None:
            self._settle = self._loop.call_later(_SETTLED_AFTER, self._settled)

    async def _connect(self, conn: socket.socket, proxied: bool) -> None:
        addresses: Addresses | None = None
        try:
            if proxied:
                conn.setblocking(False)
                try:
                    addresses = await read_proxy_header(self._loop, conn, self._head_timeout)
                except ValueError, EOFError, TimeoutError, OSError, asyncio.CancelledError:
                    # Not a connection this listener may serve: closed without a word.
                    conn.close()
                    return
                if self._ssl is None:
                    self._native.adopt(conn, addresses)
                    return
            await self._loop.connect_accepted_socket(lambda: TlsBridge(self._native, addresses), conn, ssl=self._ssl)
        except asyncio.CancelledError:
            pass  # aborted; the transport, made in the eager first step, closes conn
        except Exception:  # noqa: BLE001 - one connection's failure, said below
            # A client gone or a failed handshake (nobody to tell): the
            # transport has closed conn, and closing it again is harmless; a
            # failure before there was one (say, MemoryError in the bridge)
            # would otherwise leak the descriptor.
            conn.close()
        finally:
            self._connecting.pop(conn, None)

    def _back_off(self, error: OSError, progressed: bool) -> None:
        """Stops reading the listening socket until the retry; some platforms
        (Linux) keep reporting it readable while accept() fails. The delay
        grows only while retries accept nothing: at the edge of the limit,
        where connections close and free descriptors all the time, the next
        retry comes soon."""
        condition = _CONDITIONS.get(error.errno or 0, _ACCEPT_FAILING)
        if self._failing is not condition:
            if self._failing is not None:
                self._failing.clear(self, quietly=True)
            self._failing = condition
        condition.report(self, _describe(error))
        if self._settle is not None:
            self._settle.cancel()
            self._settle = None
        self._loop.remove_reader(self._sock)
        if progressed:
            self._delay = _RETRY_FIRST
        self._retry = self._loop.call_later(self._delay, self._resume)
        self._delay = min(self._delay * 2, _RETRY_LAST)

    def _resume(self) -> None:
        self._retry = None
        self._loop.add_reader(self._sock, self._accept)
        # Accept now rather than at the next readiness: on Linux accept()
        # reports a full descriptor table even with nobody waiting, so the
        # answer tells whether the condition is over.
        self._accept()

    def _settled(self) -> None:
        self._settle = None
        self._delay = _RETRY_FIRST
        if self._failing is not None:
            self._failing.clear(self)
            self._failing = None
