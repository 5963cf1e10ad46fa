"""WSGI benchmark: ours (--interface wsgi: the native driver parses and writes,
the executor's threads run the WSGI calls), granian (--interface wsgi, its
blocking threads run them) and gunicorn's gthread worker, each with one
worker process and one loop, serving the apps of bench/wsgi_apps.py on this
interpreter, access logs off and log level warning. Tables:

- one core, three cases: the hello-world app, the same without
  Content-Length (the server frames the body) and Flask's GET /json
  returning jsonify. The server is pinned to CPU 1, `wrk -t1 -c64` to CPU 0,
  and the servers take turns in rounds, each keeping its best, as in
  python_server_bench.py, whose machinery this reuses. ours and granian run
  the WSGI calls on 1 thread and on THREADS threads, gunicorn on THREADS:
  which count serves more on one core varies from run to run, so both are
  shown.
- parallel CPU: the cpu app (about 0.15 s of pure-Python work a request),
  the server unpinned on both cores with THREADS threads for WSGI calls.
  The wall time of two requests sent at once over that of one alone: near
  1 where the two run in parallel, near 2 where they take turns.

Prints requests/s and p99 latency per server, the ratios ours/peer, and the
parallel CPU times and their ratio. A server that is not installed or does
not start is a skipped row.

Run: python bench/python_wsgi_bench.py  (after installing the extension;
`pip install granian gunicorn flask` for the peers and the Flask app,
Debian's wrk). WRK_SECONDS sets the measured duration of a run (default
10), BENCH_ROUNDS the number of rounds (default 3)."""

import functools
import http.client
import os
import shutil
import sys

from harness import run_threads
from python_server_bench import (
    PORT,
    ROUNDS,
    SECONDS,
    SERVER_CPU,
    WRK_CPU,
    Case,
    Server,
    best_of_rounds,
    not_installed,
    print_table,
    started,
)

THREADS = 4  # gunicorn's gthread threads; ours and granian run WSGI calls on as many
CASES = [
    Case("hello-world WSGI", "bench.wsgi_apps:hello"),
    Case("hello-world WSGI without Content-Length", "bench.wsgi_apps:hello_without_length"),
    Case("Flask GET /json", "bench.wsgi_apps:flask_app", path="/json"),
]
CPU_APP = "bench.wsgi_apps:cpu"
CPU_REQUEST_TIMEOUT = 30.0
CPU_TRIALS = 3  # pairs of (one alone, two at once) a start: starting a server costs more than a pair
NO_SERVER = "no server: threads of this process"


def servers(app, thread_counts):
    """ours, granian and gunicorn serving `app` with one worker and one loop,
    running the WSGI calls on each of `thread_counts` threads (gunicorn on
    THREADS only: its fixed configuration here)."""
    python = sys.executable
    quiet = ["--no-access-log", "--log-level", "warning"]
    ours = [python, "-m", "tessaryne", app, "--interface", "wsgi", "--host", "127.0.0.1", "--port", PORT, *quiet,
            "--threads", "1", "--executor-threads"]  # fmt: skip
    granian = [python, "-m", "granian", "--interface", "wsgi", "--host", "127.0.0.1", "--port", PORT, "--http", "1",
               *quiet, "--workers", "1", app, "--blocking-threads"]  # fmt: skip
    # gunicorn writes no access log unless --access-logfile names one.
    gunicorn = [python, "-m", "gunicorn", "--worker-class", "gthread", "--workers", "1", "--bind", "127.0.0.1:{port}",
                "--log-level", "warning", "--threads", str(THREADS), app]  # fmt: skip
    rows = [
        Server(f"ours, {n} executor thread" + "s" * (n > 1), [*ours, str(n)], ("tessaryne",)) for n in thread_counts
    ]
    rows += [
        Server(f"granian, {n} blocking thread" + "s" * (n > 1), [*granian, str(n)], ("granian",)) for n in thread_counts
    ]
    return [*rows, Server(f"gunicorn gthread, {THREADS} threads", gunicorn, ("gunicorn",))]


def one_core_tables():
    for case in CASES:
        rows = servers(case.app, (1, THREADS))
        results = best_of_rounds(rows, ["taskset", "-c", SERVER_CPU], ["taskset", "-c", WRK_CPU], 1, case)
        ours_one, ours_many, granian_one, granian_many, gunicorn = (row.name for row in rows)
        print_table(
            f"One core: {case.name}, keep-alive, server pinned to CPU {SERVER_CPU} (taskset), "
            f"wrk -t1 -c64 -d{SECONDS}s pinned to CPU {WRK_CPU}, best of {ROUNDS} rounds",
            results,
            [(ours_one, granian_one), (ours_many, granian_many), (ours_many, gunicorn)],
        )


