"""ASGI scopes built from the engine's request event.

The engine has already split the head; this only arranges its items the way
ASGI applications read them. The one transformation is percent-decoding the
path, which ASGI asks for and the engine leaves alone.
"""

from __future__ import annotations

from typing import Any, Final
from urllib.parse import unquote

from .state import LoopState

__all__ = [
    "ASGI_VERSION", "address", "BODY_DATA", "BODY_MORE", "ERROR_RESPONSE", "ERROR_STATUS", "EVENT_BODY", "EVENT_ERROR", "EVENT_REQUEST",
    "EVENT_WS_MESSAGE", "REQUEST_HEADERS", "REQUEST_UPGRADE", "REQUEST_UPGRADE_TO", "REQUEST_VERSION",
    "RequestEvent", "http_scope", "websocket_scope",
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
REQUEST_VERSION: Final = 5
REQUEST_HEADERS: Final = 6
REQUEST_UPGRADE: Final = 8
REQUEST_UPGRADE_TO: Final = 9
# Positions in a body event (data, more to come) and an error event (status, response bytes).
BODY_DATA: Final = 1
BODY_MORE: Final = 2
ERROR_STATUS: Final = 1
ERROR_RESPONSE: Final = 2

ASGI_VERSION = {"version": "3.0", "spec_version": "2.4"}


def address(info: Any) -> tuple[str, int] | None:
    """A socket address as ASGI's client and server: (host, port), or None for other families."""
    return (str(info[0]), int(info[1])) if isinstance(info, tuple) and len(info) >= 2 else None


def _decoded(path: str) -> str:
    return unquote(path) if "%" in path else path


def http_scope(
    request: RequestEvent,
    state: LoopState,
    client: tuple[str, int] | None,
    server: tuple[str, int] | None,
    tls: bool,
) -> dict[str, Any]:
    root_path = state.config.root_path
    return {
        "type": "http",
        "asgi": ASGI_VERSION,
        "http_version": request[5],
        "method": request[1],
        "scheme": "https" if tls else "http",
        "path": root_path + _decoded(request[2]),
        "raw_path": request[3],
        "query_string": request[4],
        "root_path": root_path,
        "headers": request[6],
        "client": client,
        "server": server,
        "state": state.lifespan_state.copy(),
    }


def websocket_scope(
    request: RequestEvent,
    state: LoopState,
    client: tuple[str, int] | None,
    server: tuple[str, int] | None,
    tls: bool,
) -> dict[str, Any]:
    scope = http_scope(request, state, client, server, tls)
    del scope["method"]
    subprotocols: list[str] = []
    for name, value in request[6]:
        if name == b"sec-websocket-protocol":
            subprotocols.extend(p.strip() for p in value.decode("latin-1").split(",") if p.strip())
    scope.update(type="websocket", scheme="wss" if tls else "ws", subprotocols=subprotocols)
    return scope
