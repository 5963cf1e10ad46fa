"""The server benchmark's application: plain ASGI, every request answered
200 with a fixed text body. Lifespan is acknowledged so that no server spends
its start-up logging an application that does not speak it."""

HEADERS = [(b"content-type", b"text/plain"), (b"content-length", b"13")]
START = {"type": "http.response.start", "status": 200, "headers": HEADERS}
BODY = {"type": "http.response.body", "body": b"Hello, world!"}


async def app(scope, receive, send):
    if scope["type"] == "http":
        await send(START)
        await send(BODY)
    elif scope["type"] == "lifespan":
        while True:
            message = await receive()
            await send({"type": message["type"] + ".complete"})
            if message["type"] == "lifespan.shutdown":
                return
