"""Executor benchmarks: WorkerPoolExecutor(2) against ThreadPoolExecutor(2) on
tiny tasks, from asyncio (run_in_executor with many calls in flight, awaited
with gather) and from a plain thread (submit a batch, then wait for each
result). Two more rows show where the time goes: what asyncio's bridge adds to
each executor (the same for both), and the life of one future, ours against
the stdlib's.

Run: python bench/python_executor_bench.py  (after installing the extension)."""

import asyncio
import statistics
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


def future_lifecycle(make_future):
    def measure_round():
        for _ in range(BATCH):
            future = make_future()
            future.set_running_or_notify_cancel()
            future.set_result(None)
            future.result()
    return per_task_ns(measure_round)


def compare(measure):
    with WorkerPoolExecutor(WORKERS) as ours, ThreadPoolExecutor(WORKERS) as peer:
        return measure(ours), measure(peer)


def main():
    peer = f"ThreadPoolExecutor({WORKERS})"
    from_asyncio, plain = compare(gather_run_in_executor), compare(submit_then_result)
    rows = [
        (f"asyncio: gather of {BATCH} run_in_executor", from_asyncio[0], peer, from_asyncio[1]),
        (f"submit {BATCH}, then result() of each", plain[0], peer, plain[1]),
        # What asyncio adds on top of submit and result: wrap_future, the
        # completion handed to the loop with call_soon_threadsafe (a wake-up
        # byte per call), the copy into the asyncio future and gather's callback.
        ("asyncio's share: the first row minus the second", from_asyncio[0] - plain[0], peer,
         from_asyncio[1] - plain[1]),
        ("future: create, run, set_result, result", future_lifecycle(_Future), "stdlib Future",
         future_lifecycle(Future)),
    ]
    print_table(f"Tiny tasks on {WORKERS} worker threads (time per task; goal: at least 2x "
                "ThreadPoolExecutor's tasks per second)", rows)


if __name__ == "__main__":
    main()
