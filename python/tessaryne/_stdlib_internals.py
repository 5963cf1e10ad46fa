"""Every private name of the standard library that tessaryne uses, here and
nowhere else, each with the reason it is worth the risk: any CPython release
may change one of them without notice, and this is the one module to mend
when one does. CPython's own concurrent.futures tests run against the
executor and ``LeanFuture`` (tests/python/test_executor.py), and its asyncio
lock and queue tests against tessaryne.sync, so such a change shows there."""

from __future__ import annotations

import asyncio
import threading
from collections.abc import Callable, Iterable
from concurrent.futures import CancelledError, Future, InvalidStateError, ThreadPoolExecutor

# Future's states by the names its own methods (repr, add_done_callback) and
# wait() and as_completed() compare its _state with.
from concurrent.futures._base import CANCELLED, CANCELLED_AND_NOTIFIED, FINISHED, PENDING, RUNNING
from typing import Any

__all__ = ["LeanFuture", "before_threads_join", "running_loop", "show_threads"]

# The running loop or None, for every wake-up of tessaryne.sync: the public
# get_running_loop() raises on a thread without a loop, which costs more than the wake-up.
running_loop = asyncio._get_running_loop

# Registers a call the interpreter makes at exit before it joins the non-daemon
# threads (atexit runs after that join, which the executor's parked workers
# would hold up forever); ThreadPoolExecutor stops its own workers the same way.
# Read by getattr: the type stubs do not list the name.
before_threads_join: Callable[[Callable[[], object]], None] = getattr(threading, "_register_atexit")  # noqa: B009


def show_threads(executor: ThreadPoolExecutor, threads: Iterable[threading.Thread]) -> None:
    """Puts an executor's worker threads where a ThreadPoolExecutor keeps its
    own, _threads, for code that looks there (CPython's tests join them)."""
    executor._threads = frozenset(threads)


_DONE = frozenset((CANCELLED, CANCELLED_AND_NOTIFIED, FINISHED))


class LeanFuture(Future[Any]):
    """A concurrent.futures.Future made without Future.__init__, whose
    threading.Condition is most of what a future costs: submit and result()
    through the executor take about half as long with this one. It fills the
    attributes the base class's methods and wait() and as_completed() use
    (_condition, _state, _result, _exception, _waiters, _done_callbacks) and
    calls the base's _invoke_callbacks. Its _condition is a plain lock, which
    is all wait() and as_completed() do with it (acquire and release); blocked
    result() and exception() callers wait on a lock of their own each."""

    def __init__(self) -> None:  # not the base's: its Condition is the cost avoided here
        self._condition = threading.Lock()  # type: ignore[assignment]
        self._state = PENDING
        self._result = None
        self._exception = None
        self._waiters = []
        self._done_callbacks: list[Callable[[Future[Any]], object]] = []
        self._blocked: list[Any] | None = None

    # Called with the guard held, and returns with it held again.
    def _wait(self, timeout: float | None) -> None:
        gate = threading.Lock()
        gate.acquire()
        if self._blocked is None:
            self._blocked = []
        self._blocked.append(gate)
        self._condition.release()
        try:
            gate.acquire(timeout=-1 if timeout is None else max(timeout, 0.0))
        finally:
            self._condition.acquire()
        if self._blocked is not None and gate in self._blocked:  # timed out
            self._blocked.remove(gate)

    # Under the guard, on any move to a done state.
    def _release_blocked(self) -> None:
        blocked, self._blocked = self._blocked, None
        for gate in blocked or ():
            gate.release()

    # One attribute read is atomic: no guard needed to look at the state.
    def done(self) -> bool:
        return self._state in _DONE

    def cancelled(self) -> bool:
        state = self._state
        return state == CANCELLED or state == CANCELLED_AND_NOTIFIED

    def running(self) -> bool:
        return self._state == RUNNING

    def _settled(self, timeout: float | None) -> None:
        # A done future's state only moves between the cancelled ones, so it
        # is read without the guard, which ``wait(..., FIRST_EXCEPTION)``
        # holds while it asks a done future for its exception.
        state = self._state
        if state not in _DONE:
            with self._condition:
                if self._state == PENDING or self._state == RUNNING:
                    self._wait(timeout)
                state = self._state
        if state == CANCELLED or state == CANCELLED_AND_NOTIFIED:
            raise CancelledError()
        if state != FINISHED:
            raise TimeoutError()

    def result(self, timeout: float | None = None) -> Any:
        self._settled(timeout)
        if self._exception is not None:
            try:
                raise self._exception
            finally:
                self = None  # type: ignore[assignment]  # no cycle through the traceback
        return self._result

    def exception(self, timeout: float | None = None) -> BaseException | None:
        self._settled(timeout)
        return self._exception

    def cancel(self) -> bool:
        with self._condition:
            if self._state == RUNNING or self._state == FINISHED:
                return False
            if self._state != PENDING:
                return True
            self._state = CANCELLED
            self._release_blocked()
        self._invoke_callbacks()  # type: ignore[attr-defined]
        return True

    def set_running_or_notify_cancel(self) -> bool:
        with self._condition:
            if self._state == PENDING:
                self._state = RUNNING
                return True
            if self._state == CANCELLED:
                self._state = CANCELLED_AND_NOTIFIED
                for waiter in self._waiters:
                    waiter.add_cancelled(self)
                return False
        raise RuntimeError("Future in unexpected state")

    def set_result(self, result: Any) -> None:
        self._settle(result, None, failed=False)

    def set_exception(self, exception: BaseException | None) -> None:
        self._settle(None, exception, failed=True)

    def _settle(self, result: Any, exception: BaseException | None, failed: bool) -> None:
        with self._condition:
            if self._state in _DONE:
                state = self._state
            else:
                self._result = result
                self._exception = exception
                self._state = FINISHED
                for waiter in self._waiters:
                    if failed:
                        waiter.add_exception(self)
                    else:
                        waiter.add_result(self)
                self._release_blocked()
                state = None
        if state is not None:  # the message shows the future, whose repr takes the guard
            raise InvalidStateError(f"{state}: {self!r}")
        self._invoke_callbacks()  # type: ignore[attr-defined]
