"""HTTP/2 benchmark: the hello-world ASGI app (bench/hello_app.py) served by
ours, granian (--http 2) and hypercorn, one core each: the server pinned to
CPU 1 with one loop thread or worker on asyncio's loop, access logs off,
and `h2load -t1 -c64 -m10` (Debian's nghttp2-client) pinned to CPU 0. Cases:

- cleartext HTTP/2 by prior knowledge (h2c): ours with --http auto (the
  default), which tells the preface from an HTTP/1.1 request;
- HTTP/2 over TLS, chosen by ALPN (h2load offers h2 on an https URL), with a
  self-signed P-256 certificate;
- HTTP/1.1 keep-alive with `wrk -t1 -c64`, as in python_server_bench.py, for
  ours with --http auto, ours with --http 1 and granian (--http 1): HTTP/2
  must cost HTTP/1.1 nothing.

The servers of a case take turns in rounds and each keeps its best, with the
machinery of python_server_bench.py. Prints requests/s, ours over each
peer, and p99 latency (h2load's per-request log). A server that is not
installed, does not start or does not answer over the case's protocol is a
row marked skipped or failed; the others go on.

Run: python bench/python_h2_bench.py  (after installing the extension;
`pip install granian hypercorn` for the peers, Debian's nghttp2-client, wrk,
curl and openssl). WRK_SECONDS sets the measured duration of a run (default
10), BENCH_ROUNDS the number of rounds (default 3)."""

import os
import pathlib
import re
import shutil
import statistics
import subprocess
import sys
import tempfile

from python_server_bench import (
    APP,
    PORT,
    ROOT,
    ROUNDS,
    SECONDS,
    SERVER_CPU,
    WRK_CPU,
    Case,
    LoadFailed,
    Server,
    best_of_rounds,
    case_lines,
    cases_header,
    server_commands,
)

sys.path.insert(0, os.path.join(ROOT, "tests", "python"))
from server_support import self_signed_certificate  # noqa: E402 - the tests' certificate, made the same way

STREAMS = 10  # h2load -m: concurrent streams per connection
CONNECTIONS = 64
BINARY_UNITS = {"B": 1, "KB": 2**10, "MB": 2**20, "GB": 2**30}  # h2load's units are powers of 1024


def h2load_over(tls):
    """The load of an HTTP/2 case, over TLS or in cleartext."""
    return lambda port, seconds, prefix, threads, case: h2load("https" if tls else "http", port, seconds, prefix, threads, case)


def h2load(scheme, port, seconds, prefix, threads, case):
    """One h2load run: (requests/s, p99 seconds, note on failures, bytes/s)."""
    with tempfile.NamedTemporaryFile(prefix="h2load-", suffix=".log") as log:
        command = [*prefix, "h2load", f"-t{threads}", f"-c{case.connections}", f"-m{STREAMS}", f"-D{seconds}",
                   f"--log-file={log.name}", f"{scheme}://127.0.0.1:{port}{case.path}"]  # fmt: skip
        done = subprocess.run(command, capture_output=True, text=True)
        output = done.stdout + done.stderr
        finished = re.search(r"^finished in [\d.]+s, ([\d.]+) req/s, ([\d.]+)([KMG]?B)/s", output, re.M)
        counts = re.search(r"^requests: .* (\d+) succeeded, (\d+) failed, (\d+) errored, (\d+) timeout", output, re.M)
        if done.returncode != 0 or not finished or not counts or int(counts[1]) == 0:
            last = (output.strip().splitlines() or [f"exit status {done.returncode}"])[-1]
            raise LoadFailed(f"h2load: {last[:100]}")
        durations = [int(line.split("\t")[2]) for line in open(log.name) if line.count("\t") >= 2]
    p99 = statistics.quantiles(durations, n=100)[98] * 1e-6 if len(durations) > 1 else 0.0
    problems = [f"{n} {what}" for n, what in zip(counts.groups()[1:], ("failed", "errored", "timeout")) if n != "0"]
    statuses = re.search(r"^status codes: \d+ 2xx, (\d+) 3xx, (\d+) 4xx, (\d+) 5xx", output, re.M)
    if statuses and any(n != "0" for n in statuses.groups()):
        problems.append("non-2xx responses: " + ", ".join(statuses.groups()))
    return float(finished[1]), p99, "; ".join(problems), float(finished[2]) * BINARY_UNITS[finished[3]]


