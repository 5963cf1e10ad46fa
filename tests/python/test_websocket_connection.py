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
