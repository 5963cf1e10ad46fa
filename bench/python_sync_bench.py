"""The awaitable layer (tessaryne.sync) between event loops on two threads:
channel throughput and ping-pong round trips against the same protocol in
pure Python (an asyncio.Queue per loop fed through call_soon_threadsafe) and
against aiologic's and culsans' queues when they are installed; the
uncontended `async with` of the reader-writer lock against asyncio.Lock; and
the drop-ins for asyncio's primitives, on one loop against asyncio's own, and
shared by two loops on two threads against aiologic's.

Run: python bench/python_sync_bench.py  (after installing the extension)."""

import asyncio
import statistics
import sys
import time

from harness import print_table, run_threads

from tessaryne import sync
from tessaryne.sync import Channel, RWLock

RUNS = 5
ITEMS = 200_000
ROUND_TRIPS = 20_000
CAPACITY = 1024
LOCK_ITERATIONS = 200_000
SHARED_OPERATIONS = 20_000  # per loop, for the drop-ins shared by two loops


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


def per_iteration_ns(*bodies):
    """Median over RUNS of the time of one iteration of each body(n), each run
    on a fresh loop; the bodies take turns, so a busy moment of the machine
    falls on all of them alike. One body: its figure; several: a list."""
    times = [[] for _ in bodies]
    for _ in range(RUNS):
        for body, spent in zip(bodies, times):
            loop = asyncio.new_event_loop()
            try:
                loop.run_until_complete(body(1000))  # warm up
                began = time.perf_counter()
                loop.run_until_complete(body(LOCK_ITERATIONS))
                spent.append((time.perf_counter() - began) / LOCK_ITERATIONS * 1e9)
            finally:
                loop.close()
    medians = [statistics.median(spent) for spent in times]
    return medians[0] if len(medians) == 1 else medians


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

    read, write, peer = per_iteration_ns(reads, writes, plain_lock)
    print_table("One loop, nobody else on the lock (time per async with, lower is better)", [
        ("async with lock.read()", read, "async with asyncio.Lock()", peer),
        ("async with lock.write()", write, "async with asyncio.Lock()", peer),
    ])


# --- the drop-ins for asyncio's primitives ---------------------------------------------------


def one_loop_bodies(module):
    """Body functions over one module's primitives (asyncio's or ours), by operation."""
    lock, semaphore, event, queue = module.Lock(), module.Semaphore(2), module.Event(), module.Queue()
    condition = module.Condition()
    event.set()

    async def with_lock(n):
        for _ in range(n):
            async with lock:
                pass

    async def with_semaphore(n):
        for _ in range(n):
            async with semaphore:
                pass

    async def wait_set_event(n):
        for _ in range(n):
            await event.wait()

    async def put_get_nowait(n):
        for item in range(n):
            queue.put_nowait(item)
            queue.get_nowait()

    async def put_get(n):
        for item in range(n):
            await queue.put(item)
            await queue.get()

    async def notify_nobody(n):
        for _ in range(n):
            async with condition:
                condition.notify()

    async def hand_over(n):
        # Two tasks of the loop, one item at a time through a queue of one:
        # every put and get but the first waits for the other task.
        passing = module.Queue(1)

        async def consume():
            for _ in range(n):
                await passing.get()

        consumer = asyncio.create_task(consume())
        for item in range(n):
            await passing.put(item)
        await consumer

    return {
        "async with Lock()": with_lock,
        "async with Semaphore(2)": with_semaphore,
        "await Event.wait(), set": wait_set_event,
        "Queue.put_nowait + get_nowait": put_get_nowait,
        "await Queue.put + get, no wait": put_get,
        "async with Condition(): notify()": notify_nobody,
        "Queue(1) between two tasks": hand_over,
    }


