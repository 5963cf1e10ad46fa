"""Waiters for the tests of the asynchronous primitives: futures that only
identity tells apart, and a check of returned waiter lists."""


class Future:
    """Equal to every other future: only identity tells two apart."""

    def __eq__(self, other):
        return True

    __hash__ = object.__hash__


def waiter(name):
    return (f"loop {name}", Future())


def assert_waiters(returned, expected):
    """The same (loop, future) objects, as 2-tuples, oldest first."""
    assert type(returned) is list and all(type(item) is tuple for item in returned)
    assert [tuple(map(id, item)) for item in returned] == [tuple(map(id, item)) for item in expected]
