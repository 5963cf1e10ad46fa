"""WebSocket mode of FastHttpConnection, driven through the public methods."""

from __future__ import annotations

import struct

import pytest
from hypothesis import given
from hypothesis import strategies as st

from tessaryne._tessaryne_core import FastHttpConnection
from ws_client import encode_conversation, encode_frame, messages, split

pytestmark = pytest.mark.skipif(
    not hasattr(FastHttpConnection, "switch_to_websocket"),
    reason="FastHttpConnection has no WebSocket mode in this build",
)

UPGRADE = (
    b"GET /chat HTTP/1.1\r\nHost: example\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n"
)
CLOSE_1002 = b"\x88\x02\x03\xea"
CLOSE_1007 = b"\x88\x02\x03\xef"
CLOSE_1009 = b"\x88\x02\x03\xf1"
MAX_MESSAGE = 64 << 20


def upgraded(early: bytes = b"") -> tuple[FastHttpConnection, list]:
    """A connection switched to WebSocket mode; `early` arrives with the
    upgrade request and is parsed by the pump after the switch."""
    connection = FastHttpConnection()
    events = connection.feed_data(UPGRADE + early)
    assert events[-1][0] == 3
    connection.switch_to_websocket()
    return connection, connection.pump_events()


@given(messages=messages, data=st.data())
def test_any_split_of_a_client_stream_gives_identical_messages_in_order(messages, data) -> None:
    stream, events = encode_conversation(messages, data)
    expected = [(4, opcode, True, payload) for opcode, payload in events]
    pieces = split(stream, data.draw(st.lists(st.integers(0, len(stream)), max_size=10)))
    connection, got = upgraded(pieces[0])
    for piece in pieces[1:]:
        got += connection.feed_data(piece)
    assert got == expected
    assert not connection.is_closed()


HELLO = encode_frame(1, b"hello")


@pytest.mark.parametrize(
    ("stream", "expected"),
    [
        (HELLO, [(4, 1, True, b"hello")]),
        (
            encode_frame(1, b"he", fin=False) + encode_frame(9, b"p") + encode_frame(0, b"llo"),
            [(4, 9, True, b"p"), (4, 1, True, b"hello")],
        ),
        (encode_frame(3, b"zz") + HELLO, [(4, 1, True, b"hello")]),
        (encode_frame(8, b"\x03\xe8") + HELLO, [(4, 8, True, b"\x03\xe8"), (4, 1, True, b"hello")]),
        (encode_frame(2, b"\xff"), [(4, 2, True, b"\xff")]),
        (HELLO + encode_frame(1, b"x", key=None), [(4, 1, True, b"hello"), (5, 1002, CLOSE_1002)]),
        (encode_frame(9, b"p" * 126), [(5, 1002, CLOSE_1002)]),
        (encode_frame(9, b"", fin=False), [(5, 1002, CLOSE_1002)]),
        (encode_frame(1, b"a", fin=False) + encode_frame(2, b"b"), [(5, 1002, CLOSE_1002)]),
        (encode_frame(0, b"a"), [(5, 1002, CLOSE_1002)]),
        (encode_frame(1, b"\xff"), [(5, 1007, CLOSE_1007)]),
        (encode_frame(1, b"ok\xe2", fin=False) + encode_frame(0, b"\x82"), [(5, 1007, CLOSE_1007)]),
        # Refused from the header alone: the payload is never buffered.
        (struct.pack("!BBQ", 0x82, 0xFF, MAX_MESSAGE + 1), [(5, 1009, CLOSE_1009)]),
        (struct.pack("!BBQ", 0x82, 0xFF, 2**64 - 1), [(5, 1009, CLOSE_1009)]),
        (
            encode_frame(2, b"x", fin=False) + struct.pack("!BBQ", 0x00, 0xFF, MAX_MESSAGE),
            [(5, 1009, CLOSE_1009)],
        ),
    ],
)
def test_frames_and_violations(stream: bytes, expected: list) -> None:
    connection, events = upgraded()
    events += connection.feed_data(stream)
    assert events == expected
    assert connection.is_closed() == (expected[-1][0] == 5)


def test_a_partial_frame_waits_for_its_last_byte() -> None:
    frame = encode_frame(2, bytes(200))
    connection, events = upgraded(frame[:2])
    assert events == []
    assert connection.feed_data(frame[2:-1]) == []
    assert connection.feed_data(frame[-1:]) == [(4, 2, True, bytes(200))]


def test_configure_websocket_turns_each_behaviour_on_and_compresses_both_ways() -> None:
    plain, _ = upgraded()
    strict, _ = upgraded()
    strict.configure_websocket(strict=True, utf8_fail_fast=True, max_message_size=10, permessage_deflate=True)
    reserved = encode_frame(1, b"r", rsv=2)
    assert plain.feed_data(reserved) == [(4, 1, True, b"r")]
    assert strict.feed_data(reserved) == [(5, 1002, CLOSE_1002)]

    # The compressed "Hello" a client sends (RFC 7692), and ours for the same text.
    connection, _ = upgraded()
    connection.configure_websocket(permessage_deflate=True, client_no_context_takeover=True)
    hello = bytes.fromhex("f248cdc9c90700")
    assert connection.feed_data(encode_frame(1, hello, rsv=4)) == [(4, 1, True, b"Hello")]
    assert connection.format_ws_message(1, b"Hello") == b"\xc1\x07" + hello
    assert connection.format_ws_message(9, b"p") == FastHttpConnection.format_ws_frame(9, b"p")
    big, _ = upgraded()
    big.configure_websocket(permessage_deflate=True, max_message_size=4)
    assert big.feed_data(encode_frame(1, hello, rsv=4)) == [(5, 1009, CLOSE_1009)]


@pytest.mark.parametrize(
    ("arguments", "error"),
    [
        ({"server_max_window_bits": 8}, "server_max_window_bits must be between 9 and 15"),
        ({"client_max_window_bits": 16}, "client_max_window_bits must be between 8 and 15"),
        ({"max_message_size": 0}, "max_message_size must be at least 1"),
    ],
)
def test_configure_websocket_refuses_a_bad_value_in_one_line(arguments, error) -> None:
    with pytest.raises(ValueError, match=f"^{error}$"):
        FastHttpConnection().configure_websocket(**arguments)
