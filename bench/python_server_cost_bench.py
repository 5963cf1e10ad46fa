"""Server cost per request in instructions, counted by callgrind: a number
that does not drift with the machine's speed or with other load, so two
versions of the server can be compared from any run.

The server (one loop thread, access log off, bench/hello_app.py) runs under
valgrind's callgrind; a client process sends REQUESTS keep-alive GETs over
CONNECTIONS connections, one request in flight on each. Only a window is
counted: callgrind's counters are zeroed once the server has served a
warm-up, and dumped after the measured requests, so that neither start-up
nor what idle threads do while the server waits for a client (which varies
with the machine's load) is counted. The cost per request is (the window
with REQUESTS requests - the window with none) / REQUESTS, so the
connections' own cost cancels out; COST_PIPELINE=16 writes the requests 16
at a time, as a pipelining client does. With BASELINE=/path/to/another/checkout
(its extension built, e.g. with `make extension` there) that checkout's server
is measured beside ours, with the interpreter of its own .venv. COST_SERVER_ARGS
adds to the server's options, split as a shell would: "--access-log --log-level
info" measures the access log's own line (written to /dev/null), with
"--access-log-json" added the JSON one.

Run: python bench/python_server_cost_bench.py  (needs valgrind; skipped without it)."""

import os
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REQUESTS = int(os.environ.get("COST_REQUESTS", "4000"))
CONNECTIONS = 8
WARM_UP = 200  # requests served before the counted window
# Requests written together on a connection (COST_PIPELINE), answered before the next write.
PIPELINE = int(os.environ.get("COST_PIPELINE", "1"))
REQUEST = b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
# After the options below, so that they may turn the access log on again.
SERVER_ARGS = shlex.split(os.environ.get("COST_SERVER_ARGS", ""))


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def wait_listening(port, deadline=120.0):
    end = time.monotonic() + deadline
    while time.monotonic() < end:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            time.sleep(0.2)
    return False


def drive(port, count):
    """Sends `count` requests round-robin over keep-alive connections, PIPELINE
    at a time, each batch answered before the next."""
    sockets = [socket.create_connection(("127.0.0.1", port)) for _ in range(CONNECTIONS)]
    try:
        for i in range(count // PIPELINE):
            sock = sockets[i % CONNECTIONS]
            sock.sendall(REQUEST * PIPELINE)
            received = b""
            while received.count(b"Hello, world!") < PIPELINE:
                chunk = sock.recv(65536)
                if not chunk:
                    raise ConnectionError("the server closed a keep-alive connection")
                received += chunk
    finally:
        for sock in sockets:
            sock.close()


def instructions(checkout, count):
    port = free_port()
    with tempfile.TemporaryDirectory() as scratch:
        out = os.path.join(scratch, "callgrind.out")
        # Each checkout's package and extension are installed in its own environment.
        own = os.path.join(checkout, ".venv", "bin", "python")
        python = own if os.path.exists(own) else sys.executable
        server = subprocess.Popen(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", "--quiet",
             python, "-m", "tessaryne", "bench.hello_app:app", "--port", str(port), "--threads", "1",
             "--no-access-log", "--log-level", "warning", "--lifespan", "off", *SERVER_ARGS],
            cwd=checkout, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            if not wait_listening(port):
                raise RuntimeError("the server did not start")
            drive(port, WARM_UP)
            control("--zero", server.pid)
            drive(port, count)
            control("--dump", server.pid)  # the window, as the file's first dump
        finally:
            server.send_signal(signal.SIGINT)
            server.wait(timeout=300)
        with open(f"{out}.1") as file:
            for line in file:
                if line.startswith(("summary:", "totals:")):
                    return int(line.split()[1])
    raise RuntimeError("callgrind wrote no total")


def control(command, pid):
    subprocess.run(["callgrind_control", command, str(pid)], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def per_request(checkout):
    # The connections alone: the client connects in both windows.
    return (instructions(checkout, REQUESTS) - instructions(checkout, 0)) / REQUESTS


def main():
    if shutil.which("valgrind") is None or shutil.which("callgrind_control") is None:
        print("server cost per request: skipped (no valgrind)")
        return
    rows = [("ours", ROOT)]
    baseline = os.environ.get("BASELINE")
    if baseline:
        rows.append((f"baseline ({os.path.basename(os.path.abspath(baseline))})", baseline))
    print(f"server cost per request, instructions counted by callgrind ({REQUESTS} keep-alive GETs, "
          f"{CONNECTIONS} connections, {PIPELINE} per write, one loop thread)")
    figures = {}
    for name, checkout in rows:
        figures[name] = per_request(checkout)
        print(f"  {name:<28} {figures[name]:>12,.0f}")
    if len(figures) == 2:
        ours, base = figures.values()
        print(f"  ours / baseline             {ours / base:>12.2f}x")


if __name__ == "__main__":
    main()
