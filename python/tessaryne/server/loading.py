"""What the command line and each worker process do alike before serving:
prepare the import (the environment file, the application's directory),
import the application named ``module:attribute``, and set up the log."""

from __future__ import annotations

import dataclasses
import importlib
import logging
import os
import re
import sys
import traceback
from typing import cast

from .asgi import ASGIApp
from .config import AppFactory, Config, UsageError
from .logs import LogFormatter, access_logger, apply_log_config

__all__ = ["UsageError", "configure_logging", "import_app", "imported", "prepare_import", "read_env_file", "shown_path"]


def import_app(name: str) -> ASGIApp | AppFactory:
    """The object ``module:attribute`` names; the attribute may be a dotted path."""
    module_name, _, attribute = name.partition(":")
    if not module_name or not attribute:
        raise UsageError(f"the application must be given as module:attribute, not {name!r}")
    try:
        module = importlib.import_module(module_name)
    except ModuleNotFoundError as error:
        missing = error.name or ""
        if module_name == missing or module_name.startswith(missing + "."):
            raise UsageError(f"cannot import {module_name!r}: no module named {missing!r}") from error
        raise UsageError(f"importing {module_name!r} raised {_failure(error)}") from error
    except Exception as error:
        raise UsageError(f"importing {module_name!r} raised {_failure(error)}") from error
    target: object = module
    for part in attribute.split("."):
        try:
            target = getattr(target, part)
        except AttributeError:
            raise UsageError(f"module {module_name!r} has no attribute {attribute!r}") from None
    if not callable(target):
        raise UsageError(f"{name} is not callable")
    return cast(ASGIApp | AppFactory, target)


_ENV_LINE = re.compile(r"(?:export\s+)?([A-Za-z_][A-Za-z0-9_]*)\s*=\s*(.*)")
_ESCAPES = {"n": "\n", "t": "\t", "r": "\r", '"': '"', "\\": "\\"}


def read_env_file(path: str) -> dict[str, str]:
    """KEY=VALUE lines (optionally led by ``export``), blank lines and ``#``
    comments. A value in single quotes is taken as it is; one in double
    quotes knows the escapes \\n \\t \\r \\" \\\\; an unquoted one ends at a
    `` #`` comment and loses its surrounding blanks. No expansion of $NAME."""
    try:
        with open(path, encoding="utf-8") as file:
            lines = file.read().splitlines()
    except (OSError, UnicodeDecodeError) as error:
        reason = error.strerror if isinstance(error, OSError) and error.strerror else str(error)
        raise UsageError(f"cannot read --env-file {path!r}: {reason}") from error
    values: dict[str, str] = {}
    for number, line in enumerate(lines, 1):
        text = line.strip()
        if not text or text.startswith("#"):
            continue
        match = _ENV_LINE.fullmatch(text)
        if match is None:
            raise UsageError(f"--env-file {path!r}, line {number}: expected KEY=VALUE, not {text!r}")
        key, value = match[1], match[2]
        if value[:1] in ("'", '"'):
            quote = value[0]
            end = value.find(quote, 1) if quote == "'" else _closing_quote(value)
            rest = value[end + 1 :].strip() if end > 0 else ""
            if end < 0 or (rest and not rest.startswith("#")):
                raise UsageError(f"--env-file {path!r}, line {number}: unterminated or misplaced {quote} in {key}")
            value = value[1:end]
            if quote == '"':
                value = re.sub(r"\\(.)", lambda m: _ESCAPES.get(m[1], m[0]), value)
        else:
            value = re.split(r"\s#", value, maxsplit=1)[0].strip()
        values[key] = value
    return values


def _closing_quote(value: str) -> int:
    """Where the double-quoted value that ``value`` begins ends, skipping escaped characters; -1 if it does not."""
    index = 1
    while index < len(value):
        if value[index] == "\\":
            index += 2
        elif value[index] == '"':
            return index
        else:
            index += 1
    return -1


def _failure(error: BaseException) -> str:
    """An exception raised by an import, and where: the offending line of a
    syntax error, else the innermost frame outside the import machinery."""
    if isinstance(error, SyntaxError):
        text, filename, line = f"{type(error).__name__}: {error.msg}", error.filename, error.lineno
    else:
        text = f"{type(error).__name__}: {error}"
        frames = [f for f in traceback.extract_tb(error.__traceback__) if not f.filename.startswith("<frozen ")]
        filename, line = (frames[-1].filename, frames[-1].lineno) if frames else (None, None)
    return text if not filename or line is None else f"{text} ({shown_path(filename)}, line {line})"


def shown_path(path: str) -> str:
    """A path for the log: relative to the current directory when under it."""
    relative = os.path.relpath(path)
    return path if relative.startswith("..") else relative


def prepare_import(config: Config) -> None:
    """What the application is imported under: the variables of
    ``config.env_file`` set (those already set keep their values), and
    ``config.app_dir`` first on the import path. A run comes here more than
    once (the command, then the server; a supervisor, then each worker), and
    the second time finds it done."""
    if config.env_file is not None:
        for key, value in read_env_file(config.env_file).items():
            os.environ.setdefault(key, value)
    if config.app_dir:
        # Absolute, so that worker processes, which are sent this path, find it too.
        directory = os.path.abspath(config.app_dir)
        if sys.path[:1] != [directory]:
            sys.path.insert(0, directory)


def imported(config: Config) -> Config:
    """``config`` with its application imported, if it was given by name,
    under what ``prepare_import`` sets."""
    prepare_import(config)
    if not isinstance(config.app, str):
        return config
    return dataclasses.replace(config, app=import_app(config.app), app_name=config.app_name or config.app)


# The handler configure_logging installed last: the next call replaces it, so
# that a second run in one process does not write every line twice.
_installed: logging.Handler | None = None


def configure_logging(config: Config) -> None:
    """The package's loggers write to stderr, the level name and an access
    line's status in colour if config.use_colors says so (None: when stderr is
    a terminal); the access log is silenced when it is off; then a log
    configuration file, if given, has the last word."""
    handler = logging.StreamHandler(sys.stderr)
    colours = config.use_colors if config.use_colors is not None else sys.stderr.isatty()
    handler.setFormatter(LogFormatter(colours, bare_access=config.native_access_log))
    package_logger = logging.getLogger("tessaryne")
    global _installed
    if _installed is not None:
        package_logger.removeHandler(_installed)
    _installed = handler
    package_logger.addHandler(handler)
    package_logger.setLevel(config.log_level.upper())
    package_logger.propagate = False
    access_logger.setLevel(logging.NOTSET if config.access_log else logging.WARNING)
    if config.log_config is not None:
        try:
            apply_log_config(config.log_config)
        except ValueError as error:
            raise UsageError(str(error)) from error
