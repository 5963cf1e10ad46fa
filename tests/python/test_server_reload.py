"""``--reload`` as the command: files really written into the application's
directory, answers read over HTTP, and the globs that decide what counts."""

from __future__ import annotations

import http.client
import os
import re
import signal
import textwrap

import pytest

import tessaryne.__main__ as cli
from server_support import command, listening_port, needs_proc, tessaryne, wait_for, worker_pids
from tessaryne.server.reload import ChangeWatcher

pytestmark = needs_proc


def application(answer: str, *, extra: str = "") -> str:
    return textwrap.dedent(f"""
        {extra}
        async def app(scope, receive, send):
            if scope["type"] != "http":
                return
            await send({{"type": "http.response.start", "status": 200, "headers": []}})
            await send({{"type": "http.response.body", "body": b"{answer}"}})
    """)


def answer(port: int) -> bytes:
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        connection.request("GET", "/")
        return connection.getresponse().read()
    finally:
        connection.close()


def test_a_change_restarts_the_server_and_a_syntax_error_leaves_the_last_good_one_serving(tmp_path):
    source = tmp_path / "served.py"
    source.write_text(application("one"))
    with command("served:app", "--reload", "--threads", "1", "--no-access-log", cwd=tmp_path) as server:
        assert answer(server.port) == b"one"
        (tmp_path / "notes.txt").write_text("not watched")
        (tmp_path / ".scratch.py").write_text("excluded")
        source.write_text(application("two"))
        wait_for(lambda: answer(server.port) == b"two", "the new code to answer")

        source.write_text("async def app(scope, receive, send):\n    await send(\n    x = ]\n")
        failure = wait_for(lambda: re.search(r".*SyntaxError.*", server.output()), "the syntax error")[0]
        assert failure.endswith("(served.py, line 3); waiting for a change to try again"), failure
        assert answer(server.port) == b"two", "the last process that started serves on"

        source.write_text(application("three"))
        wait_for(lambda: answer(server.port) == b"three", "the fixed code to answer")
        log = server.stop()
    # One restart per change of served.py: neither the other files nor the
    # bytecode the server processes write set one off.
    assert re.findall(r"INFO (.*) changed; restarting", log) == ["served.py"] * 3
    assert f"watching {tmp_path} for changes to *.py, except .* .git .venv __pycache__ *.py[cod] *~" in log
    assert not worker_pids(tmp_path)


def test_an_application_that_fails_to_import_at_start_is_tried_again_after_the_fix(tmp_path):
    source = tmp_path / "served.py"
    source.write_text(application("fixed", extra="settings = undefined_name"))
    process = tessaryne("served:app", "--reload", "--threads", "1", "--port", "0", cwd=tmp_path)
    try:
        failure = process.stderr.readline()  # the watching line comes first
        failure = process.stderr.readline()
        assert re.search(r"ERROR importing 'served' raised NameError: name 'undefined_name' is not defined "
                         r"\(served.py, line 2\); waiting for a change to try again$", failure), failure
        assert process.poll() is None
        source.write_text(application("fixed"))
        assert answer(listening_port(process)) == b"fixed"
        process.send_signal(signal.SIGINT)
        assert process.wait(timeout=60) == 0
    finally:
        process.kill()
        process.wait()
        process.stderr.close()
    assert not worker_pids(tmp_path)


@pytest.mark.parametrize(("options", "path", "counts"), [
    ([], "app.py", True),
    ([], "pkg/deep/module.py", True),
    ([], "notes.txt", False),
    ([], "__pycache__/app.cpython-314t.pyc", False),
    ([], "pkg/__pycache__/module.py", False),
    ([], ".git/hooks/hook.py", False),
    ([], ".env", False),
    ([], "../elsewhere.py", False),
    (["--reload-include", ".env"], ".env", True),
    (["--reload-include", ".env"], ".git/hooks/hook.py", False),
    (["--reload-include", ".env"], ".venv/lib/site.py", False),
    (["--reload-include", "templates/*.html"], "templates/page.html", True),
    (["--reload-include", "templates/*.html"], "page.html", False),
    (["--reload-exclude", "generated"], "generated/model.py", False),
    (["--reload-exclude", "generated"], "app.py", True),
])  # fmt: skip
def test_which_changes_count(monkeypatch, tmp_path, options, path, counts):
    """The globs the command line makes, applied as the watcher applies them."""
    built = []
    monkeypatch.setattr(cli, "configure_logging", lambda config: None)
    monkeypatch.setattr(cli, "run", built.append)
    watched = tmp_path / "project"
    watched.mkdir()
    assert cli.main(["served:app", "--reload", "--reload-dir", str(watched), *options]) == 0
    watcher = ChangeWatcher(built[0], lambda: None)
    assert watcher.watched(os.path.normpath(watched / path)) is counts
