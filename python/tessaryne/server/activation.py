"""systemd socket activation: the listening sockets a service manager opened
for this process and passed to it as descriptors 3, 4, ..., announced by
LISTEN_FDS (how many), LISTEN_PID (for which process) and LISTEN_FDNAMES
(their names, colon-separated; FileDescriptorName= in the socket unit).

The variables are read once and removed from the environment, as
sd_listen_fds(3) does, so that a child process (a worker, or one the
application starts) never takes them for its own. Variables meant for
another process (LISTEN_PID is not ours) pass no descriptors."""

from __future__ import annotations

import os
from collections.abc import MutableMapping
from dataclasses import dataclass

__all__ = ["ActivationError", "LISTEN_FDS_START", "PassedDescriptor", "passed_descriptors"]

# The first descriptor systemd passes; the others follow it.
LISTEN_FDS_START = 3


class ActivationError(ValueError):
    """The variables say something impossible; the message is one line for the operator."""


@dataclass(frozen=True, slots=True)
class PassedDescriptor:
    fd: int
    name: str  # "" when LISTEN_FDNAMES gives none


def _number(name: str, text: str, what: str) -> int:
    if not (text.isascii() and text.isdigit()):
        raise ActivationError(f"socket activation: {name} is {text!r}, not {what}")
    return int(text)


def passed_descriptors(environ: MutableMapping[str, str] = os.environ) -> list[PassedDescriptor]:
    """The descriptors passed to this process, in order; [] when none are."""
    count_text = environ.pop("LISTEN_FDS", None)
    pid_text = environ.pop("LISTEN_PID", None)
    names_text = environ.pop("LISTEN_FDNAMES", None)
    if count_text is None or pid_text is None:
        return []
    if _number("LISTEN_PID", pid_text, "a process id") != os.getpid():
        return []
    count = _number("LISTEN_FDS", count_text, "a number of descriptors")
    names = names_text.split(":") if names_text else [""] * count
    if len(names) != count:
        raise ActivationError(f"socket activation: LISTEN_FDNAMES names {len(names)} descriptors, LISTEN_FDS passes {count}")
    return [PassedDescriptor(LISTEN_FDS_START + i, name) for i, name in enumerate(names)]
