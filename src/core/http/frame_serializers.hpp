#pragma once
// The two serializers of what follows a response head: one piece of a chunked
// body, and one final, unmasked WebSocket frame as a server sends it. Each
// reports its exact size first so the caller allocates the output once.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tessaryne::http {

// Chunked transfer coding: "<HEX>\r\n<data>\r\n" for a non-empty piece, then
// "0\r\n\r\n" when the body ends. An empty piece is never a chunk of its own.
std::size_t chunk_size(std::size_t piece_length, bool more_body) noexcept;
// Writes exactly chunk_size(piece.size(), more_body) bytes.
void write_chunk(std::string_view piece, bool more_body, char* out) noexcept;

// A WebSocket frame header with FIN set, no mask and the shortest length form.
struct WsFrameHeader {
  std::array<char, 10> bytes{};
  std::size_t size = 0;
};
// Only the low four bits of `opcode` are kept.
WsFrameHeader ws_frame_header(std::uint8_t opcode, std::uint64_t payload_length) noexcept;
// Header plus payload; the caller keeps `payload_length` small enough to allocate.
std::size_t ws_frame_size(std::uint64_t payload_length) noexcept;
// Writes exactly ws_frame_size(payload.size()) bytes.
void write_ws_frame(std::uint8_t opcode, std::string_view payload, char* out) noexcept;

// The close frame a server sends to end a connection: opcode 8 with the code
// as a 2-byte big-endian payload, built by write_ws_frame.
using CloseFrame = std::array<char, 4>;
CloseFrame close_frame(std::uint16_t code) noexcept;

}  // namespace tessaryne::http
