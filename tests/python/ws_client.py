"""A client-side WebSocket encoder for the tests: masked frames, any
fragmentation, control frames between fragments; and a reader of the
server's frames. Written from the frame layout alone so that it checks the
module rather than mirrors it."""

from __future__ import annotations

import struct
import zlib
from dataclasses import dataclass

from hypothesis import strategies as st


def xor_mask(data: bytes, key: bytes) -> bytes:
    return bytes(b ^ key[i % 4] for i, b in enumerate(data))


def encode_frame(
    opcode: int,
    payload: bytes,
    *,
    fin: bool = True,
    key: bytes | None = b"\x01\x02\x03\x04",
    rsv: int = 0,
    length_form: str = "shortest",
) -> bytes:
    """One frame; key None sends it unmasked. length_form 'long16'/'long64'
    forces an extended length field even where a shorter one would do."""
    n = len(payload)
    first = (0x80 if fin else 0) | (rsv << 4) | (opcode & 0x0F)
    mask_bit = 0x80 if key is not None else 0
    if length_form == "long64" or (length_form == "shortest" and n >= 65536):
        head = struct.pack("!BBQ", first, mask_bit | 127, n)
    elif length_form == "long16" or (length_form == "shortest" and n >= 126):
        head = struct.pack("!BBH", first, mask_bit | 126, n)
    else:
        head = struct.pack("!BB", first, mask_bit | n)
    if key is None:
        return head + payload
    return head + key + xor_mask(payload, key)


def inflate_frames(data: bytes) -> list[tuple[int, bytes]]:
    """The server's whole frames in `data` as (opcode, payload), compressed
    messages inflated."""
    frames, inflater = [], zlib.decompressobj(-15)
    while len(data) >= 2:
        first, length, start = data[0], data[1] & 0x7F, 2
        if length >= 126:
            start = 4 if length == 126 else 10
            length = int.from_bytes(data[2:start], "big")
        if len(data) < start + length:
            break
        payload = data[start : start + length]
        if first & 0x40:
            payload = inflater.decompress(payload + b"\x00\x00\xff\xff")
        frames.append((first & 0x0F, payload))
        data = data[start + length :]
    return frames


@dataclass(frozen=True)
class Message:
    opcode: int  # 1 text, 2 binary, 8..10 control
    payload: bytes


def encode_message(
    message: Message, cuts: list[int], keys: list[bytes], pings: list[bytes | None]
) -> tuple[bytes, list[tuple[int, bytes]]]:
    """A data message split at `cuts` into fragments, with an optional ping
    after each fragment (pings[i] is None for none); control messages are
    always one frame. Returns the bytes and the (opcode, payload) events a
    reader reports for them, in order."""
    if message.opcode >= 8:
        return encode_frame(message.opcode, message.payload, key=keys[0]), [(message.opcode, message.payload)]
    bounds = [0, *sorted(cuts), len(message.payload)]
    out, events = b"", []
    for i in range(len(bounds) - 1):
        piece = message.payload[bounds[i] : bounds[i + 1]]
        last = i == len(bounds) - 2
        out += encode_frame(message.opcode if i == 0 else 0, piece, fin=last, key=keys[i % len(keys)])
        if last:
            events.append((message.opcode, message.payload))
        ping = pings[i % len(pings)] if pings else None
        if ping is not None:
            out += encode_frame(9, ping, key=keys[0])
            events.append((9, ping))
    return out, events


def split(data: bytes, cuts: list[int]) -> list[bytes]:
    bounds = [0, *sorted(c % (len(data) + 1) for c in cuts), len(data)]
    return [data[bounds[i] : bounds[i + 1]] for i in range(len(bounds) - 1)]


# Any short sequence of text, binary and control messages.
messages = st.lists(
    st.one_of(
        st.builds(Message, st.just(1), st.text(max_size=200).map(str.encode)),
        st.builds(Message, st.just(2), st.binary(max_size=300)),
        st.builds(Message, st.sampled_from([8, 9, 10]), st.binary(max_size=125)),
    ),
    max_size=6,
)


# A stream of several messages, each cut into fragments at drawn points, with
# pings drawn between the fragments; returns the bytes and the expected
# (opcode, payload) events in order.
def encode_conversation(messages: list[Message], data: st.DataObject) -> tuple[bytes, list[tuple[int, bytes]]]:
    stream, expected = b"", []
    for message in messages:
        cuts = data.draw(st.lists(st.integers(0, len(message.payload)), max_size=3))
        keys = data.draw(st.lists(st.binary(min_size=4, max_size=4), min_size=1, max_size=3))
        pings = data.draw(st.lists(st.none() | st.binary(max_size=10), max_size=3))
        frames, events = encode_message(message, cuts, keys, pings)
        stream += frames
        expected += events
    return stream, expected
