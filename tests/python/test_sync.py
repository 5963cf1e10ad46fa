"""The awaitable layer on real event loops, one loop per thread."""

import asyncio
import random
import threading

import pytest

from tessaryne.sync import Channel, RWLock, WaitGroup, select


def run_loops(*mains):
    """Runs each coroutine function on its own loop in its own thread; re-raises the first failure."""
    errors = []

    def run(main):
        try:
            asyncio.run(main())
        except BaseException as error:  # noqa: BLE001 - reported to the test thread
            errors.append(error)

    threads = [threading.Thread(target=run, args=(main,)) for main in mains]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if errors:
        raise errors[0]


async def settle(rounds=10):
    for _ in range(rounds):
        await asyncio.sleep(0)


def test_bounded_channel_carries_every_item_once_in_sender_order():
    channel = Channel(64)
    per_sender = 50_000
    received = [[], []]
    senders_left = [2]
    lock = threading.Lock()

    def sender(tag):
        async def main():
            for seq in range(per_sender):
                await channel.send((tag, seq))
            with lock:
                senders_left[0] -= 1
                if senders_left[0] == 0:
                    channel.close()
        return main

    def receiver(out):
        async def main():
            with pytest.raises(RuntimeError, match="Channel is closed"):
                while True:
                    out.append(await channel.recv())
        return main

    run_loops(sender(0), sender(1), receiver(received[0]), receiver(received[1]))
    for out in received:
        for tag in (0, 1):
            seqs = [seq for t, seq in out if t == tag]
            assert seqs == sorted(seqs)
    assert sorted(received[0] + received[1]) == [(t, s) for t in (0, 1) for s in range(per_sender)]


def test_rw_lock_never_admits_a_writer_beside_anyone_under_cancellation():
    lock = RWLock()
    inside = {"readers": 0, "writers": 0}
    guard = threading.Lock()
    entries = [0]

    async def critical(is_writer):
        async with lock.write() if is_writer else lock.read():
            with guard:
                inside["writers" if is_writer else "readers"] += 1
                entries[0] += 1
                assert inside["writers"] == (1 if is_writer else 0)
                assert not is_writer or inside["readers"] == 0
            await asyncio.sleep(0)
            with guard:
                inside["writers" if is_writer else "readers"] -= 1

    def worker(seed):
        async def main():
            rng = random.Random(seed)
            for _ in range(300):
                tasks = [asyncio.create_task(critical(rng.random() < 0.3)) for _ in range(4)]
                for _ in range(rng.randrange(3)):
                    await asyncio.sleep(0)
                for task in tasks:
                    if rng.random() < 0.3:
                        task.cancel()
                await asyncio.gather(*tasks, return_exceptions=True)
        return main

    run_loops(*(worker(seed) for seed in range(4)))
    assert lock.snapshot() == (0, False, 0)
    assert entries[0] > 1000


def test_wait_group_releases_every_waiter_once_per_cycle():
    group = WaitGroup()
    cycles, loops, waiters_per_loop = 150, 4, 3
    # Every loop has finished the last cycle when the group is raised for the next.
    start = threading.Barrier(loops, action=lambda: group.add(loops))
    dones = [0] * cycles
    released = [0] * cycles
    count_lock = threading.Lock()

    async def waiter(cycle):
        await group.wait()
        with count_lock:
            assert dones[cycle] == loops  # never released early
            released[cycle] += 1

    async def main():
        for cycle in range(cycles):
            start.wait()
            tasks = [asyncio.create_task(waiter(cycle)) for _ in range(waiters_per_loop)]
            await settle(2)
            with count_lock:
                dones[cycle] += 1
            group.done()
            await asyncio.gather(*tasks)

    run_loops(*([main] * loops))
    assert released == [loops * waiters_per_loop] * cycles


# --- direct cancellation cases, on one loop ------------------------------------------------


@pytest.mark.parametrize("is_writer", [False, True])
@pytest.mark.parametrize("granted_first", [False, True])
def test_lock_granted_to_a_cancelled_waiter_is_given_back(is_writer, granted_first):
    async def main():
        lock = RWLock()
        holder = lock.read() if is_writer else lock.write()
        await holder.__aenter__()
        waiter = asyncio.create_task(critical_section(lock, is_writer))
        await settle()
        assert lock.snapshot()[2] == int(is_writer)
        await holder.__aexit__(None, None, None)  # grants the lock to the waiter
        if granted_first:
            await asyncio.sleep(0)  # the grant resolves the future before the cancellation
        waiter.cancel()
        with pytest.raises(asyncio.CancelledError):
            await waiter
        await settle()
        assert lock.snapshot() == (0, False, 0)

    async def critical_section(lock, is_writer):
        async with lock.write() if is_writer else lock.read():
            raise AssertionError("the cancelled waiter must not run")

    asyncio.run(main())


def test_lock_cancelled_queued_writer_admits_the_readers_behind_it():
    async def main():
        lock = RWLock()
        await lock.read().__aenter__()
        writer = asyncio.create_task(lock.write().__aenter__())
        await settle()
        reader = asyncio.create_task(lock.read().__aenter__())
        await settle()
        assert lock.snapshot() == (1, False, 1)
        writer.cancel()
        await settle()
        assert reader.done() and lock.snapshot() == (2, False, 0)

    asyncio.run(main())


@pytest.mark.parametrize("handed_first", [False, True])
def test_item_handed_to_a_cancelled_receiver_is_received_next(handed_first):
    async def main():
        channel = Channel(1)
        receiver = asyncio.create_task(channel.recv())
        await settle()
        await channel.send("item")
        if handed_first:
            await asyncio.sleep(0)
        receiver.cancel()
        with pytest.raises(asyncio.CancelledError):
            await receiver
        await settle()
        assert await channel.recv() == "item"

    asyncio.run(main())


def test_cancelled_sender_and_wait_group_waiter_leave_no_waiter_behind():
    async def main():
        channel = Channel(1)
        await channel.send(1)
        sender = asyncio.create_task(channel.send(2))
        group = WaitGroup()
        group.add()
        waiter = asyncio.create_task(group.wait())
        await settle()
        sender.cancel()
        waiter.cancel()
        await settle()
        assert channel._raw.putters_len() == 0
        assert await channel.recv() == 1
        group.done()
        await group.wait()

    asyncio.run(main())


def test_select_returns_the_channel_that_yielded_and_passes_wake_ups_on():
    first, second = Channel(), Channel()

    async def selector():
        assert await select(first, second) == (second, "b")
        assert first._raw.notifiers_len() == second._raw.notifiers_len() == 0
        cancelled = asyncio.create_task(select(first, second))
        await settle()
        cancelled.cancel()
        await settle()
        assert first._raw.notifiers_len() == 0
        second.close()
        with pytest.raises(RuntimeError, match="Channel is closed"):
            await select(first, second)

    async def sender():
        while second._raw.notifiers_len() == 0:
            await asyncio.sleep(0)
        await second.send("b")

    run_loops(selector, sender)
