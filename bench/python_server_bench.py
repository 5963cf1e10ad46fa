"""Server benchmark: wrk on loopback, keep-alive, against the hello-world ASGI
app (bench/hello_app.py) served by ours and granian, each on the asyncio loop
and on uvloop, and uvicorn (httptools, asyncio loop), all on this interpreter,
access logs off and log level warning. Two tables:

- one core: each server pinned to CPU 1 with one loop thread or worker, and
  `wrk -t1 -c64` pinned to CPU 0, so that neither takes the other's core. This
  is the per-core speed servers are compared by. A bare row
  (bench/bare_protocol.py: the engine behind a minimal asyncio protocol, no
  ASGI) is the ceiling of the asyncio transport path.
- one core, the cases beyond hello-world: the same hello-world with 16
  requests pipelined in each write (`wrk -c256` with bench/pipeline.lua),
  Starlette's PlainTextResponse and FastAPI's GET /json returning a dict
  (bench/framework_apps.py), for ours, granian and uvicorn, with nginx (one
  worker, a fixed `return 200`) as the native bound of the fixed answer where
  it is installed.
- every core: one loop thread or worker per core and `wrk -t2 -c64`, unpinned,
  so wrk shares the cores with the server; this flatters a server with several
  busy threads.

The machine's speed drifts by a factor of two within an hour, so the servers
of a table take turns in rounds and each keeps its best round. Prints
requests/s and p99 latency per server and the ratios ours/peer. A server that
is not installed or does not start is a skipped row.

Run: python bench/python_server_bench.py  (after installing the extension;
`pip install uvicorn httptools granian uvloop` for the peers, Debian's wrk).
WRK_SECONDS sets the measured duration of a run (default 10), BENCH_ROUNDS the
number of rounds (default 3)."""

import contextlib
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
import typing
from dataclasses import dataclass

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
APP = "bench.hello_app:app"
CORES = os.cpu_count() or 1
SECONDS = int(os.environ.get("WRK_SECONDS", "10"))
ROUNDS = int(os.environ.get("BENCH_ROUNDS", "3"))
WARM_UP_SECONDS = 2
READY_DEADLINE = 60.0
STOP_DEADLINE = 15.0
PORT = "{port}"
REQUEST = b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
UNITS = {"us": 1e-6, "ms": 1e-3, "s": 1.0}
BINARY_UNITS = {"B": 1, "KB": 2**10, "MB": 2**20, "GB": 2**30, "TB": 2**40}
SERVER_CPU, WRK_CPU = "1", "0"


@dataclass
class Server:
    name: str
    argv: list  # PORT stands for the port
    requires: tuple  # modules that must be importable
    program: str = ""  # a program that must be on PATH
    case: "Case | None" = None  # what this row is measured on, in place of its table's case


@dataclass
class Case:
    name: str
    app: str
    path: str = "/"
    connections: int = 64
    script: str | None = None  # a wrk script
    native: bool = False  # nginx's fixed answer is the same response
    # Another load generator and readiness check than wrk's and answers' (HTTP/2: h2load's and curl's):
    # load(port, seconds, prefix, threads, case) -> (requests/s, p99 seconds, note, bytes/s), or raises
    # LoadFailed; probe(port, path) -> True once the server answers, or why it answers wrongly.
    load: "typing.Callable | None" = None
    probe: "typing.Callable | None" = None


@dataclass
class Result:
    name: str
    rps: float | None = None
    p99: float | None = None  # seconds
    note: str = ""
    transfer: float | None = None  # bytes a second, heads and bodies, as wrk counts them
    cpu: float | None = None  # the server's CPU seconds a second while measured (1.0: one core busy)


CASES = [
    Case("hello-world, keep-alive", APP, native=True),
    Case("the same, 16 requests pipelined per write", APP, connections=256,
         script=os.path.join(ROOT, "bench", "pipeline.lua"), native=True),
    Case("Starlette PlainTextResponse", "bench.framework_apps:starlette_app"),
    Case("FastAPI GET /json", "bench.framework_apps:fastapi_app", path="/json"),
]

