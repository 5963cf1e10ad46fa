"""What the connections of one loop thread share: the settings, the app, the
live connections (for graceful shutdown) and the cached date header."""

from __future__ import annotations

import asyncio
import time
from email.utils import formatdate
from typing import TYPE_CHECKING, Any

from .config import Config

if TYPE_CHECKING:
    from .protocol import HttpProtocol

__all__ = ["LoopState"]


class LoopState:
    """Owned by one loop thread; only that thread touches it."""

    def __init__(self, config: Config, loop: asyncio.AbstractEventLoop, lifespan_state: dict[str, Any]) -> None:
        self.config = config
        self.app = config.app
        self.loop = loop
        # Copied shallowly into every scope's "state", as the lifespan protocol asks.
        self.lifespan_state = lifespan_state
        self.connections: set[HttpProtocol] = set()
        self.shutting_down = False
        self.server_header = b"server: tessaryne\r\n"
        self._date_second = 0
        self._date_header = b""

    @property
    def date_header(self) -> bytes:
        """The date line, rebuilt at most once a second."""
        now = int(time.time())
        if now != self._date_second:
            self._date_second = now
            self._date_header = b"date: " + formatdate(now, usegmt=True).encode("ascii") + b"\r\n"
        return self._date_header
