"""The awaitable layer on real event loops, one loop per thread."""

import asyncio
import random
import threading

import pytest

from tessaryne.sync import Channel, RWLock, WaitGroup, select
from waiters import run_loops, settle


def test_bounded_channel_carries_every_item_once_in_sender_order():
    channel, per_sender = Channel(64), 50_000
    received, finished = ([], []), []

    def sender(tag):
        async def main():
            for seq in range(per_sender):
                await channel.send((tag, seq))
            finished.append(tag)
            if len(finished) == 2:
                channel.close()  # a second close changes nothing

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
    lock, guard = RWLock(), threading.Lock()
    inside, entered = [0, 0], [0, 0]  # readers, writers

    async def critical(is_writer):
        async with lock.write() if is_writer else lock.read():
            with guard:
                inside[is_writer] += 1
                entered[is_writer] += 1
                assert inside[1] == is_writer and (not is_writer or inside[0] == 0)
            await asyncio.sleep(0)
            with guard:
                inside[is_writer] -= 1

    def worker(seed):
        async def main():
            rng = random.Random(seed)
            for _ in range(300):
                tasks = [asyncio.create_task(critical(rng.random() < 0.3)) for _ in range(4)]
                await settle(rng.randrange(3))
                for task in tasks:
                    if rng.random() < 0.3:
                        task.cancel()
                await asyncio.gather(*tasks, return_exceptions=True)

        return main

    run_loops(*(worker(seed) for seed in range(4)))
    assert lock.snapshot() == (0, False, 0)
    assert min(entered) > 100


def test_wait_group_releases_every_waiter_once_per_cycle():
    group, count_lock = WaitGroup(), threading.Lock()
    cycles, loops, waiters_per_loop = 150, 4, 3
    # Every loop has finished the last cycle when the group is raised for the next.
    start = threading.Barrier(loops, action=lambda: group.add(loops))
    dones, released = [0] * cycles, [0] * cycles

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
# resolved_first: the wake-up has resolved the waiter's future before the
# cancellation arrives; otherwise the cancellation finds the future pending.


@pytest.mark.parametrize("is_writer", [False, True])
@pytest.mark.parametrize("resolved_first", [False, True])
def test_lock_granted_to_a_cancelled_waiter_is_given_back(is_writer, resolved_first):
    async def main():
        lock = RWLock()
        holder, wanted = (lock.read(), lock.write()) if is_writer else (lock.write(), lock.read())
        await holder.__aenter__()
        waiter = asyncio.create_task(wanted.__aenter__())
        await settle()
        await holder.__aexit__()  # grants the lock to the waiter
        if resolved_first:
            await asyncio.sleep(0)
        waiter.cancel()
        await asyncio.gather(waiter, return_exceptions=True)
        await settle()
        assert waiter.cancelled() and lock.snapshot() == (0, False, 0)

    asyncio.run(main())


async def recv_by_select(channel):
    return (await select(Channel(), channel))[1]


@pytest.mark.parametrize("receive", [Channel.recv, recv_by_select])
@pytest.mark.parametrize("resolved_first", [False, True])
def test_item_handed_to_a_cancelled_receiver_goes_to_the_next(receive, resolved_first):
    async def main():
        channel = Channel(1)
        first = asyncio.create_task(receive(channel))
        await settle()
        second = asyncio.create_task(receive(channel))
        await settle()
        await channel.send("item")
        if resolved_first:
            await asyncio.sleep(0)
        first.cancel()
        await settle()
        assert first.cancelled() and second.done() and second.result() == "item"

    asyncio.run(main())


def test_cancelled_queued_waiters_leave_their_queues():
    async def main():
        lock, channel, group = RWLock(), Channel(1), WaitGroup()
        await lock.read().__aenter__()
        await channel.send(1)
        group.add()
        writer = asyncio.create_task(lock.write().__aenter__())
        await settle()
        reader = asyncio.create_task(lock.read().__aenter__())
        cancelled = [writer, asyncio.create_task(channel.send(2)), asyncio.create_task(group.wait())]
        await settle()
        assert lock.snapshot() == (1, False, 1)
        for task in cancelled:
            task.cancel()
        await settle()
        assert reader.done() and lock.snapshot() == (2, False, 0)  # the reader behind the writer
        assert channel._raw.putters_len() == 0 and await channel.recv() == 1
        group.done()
        await group.wait()

    asyncio.run(main())


def test_select_across_loops_returns_the_channel_that_yielded():
    first, second = Channel(), Channel()

    async def selector():
        assert await select(first, second) == (second, "b")
        assert first._raw.notifiers_len() == second._raw.notifiers_len() == 0
        second.close()
        with pytest.raises(RuntimeError, match="Channel is closed"):
            await select(first, second)

    async def sender():
        while second._raw.notifiers_len() == 0:
            await asyncio.sleep(0)
        await second.send("b")

    run_loops(selector, sender)
