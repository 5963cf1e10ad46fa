"""Loop threads, listening sockets, lifespan, signals and graceful shutdown.

Every loop thread runs its own event loop and accepts on its own socket; the
sockets share one address through SO_REUSEPORT, so the kernel spreads new
connections over the loops. Where the platform lacks SO_REUSEPORT every loop
accepts on the same listening socket instead. All loops share one executor as
their default, so ``asyncio.to_thread`` and ``run_in_executor(None, ...)`` from
any of them run on the same worker threads.

With ``config.workers`` above 1 (or workers to recycle), ``run`` supervises
worker processes instead (workers.py); each of them serves through ``serve``
here, on the sockets its supervisor made.
"""

from __future__ import annotations

import asyncio
import contextlib
import dataclasses
import errno
import logging
import os
import random
import selectors
import signal
import socket
import ssl
import stat
import threading
import time
from collections.abc import Callable
from concurrent.futures import Executor
from types import FrameType
from typing import Any, cast

from .._tessaryne_core import ServerCounters
from ..executor import WorkerPoolEventLoop, WorkerPoolExecutor, uvloop_worker_pool_loop
from . import activation
from .asgi import ASGIApp
from .config import AppFactory, Config
from .driver import NativeServing
from .lifespan import Lifespan, LifespanFailure
from .listener import Listener
from .loading import imported
from .logs import server_logger
from .metrics import Metrics
from .state import LoopState, RequestCount
from .supervisor_channel import HANDOVER_GRACE, LIMIT, READY, STOP, SupervisorChannel, ignore
from .wsgi import serves_wsgi

__all__ = [
    "Server",
    "StartupError",
    "bound_sockets",
    "event_loop_class",
    "listening_text",
    "open_listener",
    "remove_socket_file",
    "serve",
]

_SUPERVISOR_GONE = "the supervisor is gone"


class StartupError(RuntimeError):
    """The server could not start; the message says why, for the operator."""


# The executor's workers run nicer than the loop threads: a loop does little
# per request, and a worker it wakes (a WSGI call, run_in_executor) would
# otherwise take its core at once, one switch per request where one per
# batch will do; loops wait for the workers' results, so workers still get
# what the loops leave.
EXECUTOR_NICENESS = 5


def event_loop_class(config: Config) -> Callable[[], asyncio.AbstractEventLoop]:
    """What every loop thread runs: uvloop's loop with "uvloop", and with
    "auto" where uvloop is installed; else asyncio's. Both take the executor's
    results in batches."""
    if config.loop != "asyncio":
        try:
            return uvloop_worker_pool_loop()
        except ImportError:
            if config.loop == "uvloop":
                raise StartupError("--loop uvloop needs uvloop installed (pip install uvloop)") from None
    return WorkerPoolEventLoop


def _address_text(host: str, port: int) -> str:
    return f"[{host}]:{port}" if ":" in host else f"{host}:{port}"


def _allow_reuse_port(sock: socket.socket) -> bool:
    if not hasattr(socket, "SO_REUSEPORT"):
        return False
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
    except OSError:
        return False
    return True


def listening_sockets(host: str, port: int, count: int) -> list[socket.socket]:
    """``count`` sockets bound to host:port, one per loop. Port 0: the first
    socket gets a free port and the others join it."""
    try:
        family, kind, proto, _, address = socket.getaddrinfo(
            host, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE
        )[0]
    except OSError as error:
        raise StartupError(f"cannot resolve {host!r}: {error.strerror or error}") from error
    sockets: list[socket.socket] = []
    try:
        if hasattr(socket, "SO_REUSEPORT"):
            # A plain bind first: SO_REUSEPORT sockets would otherwise join a port
            # another server (even another of ours) already listens on.
            with socket.socket(family, kind, proto) as probe:
                probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                probe.bind(address)
                address = probe.getsockname()
        first = socket.socket(family, kind, proto)
        sockets.append(first)
        first.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if not _allow_reuse_port(first):
            first.bind(address)
            return _shared(first, count)
        first.bind(address)
        address = first.getsockname()
        for _ in range(count - 1):
            sock = socket.socket(family, kind, proto)
            sockets.append(sock)
            # SO_REUSEADDR too: without it, the TIME-WAIT entries of connections
            # a previous run closed would keep a restart off the port for a minute.
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
            sock.bind(address)
    except OSError as error:
        for sock in sockets:
            sock.close()
        raise StartupError(f"cannot listen on {_address_text(host, port)}: {error.strerror or error}") from error
    return sockets


