"""FastHttpParser.parse_request: results, refusals, and agreement with the connection."""

import array

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tessaryne import _tessaryne_core as core

parse = core.FastHttpParser.parse_request
CONFLICT = "Bad Request: Conflicting HTTP headers"


def head_with(lines, count):
    return b"GET / HTTP/1.1\r\n" + b"".join(b"h%d: v\r\n" % i for i in range(count)) + (b"\r\n" if lines else b"")


def test_minimal_head():
    assert parse(b"GET / HTTP/1.1\r\n\r\n") == ("GET", "/", b"/", b"", "1.1", [], 18, -1, True, False, False, b"")
    assert parse(b"GET / HTTP/1.1\r\n\r\nbody bytes")[6] == 18
    assert parse(b"") is None and parse(b"GET / HTTP/1.1\r\n") is None


@pytest.mark.parametrize("data, index, expected", [
    (b"GET /a?b=1&c HTTP/1.0\r\nHost: x\r\n\r\n", slice(0, 6), ("GET", "/a", b"/a", b"b=1&c", "1.0", [(b"host", b"x")])),
    (b"GET /a??b HTTP/1.1\r\n\r\n", slice(1, 4), ("/a", b"/a", b"?b")),
    (b"POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\n", slice(7, 10), (10, True, False)),
    (b"POST / HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n", slice(7, 10), (-1, True, True)),
    (b"GET / HTTP/1.1\r\nConnection: Upgrade\r\nUpgrade: WebSocket\r\n\r\n", slice(10, 12), (True, b"websocket")),
    (b"GET / HTTP/1.0\r\n\r\n", 8, False),
    (b"GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", 8, True),
    (b"GET / HTTP/1.1\r\nContent-Length: 9223372036854775808\r\n\r\n", 7, 2**63),
    (b"GET / HTTP/1.1\r\nContent-Length: 18446744073709551615\r\n\r\n", 7, 2**64 - 1),
    (b"GET /caf\xe9\xff?\xff HTTP/1.1\r\n\r\n", slice(1, 4), ("/caf\ufffd\ufffd", b"/caf\xe9\xff", b"\xff")),
])  # fmt: skip
def test_head_values(data, index, expected):
    assert parse(data)[index] == expected


@pytest.mark.parametrize("data, exception, message", [
    (b"GET / HTTP/2.0\r\n\r\n", RuntimeError, "Malformed HTTP request: invalid HTTP version"),
    (b"G\xe9T / HTTP/1.1\r\n\r\n", RuntimeError, "Malformed HTTP request: invalid token"),
    (b"GET / HTTP/1.1\r\nHost : x\r\n\r\n", RuntimeError, "Malformed HTTP request: invalid header name"),
    (b"GET / HTTP/1.1\r\nHost: \x7f\r\n\r\n", RuntimeError, "Malformed HTTP request: invalid header value"),
    (b"GET / HTTP/1.1\rX", RuntimeError, "Malformed HTTP request: invalid new line"),
    (head_with(True, 513), RuntimeError, "Malformed HTTP request: too many headers"),
    (b"GET / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n", ValueError, CONFLICT),
    (b"GET / HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\nContent-Length: 1\r\n\r\n", ValueError, CONFLICT),
    (b"GET / HTTP/1.1\r\nContent-Length: 18446744073709551616\r\n\r\n", ValueError, CONFLICT),
])  # fmt: skip
def test_refusals(data, exception, message):
    with pytest.raises(exception) as info:
        parse(data)
    assert str(info.value) == message


def test_header_slot_passes_and_no_size_limit():
    assert len(parse(head_with(True, 200))[5]) == 200
    assert len(parse(head_with(True, 512))[5]) == 512
    assert parse(head_with(False, 300)) is None  # 513 on the way, 300 arrived
    assert parse(b"GET / HTTP/1.1\r\nX: " + b"v" * 100000 + b"\r\n\r\n")[6] == 100023


def test_buffer_kinds():
    data = b"GET /x HTTP/1.1\r\n\r\n"
    for buf in (bytearray(data), memoryview(data), array.array("B", data), memoryview(data + b"zz")[:-2]):
        assert parse(buf)[1] == "/x"
    assert parse(buf_obj=data)[1] == "/x"
    with pytest.raises(BufferError):
        parse(array.array("b", data))


token = st.text("abcXYZ019-!~", min_size=1, max_size=6).map(str.encode)
value = st.binary(max_size=12).map(lambda v: bytes(b for b in v if b == 9 or 0x20 <= b != 0x7F).strip(b" \t"))
interesting = st.sampled_from([b"Content-Length", b"Transfer-Encoding", b"Connection", b"Upgrade"])
interesting_value = st.sampled_from(
    [
        b"5",
        b"+5",
        b"5, 5",
        b"-1",
        b"chunked",
        b"gzip",
        b"close",
        b"Upgrade",
        b"keep-alive",
        b"websocket",
        b"",
        b"\xc2\xa0 7",
    ]
)


@st.composite
def heads(draw):
    method = draw(token)
    target = draw(st.binary(min_size=1, max_size=10).map(lambda t: bytes(b for b in t if b > 0x20 and b != 0x7F)))
    target = target or b"/"
    lines = draw(st.lists(st.one_of(st.tuples(token, value), st.tuples(interesting, interesting_value)), max_size=6))
    version = draw(st.sampled_from([b"HTTP/1.0", b"HTTP/1.1"]))
    return b"%s %s %s\r\n%s\r\n" % (method, target, version, b"".join(n + b": " + v + b"\r\n" for n, v in lines))


def connection_view(data):
    """What a connection answers for the same bytes, in parse_request's terms."""
    events = core.FastHttpConnection(max_header_size=1 << 20, max_body_size=2**64 - 1).feed_data(data)
    if not events:
        return None
    if events[0][0] == 5:
        body = events[0][2].split(b"\r\n\r\n", 1)[1].decode()
        return ValueError(CONFLICT) if body == CONFLICT else RuntimeError(body)
    return events[0][1:7] + events[0][7:10]


def parser_view(data):
    try:
        result = parse(data)
    except ValueError as error:
        return ValueError(str(error))
    except RuntimeError:
        return RuntimeError("Bad Request")
    if result is None:
        return None
    return result[0:6] + (result[8], result[10], result[11])


def same(a, b):
    if isinstance(a, Exception) or isinstance(b, Exception):
        return type(a) is type(b) and str(a) == str(b)
    return a == b


@given(heads(), st.binary(max_size=8))
@settings(max_examples=400, deadline=None)
def test_parser_and_connection_share_the_head_rules(head, tail):
    data = head + tail
    assert same(parser_view(data), connection_view(data))
    result = parse(data) if not isinstance(parser_view(data), Exception) else None
    if result is not None:
        assert result[6] == len(head)
        # Every proper prefix of a complete head is incomplete.
        for cut in range(len(head)):
            assert parse(head[:cut]) is None


@given(st.binary(max_size=200))
@settings(max_examples=1000, deadline=None)
def test_arbitrary_bytes_give_a_result_none_or_the_two_refusals(data):
    assert same(parser_view(data), connection_view(data))
