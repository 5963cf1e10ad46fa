"""NativeWorkerPool: queues, service order, close and drain, metrics, and what
its finalizers may do."""

import subprocess
import sys
import textwrap
import threading
import weakref

import pytest

from tessaryne._tessaryne_core import AtomicMetrics, NativeWorkerPool, ThreadPoolClosedError

METHODS = ["close", "set_metrics", "is_closed", "is_drained", "push_global", "push_local", "pop_work"]
SIGNATURES = {"set_metrics": "($self, metrics)", "push_global": "($self, task)",
              "push_local": "($self, index, task)", "pop_work": "($self, index)"}  # fmt: skip


class Task:
    """A weak-referenceable task."""


def drain(pool, index):
    """Everything worker `index` gets until it is told it is drained."""
    tasks = []
    while True:
        try:
            task = pool.pop_work(index)
        except ThreadPoolClosedError as error:
            assert str(error) == "Pool is closed and drained"
            return tasks
        if task is not None:
            tasks.append(task)


def test_methods_in_order_with_signatures_only():
    assert [name for name in vars(NativeWorkerPool) if not name.startswith("_")] == METHODS
    for name in METHODS:
        method = getattr(NativeWorkerPool, name)
        assert (method.__text_signature__, method.__doc__) == (SIGNATURES.get(name, "($self)"), None)


def pool_2():
    return NativeWorkerPool(2)


# (call on a 2-worker pool, exception, message, note)
ERRORS = [
    (lambda p: p.push_global(None), TypeError, "pool task cannot be None", None),
    (lambda p: p.push_local(0), TypeError,
     "NativeWorkerPool.push_local() missing 1 required positional argument: 'task'", None),
    (lambda p: p.pop_work(0, 1), TypeError,
     "NativeWorkerPool.pop_work() takes 1 positional arguments but 2 were given", None),
    (lambda p: p.pop_work(idx=0), TypeError, "NativeWorkerPool.pop_work() got an unexpected keyword argument 'idx'", None),
    (lambda p: p.pop_work(-1), OverflowError, None, "while processing 'index'"),
    (lambda p: p.pop_work("0"), TypeError, None, "while processing 'index'"),
    (lambda p: p.set_metrics(None), TypeError, "'None' is not an instance of 'AtomicMetrics'", "while processing 'metrics'"),
    (lambda p: p.set_metrics(p), TypeError, "'NativeWorkerPool' object is not an instance of 'AtomicMetrics'",
     "while processing 'metrics'"),
    (lambda p: p.push_local(-1, None), OverflowError, None, "while processing 'index'"),  # before the task
    (lambda p: p.push_local(5, None), TypeError, "pool task cannot be None", None),  # before the index check
    (lambda p: p.push_local(2, "t"), RuntimeError, "Worker index out of range", None),
    (lambda p: p.close(1), TypeError, None, None),
    (lambda p: NativeWorkerPool(2**64), OverflowError, None, "while processing 'num_threads'"),
    (lambda p: NativeWorkerPool(2**62), MemoryError, None, None),
]  # fmt: skip


@pytest.mark.parametrize("call,error,message,note", ERRORS)
def test_argument_errors_leave_the_pool_unchanged(call, error, message, note):
    pool = pool_2()
    with pytest.raises(error) as caught:
        call(pool)
    assert type(caught.value) is error
    if message is not None:
        assert str(caught.value) == message
    assert getattr(caught.value, "__notes__", None) == ([note] if note else None)
    assert pool.is_drained() and not pool.is_closed()


def test_closed_pool_refuses_submissions_and_keeps_no_reference():
    pool = pool_2()
    pool.close()
    assert pool.close() is None  # twice is harmless
    assert pool.is_closed()
    task = Task()
    alive = weakref.ref(task)
    # Closures, not partials: `del task` below empties their cell, so nothing but the pool could keep it.
    submits = (lambda: pool.push_global(task), lambda: pool.push_local(0, task), lambda: pool.push_local(5, task))  # noqa: F821
    for submit in submits:
        with pytest.raises(ThreadPoolClosedError) as caught:
            submit()
        assert str(caught.value) == "Pool is closed"
    del task
    assert alive() is None


