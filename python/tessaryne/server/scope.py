"""The engine's event shapes and the ASGI values the server shares.

Scopes are built natively by the connection driver, straight from the parsed
head; a WebSocket session reads the upgrade request's event, whose kinds and
positions are named here once.
"""

from __future__ import annotations

from typing import Any, Final

__all__ = [
    "ASGI_VERSION",
    "BODY_MORE",
    "ERROR_RESPONSE",
    "ERROR_STATUS",
    "EVENT_BODY",
    "EVENT_ERROR",
    "EVENT_REQUEST",
    "EVENT_WS_MESSAGE",
    "MESSAGE_OPCODE",
    "MESSAGE_PAYLOAD",
    "REQUEST_HAS_BODY",
    "REQUEST_HEADERS",
    "REQUEST_KEEP_ALIVE",
    "REQUEST_METHOD",
    "REQUEST_QUERY",
    "REQUEST_RAW_PATH",
    "REQUEST_VERSION",
    "RequestEvent",
    "address",
    "server_address",
]

# (1, method, path, raw path, query, version, headers, keep-alive,
#  connection-upgrade, upgrade value, has-body)
RequestEvent = tuple[int, str, str, bytes, bytes, str, list[tuple[bytes, bytes]], bool, bool, bytes, bool]

# The engine's event kinds, each event's first item.
EVENT_REQUEST: Final = 1
EVENT_BODY: Final = 2
EVENT_WS_MESSAGE: Final = 4
EVENT_ERROR: Final = 5
# Positions in a request event.
REQUEST_METHOD: Final = 1
REQUEST_RAW_PATH: Final = 3
REQUEST_QUERY: Final = 4
REQUEST_VERSION: Final = 5
REQUEST_HEADERS: Final = 6
REQUEST_KEEP_ALIVE: Final = 7
REQUEST_HAS_BODY: Final = 10
# Positions in a body event (data, more to come), a WebSocket message event
# (opcode, fin, payload) and an error event (status, response bytes).
BODY_MORE: Final = 2
MESSAGE_OPCODE: Final = 1
MESSAGE_PAYLOAD: Final = 3
ERROR_STATUS: Final = 1
ERROR_RESPONSE: Final = 2

# Shared by every scope, as asyncio servers commonly do.
ASGI_VERSION = {"version": "3.0", "spec_version": "2.4"}


def address(info: Any) -> tuple[str, int] | None:
    """A socket address as ASGI's client and server: (host, port), or None for other families."""
    return (str(info[0]), int(info[1])) if isinstance(info, tuple) and len(info) >= 2 else None


def server_address(info: Any) -> tuple[str, int | None] | None:
    """The listening end as ASGI's server: (host, port), or (path, None) for a Unix socket."""
    if isinstance(info, str) and info:
        return (info, None)
    return address(info)