def fetch(port, statuses):
    """One GET on a connection of its own, the answer read whole; its status is appended to `statuses`."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=CPU_REQUEST_TIMEOUT)
    try:
        connection.request("GET", "/")
        response = connection.getresponse()
        response.read()
        statuses.append(response.status)
    except OSError as error:
        statuses.append(repr(error))
    finally:
        connection.close()


def requests_at_once(port, count):
    """Seconds from `count` requests sent together until the last answer is read."""
    statuses = []
    seconds = run_threads([lambda: fetch(port, statuses)] * count)
    if statuses != [200] * count:
        raise RuntimeError(f"answers {statuses}")
    return seconds


def fastest_pair(once):
    """(one alone, two at once): the fastest of CPU_TRIALS of each, taking turns; once(count) times count at once."""
    pairs = [(once(1), once(2)) for _ in range(CPU_TRIALS)]
    return min(one for one, _ in pairs), min(two for _, two in pairs)


def cpu_run(server):
    """One run of the server on the cpu app, started afresh: after a warm-up
    request, fastest_pair in seconds; else why it failed."""
    with started(server, []) as run:
        if run.failure is None:
            try:
                requests_at_once(run.port, 1)
                return fastest_pair(lambda count: requests_at_once(run.port, count))
            except RuntimeError as error:
                return str(error)
    return f"{run.failure}; {run.last_line[:100]}"


def parallel_cpu_table():
    """The servers take turns, ROUNDS times, after the same work on threads of
    this process with no server (what two threads of this interpreter get
    from this machine: its two CPUs need not give twice one's work); each
    keeps its fastest of either figure. A server that has never answered is
    not tried again."""
    # Calibrated here once, not in each server as it starts on a machine whose load varies: every server
    # does the same work, and their times alone compare.
    import wsgi_apps

    os.environ["CPU_BENCH_ITERATIONS"] = str(wsgi_apps.CPU_ITERATIONS)
    work = functools.partial(wsgi_apps.spin, wsgi_apps.CPU_ITERATIONS)

    def no_server(count):
        return run_threads([work] * count)

    rows = [Server(NO_SERVER, [], ()), *servers(CPU_APP, (THREADS,))]
    alone, together, notes = {}, {}, {}
    for server in rows:
        if note := not_installed(server):
            notes[server.name] = note
    for _ in range(ROUNDS):
        for server in rows:
            if server.name in notes and server.name not in alone:
                continue
            timed = fastest_pair(no_server) if server.name == NO_SERVER else cpu_run(server)
            if isinstance(timed, str):
                notes[server.name] = f"a round failed: {timed}" if server.name in alone else f"skipped: {timed}"
                continue
            one, two = timed
            alone[server.name] = min(one, alone.get(server.name, one))
            together[server.name] = min(two, together.get(server.name, two))
    print(f"\nParallel CPU: the cpu app (about 0.15 s of pure-Python work a request), server unpinned on both "
          f"cores, one worker and one loop, {THREADS} threads for WSGI calls; fastest of {ROUNDS} rounds of "
          f"{CPU_TRIALS}")  # fmt: skip
    header = f"{'server':<34} {'one alone':>10} {'two at once':>12} {'ratio':>7}  note"
    print(header)
    print("-" * len(header))
    for server in rows:
        note = notes.get(server.name, "")
        if server.name in alone:
            one, two = alone[server.name], together[server.name]
            print(f"{server.name:<34} {one:>9.3f}s {two:>11.3f}s {two / one:>6.2f}x  {note}")
        else:
            print(f"{server.name:<34} {'-':>10} {'-':>12} {'-':>7}  {note}")
    print("ratio: two at once over one alone (goal for ours: at most 1.3x; 2x: the requests take turns); the row "
          "with no server is what this machine gave two threads of this interpreter in the same rounds")  # fmt: skip


def main():
    if shutil.which("wrk") is None or shutil.which("taskset") is None or not {0, 1} <= os.sched_getaffinity(0):
        print("\nWSGI benchmark skipped: needs wrk, taskset and CPUs 0 and 1")
        return
    one_core_tables()
    parallel_cpu_table()


if __name__ == "__main__":
    main()
