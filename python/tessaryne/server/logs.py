"""The server's two loggers: "tessaryne.server" for what the server does and
"tessaryne.access" for one line per answered request."""

from __future__ import annotations

import logging
from typing import Any

__all__ = ["access_logger", "log_access", "server_logger"]

server_logger = logging.getLogger("tessaryne.server")
access_logger = logging.getLogger("tessaryne.access")


def log_access(client: tuple[str, int] | None, request: tuple[Any, ...], status: int, sent: int) -> None:
    """One line per answered request, its target as the engine's request event
    received it; callers skip this when the access log is off."""
    if access_logger.isEnabledFor(logging.INFO):
        peer = f"{client[0]}:{client[1]}" if client else "-"
        query = request[4]
        target = request[3].decode("latin-1") + ("?" + query.decode("latin-1") if query else "")
        access_logger.info('%s "%s %s HTTP/%s" %d %d', peer, request[1], target, request[5], status, sent)
