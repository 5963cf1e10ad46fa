#pragma once
// Hexadecimal: upper-case without leading zeros, the form chunk sizes take on
// the wire; and the value of one digit, either case, as paths and addresses
// write them.

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

// The value of a hexadecimal digit of either case, or -1.
constexpr int hex_digit_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace tessaryne::common
