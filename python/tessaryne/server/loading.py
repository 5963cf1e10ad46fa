"""What the command line and each worker process do alike before serving:
import the application named ``module:attribute``, and set up the log."""

from __future__ import annotations

import importlib
import logging
import sys
from typing import cast

from .asgi import ASGIApp
from .config import AppFactory
from .logs import access_logger, apply_log_config

__all__ = ["UsageError", "configure_logging", "import_app"]


class UsageError(Exception):
    """A mistake in how the server was asked to run, reported as one line."""


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
        raise UsageError(f"importing {module_name!r} raised {type(error).__name__}: {error}") from error
    except Exception as error:
        raise UsageError(f"importing {module_name!r} raised {type(error).__name__}: {error}") from error
    target: object = module
    for part in attribute.split("."):
        try:
            target = getattr(target, part)
        except AttributeError:
            raise UsageError(f"module {module_name!r} has no attribute {attribute!r}") from None
    if not callable(target):
        raise UsageError(f"{name} is not callable")
    return cast(ASGIApp | AppFactory, target)


def configure_logging(level: str, access_log: bool, log_config: str | None = None) -> None:
    """The package's loggers write to stderr; the access log is silenced when it
    is off; then a log configuration file, if given, has the last word."""
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(message)s"))
    package_logger = logging.getLogger("tessaryne")
    package_logger.addHandler(handler)
    package_logger.setLevel(level.upper())
    package_logger.propagate = False
    if not access_log:
        access_logger.setLevel(logging.WARNING)
    if log_config is not None:
        try:
            apply_log_config(log_config)
        except ValueError as error:
            raise UsageError(str(error)) from error
