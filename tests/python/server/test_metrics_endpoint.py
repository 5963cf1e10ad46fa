"""The metrics endpoint, read as Prometheus reads it: after a known mix of
requests on two loops, every family parses and the counts add up across loops."""

from __future__ import annotations

import contextlib
import http.client
from typing import Any

from prometheus_client.parser import text_string_to_metric_families

from server_support import serving


def get(port: int, path: str) -> tuple[int, bytes]:
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    with contextlib.closing(connection):
        connection.request("GET", path)
        response = connection.getresponse()
        return response.status, response.read()


async def app(scope: Any, receive: Any, send: Any) -> None:
    status = 404 if scope["path"] == "/missing" else 200
    await send({"type": "http.response.start", "status": status, "headers": []})
    await send({"type": "http.response.body", "body": b"x" * 100})


def test_metrics_count_every_loops_requests_and_parse_as_prometheus_text() -> None:
    with serving(app, threads=2, metrics_port=0, lifespan="off") as server:
        assert server.metrics_port is not None
        for path in ["/"] * 30 + ["/missing"] * 7:
            assert get(server.port, path)[0] in (200, 404)
        status, text = get(server.metrics_port, "/metrics")
        assert get(server.metrics_port, "/other")[0] == 404
    assert status == 200
    samples = {
        (sample.name, tuple(sorted(sample.labels.items()))): sample.value
        for family in text_string_to_metric_families(text.decode())
        for sample in family.samples
    }
    assert samples[("tessaryne_requests_total", (("status", "2xx"),))] == 30
    assert samples[("tessaryne_requests_total", (("status", "4xx"),))] == 7
    per_loop = [v for (name, _), v in samples.items() if name == "tessaryne_loop_requests_total"]
    assert len(per_loop) == 2 and sum(per_loop) == 37
    assert samples[("tessaryne_request_duration_seconds_count", ())] == 37
    assert samples[("tessaryne_request_duration_seconds_bucket", (("le", "+Inf"),))] == 37
    assert samples[("tessaryne_connections_total", ())] >= 37
    assert samples[("tessaryne_sent_bytes_total", ())] >= 37 * 100
    assert any(name == "tessaryne_executor_completed_calls_total" for name, _ in samples)
