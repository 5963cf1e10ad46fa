"""WorkerPoolExecutor with real threads and real event loops."""

import asyncio
import functools
import importlib
import importlib.util
import itertools
import os
import pathlib
import platform
import random
import sys
import threading
import types
import unittest
from concurrent import futures

import pytest

from tessaryne import executor as executor_module
from tessaryne._stdlib_internals import LeanFuture
from tessaryne.executor import WorkerPoolEventLoop, WorkerPoolExecutor

HANG_GUARD = 30  # seconds; only turns a lost task into a failure instead of a hang


class Boom(BaseException):
    pass


def raise_(exc):
    raise exc


def completed(pool):
    return sum(pool.metrics.get_completed(i) for i in range(pool._max_workers))


def test_results_and_exceptions_reach_the_futures():
    error, boom = ValueError("bad"), Boom()
    with WorkerPoolExecutor(2) as pool:
        assert pool.submit(pow, 2, 10).result() == 1024
        assert pool.submit(int, "ff", base=16).result() == 255
        assert pool.submit(raise_, error).exception() is error
        with pytest.raises(Boom):
            pool.submit(raise_, boom).result()
        assert list(pool.map(divmod, range(50), itertools.repeat(7))) == [divmod(i, 7) for i in range(50)]
    assert completed(pool) == 54
    assert all(pool.metrics.get_active(i) == 0 for i in range(2))


@pytest.mark.parametrize("spins", [0, executor_module._SPINS])
def test_no_task_is_lost_while_workers_park_and_wake(monkeypatch, spins):
    # In each round every submitter submits a few calls at once and waits for
    # them, just as the workers, out of work, decide to park: a wake-up lost in
    # that race leaves a call queued with nobody to run it.
    monkeypatch.setattr(executor_module, "_SPINS", spins)
    counter, submitters, rounds = itertools.count(), 6, 1500
    pool, start = WorkerPoolExecutor(2), threading.Barrier(submitters)

    def submitter(seed):
        rng, submitted = random.Random(seed), 0
        for _ in range(rounds):
            start.wait()
            batch = [pool.submit(next, counter) for _ in range(rng.randint(1, 3))]
            try:
                for future in batch:
                    future.result(timeout=HANG_GUARD)
            except TimeoutError:
                start.abort()
                raise
            submitted += len(batch)
        return submitted

    with futures.ThreadPoolExecutor(submitters) as drivers:
        submitted = sum(drivers.map(submitter, range(submitters)))
    pool.shutdown()
    assert next(counter) == submitted == completed(pool)


@pytest.mark.parametrize("cancel_futures", [False, True])
def test_shutdown_runs_or_cancels_what_is_queued_and_refuses_new_calls(cancel_futures):
    pool, started, release = WorkerPoolExecutor(1), threading.Event(), threading.Event()
    first = pool.submit(lambda: (started.set(), release.wait()))
    started.wait()  # the only worker is busy: what follows stays queued
    queued = [pool.submit(abs, -i) for i in range(20)]
    pool.shutdown(wait=False, cancel_futures=cancel_futures)
    with pytest.raises(RuntimeError, match="^cannot schedule new futures after shutdown$"):
        pool.submit(abs, 1)
    assert all(f.cancelled() == cancel_futures for f in queued) and not first.cancelled()
    if cancel_futures:
        assert not futures.wait(queued, timeout=0).not_done  # waiters learn of it too
    release.set()
    pool.shutdown()  # again, now waiting
    assert first.result() == (None, True) and not any(thread.is_alive() for thread in pool._threads)
    if not cancel_futures:
        assert [f.result() for f in queued] == list(range(20))
    assert completed(pool) == 1 + (not cancel_futures) * 20


def test_shutdown_from_many_threads_at_once():
    pool = WorkerPoolExecutor(2)
    results = [pool.submit(abs, -i) for i in range(100)]
    callers = [threading.Thread(target=pool.shutdown, kwargs={"cancel_futures": bool(i % 2)}) for i in range(6)]
    for caller in callers:
        caller.start()
    for caller in callers:
        caller.join()
    assert all(f.done() for f in results)
    assert completed(pool) + sum(f.cancelled() for f in results) == 100


