#include "core/websocket/unmask.hpp"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TESSARYNE_X86 1
#else
#define TESSARYNE_X86 0
#endif

namespace tessaryne::websocket {

namespace {

// The key repeated in memory order starting at key byte `phase` (for phase 0:
// bytes 0,1,2,3,0,1,2,3), so a word XORs eight payload bytes at once. Every
// block width used below is a multiple of four, so once a loop starts at a
// given phase it keeps it.
std::uint64_t key_word(MaskKey key, std::size_t phase = 0) noexcept {
  std::uint8_t repeated[8];
  for (std::size_t i = 0; i < 8; ++i) repeated[i] = key[(phase + i) % 4];
  std::uint64_t word;
  std::memcpy(&word, repeated, 8);
  return word;
}

// Words of eight, then single bytes, from `i` on (payload byte i takes key
// byte i mod 4 throughout).
void unmask_tail(const char* in, char* out, std::size_t i, std::size_t length, MaskKey key) noexcept {
  const std::uint64_t word_key = key_word(key, i % 4);
  for (; i + 8 <= length; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, in + i, 8);
    word ^= word_key;
    std::memcpy(out + i, &word, 8);
  }
  for (; i < length; ++i) out[i] = static_cast<char>(static_cast<std::uint8_t>(in[i]) ^ key[i % 4]);
}

// Bytes to handle one by one so that the output reaches an `alignment`
// boundary; 0 for short payloads, where it does not pay.
std::size_t head_to_align(const char* out, std::size_t length, std::size_t alignment) noexcept {
  if (length < 4 * alignment) return 0;
  return (alignment - (reinterpret_cast<std::uintptr_t>(out) & (alignment - 1))) & (alignment - 1);
}

void unmask_head(const char* in, char* out, std::size_t head, MaskKey key) noexcept {
  for (std::size_t i = 0; i < head; ++i) out[i] = static_cast<char>(static_cast<std::uint8_t>(in[i]) ^ key[i % 4]);
}

void unmask_scalar(const char* in, char* out, std::size_t length, MaskKey key) noexcept {
  const std::uint64_t word_key = key_word(key);
  std::size_t i = 0;
  for (; i + 32 <= length; i += 32) {
    std::uint64_t words[4];
    std::memcpy(words, in + i, 32);
    for (std::uint64_t& word : words) word ^= word_key;
    std::memcpy(out + i, words, 32);
  }
  unmask_tail(in, out, i, length, key);
}

#if TESSARYNE_X86
__attribute__((target("sse2"))) void unmask_sse2(const char* in, char* out, std::size_t length, MaskKey key) noexcept {
  // Aligned stores never split a cache line.
  std::size_t i = head_to_align(out, length, 16);
  unmask_head(in, out, i, key);
  const __m128i vector_key = _mm_set1_epi64x(static_cast<long long>(key_word(key, i % 4)));
  for (; i + 64 <= length; i += 64) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i + 16));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i + 32));
    const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i + 48));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_xor_si128(a, vector_key));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 16), _mm_xor_si128(b, vector_key));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 32), _mm_xor_si128(c, vector_key));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 48), _mm_xor_si128(d, vector_key));
  }
  for (; i + 16 <= length; i += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_xor_si128(a, vector_key));
  }
  unmask_tail(in, out, i, length, key);
}

__attribute__((target("avx2"))) void unmask_avx2(const char* in, char* out, std::size_t length, MaskKey key) noexcept {
  // Aligned stores never split a cache line.
  std::size_t i = head_to_align(out, length, 32);
  unmask_head(in, out, i, key);
  const __m256i vector_key = _mm256_set1_epi64x(static_cast<long long>(key_word(key, i % 4)));
  // Four loads before four stores keep the pipeline busy on long payloads.
  for (; i + 128 <= length; i += 128) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i + 32));
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i + 64));
    const __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i + 96));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_xor_si256(a, vector_key));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i + 32), _mm256_xor_si256(b, vector_key));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i + 64), _mm256_xor_si256(c, vector_key));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i + 96), _mm256_xor_si256(d, vector_key));
  }
  for (; i + 32 <= length; i += 32) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_xor_si256(a, vector_key));
  }
  unmask_tail(in, out, i, length, key);
}
#endif

using UnmaskFunction = void (*)(const char*, char*, std::size_t, MaskKey) noexcept;

UnmaskFunction unmask_function(common::KernelFamily family) noexcept {
#if TESSARYNE_X86
  switch (common::usable_kernel_family(family)) {
    case common::KernelFamily::avx2:
      return unmask_avx2;
    case common::KernelFamily::sse:
      return unmask_sse2;
    case common::KernelFamily::scalar:
      break;
  }
#else
  (void)family;
#endif
  return unmask_scalar;
}

// Below this the vector set-up costs more than it saves.
constexpr std::size_t kShortPayload = 32;

}  // namespace

void unmask(const char* in, char* out, std::size_t length, MaskKey key) noexcept {
  if (length < kShortPayload) {
    unmask_tail(in, out, 0, length, key);
    return;
  }
  static const UnmaskFunction chosen = unmask_function(common::chosen_kernel_family());
  chosen(in, out, length, key);
}

void unmask_with(common::KernelFamily family, const char* in, char* out, std::size_t length, MaskKey key) noexcept {
  unmask_function(family)(in, out, length, key);
}

}  // namespace tessaryne::websocket
