#include "core/websocket/frame_writer.hpp"

#include "core/common/put_bytes.hpp"

namespace tessaryne::websocket {

namespace {

// Bytes of the length that follow the second header byte: none below 126,
// 16 bits below 65536, else 64 bits.
constexpr std::size_t extended_length_size(std::uint64_t payload_length) noexcept {
  return payload_length < 126 ? 0 : payload_length < 65536 ? 2 : 8;
}

}  // namespace

WsFrameHeader ws_frame_header(std::uint8_t opcode, std::uint64_t payload_length, std::uint8_t reserved_bits) noexcept {
  WsFrameHeader header;
  const std::size_t extended = extended_length_size(payload_length);
  header.bytes[0] = static_cast<char>(0x80 | reserved_bits | (opcode & 0x0F));
  header.bytes[1] = static_cast<char>(extended == 0 ? payload_length : extended == 2 ? 126 : 127);
  for (std::size_t i = 0; i < extended; ++i)
    header.bytes[2 + i] = static_cast<char>((payload_length >> (8 * (extended - 1 - i))) & 0xFF);
  header.size = 2 + extended;
  return header;
}

std::size_t ws_frame_size(std::uint64_t payload_length) noexcept {
  return 2 + extended_length_size(payload_length) + static_cast<std::size_t>(payload_length);
}

void write_ws_frame(std::uint8_t opcode, std::string_view payload, char* out, std::uint8_t reserved_bits) noexcept {
  const WsFrameHeader header = ws_frame_header(opcode, payload.size(), reserved_bits);
  out = common::put_bytes(out, {header.bytes.data(), header.size});
  common::put_bytes(out, payload);
}

CloseFrame close_frame(std::uint16_t code) noexcept {
  const char payload[2] = {static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
  CloseFrame frame{};
  write_ws_frame(8, {payload, 2}, frame.data());
  return frame;
}

}  // namespace tessaryne::websocket