def test_forty_tasks_four_workers():
    pool, metrics = NativeWorkerPool(4), AtomicMetrics(4)
    assert pool.set_metrics(metrics=metrics) is None
    tasks = [Task() for _ in range(40)]
    for task in tasks:
        assert pool.push_global(task=task) is None
    assert pool.pop_work(index=0) is tasks[0]
    assert (metrics.get_global_pull(0), metrics.get_injection_queue_depth(0)) == (11, 29)
    assert [pool.pop_work(0) for _ in range(10)] == tasks[1:11]
    assert metrics.get_global_pull(0) == 11


def test_full_inbox_spills_into_the_injection_queue():
    pool, metrics = NativeWorkerPool(2), AtomicMetrics(2)
    pool.set_metrics(metrics)
    for i in range(257):
        pool.push_local(index=1, task=i)
    assert metrics.get_remote_schedule(1) == 256
    # The injection queue is served before the inbox: the spilled task comes first.
    assert pool.pop_work(1) == 256
    assert [pool.pop_work(1) for _ in range(256)] == list(range(256))
    assert pool.pop_work(1) is None
    assert (metrics.get_park(1), metrics.get_global_pull(1)) == (1, 1)


def test_zero_workers():
    pool = NativeWorkerPool(0)
    with pytest.raises(ThreadPoolClosedError, match="^Pool is closed$"):
        pool.push_local(0, 1)
    pool.push_global(1)
    assert pool.pop_work(0) is None
    pool.close()
    assert [pool.pop_work(0), pool.pop_work(3)] == [None, None]  # the injection queue is never emptied
    assert not pool.is_drained()
    empty = NativeWorkerPool(0)
    empty.close()
    assert drain(empty, 0) == []


def test_drain_after_close_in_order():
    pool = NativeWorkerPool(2)
    for i in range(300):
        pool.push_global(i)
    pool.push_local(0, "own")
    pool.push_local(1, "other")
    assert pool.pop_work(0) == 0  # 300 / 2 + 1 = 128 (the most) moved while open
    pool.close()
    assert pool.is_closed() and not pool.is_drained()
    assert drain(pool, 0) == [*range(1, 300), "own"]  # batches of at most 128 once closed
    assert not pool.is_drained()  # worker 1's inbox, which did not hold worker 0 back
    assert drain(pool, 1) == ["other"]
    assert pool.is_drained()


def test_metrics_smaller_than_the_pool_and_replaced():
    pool, small = NativeWorkerPool(4), AtomicMetrics(1)
    pool.set_metrics(small)
    for index in range(4):
        assert pool.pop_work(index) is None
    pool.pop_work(10)
    assert small.get_park(0) == 1
    larger = AtomicMetrics(11)
    pool.close()
    pool.set_metrics(larger)  # accepted after close too
    with pytest.raises(ThreadPoolClosedError):
        pool.pop_work(10)
    assert (small.get_park(0), larger.get_park(10)) == (1, 0)  # closed: no parks


def test_queued_tasks_are_released_with_the_pool():
    pool, metrics = NativeWorkerPool(2), AtomicMetrics(2)
    pool.set_metrics(metrics)
    tasks = [Task() for _ in range(4)]
    alive = [weakref.ref(task) for task in tasks]
    pool.push_global(tasks[0])
    pool.push_global(tasks[1])
    pool.push_local(1, tasks[2])
    pool.push_local(0, tasks[3])
    assert pool.pop_work(0) is tasks[0]  # tasks[1] stays in worker 0's local run queue
    metrics_references = sys.getrefcount(metrics)
    del tasks
    assert [ref() is not None for ref in alive] == [False, True, True, True]
    del pool
    assert [ref() for ref in alive] == [None] * 4
    assert sys.getrefcount(metrics) == metrics_references - 1


