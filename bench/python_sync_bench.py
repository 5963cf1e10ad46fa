"""The awaitable layer (tessaryne.sync) between event loops on two threads:
channel throughput and ping-pong round trips against the same protocol in
pure Python (an asyncio.Queue per loop fed through call_soon_threadsafe) and
against aiologic's and culsans' queues when they are installed; and the
uncontended `async with` of the reader-writer lock against asyncio.Lock.

Run: python bench/python_sync_bench.py  (after installing the extension)."""

import asyncio
import statistics
import sys
import time

from harness import print_table, run_threads

from tessaryne.sync import Channel, RWLock

RUNS = 5
ITEMS = 200_000
ROUND_TRIPS = 20_000
CAPACITY = 1024
LOCK_ITERATIONS = 200_000


def on_loops(*coroutine_functions):
    """Seconds for each coroutine function to finish on its own loop and thread;
    the loops exist before the clock starts, so each side may address the other's."""
    loops = [asyncio.new_event_loop() for _ in coroutine_functions]
    try:
        return run_threads([lambda loop=loop, fn=fn: loop.run_until_complete(fn(loops))
                            for loop, fn in zip(loops, coroutine_functions)])
    finally:
        for loop in loops:
            loop.close()


# --- one kind of queue per peer: (make, send, recv) over awaitables ---------------------------


def ours():
    channel = Channel(CAPACITY)
    return channel.send, channel.recv


def aiologic_queue():
    import aiologic
    queue = aiologic.Queue(CAPACITY)
    return queue.async_put, queue.async_get


def culsans_queue():
    import culsans
    queue = culsans.Queue(CAPACITY).async_q
    return queue.put, queue.get


def throughput_run(make):
    send, recv = make()

    async def sender(_loops):
        for item in range(ITEMS):
            await send(item)

    async def receiver(_loops):
        for _ in range(ITEMS):
            await recv()

    return on_loops(sender, receiver)


def ping_pong_run(make):
    (ping, wait_ping), (pong, wait_pong) = make(), make()

    async def client(_loops):
        for round_trip in range(ROUND_TRIPS):
            await ping(round_trip)
            await wait_pong()

    async def server(_loops):
        for _ in range(ROUND_TRIPS):
            await pong(await wait_ping())

    return on_loops(client, server)


# The pure-Python protocol: every loop owns an asyncio.Queue; a sender schedules
# the put on the receiver's loop. Unbounded, as call_soon_threadsafe has no back-pressure.

def queue_per_loop():
    queues = {}

    async def own_queue():
        queues[asyncio.get_running_loop()] = queue = asyncio.Queue()
        return queue

    return queues, own_queue


def pure_throughput_run():
    queues, own_queue = queue_per_loop()

    async def sender(loops):
        while loops[1] not in queues:
            await asyncio.sleep(0)
        put = queues[loops[1]].put_nowait
        call = loops[1].call_soon_threadsafe
        for item in range(ITEMS):
            call(put, item)

    async def receiver(_loops):
        get = (await own_queue()).get
        for _ in range(ITEMS):
            await get()

    return on_loops(sender, receiver)


def pure_ping_pong_run():
    queues, own_queue = queue_per_loop()

    def side(me, other, first):
        async def run(loops):
            get = (await own_queue()).get
            while loops[other] not in queues:
                await asyncio.sleep(0)
            put, call = queues[loops[other]].put_nowait, loops[other].call_soon_threadsafe
            for round_trip in range(ROUND_TRIPS):
                if first:
                    call(put, round_trip)
                    await get()
                else:
                    call(put, await get())
        return run

    return on_loops(side(0, 1, True), side(1, 0, False))


def peers():
    """(name, make or None, reason it is skipped)."""
    found = []
    for name, make in (("aiologic Queue", aiologic_queue), ("culsans Queue", culsans_queue)):
        try:
            make()
            found.append((name, make, None))
        except ImportError as error:
            found.append((name, None, f"not installed ({error.name})"))
    return found


def print_rates(title, ours_rate, rows):
    print(f"\n{title}")
    header = f"{'operation':<36} {'ours':>11} {'peer':<40} {'peer rate':>11} {'ours/peer':>9}"
    print(header)
    print("-" * len(header))
    for operation, peer_name, peer_rate in rows:
        if peer_rate is None:
            print(f"{operation:<36} {ours_rate / 1e3:>9.1f} k {peer_name:<40} {'-':>11} {'-':>9}")
        else:
            print(f"{operation:<36} {ours_rate / 1e3:>9.1f} k {peer_name:<40} "
                  f"{peer_rate / 1e3:>9.1f} k {ours_rate / peer_rate:>8.2f}x")


def bench_between_loops(operation, count, ours_run, pure_run, peer_run, unit):
    """Runs alternate between the implementations, so a busy moment of the
    machine falls on all of them alike; the median run of each counts."""
    runs = {"ours": lambda: ours_run(ours), "asyncio.Queue per loop + call_soon_threadsafe": pure_run}
    skipped = []
    for name, make, reason in peers():
        if make is None:
            skipped.append((name, reason))
        else:
            runs[name] = lambda make=make: peer_run(make)
    seconds = {name: [] for name in runs}
    for _ in range(RUNS):
        for name, run in runs.items():
            seconds[name].append(run())
    rate = {name: count / statistics.median(times) for name, times in seconds.items()}
    mine = rate.pop("ours")
    rows = [(operation, name, peer_rate) for name, peer_rate in rate.items()]
    rows += [(operation, f"{name}: {reason}", None) for name, reason in skipped]
    print_rates(f"Two loops on two threads, {count:,} {unit} ({unit} per second, higher is better)", mine, rows)


def per_iteration_ns(body):
    """Median over RUNS of the time of one iteration of body(n) on a fresh loop."""
    times = []
    for _ in range(RUNS):
        loop = asyncio.new_event_loop()
        try:
            loop.run_until_complete(body(1000))  # warm up
            began = time.perf_counter()
            loop.run_until_complete(body(LOCK_ITERATIONS))
            times.append((time.perf_counter() - began) / LOCK_ITERATIONS * 1e9)
        finally:
            loop.close()
    return statistics.median(times)


def bench_uncontended_lock():
    lock, plain = RWLock(), asyncio.Lock()

    async def reads(n):
        for _ in range(n):
            async with lock.read():
                pass

    async def writes(n):
        for _ in range(n):
            async with lock.write():
                pass

    async def plain_lock(n):
        for _ in range(n):
            async with plain:
                pass

    peer = per_iteration_ns(plain_lock)
    print_table("One loop, nobody else on the lock (time per async with, lower is better)", [
        ("async with lock.read()", per_iteration_ns(reads), "async with asyncio.Lock()", peer),
        ("async with lock.write()", per_iteration_ns(writes), "async with asyncio.Lock()", peer),
    ])


if __name__ == "__main__":
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"\ntessaryne.sync (GIL {'enabled' if gil else 'disabled'}; Channel capacity {CAPACITY})")
    bench_between_loops("Channel send -> recv", ITEMS, throughput_run, pure_throughput_run, throughput_run, "items")
    bench_between_loops("Channel ping-pong", ROUND_TRIPS, ping_pong_run, pure_ping_pong_run, ping_pong_run,
                        "round trips")
    bench_uncontended_lock()
