"""``python -m tessaryne`` as a process: its help, its one-line errors, and a
graceful stop on SIGTERM."""

from __future__ import annotations

import http.client
import json
import os
import re
import signal
import socket
import subprocess
import sys
import textwrap
import urllib.request

import pytest

import tessaryne as runtime
from server_support import command, hello_app, listening_port, tessaryne
from tessaryne.__main__ import configuration
from tessaryne.server.loading import UsageError
from tessaryne.server.runner import StartupError

OPTIONS = [
    "--host", "--port", "--threads", "--executor-threads", "--root-path", "--lifespan", "--ssl-certfile",
    "--ssl-keyfile", "--log-level", "--timeout-keep-alive", "--timeout-graceful-shutdown",
    "--timeout-request-head", "--timeout-request-body", "--limit-request-body", "--limit-request-head",
    "--limit-request-body-rate",
    "--max-requests-per-connection", "--factory", "--workers", "--limit-max-requests", "--metrics-port",
    "--uds", "--uds-perms", "--fd", "--backlog", "--app-dir", "--env-file", "--access-log", "--log-config",
    "--server-header", "--date-header", "--header", "--limit-concurrency", "--ssl-keyfile-password",
    "--ssl-ca-certs", "--ssl-cert-reqs", "--ssl-ciphers", "--ws-max-size", "--ws-per-message-deflate",
    "--ws-ping-interval", "--ws-ping-timeout", "--ws-max-queue", "--proxy-headers", "--forwarded-allow-ips",
    "--loop", "--reload", "--reload-dir", "--reload-include", "--reload-exclude", "--use-colors",
    "--interface", "--http", "--ws", "--limit-max-requests-jitter", "--ssl-version", "--reload-delay",
    "--reset-contextvars", "--access-log-format", "--access-log-json", "--static-path-mount", "--static-path-route",
    "--workers-lifetime", "--workers-max-rss", "--proxy-protocol", "--h2-max-concurrent-streams",
]  # fmt: skip
# Our earlier names, kept beside the ones uvicorn users know.
ALIASES = {"--timeout-keep-alive": "--keep-alive-timeout", "--timeout-graceful-shutdown": "--shutdown-timeout"}

APP = textwrap.dedent(
    """
    async def app(scope, receive, send):
        if scope["type"] != "http":
            raise RuntimeError("no lifespan here")
        await send({"type": "http.response.start", "status": 200, "headers": []})
        if scope["path"] == "/slow":
            await send({"type": "http.response.body", "body": b"first|", "more_body": True})
            body, message = b"", {"more_body": True}
            while message.get("more_body"):
                message = await receive()
                body += message.get("body", b"")
            await send({"type": "http.response.body", "body": b"rest:" + body, "more_body": True})
        await send({"type": "http.response.body", "body": b"done"})
    """
)


def test_help_explains_every_option():
    shown = subprocess.run([sys.executable, "-m", "tessaryne", "--help"], capture_output=True, text=True).stdout
    assert set(OPTIONS) == set(re.findall(r"^\s+(--[a-z0-9-]+)", shown, re.M)) - {"--help", "--version"}
    assert shown.count("(default:") == len(OPTIONS)
    for name, alias in ALIASES.items():
        assert re.search(rf"^\s+{name}, {alias} SECONDS$", shown, re.M)


# A uvicorn command line, option for option: (arguments, the settings they make).
UVICORN_LINES = [
    # uvicorn's HTTP/1.1 parsers serve HTTP/1.1 only.
    (["--http", "httptools", "--ws", "websockets", "--interface", "asgi3", "--reset-contextvars"], {"http": "1"}),
    (["--http", "h11"], {"http": "1"}),
    ([], {"http": "auto", "h2_max_concurrent_streams": 100}),
    # granian's --http, and the HTTP/2 limit.
    (["--http", "2", "--h2-max-concurrent-streams", "250"], {"http": "2", "h2_max_concurrent_streams": 250}),
    (["--ws-per-message-deflate", "false"], {"ws_per_message_deflate": False}),
    (["--ws-per-message-deflate", "--ws-max-size", "1024"], {"ws_per_message_deflate": True, "ws_max_size": 1024}),
    (["--no-ws-per-message-deflate"], {"ws_per_message_deflate": False}),
    (["--h11-max-incomplete-event-size", "4096"], {"max_header_size": 4096}),
    (["--limit-max-requests", "100", "--limit-max-requests-jitter", "10"],
     {"limit_max_requests": 100, "limit_max_requests_jitter": 10}),
    (["--ssl-version", "17", "--timeout-keep-alive", "7"], {"ssl_version": 17, "keep_alive_timeout": 7.0}),
    # As uvicorn's, $WEB_CONCURRENCY gives way to --reload.
    (["--reload", "--reload-delay", "0.25"], {"reload": True, "reload_delay": 0.25, "workers": 1}),
]  # fmt: skip


