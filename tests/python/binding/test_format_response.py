"""The response serializer behind both format_response methods."""

import pytest

from tessaryne import _tessaryne_core as core

Conn = core.FastHttpConnection
Parser = core.FastHttpParser


def respond(headers=(), body=b"", more_body=False, no_body=False, keep_alive=True, status=200, server=b"", date=b""):
    return Conn.format_response(status, server, date, list(headers), body, more_body, no_body, keep_alive)


def split(response):
    head, _, body = response.partition(b"\r\n\r\n")
    return head.split(b"\r\n"), body


def test_worked_example():
    data, chunked, keep_alive = respond([(b"content-type", b"text/plain")], b"hi")
    assert data == (
        b"HTTP/1.1 200 OK\r\ncontent-type: text/plain\r\ncontent-length: 2\r\nconnection: keep-alive\r\n\r\nhi"
    )
    assert (chunked, keep_alive) == (False, True)


# (headers, body, more_body, no_body, expected framing lines, expected body part, is_chunked)
FRAMING = [
    ([], b"", False, False, [b"content-length: 0"], b"", False),
    ([], b"hello", False, False, [b"content-length: 5"], b"hello", False),
    ([], b"hello", True, False, [b"transfer-encoding: chunked"], b"5\r\nhello\r\n", True),
    ([], b"", True, False, [b"transfer-encoding: chunked"], b"", True),
    ([], b"x" * 26, True, False, [b"transfer-encoding: chunked"], b"1A\r\n" + b"x" * 26 + b"\r\n", True),
    ([], b"x" * 4096, True, False, [b"transfer-encoding: chunked"], b"1000\r\n" + b"x" * 4096 + b"\r\n", True),
    # no-body status wins over everything, even over a non-empty body
    ([], b"hello", True, True, [], b"", False),
    ([(b"Content-Length", b"5")], b"hello", True, True, [b"Content-Length: 5"], b"", False),
    # a caller content-length: no automatic framing, body unchanged, never chunked
    ([(b"Content-Length", b"99")], b"hello", True, False, [b"Content-Length: 99"], b"hello", False),
    ([(b"CONTENT-LENGTH", b"5")], b"hello", False, False, [b"CONTENT-LENGTH: 5"], b"hello", False),
    # transfer-encoding from the caller suppresses nothing
    ([(b"Transfer-Encoding", b"chunked")], b"ab", True, False,
     [b"Transfer-Encoding: chunked", b"transfer-encoding: chunked"], b"2\r\nab\r\n", True),
    # a near-miss name is an ordinary header
    ([(b"content-length ", b"5")], b"hello", False, False, [b"content-length : 5", b"content-length: 5"], b"hello", False),
]  # fmt: skip


@pytest.mark.parametrize("headers,body,more_body,no_body,framing,body_part,chunked", FRAMING)
def test_framing_precedence(headers, body, more_body, no_body, framing, body_part, chunked):
    data, is_chunked, _ = respond(headers, body, more_body, no_body)
    lines, rest = split(data)
    assert lines[0] == b"HTTP/1.1 200 OK"
    assert lines[-1] == b"connection: keep-alive"
    assert lines[1:-1] == framing
    assert rest == body_part
    assert is_chunked is chunked


# (headers, keep_alive argument, connection line or None, effective keep_alive)
CONNECTION = [
    ([], True, b"connection: keep-alive", True),
    ([], False, b"connection: close", False),
    ([(b"Connection", b"Close")], True, None, False),
    ([(b"connection", b"keep-alive")], False, None, False),
    ([(b"connection", b"keep-alive")], True, None, True),
    ([(b"connection", b"")], True, None, True),
    ([(b"connection", b"")], False, None, False),
    ([(b"CONNECTION", b"not-CLOSED")], True, None, False),
    ([(b"connection", b"clos")], True, None, True),
    ([(b"connection", b"upgrade"), (b"connection", b"close")], True, None, False),
    ([(b"connections", b"close")], True, b"connection: keep-alive", True),
]


@pytest.mark.parametrize("headers,keep_alive,line,effective", CONNECTION)
def test_connection_header(headers, keep_alive, line, effective):
    data, _, result = respond(headers, keep_alive=keep_alive)
    lines, _ = split(data)
    caller = [name + b": " + value for name, value in headers]
    assert lines[1:] == caller + [b"content-length: 0"] + ([line] if line else [])
    assert result is effective