def _shared(sock: socket.socket, count: int) -> list[socket.socket]:
    """One listening socket, a descriptor of it for every loop to close on its own."""
    return [sock, *(sock.dup() for _ in range(count - 1))]


def unix_socket(path: str, perms: int | None) -> socket.socket:
    """A socket bound to the Unix socket file ``path``, which is replaced when
    a previous run left it behind, but not while a server still answers there."""
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        with contextlib.suppress(FileNotFoundError):
            if stat.S_ISSOCK(os.stat(path).st_mode):
                with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as probe:
                    probe.settimeout(5)  # a live server with a full backlog answers late, not never
                    try:
                        probe.connect(path)
                    except ConnectionRefusedError:
                        os.unlink(path)
                    else:
                        raise OSError(errno.EADDRINUSE, os.strerror(errno.EADDRINUSE))
        sock.bind(path)
        # Before listen(), so no client connects under the umask's mode.
        if perms is not None:
            os.chmod(path, perms)
    except OSError as error:
        sock.close()
        raise StartupError(f"cannot listen on unix:{path}: {error.strerror or error}") from error
    return sock


def inherited_socket(fd: int) -> socket.socket:
    """The stream socket open as descriptor ``fd``, from whoever started us."""
    try:
        sock = socket.socket(fileno=fd)
    except OSError as error:
        raise StartupError(f"cannot serve on descriptor {fd}: {error.strerror or error}") from error
    if sock.type != socket.SOCK_STREAM:
        sock.detach()  # not ours to close
        raise StartupError(f"cannot serve on descriptor {fd}: not a stream socket")
    sock.set_inheritable(False)  # for the application's child processes, as our own sockets are
    return sock


# Whether this process serves sockets systemd passed it: the log then names their own addresses.
_activated = False


def activated_sockets(config: Config) -> list[socket.socket]:
    """The listening sockets systemd passed this process (activation.py), each
    checked as --fd's is, and said in one log line; [] when it passed none."""
    global _activated
    try:
        passed = activation.passed_descriptors()
    except activation.ActivationError as error:
        raise StartupError(str(error)) from None
    sockets: list[socket.socket] = []
    try:
        for descriptor in passed:
            sockets.append(inherited_socket(descriptor.fd))
    except StartupError as error:
        for sock in sockets:
            sock.close()
        raise StartupError(f"socket activation: {error}") from None
    if sockets:
        _activated = True
        server_logger.info(
            "serving the sockets systemd passed: %s",
            ", ".join(
                f"descriptor {d.fd}{f' ({d.name})' if d.name else ''} on {listening_text(config, sock)}"
                for d, sock in zip(passed, sockets, strict=True)
            ),
        )
    return sockets


def bound_sockets(config: Config) -> list[socket.socket]:
    """A bound socket for every loop: on config.uds, config.fd, the sockets
    systemd passed, or host and port. Of several passed sockets each is
    served by at least one loop, the loops taking them in turn."""
    count = max(1, config.threads)
    if config.uds is not None:
        return _shared(unix_socket(config.uds, config.uds_perms), count)
    if config.fd is not None:
        return _shared(inherited_socket(config.fd), count)
    if passed := activated_sockets(config):
        loops = max(count, len(passed))
        return [*passed, *(passed[i % len(passed)].dup() for i in range(len(passed), loops))]
    return listening_sockets(config.host, config.port, count)


def remove_socket_file(config: Config) -> None:
    """The Unix socket file goes with the server that made it."""
    if config.uds is not None:
        with contextlib.suppress(OSError):
            os.unlink(config.uds)


def listening_text(config: Config, sock: socket.socket) -> str:
    """Where the server listens, for the log: http://host:port, or unix:path."""
    name = sock.getsockname()
    if sock.family == socket.AF_UNIX:
        return f"unix:{name}"
    host = config.host if config.fd is None and not _activated else name[0]
    return f"{'https' if config.is_tls else 'http'}://{_address_text(host, name[1])}"


def open_listener(
    state: LoopState, sock: socket.socket, ssl_context: ssl.SSLContext | None
) -> tuple[Listener, NativeServing]:
    """Starts serving ``sock`` on the state's loop, from the loop's thread."""
    native = NativeServing(state)
    listener = Listener(native, sock, ssl_context=ssl_context, backlog=state.config.backlog)
    listener.start()
    return listener, native


