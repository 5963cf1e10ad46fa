# Type stubs for the native core. Kept true to the module by mypy's stubtest.
from collections.abc import Buffer, Iterable, Sequence
from typing import Any, Literal, TypeAlias, final

__all__ = [
    "ThreadPoolClosedError",
    "AtomicMetrics",
    "NativeWorkerPool",
    "Channel",
    "RawAsyncChannel",
    "RawAsyncWaitGroup",
    "RawAsyncRWMutex",
    "FastHttpParser",
    "FastHttpConnection",
    "FastWebSocketParser",
    "fast_websocket_unmask",
    "fast_websocket_unmask_slice",
]

_HeaderItem: TypeAlias = Sequence[bytes]
_Mask: TypeAlias = bytes | bytearray | Sequence[int]

# Events returned by FastHttpConnection.feed_data and pump_events.
_RequestEvent: TypeAlias = tuple[
    Literal[1], str, str, bytes, bytes, str, list[tuple[bytes, bytes]], bool, bool, bytes, bool
]
_BodyEvent: TypeAlias = tuple[Literal[2], bytes, bool]
_UpgradeEvent: TypeAlias = tuple[Literal[3], bytes]
_WsMessageEvent: TypeAlias = tuple[Literal[4], int, Literal[True], bytes]
_ErrorEvent: TypeAlias = tuple[Literal[5], int, bytes]
_Event: TypeAlias = _RequestEvent | _BodyEvent | _UpgradeEvent | _WsMessageEvent | _ErrorEvent

# FastHttpParser.parse_request: method, path, raw path, query, version, headers,
# head length, content length (-1 when absent), keep-alive, chunked,
# connection-upgrade, upgrade value.
_ParsedRequest: TypeAlias = tuple[
    str, str, bytes, bytes, str, list[tuple[bytes, bytes]], int, int, bool, bool, bool, bytes
]

class ThreadPoolClosedError(Exception): ...

# Raised for a broken invariant inside the native core; not one of the public names.
class InternalError(BaseException): ...

@final
class AtomicMetrics:
    def __new__(cls, num_threads: int) -> AtomicMetrics: ...

@final
class NativeWorkerPool:
    def __new__(cls, num_threads: int) -> NativeWorkerPool: ...

@final
class Channel:
    def __new__(cls, maxsize: int) -> Channel: ...
    def close(self) -> None: ...
    def is_closed(self) -> bool: ...
    def try_send(self, item: Any) -> bool: ...
    def try_recv(self) -> tuple[Literal[True], Any] | tuple[Literal[False], None]: ...
    def qsize(self) -> int: ...

@final
class RawAsyncChannel:
    def __new__(cls, maxsize: int = 0, wake_fn: Any = None, select_wake_fn: Any = None) -> RawAsyncChannel: ...
    @property
    def maxsize(self) -> int: ...

@final
class RawAsyncWaitGroup:
    def __new__(cls) -> RawAsyncWaitGroup: ...

@final
class RawAsyncRWMutex:
    def __new__(cls) -> RawAsyncRWMutex: ...

@final
class FastHttpParser:
    @staticmethod
    def parse_request(buf_obj: Buffer) -> _ParsedRequest | None: ...
    @staticmethod
    def format_response(
        status_line: bytes,
        server_header: bytes,
        date_header: bytes,
        headers: Iterable[_HeaderItem],
        body: bytes,
        more_body: bool,
        is_no_body_status: bool,
        keep_alive: bool,
    ) -> tuple[bytes, bool, bool]: ...

@final
class FastHttpConnection:
    def __new__(
        cls, max_body_size: int = ..., max_header_size: int = ..., max_keepalive_requests: int = 1000
    ) -> FastHttpConnection: ...
    def feed_data(self, data: Buffer | None = None) -> list[_Event]: ...
    def pump_events(self) -> list[_Event]: ...
    def reset_for_next_request(self) -> None: ...
    def switch_to_websocket(self) -> None: ...
    def is_closed(self) -> bool: ...
    def close(self) -> None: ...
    @staticmethod
    def format_response(
        status_code: int,
        server_header: bytes,
        date_header: bytes,
        headers: Iterable[_HeaderItem],
        body: bytes,
        more_body: bool,
        is_no_body_status: bool,
        keep_alive: bool,
    ) -> tuple[bytes, bool, bool]: ...
    @staticmethod
    def format_chunk(chunk: bytes, more_body: bool) -> bytes: ...
    @staticmethod
    def format_ws_frame(opcode: int, payload: bytes) -> bytes: ...

@final
class FastWebSocketParser:
    @staticmethod
    def parse_frame_header(buf_obj: Buffer) -> tuple[int, bool, bool, int, bytes | None, int] | None: ...

def fast_websocket_unmask(payload: Buffer, mask: _Mask) -> bytes: ...
def fast_websocket_unmask_slice(payload: Buffer, offset: int, length: int, mask: _Mask) -> bytes: ...
