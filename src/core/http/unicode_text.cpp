#include "core/http/unicode_text.hpp"

#include <cstdint>

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
