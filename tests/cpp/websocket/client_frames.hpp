#pragma once
// Client-side frame encoder for the tests: builds masked (or deliberately
// unmasked) frames with any opcode, FIN and length form.

#include <cstdint>
#include <string>
#include <string_view>

#include "core/websocket/unmask.hpp"

namespace tessaryne::testing {

struct ClientFrame {
  std::uint8_t opcode = 1;
  bool fin = true;
  bool masked = true;
  std::string payload;
  websocket::MaskKey key{0x12, 0x34, 0x56, 0x78};
  std::uint8_t first_byte_extra = 0;  // reserved bits to set
};

inline std::string encode(const ClientFrame& frame) {
  std::string out;
  out.push_back(static_cast<char>((frame.fin ? 0x80 : 0) | frame.first_byte_extra | (frame.opcode & 0x0F)));
  const std::uint64_t n = frame.payload.size();
  const char mask_bit = frame.masked ? char(0x80) : char(0);
  if (n < 126) {
    out.push_back(static_cast<char>(mask_bit | static_cast<char>(n)));
  } else if (n < 65536) {
    out.push_back(static_cast<char>(mask_bit | 126));
    out.push_back(static_cast<char>(n >> 8));
    out.push_back(static_cast<char>(n & 0xFF));
  } else {
    out.push_back(static_cast<char>(mask_bit | 127));
    for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<char>((n >> shift) & 0xFF));
  }
  if (!frame.masked) return out + frame.payload;
  for (std::uint8_t b : frame.key) out.push_back(static_cast<char>(b));
  for (std::size_t i = 0; i < n; ++i)
    out.push_back(static_cast<char>(static_cast<std::uint8_t>(frame.payload[i]) ^ frame.key[i % 4]));
  return out;
}

inline std::string bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

}  // namespace tessaryne::testing
