"""Runs an ASGI application on the server in this process, on a free port,
for tests that drive it with real clients."""

from __future__ import annotations

import contextlib
from collections.abc import Iterator
from typing import Any

from tessaryne.server.asgi import ASGIApp
from tessaryne.server.config import Config
from tessaryne.server.runner import Server


@contextlib.contextmanager
def serve(app: ASGIApp, **options: Any) -> Iterator[int]:
    """Yields the port once every loop thread listens; stops the server after."""
    server = Server(Config(app=app, port=0, **options))
    server.start()
    try:
        yield server.port
    finally:
        server.stop()
