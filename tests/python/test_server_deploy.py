"""The command where a deployment puts it: on a Unix socket behind a proxy, on
a socket handed down by systemd or a supervisor, with its settings in an
environment file; each seen by a real client (curl, http.client)."""

from __future__ import annotations

import http.client
import json
import os
import re
import shutil
import signal
import socket
import stat
import subprocess
import sys
import textwrap

import pytest

APP = textwrap.dedent(
    """
    import json, os

    async def app(scope, receive, send):
        if scope["type"] != "http":
            raise RuntimeError("no lifespan here")
        seen = {"client": scope["client"], "server": scope["server"],
                "env": {name: os.environ.get(name) for name in ("GREETING", "QUOTED", "RAW", "PRESET")}}
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": json.dumps(seen).encode()})
    """
)

needs_curl = pytest.mark.skipif(shutil.which("curl") is None, reason="needs the curl command")


def start(*args, cwd, pass_fds=(), env=None):
    """The command until it says where it listens; that place, and the process."""
    process = subprocess.Popen(
        [sys.executable, "-m", "tessaryne", *args], cwd=cwd, stderr=subprocess.PIPE, text=True,
        pass_fds=pass_fds, env=env,
    )  # fmt: skip
    while line := process.stderr.readline():
        if listening := re.search(r"tessaryne listening on (\S+) \(", line):
            return process, listening[1]
    raise AssertionError(f"the server ended before listening (status {process.wait()})")


def stop(process):
    process.send_signal(signal.SIGTERM)
    process.stderr.read()
    assert process.wait(timeout=60) == 0


def curl(*args):
    done = subprocess.run(["curl", "-sS", "--max-time", "30", *args], capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


@needs_curl
@pytest.mark.parametrize(
    ("options", "mode"),
    [
        (["--threads", "2"], None),
        (["--threads", "2", "--uds-perms", "660"], 0o660),
        (["--threads", "1", "--workers", "2", "--uds-perms", "600"], 0o600),
    ],
)
def test_unix_socket_serves_curl_and_goes_away_with_the_server(tmp_path, options, mode):
    (tmp_path / "served.py").write_text(APP)
    path = str(tmp_path / "tessaryne.sock")
    with socket.socket(socket.AF_UNIX) as stale:
        stale.bind(path)  # the file a run that died left behind: replaced
    process, listening = start("served:app", "--uds", path, *options, cwd=tmp_path)
    try:
        assert listening == f"unix:{path}"
        if mode is not None:
            assert stat.S_IMODE(os.stat(path).st_mode) == mode
        for _ in range(3):
            seen = curl("--unix-socket", path, "http://localhost/")
            # As ASGI has it for a Unix socket: no client address, the server is (path, None).
            assert (seen["client"], seen["server"]) == (None, [path, None])
    finally:
        stop(process)
    assert not os.path.exists(path)


@pytest.mark.parametrize("options", [["--threads", "2"], ["--threads", "1", "--workers", "2"]])
def test_a_socket_passed_down_by_the_parent_is_served(tmp_path, options):
    (tmp_path / "served.py").write_text(APP)
    # As systemd does: bound and listening before the server starts, on a descriptor it names.
    with socket.create_server(("127.0.0.1", 0), backlog=16) as inherited:
        port = inherited.getsockname()[1]
        fd = inherited.fileno()
        process, listening = start("served:app", "--fd", str(fd), *options, cwd=tmp_path, pass_fds=[fd])
    try:
        assert listening == f"http://127.0.0.1:{port}"
        client = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        client.request("GET", "/")
        seen = json.loads(client.getresponse().read())
        assert seen["server"] == ["127.0.0.1", port]
        assert seen["client"][0] == "127.0.0.1"
    finally:
        stop(process)


ENV_FILE = textwrap.dedent(
    """\
    # settings of this deployment
    export GREETING=hello world   # the comment is not part of it
    QUOTED="two\\tparts \\"quoted\\""
    RAW='$HOME stays \\n as written'
    PRESET=from the file
    """
)


@needs_curl
@pytest.mark.parametrize("options", [[], ["--threads", "1", "--workers", "2"]])
def test_env_file_and_app_dir_reach_the_application(tmp_path, options):
    (tmp_path / "apps").mkdir()
    (tmp_path / "apps" / "served.py").write_text(APP)
    (tmp_path / "deploy.env").write_text(ENV_FILE)
    env = {**os.environ, "PRESET": "from the environment"}
    process, listening = start(
        "served:app", "--app-dir", "apps", "--env-file", "deploy.env", "--port", "0", *options, cwd=tmp_path, env=env
    )
    try:
        seen = curl(listening + "/")
    finally:
        stop(process)
    assert seen["env"] == {
        "GREETING": "hello world",
        "QUOTED": 'two\tparts "quoted"',
        "RAW": "$HOME stays \\n as written",
        "PRESET": "from the environment",  # what the environment already says wins
    }