NGINX_CONF = """daemon off; worker_processes 1; pid {dir}/nginx.pid; error_log stderr error;
events {{ worker_connections 4096; }}
http {{ access_log off; server {{ listen 127.0.0.1:{port}; location / {{ return 200 "Hello, world!"; }} }} }}
"""


def server_commands(workers, app=APP):
    """ours, granian and uvicorn serving `app`, each with `workers` loop threads or worker processes."""
    python = sys.executable
    quiet = ["--no-access-log", "--log-level", "warning"]
    ours = [python, "-m", "tessaryne", app, "--host", "127.0.0.1", "--port", PORT, *quiet,
            "--threads", str(workers), "--loop"]
    # HTTP/1 only, and each server on the same event loop as ours in the row it is compared with.
    granian = [python, "-m", "granian", "--interface", "asgi", "--host", "127.0.0.1", "--port", PORT,
               "--http", "1", *quiet, "--workers", str(workers), app, "--loop"]
    uvicorn = [python, "-m", "uvicorn", app, "--host", "127.0.0.1", "--port", PORT, *quiet,
               "--http", "httptools", "--loop", "asyncio", "--workers", str(workers)]
    return ours, granian, uvicorn


def servers(workers):
    """The servers of a table, each with `workers` loop threads or worker processes."""
    python = sys.executable
    ours, granian, uvicorn = server_commands(workers)
    plural = "" if workers == 1 else "s"
    rows = [Server(f"ours, {workers} thread{plural}", [*ours, "asyncio"], ("tessaryne",)),
            Server(f"ours, {workers} thread{plural}, uvloop", [*ours, "uvloop"], ("tessaryne", "uvloop"))]
    if workers == 1:
        # The bare protocol has one loop: it belongs in the one-core table only.
        bare = [python, "-m", "bench.bare_protocol", PORT]
        rows.append(Server("bare protocol", bare, ("tessaryne",)))
    rows.append(Server(f"granian, {workers} worker{plural}", [*granian, "asyncio"], ("granian",)))
    rows.append(Server(f"granian, {workers} worker{plural}, uvloop", [*granian, "uvloop"], ("granian", "uvloop")))
    rows.append(Server(f"uvicorn, {workers} worker{plural}", uvicorn, ("uvicorn", "httptools")))
    return rows


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def port_free(port):
    """True when nothing listens on the port. SO_REUSEADDR, as every server
    sets it: the sockets of closed connections (TIME_WAIT) do not count."""
    with socket.socket() as probe:
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            probe.bind(("127.0.0.1", port))
            probe.listen()
            return True
        except OSError:
            return False