def answers_h2(tls):
    """The readiness probe of an HTTP/2 case: curl's request answered 200 over
    HTTP/2; an answer over another protocol, or none at all from a server
    that accepted the connection, is a failure, not a server still starting."""

    def probe(port, path):
        url = f"{'https' if tls else 'http'}://127.0.0.1:{port}{path}"
        how = ["--http2"] if tls else ["--http2-prior-knowledge"]
        done = subprocess.run(["curl", "-sSk", *how, "-o", "/dev/null", "-w", "%{http_version} %{http_code}",
                               "--max-time", "2", url], capture_output=True, text=True)  # fmt: skip
        if done.returncode in (7, 28):  # not listening yet, or accepted but not yet served
            return False
        if done.stdout == "2 200":
            return True
        version, _, status = done.stdout.partition(" ")
        said = f"HTTP/{version} {status}" if status != "000" else done.stderr.strip()[:80]
        return f"no HTTP/2 answer ({said})"

    return probe


def h2_case(name, tls):
    return Case(name, APP, connections=CONNECTIONS, load=h2load_over(tls), probe=answers_h2(tls))


def servers(certificate, tls):
    """ours, granian and hypercorn, one loop or worker each on asyncio's loop, over TLS with `certificate` if tls."""
    cert, key = certificate
    python = sys.executable
    ours, granian = (command + ["asyncio"] for command in server_commands(1)[:2])  # each ends with --loop
    granian[granian.index("--http") + 1] = "2"
    hypercorn = [python, "-m", "hypercorn", "--bind", "127.0.0.1:{port}", "--workers", "1", "--worker-class", "asyncio",
                 "--log-level", "warning", APP]  # fmt: skip
    if tls:
        ours += ["--ssl-certfile", cert, "--ssl-keyfile", key]
        granian += ["--ssl-certificate", cert, "--ssl-keyfile", key]
        hypercorn[-1:-1] = ["--certfile", cert, "--keyfile", key]
    return [Server("ours", ours, ("tessaryne",)), Server("granian", granian, ("granian",)),
            Server("hypercorn", hypercorn, ("hypercorn",))]  # fmt: skip


def http1_servers():
    ours, granian = (command + ["asyncio"] for command in server_commands(1)[:2])
    return [Server("ours", ours, ("tessaryne",)), Server("ours --http 1", [*ours, "--http", "1"], ("tessaryne",)),
            Server("granian", granian, ("granian",))]  # fmt: skip


def main():
    missing = [p for p in ("h2load", "wrk", "curl", "openssl", "taskset") if shutil.which(p) is None]
    if missing or not {0, 1} <= os.sched_getaffinity(0):
        print(f"\nHTTP/2 benchmark skipped: needs {', '.join(missing) or 'CPUs 0 and 1'}")
        return
    pin_server, pin_client = ["taskset", "-c", SERVER_CPU], ["taskset", "-c", WRK_CPU]
    columns, peers = ["ours", "granian", "hypercorn"], ["granian", "hypercorn"]
    with tempfile.TemporaryDirectory(prefix="h2-bench-") as scratch:
        certificate = self_signed_certificate(pathlib.Path(scratch))
        print(f"\nHTTP/2, one core: hello-world ASGI app, server pinned to CPU {SERVER_CPU} (taskset), one loop or "
              f"worker on asyncio's loop; h2load -t1 -c{CONNECTIONS} -m{STREAMS} -D{SECONDS} pinned to CPU {WRK_CPU} "
              f"(HTTP/1.1: wrk -t1 -c{CONNECTIONS}); best of {ROUNDS} rounds")  # fmt: skip
        lines = cases_header(columns, peers)
        for case, tls in ((h2_case("h2c, prior knowledge (ours: --http auto)", False), False),
                          (h2_case("h2 over TLS, ALPN", True), True)):  # fmt: skip
            results = {r.name: r for r in best_of_rounds(servers(certificate, tls), pin_server, pin_client, 1, case)}
            lines += case_lines(case.name, results, columns, peers)
        http1 = Case("HTTP/1.1 keep-alive, wrk (ours: --http auto)", APP)
        results = {r.name: r for r in best_of_rounds(http1_servers(), pin_server, pin_client, 1, http1)}
        lines += case_lines(http1.name, results, columns, peers)
        only, auto = results["ours --http 1"].rps, results["ours"].rps
        if only and auto:
            lines.append(f"  ours --http 1: {only:.0f} requests/s; ours with --http auto over it: {auto / only:.2f}x")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
