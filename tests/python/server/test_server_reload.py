"""``--reload`` as the command: files really written into the application's
directory, answers read over HTTP, and the globs that decide what counts."""

from __future__ import annotations

import os
import re
import signal
import textwrap
import urllib.request

import pytest

import tessaryne.__main__ as cli
from server_support import needs_proc, tessaryne, wait_for, worker_pids
from tessaryne.server.reload import ChangeWatcher


def application(answer: str) -> str:
    return textwrap.dedent(f"""
        async def app(scope, receive, send):
            if scope["type"] == "http":
                await send({{"type": "http.response.start", "status": 200, "headers": []}})
                await send({{"type": "http.response.body", "body": b"{answer}"}})
    """)


def answer(port: int) -> bytes:
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/", timeout=30) as response:
        return response.read()


@needs_proc
def test_changes_restart_the_server_and_a_failing_import_waits_for_the_next_one(tmp_path):
    source = tmp_path / "served.py"
    source.write_text("settings = undefined_name\n" + application("one"))
    process = tessaryne("served:app", "--reload", "--threads", "1", "--port", "0", "--no-access-log", cwd=tmp_path)
    try:
        log: list[str] = []
        lines = (log.append(line) or line for line in iter(process.stderr.readline, ""))
        assert "watching" in next(lines)
        assert next(lines).endswith(
            "ERROR importing 'served' raised NameError: name 'undefined_name' is not "
            "defined (served.py, line 1); waiting for a change to try again\n"
        )
        source.write_text(application("one"))
        port = int(next(m for line in lines if (m := re.search(r"listening on http://\S+:(\d+) ", line)))[1])
        assert answer(port) == b"one"

        (tmp_path / "notes.txt").write_text("not watched")
        (tmp_path / ".scratch.py").write_text("excluded")
        source.write_text(application("two"))
        wait_for(lambda: answer(port) == b"two", "the changed code to answer")
        source.write_text("async def app(scope, receive, send):\n    x = ]\n")
        failure = next(line for line in lines if "ERROR" in line)
        assert failure.endswith("SyntaxError: unmatched ']' (served.py, line 2); waiting for a change to try again\n")
        assert answer(port) == b"two", "the last process that started serves on"
        source.write_text(application("three"))
        wait_for(lambda: answer(port) == b"three", "the fixed code to answer")

        process.send_signal(signal.SIGINT)
        for _ in lines:  # the rest of the log, until the process closes it
            pass
        assert process.wait(timeout=60) == 0
    finally:
        process.kill()
        process.wait()
        process.stderr.close()
    # One restart per change of served.py: neither the other files nor the
    # bytecode the server processes write set one off.
    assert re.findall(r"INFO (.*) changed; restarting", "".join(log)) == ["served.py"] * 4, "".join(log)
    assert not worker_pids(tmp_path)


@pytest.mark.parametrize(("options", "path", "counts"), [
    ([], "pkg/module.py", True),
    ([], "pkg/__pycache__/module.py", False),
    (["--reload-include", ".env"], ".env", True),
    (["--reload-include", ".env"], ".venv/lib/site.py", False),
    (["--reload-include", "templates/*.html"], "templates/page.html", True),
    (["--reload-exclude", "generated"], "generated/model.py", False),
])  # fmt: skip
def test_which_changes_count(monkeypatch, tmp_path, options, path, counts):
    """The globs the command line makes, applied as the watcher applies them."""
    built = []
    monkeypatch.setattr(cli, "configure_logging", lambda config: None)
    monkeypatch.setattr(cli, "run", built.append)
    assert cli.main(["served:app", "--reload", "--reload-dir", str(tmp_path), *options]) == 0
    assert ChangeWatcher(built[0], lambda: None).watched(os.path.join(tmp_path, path)) is counts
