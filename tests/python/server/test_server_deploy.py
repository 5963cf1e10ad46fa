"""The command where a deployment puts it: on a Unix socket behind a proxy or
a socket handed down by systemd, its application and settings found through
--app-dir and --env-file; seen by curl."""

from __future__ import annotations

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

APP = """
import json, os

async def app(scope, receive, send):
    seen = {"client": scope["client"], "server": scope["server"], "env": {k: os.environ.get(k) for k in ("A", "B", "C", "D")}}
    await send({"type": "http.response.start", "status": 200, "headers": []})
    await send({"type": "http.response.body", "body": json.dumps(seen).encode()})
"""

ENV_FILE = textwrap.dedent(
    """\
    # settings of this deployment
    export A=hello world   # the comment is not part of it
    B="two\\tparts \\"quoted\\""
    C='$HOME stays \\n as written'
    D=from the file
    """
)
# What the application sees; D was in the environment already, which wins.
ENV_SEEN = {
    "A": "hello world",
    "B": 'two\tparts "quoted"',
    "C": "$HOME stays \\n as written",
    "D": "from the environment",
}
WORKERS = ["--threads", "1", "--workers", "2"]


@pytest.mark.skipif(shutil.which("curl") is None, reason="needs the curl command")
@pytest.mark.parametrize(
    ("listen", "options", "mode"),
    [
        ("uds", ["--threads", "2"], None),
        ("uds", ["--threads", "2", "--uds-perms", "660"], 0o660),
        ("uds", [*WORKERS, "--uds-perms", "600"], 0o600),
        ("fd", ["--threads", "2"], None),
        ("fd", WORKERS, None),
    ],
)
def test_served_where_a_deployment_listens(tmp_path, listen, options, mode):
    (tmp_path / "apps").mkdir()
    (tmp_path / "apps" / "served.py").write_text(APP)
    (tmp_path / "deploy.env").write_text(ENV_FILE)
    path = str(tmp_path / "tessaryne.sock")
    # A socket file that a run which died left behind is replaced; systemd's socket listens before we start.
    with socket.socket(socket.AF_UNIX) as stale, socket.create_server(("127.0.0.1", 0), backlog=16) as inherited:
        stale.bind(path)
        where = ["--uds", path] if listen == "uds" else ["--fd", str(inherited.fileno())]
        process = subprocess.Popen(
            [sys.executable, "-m", "tessaryne", "served:app", "--app-dir", "apps", "--env-file", "deploy.env", *where, *options],
            cwd=tmp_path, stderr=subprocess.PIPE, text=True, pass_fds=[inherited.fileno()],
            env={**os.environ, "D": "from the environment"},
        )  # fmt: skip
        port = inherited.getsockname()[1]
    try:
        while (line := process.stderr.readline()) and not (listening := re.search(r"listening on (\S+) \(", line)):
            pass
        assert line, "the server ended before listening"
        url = "http://localhost/" if listen == "uds" else f"http://127.0.0.1:{port}/"
        assert listening[1] == (f"unix:{path}" if listen == "uds" else url[:-1])
        if mode is not None:
            assert stat.S_IMODE(os.stat(path).st_mode) == mode
        for _ in range(3):
            curl = ["curl", "-sS", "--max-time", "30", *(["--unix-socket", path] if listen == "uds" else []), url]
            seen = json.loads(subprocess.run(curl, capture_output=True, text=True, check=True).stdout)
            # As ASGI has it for a Unix socket: no client address, and the server is (path, None).
            expected = (
                (None, [path, None]) if listen == "uds" else (["127.0.0.1", seen["client"][1]], ["127.0.0.1", port])
            )
            assert (seen["client"], seen["server"], seen["env"]) == (*expected, ENV_SEEN)
    finally:
        process.send_signal(signal.SIGTERM)
        process.stderr.read()
        assert process.wait(timeout=60) == 0
    assert os.path.exists(path) == (listen == "fd"), "the server removes the socket file it made, and only that"
