"""The server's metrics in Prometheus' text format, on a listener of their own.

Each loop's driver counts into its own `ServerCounters` (relaxed atomics,
written by that loop alone); a scrape sums them, with no lock on the request
path, and adds the executor's per-worker counters from its `AtomicMetrics`.
The endpoint is an ASGI application served by one more loop of the server.
"""

from __future__ import annotations

import threading
from collections.abc import Callable, Iterator
from typing import Any, Final

from .._tessaryne_core import ServerCounters
from ..executor import WorkerPoolExecutor
from .asgi import Message, Scope

__all__ = ["Metrics", "running"]

_CLASSES = ("1xx", "2xx", "3xx", "4xx", "5xx")
# Positions in ServerCounters.snapshot().
_RESPONSES: Final = 0
_OPENED: Final = 1
_CLOSED: Final = 2
_WS_OPENED: Final = 3
_WS_CLOSED: Final = 4
_BYTES_IN: Final = 5
_BYTES_OUT: Final = 6
_DURATIONS: Final = 7
_DURATION_MICROS: Final = 8
_HTTP2_RESPONSES: Final = 9
_HTTP2_CONNECTIONS: Final = 10
_CONTENT_TYPE = b"text/plain; version=0.0.4; charset=utf-8"
# (name, kind, help, how to read a worker's figure)
_EXECUTOR = (
    ("tessaryne_executor_active_calls", "gauge", "Calls an executor worker is running now.", "get_active"),
    ("tessaryne_executor_completed_calls_total", "counter", "Calls an executor worker has finished.", "get_completed"),
    ("tessaryne_executor_parks_total", "counter", "Times an executor worker went idle.", "get_park"),
)


def _family(name: str, kind: str, text: str) -> Iterator[str]:
    yield f"# HELP {name} {text}"
    yield f"# TYPE {name} {kind}"


_running: list[Metrics] = []


def running() -> Metrics | None:
    """The metrics of the server running in this process (the latest started), if any."""
    return _running[-1] if _running else None


class Metrics:
    """The counters of every loop of this process, and their rendering."""

    def __init__(self, executor: WorkerPoolExecutor | None) -> None:
        self._executor = executor
        self._lock = threading.Lock()  # loops register at start-up only
        self._loops: list[ServerCounters] = []

    def counters_for_loop(self) -> ServerCounters:
        counters = ServerCounters()
        with self._lock:
            self._loops.append(counters)
        return counters

    def publish(self) -> None:
        _running.append(self)

    def withdraw(self) -> None:
        if self in _running:
            _running.remove(self)

    def loop_figures(self) -> list[tuple[int, int]]:
        """(responses completed, open connections) of each loop thread, in order."""
        with self._lock:
            loops = [counters.snapshot() for counters in self._loops]
        return [(sum(s[_RESPONSES]), s[_OPENED] - s[_CLOSED]) for s in loops]

    def render(self) -> str:
        with self._lock:
            loops = [counters.snapshot() for counters in self._loops]
        lines: list[str] = []
        add = lines.extend
        add(_family("tessaryne_requests_total", "counter", "Responses completed, by status class."))
        for index, name in enumerate(_CLASSES):
            lines.append(f'tessaryne_requests_total{{status="{name}"}} {sum(s[_RESPONSES][index] for s in loops)}')
        add(_family("tessaryne_requests_by_version_total", "counter", "Responses completed, by HTTP version."))
        http2 = sum(s[_HTTP2_RESPONSES] for s in loops)
        lines.append(
            f'tessaryne_requests_by_version_total{{version="1"}} {sum(sum(s[_RESPONSES]) for s in loops) - http2}'
        )
        lines.append(f'tessaryne_requests_by_version_total{{version="2"}} {http2}')
        add(_family("tessaryne_loop_requests_total", "counter", "Responses completed by each loop thread."))
        for number, s in enumerate(loops):
            lines.append(f'tessaryne_loop_requests_total{{loop="{number}"}} {sum(s[_RESPONSES])}')
        add(_family("tessaryne_loop_connections_active", "gauge", "Open connections of each loop thread."))
        for number, s in enumerate(loops):
            lines.append(f'tessaryne_loop_connections_active{{loop="{number}"}} {s[_OPENED] - s[_CLOSED]}')
        simple: list[tuple[str, str, str, Callable[[Any], int]]] = [
            ("tessaryne_connections_active", "gauge", "Open connections.", lambda s: s[_OPENED] - s[_CLOSED]),
            ("tessaryne_connections_total", "counter", "Connections accepted.", lambda s: s[_OPENED]),
            (
                "tessaryne_http2_connections_total",
                "counter",
                "Connections that spoke HTTP/2.",
                lambda s: s[_HTTP2_CONNECTIONS],
            ),
            (
                "tessaryne_websockets_active",
                "gauge",
                "Open WebSocket sessions.",
                lambda s: s[_WS_OPENED] - s[_WS_CLOSED],
            ),
            ("tessaryne_websockets_total", "counter", "WebSocket sessions opened.", lambda s: s[_WS_OPENED]),
            ("tessaryne_received_bytes_total", "counter", "Bytes read from clients.", lambda s: s[_BYTES_IN]),
            ("tessaryne_sent_bytes_total", "counter", "Bytes written to clients.", lambda s: s[_BYTES_OUT]),
        ]
        for name, kind, text, read in simple:
            add(_family(name, kind, text))
            lines.append(f"{name} {sum(read(s) for s in loops)}")
        name = "tessaryne_request_duration_seconds"
        add(_family(name, "histogram", "From a request's head to the end of its response."))
        total = 0
        for index, bound in enumerate((*ServerCounters.duration_bounds(), None)):
            total += sum(s[_DURATIONS][index] for s in loops)
            le = "+Inf" if bound is None else repr(bound / 1e6)
            lines.append(f'{name}_bucket{{le="{le}"}} {total}')
        lines.append(f"{name}_sum {sum(s[_DURATION_MICROS] for s in loops) / 1e6!r}")
        lines.append(f"{name}_count {total}")
        if self._executor is not None:
            workers = self._executor.metrics
            count = self._executor.worker_count
            for metric, kind, text, getter in _EXECUTOR:
                add(_family(metric, kind, text))
                read_worker = getattr(workers, getter)
                lines.extend(f'{metric}{{worker="{i}"}} {read_worker(i)}' for i in range(count))
        return "\n".join(lines) + "\n"

    async def app(self, scope: Scope, receive: Callable[[], Any], send: Callable[[Message], Any]) -> None:
        """GET /metrics; 404 for anything else."""
        if scope["type"] != "http":
            return
        found = scope["path"] == "/metrics"
        body = self.render().encode() if found else b"not found\n"
        await send(
            {
                "type": "http.response.start",
                "status": 200 if found else 404,
                "headers": [(b"content-type", _CONTENT_TYPE if found else b"text/plain")],
            }
        )
        await send({"type": "http.response.body", "body": body})
