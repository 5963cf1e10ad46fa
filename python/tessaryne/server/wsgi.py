"""WSGI applications, each call on a worker thread of the executor.

The driver serves the connection as for ASGI and builds each request's
environ natively; ``serve`` hands the call to a worker, which runs the
application and its body through the call's native methods: the body's
pieces go to the loop, which writes them, and ``wsgi.input`` reads what the
loop received. A loop thread never runs the application and never blocks.
"""

from __future__ import annotations

import inspect
import logging
import threading
from collections.abc import Callable, Iterable, Iterator
from typing import IO, Any, Protocol

from .. import __version__
from ..executor import WorkerPoolExecutor
from .app_errors import note_app_error
from .config import Config
from .logs import server_logger

__all__ = ["FileWrapper", "WsgiApp", "environ_template", "is_wsgi_app", "serve_calls", "serves_wsgi"]

WsgiApp = Callable[[dict[str, Any], Callable[..., Callable[[bytes], None]]], Iterable[bytes]]


class WsgiCall(Protocol):
    """What the driver's native call object offers a worker."""

    def start_response(self, status: str, headers: list[tuple[str, str]], exc_info: Any = None, /) -> Any: ...
    def send(self, body: Iterable[bytes], /) -> None: ...
    def fail(self) -> bool: ...


class FileWrapper:
    """``wsgi.file_wrapper``: a file the server sends with sendfile(2) when it
    has a descriptor, else by reading ``blksize`` bytes at a time."""

    def __init__(self, filelike: IO[bytes], blksize: int = 8192) -> None:
        self.filelike = filelike
        self.blksize = blksize
        if hasattr(filelike, "close"):
            self.close = filelike.close

    def __iter__(self) -> Iterator[bytes]:
        return self

    def __next__(self) -> bytes:
        data = self.filelike.read(self.blksize)
        if data:
            return data
        raise StopIteration


class _ErrorStream:
    """``wsgi.errors``: what an application writes goes to the server's log,
    a line at a time."""

    def __init__(self, logger: logging.Logger) -> None:
        self._logger = logger

    def write(self, text: str) -> int:
        for line in text.splitlines():
            if line.strip():
                self._logger.error("%s", line)
        return len(text)

    def writelines(self, lines: Iterable[str]) -> None:
        for line in lines:
            self.write(line)

    def flush(self) -> None:
        pass


def is_wsgi_app(app: object) -> bool:
    """Whether ``app`` is a plain callable of two arguments (environ,
    start_response), not an ASGI application of three."""
    if inspect.iscoroutinefunction(app) or inspect.iscoroutinefunction(getattr(app, "__call__", None)):
        return False
    try:
        signature = inspect.signature(app)  # type: ignore[arg-type]  # any callable, checked here
    except TypeError, ValueError:
        return False
    try:
        signature.bind(None, None)
    except TypeError:
        return False
    try:
        signature.bind(None, None, None)
    except TypeError:
        return True
    return False


_detected = threading.Lock()
_said: list[bool] = []


def serves_wsgi(config: Config, app: object) -> bool:
    """Whether ``app`` is served as a WSGI application; one log line, once a
    process, when ``interface="auto"`` found it one."""
    if config.interface != "auto":
        return config.interface == "wsgi"
    if not is_wsgi_app(app):
        return False
    with _detected:
        if not _said:
            _said.append(True)
            server_logger.info(
                "Serving a WSGI application (a callable of two arguments), its calls on %d executor threads",
                config.executor_threads,
            )
    return True


def environ_template(config: Config) -> dict[str, Any]:
    """What every environ of a run starts from; the driver fills in the request's variables."""
    return {
        "SCRIPT_NAME": config.root_path,
        "SERVER_SOFTWARE": f"tessaryne/{__version__}",
        "wsgi.version": (1, 0),
        "wsgi.multithread": True,
        "wsgi.multiprocess": config.workers > 1,
        "wsgi.run_once": False,
        "wsgi.errors": _ERRORS,
        "wsgi.file_wrapper": FileWrapper,
    }


_ERRORS = _ErrorStream(server_logger)


def _call(app: WsgiApp, environ: dict[str, Any], call: WsgiCall) -> None:
    body: Iterable[bytes] | None = None
    try:
        body = app(environ, call.start_response)
        call.send(body)
    except BaseException as error:  # noqa: BLE001 - whatever the application raises is answered and logged
        if call.fail():
            server_logger.error("Exception in WSGI application", exc_info=error)
            note_app_error(error)
        else:
            # A client going away is not an application error.
            server_logger.debug("WSGI application raised after its client went away", exc_info=error)
    finally:
        close = getattr(body, "close", None)
        if close is not None:
            try:
                close()
            except Exception as error:  # noqa: BLE001 - logged; the response is out or cut already
                server_logger.error("Exception closing a WSGI response", exc_info=error)


def serve_calls(app: WsgiApp, executor: WorkerPoolExecutor) -> Callable[[dict[str, Any], WsgiCall], None]:
    """What the driver calls with each request's environ and call: the call
    runs on one of the executor's workers."""
    run_soon = executor.run_soon

    def serve(environ: dict[str, Any], call: WsgiCall) -> None:
        run_soon(_call, app, environ, call)

    return serve
