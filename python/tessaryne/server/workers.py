"""Worker processes: a supervisor that owns the listening sockets and keeps
``config.workers`` processes serving on them, and the entry point of a worker.

Nothing forks: a worker is a fresh interpreter (started by subprocess, which
execs at once) that inherits the listening sockets by descriptor and a socket
pair to the supervisor, whose words supervisor_channel.py holds. The sockets
listen from the start and stay open in the supervisor, so while no worker
accepts, clients wait in the listen queue instead of being refused.

A worker is recycled, replaced as on SIGHUP, once it has been ready
``config.workers_lifetime`` seconds or its resident memory, sampled from /proc,
is above ``config.workers_max_rss`` MiB.

With ``config.reload`` the supervisor keeps one worker, and a change to the
watched files replaces it as SIGHUP does; a worker that cannot start (a syntax
error, say) is not retried before the next change, while the one it was to
replace serves on.
"""

from __future__ import annotations

import contextlib
import dataclasses
import math
import os
import selectors
import signal
import socket
import subprocess
import sys
import time
from types import FrameType

from .config import Config
from .loading import UsageError, configure_logging
from .logs import RecurringCondition, server_logger
from .reload import ChangeWatcher
from .runner import StartupError, bound_sockets, listening_text, remove_socket_file, serve
from .supervisor_channel import (
    FAILED,
    HANDOVER_GRACE,
    KILL_AFTER,
    LIMIT,
    READY,
    STOP,
    SupervisorChannel,
    ignore,
    settings_line,
)

__all__ = ["supervise", "worker_main"]

# A worker that exits unasked is replaced _FIRST_DELAY seconds later, and twice
# as late after each further exit in its place, up to _LAST_DELAY: an
# application that crashes at start does not keep the machine busy starting it.
_FIRST_DELAY = 0.5
_LAST_DELAY = 10.0
# A worker ready this long resets the delay of its place.
_STABLE_AFTER = 10.0

_ENTRY = "from tessaryne.server.workers import worker_main; worker_main()"

# Every worker's resident memory is read this often with workers_max_rss: a
# read of /proc per worker, cheap enough to catch a leak within seconds.
_RSS_SAMPLE_INTERVAL = 2.0
_MIB = 1024 * 1024

# Sent on the wakeup socket, beside the numbers of the signals received, when
# watched files changed; no signal has this number.
_CHANGED = 0

_EXITS = RecurringCondition(
    server_logger,
    "worker %d %s; starting another in %.1f s",
    "workers keep exiting: %d more in the last %.1f s",
    "workers have stayed up again, %.1f s after the first exit",
)


class _Worker:
    def __init__(
        self, place: int, generation: int, process: subprocess.Popen[bytes], channel: SupervisorChannel
    ) -> None:
        self.place = place
        self.generation = generation
        self.process = process
        self.channel = channel
        self.ready_at: float | None = None
        self.error: str | None = None  # why it could not start, in its words
        self.limit_reached = False
        self.recycled = False  # past its lifetime or memory: to be replaced
        self.kill_at: float | None = None  # set once it is asked to stop
        self.killed = False


@dataclasses.dataclass
class _Place:
    """One of the ``config.workers`` places: the worker serving in it, and the
    one starting up to take it (the first, a replacement, or a restart)."""

    # Its workers going over workers_max_rss, until one is found below it: a
    # worker over the limit as soon as it starts is a line and then a count,
    # not a line for each replacement.
    over_rss: RecurringCondition
    serving: _Worker | None = None
    starting: _Worker | None = None
    not_before: float = 0.0
    # Above _FIRST_DELAY while workers in this place keep exiting.
    delay: float = _FIRST_DELAY


def _over_rss(place: int, places: int) -> RecurringCondition:
    where = f"in place {place + 1} of {places}"
    return RecurringCondition(
        server_logger,
        "worker %d uses %d MiB, over --workers-max-rss %d MiB; replacing it",
        f"workers keep going over --workers-max-rss {where}: %d more replaced in the last %.1f s",
        f"workers stay below --workers-max-rss {where} again, %.1f s after the first went over",
    )


def _resident_bytes(pid: int) -> int | None:
    """A process's resident set size, from Linux's /proc; None when it cannot be read (gone, or no /proc)."""
    try:
        with open(f"/proc/{pid}/statm", "rb") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except OSError, IndexError, ValueError:
        return None


def _exit_text(status: int) -> str:
    if status >= 0:
        return f"exited with status {status}"
    try:
        return f"was killed by {signal.Signals(-status).name}"
    except ValueError:
        return f"was killed by signal {-status}"


