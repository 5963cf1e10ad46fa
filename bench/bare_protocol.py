"""A bare HTTP server for the server benchmark: one asyncio protocol per
connection that feeds the bytes to a FastHttpConnection and writes one fixed
answer, made once by format_response, for each request. No ASGI, no timeouts,
no flow control: what is left is the engine and asyncio's transport, the
ceiling of any server on that path, so the gap between this row and ours is
what our ASGI layer costs.

Run: python -m bench.bare_protocol PORT  (from the repository root)."""

import asyncio
import sys

from tessaryne._tessaryne_core import FastHttpConnection
from tessaryne.server.scope import (
    BODY_MORE, ERROR_RESPONSE, EVENT_BODY, EVENT_ERROR, EVENT_REQUEST, REQUEST_HAS_BODY, REQUEST_KEEP_ALIVE,
)


def answer(keep_alive):
    # The same headers our server sends for bench/hello_app.py; a fixed date
    # line, since nothing reads it.
    response, _, _ = FastHttpConnection.format_response(
        200, b"server: bare\r\n", b"date: Tue, 08 Dec 2026 00:00:00 GMT\r\n",
        [(b"content-type", b"text/plain")], b"Hello, world!", False, False, keep_alive)
    return response


KEEP_ALIVE, CLOSE = answer(True), answer(False)


class BareProtocol(asyncio.Protocol):
    def connection_made(self, transport):
        self.transport = transport
        self.connection = FastHttpConnection()
        self.keep_alive = True

    def data_received(self, data):
        connection = self.connection
        events = connection.feed_data(data)
        while events:
            complete = False
            for event in events:
                kind = event[0]
                if kind == EVENT_REQUEST:
                    self.keep_alive = event[REQUEST_KEEP_ALIVE]
                    complete = not event[REQUEST_HAS_BODY]
                elif kind == EVENT_BODY:
                    complete = not event[BODY_MORE]
                elif kind == EVENT_ERROR:
                    self.transport.write(event[ERROR_RESPONSE])
                    self.transport.close()
                    return
            if not complete:
                return  # the body goes on in a later read
            if not self.keep_alive:
                self.transport.write(CLOSE)
                self.transport.close()
                return
            self.transport.write(KEEP_ALIVE)
            connection.reset_for_next_request()
            if connection.is_closed():
                self.transport.close()
                return
            # A pipelined request may already be buffered.
            events = connection.pump_events()


async def serve(port):
    server = await asyncio.get_running_loop().create_server(BareProtocol, "127.0.0.1", port)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(serve(int(sys.argv[1])))
