"""Colours in the server's log: the level name of every line and the status
of access lines, when stderr is a terminal or when asked."""

from __future__ import annotations

import io
import logging
import sys

import pytest

from tessaryne.server.config import Config
from tessaryne.server.loading import configure_logging
from tessaryne.server.logs import log_access, server_logger


@pytest.mark.parametrize(("use_colors", "terminal", "coloured"), [
    (None, False, False), (None, True, True), (True, False, True), (False, True, False),
])  # fmt: skip
def test_colours(monkeypatch, use_colors, terminal, coloured):
    stderr = io.StringIO()
    stderr.isatty = lambda: terminal
    monkeypatch.setattr(sys, "stderr", stderr)
    package = logging.getLogger("tessaryne")
    for attribute, value in (("handlers", []), ("level", package.level), ("propagate", package.propagate)):
        monkeypatch.setattr(package, attribute, value)  # as they were, after the test
    monkeypatch.setattr(logging.getLogger("tessaryne.access"), "level", logging.NOTSET)
    # An earlier run in the same process, without access lines: replaced, not added to.
    configure_logging(Config(app="x:y", access_log=False))
    configure_logging(Config(app="x:y", use_colors=use_colors))
    server_logger.warning("disk %s", "full")
    log_access(("10.0.0.1", 5000), "GET", b"/missing", b"", "1.1", 404, 9)
    warning, access = stderr.getvalue().splitlines()
    if coloured:
        assert warning.endswith(" \x1b[33mWARNING\x1b[0m disk full")
        assert access.endswith(' \x1b[32mINFO\x1b[0m 10.0.0.1:5000 "GET /missing HTTP/1.1" \x1b[31m404\x1b[0m 9')
    else:
        assert warning.endswith(" WARNING disk full")
        assert access.endswith(' INFO 10.0.0.1:5000 "GET /missing HTTP/1.1" 404 9')
