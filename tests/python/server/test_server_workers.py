"""``--workers``, ``--limit-max-requests`` and the recycling options, run as the command: a supervisor,
its worker processes, real clients, signals and kills. Every test with
workers ends with SIGTERM, which must let a request in flight finish, exit
with status 0 and leave no worker behind."""

from __future__ import annotations

import contextlib
import http.client
import os
import re
import signal
import socket
import subprocess
import sys
import textwrap
import threading
from collections import Counter

import pytest

from server_support import listening_port, needs_proc, recv_until_closed, tessaryne, wait_for, worker_pids
from tessaryne.server.config import Config
from tessaryne.server.supervisor_channel import SupervisorChannel, settings_line

pytestmark = needs_proc

APP = textwrap.dedent(
    """
    import os

    held = []

    async def app(scope, receive, send):
        if scope["type"] != "http":
            raise RuntimeError("no lifespan here")
        if scope["path"] == "/grow":
            held.append(b"x" * (300 << 20))  # every page written: resident
        await send({"type": "http.response.start", "status": 200, "headers": []})
        if scope["path"] == "/slow":
            await send({"type": "http.response.body", "body": b"first|", "more_body": True})
            while (await receive()).get("more_body"):
                pass
        await send({"type": "http.response.body", "body": str(os.getpid()).encode()})
    """
)


@contextlib.contextmanager
def command(tmp_path, *options):
    """The command serving APP; yields it and its port once it listens."""
    (tmp_path / "served.py").write_text(APP)
    process = tessaryne("served:app", "--port", "0", "--no-access-log", *options, cwd=tmp_path)
    try:
        yield process, listening_port(process)
    finally:
        if process.poll() is None:
            process.kill()
        process.wait()
        process.stderr.close()


def stops_cleanly(process, port, tmp_path):
    with socket.create_connection(("127.0.0.1", port)) as busy:
        busy.sendall(b"POST /slow HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhel")
        received = b""
        while b"first|" not in received:
            received += busy.recv(65536)
        process.send_signal(signal.SIGTERM)
        busy.sendall(b"lo")
        assert recv_until_closed(busy).endswith(b"\r\n0\r\n\r\n"), "the request in flight is answered"
    assert process.wait(timeout=60) == 0
    assert not worker_pids(tmp_path), "no worker is left behind"


class Client(threading.Thread):
    """Requests until stopped, on keep-alive connections or a new connection
    each; counts the answers of each pid, and notes each failure with the pid
    that had answered on its connection (None: none had) and whether the
    connection was opened once `settled` was set."""

    def __init__(self, port, settled, *, keep_alive):
        super().__init__()
        self.port, self.settled, self.keep_alive = port, settled, keep_alive
        self.stopping = threading.Event()
        self.served = Counter()
        self.last = None
        self.failures = []

    def run(self):
        headers = {} if self.keep_alive else {"Connection": "close"}
        while not self.stopping.is_set():
            opened_settled, served_by = self.settled.is_set(), None
            connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
            try:
                while not self.stopping.is_set():
                    connection.request("GET", "/", headers=headers)
                    served_by = self.last = int(connection.getresponse().read())
                    self.served[served_by] += 1
                    if not self.keep_alive:
                        break
            except OSError, http.client.HTTPException:
                self.failures.append((served_by, opened_settled))
            finally:
                connection.close()

    def stop(self):
        self.stopping.set()
        self.join()


def test_a_killed_worker_is_replaced_and_only_its_own_connections_fail(tmp_path):
    options = ["--workers", "2", "--threads", "2", "--max-requests-per-connection", "1000000"]
    with command(tmp_path, *options) as (process, port):
        victim_gone = threading.Event()
        clients = [Client(port, victim_gone, keep_alive=True) for _ in range(4)]
        for client in clients:
            client.start()
        victim = wait_for(lambda: clients[0].last, "an answer to the first client")
        survivor = next(iter(worker_pids(tmp_path) - {victim}))
        os.kill(victim, signal.SIGKILL)
        wait_for(lambda: victim not in worker_pids(tmp_path), "the killed worker to be gone")
        victim_gone.set()
        replacement = wait_for(lambda: worker_pids(tmp_path) - {survivor}, "a replacement")
        assert victim not in replacement
        answered = [client.served.total() for client in clients]
        wait_for(
            lambda: all(c.served.total() > n + 20 for c, n in zip(clients, answered, strict=True)),
            "every client to go on",
        )
        for client in clients:
            client.stop()
        failures = [failure for client in clients for failure in client.failures]
        assert (victim, False) in failures, "the first client's connection was the killed worker's"
        # Connections opened once the victim was gone all succeed; earlier ones fail only if it held them.
        assert all(pid in (victim, None) and not opened_settled for pid, opened_settled in failures), failures
        stops_cleanly(process, port, tmp_path)