@pytest.mark.parametrize(("arguments", "settings"), UVICORN_LINES)
def test_a_uvicorn_command_line_runs_unchanged(monkeypatch, arguments, settings):
    monkeypatch.setenv("WEB_CONCURRENCY", "3")
    config = configuration(["served:app", *arguments])
    expected = {"workers": 3, "app": "served:app", **settings}
    assert {name: getattr(config, name) for name in expected} == expected


def test_the_command_line_parses_and_changes_nothing(monkeypatch, tmp_path):
    """--env-file and --app-dir are settings, applied where the server imports the application."""
    (tmp_path / "deploy.env").write_text("TESSARYNE_NOT_SET_BY_PARSING=1\n")
    path, environment = list(sys.path), dict(os.environ)
    config = configuration(["served:app", "--env-file", str(tmp_path / "deploy.env"), "--app-dir", str(tmp_path)])
    assert (config.env_file, config.app_dir) == (str(tmp_path / "deploy.env"), str(tmp_path))
    assert (sys.path, dict(os.environ)) == (path, environment)
    monkeypatch.setenv("WEB_CONCURRENCY", "many")
    with pytest.raises(UsageError, match=r"^\$WEB_CONCURRENCY must be a number of worker processes, not 'many'$"):
        configuration(["served:app"])


def test_version_names_the_package_and_the_interpreter():
    shown = subprocess.run([sys.executable, "-m", "tessaryne", "--version"], capture_output=True, text=True, check=True)
    assert re.fullmatch(r"tessaryne \d+\.\d+\.\d+\S* on CPython 3\.14\.\d+\S* \(free-threaded\), \w+\n", shown.stdout)


@pytest.mark.parametrize(("settings", "message"), [
    ({"workers": 0}, "workers must be a whole number at least 1, not 0"),
    ({"port": 70000}, "port must be a whole number from 0 to 65535, not 70000"),
    ({"head_timeout": -1.0}, "head_timeout must be a number at least 0, not -1.0"),
    ({"threads": True}, "threads must be a whole number at least 1, not True"),
    ({"threads": 2.5}, "threads must be a whole number at least 1, not 2.5"),
    ({"loop": "trio"}, "loop must be one of auto, asyncio, uvloop, not 'trio'"),
    ({"http": "h2"}, "http must be one of auto, 1, 2, not 'h2'"),
    ({"http": 2}, "http must be one of auto, 1, 2 (a str), not 2"),
    ({"h2_max_concurrent_streams": 0}, "h2_max_concurrent_streams must be a whole number from 1 to 4294967295, not 0"),
    ({"h2_max_concurrent_streams": 2**32}, "h2_max_concurrent_streams must be a whole number from 1 to 4294967295, not 4294967296"),
    ({"headers": (("x-a\r\nx-b", "1"),)}, "headers: ('x-a\\r\\nx-b', '1') is no NAME:VALUE header"),
    ({"ssl_keyfile": "key.pem"}, "--ssl-keyfile needs --ssl-certfile"),
    ({"reload": True, "workers": 2}, "--reload restarts one server process; it cannot be combined with --workers"),
    ({"uds_perms": 0o660}, "--uds-perms needs --uds"),
    ({"reload_includes": ("*.html",)}, "--reload-include needs --reload"),
    ({"env_file": "missing.env"}, "cannot read --env-file 'missing.env': No such file or directory"),
    ({"workers_lifetime": 0.5}, "workers_lifetime must be a number at least 1, not 0.5"),
    ({"workers_lifetime": "60"}, "workers_lifetime must be a number at least 1, not '60'"),
    ({"workers_lifetime": float("nan")}, "workers_lifetime must be a number at least 1, not nan"),
    ({"workers_max_rss": 0}, "workers_max_rss must be a whole number at least 1, not 0"),
    ({"workers_max_rss": 512.5}, "workers_max_rss must be a whole number at least 1, not 512.5"),
    ({"workers_lifetime": 60, "reload": True},
     "--workers-lifetime cannot be combined with --reload, whose server process is replaced on changes"),
    ({"workers_max_rss": 512, "metrics_port": 9100},
     "--workers-max-rss serves from worker processes; it cannot be combined with --metrics-port, which counts one process's loops"),
    # Recycling runs a supervisor even for one worker, and workers import the application by name.
    ({"workers_max_rss": 512}, "worker processes import the application by name: give it as module:attribute (Config.app_name)"),
])  # fmt: skip
def test_run_refuses_what_the_command_line_refuses(settings, message):
    with pytest.raises((UsageError, StartupError)) as raised:
        runtime.run(hello_app, **settings)
    assert str(raised.value) == message