def test_threads_push_and_poll_while_close_races():
    workers, per_producer = 3, 4000
    pool, metrics = NativeWorkerPool(workers), AtomicMetrics(workers)
    pool.set_metrics(metrics)
    accepted = [[], []]
    taken = [[] for _ in range(workers)]
    half_pushed = threading.Event()

    def produce(kind):
        try:
            for i in range(per_producer):
                task = (kind, i)
                try:
                    if kind == 0:
                        pool.push_global(task)
                    else:
                        pool.push_local(i // 300 % workers, task)  # bursts that overflow an inbox
                except ThreadPoolClosedError:
                    return
                accepted[kind].append(task)
                if kind == 1 and i == per_producer // 2:
                    half_pushed.set()
        finally:
            # Set by the local producer alone, whose progress is checked below
            # (the global one may finish first); set also if it fails, so the
            # close never waits for ever.
            if kind == 1:
                half_pushed.set()

    def work(index):
        while True:
            try:
                task = pool.pop_work(index)
            except ThreadPoolClosedError as error:
                assert str(error) == "Pool is closed and drained"
                return
            if task is not None:
                taken[index].append(task)

    threads = [threading.Thread(target=produce, args=(kind,)) for kind in (0, 1)]
    threads += [threading.Thread(target=work, args=(index,)) for index in range(workers)]
    for thread in threads:
        thread.start()
    half_pushed.wait()
    pool.close()
    for thread in threads:
        thread.join()

    handed_out = [task for tasks in taken for task in tasks]
    assert sorted(handed_out) == sorted(accepted[0] + accepted[1])  # each exactly once
    assert len(accepted[1]) > per_producer // 2
    assert pool.is_drained()
    for index in range(workers):
        with pytest.raises(ThreadPoolClosedError, match="^Pool is closed and drained$"):
            pool.pop_work(index)
        # A worker's tasks came through its own inbox or in its own batches.
        assert len(taken[index]) == metrics.get_global_pull(index) + metrics.get_remote_schedule(index)
    inbox_deliveries = sum(metrics.get_remote_schedule(i) for i in range(workers))
    assert inbox_deliveries <= len(accepted[1])
    assert sum(metrics.get_global_pull(i) for i in range(workers)) == len(handed_out) - inbox_deliveries


def run_isolated(code):
    """Runs `code` in a fresh interpreter; a deadlock becomes a timeout failure."""
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stderr, result.stdout.strip()) == (0, "", "ok")


def test_finalizers_may_call_back_into_the_pool():
    run_isolated("""
        import gc
        from tessaryne._tessaryne_core import AtomicMetrics, NativeWorkerPool, ThreadPoolClosedError

        calls = []

        class CallsBack:
            def __init__(self, pool, generation=0):
                self.pool = pool
                self.generation = generation
            def __del__(self):
                pool = self.pool
                calls.append(self.generation)
                pool.is_drained()
                pool.set_metrics(AtomicMetrics(1))  # releases the metrics it replaces
                try:
                    pool.pop_work(0)
                    if self.generation < 2:  # keeps the cycle alive for one more collection
                        pool.push_global(CallsBack(pool, self.generation + 1))
                    pool.push_local(1, 1)
                except ThreadPoolClosedError:
                    pass

        # Destruction with queued tasks whose finalizers use another pool.
        survivor = NativeWorkerPool(2)
        doomed = NativeWorkerPool(2)
        for i in range(3):
            doomed.push_global(CallsBack(survivor, 2))
            doomed.push_local(i % 2, CallsBack(survivor, 2))
        doomed.pop_work(0)
        del doomed
        assert calls == [2] * 6, calls

        # Cycles pool -> task -> pool, open and closed: the finalizers run while
        # the pool is garbage, call into it and queue new tasks.
        for closed in (False, True):
            calls.clear()
            pool = NativeWorkerPool(2)
            pool.set_metrics(AtomicMetrics(2))
            pool.push_global(CallsBack(pool))
            pool.push_local(1, CallsBack(pool))
            if closed:
                pool.close()
            del pool
            for _ in range(4):
                gc.collect()
            assert calls.count(0) == 2 and (closed or 2 in calls), calls
        print("ok")
    """)


def test_replacing_metrics_releases_the_old_ones():
    pool = NativeWorkerPool(1)
    first, second = AtomicMetrics(1), AtomicMetrics(1)
    before = sys.getrefcount(first)
    pool.set_metrics(first)
    assert sys.getrefcount(first) == before + 1
    pool.set_metrics(second)
    assert sys.getrefcount(first) == before
