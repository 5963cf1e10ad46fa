"""A thread-pool executor on the native worker pool.

``WorkerPoolExecutor`` is a :class:`concurrent.futures.ThreadPoolExecutor`, so
that it can be every event loop's default executor: ``loop.run_in_executor(None,
f)`` and ``asyncio.to_thread(f)`` then run on it, and the calls they make may
block. So a call reaches a worker only when that worker is free to run it next:
a submitter hands it to a parked worker through that worker's inbox in the
``NativeWorkerPool`` (``push_local``), or, with no worker parked, leaves it in a
backlog that every worker takes from one call at a time. No call then waits
behind another while a worker is idle. A worker that finds the backlog empty
polls a little longer, then parks on a lock of its own, and a submitter
releases that lock only when some worker is parked, so busy workers cost a
submitter no system call.

Its futures are ``concurrent.futures.Future`` instances guarded by a plain lock
instead of a ``threading.Condition``, whose construction is most of the cost of
a stdlib future (``LeanFuture``); ``wait``, ``as_completed`` and
``asyncio.wrap_future`` use them as any other.
"""

from __future__ import annotations

import asyncio
import contextlib
import functools
import os
import sys
import threading
import weakref
from collections.abc import Callable
from concurrent.futures import Executor, Future, ThreadPoolExecutor
from typing import Any, ParamSpec, TypeVar, cast

from tessaryne._stdlib_internals import LeanFuture, before_threads_join, show_threads
from tessaryne._tessaryne_core import AtomicMetrics, Channel, NativeWorkerPool, ThreadPoolClosedError

__all__ = ["WorkerPoolEventLoop", "WorkerPoolExecutor", "default_workers", "uvloop_worker_pool_loop"]

T = TypeVar("T")
P = ParamSpec("P")

# Empty polls of the backlog a worker makes before it parks: a call submitted
# meanwhile is taken without a wake-up.
_SPINS = 32


def default_workers() -> int:
    """``ThreadPoolExecutor``'s default, made for calls that block: a few
    threads more than there are CPUs, at most 32."""
    return min(32, (os.process_cpu_count() or 1) + 4)


# --- workers ----------------------------------------------------------------------------


class _Call:
    """A call queued in the pool; subclasses say where its outcome goes."""

    __slots__ = ("fn", "args", "kwargs")

    def __init__(self, fn: Callable[..., Any], args: tuple[Any, ...], kwargs: dict[str, Any]) -> None:
        self.fn = fn
        self.args = args
        self.kwargs = kwargs

    def run(self, index: int, metrics: AtomicMetrics) -> None:
        if not self.start():
            return
        metrics.inc_active(index)
        try:
            result = self.fn(*self.args, **self.kwargs)
        except BaseException as exc:  # noqa: BLE001 - whatever the call raises is its future's outcome
            metrics.dec_active(index)  # counted before anyone sees the outcome
            self.settle(exc, None)
        else:
            metrics.dec_active(index)
            self.settle(None, result)

    def start(self) -> bool:
        """False when the call was cancelled while queued."""
        raise NotImplementedError

    def settle(self, error: BaseException | None, result: Any) -> None:
        raise NotImplementedError

    def cancel(self) -> None:
        raise NotImplementedError


class _Task(_Call):
    """A call whose outcome goes to a ``concurrent.futures`` future."""

    __slots__ = ("future",)

    def __init__(
        self, fn: Callable[..., Any], args: tuple[Any, ...], kwargs: dict[str, Any], future: LeanFuture
    ) -> None:
        super().__init__(fn, args, kwargs)
        self.future = future

    def start(self) -> bool:
        return self.future.set_running_or_notify_cancel()

    def settle(self, error: BaseException | None, result: Any) -> None:
        if error is None:
            self.future.set_result(result)
        else:
            self.future.set_exception(error)

    def cancel(self) -> None:
        if self.future.cancel():
            self.future.set_running_or_notify_cancel()  # tells wait() and as_completed()


