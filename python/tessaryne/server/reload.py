"""``--reload``: a thread of the supervising process that watches the source
files (with watchfiles) and says when they changed, for the supervisor to
start its serving process anew."""

from __future__ import annotations

import fnmatch
import importlib
import os
import threading
from collections.abc import Callable
from pathlib import PurePath
from typing import Any

from .config import Config
from .loading import UsageError, shown_path
from .logs import server_logger

__all__ = ["ChangeWatcher"]

# Changes are taken together until none has come for the reload delay, at
# most for _DEBOUNCE_MS: an editor writing a file in several steps causes one
# restart.
_DEBOUNCE_MS = 400


class ChangeWatcher:
    """Calls ``changed`` (on its own thread) after each batch of changes to
    the files that ``config`` watches."""

    def __init__(self, config: Config, changed: Callable[[], None]) -> None:
        try:
            self._watchfiles: Any = importlib.import_module("watchfiles")
        except ImportError:
            raise UsageError("--reload needs watchfiles (pip install 'tessaryne[reload]')") from None
        given = config.reload_dirs or (os.curdir,)
        for directory in given:
            if not os.path.isdir(directory):
                raise UsageError(f"cannot watch {directory!r} for changes: not a directory")
        self.directories = [os.path.abspath(d) for d in given]
        self._includes = config.reload_includes
        self._excludes = config.reload_excludes
        self._changed = changed
        self._step_ms = max(1, round(config.reload_delay * 1000))
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._watch, name="tessaryne-reload", daemon=True)

    def start(self) -> None:
        server_logger.info(
            "watching %s for changes to %s, except %s",
            ", ".join(self.directories),
            " ".join(self._includes),
            " ".join(self._excludes) or "nothing",
        )
        self._thread.start()

    def stop(self) -> None:
        self._stop.set()
        if self._thread.ident is not None:  # started
            self._thread.join()

    def watched(self, path: str) -> bool:
        """Whether a change to the file at ``path`` counts."""
        for directory in self.directories:
            if os.path.commonpath((directory, path)) == directory:
                relative = PurePath(os.path.relpath(path, directory))
                break
        else:
            return False
        if any(_matches(relative, part, p) for p in self._excludes for part in relative.parts):
            return False
        return any(_matches(relative, relative.name, p) for p in self._includes)

    def _watch(self) -> None:
        changes = self._watchfiles.watch(
            *self.directories,
            watch_filter=lambda change, path: self.watched(path),
            debounce=max(_DEBOUNCE_MS, self._step_ms),
            step=self._step_ms,
            stop_event=self._stop,
            raise_interrupt=False,
        )
        for batch in changes:
            paths = sorted({shown_path(path) for _, path in batch})
            server_logger.info("%s changed; restarting", ", ".join(paths))
            self._changed()


def _matches(relative: PurePath, name: str, pattern: str) -> bool:
    """A glob matches a name, or with a "/" in it the path below the watched directory."""
    if "/" in pattern:
        return relative.full_match(pattern)
    return fnmatch.fnmatchcase(name, pattern)
