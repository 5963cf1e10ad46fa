"""The entry point of a run: one process serving, or a supervisor of worker
processes, each of which serves."""

from __future__ import annotations

from .config import Config
from .runner import serve
from .workers import supervise

__all__ = ["run"]


def run(config: Config) -> None:
    """Serves until SIGINT or SIGTERM, then shuts down gracefully; a second
    signal closes every connection at once. After ``config.limit_max_requests``
    answered requests it shuts down the same way. With ``config.workers``
    above 1 it supervises that many worker processes instead. Call it from
    the main thread."""
    if config.workers > 1:
        supervise(config)
    else:
        serve(config)
