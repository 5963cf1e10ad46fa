"""FastHttpConnection: events, framing, limits, splitting and borrowing."""

import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tessaryne import _tessaryne_core as core

Conn = core.FastHttpConnection


def error_response(status, reason, detail):
    return (
        f"HTTP/1.1 {status} {reason}\r\nserver: tessaryne\r\nconnection: close\r\n"
        f"content-length: {len(detail)}\r\n\r\n{detail}"
    ).encode()


TOO_LARGE = (5, 431, error_response(431, "Request Header Fields Too Large", "Request Header Fields Too Large"))
BAD_CHUNK_LENGTH = (5, 400, error_response(400, "Bad Request", "Invalid chunk length"))


def completes_message(events):
    return any((e[0] == 1 and not e[10]) or (e[0] == 2 and not e[2]) for e in events)


def drive(pieces, **limits):
    """Feeds the pieces as a server would: after each complete message it resets
    and pumps. Returns the events with streamed body pieces merged, and is_closed()."""
    conn = Conn(**limits)
    events = []
    for piece in pieces:
        batch = conn.feed_data(piece)
        events.extend(batch)
        while completes_message(batch):
            conn.reset_for_next_request()
            batch = conn.pump_events()
            events.extend(batch)
    merged = []
    for event in events:
        if event[0] == 2 and merged and merged[-1][0] == 2 and merged[-1][2]:
            merged[-1] = (2, merged[-1][1] + event[1], event[2])
        else:
            merged.append(event)
    return merged, conn.is_closed()


def split(data, cuts):
    points = sorted({c for c in cuts if 0 < c < len(data)})
    return [data[a:b] for a, b in zip([0, *points], [*points, len(data)], strict=True)]


# A stream of pipelined requests, and the requests it should produce.
header_names = st.sampled_from([b"Host", b"X-Thing", b"accept", b"User-Agent", b"Cookie"])
header_values = st.binary(max_size=20).map(lambda v: bytes(b for b in v if b == 9 or 0x20 <= b != 0x7F).strip(b" \t"))


@st.composite
def requests(draw):
    path = b"/" + draw(st.binary(max_size=12).map(lambda p: bytes(b for b in p if 0x21 <= b != 0x7F and b != 0x3F)))
    query = draw(st.one_of(st.none(), st.binary(max_size=8).map(lambda q: bytes(b for b in q if 0x21 <= b != 0x7F))))
    target = path if query is None else path + b"?" + query
    headers = draw(st.lists(st.tuples(header_names, header_values), max_size=4))
    framing = draw(st.sampled_from(["none", "length", "chunked"]))
    body_chunks = draw(st.lists(st.binary(min_size=1, max_size=30), max_size=3)) if framing != "none" else []
    newline = draw(st.sampled_from([b"\r\n", b"\n"]))
    head = b"POST " + target + b" HTTP/1.1" + newline
    head += b"".join(name + b": " + value + newline for name, value in headers)
    body = b"".join(body_chunks)
    if framing == "length":
        head += b"Content-Length: " + str(len(body)).encode() + newline
        wire = body
    elif framing == "chunked":
        head += b"Transfer-Encoding: chunked" + newline
        wire = b"".join(b"%x;e=1\r\n%s\r\n" % (len(c), c) for c in body_chunks) + b"0\r\nT: 1\r\n\r\n"
    else:
        wire = b""
    has_body = framing == "chunked" or (framing == "length" and len(body) > 0)
    return head + newline + wire, (path, query or b""), body, has_body


@given(st.lists(requests(), min_size=1, max_size=4), st.data())
@settings(max_examples=300, deadline=None)
def test_any_split_gives_the_events_of_whole_feeding(reqs, data):
    stream = b"".join(r[0] for r in reqs)
    whole, closed = drive([stream])
    # The requests come out as they went in.
    heads = [e for e in whole if e[0] == 1]
    assert [(h[3], h[4]) for h in heads] == [r[1] for r in reqs]
    assert [h[10] for h in heads] == [r[3] for r in reqs]
    assert [e[1] for e in whole if e[0] == 2 and e[1]] == [r[2] for r in reqs if r[2]]
    assert not closed
    cuts = data.draw(st.lists(st.integers(0, len(stream)), max_size=20))
    assert drive(split(stream, cuts)) == (whole, closed)
    assert drive([stream[i : i + 1] for i in range(len(stream))]) == (whole, closed)


@given(st.binary(max_size=300), st.lists(st.integers(0, 300), max_size=10), st.integers(0, 80), st.integers(0, 40))
@settings(max_examples=500, deadline=None)
def test_arbitrary_bytes_never_raise_and_do_not_depend_on_splitting(data, cuts, max_header_size, max_body_size):
    limits = dict(max_header_size=max_header_size, max_body_size=max_body_size)
    whole = drive([data], **limits)
    assert drive(split(data, cuts), **limits) == whole
    events, closed = whole
    for event in events:
        assert event[0] in (1, 2, 3, 5)
    errors = [i for i, e in enumerate(events) if e[0] == 5]
    assert errors in ([], [len(events) - 1])
    assert closed or not errors


