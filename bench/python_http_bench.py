"""Python-level HTTP benchmarks: FastHttpParser.parse_request against httptools
and h11 on the same requests, and one keep-alive request/response cycle through
a FastHttpConnection. Peers that cannot be imported are skipped with the reason.

Run: python bench/python_http_bench.py  (after installing the extension;
`pip install httptools h11` for the peers)."""

import statistics
import time

from harness import per_call_ns, print_table

from tessaryne import _tessaryne_core as core

BROWSER = (
    b"GET /wp-content/uploads/2010/03/hello-kitty-darth-vader-pink.jpg HTTP/1.1\r\n"
    b"Host: www.kittyhell.com\r\n"
    b"User-Agent: Mozilla/5.0 (Macintosh; U; Intel Mac OS X 10.6; ja-JP-mac; rv:1.9.2.3) Gecko/20100401 "
    b"Firefox/3.6.3 Pathtraq/0.9\r\n"
    b"Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8\r\n"
    b"Accept-Language: ja,en-us;q=0.7,en;q=0.3\r\n"
    b"Accept-Encoding: gzip,deflate\r\n"
    b"Accept-Charset: Shift_JIS,utf-8;q=0.7,*;q=0.7\r\n"
    b"Keep-Alive: 115\r\n"
    b"Connection: keep-alive\r\n"
    b"Referer: http://www.kittyhell.com/2010/03/05/hello-kitty-darth-vader-pink/\r\n"
    b"Cookie: wp_ozh_wsa_visits=2; wp_ozh_wsa_visit_lasttime=xxxxxxxxxx; "
    b"__utma=xxxxxxxxx.xxxxxxxxxx.xxxxxxxxxx.xxxxxxxxxx.xxxxxxxxxx.x; "
    b"__utmz=xxxxxxxxx.xxxxxxxxxx.x.x.utmccn=(referral)|utmcsr=reader.livedoor.com|utmcct=/reader/|utmcmd=referral\r\n"
    b"\r\n"
)
MINIMAL = b"GET / HTTP/1.1\r\nHost: x\r\n\r\n"
RUNS = 7


def per_second(function, iterations):
    """Median calls per second over RUNS runs."""
    rates = []
    for _ in range(RUNS):
        start = time.perf_counter()
        for _ in range(iterations):
            function()
        rates.append(iterations / (time.perf_counter() - start))
    return statistics.median(rates)


class HeaderCollector:
    """The least a httptools user does: keep the URL and the header pairs."""

    def __init__(self):
        self.url = None
        self.headers = []

    def on_url(self, url):
        self.url = url

    def on_header(self, name, value):
        self.headers.append((name, value))

    def on_headers_complete(self):
        pass


def peers():
    """(name, namespace) pairs; each namespace defines parse(data)."""
    yield "tessaryne parse_request", {"parse": core.FastHttpParser.parse_request}
    try:
        import httptools
    except Exception as error:  # noqa: BLE001 - any import failure means "skip this peer"
        print(f"  httptools skipped: {type(error).__name__}: {error}")
    else:
        collector = HeaderCollector()
        reused = httptools.HttpRequestParser(collector)

        def parse_reused(data):  # a keep-alive connection: one parser, many requests
            collector.headers = []
            reused.feed_data(data)

        def parse_fresh(data):  # the first request of a connection: a new parser
            httptools.HttpRequestParser(HeaderCollector()).feed_data(data)

        yield "httptools (reused parser)", {"parse": parse_reused}
        yield "httptools (new parser)", {"parse": parse_fresh}
    try:
        import h11
    except Exception as error:  # noqa: BLE001
        print(f"  h11 skipped: {type(error).__name__}: {error}")
    else:
        def parse_h11(data):
            connection = h11.Connection(h11.SERVER)
            connection.receive_data(data)
            connection.next_event()

        yield "h11", {"parse": parse_h11}


def bench_parsers():
    rows = []
    for label, data in (("browser request", BROWSER), ("minimal request", MINIMAL)):
        times = {}
        for name, namespace in peers():
            namespace = dict(namespace, data=data)
            iterations = 2000 if name == "h11" else 20000
            times[name] = per_call_ns("parse(data)", namespace, iterations=iterations, repeats=RUNS)
        ours = times.pop("tessaryne parse_request")
        rows += [(f"parse_request, {label} ({len(data)} B)", ours, name, peer) for name, peer in times.items()]
    print_table("Request-head parsing from Python (time per request)", rows)


def bench_keep_alive():
    connection = core.FastHttpConnection(max_keepalive_requests=2**62)
    date = b"date: Tue, 08 Dec 2026 00:00:00 GMT\r\n"
    server = b"server: tessaryne\r\n"
    headers = [(b"content-type", b"text/plain")]

    def cycle():
        events = connection.feed_data(BROWSER)
        assert events[0][0] == 1
        core.FastHttpConnection.format_response(200, server, date, headers, b"hello", False, False, True)
        connection.reset_for_next_request()

    rate = per_second(cycle, 50000)
    print(f"\nkeep-alive cycle (feed_data, format_response, reset_for_next_request), browser request")
    print(f"  {1e9 / rate:10.0f} ns/request {rate:12.0f} requests/s")


if __name__ == "__main__":
    bench_parsers()
    bench_keep_alive()
