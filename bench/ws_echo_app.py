"""The WebSocket memory benchmark's application: plain ASGI, echoes every
message; anything else is the hello-world application's. TESSARYNE_BENCH_DEFLATE (JSON) replaces the compression parameters
the server asks for, to measure what each choice costs an idle connection."""

import json
import os

from hello_app import app as hello

from tessaryne.server import websocket

if "TESSARYNE_BENCH_DEFLATE" in os.environ:
    websocket.DEFLATE_PREFERENCES = json.loads(os.environ["TESSARYNE_BENCH_DEFLATE"])


async def app(scope, receive, send):
    if scope["type"] == "websocket":
        await receive()
        await send({"type": "websocket.accept"})
        while (message := await receive())["type"] == "websocket.receive":
            await send({"type": "websocket.send", "text": message.get("text"), "bytes": message.get("bytes")})
    else:
        await hello(scope, receive, send)
