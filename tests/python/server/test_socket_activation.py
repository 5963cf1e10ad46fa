"""systemd socket activation: the listening sockets a service manager passes
as descriptors 3 on, announced by LISTEN_FDS and LISTEN_PID, served without
--fd, by one process or by its workers; seen by a client. The server runs
under a small launcher that does what systemd does before it execs the
service: it puts each socket at its descriptor and sets LISTEN_PID to its own
process id, which exec keeps (unless a test gives another)."""

from __future__ import annotations

import http.client
import json
import os
import re
import signal
import socket
import ssl
import subprocess
import sys

import pytest
from server_support import needs_openssl, self_signed_certificate

APP = """
import json, os

async def app(scope, receive, send):
    seen = {"server": scope["server"], "env": [k for k in os.environ if k.startswith("LISTEN_")]}
    await send({"type": "http.response.start", "status": 200, "headers": []})
    await send({"type": "http.response.body", "body": json.dumps(seen).encode()})
"""

# argv: the descriptors to pass, comma-separated (put at 3, 4, ...), then the command.
LAUNCHER = """
import os, sys
passed = [int(fd) for fd in sys.argv[1].split(",") if fd]
moved = [os.dup(fd) for fd in passed]  # out of the way of the targets first
for target, fd in enumerate(moved, start=3):
    if fd != target:
        os.dup2(fd, target)
    os.set_inheritable(target, True)  # a dup is not, and dup2 onto itself changes nothing
os.environ.setdefault("LISTEN_PID", str(os.getpid()))
os.execv(sys.argv[2], sys.argv[2:])
"""


def launch(tmp_path, passed, options, env):
    (tmp_path / "served.py").write_text(APP)
    command = [sys.executable, "-c", LAUNCHER, ",".join(str(fd) for fd in passed), sys.executable, "-m", "tessaryne"]
    return subprocess.Popen(
        [*command, "served:app", "--app-dir", str(tmp_path), *options],
        cwd=tmp_path, stderr=subprocess.PIPE, text=True, pass_fds=passed, env={**os.environ, **env},
    )  # fmt: skip


def get(port, tls=None):
    client = (
        http.client.HTTPSConnection("127.0.0.1", port, timeout=30, context=tls)
        if tls
        else http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    )
    client.request("GET", "/")
    answer = client.getresponse()
    assert answer.status == 200
    return json.loads(answer.read())


@pytest.mark.parametrize(
    ("options", "tls"),
    [
        (["--threads", "1"], False),
        (["--threads", "1", "--workers", "2"], False),
        pytest.param(["--threads", "2", "--workers", "2"], True, marks=needs_openssl),
    ],
)
def test_the_sockets_systemd_passes_are_served(tmp_path, options, tls):
    context = None
    if tls:
        cert, key = self_signed_certificate(tmp_path)
        options = [*options, "--ssl-certfile", cert, "--ssl-keyfile", key]
        context = ssl.create_default_context(cafile=cert)
    scheme = "https" if tls else "http"
    with socket.create_server(("127.0.0.1", 0), backlog=16) as web, socket.create_server(("127.0.0.1", 0)) as admin:
        ports = [web.getsockname()[1], admin.getsockname()[1]]
        env = {"LISTEN_FDS": "2", "LISTEN_FDNAMES": "web:admin"}
        process = launch(tmp_path, [web.fileno(), admin.fileno()], options, env)
    try:
        lines = []
        while (line := process.stderr.readline()) and "listening on" not in line:
            lines.append(line)
        assert line, "the server ended before listening:\n" + "".join(lines)
        taken = [taken for taken in lines if "systemd" in taken]
        assert len(taken) == 1, lines
        assert re.search(
            rf"descriptor 3 \(web\) on {scheme}://127\.0\.0\.1:{ports[0]}, descriptor 4 \(admin\) on {scheme}://127\.0\.0\.1:{ports[1]}$",
            taken[0].rstrip(),
        ), taken[0]
        for port in (*ports, *ports):
            seen = get(port, context)
            # The variables were the server's alone: neither its workers nor the application see them.
            assert seen == {"server": ["127.0.0.1", port], "env": []}
    finally:
        process.send_signal(signal.SIGTERM)
        rest = process.stderr.read()
        assert process.wait(timeout=60) == 0, rest


def test_variables_for_another_process_pass_nothing(tmp_path):
    with socket.create_server(("127.0.0.1", 0)) as passed:
        # LISTEN_PID names another process: the descriptors are not ours, host and port are served.
        process = launch(tmp_path, [passed.fileno()], ["--port", "0", "--threads", "1"], {"LISTEN_FDS": "1", "LISTEN_PID": "1"})
        try:
            while (line := process.stderr.readline()) and not (listening := re.search(r"listening on http://127\.0\.0\.1:(\d+) ", line)):
                assert "systemd" not in line
            assert line, "the server ended before listening"
            assert int(listening[1]) != passed.getsockname()[1]
            assert get(int(listening[1])) == {"server": ["127.0.0.1", int(listening[1])], "env": []}
        finally:
            process.send_signal(signal.SIGTERM)
            rest = process.stderr.read()
            assert process.wait(timeout=60) == 0, rest


@pytest.mark.parametrize(
    ("env", "descriptor", "error"),
    [
        ({"LISTEN_FDS": "two"}, "socket", "socket activation: LISTEN_FDS is 'two', not a number of descriptors"),
        ({"LISTEN_FDS": "-1"}, "socket", "socket activation: LISTEN_FDS is '-1', not a number of descriptors"),
        ({"LISTEN_FDS": "1", "LISTEN_FDNAMES": "a:b"}, "socket",
         "socket activation: LISTEN_FDNAMES names 2 descriptors, LISTEN_FDS passes 1"),
        ({"LISTEN_FDS": "1"}, "pipe", "socket activation: cannot serve on descriptor 3: "),
        ({"LISTEN_FDS": "1"}, "datagram", "socket activation: cannot serve on descriptor 3: not a stream socket"),
    ],
)  # fmt: skip
def test_bad_activation_is_one_line(tmp_path, env, descriptor, error):
    reader, writer = os.pipe()
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as datagram, socket.create_server(("127.0.0.1", 0)) as stream:
        passed = {"socket": stream.fileno(), "pipe": reader, "datagram": datagram.fileno()}[descriptor]
        process = launch(tmp_path, [passed], ["--threads", "1"], env)
        os.close(reader)
        os.close(writer)
        _, stderr = process.communicate(timeout=60)
    assert process.returncode == 1
    assert stderr.splitlines()[-1].startswith(f"tessaryne: error: {error}"), stderr
