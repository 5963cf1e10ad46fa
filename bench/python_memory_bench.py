"""Resident memory of idle connections: 10,000 FastHttpConnection objects
beside 10,000 httptools request parsers, created the same way, each side in a
fresh interpreter, measured as the growth of resident memory while all of them
are alive. "after one request" feeds each object one small request first (and
resets ours for the next one), as an idle keep-alive connection would be.

Run: python bench/python_memory_bench.py  (after installing the extension;
`pip install httptools` for the peer)."""

import subprocess
import sys

COUNT = 10000
REQUEST = b"GET / HTTP/1.1\r\nHost: example\r\nUser-Agent: bench\r\n\r\n"

MEASURE = """
import os, sys

def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

side, fed, count, request = sys.argv[1], sys.argv[2] == "1", int(sys.argv[3]), sys.argv[4].encode("latin-1")
if side == "ours":
    from tessaryne._tessaryne_core import FastHttpConnection
    def make():
        connection = FastHttpConnection()
        if fed:
            connection.feed_data(request)
            connection.reset_for_next_request()
        return connection
else:
    import httptools
    class Protocol:
        def on_url(self, url): pass
        def on_header(self, name, value): pass
    def make():
        parser = httptools.HttpRequestParser(Protocol())
        if fed:
            parser.feed_data(request)
        return parser
make()  # import and first-use costs stay out of the figure
kept = []
before = resident()
for _ in range(count):
    kept.append(make())
print((resident() - before) / count)
"""


def measure(side, fed):
    result = subprocess.run(
        [sys.executable, "-c", MEASURE, side, "1" if fed else "0", str(COUNT), REQUEST.decode("latin-1")],
        capture_output=True, text=True)
    if result.returncode != 0:
        return None, result.stderr.strip().splitlines()[-1]
    return float(result.stdout), None


def main():
    print(f"\nResident memory per idle connection ({COUNT} objects, growth of RSS)")
    header = f"{'state':<28} {'ours':>12} {'peer':<28} {'peer size':>12} {'ratio':>8}"
    print(header)
    print("-" * len(header))
    for label, fed in (("new", False), ("after one request", True)):
        ours, _ = measure("ours", fed)
        peer, error = measure("httptools", fed)
        if peer is None:
            print(f"{label:<28} {ours:>10.0f} B {'httptools HttpRequestParser':<28} {'-':>12} {'-':>8}  ({error})")
        else:
            print(f"{label:<28} {ours:>10.0f} B {'httptools HttpRequestParser':<28} {peer:>10.0f} B "
                  f"{peer / ours:>7.2f}x")


if __name__ == "__main__":
    main()