@pytest.mark.parametrize(("trigger", "limit"), [("SIGHUP", None), ("the request limit", 200)])
def test_every_worker_is_replaced_while_a_client_keeps_connecting(tmp_path, trigger, limit):
    options = ["--workers", "2", "--threads", "1"] + (["--limit-max-requests", str(limit)] if limit else [])
    with command(tmp_path, *options) as (process, port):
        first = worker_pids(tmp_path)
        assert len(first) == 2
        client = Client(port, threading.Event(), keep_alive=False)
        client.start()
        wait_for(client.served.total, "a first answer")
        if trigger == "SIGHUP":
            process.send_signal(signal.SIGHUP)
        wait_for(lambda: not worker_pids(tmp_path) & first, f"{trigger} to replace both workers")
        answered = client.served.total()
        wait_for(lambda: client.served.total() > answered + 20, "answers from the new workers")
        client.stop()
        assert client.failures == [], "no connection was refused or left unanswered"
        assert set(client.served) - first, "new workers answer"
        if limit:
            assert all(client.served[pid] >= limit for pid in first), "none was replaced before its limit"
        stops_cleanly(process, port, tmp_path)


class Census(threading.Thread):
    """Counts the live workers of a command run from cwd until stopped: the most at once."""

    def __init__(self, cwd):
        super().__init__()
        self.cwd, self.most = cwd, 0
        self.stopping = threading.Event()
        self.start()

    def run(self):
        while not self.stopping.is_set():
            self.most = max(self.most, len(worker_pids(self.cwd)))

    def stop(self):
        self.stopping.set()
        self.join()
        return self.most


@pytest.mark.parametrize("workers", [2, 1])
def test_workers_past_their_lifetime_are_replaced_one_at_a_time(tmp_path, workers):
    """Even one worker is supervised, and every replacement waits for the one
    before to be over: never more than one worker beside the configured ones."""
    with command(tmp_path, "--workers", str(workers), "--threads", "1", "--workers-lifetime", "1") as (process, port):
        first = worker_pids(tmp_path)
        assert len(first) == workers
        census = Census(tmp_path)
        client = Client(port, threading.Event(), keep_alive=False)
        client.start()
        wait_for(lambda: len(set(client.served) - first) > workers, "two rounds of replacements")
        client.stop()
        assert census.stop() == workers + 1
        assert client.failures == [], "no connection was refused or left unanswered"
        stops_cleanly(process, port, tmp_path)
        log = process.stderr.read()
    for pid in first:
        assert f"worker {pid} reached --workers-lifetime 1 s; replacing it" in log


def test_a_worker_over_the_memory_limit_is_replaced_with_no_request_lost(tmp_path):
    with command(tmp_path, "--workers", "2", "--threads", "1", "--workers-max-rss", "200") as (process, port):
        first = worker_pids(tmp_path)
        client = Client(port, threading.Event(), keep_alive=False)
        client.start()
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        with contextlib.closing(connection):
            connection.request("GET", "/grow")
            grown = int(connection.getresponse().read())
        wait_for(lambda: len(worker_pids(tmp_path) - first) == 1 == len(first - worker_pids(tmp_path)), "a replacement")
        assert worker_pids(tmp_path) & first == first - {grown}, "only the worker over the limit is replaced"
        answered = client.served.total()
        wait_for(lambda: client.served.total() > answered + 20, "answers from the new worker")
        client.stop()
        assert client.failures == [], "no connection was refused or left unanswered"
        assert set(client.served) - first, "the new worker answers"
        stops_cleanly(process, port, tmp_path)
        log = process.stderr.read()
    # One line for the replacement, none for the samples that followed it.
    assert re.findall(r"worker (\d+) uses \d+ MiB, over --workers-max-rss 200 MiB; replacing it", log) == [str(grown)]
    assert log.count("--workers-max-rss") == 1, log


def test_without_workers_the_request_limit_stops_the_server_gracefully(tmp_path):
    with command(tmp_path, "--threads", "2", "--limit-max-requests", "5") as (process, port):
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        with contextlib.closing(connection):
            for _ in range(5):
                connection.request("GET", "/")
                assert int(connection.getresponse().read()) == process.pid
        assert process.wait(timeout=60) == 0


def test_a_worker_serves_on_past_a_word_it_does_not_know_and_hands_over_on_stop(tmp_path, monkeypatch):
    """The worker's end of the channel, its supervisor played by the test: a
    word from a newer supervisor is logged and ignored, and "stop", even in
    pieces, hands over and ends the worker."""
    (tmp_path / "served.py").write_text(APP)
    monkeypatch.syspath_prepend(tmp_path)  # the import path the worker is sent
    config = Config(app="served:app", app_name="served:app", threads=1, loop="asyncio", access_log=False)
    entry = "from tessaryne.server.workers import worker_main; worker_main()"
    with socket.create_server(("127.0.0.1", 0)) as listening:
        ours, theirs = socket.socketpair()
        process = subprocess.Popen(
            [sys.executable, "-c", entry, str(theirs.fileno())], pass_fds=[theirs.fileno(), listening.fileno()],
            cwd=tmp_path, stderr=subprocess.PIPE, text=True,
        )  # fmt: skip
        theirs.close()
        ours.settimeout(60)
        channel = SupervisorChannel(ours)
        try:
            channel.send_settings(settings_line(config, [listening]))
            assert channel.receive() == [("ready", "")]
            channel.say("rebalance", "a word of a later version")
            assert "ignored 'rebalance' from the supervisor" in process.stderr.readline()
            connection = http.client.HTTPConnection("127.0.0.1", listening.getsockname()[1], timeout=30)
            with contextlib.closing(connection):
                connection.request("GET", "/")
                assert int(connection.getresponse().read()) == process.pid
            ours.sendall(b"st")
            ours.sendall(b"op\n")
            assert process.wait(timeout=60) == 0
        finally:
            if process.poll() is None:
                process.kill()
            process.wait()
            channel.close()
