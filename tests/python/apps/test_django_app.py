"""A Django project as `django-admin startproject` makes it, with two views
that use the ORM on SQLite (a sync one, which Django runs in a thread, and an
async one), migrated, then served by the command: through its asgi.py on two
loops under concurrent clients, and through its wsgi.py, admin login included."""

from __future__ import annotations

import http.client
import json
import re
import subprocess
import sys
import textwrap
from collections.abc import Iterator
from concurrent.futures import ThreadPoolExecutor
from http.cookies import SimpleCookie
from pathlib import Path
from urllib.parse import urlencode

import pytest

from server_support import RunningCommand, command

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


def start_project(directory: Path) -> None:
    """The project "shop" in directory, with the views above, its SQLite database migrated."""
    subprocess.run([sys.executable, "-m", "django", "startproject", "shop", directory], check=True, capture_output=True)
    (directory / "shop" / "views.py").write_text(VIEWS)
    with (directory / "shop" / "urls.py").open("a") as urls:
        urls.write(URLS)
    subprocess.run([sys.executable, "manage.py", "migrate"], cwd=directory, check=True, capture_output=True)


def test_orm_views_on_two_loops(tmp_path: Path) -> None:
    start_project(tmp_path)
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


@pytest.fixture(scope="module")
def wsgi_shop(tmp_path_factory: pytest.TempPathFactory) -> Iterator[RunningCommand]:
    directory = tmp_path_factory.mktemp("wsgi")
    start_project(directory)
    with command("shop.wsgi:application", "--interface", "wsgi", "--no-access-log", cwd=directory) as server:
        yield server
        log = server.stop()
    assert "Traceback" not in log, log


def test_admin_login_through_wsgi(wsgi_shop: RunningCommand) -> None:
    """The form, its CSRF cookie and token, and a wrong password shown the form again, on one connection."""
    connection = http.client.HTTPConnection("127.0.0.1", wsgi_shop.port, timeout=60)
    try:
        connection.request("GET", "/admin/login/?next=/admin/")
        response = connection.getresponse()
        page = response.read().decode()
        cookies = SimpleCookie("; ".join(response.headers.get_all("Set-Cookie", [])))
        assert response.status == 200 and "csrftoken" in cookies, (response.status, cookies)
        token = re.search(r'name="csrfmiddlewaretoken" value="([^"]+)"', page)
        assert token is not None, page
        form = {"csrfmiddlewaretoken": token[1], "username": "admin", "password": "wrong", "next": "/admin/"}
        connection.request("POST", "/admin/login/?next=/admin/", body=urlencode(form), headers={
            "Content-Type": "application/x-www-form-urlencoded", "Cookie": f"csrftoken={cookies['csrftoken'].value}",
        })  # fmt: skip
        response = connection.getresponse()
        page = response.read().decode()
    finally:
        connection.close()
    assert response.status == 200 and "Please enter the correct username and password" in page, page
    assert 'name="password"' in page


def test_orm_views_through_wsgi(wsgi_shop: RunningCommand) -> None:
    assert call(wsgi_shop.port, "POST", "/groups/", "through wsgi") == (200, {"count": 1})
    status, answer = call(wsgi_shop.port, "GET", "/names/")
    assert (status, answer["names"]) == (200, ["through wsgi"])