def test_server_and_date_lines():
    server, date = b"server: tessaryne\r\n", b"date: Tue, 08 Dec 2026 01:00:00 GMT\r\n"
    data, _, _ = respond([(b"x", b"1")], server=server, date=date)
    assert data.startswith(b"HTTP/1.1 200 OK\r\n" + server + date + b"x: 1\r\n")
    data, _, _ = respond([(b"Date", b"d"), (b"SERVER", b"s")], server=server, date=date)
    assert data.startswith(b"HTTP/1.1 200 OK\r\nDate: d\r\nSERVER: s\r\ncontent-length")
    data, _, _ = respond([(b"Dates", b"d")], server=server, date=date)
    assert data.startswith(b"HTTP/1.1 200 OK\r\n" + server + date + b"Dates: d\r\n")
    # the caller's lines are copied as given, unchecked and unterminated
    data, _, _ = respond(server=b"server: a\nb", date=b"")
    assert data.startswith(b"HTTP/1.1 200 OK\r\nserver: a\nbcontent-length: 0\r\n")


def test_headers_keep_order_repetitions_and_bytes():
    headers = [(b"Set-Cookie", b"a=1"), (b"set-cookie", b"b=2"), (b"", b""), (b"x:y", b"\x00\x7f\xff\t")]
    lines, _ = split(respond(headers)[0])
    assert lines[1:5] == [b"Set-Cookie: a=1", b"set-cookie: b=2", b": ", b"x:y: \x00\x7f\xff\t"]


@pytest.mark.parametrize(
    "name,value",
    [(b"x", b"a\nb"), (b"x", b"a\rb"), (b"x\r", b"v"), (b"\nx", b"v"), (b"x", b"v" * 40 + b"\n"),
     (b"y" * 17 + b"\r", b"v"), (b"x", b"\r\nInjected: 1")],
)  # fmt: skip
def test_crlf_in_header_is_refused(name, value):
    with pytest.raises(ValueError) as caught:
        respond([(b"ok", b"fine"), (name, value)])
    assert str(caught.value) == "Illegal CRLF control characters detected in HTTP response header"
    assert not getattr(caught.value, "__notes__", None)


def test_crlf_scan_finds_the_byte_at_every_position():
    for length in range(0, 40):
        for position in range(length):
            for byte in b"\r\n":
                value = bytearray(b"v" * length)
                value[position] = byte
                with pytest.raises(ValueError):
                    respond([(b"x", bytes(value))])
        respond([(b"x", b"\x0b\x0c\x0e" * length)])


@pytest.mark.parametrize(
    "headers,error,message",
    [
        ([(b"x", "text")], TypeError, "'str' object is not an instance of 'bytes'"),
        ([("x", b"v")], TypeError, "'str' object is not an instance of 'bytes'"),
        ([(b"x", bytearray(b"v"))], TypeError, "'bytearray' object is not an instance of 'bytes'"),
        ([(b"x",)], IndexError, None),
        ([5], TypeError, None),
        (5, TypeError, None),
        # walk order: the first bad item decides
        ([(b"a", b"\n"), (b"x", "text")], ValueError, None),
        ([(b"x", "text"), (b"a", b"\n")], TypeError, None),
    ],
)
def test_bad_headers(headers, error, message):
    with pytest.raises(error) as caught:
        Conn.format_response(200, b"", b"", headers, b"", False, False, True)
    if message:
        assert str(caught.value) == message
    assert not getattr(caught.value, "__notes__", None)


def test_header_containers():
    expected = respond([(b"a", b"1"), (b"b", b"2")])
    for headers in (
        [(b"a", b"1"), (b"b", b"2")],
        ((b"a", b"1"), (b"b", b"2")),
        ([b"a", b"1", b"ignored"], [b"b", b"2"]),
        iter([(b"a", b"1"), (b"b", b"2")]),
        ({0: b"a", 1: b"1"}, {0: b"b", 1: b"2"}),
    ):
        assert Conn.format_response(200, b"", b"", headers, b"", False, False, True) == expected
    generator = ((n, v) for n, v in [(b"a", b"1"), (b"b", b"2")])
    assert Conn.format_response(200, b"", b"", generator, b"", False, False, True) == expected
    assert list(generator) == []


def test_iterator_errors_propagate_unchanged():
    def broken():
        yield (b"a", b"1")
        raise KeyError("boom")

    with pytest.raises(KeyError, match="boom"):
        Conn.format_response(200, b"", b"", broken(), b"", False, False, True)


def test_many_headers_spill_past_the_inline_storage():
    headers = [(b"x-%d" % i, b"v" * (i % 50)) for i in range(500)]
    lines, _ = split(respond(headers)[0])
    assert lines[1:501] == [n + b": " + v for n, v in headers]


