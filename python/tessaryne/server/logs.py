"""The server's two loggers: "tessaryne.server" for what the server does and
"tessaryne.access" for one line per answered request; and RecurringCondition,
for conditions that would otherwise be logged many times a second."""

from __future__ import annotations

import logging
import threading
import time
from typing import Any, cast

__all__ = [
    "LogFormatter", "RecurringCondition", "access_logger", "apply_log_config", "log_access", "log_access_line",
    "server_logger",
]  # fmt: skip

server_logger = logging.getLogger("tessaryne.server")
access_logger = logging.getLogger("tessaryne.access")

_FORMAT = "%(asctime)s %(levelname)s %(message)s"
# The status as %s, which reads an int as %d does, so that it may be given coloured.
_ACCESS_LINE = '%s "%s %s HTTP/%s" %s %d'
_STATUS_AT = 4  # the position of the status among the access line's arguments

# ANSI colours: of a level name, and of a status by its class.
_LEVEL_COLOURS = {
    logging.DEBUG: "36", logging.INFO: "32", logging.WARNING: "33", logging.ERROR: "31", logging.CRITICAL: "1;31",
}  # fmt: skip
_STATUS_COLOURS = {1: "36", 2: "32", 3: "33", 4: "31", 5: "1;31"}


def _painted(text: str, colour: str | None) -> str:
    return f"\x1b[{colour}m{text}\x1b[0m" if colour else text


class LogFormatter(logging.Formatter):
    """The server's log lines, with the level name in colour when ``colours``,
    and in access lines the status, coloured by its class; with
    ``bare_access`` access lines are written as they are (a format of the
    operator's, or JSON), without the time and the level."""

    def __init__(self, colours: bool, bare_access: bool = False) -> None:
        super().__init__(_FORMAT)
        self.colours = colours
        self.bare_access = bare_access

    def format(self, record: logging.LogRecord) -> str:
        if self.bare_access and record.name == access_logger.name:
            return record.getMessage()
        return super().format(record)

    def formatMessage(self, record: logging.LogRecord) -> str:
        if not self.colours:
            return super().formatMessage(record)
        # A copy of the record's fields: other handlers see the record as it is.
        values = dict(record.__dict__, levelname=_painted(record.levelname, _LEVEL_COLOURS.get(record.levelno)))
        args = record.args
        if record.msg is _ACCESS_LINE and isinstance(args, tuple):
            status = cast(int, args[_STATUS_AT])
            shown = _painted(str(status), _STATUS_COLOURS.get(status // 100))
            values["message"] = _ACCESS_LINE % (*args[:_STATUS_AT], shown, *args[_STATUS_AT + 1 :])
        return _FORMAT % values


def log_access(
    client: tuple[str, int] | None, method: str, raw_path: bytes, query: bytes, version: str, status: int, sent: int
) -> None:
    """One line per answered request, its target as received; callers skip
    this when the access log is off."""
    if access_logger.isEnabledFor(logging.INFO):
        peer = f"{client[0]}:{client[1]}" if client else "-"
        target = raw_path.decode("latin-1") + ("?" + query.decode("latin-1") if query else "")
        access_logger.info(_ACCESS_LINE, peer, method, target, version, status, sent)


def log_access_line(line: str) -> None:
    """An access line rendered natively, in the operator's format or as JSON;
    callers skip this when the access log is off."""
    access_logger.info(line)  # without arguments: taken as it is, never %-formatted


class RecurringCondition:
    """A condition that sources (say, one per loop thread) may report many times
    a second: logged once when it starts, then as a count at most every
    ``interval`` seconds while it lasts, and once when it ends, which is when
    every source that reported it has cleared it. Any thread.

    ``started`` is formatted with the arguments of the first report, ``ongoing``
    with the number of reports since the last line and the seconds they span,
    ``ended`` with the seconds the condition lasted."""

    def __init__(
        self,
        logger: logging.Logger,
        started: str,
        ongoing: str,
        ended: str,
        *,
        level: int = logging.WARNING,
        interval: float = 5.0,
    ) -> None:
        self._logger = logger
        self._started = started
        self._ongoing = ongoing
        self._ended = ended
        self._level = level
        self._interval = interval
        self._lock = threading.Lock()
        self._sources: set[object] = set()
        self._since = 0.0
        self._counted = 0
        self._counted_since = 0.0

    def report(self, source: object, *args: object) -> None:
        """The condition occurred (again) at source."""
        now = time.monotonic()
        message: str | None = None
        with self._lock:
            if not self._sources:
                self._since = self._counted_since = now
                self._counted = 0
                message = self._started
            else:
                self._counted += 1
                if now - self._counted_since >= self._interval:
                    message = self._ongoing
                    args = (self._counted, now - self._counted_since)
                    self._counted = 0
                    self._counted_since = now
            self._sources.add(source)
        # Logged after the lock is let go: a handler may be slow, or report in turn.
        if message is not None:
            self._logger.log(self._level, message, *args)

    def clear(self, source: object, *, quietly: bool = False) -> None:
        """The condition is over at source; with quietly (source stops for
        another reason) its end is not logged, should source be the last."""
        with self._lock:
            if source not in self._sources:
                return
            self._sources.discard(source)
            lasted = None if self._sources or quietly else time.monotonic() - self._since
        if lasted is not None:
            self._logger.log(self._level, self._ended, lasted)


def apply_log_config(path: str) -> None:
    """Configures logging from a file as uvicorn's --log-config does: JSON or
    YAML for logging.config.dictConfig (by the file's suffix), anything else as
    an ini file for fileConfig. Raises ValueError with one line saying why."""
    import importlib
    import json
    import logging.config

    yaml: Any = None
    if path.endswith((".yaml", ".yml")):
        try:
            yaml = importlib.import_module("yaml")
        except ImportError:
            raise ValueError(f"{path}: a YAML log configuration needs PyYAML (pip install pyyaml)") from None
    try:
        if path.endswith(".json"):
            with open(path, encoding="utf-8") as file:
                logging.config.dictConfig(json.load(file))
        elif yaml is not None:
            with open(path, encoding="utf-8") as file:
                logging.config.dictConfig(yaml.safe_load(file))
        else:
            logging.config.fileConfig(path, disable_existing_loggers=False)
    except Exception as error:  # every failure of a user's file is one line
        reason = error.strerror if isinstance(error, OSError) and error.strerror else str(error) or type(error).__name__
        raise ValueError(f"cannot apply the log configuration {path!r}: {reason}") from error
