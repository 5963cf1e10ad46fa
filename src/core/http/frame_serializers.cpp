#include "core/http/frame_serializers.hpp"

#include <cstring>

namespace tessaryne::http {

namespace {

constexpr std::string_view kLastChunk = "0\r\n\r\n";

std::size_t hex_digits(std::size_t value) noexcept {
  std::size_t digits = 1;
  while (value >>= 4) ++digits;
  return digits;
}

char* put(char* out, std::string_view text) noexcept {
  if (!text.empty()) std::memcpy(out, text.data(), text.size());
  return out + text.size();
}

}  // namespace

std::size_t chunk_size(std::size_t piece_length, bool more_body) noexcept {
  std::size_t size = more_body ? 0 : kLastChunk.size();
  if (piece_length > 0) size += hex_digits(piece_length) + 2 + piece_length + 2;
  return size;
}

void write_chunk(std::string_view piece, bool more_body, char* out) noexcept {
  if (!piece.empty()) {
    const std::size_t digits = hex_digits(piece.size());
    std::size_t value = piece.size();
    for (std::size_t i = digits; i-- > 0; value >>= 4) out[i] = "0123456789ABCDEF"[value & 0xF];
    out += digits;
    out = put(out, "\r\n");
    out = put(out, piece);
    out = put(out, "\r\n");
  }
  if (!more_body) put(out, kLastChunk);
}

WsFrameHeader ws_frame_header(std::uint8_t opcode, std::uint64_t payload_length) noexcept {
  WsFrameHeader header;
  header.bytes[0] = static_cast<char>(0x80 | (opcode & 0x0F));
  std::size_t extended = 0;
  if (payload_length < 126) {
    header.bytes[1] = static_cast<char>(payload_length);
  } else if (payload_length < 65536) {
    header.bytes[1] = 126;
    extended = 2;
  } else {
    header.bytes[1] = 127;
    extended = 8;
  }
  for (std::size_t i = 0; i < extended; ++i)
    header.bytes[2 + i] = static_cast<char>((payload_length >> (8 * (extended - 1 - i))) & 0xFF);
  header.size = 2 + extended;
  return header;
}

std::size_t ws_frame_size(std::uint64_t payload_length) noexcept {
  const std::size_t header = payload_length < 126 ? 2 : payload_length < 65536 ? 4 : 10;
  return header + static_cast<std::size_t>(payload_length);
}

void write_ws_frame(std::uint8_t opcode, std::string_view payload, char* out) noexcept {
  const WsFrameHeader header = ws_frame_header(opcode, payload.size());
  out = put(out, {header.bytes.data(), header.size});
  put(out, payload);
}

CloseFrame close_frame(std::uint16_t code) noexcept {
  const char payload[2] = {static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
  CloseFrame frame{};
  write_ws_frame(8, {payload, 2}, frame.data());
  return frame;
}

}  // namespace tessaryne::http