_NO_KWARGS: dict[str, Any] = {}


class _LoopTask(_Call):
    """A call made for an event loop: its outcome goes straight to an asyncio
    future of that loop, through the loop's bridge."""

    __slots__ = ("future", "bridge")

    def __init__(
        self, fn: Callable[..., Any], args: tuple[Any, ...], future: asyncio.Future[Any], bridge: _LoopBridge
    ) -> None:
        super().__init__(fn, args, _NO_KWARGS)
        self.future = future
        self.bridge = bridge

    def start(self) -> bool:
        return not self.future.done()

    def settle(self, error: BaseException | None, result: Any) -> None:
        self.bridge.complete(self.future, error, result)

    def cancel(self) -> None:
        with contextlib.suppress(RuntimeError):  # its loop is closed
            self.bridge.loop.call_soon_threadsafe(self.future.cancel)


class _Detached(_Call):
    """A call whose outcome is nobody's: it handles its own errors, and
    what escapes it anyway is reported as unraisable."""

    __slots__ = ()

    def start(self) -> bool:
        return True

    def settle(self, error: BaseException | None, result: Any) -> None:
        if error is not None:
            sys.unraisablehook(_Unraisable(error, self.fn))

    def cancel(self) -> None:
        pass


class _Unraisable:
    """What sys.unraisablehook reads of an error nobody awaits."""

    __slots__ = ("exc_type", "exc_value", "exc_traceback", "err_msg", "object")

    def __init__(self, error: BaseException, fn: Callable[..., Any]) -> None:
        self.exc_type = type(error)
        self.exc_value = error
        self.exc_traceback = error.__traceback__
        self.err_msg = "Exception ignored in a call run by WorkerPoolExecutor.run_soon()"
        self.object = fn


class _LoopBridge:
    """Hands results to one event loop in batches: a worker wakes the loop only
    when no hand-over is pending, and one wake-up delivers every result that
    arrived meanwhile, instead of one ``call_soon_threadsafe`` per call."""

    __slots__ = ("loop", "lock", "results", "waking")

    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        self.loop = loop
        self.lock = threading.Lock()
        self.results: list[tuple[asyncio.Future[Any], BaseException | None, Any]] = []
        self.waking = False

    def complete(self, future: asyncio.Future[Any], error: BaseException | None, result: Any) -> None:
        with self.lock:
            self.results.append((future, error, result))
            if self.waking:
                return
            self.waking = True
        with contextlib.suppress(RuntimeError):  # the loop is closed: nobody awaits these
            self.loop.call_soon_threadsafe(self.deliver)

    def deliver(self) -> None:
        with self.lock:
            results, self.results = self.results, []
            self.waking = False
        for future, error, result in results:
            if future.done():
                continue
            if error is None:
                future.set_result(result)
            elif isinstance(error, StopIteration):  # an asyncio future refuses it
                future.set_exception(RuntimeError(f"the call raised {error!r}"))
            else:
                future.set_exception(error)


