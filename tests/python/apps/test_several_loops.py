"""A Starlette application written for one event loop, keeping an asyncio lock
and a counter on app.state from its lifespan, served on two loops by the
command: with --factory every loop has its own application and nothing fails;
without, the requests the other loop serves fail, and the log explains why
once. This module is the application too: the server imports it."""

from __future__ import annotations

import asyncio
import contextlib
import http.client
import json
import threading
from collections import defaultdict
from collections.abc import AsyncIterator, Callable
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest
from starlette.applications import Starlette
from starlette.datastructures import State
from starlette.requests import Request
from starlette.responses import JSONResponse, Response
from starlette.routing import Route, WebSocketRoute
from starlette.websockets import WebSocket
from websockets.exceptions import ConnectionClosedError
from websockets.sync.client import connect

import tessaryne.sync as tessaryne_sync
from server_support import HELPERS, command, serving
from tessaryne.server.app_errors import cross_loop_error

HERE = Path(__file__).parent
EXPLANATION = "asyncio object of another event loop"


@contextlib.asynccontextmanager
async def lifespan(app: Starlette) -> AsyncIterator[None]:
    app.state.lock = asyncio.Lock()
    app.state.counter = 0
    yield


async def bump_twice(state: State) -> list[int]:
    """Two tasks each read the counter, yield, and write it back, under the lock."""

    async def bump() -> int:
        async with state.lock:
            value: int = state.counter
            await asyncio.sleep(0)
            state.counter = value + 1
            return value + 1

    async with asyncio.TaskGroup() as group:
        tasks = [group.create_task(bump()) for _ in range(2)]
    return [task.result() for task in tasks]


async def count(request: Request) -> Response:
    return JSONResponse({"loop": threading.current_thread().name, "counts": await bump_twice(request.app.state)})


async def count_over_websocket(websocket: WebSocket) -> None:
    await websocket.accept()
    async for _ in websocket.iter_text():
        await websocket.send_json({"counts": await bump_twice(websocket.app.state)})


def create_app() -> Starlette:
    return Starlette(routes=[Route("/count", count), WebSocketRoute("/count", count_over_websocket)], lifespan=lifespan)


app = create_app()


def get_count(port: int) -> tuple[int, bytes]:
    """On a new connection each time, so that requests spread over the loops."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    try:
        connection.request("GET", "/count")
        response = connection.getresponse()
        return response.status, response.read()
    finally:
        connection.close()


def test_factory_gives_every_loop_its_own_application_and_state() -> None:
    with command(
        f"{__name__}:create_app", "--factory", "--threads", "2", "--no-access-log", "--app-dir", str(HERE), cwd=HELPERS
    ) as server:
        with ThreadPoolExecutor(32) as clients:
            answers = list(clients.map(lambda _: get_count(server.port), range(200)))
        log = server.stop()
    assert {status for status, _ in answers} == {200}
    counts: defaultdict[str, list[int]] = defaultdict(list)
    for _, body in answers:
        answer = json.loads(body)
        counts[answer["loop"]] += answer["counts"]
    # Each loop's lock kept its own counter exact: no increment lost, none seen twice.
    assert len(counts) == 2
    assert all(sorted(seen) == list(range(1, len(seen) + 1)) for seen in counts.values())
    assert "Traceback" not in log and EXPLANATION not in log


def counted_over_http(port: int) -> bool:
    """True if answered, False for a 500 (the application failed)."""
    status, _ = get_count(port)
    assert status in (200, 500)
    return status == 200


def counted_over_websocket(port: int) -> bool:
    """True if answered, False for a close with 1011 (the application failed)."""
    try:
        with connect(f"ws://127.0.0.1:{port}/count") as websocket:
            websocket.send("bump")
            websocket.recv(timeout=60)
            return True
    except ConnectionClosedError as closed:
        assert closed.rcvd is not None and closed.rcvd.code == 1011
        return False


@pytest.mark.parametrize(
    ("counted", "error_line"),
    [(counted_over_http, "Exception in ASGI application"), (counted_over_websocket, "WebSocket application failed")],
    ids=["http", "websocket"],
)
def test_one_application_on_two_loops_fails_on_one_and_is_explained_once(
    counted: Callable[[int], bool], error_line: str
) -> None:
    with command(f"{__name__}:app", "--threads", "2", "--no-access-log", "--app-dir", str(HERE), cwd=HELPERS) as server:
        # One at a time: the first request binds the lock to its loop, and each
        # one the other loop serves fails. Concurrent ones would also touch the
        # lock from two threads at once, which can lose a wake-up and hang.
        answered = [counted(server.port) for _ in range(40)]
        log = server.stop()
    assert set(answered) == {True, False}
    assert log.count(error_line) == answered.count(False)
    assert log.count(EXPLANATION) == 1 and "is bound to a different event loop" in log


def test_a_task_awaiting_another_loops_future_is_recognised_among_grouped_errors() -> None:
    other = asyncio.new_event_loop()

    async def wait() -> None:
        await other.create_future()

    with pytest.raises(RuntimeError) as raised:
        asyncio.run(wait())
    other.close()
    assert cross_loop_error(ExceptionGroup("a framework's errors", [ValueError(), raised.value])) is raised.value
    assert cross_loop_error(RuntimeError("Event loop is closed")) is None


# Created at import, with no loop running, and shared by every loop's requests.
SHARED_LOCK = tessaryne_sync.Lock()
SHARED_QUEUE: tessaryne_sync.Queue[int] = tessaryne_sync.Queue(maxsize=4)
shared_total = [0]


async def shared_app(scope: dict[str, object], receive: Callable[..., object], send: Callable[..., object]) -> None:
    """Each request increments a counter under the shared lock, with a yield
    in between, and passes a token through the shared queue."""
    if scope["type"] != "http":
        return
    async with SHARED_LOCK:
        value = shared_total[0]
        await asyncio.sleep(0)
        shared_total[0] = value + 1
    await SHARED_QUEUE.put(value)
    token = await SHARED_QUEUE.get()
    await send(
        {
            "type": "http.response.start",
            "status": 200,
            "headers": [(b"x-loop", threading.current_thread().name.encode())],
        }
    )  # type: ignore[operator]
    await send({"type": "http.response.body", "body": str(token).encode()})  # type: ignore[operator]


def test_module_level_sync_lock_and_queue_serve_every_loop() -> None:
    requests = 300
    with serving(shared_app, threads=2, lifespan="off") as server:

        def get(_: int) -> tuple[int, str]:
            connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
            with contextlib.closing(connection):
                connection.request("GET", "/")
                response = connection.getresponse()
                response.read()
                return response.status, response.getheader("x-loop") or ""

        with ThreadPoolExecutor(16) as pool:
            answers = list(pool.map(get, range(requests)))
    assert {status for status, _ in answers} == {200}
    assert len({loop for _, loop in answers}) == 2, "both loops served"
    assert shared_total[0] == requests, "no increment lost: the lock held across loops"
