#pragma once
// One final, unmasked WebSocket frame as a server sends it, in the shortest
// length form; the same layout frame_header.hpp reads. The size is reported
// first so the caller allocates the output once.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tessaryne::websocket {

// A frame header with FIN set, no mask and the shortest length form.
struct WsFrameHeader {
  std::array<char, 10> bytes{};
  std::size_t size = 0;
};
// Only the low four bits of `opcode` are kept; `reserved_bits` (0x40 marks a
// compressed message) go in as given.
WsFrameHeader ws_frame_header(std::uint8_t opcode, std::uint64_t payload_length,
                              std::uint8_t reserved_bits = 0) noexcept;
// Header plus payload; the caller keeps `payload_length` small enough to allocate.
std::size_t ws_frame_size(std::uint64_t payload_length) noexcept;
// Writes exactly ws_frame_size(payload.size()) bytes.
void write_ws_frame(std::uint8_t opcode, std::string_view payload, char* out, std::uint8_t reserved_bits = 0) noexcept;

// The close frame a server sends to end a connection: opcode 8 with the code
// as a 2-byte big-endian payload, built by write_ws_frame.
using CloseFrame = std::array<char, 4>;
CloseFrame close_frame(std::uint16_t code) noexcept;

}  // namespace tessaryne::websocket