@pytest.mark.parametrize(
    "status,line",
    [(101, b"HTTP/1.1 101 Switching Protocols"), (200, b"HTTP/1.1 200 OK"), (201, b"HTTP/1.1 201 Created"),
     (204, b"HTTP/1.1 204 No Content"), (301, b"HTTP/1.1 301 Moved Permanently"), (302, b"HTTP/1.1 302 Found"), (304, b"HTTP/1.1 304 Not Modified"),
     (400, b"HTTP/1.1 400 Bad Request"), (401, b"HTTP/1.1 401 Unauthorized"), (403, b"HTTP/1.1 403 Forbidden"),
     (404, b"HTTP/1.1 404 Not Found"), (405, b"HTTP/1.1 405 Method Not Allowed"),
     (408, b"HTTP/1.1 408 Request Timeout"), (413, b"HTTP/1.1 413 Payload Too Large"), (426, b"HTTP/1.1 426 Upgrade Required"),
     (431, b"HTTP/1.1 431 Request Header Fields Too Large"), (500, b"HTTP/1.1 500 Internal Server Error"),
     (502, b"HTTP/1.1 502 Bad Gateway"), (503, b"HTTP/1.1 503 Service Unavailable"),
     (418, b"HTTP/1.1 418 OK"), (202, b"HTTP/1.1 202 OK"), (0, b"HTTP/1.1 0 OK"), (65535, b"HTTP/1.1 65535 OK")],
)  # fmt: skip
def test_status_lines(status, line):
    assert split(respond(status=status)[0])[0][0] == line


@pytest.mark.parametrize(
    "status_line,code",
    [
        (b"HTTP/1.1 404 Not Found", 404),
        (b"HTTP/1.1 404", 404),
        (b"HTTP/1.1 40", 200),
        (b"HTTP/1.1 +42 Odd", 42),
        (b"HTTP/1.1 4x4 Bad", 200),
        (b"HTTP/1.1 -42 Bad", 200),
        (b"HTTP/1.1  42 Bad", 200),
        (b"HTTP/1.1 ++4 Bad", 200),
        (b"HTTP/1.1 +", 200),
        (b"HTTP/1.0 404 Not Found", 200),
        (b"http/1.1 404 Not Found", 200),
        (b"HTTP/1.1  404 Not Found", 200),
        (b"HTTP/1.1 \xc3\xa9 x", 200),
        (b"HTTP/1.1 007 Bond", 7),
        (b"HTTP/1.1 418 Whatever the caller wrote", 418),
        (b"", 200),
    ],
)
def test_status_line_parse(status_line, code):
    data, _, _ = Parser.format_response(status_line, b"", b"", [], b"", False, False, True)
    expected = Conn.format_response(code, b"", b"", [], b"", False, False, True)[0]
    assert data == expected


def test_output_is_exact_for_a_full_response():
    data, chunked, keep_alive = Parser.format_response(
        b"HTTP/1.1 404 Not Found", b"server: s\r\n", b"date: d\r\n", [(b"a", b"1")], b"hello", True, False, False
    )
    assert data == (
        b"HTTP/1.1 404 Not Found\r\nserver: s\r\ndate: d\r\na: 1\r\n"
        b"transfer-encoding: chunked\r\nconnection: close\r\n\r\n5\r\nhello\r\n"
    )
    assert (chunked, keep_alive) == (True, False)


def test_headers_list_mutated_by_another_thread():
    # The walk must never read a header that another thread has just dropped.
    import threading

    headers = [(b"x-%d" % i, b"v" * i) for i in range(20)]
    stop = threading.Event()
    mutations = 0

    def mutate():
        nonlocal mutations
        while not stop.is_set():
            item = headers.pop()
            headers.insert(0, item)
            headers.append([b"list-item", b"v"])
            headers.pop()
            mutations += 1

    thread = threading.Thread(target=mutate)
    thread.start()
    try:
        # Walks go on until the list has also changed many times meanwhile: 3000
        # walks can end within one time slice, before the other thread ever runs.
        walks, before = 0, mutations
        while walks < 3000 or mutations - before < 3000:
            data, _, _ = Conn.format_response(200, b"", b"", headers, b"", False, False, True)
            lines, _ = split(data)
            assert all(line.startswith(b"x-") or line.startswith(b"list-item") for line in lines[1:-2])
            walks += 1
    finally:
        stop.set()
        thread.join()