@pytest.mark.parametrize(
    ("app", "options", "message"),
    [
        ("nowhere:app", [], "cannot import 'nowhere': no module named 'nowhere'"),
        ("served:missing", [], "module 'served' has no attribute 'missing'"),
        ("broken:app", [], "importing 'broken' raised ZeroDivisionError: division by zero"),
        ("no_colon", [], "the application must be given as module:attribute, not 'no_colon'"),
        ("served:app", ["--port", "{taken}"], "cannot listen on 127.0.0.1:{taken}: Address already in use"),
        ("served:app", ["--ssl-certfile", "missing.pem"], "cannot load the TLS certificate ('missing.pem'): "),
        ("served:app", ["--factory"], "the application factory raised TypeError: app() missing 3 required positional"),
        ("served:app", ["--workers", "0"], "argument --workers: invalid integer value: '0'"),
        ("served:app", ["--workers", "2", "--metrics-port", "9"], "--metrics-port counts one process's loops; it cannot be combined with --workers"),
        ("served:app", ["--limit-max-requests", "0"], "argument --limit-max-requests: invalid integer value: '0'"),
        ("served:app", ["--header", "nocolon"], "argument --header: invalid NAME:VALUE header value: 'nocolon'"),
        ("served:app", ["--log-config", "missing.json"], "cannot apply the log configuration 'missing.json': No such file or directory"),
        ("served:app", ["--timeout-keep-alive", "-1"], "argument --timeout-keep-alive/--keep-alive-timeout: invalid number value: '-1'"),
        ("served:app", ["--backlog", "0"], "argument --backlog: invalid integer value: '0'"),
        ("served:app", ["--workers-lifetime", "an hour"], "argument --workers-lifetime: invalid number value: 'an hour'"),
        ("served:app", ["--workers-max-rss", "1.5"], "argument --workers-max-rss: invalid integer value: '1.5'"),
        ("served:app", ["--workers-lifetime", "0"], "workers_lifetime must be a number at least 1, not 0.0"),
        ("served:app", ["--uds", "no/such/dir/s.sock"], "cannot listen on unix:no/such/dir/s.sock: No such file or directory"),
        ("served:app", ["--uds-perms", "800", "--uds", "s.sock"], "argument --uds-perms: invalid octal mode value: '800'"),
        ("served:app", ["--uds-perms", "660"], "--uds-perms needs --uds"),
        ("served:app", ["--forwarded-allow-ips", "127.0.0.1,localhost"], "cannot serve: forwarded_allow_ips: 'localhost' is not an IP address"),
        ("served:app", ["--uds", "s.sock", "--fd", "3"], "--uds and --fd name two different sockets; give one"),
        ("served:app", ["--fd", "-1"], "argument --fd: invalid integer value: '-1'"),
        ("served:app", ["--fd", "999"], "cannot serve on descriptor 999: Bad file descriptor"),
        ("served:app", ["--workers", "2", "--fd", "999"], "cannot serve on descriptor 999: Bad file descriptor"),
        ("served:app", ["--env-file", "missing.env"], "cannot read --env-file 'missing.env': No such file or directory"),
        ("served:app", ["--env-file", "bad.env"], "--env-file 'bad.env', line 2: expected KEY=VALUE, not 'just words'"),
        ("served:app", ["--env-file", "open.env"], "--env-file 'open.env', line 1: unterminated or misplaced \" in NAME"),
        ("served", ["--app-dir", "apps"], "the application must be given as module:attribute, not 'served'"),
        ("elsewhere:app", ["--app-dir", "apps"], "module 'elsewhere' has no attribute 'app'"),
        ("served:app", ["--interface", "asgi2"], "--interface asgi2: tessaryne serves ASGI 3 applications"),
        ("served:app", ["--ws-per-message-deflate", "maybe"], "argument --ws-per-message-deflate: invalid boolean (true or false) value: 'maybe'"),
        ("served:app", ["--loop", "trio"], "argument --loop: invalid choice: 'trio' (choose from 'auto', 'asyncio', 'uvloop')"),
        ("served:app", ["--http", "3"], "http must be one of auto, 1, 2, not '3'"),
        ("served:app", ["--h2-max-concurrent-streams", "0"], "h2_max_concurrent_streams must be a whole number from 1 to 4294967295, not 0"),
        ("served:app", ["--app-dir", "no_uvloop", "--loop", "uvloop"], "--loop uvloop needs uvloop installed (pip install uvloop)"),
        ("served:app", ["--reload", "--workers", "2"], "--reload restarts one server process; it cannot be combined with --workers"),
        ("served:app", ["--reload-include", "*.html"], "--reload-include needs --reload"),
        ("served:app", ["--reload", "--metrics-port", "9"], "it cannot be combined with --workers or --reload"),
        ("served:app", ["--reload", "--reload-dir", "missing"], "cannot watch 'missing' for changes: not a directory"),
        # A worker that cannot start fails the run before it listens, as the process without workers does.
        ("served:app", ["--workers", "2", "--ssl-certfile", "missing.pem"], "cannot load the TLS certificate ('missing.pem'): "),
    ],
)  # fmt: skip
def test_errors_are_one_line_and_status_1(tmp_path, app, options, message):
    (tmp_path / "served.py").write_text(APP)
    (tmp_path / "broken.py").write_text("1 / 0\n")
    (tmp_path / "bad.env").write_text("# a comment\njust words\n")
    (tmp_path / "open.env").write_text('NAME="never closed\n')
    (tmp_path / "apps").mkdir()
    (tmp_path / "apps" / "elsewhere.py").write_text("application = None\n")
    (tmp_path / "no_uvloop").mkdir()
    (tmp_path / "no_uvloop" / "uvloop.py").write_text("raise ImportError('not installed here')\n")
    with socket.create_server(("127.0.0.1", 0)) as taken:
        port = str(taken.getsockname()[1])
        args = [option.replace("{taken}", port) for option in options]
        process = tessaryne(app, "--port", "0", *args, cwd=tmp_path)
        _, stderr = process.communicate(timeout=60)
    assert process.returncode == 1
    assert stderr.count("\n") == 1 and stderr.startswith("tessaryne: error: ")
    assert message.replace("{taken}", port) in stderr


