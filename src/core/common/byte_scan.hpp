#pragma once
// Byte searches that read a machine word at a time.

#include <cstdint>
#include <cstring>
#include <string_view>

namespace tessaryne::common {

namespace detail {
constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighs = 0x8080808080808080ULL;

// Non-zero exactly when some byte of `word` equals `byte` (the classic
// has-zero-byte test applied to word XOR broadcast(byte); exact, no false hits).
constexpr std::uint64_t word_has_byte(std::uint64_t word, unsigned char byte) noexcept {
  const std::uint64_t x = word ^ (kOnes * byte);
  return (x - kOnes) & ~x & kHighs;
}
}  // namespace detail

// True when `byte` occurs in `text`. Inputs under 16 bytes take a byte loop,
// longer ones are read eight bytes at a time.
inline bool contains_byte(std::string_view text, unsigned char byte) noexcept {
  const char* p = text.data();
  std::size_t n = text.size();
  if (n < 16) {
    for (std::size_t i = 0; i < n; ++i)
      if (static_cast<unsigned char>(p[i]) == byte) return true;
    return false;
  }
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, p + i, 8);
    if (detail::word_has_byte(word, byte)) return true;
  }
  // The tail re-reads the last full word, overlapping bytes already checked.
  std::uint64_t word;
  std::memcpy(&word, p + n - 8, 8);
  return detail::word_has_byte(word, byte) != 0;
}

inline bool contains_cr_or_lf(std::string_view text) noexcept {
  return contains_byte(text, '\r') || contains_byte(text, '\n');
}

constexpr char ascii_lower(char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

// ASCII case-insensitive equality against an already lower-case literal.
constexpr bool equals_lowercase(std::string_view text, std::string_view lower) noexcept {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i)
    if (ascii_lower(text[i]) != lower[i]) return false;
  return true;
}

}  // namespace tessaryne::common
