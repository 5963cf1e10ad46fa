"""What the server adds to its log when an application fails.

Most failures are the application's own and its traceback says all. One kind
comes from serving on several loops: an asyncio object (a lock, queue, event,
future, or a client holding them) that belongs to one loop, used from another.
asyncio's message names the object but not why it happened nor what to do, so
the first such failure of the process is explained once, beside the traceback.

`note_app_error` is a plain function of the exception so that any connection
path, Python or native, can call it.
"""

from __future__ import annotations

import threading

from .logs import server_logger

__all__ = ["cross_loop_error", "note_app_error"]

# asyncio's messages, in CPython 3.14: Lock, Event, Condition, Semaphore,
# Barrier and Queue (asyncio/mixins.py); a task awaiting another loop's future,
# in both the C and the Python task ("Task ... got Future ... attached to a different loop").
_CROSS_LOOP_MESSAGES = ("is bound to a different event loop", "attached to a different loop")

_EXPLANATION = (
    "The application used an asyncio object of another event loop (%s). "
    "tessaryne runs an event loop per thread, and each runs the lifespan: an asyncio lock, queue, event, "
    "future or client made at import or kept on the application (app.state) belongs to one loop. "
    'Ways out: keep such objects in the lifespan state (scope["state"]), which is per loop; '
    "--factory, so that every loop has its own application, app.state and lifespan; "
    "the cross-loop drop-ins of tessaryne.sync (Lock, Queue, ...); "
    "or --threads 1 --workers N, one loop per process. "
    "Explained once; each such failure is logged as an application error."
)

# Taken by the first explanation and never released: once per process, from any thread.
_explained = threading.Lock()


def cross_loop_error(error: BaseException) -> BaseException | None:
    """asyncio's refusal of an object of another loop: error itself, or one it
    was raised from or groups (frameworks wrap and group errors); else None."""
    pending = [error]
    seen: set[int] = set()
    while pending:
        current = pending.pop()
        if id(current) in seen:
            continue
        seen.add(id(current))
        if isinstance(current, RuntimeError) and any(text in str(current) for text in _CROSS_LOOP_MESSAGES):
            return current
        if isinstance(current, BaseExceptionGroup):
            pending.extend(current.exceptions)
        pending.extend(linked for linked in (current.__cause__, current.__context__) if linked is not None)
    return None


def note_app_error(error: BaseException) -> None:
    """Called with every exception that escapes the application, after it is logged."""
    cause = cross_loop_error(error)
    if cause is not None and _explained.acquire(blocking=False):
        server_logger.warning(_EXPLANATION, f"{type(cause).__name__}: {cause}")
