"""A small plain-ASGI application to try the server with: ``make demo``, or
``python -m tessaryne tessaryne.demo:app``.

    GET  /        a greeting
    POST /echo    the request body back
    GET  /stream  a chunked response in several pieces
    GET  /app     a page that talks to /ws from the browser, with a live
                  panel of every loop thread's requests and connections
    GET  /stats   those figures, as JSON
    /ws           a WebSocket that echoes every message
"""

from __future__ import annotations

import json

from .server.asgi import Receive, Scope, Send
from .server.metrics import running

__all__ = ["PAGE", "STREAM_PIECES", "app"]

STREAM_PIECES = tuple(f"piece {n} of 5\n".encode() for n in range(1, 6))

PAGE = b"""<!doctype html>
<html lang="en">
<meta charset="utf-8">
<title>tessaryne demo</title>
<style>
  body { font-family: system-ui, sans-serif; margin: 2rem; max-width: 46rem; }
  table { border-collapse: collapse; } td, th { padding: .2rem .8rem; text-align: right; }
</style>
<h1>tessaryne</h1>
<h2>WebSocket echo</h2>
<p id="status">connecting...</p>
<form id="say"><input id="message" autocomplete="off" placeholder="type a message">
<button>send</button></form>
<ul id="echoes"></ul>
<h2>Loop threads</h2>
<p>Every core runs its own event loop; point <code>wrk</code> or a browser at this server and watch them share the work.</p>
<table><thead><tr><th>loop</th><th>requests</th><th>connections</th></tr></thead><tbody id="loops"></tbody></table>
<script>
const status = document.getElementById("status");
const echoes = document.getElementById("echoes");
const scheme = location.protocol === "https:" ? "wss:" : "ws:";
const socket = new WebSocket(`${scheme}//${location.host}/ws`);
const greetings = ["hello", "from", "the browser"];
let echoed = 0;
socket.onopen = () => {
  status.textContent = "connected";
  for (const message of greetings) socket.send(message);
};
socket.onmessage = (event) => {
  const item = document.createElement("li");
  item.textContent = event.data;
  echoes.appendChild(item);
  if (++echoed === greetings.length) status.textContent = "all echoes received";
};
socket.onerror = () => { status.textContent = "WebSocket error"; };
document.getElementById("say").onsubmit = (event) => {
  event.preventDefault();
  const input = document.getElementById("message");
  if (input.value) socket.send(input.value);
  input.value = "";
};
async function refresh() {
  const figures = await (await fetch("/stats")).json();
  document.getElementById("loops").innerHTML = figures.loops.map((loop, n) =>
    `<tr><td>loop ${n}</td><td>${loop.requests}</td><td>${loop.connections}</td></tr>`).join("");
}
refresh();
setInterval(refresh, 1000);
</script>
</html>
"""


async def _respond(send: Send, status: int, body: bytes, content_type: bytes = b"text/plain; charset=utf-8") -> None:
    headers = [(b"content-type", content_type), (b"content-length", str(len(body)).encode())]
    await send({"type": "http.response.start", "status": status, "headers": headers})
    await send({"type": "http.response.body", "body": body})


async def _read_body(receive: Receive) -> bytes | None:
    """The whole request body, or None when the client went away."""
    pieces = []
    while True:
        message = await receive()
        if message["type"] == "http.disconnect":
            return None
        pieces.append(message.get("body", b""))
        if not message.get("more_body", False):
            return b"".join(pieces)


async def _stream(send: Send) -> None:
    await send({"type": "http.response.start", "status": 200, "headers": [(b"content-type", b"text/plain")]})
    for piece in STREAM_PIECES:
        await send({"type": "http.response.body", "body": piece, "more_body": True})
    await send({"type": "http.response.body", "body": b""})


async def _echo_websocket(receive: Receive, send: Send) -> None:
    while True:
        message = await receive()
        if message["type"] == "websocket.connect":
            await send({"type": "websocket.accept"})
        elif message["type"] == "websocket.receive":
            if message.get("text") is not None:
                await send({"type": "websocket.send", "text": message["text"]})
            else:
                await send({"type": "websocket.send", "bytes": message.get("bytes") or b""})
        else:  # websocket.disconnect
            return


async def _lifespan(receive: Receive, send: Send) -> None:
    while True:
        message = await receive()
        if message["type"] == "lifespan.startup":
            await send({"type": "lifespan.startup.complete"})
        else:
            await send({"type": "lifespan.shutdown.complete"})
            return


async def app(scope: Scope, receive: Receive, send: Send) -> None:
    if scope["type"] == "lifespan":
        await _lifespan(receive, send)
        return
    path = scope["path"][len(scope.get("root_path", "")) :]
    if scope["type"] == "websocket":
        if path == "/ws":
            await _echo_websocket(receive, send)
        else:
            await send({"type": "websocket.close", "code": 1008})
        return
    route = (scope["method"], path)
    if route == ("GET", "/"):
        await _respond(send, 200, b"Hello from tessaryne!\n")
    elif route == ("POST", "/echo"):
        body = await _read_body(receive)
        if body is not None:
            content_type = dict(scope["headers"]).get(b"content-type", b"application/octet-stream")
            await _respond(send, 200, body, content_type)
    elif route == ("GET", "/stream"):
        await _stream(send)
    elif route == ("GET", "/stats"):
        metrics = running()
        figures = metrics.loop_figures() if metrics is not None else []
        loops = [{"requests": requests, "connections": connections} for requests, connections in figures]
        await _respond(send, 200, json.dumps({"loops": loops}).encode(), b"application/json")
    elif route == ("GET", "/app"):
        await _respond(send, 200, PAGE, b"text/html; charset=utf-8")
    else:
        await _respond(send, 404, b"Not found\n")
