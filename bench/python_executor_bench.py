"""Executor benchmarks: WorkerPoolExecutor(2) against ThreadPoolExecutor(2) on
tiny tasks, from asyncio (run_in_executor with many calls in flight, awaited
with gather; ours on the server's loop, WorkerPoolEventLoop, and again on
asyncio's own) and from a plain thread (submit a batch, then wait for each
result). Two more rows show where the time goes: what asyncio's bridge adds to
each executor (the same for both), and the life of one future, ours against
the stdlib's; one more, what our future saves: submit then result() in our
executor, with its LeanFuture and with a plain concurrent.futures.Future.

Run: python bench/python_executor_bench.py  (after installing the extension)."""

import asyncio
import statistics
import time
from concurrent.futures import Future, ThreadPoolExecutor

from harness import print_table

from tessaryne import executor as executor_module
from tessaryne._stdlib_internals import LeanFuture
from tessaryne.executor import WorkerPoolEventLoop, WorkerPoolExecutor

RUNS = 7
BATCH = 1000
ROUNDS = 20
WORKERS = 2


def task():
    return None


def per_task_ns(measure_round, clock):
    """Median over RUNS of the time per task of ROUNDS rounds of BATCH tasks,
    by `clock`: time.perf_counter, or time.thread_time for the CPU time of the
    submitting thread alone, which other processes on the machine do not inflate."""
    measure_round()  # warm up: threads started, code specialised
    samples = []
    for _ in range(RUNS):
        began = clock()
        for _ in range(ROUNDS):
            measure_round()
        samples.append((clock() - began) / (ROUNDS * BATCH) * 1e9)
    return statistics.median(samples)


def submit_then_result(executor, clock):
    def measure_round():
        submit = executor.submit
        for future in [submit(task) for _ in range(BATCH)]:
            future.result()
    return per_task_ns(measure_round, clock)


def gather_run_in_executor(executor, clock, loop_factory=None):
    async def batch(loop):
        run = loop.run_in_executor
        await asyncio.gather(*[run(None, task) for _ in range(BATCH)])

    with asyncio.Runner(loop_factory=loop_factory) as runner:
        loop = runner.get_loop()
        loop.set_default_executor(executor)
        return per_task_ns(lambda: runner.run(batch(loop)), clock)


def future_lifecycle(make_future):
    def measure_round():
        for _ in range(BATCH):
            future = make_future()
            future.set_running_or_notify_cancel()
            future.set_result(None)
            future.result()
    return per_task_ns(measure_round, time.perf_counter)


def compare(measure, clock):
    with WorkerPoolExecutor(WORKERS) as ours, ThreadPoolExecutor(WORKERS) as peer:
        return measure(ours, clock), measure(peer, clock)


def lean_against_plain_future(clock):
    """Ours with its LeanFuture, then ours with a stdlib Future in its place."""
    with WorkerPoolExecutor(WORKERS) as ours:
        lean = submit_then_result(ours, clock)
        executor_module.LeanFuture = Future  # what submit() makes
        try:
            plain = submit_then_result(ours, clock)
        finally:
            executor_module.LeanFuture = LeanFuture
    return lean, plain


def compare_on_our_loop(clock):
    """Ours on the server's loop, which takes results back in batches; the
    stdlib executor on asyncio's own loop, as a server on it would run."""
    with WorkerPoolExecutor(WORKERS) as ours, ThreadPoolExecutor(WORKERS) as peer:
        return gather_run_in_executor(ours, clock, WorkerPoolEventLoop), gather_run_in_executor(peer, clock)


def main():
    peer = f"ThreadPoolExecutor({WORKERS})"
    on_our_loop = compare_on_our_loop(time.perf_counter)
    from_asyncio, plain = compare(gather_run_in_executor, time.perf_counter), compare(submit_then_result, time.perf_counter)
    loop_cpu, submitter_cpu = compare(gather_run_in_executor, time.thread_time), compare(submit_then_result, time.thread_time)
    lean, plain_future = lean_against_plain_future(time.perf_counter)
    rows = [
        (f"asyncio: gather of {BATCH} run_in_executor", *on_our_loop),
        ("  the same, ours on asyncio's own loop", *from_asyncio),
        (f"submit {BATCH}, then result() of each", *plain),
        ("  the same, CPU of the submitting thread", *submitter_cpu),
        ("  the same, ours with a stdlib Future", lean, plain_future),
        ("  asyncio's own loop: CPU of the loop thread", *loop_cpu),
        # What the loop spends beyond submit and result: wrap_future, the
        # completion handed over with call_soon_threadsafe (a wake-up byte per
        # call), the copy into the asyncio future, gather's callback.
        ("  loop CPU minus submitter CPU: the bridge", *(a - b for a, b in zip(loop_cpu, submitter_cpu))),
        ("future: create, run, set_result, result", future_lifecycle(LeanFuture), future_lifecycle(Future)),
    ]
    peers = [peer] * 4 + ["ours, stdlib Future"] + [peer] * 2 + ["stdlib Future"]
    print_table(f"Tiny tasks on {WORKERS} worker threads (time per task; goal: at least 2x "
                "ThreadPoolExecutor's tasks per second)",
                [(label, ours, name, theirs) for (label, ours, theirs), name in zip(rows, peers)])


if __name__ == "__main__":
    main()
