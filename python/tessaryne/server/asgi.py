"""The ASGI 3 types the server speaks, for typing the package."""

from __future__ import annotations

from collections.abc import Awaitable, Callable, MutableMapping
from typing import Any

__all__ = ["ASGIApp", "Message", "Receive", "Scope", "Send"]

Scope = MutableMapping[str, Any]
Message = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[Message]]
Send = Callable[[Message], Awaitable[None]]
ASGIApp = Callable[[Scope, Receive, Send], Awaitable[None]]
