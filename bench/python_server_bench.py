"""Server benchmark: wrk on loopback against the hello-world ASGI app
(bench/hello_app.py) served by ours, uvicorn (httptools, asyncio loop) and
granian, each with one worker and with one worker per core, all on this
interpreter. Prints requests/s and p99 latency per server and the ratios
ours/peer. A server that is not installed or does not start is a skipped row.

Run: python bench/python_server_bench.py  (after installing the extension;
`pip install uvicorn httptools granian` for the peers, Debian's wrk).
WRK_SECONDS overrides the measured duration (default 10)."""

import importlib.util
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
APP = "bench.hello_app:app"
CORES = os.cpu_count() or 1
SECONDS = int(os.environ.get("WRK_SECONDS", "10"))
WARM_UP_SECONDS = 2
READY_DEADLINE = 60.0
PORT = "{port}"
REQUEST = b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
UNITS = {"us": 1e-6, "ms": 1e-3, "s": 1.0}


@dataclass
class Result:
    name: str
    rps: float | None = None
    p99: float | None = None  # seconds
    note: str = ""


def commands():
    """(name, argv) of every server run, ours first; PORT stands for the port."""
    python = sys.executable
    ours = [python, "-m", "tessaryne", APP, "--host", "127.0.0.1", "--port", PORT, "--no-access-log"]
    uvicorn = [python, "-m", "uvicorn", APP, "--host", "127.0.0.1", "--port", PORT, "--no-access-log",
               "--http", "httptools", "--loop", "asyncio", "--log-level", "warning"]
    # HTTP/1 only and the asyncio loop, like the others.
    granian = [python, "-m", "granian", "--interface", "asgi", "--host", "127.0.0.1", "--port", PORT,
               "--http", "1", "--loop", "asyncio", "--no-access-log", "--log-level", "warning", APP]
    return [
        ("ours, 1 thread", ours + ["--threads", "1"]),
        (f"ours, {CORES} threads", ours + ["--threads", str(CORES)]),
        ("uvicorn, 1 worker", uvicorn + ["--workers", "1"]),
        (f"uvicorn, {CORES} workers", uvicorn + ["--workers", str(CORES)]),
        ("granian, 1 worker", granian + ["--workers", "1"]),
        (f"granian, {CORES} workers", granian + ["--workers", str(CORES)]),
    ]


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def answers(port):
    """True once a request on the port gets a 200 response."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=2) as client:
            client.sendall(REQUEST)
            return client.recv(64).startswith(b"HTTP/1.1 200")
    except OSError:
        return False


def wait_ready(process, port):
    """None once the server answers, else why it never did."""
    deadline = time.monotonic() + READY_DEADLINE
    while time.monotonic() < deadline:
        if process.poll() is not None:
            return f"exited with status {process.returncode}"
        if answers(port):
            return None
        time.sleep(0.1)
    return f"no answer within {READY_DEADLINE:.0f} s"


def stop(process):
    """SIGTERM to the server's whole process group (workers included), then
    SIGKILL if it has not ended."""
    try:
        os.killpg(process.pid, signal.SIGTERM)
        process.wait(timeout=15)
    except ProcessLookupError:
        pass
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()


def wrk(port, seconds):
    return subprocess.run(
        ["wrk", "-t2", "-c64", f"-d{seconds}s", "--latency", f"http://127.0.0.1:{port}/"],
        capture_output=True, text=True, check=True,
    ).stdout


def parse_wrk(output):
    """(requests per second, p99 seconds, note on errors)."""
    rps = float(re.search(r"^Requests/sec:\s+([\d.]+)", output, re.M).group(1))
    value, unit = re.search(r"^\s+99%\s+([\d.]+)(us|ms|s)\s*$", output, re.M).groups()
    problems = re.findall(r"^\s*(Socket errors:.*|Non-2xx or 3xx responses:.*)$", output, re.M)
    return rps, float(value) * UNITS[unit], "; ".join(p.strip() for p in problems)


def measure(name, argv):
    if importlib.util.find_spec(argv[2]) is None:
        return Result(name, note=f"skipped: {argv[2]} is not installed")
    # A fresh port for each run: no server meets the previous one's lingering sockets.
    port = free_port()
    argv = [str(port) if arg == PORT else arg for arg in argv]
    with tempfile.TemporaryFile() as log:
        process = subprocess.Popen(argv, cwd=ROOT, stdout=log, stderr=subprocess.STDOUT,
                                   stdin=subprocess.DEVNULL, start_new_session=True)
        try:
            failure = wait_ready(process, port)
            if failure is None:
                wrk(port, WARM_UP_SECONDS)
                rps, p99, note = parse_wrk(wrk(port, SECONDS))
                return Result(name, rps, p99, note)
        finally:
            stop(process)
        log.seek(0)
        last = log.read().decode(errors="replace").strip().splitlines()[-1:] or [""]
        return Result(name, note=f"skipped: {failure}; {last[0][:100]}")


def print_results(results):
    print(f"\nHello-world ASGI app, wrk -t2 -c64 -d{SECONDS}s on loopback, keep-alive ({CORES} cores)")
    header = f"{'server':<26} {'requests/s':>12} {'p99':>10}  note"
    print(header)
    print("-" * len(header))
    for result in results:
        if result.rps is None:
            print(f"{result.name:<26} {'-':>12} {'-':>10}  {result.note}")
        else:
            print(f"{result.name:<26} {result.rps:>12.0f} {result.p99 * 1e3:>8.2f}ms  {result.note}")
    by_name = {result.name: result for result in results}
    print("\nratio ours/peer (requests/s; above 1: ours serves more)")
    pairs = [
        (f"ours, {CORES} threads", f"uvicorn, {CORES} workers"),
        (f"ours, {CORES} threads", f"granian, {CORES} workers"),
        ("ours, 1 thread", "uvicorn, 1 worker"),
        ("ours, 1 thread", "granian, 1 worker"),
    ]
    for ours, peer in pairs:
        a, b = by_name[ours].rps, by_name[peer].rps
        ratio = f"{a / b:.2f}x" if a and b else "-"
        print(f"  {ours + ' vs ' + peer:<50} {ratio:>8}")


def main():
    if shutil.which("wrk") is None:
        print("\nserver benchmark skipped: wrk is not installed (Debian package wrk)")
        return
    results = [measure(name, argv) for name, argv in commands()]
    print_results(results)


if __name__ == "__main__":
    main()
