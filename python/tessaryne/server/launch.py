"""The entry point of a run: one process serving, or a supervisor of worker
processes (or, with reload, of one, started anew on changes), each of which serves."""

from __future__ import annotations

from .config import Config
from .loading import imported, prepare_import
from .runner import event_loop_class, serve
from .workers import supervise

__all__ = ["run"]


def run(config: Config) -> None:
    """Serves until SIGINT or SIGTERM, then shuts down gracefully; a second
    signal closes every connection at once. After ``config.limit_max_requests``
    answered requests it shuts down the same way. With ``config.workers``
    above 1, or workers to recycle, it supervises that many worker processes
    instead, and with ``config.reload`` one, replaced whenever the watched
    files change. Call it from the main thread."""
    # Before anything is imported, here or in a worker (which inherits the
    # environment and is sent the import path): an env file that cannot be
    # read fails the run at once, also with reload.
    prepare_import(config)
    event_loop_class(config)  # an unavailable loop is reported before any process starts
    if config.reload:
        # Nothing of the application is imported here: the server process
        # imports it, anew after each change.
        supervise(config)
    elif config.supervised:
        # Imported here too, so that a name that does not import is reported before any worker starts.
        supervise(imported(config))
    else:
        serve(config)
