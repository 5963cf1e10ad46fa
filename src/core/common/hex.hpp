#pragma once
// Upper-case hexadecimal without leading zeros, the form chunk sizes take on
// the wire.

#include <bit>
#include <cstddef>
#include <cstdint>

namespace tessaryne::common {

// Number of hexadecimal digits of `value`: 1 for zero.
constexpr std::size_t hex_digit_count(std::uint64_t value) noexcept {
  return (static_cast<std::size_t>(std::bit_width(value | 1)) + 3) / 4;
}

// Writes exactly hex_digit_count(value) upper-case digits; returns their end.
constexpr char* put_upper_hex(std::uint64_t value, char* out) noexcept {
  char* const end = out + hex_digit_count(value);
  for (char* at = end; at != out; value >>= 4) *--at = "0123456789ABCDEF"[value & 0xF];
  return end;
}

}  // namespace tessaryne::common
