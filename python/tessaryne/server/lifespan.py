"""The ASGI lifespan protocol, run once on every loop thread.

Startup runs on each loop, before that loop accepts connections, and shutdown
on each loop after its connections are gone, as every worker of a multi-process
server would run them. Each loop has its own ``state`` dict, copied shallowly
into every scope of that loop: what the application keeps there at startup (a
client pool, a lock, a queue) belongs to the loop that serves the requests
using it. What it keeps on itself is shared, unless ``Config.factory`` gives
each loop its own application.
"""

from __future__ import annotations

import asyncio
from typing import Any, Literal

from .asgi import ASGIApp, Message
from .logs import server_logger

__all__ = ["Lifespan", "LifespanFailure"]

_ASGI_LIFESPAN = {"version": "3.0", "spec_version": "2.0"}


class LifespanFailure(RuntimeError):
    """The application refused to start (or, with lifespan "on", could not)."""


class Lifespan:
    """One loop's lifespan cycle. ``startup`` and ``shutdown`` run on that loop.

    With "auto", an application that raises before it has asked for the startup
    event, or returns without answering it, is served without lifespan.
    """

    def __init__(self, app: ASGIApp, mode: Literal["auto", "on", "off"]) -> None:
        self.app = app
        self.mode = mode
        self.state: dict[str, Any] = {}
        self._events: asyncio.Queue[Message] = asyncio.Queue()
        self._received_startup = False
        self._answered = asyncio.Event()
        self._failure: str | None = None
        self._shutdown_failure: str | None = None
        self._task: asyncio.Task[None] | None = None
        self._started = False

    async def startup(self) -> None:
        """Returns once the application has started; raises LifespanFailure if it refused."""
        if self.mode == "off":
            return
        scope = {"type": "lifespan", "asgi": _ASGI_LIFESPAN, "state": self.state}
        self._task = asyncio.get_running_loop().create_task(self._main(scope))
        await self._events.put({"type": "lifespan.startup"})
        await self._answered.wait()
        if self._failure is not None:
            raise LifespanFailure(self._failure)

    async def shutdown(self) -> None:
        """Runs the application's shutdown, if its startup completed; failures are logged."""
        if not self._started or self._task is None or self._task.done():
            return
        self._answered.clear()
        await self._events.put({"type": "lifespan.shutdown"})
        await self._answered.wait()
        if self._shutdown_failure is not None:
            server_logger.error("application shutdown failed: %s", self._shutdown_failure)
        if not self._task.done():
            # Answered, but still running: nothing more will be asked of it.
            self._task.cancel()
            await asyncio.gather(self._task, return_exceptions=True)

    async def _main(self, scope: dict[str, Any]) -> None:
        try:
            await self.app(scope, self._receive, self._send)
        except Exception as error:  # noqa: BLE001 - any failure of the application is judged by _on_error
            self._on_error(error)
        else:
            if not self._answered.is_set() and not self._started:
                # Returned without answering startup: the application has no lifespan.
                if self.mode == "on":
                    self._failure = "the application returned without completing startup"
                else:
                    server_logger.debug("the application does not handle lifespan; serving without it")
        finally:
            self._answered.set()

    def _on_error(self, error: Exception) -> None:
        described = f"{type(error).__name__}: {error}"
        if self._started:
            server_logger.error("application lifespan raised", exc_info=error)
        elif self.mode == "auto" and not self._received_startup:
            server_logger.debug("the application does not handle lifespan (%s); serving without it", described)
        else:
            self._failure = described
            server_logger.error("application startup raised", exc_info=error)

    async def _receive(self) -> Message:
        message = await self._events.get()
        if message["type"] == "lifespan.startup":
            self._received_startup = True
        return message

    async def _send(self, message: Message) -> None:
        kind = message["type"]
        if kind == "lifespan.startup.complete":
            self._started = True
        elif kind == "lifespan.startup.failed":
            self._failure = str(message.get("message") or "the application reported a startup failure")
        elif kind == "lifespan.shutdown.failed":
            self._shutdown_failure = str(message.get("message") or "the application reported a shutdown failure")
        elif kind != "lifespan.shutdown.complete":
            raise RuntimeError(f"unexpected lifespan message {kind!r}")
        self._answered.set()
