#include "core/websocket/frame_header.hpp"

namespace tessaryne::websocket {

std::uint64_t payload_length_of(const char* bytes, std::size_t base_length) noexcept {
  if (base_length == 2) return static_cast<std::uint8_t>(bytes[1]) & 0x7Fu;
  std::uint64_t value = 0;  // big-endian, 2 or 8 bytes
  for (std::size_t i = 2; i < base_length; ++i) value = (value << 8) | static_cast<std::uint8_t>(bytes[i]);
  return value;
}

std::optional<FrameHeader> parse_frame_header(std::string_view bytes) noexcept {
  if (bytes.size() < 2) return std::nullopt;
  const auto first = static_cast<std::uint8_t>(bytes[0]);
  const auto second = static_cast<std::uint8_t>(bytes[1]);
  FrameHeader header;
  header.opcode = first & 0x0F;
  header.fin = (first & 0x80) != 0;
  header.masked = (second & 0x80) != 0;
  const std::size_t base = base_header_length(second);
  if (bytes.size() < base) return std::nullopt;
  header.payload_length = payload_length_of(bytes.data(), base);
  header.header_length = base;
  if (header.masked) {
    if (bytes.size() < base + 4) return std::nullopt;
    for (std::size_t i = 0; i < 4; ++i) header.key[i] = static_cast<std::uint8_t>(bytes[base + i]);
    header.header_length = base + 4;
  }
  return header;
}

}  // namespace tessaryne::websocket
