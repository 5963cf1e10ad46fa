#include "core/http/unicode_text.hpp"

#include <cstdint>
#include <cstring>

namespace tessaryne::http {
namespace {

constexpr bool is_white_space(char32_t c) noexcept {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

std::uint8_t byte_at(std::string_view text, std::size_t i) noexcept {
  return static_cast<std::uint8_t>(text[i]);
}

// Length of the sequence starting at `text[i]` (valid UTF-8 assumed) and its code point.
std::size_t decode(std::string_view text, std::size_t i, char32_t& code) noexcept {
  const std::uint8_t lead = byte_at(text, i);
  std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  code = length == 1 ? lead : length == 2 ? (lead & 0x1F) : length == 3 ? (lead & 0x0F) : (lead & 0x07);
  for (std::size_t k = 1; k < length; ++k) code = (code << 6) | (byte_at(text, i + k) & 0x3F);
  return length;
}

}  // namespace

bool utf8_valid(std::string_view text) noexcept {
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    // Runs of ASCII, eight bytes at a time.
    if (i + 8 <= n) {
      std::uint64_t word;
      std::memcpy(&word, text.data() + i, 8);
      if ((word & 0x8080808080808080ULL) == 0) {
        i += 8;
        continue;
      }
    }
    const std::uint8_t lead = byte_at(text, i);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length;
    std::uint8_t low = 0x80, high = 0xBF;  // bounds of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;   // overlong
      if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;   // overlong
      if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
      return false;
    }
    if (n - i < length) return false;
    const std::uint8_t second = byte_at(text, i + 1);
    if (second < low || second > high) return false;
    for (std::size_t k = 2; k < length; ++k)
      if ((byte_at(text, i + k) & 0xC0) != 0x80) return false;
    i += length;
  }
  return true;
}

std::string_view trim_white_space(std::string_view text) noexcept {
  char32_t code = 0;
  while (!text.empty()) {
    const std::size_t length = decode(text, 0, code);
    if (!is_white_space(code)) break;
    text.remove_prefix(length);
  }
  while (!text.empty()) {
    std::size_t start = text.size() - 1;
    while (start > 0 && (byte_at(text, start) & 0xC0) == 0x80) --start;
    decode(text, start, code);
    if (!is_white_space(code)) break;
    text.remove_suffix(text.size() - start);
  }
  return text;
}

}  // namespace tessaryne::http