class _LoopThread:
    """One thread, its event loop and its listening socket."""

    def __init__(
        self,
        index: int,
        config: Config,
        sock: socket.socket,
        ssl_context: ssl.SSLContext | None,
        executor: Executor,
        new_loop: Callable[[], asyncio.AbstractEventLoop],
        requests: RequestCount | None,
        counters: ServerCounters | None = None,
        concurrency: ServerCounters | None = None,
    ) -> None:
        self.config = config
        self.counters = counters
        self.concurrency = concurrency
        self.sock = sock
        self.ssl_context = ssl_context
        self.executor = executor
        self.new_loop = new_loop
        self.requests = requests
        self.thread = threading.Thread(target=self._run, name=f"tessaryne-loop-{index}", daemon=True)
        # Set once the loop listens or has failed to; error tells which.
        self.ready = threading.Event()
        self.finished = threading.Event()
        self.error: BaseException | None = None
        self._loop: asyncio.AbstractEventLoop | None = None
        self._stop_requested: asyncio.Event | None = None
        self._force_requested: asyncio.Event | None = None
        self._grace = 0.0

    def request_stop(self, grace: float) -> None:
        self._grace = grace
        self._call_threadsafe(self._stop_requested)

    def request_force(self) -> None:
        self._call_threadsafe(self._force_requested)

    def _call_threadsafe(self, event: asyncio.Event | None) -> None:
        if self._loop is None or event is None or self.finished.is_set():
            return
        with contextlib.suppress(RuntimeError):  # the loop closed meanwhile
            self._loop.call_soon_threadsafe(event.set)

    def _run(self) -> None:
        loop = self.new_loop()
        asyncio.set_event_loop(loop)
        loop.set_default_executor(self.executor)
        try:
            loop.run_until_complete(self._serve(loop))
        except BaseException as error:  # noqa: BLE001 - a loop that fails ends alone, and says so
            server_logger.error("%s failed", self.thread.name, exc_info=error)
            self.error = self.error or error
        finally:
            try:
                _cancel_remaining_tasks(loop)
                loop.run_until_complete(loop.shutdown_asyncgens())
            finally:
                asyncio.set_event_loop(None)
                loop.close()
                self.sock.close()
                self.ready.set()
                self.finished.set()

    async def _serve(self, loop: asyncio.AbstractEventLoop) -> None:
        self._stop_requested = asyncio.Event()
        self._force_requested = asyncio.Event()
        self._loop = loop
        lifespan: Lifespan | None = None
        try:
            app = _loop_app(self.config)
            # WSGI has no lifespan.
            lifespan = Lifespan(app, "off" if serves_wsgi(self.config, app) else self.config.lifespan)
            await lifespan.startup()
            state = LoopState(self.config, loop, lifespan.state, app, self.requests)
            state.executor = self.executor if isinstance(self.executor, WorkerPoolExecutor) else None
            state.counters = self.counters
            state.concurrency = self.concurrency
            listener, native = open_listener(state, self.sock, self.ssl_context)
        except Exception as error:  # noqa: BLE001 - every failure to start is a StartupError for the operator
            reason = "application startup failed" if isinstance(error, LifespanFailure) else "cannot serve"
            self.error = error if isinstance(error, StartupError) else StartupError(f"{reason}: {error}")
            self.ready.set()
            if lifespan is not None:
                await lifespan.shutdown()
            return
        self.ready.set()
        await self._stop_requested.wait()
        listener.close()
        if self._grace:
            await self._unless_forced(asyncio.ensure_future(asyncio.sleep(self._grace)))
        await self._close_connections(listener, state)
        native.close()
        shutdown = asyncio.ensure_future(lifespan.shutdown())
        if not await self._unless_forced(shutdown):
            server_logger.info("application shutdown cut short")
            shutdown.cancel()
            await asyncio.gather(shutdown, return_exceptions=True)

    async def _unless_forced(self, awaited: asyncio.Future[None], timeout: float | None = None) -> bool:
        """Waits for awaited until it is done, the timeout passes or a forced stop is asked; True if done."""
        assert self._force_requested is not None
        forced: asyncio.Future[Any] = asyncio.ensure_future(self._force_requested.wait())
        await asyncio.wait({awaited, forced}, timeout=timeout, return_when=asyncio.FIRST_COMPLETED)
        forced.cancel()
        return awaited.done()

    async def _close_connections(self, listener: Listener, state: LoopState) -> None:
        listener.close()
        # Connections accepted just before closing get their connection_made first.
        await asyncio.sleep(0)
        state.shut_down_connections()
        closed = asyncio.ensure_future(listener.wait_closed())
        if not await self._unless_forced(closed, self.config.shutdown_timeout):
            listener.abort_clients()  # also those still in their TLS handshake
            await closed


