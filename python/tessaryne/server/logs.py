"""The server's two loggers: "tessaryne.server" for what the server does and
"tessaryne.access" for one line per answered request."""

from __future__ import annotations

import logging

__all__ = ["access_logger", "log_access", "server_logger"]

server_logger = logging.getLogger("tessaryne.server")
access_logger = logging.getLogger("tessaryne.access")


def log_access(
    client: tuple[str, int] | None, method: str, target: str, http_version: str, status: int, sent: int
) -> None:
    """One line per answered request; callers skip this when the access log is off."""
    if access_logger.isEnabledFor(logging.INFO):
        peer = f"{client[0]}:{client[1]}" if client else "-"
        access_logger.info('%s "%s %s HTTP/%s" %d %d', peer, method, target, http_version, status, sent)