def read_until(sock, marker):
    received = b""
    while marker not in received:
        try:
            piece = sock.recv(65536)
        except ConnectionResetError:
            break
        if not piece:
            break
        received += piece
    return received


def test_sigterm_lets_requests_finish_closes_idle_connections_and_a_second_one_stops_at_once(tmp_path):
    (tmp_path / "served.py").write_text(APP)
    timeouts = [
        "--keep-alive-timeout",
        "600",
        "--shutdown-timeout",
        "600",
        "--timeout-request-body",
        "600",
    ]  # none ends anything here
    with command("served:app", "--threads", "2", *timeouts, cwd=tmp_path) as server:
        process, port = server.process, server.port
        assert server.listening[2] == "2"

        idle = http.client.HTTPConnection("127.0.0.1", port)
        idle.request("GET", "/")
        assert idle.getresponse().read() == b"done"
        finishing, stuck = (socket.create_connection(("127.0.0.1", port)) for _ in range(2))
        for busy in (finishing, stuck):
            busy.sendall(b"POST /slow HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n\r\nhello")
            assert b"first|" in read_until(busy, b"first|")

        process.send_signal(signal.SIGTERM)
        assert idle.sock.recv(1) == b"", "the idle keep-alive connection is closed"
        finishing.sendall(b"world")
        rest = read_until(finishing, b"0\r\n\r\n")
        assert b"rest:helloworld" in rest and rest.endswith(b"done\r\n0\r\n\r\n")

        process.send_signal(signal.SIGTERM)  # the stuck request would hold the stop for ten minutes
        assert process.wait(timeout=60) == 0
        assert not read_until(stuck, b"done").endswith(b"0\r\n\r\n")


