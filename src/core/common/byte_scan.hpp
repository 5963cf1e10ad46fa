#pragma once
// Byte searches that read a machine word at a time.

#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Word-at-a-time search: true when any of `bytes` occurs in `text`, testing
// eight bytes per step for every wanted byte at once. Texts under eight bytes
// are gathered into one word with fixed-size loads (overlapping where needed);
// the unused bytes are zero, so a wanted zero byte is checked bytewise instead.
template <unsigned char... Bytes>
bool contains_any_words(std::string_view text) noexcept {
  const char* p = text.data();
  const std::size_t n = text.size();
  auto hit = [](std::uint64_t word) { return (detail::word_has_byte(word, Bytes) | ...) != 0; };
  auto word_at = [p](std::size_t at) {
    std::uint64_t word;
    std::memcpy(&word, p + at, 8);
    return word;
  };
  if (n < 8) {
    if constexpr (((Bytes == 0) || ...)) {
      for (std::size_t i = 0; i < n; ++i)
        if (((static_cast<unsigned char>(p[i]) == Bytes) || ...)) return true;
      return false;
    } else {
      auto byte = [p](std::size_t at) { return std::uint64_t{static_cast<unsigned char>(p[at])}; };
      if (n >= 4) {
        std::uint32_t head;
        std::uint32_t tail;
        std::memcpy(&head, p, 4);
        std::memcpy(&tail, p + n - 4, 4);
        return hit(head | (std::uint64_t{tail} << 32));
      }
      if (n == 0) return false;
      return hit(byte(0) | (byte(n / 2) << 8) | (byte(n - 1) << 16));
    }
  }
  for (std::size_t i = 0; i + 8 <= n; i += 8)
    if (hit(word_at(i))) return true;
  return hit(word_at(n - 8));  // the tail re-reads bytes already checked
}

#if defined(__SSE2__)
// Sixteen bytes per step (SSE2 is part of every x86-64 CPU); the last block
// overlaps bytes already checked. Texts under eight bytes take the word path.
template <unsigned char... Bytes>
bool contains_any_sse2(std::string_view text) noexcept {
  const char* p = text.data();
  const std::size_t n = text.size();
  auto found = [](__m128i block) {
    return _mm_movemask_epi8((_mm_cmpeq_epi8(block, _mm_set1_epi8(static_cast<char>(Bytes))) | ...)) != 0;
  };
  if (n < 16) {
    // 8 to 15 bytes: two overlapping 8-byte loads fill one vector.
    if (n < 8) return contains_any_words<Bytes...>(text);
    const __m128i head = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
    const __m128i tail = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + n - 8));
    return found(_mm_unpacklo_epi64(head, tail));
  }
  auto block_at = [p](std::size_t at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at)); };
  for (std::size_t i = 0; i + 16 <= n; i += 16)
    if (found(block_at(i))) return true;
  return found(block_at(n - 16));
}
#endif

template <unsigned char... Bytes>
bool contains_any(std::string_view text) noexcept {
#if defined(__SSE2__)
  return contains_any_sse2<Bytes...>(text);
#else
  return contains_any_words<Bytes...>(text);
#endif
}

inline bool contains_cr_or_lf(std::string_view text) noexcept { return contains_any<'\r', '\n'>(text); }

constexpr char ascii_lower(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }
constexpr char ascii_upper(char c) noexcept { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - ('a' - 'A')) : c; }

// ASCII case-insensitive equality against an already lower-case literal.
constexpr bool equals_lowercase(std::string_view text, std::string_view lower) noexcept {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i)
    if (ascii_lower(text[i]) != lower[i]) return false;
  return true;
}

// ASCII case-insensitive equality of two texts (header names).
constexpr bool equals_ignoring_case(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  return true;
}

// ASCII case-insensitive substring search for an already lower-case needle.
constexpr bool contains_lowercase(std::string_view haystack, std::string_view lower_needle) noexcept {
  for (std::size_t i = 0; i + lower_needle.size() <= haystack.size(); ++i)
    if (equals_lowercase(haystack.substr(i, lower_needle.size()), lower_needle)) return true;
  return false;
}

}  // namespace tessaryne::common
