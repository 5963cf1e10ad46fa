"""Colours in the server's log: the level name of every line and the status
of access lines, when stderr is a terminal or when asked, never over a
--log-config's formatters."""

from __future__ import annotations

import io
import json
import logging
import sys

import pytest

from tessaryne.server.config import Config
from tessaryne.server.loading import configure_logging
from tessaryne.server.logs import log_access, server_logger


class Stderr(io.StringIO):
    def __init__(self, terminal: bool) -> None:
        super().__init__()
        self.terminal = terminal

    def isatty(self) -> bool:
        return self.terminal


@pytest.fixture
def package_logger():
    """The package's logger, as configure_logging leaves it, put back afterwards."""
    logger = logging.getLogger("tessaryne")
    saved = logger.handlers[:], logger.level, logger.propagate
    yield logger
    logger.handlers[:], logger.level, logger.propagate = saved[0], saved[1], saved[2]


@pytest.mark.parametrize(("use_colors", "terminal", "log_config", "coloured"), [
    (None, False, False, False),
    (None, True, False, True),
    (True, False, False, True),
    (False, True, False, False),
    (True, True, True, False),  # the configuration file's formatter writes the lines
])  # fmt: skip
def test_colours(monkeypatch, tmp_path, package_logger, use_colors, terminal, log_config, coloured):
    stderr = Stderr(terminal)
    monkeypatch.setattr(sys, "stderr", stderr)
    config_file = None
    if log_config:
        config_file = tmp_path / "log.json"
        config_file.write_text(json.dumps({
            "version": 1, "disable_existing_loggers": False,
            "formatters": {"plain": {"format": "CUSTOM %(levelname)s %(message)s"}},
            "handlers": {"err": {"class": "logging.StreamHandler", "formatter": "plain", "stream": "ext://sys.stderr"}},
            "loggers": {"tessaryne": {"handlers": ["err"], "level": "INFO", "propagate": False}},
        }))  # fmt: skip
    configure_logging(Config(app="x:y", use_colors=use_colors, log_config=config_file and str(config_file)))
    server_logger.warning("disk %s", "full")
    log_access(("10.0.0.1", 5000), "GET", b"/missing", b"", "1.1", 404, 9)
    warning, access = stderr.getvalue().splitlines()
    if coloured:
        assert warning.endswith(" \x1b[33mWARNING\x1b[0m disk full")
        assert access.endswith(' \x1b[32mINFO\x1b[0m 10.0.0.1:5000 "GET /missing HTTP/1.1" \x1b[31m404\x1b[0m 9')
    else:
        prefix = "CUSTOM " if log_config else ""
        assert f"{prefix}WARNING disk full" in warning and "\x1b" not in warning + access
        assert access.endswith(f'{prefix}INFO 10.0.0.1:5000 "GET /missing HTTP/1.1" 404 9')