@pytest.mark.parametrize("loop_factory", [asyncio.EventLoop, WorkerPoolEventLoop])
def test_default_executor_of_several_event_loops(loop_factory):
    pool, all_done = WorkerPoolExecutor(2, thread_name_prefix="exec-test"), threading.Barrier(3)

    async def main(base):
        loop = asyncio.get_running_loop()
        loop.set_default_executor(pool)
        names = await asyncio.gather(
            *[loop.run_in_executor(None, lambda: threading.current_thread().name) for _ in range(50)]
        )
        assert {name.rpartition("_")[0] for name in names} == {"exec-test"}
        sums = await asyncio.gather(*[asyncio.to_thread(sum, range(base + i)) for i in range(200)])
        assert sums == [sum(range(base + i)) for i in range(200)]
        with pytest.raises(ZeroDivisionError):
            await asyncio.to_thread(divmod, base, 0)
        all_done.wait()  # asyncio.run shuts its default executor down on the way out

    with futures.ThreadPoolExecutor(3) as drivers:
        for done in [drivers.submit(asyncio.run, main(base), loop_factory=loop_factory) for base in range(3)]:
            done.result()
    assert completed(pool) == 3 * 251


def test_a_call_cancelled_while_queued_for_a_loop_never_runs():
    ran, gate = [], threading.Event()

    async def main():
        loop = asyncio.get_running_loop()
        busy = loop.run_in_executor(None, gate.wait)  # the one worker is held
        queued = loop.run_in_executor(None, ran.append, "ran")
        queued.cancel()
        gate.set()
        assert await busy is True
        assert await loop.run_in_executor(None, len, ran) == 0
        with pytest.raises(asyncio.CancelledError):
            await queued

    with WorkerPoolExecutor(1) as pool:

        def with_pool():
            loop = WorkerPoolEventLoop()
            loop.set_default_executor(pool)
            return loop

        asyncio.run(main(), loop_factory=with_pool)
    assert ran == []


def block(started, release):
    started.release()
    return release.wait(HANG_GUARD)


@pytest.mark.parametrize("through", ["submit", "loop"])
@pytest.mark.parametrize("workers, busy", [(2, False), (4, False), (2, True), (3, True)])
def test_a_quick_call_never_waits_behind_blocking_ones_while_a_worker_is_free(through, workers, busy):
    # One blocking call fewer than workers, then a quick call: submitted to
    # idle workers, or queued while holders occupy every worker and then let
    # go together. Either way a worker is free for the quick call, which must
    # finish while the blocking calls still block, in every trial.
    async def trials(pool):
        loop = asyncio.get_running_loop()
        run = (
            functools.partial(loop.run_in_executor, None)
            if through == "loop"
            else lambda fn, *args: asyncio.wrap_future(pool.submit(fn, *args))
        )
        for _ in range(200):
            started, hold, release = threading.Semaphore(0), threading.Event(), threading.Event()
            holders = [run(block, started, hold) for _ in range(workers if busy else 0)]
            for _ in holders:
                assert started.acquire(timeout=HANG_GUARD)
            blocking = [run(block, started, release) for _ in range(workers - 1)]
            quick = run(abs, -1)
            hold.set()
            try:
                assert await asyncio.wait_for(quick, HANG_GUARD) == 1
                assert not any(call.done() for call in blocking)
            finally:
                release.set()
            assert all(await asyncio.gather(*holders, *blocking))  # released, not timed out

    with WorkerPoolExecutor(workers) as pool:

        def with_pool():
            loop = WorkerPoolEventLoop()
            loop.set_default_executor(pool)
            return loop

        asyncio.run(trials(pool), loop_factory=with_pool)


