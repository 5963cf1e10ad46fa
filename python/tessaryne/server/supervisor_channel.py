"""The supervisor channel: the socket pair between a supervising process and
each of its worker processes, and every word said on it.

The supervisor first sends the worker its settings, as one JSON line (see
``settings_line``). From then on each side says one word a line, the rest of
the line being that word's detail:

- worker to supervisor: ``ready`` once every loop listens; ``limit`` once it
  has answered its ``limit_max_requests`` requests; ``failed REASON`` when it
  cannot start, and why, for the operator;
- supervisor to worker: ``stop`` once another worker has taken its place; the
  worker hands over (``HANDOVER_GRACE``).

A channel that closes says that the other side is gone. A word a side does not
know is logged and ignored, never taken for another: a supervisor started
before an upgrade starts its replacements from the files installed now, so
the two ends need not be the same version, and a word added later must
neither stop a worker nor end a run.
"""

from __future__ import annotations

import dataclasses
import json
import socket
import sys
from collections.abc import Sequence
from typing import Any, NamedTuple

from .config import Config
from .logs import server_logger

__all__ = [
    "FAILED",
    "HANDOVER_GRACE",
    "KILL_AFTER",
    "LIMIT",
    "READY",
    "STOP",
    "SupervisorChannel",
    "WorkerSettings",
    "ignore",
    "settings_line",
]

READY = "ready"
LIMIT = "limit"
FAILED = "failed"
STOP = "stop"

# A worker told to stop stops accepting at once, but keeps its connections
# this many seconds before it shuts them down: a client that connected just
# before then still gets its first request answered, not a closed connection.
HANDOVER_GRACE = 0.5
# A worker asked to stop is killed once it has had its grace, the shutdown
# timeout and this much more, for the application's lifespan shutdown.
KILL_AFTER = 5.0


class WorkerSettings(NamedTuple):
    """What a worker is told first."""

    config: dict[str, Any]  # the Config's fields but the application, which the worker imports by app_name
    sockets: list[int]  # the listening sockets' descriptors; loop i accepts on the i-th
    path: list[str]  # the supervisor's import path


def settings_line(config: Config, sockets: Sequence[socket.socket]) -> bytes:
    """The settings every worker of ``config`` is sent, as one line."""
    fields = {f.name: getattr(config, f.name) for f in dataclasses.fields(config) if f.name != "app"}
    settings = WorkerSettings(fields, [sock.fileno() for sock in sockets], sys.path)
    return json.dumps(settings._asdict()).encode() + b"\n"


class SupervisorChannel:
    """One end of the channel: words said a line each, and the lines received,
    a line that arrives in pieces taken once it is whole."""

    def __init__(self, sock: socket.socket) -> None:
        self.socket = sock
        self._partial = b""  # the start of a line still coming

    def fileno(self) -> int:
        """The socket's, so that a selector watches the channel itself."""
        return self.socket.fileno()

    def say(self, word: str, detail: str = "") -> None:
        """Sends ``word``, and its detail on the same line."""
        line = f"{word} {' '.join(detail.split())}" if detail else word
        self.socket.sendall(line.encode() + b"\n")

    def send_settings(self, line: bytes) -> None:
        self.socket.sendall(line)

    def receive_settings(self) -> WorkerSettings:
        """Waits for the settings line, on a blocking socket."""
        while b"\n" not in self._partial:
            data = self.socket.recv(65536)
            if not data:
                raise ConnectionError("the supervisor closed the channel before sending the settings")
            self._partial += data
        line, _, self._partial = self._partial.partition(b"\n")
        settings = WorkerSettings(**json.loads(line))
        # JSON has no tuples; the Config's sequences are tuples.
        return settings._replace(config={name: _tuples(value) for name, value in settings.config.items()})

    def receive(self) -> list[tuple[str, str]] | None:
        """The lines one read completes, as (word, detail); None once the other
        end has closed. A non-blocking socket with nothing to read raises
        BlockingIOError."""
        try:
            data = self.socket.recv(4096)
        except BlockingIOError:
            raise
        except OSError:
            data = b""
        if not data:
            return None
        *lines, self._partial = (self._partial + data).split(b"\n")
        words = [line.decode(errors="replace").partition(" ") for line in lines]
        return [(word, detail) for word, _, detail in words]

    def close(self) -> None:
        self.socket.close()


def _tuples(value: Any) -> Any:
    return tuple(_tuples(item) for item in value) if isinstance(value, list) else value


def ignore(word: str, sender: str) -> None:
    """What a side does with a word it does not know."""
    server_logger.warning("ignored %r from %s, a word this version does not know", word, sender)