class _Supervisor:
    def __init__(self, config: Config, sockets: list[socket.socket], wake: socket.socket) -> None:
        self.config = config
        self.sockets = sockets
        self.wake = wake
        self.selector = selectors.DefaultSelector()
        self.selector.register(wake, selectors.EVENT_READ)
        self.places = [_Place(_over_rss(index, config.workers)) for index in range(config.workers)]
        self.workers: list[_Worker] = []  # every process not yet reaped
        self.generation = 0  # SIGHUP raises it: workers of an older one are replaced
        self.listening = False  # every place has had a worker ready
        self.stopping = False
        self.forced = False
        self.failure: StartupError | None = None
        self.settings = settings_line(config, sockets)
        self.next_sample = 0.0  # of the workers' memory, with workers_max_rss

    def run(self) -> None:
        while True:
            now = time.monotonic()
            if not self.stopping:
                self._recycle_due(now)
                self._start_due(now)
                self._settle(now)
            self._kill_overdue(now)
            if self.stopping and not self.workers:
                break
            for key, _ in self.selector.select(self._timeout(now)):
                if key.data is None:
                    self._on_signals(self.wake.recv(256))
                else:
                    self._read(key.data)
            self._reap()
        if self.failure is not None:
            raise self.failure
        server_logger.info("stopped")

    def _timeout(self, now: float) -> float | None:
        due = [w.kill_at for w in self.workers if w.kill_at is not None and not w.killed]
        if not self.stopping:
            due += [p.not_before for p in self.places if now < p.not_before < math.inf]
            due += [p.serving.ready_at + _STABLE_AFTER for p in self.places
                    if p.delay > _FIRST_DELAY and p.serving is not None and p.serving.ready_at is not None]  # fmt: skip
            if self.config.workers_lifetime is not None:
                due += [ready_at + self.config.workers_lifetime for _, _, ready_at in self._recyclable()]
            if self.config.workers_max_rss is not None:
                due.append(self.next_sample)
        return max(0.0, min(due) - now) if due else None

    # --- starting and replacing -------------------------------------------------

    def _start_due(self, now: float) -> None:
        # One replacement at a time; a place without a worker is filled at once.
        replacing = any(p.starting is not None and p.serving is not None for p in self.places)
        # Recycling also waits for the last worker replaced to be gone, so that
        # it never runs more than one worker beside the configured ones,
        # however short the lifetime or low the memory limit.
        handing_over = any(w.kill_at is not None for w in self.workers)
        for index, place in enumerate(self.places):
            if place.starting is not None or now < place.not_before:
                continue
            serving = place.serving
            if serving is None:
                place.starting = self._spawn(index)
            elif not replacing and (
                serving.generation < self.generation or serving.limit_reached or (serving.recycled and not handing_over)
            ):
                place.starting = self._spawn(index)
                replacing = True

    def _recyclable(self) -> list[tuple[_Place, _Worker, float]]:
        """The serving workers not yet to be replaced, and when each was ready."""
        return [(p, w, w.ready_at) for p in self.places
                if (w := p.serving) is not None and w.ready_at is not None and not w.recycled]  # fmt: skip

    def _recycle_due(self, now: float) -> None:
        """Marks the workers past their lifetime or memory limit; _start_due replaces them in turn."""
        lifetime, max_rss = self.config.workers_lifetime, self.config.workers_max_rss
        if lifetime is not None:
            for _, worker, ready_at in self._recyclable():
                if now - ready_at >= lifetime:
                    worker.recycled = True
                    server_logger.info(
                        "worker %d reached --workers-lifetime %g s; replacing it", worker.process.pid, lifetime
                    )
        if max_rss is None or now < self.next_sample:
            return
        self.next_sample = now + _RSS_SAMPLE_INTERVAL
        for place, worker, _ in self._recyclable():
            resident = _resident_bytes(worker.process.pid)
            if resident is None:
                continue  # it has just exited: reaped next
            if resident > max_rss * _MIB:
                worker.recycled = True
                place.over_rss.report(worker.place, worker.process.pid, resident // _MIB, max_rss)
            else:
                place.over_rss.clear(worker.place, quietly=True)

    def _spawn(self, place: int) -> _Worker:
        ours, theirs = socket.socketpair()
        try:
            process = subprocess.Popen(
                [sys.executable, "-c", _ENTRY, str(theirs.fileno())],
                pass_fds=[theirs.fileno(), *(sock.fileno() for sock in self.sockets)],
                stdin=subprocess.DEVNULL,
                # Its own process group: a Ctrl+C in the terminal reaches the
                # supervisor alone, which forwards it once.
                process_group=0,
            )
        except BaseException:
            ours.close()
            raise
        finally:
            theirs.close()
        channel = SupervisorChannel(ours)
        channel.send_settings(self.settings)
        ours.setblocking(False)
        worker = _Worker(place, self.generation, process, channel)
        self.workers.append(worker)
        self.selector.register(channel, selectors.EVENT_READ, worker)
        server_logger.debug("worker %d starting", process.pid)
        return worker

    def _on_ready(self, worker: _Worker) -> None:
        worker.ready_at = time.monotonic()
        place = self.places[worker.place]
        if self.stopping or place.starting is not worker:
            return
        previous, place.serving, place.starting = place.serving, worker, None
        if previous is None:
            server_logger.info("worker %d ready", worker.process.pid)
        else:
            server_logger.info("worker %d ready, in place of %d", worker.process.pid, previous.process.pid)
            self._ask_to_stop(previous, handover=True)
        if not self.listening and all(p.serving is not None for p in self.places):
            self.listening = True
            config = self.config
            loops = f"{len(self.sockets)} threads"
            workers = f"{config.workers} worker{'s' if config.workers > 1 else ''}"
            server_logger.info(
                "tessaryne listening on %s (%s)",
                listening_text(config, self.sockets[0]),
                loops if config.reload else f"{workers} of {loops}",
            )

    def _settle(self, now: float) -> None:
        for index, place in enumerate(self.places):
            ready_at = place.serving.ready_at if place.serving is not None else None
            if place.delay > _FIRST_DELAY and ready_at is not None and now - ready_at >= _STABLE_AFTER:
                place.delay = _FIRST_DELAY
                _EXITS.clear(index)

    # --- stopping ---------------------------------------------------------------

    def _ask_to_stop(self, worker: _Worker, *, handover: bool) -> None:
        """Over the channel when another worker has taken its place (it keeps
        its connections a moment, HANDOVER_GRACE); by SIGTERM when every
        worker stops, as a server without workers is stopped. Either way it is
        killed if it still runs once it has had its time."""
        grace = HANDOVER_GRACE if handover else 0.0
        worker.kill_at = time.monotonic() + grace + self.config.shutdown_timeout + KILL_AFTER
        if handover:
            with contextlib.suppress(OSError):
                worker.channel.say(STOP)
        else:
            worker.process.send_signal(signal.SIGTERM)

    def _stop_all(self) -> None:
        self.stopping = True
        for worker in self.workers:
            if worker.kill_at is None:
                self._ask_to_stop(worker, handover=False)

    def _on_signals(self, signals: bytes) -> None:
        for signum in signals:
            if signum in (signal.SIGINT, signal.SIGTERM):
                if not self.stopping:
                    server_logger.info("shutting down (%s); a second signal stops at once", signal.Signals(signum).name)
                    self._stop_all()
                elif not self.forced:
                    # Every worker has been asked once, by signal or channel; one more signal forces it.
                    self.forced = True
                    server_logger.info("stopping at once")
                    for worker in self.workers:
                        worker.process.send_signal(signal.SIGTERM)
            elif signum == signal.SIGHUP and not self.stopping:
                server_logger.info("SIGHUP: replacing the workers one by one")
                self.generation += 1
            elif signum == _CHANGED and not self.stopping:
                self.generation += 1
                for place in self.places:  # those waiting for a change after a failure to start
                    place.not_before = min(place.not_before, time.monotonic())

    def _kill_overdue(self, now: float) -> None:
        for worker in self.workers:
            if worker.kill_at is not None and now >= worker.kill_at and not worker.killed:
                worker.killed = True
                server_logger.warning("worker %d has not stopped in time; killing it", worker.process.pid)
                worker.process.kill()

    # --- what workers say, and their exits ----------------------------------------

    def _read(self, worker: _Worker) -> bool:
        """Takes in what the worker has sent; False once nothing more will come now."""
        try:
            words = worker.channel.receive()
        except BlockingIOError:
            return False
        if words is None:
            with contextlib.suppress(KeyError):
                self.selector.unregister(worker.channel)
            return False
        for word, detail in words:
            if word == READY:
                self._on_ready(worker)
            elif word == LIMIT:
                if not worker.limit_reached:
                    worker.limit_reached = True
                    limit = self.config.limit_max_requests
                    server_logger.info("worker %d has answered %d requests; replacing it", worker.process.pid, limit)
            elif word == FAILED:
                worker.error = detail
            else:
                ignore(word, f"worker {worker.process.pid}")
        return True

    def _reap(self) -> None:
        for worker in [w for w in self.workers if w.process.poll() is not None]:
            while self._read(worker):  # what it said before it exited
                pass
            self.workers.remove(worker)
            with contextlib.suppress(KeyError):
                self.selector.unregister(worker.channel)
            worker.channel.close()
            place = self.places[worker.place]
            if place.serving is worker:
                place.serving = None
            if place.starting is worker:
                place.starting = None
            if worker.kill_at is None and not self.stopping:
                self._exited(worker, place)

    def _exited(self, worker: _Worker, place: _Place) -> None:
        """A worker exited unasked."""
        assert worker.process.returncode is not None
        how = _exit_text(worker.process.returncode)
        if self.config.reload and worker.ready_at is None:
            # Most likely the code that changed: the next change is the time to try
            # again, unless files changed since this worker started.
            retry = "waiting for a change to try again"
            if worker.generation == self.generation:
                place.not_before = math.inf
            else:
                retry = "trying again with the files changed since"
            server_logger.error("%s; %s", worker.error or f"the server process {how}", retry)
            return
        if not self.listening:
            # An application that cannot start fails the run, as without workers.
            self.failure = StartupError(worker.error or f"a worker process {how} before it was ready")
            self._stop_all()
            return
        if worker.error is not None:
            how += f" ({worker.error})"
        place.not_before = time.monotonic() + place.delay
        _EXITS.report(worker.place, worker.process.pid, how, place.delay)
        place.delay = min(place.delay * 2, _LAST_DELAY)


def _noted(signum: int, frame: FrameType | None) -> None:
    """The wakeup socket carries the signal's number; nothing else to do."""


def supervise(config: Config) -> None:
    """Runs ``config.workers`` worker processes on one set of listening
    sockets until SIGINT or SIGTERM, forwarded to them; a second signal is
    forwarded too, which stops them at once. A worker that exits unasked is
    replaced; SIGHUP replaces them all, one at a time, each new one ready
    before the one it replaces is stopped; so does a worker past
    ``config.workers_lifetime`` or ``config.workers_max_rss``, and with
    ``config.reload`` a change to the watched files. Call it from the main
    thread."""
    if not config.app_name:
        how = "--reload imports the application anew" if config.reload else "worker processes import the application"
        raise StartupError(f"{how} by name: give it as module:attribute (Config.app_name)")
    wake_reader, wake_writer = socket.socketpair()
    wake_reader.setblocking(False)
    wake_writer.setblocking(False)

    def changed() -> None:
        with contextlib.suppress(OSError):  # full: a wake-up is pending anyway
            wake_writer.send(bytes([_CHANGED]))

    try:
        watcher = ChangeWatcher(config, changed) if config.reload else None
        if config.workers_max_rss is not None and _resident_bytes(os.getpid()) is None:
            raise StartupError(
                "--workers-max-rss reads each worker's memory from /proc/PID/statm, which is missing here"
            )
        sockets = bound_sockets(config)
    except BaseException:
        wake_reader.close()
        wake_writer.close()
        raise
    handled = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGCHLD)
    previous = {signum: signal.signal(signum, _noted) for signum in handled}
    previous_wakeup = signal.set_wakeup_fd(wake_writer.fileno(), warn_on_full_buffer=False)
    try:
        for sock in sockets:
            sock.listen(config.backlog)
        if watcher is not None:
            watcher.start()
        _Supervisor(config, sockets, wake_reader).run()
    finally:
        if watcher is not None:
            watcher.stop()
        signal.set_wakeup_fd(previous_wakeup)
        for signum, handler in previous.items():
            signal.signal(signum, handler)
        for sock in (*sockets, wake_reader, wake_writer):
            sock.close()
        remove_socket_file(config)


def worker_main() -> None:
    """A worker process: its channel to the supervisor is the descriptor
    named on its command line."""
    channel = SupervisorChannel(socket.socket(fileno=int(sys.argv[1])))
    settings = channel.receive_settings()
    sys.path[:] = settings.path
    fields = settings.config
    sockets = [socket.socket(fileno=fd) for fd in settings.sockets]
    for sock in (channel.socket, *sockets):
        # Child processes of the application must not hold them: the
        # supervisor learns that a worker is gone when its channel closes.
        sock.set_inheritable(False)
    try:
        config = Config(app=fields["app_name"], **fields)  # imported by serve(), in this process
        configure_logging(config)
        serve(config, sockets, channel)
    except (UsageError, StartupError) as error:
        with contextlib.suppress(OSError):
            channel.say(FAILED, str(error))
        sys.exit(1)
