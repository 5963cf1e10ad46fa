"""The WSGI benchmark's applications (bench/python_wsgi_bench.py):

- hello: plain WSGI, every request answered 200 with a fixed text body;
- hello_without_length: the same body with no Content-Length, so that the
  server frames it itself (chunked on HTTP/1.1);
- cpu: about CPU_SECONDS of pure-Python work per request, so that two
  requests at once show whether the server runs WSGI calls in parallel. The
  loop's length is calibrated once at import, or taken from
  $CPU_BENCH_ITERATIONS where the benchmark has calibrated it for every
  server alike;
- flask_app: Flask, GET /json answered with jsonify."""

import os
import time

from flask import Flask, jsonify

BODY = b"Hello, world!"
HEADERS = [("Content-Type", "text/plain"), ("Content-Length", str(len(BODY)))]
HEADERS_WITHOUT_LENGTH = [("Content-Type", "text/plain")]
CPU_SECONDS = 0.15
CALIBRATION_ITERATIONS = 1_000_000


def hello(environ, start_response):
    start_response("200 OK", HEADERS)
    return [BODY]


def hello_without_length(environ, start_response):
    start_response("200 OK", HEADERS_WITHOUT_LENGTH)
    return [BODY]


def spin(iterations):
    """Pure-Python work with nothing shared: locals and small integers only,
    so that two threads running it at once contend for nothing."""
    total = 0
    for number in range(iterations):
        total += number
    return total


def iterations_for(seconds):
    """The loop's length that takes `seconds` here, from the fastest of three
    timed runs: the first warms the interpreter up."""
    fastest = float("inf")
    for _ in range(3):
        began = time.perf_counter()
        spin(CALIBRATION_ITERATIONS)
        fastest = min(fastest, time.perf_counter() - began)
    return int(CALIBRATION_ITERATIONS * seconds / fastest)


CPU_ITERATIONS = int(os.environ.get("CPU_BENCH_ITERATIONS") or iterations_for(CPU_SECONDS))


def cpu(environ, start_response):
    body = str(spin(CPU_ITERATIONS)).encode()
    start_response("200 OK", [("Content-Type", "text/plain"), ("Content-Length", str(len(body)))])
    return [body]


flask_app = Flask(__name__)


@flask_app.get("/json")
def json_answer():
    return jsonify({"message": "Hello, world!"})