def test_request_event_shapes():
    conn = Conn()
    (request, body) = conn.feed_data(b"POST /p?q HTTP/1.0\r\nX-A: 1\r\nx-a: 2\r\nContent-Length: 2\r\n\r\nhi")
    assert request == (
        1,
        "POST",
        "/p",
        b"/p",
        b"q",
        "1.0",
        [(b"x-a", b"1"), (b"x-a", b"2"), (b"content-length", b"2")],
        False,
        False,
        b"",
        True,
    )
    assert body == (2, b"hi", False)
    assert [type(x) for x in request] == [int, str, str, bytes, bytes, str, list, bool, bool, bytes, bool]
    upgrade = Conn().feed_data(b"GET /ws HTTP/1.1\r\nUpgrade: WebSocket\r\nConnection: keep-alive, Upgrade\r\n\r\n\x81")
    assert upgrade[0][7:] == (True, True, b"websocket", False)
    assert upgrade[1] == (3, b"websocket")


def test_calls_without_data():
    conn = Conn()
    assert conn.pump_events() == [] and conn.feed_data() == [] and conn.feed_data(None) == []
    assert conn.feed_data(data=bytearray(b"GET / HTTP/1.1\r\n\r\n"))[0][1] == "GET"


def test_non_utf8_target_keeps_raw_bytes_and_replaces_in_text():
    (request,) = Conn().feed_data(b"GET /caf\xe9/\xff\xfe?x=\xff HTTP/1.1\r\n\r\n")
    assert request[2] == "/caf\ufffd/\ufffd\ufffd"
    assert request[3] == b"/caf\xe9/\xff\xfe"
    assert request[4] == b"x=\xff"
    (request,) = Conn().feed_data("GET /caf\u00e9 HTTP/1.1\r\n\r\n".encode())
    assert request[2] == "/caf\u00e9"


def test_header_window_ignores_what_follows_a_head():
    head = b"POST / HTTP/1.1\r\nContent-Length: 70000\r\n\r\n"
    events = Conn().feed_data(head + b"b" * 70000)
    assert events[0][10] is True and events[1] == (2, b"b" * 70000, False)
    # No complete head within the window: 431, whether fed whole or byte by byte;
    # 414 when what does not fit is the target.
    big = b"GET /" + b"a" * 65536 + b" HTTP/1.1\r\n\r\n"
    assert Conn().feed_data(big) == [(5, 414, error_response(414, "URI Too Long", "URI Too Long"))]
    conn = Conn(max_header_size=20)
    assert [conn.feed_data(bytes([b])) for b in b"GET /abcde HTTP/1.1\n"] == [[]] * 20
    assert conn.feed_data(b"\n") == [TOO_LARGE]


def test_chunk_size_line_and_trailer_bounds():
    head = b"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
    events, _ = drive([head + b"1;" + b"e" * 4092 + b"\r\nx\r\n0\r\n\r\n"])
    assert events[1] == (2, b"x", False)
    events, closed = drive([head + b"1;" + b"e" * 4093 + b"\r\nx\r\n0\r\n\r\n"])
    assert events[1:] == [BAD_CHUNK_LENGTH] and closed
    trailer = b"X: " + b"a" * 58 + b"\r\n\r\n"  # 65 bytes
    events, closed = drive([head, b"0\r\n", trailer], max_header_size=64)
    assert events[1:] == [TOO_LARGE] and closed
    events, closed = drive([head, b"0\r\n", b"X:" + trailer[3:]], max_header_size=64)
    assert events[1] == (2, b"", False) and not closed


@pytest.mark.parametrize("limit, closes_after", [(2, [False, True]), (0, [True]), (1000, [False, False])])
def test_keep_alive_limit(limit, closes_after):
    conn = Conn(max_keepalive_requests=limit)
    for closed in closes_after:
        [request] = conn.feed_data(b"GET / HTTP/1.1\r\n\r\n")
        assert request[7] is not closed  # the event's keep-alive foretells the reset
        conn.reset_for_next_request()
        assert conn.is_closed() is closed


class ReentrantBuffer:
    """A buffer whose export calls back into the connection being fed."""

    def __init__(self, callback):
        self.callback = callback

    def __buffer__(self, flags):
        self.callback()
        return memoryview(b"GET / HTTP/1.1\r\n\r\n")


def outcome(call):
    try:
        call()
    except RuntimeError as error:
        return str(error)
    return "ok"


def test_borrow_conflicts():
    conn = Conn()
    seen = {}

    def from_another_thread():
        def run():
            seen["feed"] = outcome(lambda: conn.feed_data(b""))
            seen["pump"] = outcome(conn.pump_events)
            seen["reset"] = outcome(conn.reset_for_next_request)
            seen["close"] = outcome(conn.close)
            seen["is_closed"] = outcome(conn.is_closed)

        thread = threading.Thread(target=run)
        thread.start()
        thread.join()

    events = conn.feed_data(ReentrantBuffer(from_another_thread))
    assert seen == {
        "feed": "Already borrowed",
        "pump": "Already borrowed",
        "reset": "Already borrowed",
        "close": "Already borrowed",
        "is_closed": "Already mutably borrowed",
    }
    # The first call went on unaffected, and the borrow was released.
    assert events[0][1] == "GET" and not conn.is_closed()
    conn.reset_for_next_request()
    assert conn.pump_events() == []


def test_buffer_errors_release_the_borrow():
    import array

    conn = Conn()
    with pytest.raises(BufferError, match="buffer contents are not compatible with u8"):
        conn.feed_data(array.array("b", b"GET"))
    with pytest.raises(TypeError):
        conn.feed_data(42)
    assert conn.feed_data(array.array("B", b"GET / HTTP/1.1\r\n\r\n"))[0][1] == "GET"