def bench_drop_ins_one_loop():
    ours, theirs = one_loop_bodies(sync), one_loop_bodies(asyncio)
    rows = []
    for operation in ours:
        mine, peer = per_iteration_ns(ours[operation], theirs[operation])
        rows.append((operation, mine, "asyncio", peer))
    print_table("Drop-ins on one loop, against asyncio's own (time per operation, lower is better)", rows)


def shared_bodies(module):
    """For each operation, (make, side, side): `make()` builds the shared
    objects, each side is a coroutine function of them run on its own loop."""
    aiologic = module.__name__ == "aiologic"

    async def contend(lock):
        for _ in range(SHARED_OPERATIONS):
            async with lock:
                pass

    def events():
        return [module.Event() for _ in range(SHARED_OPERATIONS)], [module.Event() for _ in range(SHARED_OPERATIONS)]

    async def wait(event):
        await (event if aiologic else event.wait())

    async def ping(pair):
        for there, back in zip(*pair):
            there.set()
            await wait(back)

    async def pong(pair):
        for there, back in zip(*pair):
            await wait(there)
            back.set()

    def queue_calls(queue):
        return (queue.async_put, queue.async_get) if aiologic else (queue.put, queue.get)

    async def send(queue):
        put, _ = queue_calls(queue)
        for item in range(10 * SHARED_OPERATIONS):
            await put(item)

    async def receive(queue):
        _, get = queue_calls(queue)
        for _ in range(10 * SHARED_OPERATIONS):
            await get()

    async def ask(queues):
        (put, _), (_, get) = queue_calls(queues[0]), queue_calls(queues[1])
        for item in range(SHARED_OPERATIONS):
            await put(item)
            await get()

    async def answer(queues):
        (_, get), (put, _) = queue_calls(queues[0]), queue_calls(queues[1])
        for _ in range(SHARED_OPERATIONS):
            await put(await get())

    return {
        "Lock, async with on both loops": (module.Lock, contend, contend, 2 * SHARED_OPERATIONS),
        "Semaphore(2), async with on both": (lambda: module.Semaphore(2), contend, contend, 2 * SHARED_OPERATIONS),
        "Event set -> wait, ping-pong": (events, ping, pong, SHARED_OPERATIONS),
        "Queue(1024) put -> get": (lambda: module.Queue(CAPACITY), send, receive, 10 * SHARED_OPERATIONS),
        "Queue ping-pong": (lambda: (module.Queue(), module.Queue()), ask, answer, SHARED_OPERATIONS),
    }


def bench_drop_ins_between_loops():
    try:
        import aiologic
    except ImportError as error:
        print(f"\nDrop-ins shared by two loops: aiologic not installed ({error.name}); skipped")
        return
    ours, theirs = shared_bodies(sync), shared_bodies(aiologic)
    rows = []
    for operation, (make, first, second, count) in ours.items():
        peer_make, peer_first, peer_second, _ = theirs[operation]
        seconds = {"ours": [], "aiologic": []}
        for _ in range(RUNS):
            for name, (build, one, other) in (("ours", (make, first, second)),
                                              ("aiologic", (peer_make, peer_first, peer_second))):
                shared = build()
                seconds[name].append(on_loops(lambda _loops: one(shared), lambda _loops: other(shared)))
        rows.append((operation, statistics.median(seconds["ours"]) / count * 1e9, "aiologic",
                     statistics.median(seconds["aiologic"]) / count * 1e9))
    print_table("Drop-ins shared by two loops on two threads, against aiologic's (time per operation, lower is "
                "better)", rows)


if __name__ == "__main__":
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"\ntessaryne.sync (GIL {'enabled' if gil else 'disabled'}; Channel capacity {CAPACITY})")
    bench_between_loops("Channel send -> recv", ITEMS, throughput_run, pure_throughput_run, throughput_run, "items")
    bench_between_loops("Channel ping-pong", ROUND_TRIPS, ping_pong_run, pure_ping_pong_run, ping_pong_run,
                        "round trips")
    bench_uncontended_lock()
    bench_drop_ins_one_loop()
    bench_drop_ins_between_loops()
