"""Static file benchmark: one 1 MiB file on one core, as each way of serving
it answers wrk on loopback, keep-alive, access logs off:

- ours, the file under a --static-path-mount (served natively, sendfile);
- ours, Starlette's FileResponse, which sends http.response.pathsend where
  the scope advertises it (sendfile too, after the app's task);
- ours, the same app with pathsend hidden from it, so that Starlette reads
  the file in 64 KiB chunks and sends each as http.response.body;
- granian's --static-path-mount (its native static files).

The server is pinned to CPU 1 with one loop thread or worker, `wrk -t1 -c64`
to CPU 0; the servers take turns for BENCH_ROUNDS rounds (default 3) of
WRK_SECONDS (default 10) and each keeps its best, as in
python_server_bench.py, whose machinery this reuses. Prints requests/s and
MiB/s (what wrk counts: heads and bodies) and the ratios ours/granian.

Run: python bench/python_static_bench.py (after installing the extension;
`pip install granian starlette`, Debian's wrk)."""

import os
import shutil
import sys
import tempfile

from python_server_bench import PORT, ROUNDS, SECONDS, SERVER_CPU, WRK_CPU, Case, Server, best_of_rounds

FILE_SIZE = 1 << 20


def rows(directory):
    """The servers, each with its case: every one serves the same file."""
    python = sys.executable
    quiet = ["--no-access-log", "--log-level", "warning"]
    ours = [python, "-m", "tessaryne", "--host", "127.0.0.1", "--port", PORT, *quiet, "--threads", "1",
            "--loop", "asyncio", "--lifespan", "off"]
    granian = [python, "-m", "granian", "--interface", "asgi", "--host", "127.0.0.1", "--port", PORT, "--http", "1",
               *quiet, "--workers", "1", "--loop", "asyncio"]
    static = Case("static", "", path="/static/file.bin")
    app = Case("app", "", path="/file")
    return [
        Server("ours, --static-path-mount", [*ours, "--static-path-mount", directory, "bench.hello_app:app"],
                ("tessaryne",), case=static),
        Server("ours, FileResponse, pathsend", [*ours, "bench.file_apps:starlette_app"],
                ("tessaryne", "starlette"), case=app),
        Server("ours, FileResponse, body chunks", [*ours, "bench.file_apps:starlette_without_pathsend"],
                ("tessaryne", "starlette"), case=app),
        Server("granian, --static-path-mount", [*granian, "--static-path-mount", directory, "bench.hello_app:app"],
                ("granian",), case=static),
    ]  # fmt: skip


def main():
    if shutil.which("wrk") is None or shutil.which("taskset") is None or not {0, 1} <= os.sched_getaffinity(0):
        print("\nstatic file benchmark skipped: needs wrk, taskset and CPUs 0 and 1")
        return
    directory = tempfile.mkdtemp(prefix="bench-static-")
    try:
        path = os.path.join(directory, "file.bin")
        with open(path, "wb") as file:
            file.write(os.urandom(FILE_SIZE))
        os.environ["STATIC_BENCH_FILE"] = path  # for bench.file_apps, in each server's process
        servers = rows(directory)
        measured = best_of_rounds(servers, ["taskset", "-c", SERVER_CPU], ["taskset", "-c", WRK_CPU], 1)
        results = {result.name: result for result in measured}
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    print(f"\nOne core, a 1 MiB file: server pinned to CPU {SERVER_CPU}, wrk -t1 -c64 -d{SECONDS}s pinned to "
          f"CPU {WRK_CPU}, best of {ROUNDS} rounds, access logs off")  # fmt: skip
    header = (f"{'server':<34} {'requests/s':>11} {'MiB/s':>9} {'p99':>10} {'server CPU':>11} {'CPU/request':>12}"
              f"  {'ours/granian':>12}  note")  # fmt: skip
    print(header)
    print("-" * len(header))
    granian = results["granian, --static-path-mount"]
    for name, result in results.items():
        if result.rps is None:
            print(f"{name:<34} {'-':>11} {'-':>9} {'-':>10} {'-':>11} {'-':>12}  {'-':>12}  {result.note}")
            continue
        ratio = f"{result.rps / granian.rps:.2f}x" if granian.rps and not name.startswith("granian") else "-"
        print(f"{name:<34} {result.rps:>11.0f} {result.transfer / 2**20:>9.0f} {result.p99 * 1e3:>8.2f}ms "
              f"{result.cpu:>10.0%} {result.cpu / result.rps * 1e6:>10.0f}us  {ratio:>12}  {result.note}")  # fmt: skip
    print("server CPU: of one core, while measured; CPU/request: its time per answer. Where the server's core is not "
          "busy, wrk's core is the limit, and CPU/request tells the servers apart.")

if __name__ == "__main__":
    main()
