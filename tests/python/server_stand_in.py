"""Just enough of an HTTP protocol for the runner's tests: one request per
connection, no request body, the whole response written at once."""

from __future__ import annotations

import asyncio

from tessaryne._tessaryne_core import FastHttpConnection
from tessaryne.server.scope import http_scope


class StandInProtocol(asyncio.Protocol):
    def __init__(self, state):
        self.state = state
        self.engine = FastHttpConnection()
        self.busy = False

    def connection_made(self, transport):
        self.transport = transport
        self.state.connections.add(self)

    def connection_lost(self, exc):
        self.state.connections.discard(self)

    def data_received(self, data):
        for event in self.engine.feed_data(data):
            if event[0] == 1:
                self.busy = True
                tls = self.transport.get_extra_info("sslcontext") is not None
                self.state.loop.create_task(self.serve(http_scope(event, self.state, None, None, tls)))

    async def serve(self, scope):
        sent = []

        async def receive():
            return {"type": "http.request", "body": b"", "more_body": False}

        async def send(message):
            sent.append(message)

        await self.state.app(scope, receive, send)
        body = b"".join(message.get("body", b"") for message in sent[1:])
        response, _, _ = FastHttpConnection.format_response(
            sent[0]["status"], self.state.server_header, self.state.date_header,
            sent[0].get("headers", []), body, False, False, False,
        )  # fmt: skip
        self.transport.write(response)
        self.transport.close()

    def shutdown(self):
        if not self.busy:
            self.transport.close()

    def force_close(self):
        self.transport.abort()
