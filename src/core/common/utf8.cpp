#include "core/common/utf8.hpp"

#include <cstddef>
#include <cstring>

namespace tessaryne::common {

namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

// Index of the first byte at or after `i` that is not ASCII, or `n`. Reads
// 32 bytes, then 8, at a time: text is mostly ASCII and this is the hot loop.
std::size_t skip_ascii(const char* p, std::size_t i, std::size_t n) noexcept {
  for (; i + 32 <= n; i += 32) {
    std::uint64_t words[4];
    std::memcpy(words, p + i, 32);
    if (((words[0] | words[1] | words[2] | words[3]) & kHighBits) != 0) break;
  }
  for (; i + 8 <= n; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, p + i, 8);
    if ((word & kHighBits) != 0) break;
  }
  while (i < n && static_cast<std::uint8_t>(p[i]) < 0x80) ++i;
  return i;
}

}  // namespace

bool Utf8Validator::feed(std::string_view piece) noexcept {
  if (failed_) return false;
  const char* p = piece.data();
  const std::size_t n = piece.size();
  std::size_t i = 0;
  while (i < n) {
    const auto byte = static_cast<std::uint8_t>(p[i]);
    if (need_ != 0) {
      if (byte < low_ || byte > high_) {
        failed_ = true;
        return false;
      }
      --need_;
      low_ = 0x80;
      high_ = 0xBF;
      ++i;
      continue;
    }
    if (byte < 0x80) {
      i = skip_ascii(p, i + 1, n);
      continue;
    }
    ++i;
    if (byte < 0xC2) {  // a stray continuation byte, or the overlong C0/C1
      failed_ = true;
      return false;
    }
    if (byte < 0xE0) {
      need_ = 1;
    } else if (byte < 0xF0) {
      need_ = 2;
      if (byte == 0xE0) low_ = 0xA0;   // below: overlong
      if (byte == 0xED) high_ = 0x9F;  // above: surrogates
    } else if (byte < 0xF5) {
      need_ = 3;
      if (byte == 0xF0) low_ = 0x90;   // below: overlong
      if (byte == 0xF4) high_ = 0x8F;  // above: beyond U+10FFFF
    } else {
      failed_ = true;
      return false;
    }
  }
  return true;
}

bool is_valid_utf8(std::string_view text) noexcept {
  Utf8Validator validator;
  return validator.feed(text) && validator.complete();
}

}  // namespace tessaryne::common