class _Crew:
    """What the worker threads share, apart from the executor so that an
    executor nobody holds can be collected and its workers told to leave.

    ``parked`` lists the indexes of workers parked (or about to park) on their
    ``gates``; whoever takes an index out of it owns that worker's wake-up, and
    each gate is held by its worker except while a waker releases it. The
    pool's injection queue is not used: a worker would pull a batch of it into
    its own run queue, where the calls wait behind one that blocks; the
    ``backlog`` channel gives one call per receive instead."""

    __slots__ = ("pool", "metrics", "backlog", "gates", "parked", "threads")

    def __init__(self, workers: int, name_prefix: str) -> None:
        self.pool = NativeWorkerPool(workers)
        self.metrics = AtomicMetrics(workers)
        self.pool.set_metrics(self.metrics)
        self.backlog = Channel(0)  # unbounded
        self.gates = [threading.Lock() for _ in range(workers)]
        for gate in self.gates:
            gate.acquire()
        self.parked: list[int] = []
        self.threads = tuple(
            threading.Thread(target=self.work, args=(index,), name=f"{name_prefix}_{index}") for index in range(workers)
        )
        for thread in self.threads:
            thread.start()

    def hand_over(self, call: _Call) -> bool:
        """Gives ``call`` to a parked worker, to run next; False when none is parked."""
        try:
            index = self.parked.pop()
        except IndexError:
            return False
        try:
            self.pool.push_local(index, call)
        finally:
            self.gates[index].release()  # after the push: the woken worker finds the call in its inbox
        return True

    def wake_one(self) -> bool:
        try:
            index = self.parked.pop()
        except IndexError:  # another submitter woke the last one
            return False
        self.gates[index].release()
        return True

    def close(self) -> None:
        # Closed first: a worker that announces itself after the failed pop
        # that ends this loop sees the closed backlog before it would park.
        self.backlog.close()
        self.pool.close()
        while self.wake_one():
            pass

    def cancel_queued(self) -> None:
        recv = self.backlog.try_recv
        while True:
            try:
                _, call = recv()  # None: empty (no call is None)
            except RuntimeError:  # closed and empty
                return
            if call is None:
                return
            call.cancel()

    def work(self, index: int) -> None:
        recv, metrics = self.backlog.try_recv, self.metrics
        while True:
            try:
                _, task = recv()  # None: empty (no call is None)
                if task is None:
                    task = self.idle(index)
                    if task is None:
                        continue
            except RuntimeError:  # the backlog is closed and empty; this worker's inbox is empty out here
                return
            task.run(index, metrics)
            task = None  # nothing of the last call is kept alive while idle

    def idle(self, index: int) -> _Call | None:
        """Polls the backlog a little, then parks; returns a call found on the
        way or handed over, or None to look at the backlog again."""
        recv, backlog = self.backlog.try_recv, self.backlog
        for _ in range(_SPINS):
            _, task = recv()
            if task is not None:
                return cast(_Call, task)
        self.parked.append(index)
        # Announced, then the backlog looked at under its lock, which a send
        # also takes: either this look sees the call, or the sender, having
        # sent after it, sees the announcement and wakes a parked worker.
        if backlog.qsize() == 0 and not backlog.is_closed():
            self.gates[index].acquire()
        else:
            try:
                self.parked.remove(index)
                return None
            except ValueError:  # claimed meanwhile: take the waker's release, and the call it may hand over
                self.gates[index].acquire()
        try:
            return cast(_Call | None, self.pool.pop_work(index))  # handed over, or None after a plain wake-up
        except ThreadPoolClosedError:  # closed and nothing handed over
            return None


# Workers finish what is queued and leave before the interpreter joins its threads.
_live: weakref.WeakSet[WorkerPoolExecutor] = weakref.WeakSet()


def _shutdown_live() -> None:
    for executor in list(_live):
        executor.shutdown(wait=False)


before_threads_join(_shutdown_live)