def _loop_app(config: Config) -> ASGIApp:
    """The application one loop serves; with config.factory, one made for that
    loop, on its thread and inside it, so that what it keeps belongs to that loop."""
    if not config.factory:
        return cast(ASGIApp, config.app)
    try:
        made: object = cast(AppFactory, config.app)()
    except Exception as error:
        raise StartupError(f"the application factory raised {type(error).__name__}: {error}") from error
    if not callable(made):
        raise StartupError(f"the application factory returned {type(made).__name__}, not an ASGI application")
    return cast(ASGIApp, made)


def _cancel_remaining_tasks(loop: asyncio.AbstractEventLoop) -> None:
    """Application tasks still running once the connections are gone are cancelled, as asyncio.run does."""
    tasks = asyncio.all_tasks(loop)
    if not tasks:
        return
    for task in tasks:
        task.cancel()
    loop.run_until_complete(asyncio.gather(*tasks, return_exceptions=True))
    for task in tasks:
        if not task.cancelled() and task.exception() is not None:
            server_logger.error("task failed during shutdown", exc_info=task.exception())


class Server:
    """``config.threads`` event loops serving ``config.app`` (imported here
    when given by name: UsageError if it does not import), on ``sockets``
    when given (one per loop, bound already), else on sockets of its own.
    ``on_limit`` runs once the loops have answered ``config.limit_max_requests``
    requests, on the loop thread that answered the last one."""

    def __init__(
        self,
        config: Config,
        *,
        sockets: list[socket.socket] | None = None,
        on_limit: Callable[[], None] | None = None,
    ) -> None:
        self.config = config = imported(config)
        self._sockets = sockets
        self._requests = (
            RequestCount(config.limit_max_requests + random.randint(0, config.limit_max_requests_jitter), on_limit)
            if config.limit_max_requests is not None and on_limit is not None
            else None
        )
        self._loops: list[_LoopThread] = []
        self._executor: WorkerPoolExecutor | None = None
        self._port = 0
        self._metrics: Metrics | None = None
        self._wake_serve: Callable[[], object] | None = None
        # Every loop listens (set once start() has returned).
        self.started = False
        self._metrics_port: int | None = None
        self._listening = ""

    @property
    def port(self) -> int:
        """The bound port (the one picked by the system when the configured port is 0); 0 on a Unix socket."""
        return self._port

    @property
    def metrics_port(self) -> int | None:
        """The bound port of the metrics listener, if the server has one."""
        return self._metrics_port

    @property
    def listening(self) -> str:
        """Where it listens, as the log says it."""
        return self._listening

    def start(self) -> None:
        """Returns once every loop listens; raises StartupError if one cannot, after stopping the others."""
        if self._loops:
            raise RuntimeError("the server has already been started")
        config = self.config
        new_loop = event_loop_class(config)
        try:
            ssl_context = config.ssl_context()
        except (OSError, ssl.SSLError) as error:
            files = ", ".join(repr(f) for f in (config.ssl_certfile, config.ssl_keyfile, config.ssl_ca_certs) if f)
            reason = error.strerror if isinstance(error, OSError) and error.strerror else str(error)
            raise StartupError(f"cannot load the TLS certificate ({files}): {reason}") from error
        sockets = self._sockets or bound_sockets(config)
        self._listening = listening_text(config, sockets[0])
        name = sockets[0].getsockname()
        self._port = name[1] if isinstance(name, tuple) else 0
        # Daemon threads: stop() waits for the calls up to the shutdown timeout, not for ever.
        executor = self._executor = WorkerPoolExecutor(
            max(1, config.executor_threads), niceness=EXECUTOR_NICENESS, daemon=True
        )
        # Every loop counts (a few stores per request); the endpoint is optional.
        metrics = self._metrics = Metrics(executor)
        metrics.publish()
        concurrency = ServerCounters()  # its requests-in-flight cell, shared by every loop
        self._loops = [
            _LoopThread(
                i,
                config,
                sock,
                ssl_context,
                executor,
                new_loop,
                self._requests,
                metrics.counters_for_loop(),
                concurrency,
            )
            for i, sock in enumerate(sockets)
        ]
        if config.metrics_port is not None:
            # One more loop, serving the metrics on their own port, in either
            # HTTP version: a scraper speaks HTTP/1.1 even where --http is 2.
            metrics_config = dataclasses.replace(
                config,
                app=metrics.app,
                factory=False,
                lifespan="off",
                access_log=False,
                limit_max_requests=None,
                http="auto",
            )
            metrics_socket = listening_sockets(config.host, config.metrics_port, 1)[0]
            self._metrics_port = metrics_socket.getsockname()[1]
            self._loops.append(
                _LoopThread(len(sockets), metrics_config, metrics_socket, None, executor, new_loop, None)
            )
        for loop_thread in self._loops:
            loop_thread.thread.start()
        for loop_thread in self._loops:
            loop_thread.ready.wait()
        failure = next((t.error for t in self._loops if t.error is not None), None)
        if failure is not None:
            self.stop()
            raise failure
        self.started = True

    def stop(self, grace: float = 0.0) -> None:
        """Graceful shutdown: stop accepting, keep the connections ``grace``
        seconds more, then let in-flight requests finish within
        ``config.shutdown_timeout``, close the rest, run lifespan shutdown, join the threads."""
        began = time.monotonic()
        for loop_thread in self._loops:
            loop_thread.request_stop(grace)
        for loop_thread in self._loops:
            loop_thread.thread.join()
        if self._metrics is not None:
            self._metrics.withdraw()
        if self._executor is not None:
            # A call still running (a WSGI call whose client was let go) has until the shutdown timeout.
            self._executor.shutdown(wait=False)
            left = began + grace + self.config.shutdown_timeout - time.monotonic()
            if busy := self._executor.join(max(0.0, left)):
                server_logger.warning(
                    "%d executor call%s still running after the shutdown timeout; not waiting for them",
                    busy,
                    "" if busy == 1 else "s",
                )
        if self._sockets is None:
            remove_socket_file(self.config)

    async def serve(self) -> None:
        """Serves from a program that owns its own event loop, until
        ``request_shutdown()`` (any thread) or cancellation; then shuts down
        gracefully before returning (or re-raising the cancellation). The
        server's loops run on their own threads, as with ``start()``."""
        loop = asyncio.get_running_loop()
        done: asyncio.Future[None] = loop.create_future()

        def finish() -> None:
            if not done.done():
                done.set_result(None)

        self._wake_serve = lambda: loop.call_soon_threadsafe(finish)
        await asyncio.to_thread(self.start)
        try:
            await done
        finally:
            self._wake_serve = None
            await asyncio.shield(asyncio.to_thread(self.stop))

    def request_shutdown(self) -> None:
        """Ends a running ``serve()``. Any thread."""
        wake = self._wake_serve
        if wake is not None:
            with contextlib.suppress(RuntimeError):  # that loop is closed: serve() is over
                wake()

    def force_stop(self) -> None:
        """Makes a stop in progress (or the next one) close every connection at once. Any thread."""
        for loop_thread in self._loops:
            loop_thread.request_force()

    def __enter__(self) -> Server:
        self.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.stop()


