"""A frame-level HTTP/2 client for the tests. hyperframe and hpack, the
layers the h2 library is built on, write and read the frames; nothing checks
what is sent, so a test can send what a conforming client never would, and
frames after a GOAWAY are still read (h2's own connection object refuses
them, as a graceful shutdown sends them)."""

from __future__ import annotations

import socket
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field

import hpack
from hyperframe.frame import (
    ContinuationFrame,
    DataFrame,
    Frame,
    GoAwayFrame,
    HeadersFrame,
    PingFrame,
    RstStreamFrame,
    SettingsFrame,
    WindowUpdateFrame,
)

PREFACE = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"
PROTOCOL_ERROR, CANCEL = 0x1, 0x8
Fields = Iterable[tuple[str | bytes, str | bytes]]


@dataclass
class Stream:
    headers: list[tuple[bytes, bytes]] | None = None  # the final response head
    body: bytearray = field(default_factory=bytearray)
    trailers: list[tuple[bytes, bytes]] | None = None
    ended: bool = False  # END_STREAM came
    reset: int | None = None  # the error code of the server's RST_STREAM

    @property
    def status(self) -> int | None:
        return None if self.headers is None else int(dict(self.headers)[b":status"])


class H2Client:
    """One connection: the preface and an empty SETTINGS on opening; the
    server's SETTINGS and PINGs acknowledged and every DATA frame given back
    to both windows while reading, unless `give_back` is False."""

    def __init__(self, port: int) -> None:
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=30)
        self.port = port
        self.encoder, self.decoder = hpack.Encoder(), hpack.Decoder()
        self.streams: dict[int, Stream] = {}
        self.goaways: list[GoAwayFrame] = []
        self.received: list[Frame] = []
        self.closed = False
        self.give_back = True
        self.next_stream_id = 1
        self._pending = b""
        self._block: tuple[HeadersFrame, bytearray] | None = None  # a header block awaiting END_HEADERS
        self.send(PREFACE, SettingsFrame(0))

    def send(self, *frames: Frame | bytes) -> None:
        """Writes the frames; a connection the server has closed is `closed`, not an error."""
        try:
            self.sock.sendall(b"".join(f if isinstance(f, bytes) else f.serialize() for f in frames))
        except BrokenPipeError, ConnectionResetError:
            self.closed = True

    def block(self, fields: Fields) -> bytes:
        return bytes(self.encoder.encode(list(fields)))

    def request_fields(self, path: str = "/", method: str = "GET", headers: Fields = ()) -> Fields:
        authority = f"127.0.0.1:{self.port}"
        return [(":method", method), (":scheme", "http"), (":authority", authority), (":path", path), *headers]

    def new_stream(self) -> int:
        stream_id, self.next_stream_id = self.next_stream_id, self.next_stream_id + 2
        self.streams[stream_id] = Stream()
        return stream_id

    def request(
        self,
        path: str = "/",
        *,
        method: str = "GET",
        headers: Fields = (),
        fields: Fields | None = None,
        end: bool = True,
    ) -> int:
        """Opens the next stream with `fields` (by default the pseudo-headers for
        `path` followed by `headers`), ending it unless `end` is False; returns the stream's id."""
        stream_id = self.new_stream()
        block = self.block(self.request_fields(path, method, headers) if fields is None else fields)
        self.send(HeadersFrame(stream_id, block, flags=["END_HEADERS"] + ["END_STREAM"] * end))
        return stream_id

    def read(self, done: Callable[[], bool]) -> None:
        """Reads frames until done() or the connection closes; a server silent
        for 30 s raises TimeoutError."""
        while not done() and not self.closed:
            try:
                data = self.sock.recv(1 << 16)
            except ConnectionResetError:
                data = b""
            if not data:
                self.closed = True
                return
            self._pending += data
            while len(self._pending) >= 9:
                frame, length = Frame.parse_frame_header(memoryview(self._pending[:9]))
                if len(self._pending) < 9 + length:
                    break
                frame.parse_body(memoryview(self._pending[9 : 9 + length]))
                self._pending = self._pending[9 + length :]
                self._take(frame)

    def response(self, stream_id: int) -> Stream:
        """The stream once it ended or was reset, or once the connection closed."""
        stream = self.streams[stream_id]
        self.read(lambda: stream.ended or stream.reset is not None)
        return stream

    def _take(self, frame: Frame) -> None:
        self.received.append(frame)
        stream = self.streams.setdefault(frame.stream_id, Stream()) if frame.stream_id else None
        if isinstance(frame, SettingsFrame) and "ACK" not in frame.flags:
            self.send(SettingsFrame(0, flags=["ACK"]))
        elif isinstance(frame, PingFrame) and "ACK" not in frame.flags:
            self.send(PingFrame(0, frame.opaque_data, flags=["ACK"]))
        elif isinstance(frame, GoAwayFrame):
            self.goaways.append(frame)
        elif isinstance(frame, RstStreamFrame):
            assert stream is not None
            stream.reset = frame.error_code
        elif isinstance(frame, DataFrame):
            assert stream is not None
            stream.body += frame.data
            stream.ended |= "END_STREAM" in frame.flags
            if self.give_back and frame.flow_controlled_length:
                increment = frame.flow_controlled_length
                self.send(WindowUpdateFrame(0, increment), WindowUpdateFrame(frame.stream_id, increment))
        elif isinstance(frame, HeadersFrame | ContinuationFrame):
            if isinstance(frame, HeadersFrame):
                self._block = (frame, bytearray())
            assert self._block is not None, "CONTINUATION without HEADERS"
            first, data = self._block
            data += frame.data
            if "END_HEADERS" in frame.flags:
                self._block = None
                fields = [(bytes(n), bytes(v)) for n, v in self.decoder.decode(bytes(data), raw=True)]
                assert stream is not None
                if stream.headers is None:
                    if not fields[0][1].startswith(b"1"):  # an informational head comes before the final one
                        stream.headers = fields
                else:
                    stream.trailers = fields
                stream.ended |= "END_STREAM" in first.flags

    def flood(self, chunk: bytes, times: int) -> str:
        """Writes chunk `times` times without reading: "sent", "closed" once the
        server closed the connection, or "stalled" once it stopped reading
        for 5 s (which bounds what it holds as well)."""
        self.sock.settimeout(5)
        try:
            for _ in range(times):
                self.sock.sendall(chunk)
        except TimeoutError:
            return "stalled"
        except BrokenPipeError, ConnectionResetError:
            return "closed"
        finally:
            self.sock.settimeout(30)
        return "sent"

    def close(self) -> None:
        self.sock.close()

    def __enter__(self) -> H2Client:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
