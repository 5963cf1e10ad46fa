"""Executor benchmarks: WorkerPoolExecutor(2) against ThreadPoolExecutor(2) on
tiny tasks, from asyncio (run_in_executor with many calls in flight, awaited
with gather) and from plain threads (submit a batch, then wait for each result).
The last rows time asyncio's wrap_future bridge alone, without any executor,
for the stdlib future and for ours: that part is asyncio's, not the executor's.

Run: python bench/python_executor_bench.py  (after installing the extension)."""

import asyncio
import queue
import statistics
import threading
import time
from concurrent.futures import Future, ThreadPoolExecutor

from harness import print_table

from tessaryne.executor import WorkerPoolExecutor, _Future

RUNS = 7
BATCH = 1000
ROUNDS = 20
WORKERS = 2


def task():
    return None


def per_task_ns(measure_round):
    """Median over RUNS of the time per task of ROUNDS rounds of BATCH tasks."""
    measure_round()  # warm up: threads started, code specialised
    samples = []
    for _ in range(RUNS):
        began = time.perf_counter()
        for _ in range(ROUNDS):
            measure_round()
        samples.append((time.perf_counter() - began) / (ROUNDS * BATCH) * 1e9)
    return statistics.median(samples)


def submit_then_result(executor):
    def measure_round():
        submit = executor.submit
        for future in [submit(task) for _ in range(BATCH)]:
            future.result()
    return per_task_ns(measure_round)


def gather_run_in_executor(executor):
    async def batch(loop):
        run = loop.run_in_executor
        await asyncio.gather(*[run(None, task) for _ in range(BATCH)])

    with asyncio.Runner() as runner:
        loop = runner.get_loop()
        loop.set_default_executor(executor)
        return per_task_ns(lambda: runner.run(batch(loop)))


def gather_bridge_alone(make_future):
    """The asyncio hand-over with an executor that costs nothing: the loop
    wraps BATCH futures and one plain thread completes them all, so what is
    left is asyncio's bridge (wrap_future, a callback scheduled with
    call_soon_threadsafe and its wake-up byte, the copy into an asyncio future)."""
    batches, stop = queue.SimpleQueue(), None

    def complete():
        while (futures := batches.get()) is not stop:
            for future in futures:
                future.set_running_or_notify_cancel()
                future.set_result(None)

    async def batch(loop):
        futures = [make_future() for _ in range(BATCH)]
        wrapped = [asyncio.wrap_future(future, loop=loop) for future in futures]
        batches.put(futures)
        await asyncio.gather(*wrapped)

    completer = threading.Thread(target=complete)
    completer.start()
    try:
        with asyncio.Runner() as runner:
            loop = runner.get_loop()
            return per_task_ns(lambda: runner.run(batch(loop)))
    finally:
        batches.put(stop)
        completer.join()


def future_lifecycle(make_future):
    def measure_round():
        for _ in range(BATCH):
            future = make_future()
            future.set_running_or_notify_cancel()
            future.set_result(None)
            future.result()
    return per_task_ns(measure_round)


def compare(label, measure):
    with WorkerPoolExecutor(WORKERS) as ours, ThreadPoolExecutor(WORKERS) as peer:
        return (label, measure(ours), f"ThreadPoolExecutor({WORKERS})", measure(peer))


def main():
    rows = [
        compare(f"asyncio: gather of {BATCH} run_in_executor", gather_run_in_executor),
        compare(f"submit {BATCH}, then result() of each", submit_then_result),
        ("asyncio bridge alone (no executor)", gather_bridge_alone(_Future),
         "the same, stdlib Future", gather_bridge_alone(Future)),
        ("future create, run, set_result, result", future_lifecycle(_Future),
         "the same, stdlib Future", future_lifecycle(Future)),
    ]
    print_table(f"Tiny tasks on {WORKERS} worker threads (time per task; goal: at least 2x "
                "ThreadPoolExecutor's tasks per second)", rows)


if __name__ == "__main__":
    main()
