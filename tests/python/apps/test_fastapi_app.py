"""A FastAPI application, written for FastAPI alone, served unchanged on two
loops under concurrent clients: a dependency, a request model, a sync
endpoint (run in a worker thread), a background task and a WebSocket route."""

from __future__ import annotations

import http.client
import json
import queue
import sys
import threading
from collections.abc import Iterator
from concurrent.futures import ThreadPoolExecutor
from typing import Annotated

import pytest
from fastapi import BackgroundTasks, Depends, FastAPI, Header, WebSocket
from pydantic import BaseModel, Field
from websockets.sync.client import connect

from server_support import serving

recorded: queue.Queue[str] = queue.Queue()


class Order(BaseModel):
    item: str
    quantity: int = Field(gt=0)


def tenant(x_tenant: Annotated[str, Header()] = "public") -> str:
    return x_tenant.lower()


Tenant = Annotated[str, Depends(tenant)]
app = FastAPI()


@app.post("/orders/{number}")
async def place_order(number: int, order: Order, who: Tenant, background: BackgroundTasks) -> dict[str, object]:
    background.add_task(recorded.put, f"{who}/{number}")
    return {"number": number, "tenant": who, "total": order.quantity}


@app.get("/report")
def report(who: Tenant) -> dict[str, str]:
    return {"tenant": who, "thread": threading.current_thread().name}


@app.websocket("/orders/{number}/updates")
async def updates(websocket: WebSocket, number: int, who: Tenant) -> None:
    await websocket.accept()
    async for text in websocket.iter_text():
        await websocket.send_json({"number": number, "tenant": who, "update": text})


@pytest.fixture(scope="module")
def port() -> Iterator[int]:
    with serving(app, threads=2) as server:
        yield server.port


def call(port: int, method: str, path: str, body: object = None) -> tuple[int, object]:
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    try:
        connection.request(method, path, body=json.dumps(body) if body is not None else None,
                           headers={"content-type": "application/json", "x-tenant": "Acme"})  # fmt: skip
        response = connection.getresponse()
        return response.status, json.loads(response.read())
    finally:
        connection.close()


def client(port: int, number: int) -> None:
    """One of three kinds of use, by number."""
    if number % 3 == 0:
        assert call(port, "POST", f"/orders/{number}", {"item": "tea", "quantity": 2}) == (
            200, {"number": number, "tenant": "acme", "total": 2})  # fmt: skip
    elif number % 3 == 1:
        status, answer = call(port, "GET", "/report")
        assert status == 200 and isinstance(answer, dict) and answer["tenant"] == "acme"
        assert not answer["thread"].startswith("tessaryne-loop-"), "a sync endpoint runs off the loop"
    else:
        with connect(f"ws://127.0.0.1:{port}/orders/{number}/updates") as websocket:
            for update in ("packed", "sent"):
                websocket.send(update)
                assert json.loads(websocket.recv(timeout=60)) == {
                    "number": number,
                    "tenant": "public",
                    "update": update,
                }


def test_concurrent_clients_get_every_answer_and_every_background_task_runs(port: int) -> None:
    assert not sys._is_gil_enabled(), "FastAPI and pydantic keep the interpreter free-threaded"
    with ThreadPoolExecutor(16) as clients:
        list(clients.map(lambda number: client(port, number), range(150)))
    # Background tasks run after their response has gone: wait for each.
    assert sorted(recorded.get(timeout=60) for _ in range(0, 150, 3)) == sorted(f"acme/{n}" for n in range(0, 150, 3))
