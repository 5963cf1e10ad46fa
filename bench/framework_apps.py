"""The framework rows of the server benchmark: a Starlette app answering with
PlainTextResponse, and a FastAPI app whose GET /json returns a dict."""

from fastapi import FastAPI
from starlette.applications import Starlette
from starlette.responses import PlainTextResponse
from starlette.routing import Route


async def hello(request):
    return PlainTextResponse("Hello, world!")


starlette_app = Starlette(routes=[Route("/", hello)])

fastapi_app = FastAPI()


@fastapi_app.get("/json")
async def json_answer():
    return {"message": "Hello, world!"}
