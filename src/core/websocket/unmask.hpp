#pragma once
// WebSocket payload masking: out[i] = in[i] XOR key[i mod 4].

#include <array>
#include <cstddef>
#include <cstdint>

namespace tessaryne::websocket {

using MaskKey = std::array<std::uint8_t, 4>;

// `in` and `out` hold `length` bytes each and may be the same buffer.
void unmask(const char* in, char* out, std::size_t length, MaskKey key) noexcept;

}  // namespace tessaryne::websocket
