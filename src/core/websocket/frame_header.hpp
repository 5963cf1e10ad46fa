#pragma once
// The RFC 6455 frame header as read from the wire. Only the layout is decoded
// here; what a field's value means (reserved bits, opcodes, control-frame
// rules, size limits) is the reader's concern.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/websocket/unmask.hpp"

namespace tessaryne::websocket {

struct FrameHeader {
  std::uint8_t opcode = 0;  // low four bits of byte 0
  bool fin = false;
  bool masked = false;
  std::uint64_t payload_length = 0;  // all 64 bits of the long form are kept
  MaskKey key{};                     // zero when not masked
  std::size_t header_length = 0;     // 2, 4 or 10, plus 4 when masked
};

// Length of the header before the key: 2, 4 or 10, decided by byte 1 alone.
constexpr std::size_t base_header_length(std::uint8_t second_byte) noexcept {
  const std::uint8_t code = second_byte & 0x7F;
  return code == 126 ? 4 : code == 127 ? 10 : 2;
}

// The payload length of a header whose first base_header_length() bytes are
// at `bytes`.
std::uint64_t payload_length_of(const char* bytes, std::size_t base_length) noexcept;

// Decodes the header at the start of `bytes`; nullopt while it is incomplete.
// Reads at most 14 bytes and ignores everything after the header.
std::optional<FrameHeader> parse_frame_header(std::string_view bytes) noexcept;

}  // namespace tessaryne::websocket
