"""The file rows of the static benchmark: Starlette's FileResponse for the
file named by $STATIC_BENCH_FILE, once as the server offers it (pathsend
where advertised) and once with the pathsend extension hidden, so that
Starlette reads the file in 64 KiB chunks and sends each as a body message."""

import os

from starlette.applications import Starlette
from starlette.responses import FileResponse
from starlette.routing import Route

PATH = os.environ.get("STATIC_BENCH_FILE", "")


async def file(request):
    return FileResponse(PATH)


starlette_app = Starlette(routes=[Route("/file", file)])


async def starlette_without_pathsend(scope, receive, send):
    if scope["type"] == "http":
        extensions = {k: v for k, v in scope.get("extensions", {}).items() if k != "http.response.pathsend"}
        scope = {**scope, "extensions": extensions}
    await starlette_app(scope, receive, send)