def observe(make_future):
    """What a future shows through each step of its life, for comparison."""
    seen, error = [], ValueError()
    f = make_future()
    f.add_done_callback(lambda done: seen.append(("callback", done.cancelled())))
    with pytest.raises(futures.TimeoutError):
        f.result(timeout=0)
    seen += [f.running(), f.done(), f.set_running_or_notify_cancel(), f.running(), f.cancel()]
    f.set_exception(error)
    seen += [f.done(), f.exception() is error, pytest.raises(futures.InvalidStateError, f.set_result, 1) is not None]
    g = make_future()
    waiter = threading.Thread(target=lambda: seen.append(("waited", g.result())))
    waiter.start()
    g.set_running_or_notify_cancel()
    g.set_result(5)
    waiter.join()
    h = make_future()
    seen += [h.cancel(), h.cancel(), h.cancelled(), h.set_running_or_notify_cancel()]
    seen.append(pytest.raises(futures.CancelledError, h.result) is not None)
    return seen


def test_lean_future_behaves_as_the_stdlib_future():
    assert observe(LeanFuture) == observe(futures.Future)


# --- CPython's own executor tests, on WorkerPoolExecutor ------------------------------
# Imported from the source tree the build unpacks, never copied here: the thread-pool
# test classes, with our executor (and future) for the stdlib's, but for these cases:
NOT_APPLICABLE = {
    "runs a child interpreter that imports its executor from concurrent.futures": (
        "test_interpreter_shutdown", "test_submit_after_interpreter_shutdown", "test_hang_gh83386",
        "test_cancel_futures_wait_false"),
    "expects threads started as needed, and named ThreadPoolExecutor-N_i": (
        "test_idle_thread_reuse", "test_threads_terminate", "test_thread_names_default"),
    "expects the stdlib future's Condition or its class name in the repr": (
        "test_exception_with_success", "test_multiple_set_result", "test_multiple_set_exception"),
    "reads what logging prints without a handler, and pytest's log capture is one": (
        "test_done_callback_raises", "test_done_callback_raises_already_succeeded"),
}  # fmt: skip


def cpython_executor_tests():
    """The adapted test classes by name, or {} without the source tree."""
    source = pathlib.Path(
        os.environ.get("XDG_CACHE_HOME") or pathlib.Path.home() / ".cache",
        "tessaryne",
        "src",
        f"Python-{platform.python_version()}",
        "Lib",
        "test",
        "test_concurrent_futures",
    )
    if not (source / "__init__.py").is_file():
        return {}
    from test import support

    name, kept = "test.test_concurrent_futures", (sys.dont_write_bytecode, support.use_resources)
    # The source tree stays as unpacked; as under regrtest by default, the slow
    # cases that need the 'cpu' or 'walltime' resource are skipped.
    sys.dont_write_bytecode, support.use_resources = True, []
    try:
        spec = importlib.util.spec_from_file_location(
            name, source / "__init__.py", submodule_search_locations=[str(source)]
        )
        sys.modules[name] = package = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(package)
        wait, as_completed, thread_pool, shutdown, future, util = (
            importlib.import_module(f"{name}.{module}")
            for module in ("test_wait", "test_as_completed", "test_thread_pool", "test_shutdown", "test_future", "util")
        )
    finally:
        sys.dont_write_bytecode, support.use_resources = kept
    # Cases that build a futures.ThreadPoolExecutor or a Future themselves get ours.
    thread_pool.futures = shutdown.futures = types.SimpleNamespace(
        **{attr: getattr(futures, attr) for attr in futures.__all__} | {"ThreadPoolExecutor": WorkerPoolExecutor}
    )
    future.Future = util.Future = LeanFuture
    skips = {test: unittest.skip(reason) for reason, tests in NOT_APPLICABLE.items() for test in tests}
    cases = [wait.ThreadPoolWaitTests, as_completed.ThreadPoolAsCompletedTest, thread_pool.ThreadPoolExecutorTest,
             shutdown.ThreadPoolShutdownTest, future.FutureTests]  # fmt: skip
    return {
        f"TestWorkerPool{case.__name__}": type(
            f"TestWorkerPool{case.__name__}",
            (case,),
            {
                "executor_type": WorkerPoolExecutor,
                "__module__": __name__,
                **{test: skip(getattr(case, test)) for test, skip in skips.items() if hasattr(case, test)},
            },
        )
        for case in cases
    }


globals().update(
    cpython_executor_tests()
    or {"test_cpython_executor_suite": pytest.mark.skip("no CPython source tree in the cache")(lambda: None)}
)
