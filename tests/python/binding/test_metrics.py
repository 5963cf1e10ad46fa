"""AtomicMetrics: six per-worker counters, lock-free, silent beyond the worker count."""

import threading

import pytest

from tessaryne._tessaryne_core import AtomicMetrics

METHODS = [
    "inc_active", "dec_active", "get_active", "get_completed", "inc_global_pull", "get_global_pull",
    "inc_park", "get_park", "set_injection_queue_depth", "get_injection_queue_depth",
    "inc_remote_schedule", "get_remote_schedule",
]  # fmt: skip
GETTERS = [name for name in METHODS if name.startswith("get_")]
UPDATES = [name for name in METHODS if name.startswith("inc_")] + ["dec_active"]


def test_methods_in_order_with_signatures_only():
    assert [name for name in vars(AtomicMetrics) if not name.startswith("_")] == METHODS
    for name in METHODS:
        method = getattr(AtomicMetrics, name)
        expected = "($self, index, depth)" if name == "set_injection_queue_depth" else "($self, index)"
        assert (method.__text_signature__, method.__doc__) == (expected, None)


# (updates, getter, expected)
CASES = [
    ([("inc_active", 1), ("inc_active", 1), ("dec_active", 1)], "get_active", 1),
    ([("inc_active", 1), ("inc_active", 1), ("dec_active", 1)], "get_completed", 1),
    ([("dec_active", 0)], "get_active", 2**64 - 1),
    ([("dec_active", 0)], "get_completed", 1),
    ([("inc_global_pull", 3)] * 3, "get_global_pull", 3),
    ([("inc_park", 2), ("inc_park", 2)], "get_park", 2),
    ([("inc_remote_schedule", 0)], "get_remote_schedule", 1),
    ([("inc_park", 0)], "get_remote_schedule", 0),
]


@pytest.mark.parametrize("updates,getter,expected", CASES)
def test_counters(updates, getter, expected):
    metrics = AtomicMetrics(4)
    for name, index in updates:
        assert getattr(metrics, name)(index) is None
    index = updates[0][1]
    assert getattr(metrics, getter)(index) == expected
    assert getattr(metrics, getter)(index=index) == expected


def test_depth_is_stored_not_added():
    metrics = AtomicMetrics(4)
    metrics.set_injection_queue_depth(2, 9)
    assert metrics.set_injection_queue_depth(depth=5, index=2) is None
    assert metrics.get_injection_queue_depth(2) == 5
    metrics.set_injection_queue_depth(1, 2**64 - 1)
    assert metrics.get_injection_queue_depth(1) == 2**64 - 1


@pytest.mark.parametrize("threads,index", [(0, 0), (4, 10), (4, 4), (4, 2**64 - 1)])
def test_index_beyond_the_workers_is_ignored(threads, index):
    metrics = AtomicMetrics(threads)
    for name in UPDATES:
        assert getattr(metrics, name)(index) is None
    assert metrics.set_injection_queue_depth(index, 5) is None
    assert [getattr(metrics, name)(index) for name in GETTERS] == [0] * len(GETTERS)


# (call, exception, message, note)
ERRORS = [
    (lambda m: m.set_injection_queue_depth(0, -1), OverflowError, None, "while processing 'depth'"),
    (lambda m: m.set_injection_queue_depth(-1, "x"), OverflowError, None, "while processing 'index'"),
    (lambda m: m.inc_park(2**64), OverflowError, None, "while processing 'index'"),
    (lambda m: m.get_park("0"), TypeError, None, "while processing 'index'"),
    (lambda m: m.inc_park(), TypeError, "AtomicMetrics.inc_park() missing 1 required positional argument: 'index'", None),
    (lambda m: m.get_active(0, 1), TypeError, "AtomicMetrics.get_active() takes 1 positional arguments but 2 were given", None),
    (lambda m: m.dec_active(idx=0), TypeError, "AtomicMetrics.dec_active() got an unexpected keyword argument 'idx'", None),
    (lambda m: m.set_injection_queue_depth(0), TypeError,
     "AtomicMetrics.set_injection_queue_depth() missing 1 required positional argument: 'depth'", None),
    (lambda m: AtomicMetrics(-1), OverflowError, None, "while processing 'num_threads'"),
]  # fmt: skip


@pytest.mark.parametrize("call,error,message,note", ERRORS)
def test_argument_errors(call, error, message, note):
    metrics = AtomicMetrics(1)
    with pytest.raises(error) as caught:
        call(metrics)
    if message is not None:
        assert str(caught.value) == message
    assert getattr(caught.value, "__notes__", None) == ([note] if note else None)
    assert [getattr(metrics, name)(0) for name in GETTERS] == [0] * len(GETTERS)


def test_huge_table_raises_memory_error():
    with pytest.raises(MemoryError):
        AtomicMetrics(2**62)


def test_concurrent_updates_are_not_lost():
    metrics = AtomicMetrics(4)
    rounds = 5000
    start = threading.Barrier(4)

    def work(index):
        start.wait()
        for _ in range(rounds):
            metrics.inc_active(index)
            metrics.dec_active(index)
            metrics.inc_park(0)  # one counter shared by every thread

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert [metrics.get_completed(i) for i in range(4)] == [rounds] * 4
    assert [metrics.get_active(i) for i in range(4)] == [0] * 4
    assert metrics.get_park(0) == 4 * rounds