def serve(
    config: Config, sockets: list[socket.socket] | None = None, supervisor: SupervisorChannel | None = None
) -> None:
    """``run`` without workers; also the serving part of a worker process, on
    the ``sockets`` its supervisor made. A worker tells the supervisor over
    the ``supervisor`` channel when it is ready and when it has answered its
    limit of requests (it serves on until replaced); it hands over when the
    channel says "stop", and stops when the channel closes (the supervisor
    is gone)."""
    wait = _MainWait(supervisor)
    server = Server(config, sockets=sockets, on_limit=wait.on_limit)
    # What a worker's supervisor already says for every worker is only debug here.
    level = logging.INFO if supervisor is None else logging.DEBUG
    with wait:
        server.start()
        _announce(server, config, supervisor)
        reason, grace = _reason_to_stop(wait, config)
        # The signal that began the stop, if one did; any further one forces it.
        signals_before = 1 if wait.signals else 0
        alarming = logging.WARNING if reason == _SUPERVISOR_GONE else level
        server_logger.log(alarming, "shutting down (%s); a second signal stops at once", reason)
        _stop(server, grace, wait, signals_before)
        server_logger.log(level, "stopped")


class _MainWait:
    """What the main thread of a serving process waits on, through one
    selector: a wakeup socket, which every SIGINT and SIGTERM writes to
    (whichever thread it is delivered to), as do the request limit and the
    thread that stops the server; and the supervisor channel, if any. A main
    thread parked on a lock would not notice a signal delivered to another."""

    def __init__(self, supervisor: SupervisorChannel | None) -> None:
        self.supervisor = supervisor
        self.signals: list[int] = []  # received, in order
        self.limit_reached = threading.Event()

    def __enter__(self) -> _MainWait:
        self._reader, self._writer = socket.socketpair()
        self._writer.setblocking(False)
        self._selector = selectors.DefaultSelector()
        self._selector.register(self._reader, selectors.EVENT_READ)
        if self.supervisor is not None:
            self._selector.register(self.supervisor, selectors.EVENT_READ)
        self._previous = {signum: signal.signal(signum, self._on_signal) for signum in (signal.SIGINT, signal.SIGTERM)}
        self._previous_wakeup = signal.set_wakeup_fd(self._writer.fileno(), warn_on_full_buffer=False)
        return self

    def __exit__(self, *exc_info: object) -> None:
        signal.set_wakeup_fd(self._previous_wakeup)
        for signum, handler in self._previous.items():
            signal.signal(signum, handler)
        self._selector.close()
        self._reader.close()
        self._writer.close()

    def wake(self) -> None:
        with contextlib.suppress(OSError):
            self._writer.send(b"\0")

    def on_limit(self) -> None:
        self.limit_reached.set()
        self.wake()

    def ready(self) -> set[Any]:
        """Waits for a byte or a word of the supervisor; what is ready to read, wakeup bytes taken."""
        ready = {key.fileobj for key, _ in self._selector.select()}
        if self._reader in ready:
            self._reader.recv(64)
        return ready

    def next_wakeup(self) -> None:
        self._reader.recv(64)

    def _on_signal(self, signum: int, frame: FrameType | None) -> None:
        self.signals.append(signum)


