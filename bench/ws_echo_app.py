"""The WebSocket memory benchmark's application: plain ASGI, echoes every
message. TESSARYNE_BENCH_DEFLATE (JSON) replaces the compression parameters
the server asks for, to measure what each choice costs an idle connection."""

import json
import os

from tessaryne.server import websocket

if "TESSARYNE_BENCH_DEFLATE" in os.environ:
    websocket.DEFLATE_PREFERENCES = json.loads(os.environ["TESSARYNE_BENCH_DEFLATE"])


async def app(scope, receive, send):
    if scope["type"] == "websocket":
        await receive()
        await send({"type": "websocket.accept"})
        while (message := await receive())["type"] == "websocket.receive":
            await send({"type": "websocket.send", "text": message.get("text"), "bytes": message.get("bytes")})
    elif scope["type"] == "lifespan":
        while True:
            message = await receive()
            await send({"type": message["type"] + ".complete"})
            if message["type"] == "lifespan.shutdown":
                return
