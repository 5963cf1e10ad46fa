# Type stubs for the native core. Kept true to the module by mypy's stubtest.
from collections.abc import Buffer, Iterable, Sequence
from typing import Any, Final, final

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

_HeaderItem = Sequence[bytes]
_Mask = bytes | bytearray | Sequence[int]

class ThreadPoolClosedError(Exception): ...

@final
class AtomicMetrics:
    def __new__(cls, num_threads: int) -> AtomicMetrics: ...

@final
class NativeWorkerPool:
    def __new__(cls, num_threads: int) -> NativeWorkerPool: ...

@final
class Channel:
    def __new__(cls, maxsize: int) -> Channel: ...

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

@final
class FastWebSocketParser:
    @staticmethod
    def parse_frame_header(buf_obj: Buffer) -> tuple[int, bool, bool, int, bytes | None, int] | None: ...

def fast_websocket_unmask(payload: Buffer, mask: _Mask) -> bytes: ...
def fast_websocket_unmask_slice(payload: Buffer, offset: int, length: int, mask: _Mask) -> bytes: ...