def _announce(server: Server, config: Config, supervisor: SupervisorChannel | None) -> None:
    """The listening line; a worker tells its supervisor instead, which says it for every worker."""
    if supervisor is None:
        threads = max(1, config.threads)
        server_logger.info(
            "tessaryne listening on %s (%d thread%s)", server.listening, threads, "" if threads == 1 else "s"
        )
    else:
        supervisor.say(READY)


def _reason_to_stop(wait: _MainWait, config: Config) -> tuple[str, float]:
    """Waits for a signal, the supervisor's word or its channel closing, or
    the request limit, which a worker only tells its supervisor of; returns
    why the server stops and the seconds its connections keep meanwhile."""
    supervisor, limit_told = wait.supervisor, False
    while True:
        ready = wait.ready()
        if wait.signals:
            return signal.Signals(wait.signals[0]).name, 0.0
        if supervisor is not None and supervisor in ready:
            words = supervisor.receive()
            if words is None:
                return _SUPERVISOR_GONE, 0.0
            for word, _ in words:
                if word == STOP:
                    return "replaced", HANDOVER_GRACE
                ignore(word, "the supervisor")
        if wait.limit_reached.is_set() and not limit_told:
            if supervisor is None:
                return f"{config.limit_max_requests} requests answered", 0.0
            supervisor.say(LIMIT)
            limit_told = True


def _stop(server: Server, grace: float, wait: _MainWait, signals_before: int) -> None:
    """Stops the server on a thread of its own, so that the main thread hears
    signals meanwhile: one more than ``signals_before`` stops it at once."""
    stopped = threading.Event()

    def stop() -> None:
        try:
            server.stop(grace)
        finally:
            stopped.set()
            wait.wake()

    stopper = threading.Thread(target=stop, name="tessaryne-stop")
    stopper.start()
    forced = False
    while not stopped.is_set():
        wait.next_wakeup()
        if len(wait.signals) > signals_before and not forced:
            forced = True
            server_logger.info("stopping at once")
            server.force_stop()
    stopper.join()
