"""WaitGroup: a reusable count of outstanding work, over RawAsyncWaitGroup."""

from __future__ import annotations

from tessaryne._tessaryne_core import RawAsyncWaitGroup

from ._waiting import until_zero, wake

__all__ = ["WaitGroup"]


class WaitGroup:
    """Counts outstanding work: ``add(n)``, ``done()``, and ``await wait()``
    until the count is back at zero. Reusable for any number of cycles."""

    __slots__ = ("_raw",)

    def __init__(self) -> None:
        self._raw = RawAsyncWaitGroup()

    def add(self, n: int = 1) -> None:
        wake(self._raw.add(n), None, None)

    def done(self) -> None:
        wake(self._raw.done(), None, None)

    async def wait(self) -> None:
        await until_zero(self._raw)