def test_response_header_and_log_configuration_options(tmp_path):
    (tmp_path / "served.py").write_text(APP)
    (tmp_path / "log.json").write_text(
        json.dumps(
            {
                "version": 1,
                "disable_existing_loggers": False,
                "formatters": {"plain": {"format": "CUSTOM %(message)s"}},
                "handlers": {
                    "err": {"class": "logging.StreamHandler", "formatter": "plain", "stream": "ext://sys.stderr"}
                },
                "loggers": {"tessaryne": {"handlers": ["err"], "level": "INFO", "propagate": False}},
            }
        )
    )
    process = tessaryne(
        "served:app",
        "--port",
        "0",
        "--header",
        "x-frame-options: DENY",
        "--no-server-header",
        "--no-date-header",
        "--log-config",
        "log.json",
        "--use-colors",
        cwd=tmp_path,
    )
    try:
        port = listening_port(process)
        with socket.create_connection(("127.0.0.1", port)) as sock:
            sock.sendall(b"GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
            head = b"".join(iter(lambda: sock.recv(65536), b"")).split(b"\r\n\r\n")[0]
    finally:
        process.terminate()
        _, log = process.communicate(timeout=30)
    assert b"x-frame-options: DENY" in head and b"server:" not in head and b"date:" not in head
    assert process.returncode == 0 and "CUSTOM stopped" in log and "\x1b" not in log, "the file's formatter writes"


def test_the_python_api_serves_an_application_object_as_the_command_does(tmp_path):
    (tmp_path / "program.py").write_text(
        textwrap.dedent("""
        import tessaryne

        async def app(scope, receive, send):
            await send({"type": "http.response.start", "status": 200, "headers": []})
            await send({"type": "http.response.body", "body": b"from run()"})

        tessaryne.run(app, port=0, threads=2, lifespan="off", access_log=False)
    """)
    )
    process = subprocess.Popen([sys.executable, "program.py"], cwd=tmp_path, stderr=subprocess.PIPE, text=True)
    try:
        port = listening_port(process)
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/", timeout=30) as response:
            assert response.read() == b"from run()"
    finally:
        process.terminate()
        process.communicate(timeout=30)
    assert process.returncode == 0


LOOP_APP = textwrap.dedent(
    """
    import asyncio, sys, threading

    async def app(scope, receive, send):
        loop = type(asyncio.get_running_loop()).__name__
        if scope["type"] == "websocket":
            await receive()
            await send({"type": "websocket.accept"})
            message = await receive()
            await send({"type": "websocket.send", "text": f"{message['text']} on {loop}"})
            await send({"type": "websocket.close"})
        elif scope["type"] == "http":
            worker = await asyncio.to_thread(lambda: threading.current_thread().name)
            gil = "with the GIL" if sys._is_gil_enabled() else "free-threaded"
            await send({"type": "http.response.start", "status": 200, "headers": []})
            await send({"type": "http.response.body", "body": f"{loop} {worker} {gil}".encode()})
    """
)


@pytest.mark.parametrize(("options", "without_uvloop", "loop"), [
    (["--loop", "uvloop"], False, "UvloopWorkerPoolEventLoop"),
    (["--loop", "asyncio"], False, "WorkerPoolEventLoop"),
    ([], False, "UvloopWorkerPoolEventLoop"),
    ([], True, "WorkerPoolEventLoop"),  # auto, where uvloop does not import
])  # fmt: skip
def test_the_event_loop_chosen_serves_http_and_websockets_and_keeps_the_executor_and_the_gil_off(
    tmp_path, options, without_uvloop, loop
):
    """Run with --use-colors too: the access line's status is coloured although stderr is no terminal."""
    pytest.importorskip("uvloop")
    from websockets.sync.client import connect

    (tmp_path / "served.py").write_text(LOOP_APP)
    if without_uvloop:
        (tmp_path / "uvloop.py").write_text("raise ImportError('not installed here')\n")
    with command(
        "served:app", "--threads", "2", "--executor-threads", "1", "--use-colors", *options, cwd=tmp_path
    ) as server:
        with urllib.request.urlopen(f"http://127.0.0.1:{server.port}/", timeout=30) as response:
            assert response.read().decode().split() == [loop, "tessaryne-worker_0", "free-threaded"]
        with connect(f"ws://127.0.0.1:{server.port}/ws", open_timeout=30) as ws:
            ws.send("hello")
            assert ws.recv(timeout=30) == f"hello on {loop}"
        log = server.stop()
    assert '"GET / HTTP/1.1" \x1b[32m200\x1b[0m' in log and '"GET /ws HTTP/1.1" \x1b[36m101\x1b[0m' in log