class WorkerPoolExecutor(ThreadPoolExecutor):
    """Runs calls on ``max_workers`` threads (default: ``default_workers()``)
    fed through a ``NativeWorkerPool``; ``metrics`` counts per worker what they ran."""

    def __init__(self, max_workers: int | None = None, thread_name_prefix: str = "tessaryne-worker") -> None:
        workers = default_workers() if max_workers is None else max_workers
        # Checks the count as it does; its queue and its threads, made as needed, go unused.
        super().__init__(workers, thread_name_prefix)
        self._crew = _Crew(workers, thread_name_prefix)
        show_threads(self, self._crew.threads)
        self._send = self._crew.backlog.try_send
        self._parked = self._crew.parked
        weakref.finalize(self, self._crew.close)
        _live.add(self)

    @property
    def metrics(self) -> AtomicMetrics:
        return self._crew.metrics

    @property
    def worker_count(self) -> int:
        """The number of worker threads, each with its row in ``metrics``."""
        return len(self._crew.threads)

    def submit(self, fn: Callable[P, T], /, *args: P.args, **kwargs: P.kwargs) -> Future[T]:
        future = LeanFuture()
        self._enqueue(_Task(fn, args, kwargs, future))
        return future

    def run_soon(self, fn: Callable[..., Any], /, *args: Any) -> None:
        """Runs ``fn(*args)`` on a worker, with no future: ``fn`` handles its
        own outcome (what escapes it goes to ``sys.unraisablehook``)."""
        self._enqueue(_Detached(fn, args, _NO_KWARGS))

    def _run_for_loop(self, bridge: _LoopBridge, fn: Callable[..., T], args: tuple[Any, ...]) -> asyncio.Future[T]:
        """``fn(*args)`` on a worker, its result in a future of the bridge's
        loop; called on that loop's thread by ``WorkerPoolEventLoop``."""
        future: asyncio.Future[T] = bridge.loop.create_future()
        self._enqueue(_LoopTask(fn, args, future, bridge))
        return future

    def _enqueue(self, call: _Call) -> None:
        crew = self._crew
        try:
            if self._parked and crew.hand_over(call):
                return
            self._send(call)
        except ThreadPoolClosedError, RuntimeError:  # the pool's, the backlog's: closed
            raise RuntimeError("cannot schedule new futures after shutdown") from None
        # A worker that parked meanwhile may have looked at the backlog before the call was in it.
        if self._parked:
            crew.wake_one()

    def shutdown(self, wait: bool = True, *, cancel_futures: bool = False) -> None:
        crew = self._crew
        crew.close()
        if cancel_futures:
            crew.cancel_queued()
        if wait:
            current = threading.current_thread()
            for thread in crew.threads:
                if thread is not current:
                    thread.join()


class _BridgedResults:
    """What makes a loop take a ``WorkerPoolExecutor``'s results in batches
    (its default executor included, so ``asyncio.to_thread`` too): a call to
    it returns through the loop's bridge instead of one
    ``call_soon_threadsafe`` per call. Other executors are used as any loop
    uses them. Mixed into an event-loop class, before it."""

    _pool_executor: WorkerPoolExecutor | None = None

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self._bridge = _LoopBridge(cast(asyncio.AbstractEventLoop, self))

    def set_default_executor(self, executor: Any) -> None:
        super().set_default_executor(executor)  # type: ignore[misc]  # the loop class mixed with
        self._pool_executor = executor if isinstance(executor, WorkerPoolExecutor) else None

    def run_in_executor(self, executor: Executor | None, func: Callable[..., T], *args: Any) -> asyncio.Future[T]:
        if executor is None:
            executor = self._pool_executor
        if isinstance(executor, WorkerPoolExecutor):
            if cast(asyncio.AbstractEventLoop, self).is_closed():
                raise RuntimeError("Event loop is closed")
            return executor._run_for_loop(self._bridge, func, args)
        return cast(asyncio.Future[T], super().run_in_executor(executor, func, *args))  # type: ignore[misc]


class WorkerPoolEventLoop(_BridgedResults, asyncio.SelectorEventLoop):  # type: ignore[misc]  # run_in_executor without TypeVarTuple
    """asyncio's selector loop, taking a ``WorkerPoolExecutor``'s results in batches."""


@functools.cache
def uvloop_worker_pool_loop() -> type[asyncio.AbstractEventLoop]:
    """uvloop's loop, taking a ``WorkerPoolExecutor``'s results in batches as
    ``WorkerPoolEventLoop`` does; ImportError where uvloop is not installed."""
    import uvloop

    class UvloopWorkerPoolEventLoop(_BridgedResults, uvloop.Loop):  # type: ignore[misc]  # as above; and uvloop.Loop's own stubs differ from asyncio's
        """uvloop's loop, taking a ``WorkerPoolExecutor``'s results in batches."""

    return UvloopWorkerPoolEventLoop