def answers(port, path="/"):
    """True once a request on the port gets a 200 response."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=2) as client:
            client.sendall(REQUEST.replace(b"GET / ", b"GET " + path.encode() + b" "))
            return client.recv(64).startswith(b"HTTP/1.1 200")
    except OSError:
        return False


def wait_ready(process, port, path="/", probe=answers):
    """None once the server answers, else why it never did (or answered wrongly)."""
    deadline = time.monotonic() + READY_DEADLINE
    while time.monotonic() < deadline:
        if process.poll() is not None:
            return f"exited with status {process.returncode}"
        ready = probe(port, path)
        if isinstance(ready, str):
            return ready
        if ready:
            return None
        time.sleep(0.1)
    return f"no answer within {READY_DEADLINE:.0f} s"


def signal_group(pgid, signum):
    """Sends signum to the process group; False when none of it is left."""
    try:
        os.killpg(pgid, signum)
        return True
    except ProcessLookupError:
        return False


def stop(process, port):
    """SIGTERM to the server's whole process group (workers included), SIGKILL
    if any of it is left after STOP_DEADLINE; returns once every process of the
    group has ended and the port is free, so the next server starts alone."""
    signal_group(process.pid, signal.SIGTERM)
    deadline = time.monotonic() + STOP_DEADLINE
    while signal_group(process.pid, 0) and time.monotonic() < deadline:
        process.poll()  # reaps the leader; workers are reaped by their parent or init
        time.sleep(0.05)
    signal_group(process.pid, signal.SIGKILL)  # whatever is left
    process.wait()
    deadline = time.monotonic() + STOP_DEADLINE
    while signal_group(process.pid, 0) or not port_free(port):
        if time.monotonic() > deadline:
            sys.exit(f"server benchmark: a server's processes or port {port} outlived it")
        time.sleep(0.05)


class LoadFailed(Exception):
    """The load generator failed, or printed no figures: the run has none."""


def wrk(port, seconds, wrk_prefix, threads, case=None):
    case = case or CASES[0]
    script = ["-s", case.script] if case.script else []
    return subprocess.run(
        [*wrk_prefix, "wrk", f"-t{threads}", f"-c{case.connections}", f"-d{seconds}s", "--latency", *script,
         f"http://127.0.0.1:{port}{case.path}"],
        capture_output=True, text=True, check=True,
    ).stdout


def parse_wrk(output):
    """(requests per second, p99 seconds, note on errors, bytes per second)."""
    rps = float(re.search(r"^Requests/sec:\s+([\d.]+)", output, re.M).group(1))
    value, unit = re.search(r"^\s+99%\s+([\d.]+)(us|ms|s)\s*$", output, re.M).groups()
    problems = re.findall(r"^\s*(Socket errors:.*|Non-2xx or 3xx responses:.*)$", output, re.M)
    amount, scale = re.search(r"^Transfer/sec:\s+([\d.]+)([KMGT]?B)", output, re.M).groups()
    transfer = float(amount) * BINARY_UNITS[scale]  # wrk's units are powers of 1024
    return rps, float(value) * UNITS[unit], "; ".join(p.strip() for p in problems), transfer


def wrk_load(port, seconds, wrk_prefix, threads, case):
    return parse_wrk(wrk(port, seconds, wrk_prefix, threads, case))


def group_cpu_seconds(pgid):
    """CPU seconds used so far by the processes of a group (every thread of
    each counts in its process's figures)."""
    ticks = 0
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as stat:
                fields = stat.read().rpartition(")")[2].split()
        except OSError:
            continue  # gone meanwhile
        if int(fields[2]) == pgid:
            ticks += int(fields[11]) + int(fields[12])  # utime and stime
    return ticks / os.sysconf("SC_CLK_TCK")


@dataclass
class Run:
    """A server started by `started`. failure: why it never answered, None once
    it did; last_line: the last line it wrote, read once it has stopped."""
    process: subprocess.Popen
    port: int
    log: typing.BinaryIO  # its stdout and stderr
    failure: str | None = None
    last_line: str = ""


@contextlib.contextmanager
def started(server, server_prefix, path="/", probe=answers):
    """Starts the server on a free port and waits until it answers on `path`
    (or never does); stops it once the block ends, however it ends."""
    port = free_port()
    scratch = tempfile.mkdtemp(prefix="bench-server-")
    values = {"port": str(port), "dir": scratch}
    argv = [*server_prefix, *(arg.format(**values) if "{" in arg else arg for arg in server.argv)]
    if server.program == "nginx":
        with open(os.path.join(scratch, "nginx.conf"), "w") as conf:
            conf.write(NGINX_CONF.format(**values))
    with tempfile.TemporaryFile() as log:
        process = subprocess.Popen(argv, cwd=ROOT, stdout=log, stderr=subprocess.STDOUT,
                                   stdin=subprocess.DEVNULL, start_new_session=True)
        run = Run(process, port, log)
        try:
            run.failure = wait_ready(process, port, path, probe)
            yield run
        finally:
            stop(process, port)
            shutil.rmtree(scratch, ignore_errors=True)
            log.seek(0)
            run.last_line = (log.read().decode(errors="replace").strip().splitlines()[-1:] or [""])[0]


def measure(server, server_prefix, wrk_prefix, wrk_threads, case=None):
    """One run of one server: start it, warm it up, measure, stop it."""
    case = case or CASES[0]
    load = case.load or wrk_load
    with started(server, server_prefix, case.path, case.probe or answers) as run:
        if run.failure is None:
            port, log = run.port, run.log
            try:
                load(port, WARM_UP_SECONDS, wrk_prefix, wrk_threads, case)
                logged = log.seek(0, os.SEEK_END)
                used, began = group_cpu_seconds(run.process.pid), time.monotonic()
                rps, p99, note, transfer = load(port, SECONDS, wrk_prefix, wrk_threads, case)
            except LoadFailed as error:
                return Result(server.name, note=f"failed: {error}")
            cpu = (group_cpu_seconds(run.process.pid) - used) / (time.monotonic() - began)
            # Anything written while wrk ran (an access log) was measured too: say so.
            logged = log.seek(0, os.SEEK_END) - logged
            if logged:
                note = "; ".join(filter(None, [note, f"logged {logged} bytes while measured"]))
            return Result(server.name, rps, p99, note, transfer, cpu)
    return Result(server.name, note="skipped: " + "; ".join(filter(None, [run.failure, run.last_line[:100]])))


def not_installed(server):
    """The note of a server whose modules or program this machine lacks; "" when it has them."""
    absent = [module for module in server.requires if importlib.util.find_spec(module) is None]
    if server.program and shutil.which(server.program) is None:
        absent.append(server.program)
    return f"skipped: {', '.join(absent)} not installed" if absent else ""


def best_of_rounds(rows, server_prefix, wrk_prefix, wrk_threads, case=None):
    """Runs the servers in turn, ROUNDS times; each keeps its best run. A
    server that has never started is not tried again; a failure after a
    success is kept as a note."""
    best, failed = {}, {}
    for server in rows:
        if note := not_installed(server):
            best[server.name] = Result(server.name, note=note)
    for _ in range(ROUNDS):
        for server in rows:
            previous = best.get(server.name)
            if previous is not None and previous.rps is None:
                continue
            result = measure(server, server_prefix, wrk_prefix, wrk_threads, server.case or case)
            if previous is None or (result.rps is not None and result.rps > previous.rps):
                best[server.name] = result
            elif result.rps is None:
                failed[server.name] = f"a round failed ({result.note})"
    for name, note in failed.items():
        best[name].note = "; ".join(filter(None, [best[name].note, note]))
    return [best[server.name] for server in rows]


def print_table(title, results, pairs):
    print(f"\n{title}")
    header = f"{'server':<26} {'requests/s':>12} {'p99':>10}  note"
    print(header)
    print("-" * len(header))
    for result in results:
        if result.rps is None:
            print(f"{result.name:<26} {'-':>12} {'-':>10}  {result.note}")
        else:
            print(f"{result.name:<26} {result.rps:>12.0f} {result.p99 * 1e3:>8.2f}ms  {result.note}")
    by_name = {result.name: result for result in results}
    print("ratio (requests/s; above 1: the first serves more)")
    for first, second in pairs:
        a, b = by_name[first].rps, by_name[second].rps
        ratio = f"{a / b:.2f}x" if a and b else "-"
        print(f"  {first + ' / ' + second:<50} {ratio:>8}")


def one_core_table():
    # Both CPUs must be ours to pin to; taskset comes with util-linux.
    if shutil.which("taskset") is None or not {0, 1} <= os.sched_getaffinity(0):
        print("\none-core table skipped: needs taskset and CPUs 0 and 1")
        return
    rows = servers(1)
    results = best_of_rounds(rows, ["taskset", "-c", SERVER_CPU], ["taskset", "-c", WRK_CPU], 1)
    ours, ours_uvloop, bare, granian, granian_uvloop, uvicorn = (row.name for row in rows)
    print_table(
        f"One core: hello-world ASGI app, keep-alive, server pinned to CPU {SERVER_CPU} (taskset), "
        f"wrk -t1 -c64 -d{SECONDS}s pinned to CPU {WRK_CPU}, best of {ROUNDS} rounds",
        results, [(ours, granian), (ours_uvloop, granian_uvloop), (ours, uvicorn), (bare, granian)])


def cases_header(columns, peers):
    """The head of a by-case table: requests/s of each column, then ours over each peer."""
    header = (f"{'case':<44} " + " ".join(f"{name:>9}" for name in columns) + "  "
              + " ".join(f"{'ours/' + peer:>12}" for peer in peers))
    return [header, "-" * len(header)]


def case_lines(name, results, columns, peers):
    """A case's line under cases_header, then its p99s and notes. results: {column: Result}."""
    rps = lambda column: results[column].rps if column in results else None
    cells = " ".join(f"{rps(column):>9.0f}" if rps(column) else f"{'-':>9}" for column in columns)
    ratios = " ".join(f"{rps('ours') / rps(peer):>{max(12, len('ours/' + peer)) - 1}.2f}x"
                      if rps("ours") and rps(peer) else f"{'-':>{max(12, len('ours/' + peer))}}" for peer in peers)
    p99 = "  ".join(f"{name} {results[name].p99 * 1e3:.2f}ms" for name in results if results[name].rps)
    notes = "; ".join(f"{name}: {results[name].note}" for name in results if results[name].note)
    return [f"{name:<44} {cells}  {ratios}", f"  p99: {p99}" + (f"  ({notes})" if notes else "")]


def one_core_cases_table():
    """Each case with ours, granian and uvicorn (and nginx for the fixed answer), one core each."""
    if shutil.which("taskset") is None or not {0, 1} <= os.sched_getaffinity(0):
        print("\none-core cases skipped: needs taskset and CPUs 0 and 1")
        return
    print(f"\nOne core, by case: server pinned to CPU {SERVER_CPU}, wrk -t1 pinned to CPU {WRK_CPU}, "
          f"{SECONDS}s, best of {ROUNDS} rounds")
    lines = cases_header(["ours", "granian", "uvicorn", "nginx"], ["granian", "uvicorn"])
    for case in CASES:
        ours, granian, uvicorn = server_commands(1, case.app)
        rows = [Server("ours", [*ours, "asyncio"], ("tessaryne",)),
                Server("granian", [*granian, "asyncio"], ("granian",)),
                Server("uvicorn", uvicorn, ("uvicorn", "httptools"))]
        if case.native:
            rows.append(Server("nginx", ["nginx", "-c", "{dir}/nginx.conf", "-p", "{dir}"], (), "nginx"))
        results = {r.name: r for r in best_of_rounds(rows, ["taskset", "-c", SERVER_CPU], ["taskset", "-c", WRK_CPU], 1, case)}
        lines += case_lines(case.name, results, ["ours", "granian", "uvicorn", "nginx"], ["granian", "uvicorn"])
    print("\n".join(lines))


def every_core_table():
    if CORES < 2:
        print("\nevery-core table skipped: one CPU")
        return
    rows = servers(CORES)
    results = best_of_rounds(rows, [], [], 2)
    ours, ours_uvloop, granian, granian_uvloop, uvicorn = (row.name for row in rows)
    print_table(
        f"{CORES} cores: hello-world ASGI app, keep-alive, {CORES} loop threads or workers, "
        f"wrk -t2 -c64 -d{SECONDS}s unpinned (wrk shares the cores with the server), best of {ROUNDS} rounds",
        results, [(ours, granian), (ours_uvloop, granian_uvloop), (ours, uvicorn)])


def main():
    if shutil.which("wrk") is None:
        print("\nserver benchmark skipped: wrk is not installed (Debian package wrk)")
        return
    one_core_table()
    one_core_cases_table()
    every_core_table()


if __name__ == "__main__":
    main()
