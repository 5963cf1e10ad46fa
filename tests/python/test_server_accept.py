"""The log-once-then-count helper the server uses for conditions that recur
many times a second."""

from __future__ import annotations

import logging
import threading
from types import SimpleNamespace

import pytest

from tessaryne.server import logs
from tessaryne.server.logs import RecurringCondition


class Lines(logging.Handler):
    def __init__(self) -> None:
        super().__init__()
        self.lines: list[str] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.lines.append(record.getMessage())


def condition(interval: float) -> tuple[RecurringCondition, list[str]]:
    handler = Lines()
    logger = logging.Logger("recurring")
    logger.addHandler(handler)
    return RecurringCondition(logger, "started %s", "ongoing %d %.1f", "ended %.1f", interval=interval), handler.lines


# Steps "seconds source action": + reports, - clears, ~ clears quietly.
@pytest.mark.parametrize(
    ("steps", "expected"),
    [
        ("0 a+ 1 a+ 2 a+ 5 a+ 6 a+ 7 a-", ["started E", "ongoing 3 5.0", "ended 7.0"]),
        ("0 a+ 1 b+ 2 a- 3 b+ 4 b-", ["started E", "ended 4.0"]),  # over when its last source clears
        ("0 a+ 1 a~ 2 a+ 3 a-", ["started E", "started E", "ended 1.0"]),  # ended quietly, then again
        ("0 b- 1 a+ 2 b- 3 a-", ["started E", "ended 2.0"]),  # a source that never reported changes nothing
    ],
)
def test_a_recurring_condition_is_logged_once_then_counted(monkeypatch, steps, expected):
    now = [0.0]
    monkeypatch.setattr(logs, "time", SimpleNamespace(monotonic=lambda: now[0]))
    recurring, lines = condition(interval=5.0)
    for at, step in zip(*[iter(steps.split())] * 2):
        now[0] = float(at)
        source, action = step[:-1], step[-1]
        if action == "+":
            recurring.report(source, "E")
        else:
            recurring.clear(source, quietly=action == "~")
    assert lines == expected


def test_a_recurring_condition_counts_every_report_from_many_threads():
    recurring, lines = condition(interval=0.0)  # a line for every report after the first
    threads, reports = 8, 500

    def source(index: int) -> None:
        for _ in range(reports):
            recurring.report(index, "E")

    workers = [threading.Thread(target=source, args=(i,)) for i in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    for index in range(threads):
        recurring.clear(index)
    assert lines[0] == "started E" and lines[-1].startswith("ended")
    assert sum(int(line.split()[1]) for line in lines[1:-1]) == threads * reports - 1
