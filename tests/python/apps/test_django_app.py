"""A Django project as `django-admin startproject` makes it, with two views
that use the ORM on SQLite (a sync one, which Django runs in a thread, and an
async one), migrated, then served by the command through its asgi.py on two
loops under concurrent clients."""

from __future__ import annotations

import http.client
import json
import subprocess
import sys
import textwrap
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from server_support import command

VIEWS = textwrap.dedent(
    """
    import threading

    from django.contrib.auth.models import Group
    from django.http import JsonResponse
    from django.views.decorators.csrf import csrf_exempt

    @csrf_exempt
    def groups(request):
        if request.method == "POST":
            Group.objects.create(name=request.body.decode())
        return JsonResponse({"count": Group.objects.count()})

    async def names(request):
        names = [group.name async for group in Group.objects.order_by("name")]
        return JsonResponse({"names": names, "loop": threading.current_thread().name})
    """
)

URLS = textwrap.dedent(
    """
    from . import views
    urlpatterns += [path("groups/", views.groups), path("names/", views.names)]
    """
)


def call(port: int, method: str, path: str, body: str | None = None) -> tuple[int, dict[str, object]]:
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    try:
        connection.request(method, path, body=body)
        response = connection.getresponse()
        return response.status, json.loads(response.read())
    finally:
        connection.close()


def test_orm_views_on_two_loops(tmp_path: Path) -> None:
    django = [sys.executable, "-m", "django"]
    subprocess.run([*django, "startproject", "shop", tmp_path], check=True, capture_output=True)
    (tmp_path / "shop" / "views.py").write_text(VIEWS)
    with (tmp_path / "shop" / "urls.py").open("a") as urls:
        urls.write(URLS)
    subprocess.run([sys.executable, "manage.py", "migrate"], cwd=tmp_path, check=True, capture_output=True)

    names = [f"group-{n:03}" for n in range(60)]
    with command("shop.asgi:application", "--threads", "2", "--no-access-log", cwd=tmp_path) as server:
        with ThreadPoolExecutor(8) as clients:
            created = list(clients.map(lambda name: call(server.port, "POST", "/groups/", name), names))
            listed = list(clients.map(lambda _: call(server.port, "GET", "/names/"), range(40)))
        assert call(server.port, "GET", "/groups/") == (200, {"count": 60})
        status, answer = call(server.port, "GET", "/names/")
        assert (status, answer["names"]) == (200, names)
        log = server.stop()
    assert {status for status, _ in created + listed} == {200}
    assert len({answer["loop"] for _, answer in listed}) == 2, "the async view ran on both loops"
    assert "Traceback" not in log and "GIL" not in log, log
