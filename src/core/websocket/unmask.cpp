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

// The key repeated in memory order (bytes 0,1,2,3,0,1,2,3), so a word XORs
// eight payload bytes at once; every block width used below is a multiple of
// four, so the key phase at the start of each block is always byte 0.
std::uint64_t key_word(MaskKey key) noexcept {
  std::uint32_t half;
  std::memcpy(&half, key.data(), 4);
  std::uint64_t word;
  const std::uint32_t halves[2] = {half, half};
  std::memcpy(&word, halves, 8);
  return word;
}

// Words of eight, then single bytes; `i` is where the caller stopped.
void unmask_tail(const char* in, char* out, std::size_t i, std::size_t length, MaskKey key,
                 std::uint64_t word_key) noexcept {
  for (; i + 8 <= length; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, in + i, 8);
    word ^= word_key;
    std::memcpy(out + i, &word, 8);
  }
  for (; i < length; ++i) out[i] = static_cast<char>(static_cast<std::uint8_t>(in[i]) ^ key[i % 4]);
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
  unmask_tail(in, out, i, length, key, word_key);
}

#if TESSARYNE_X86
__attribute__((target("sse2"))) void unmask_sse2(const char* in, char* out, std::size_t length,
                                                  MaskKey key) noexcept {
  const std::uint64_t word_key = key_word(key);
  const __m128i vector_key = _mm_set1_epi64x(static_cast<long long>(word_key));
  std::size_t i = 0;
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
  unmask_tail(in, out, i, length, key, word_key);
}

__attribute__((target("avx2"))) void unmask_avx2(const char* in, char* out, std::size_t length,
                                                  MaskKey key) noexcept {
  const std::uint64_t word_key = key_word(key);
  const __m256i vector_key = _mm256_set1_epi64x(static_cast<long long>(word_key));
  std::size_t i = 0;
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
  unmask_tail(in, out, i, length, key, word_key);
}
#endif

using UnmaskFunction = void (*)(const char*, char*, std::size_t, MaskKey) noexcept;

UnmaskFunction function_for(UnmaskPath path) noexcept {
#if TESSARYNE_X86
  if (unmask_path_supported(path)) {
    if (path == UnmaskPath::avx2) return unmask_avx2;
    if (path == UnmaskPath::sse2) return unmask_sse2;
  }
#else
  (void)path;
#endif
  return unmask_scalar;
}

// Below this the vector set-up costs more than it saves.
constexpr std::size_t kShortPayload = 32;

}  // namespace

bool unmask_path_supported(UnmaskPath path) noexcept {
  switch (path) {
    case UnmaskPath::scalar: return true;
#if TESSARYNE_X86
    case UnmaskPath::sse2: return __builtin_cpu_supports("sse2") != 0;
    case UnmaskPath::avx2: return __builtin_cpu_supports("avx2") != 0;
#else
    default: return false;
#endif
  }
  return false;
}

UnmaskPath best_unmask_path() noexcept {
  static const UnmaskPath best = [] {
    if (unmask_path_supported(UnmaskPath::avx2)) return UnmaskPath::avx2;
    if (unmask_path_supported(UnmaskPath::sse2)) return UnmaskPath::sse2;
    return UnmaskPath::scalar;
  }();
  return best;
}

void unmask(const char* in, char* out, std::size_t length, MaskKey key) noexcept {
  if (length < kShortPayload) {
    unmask_tail(in, out, 0, length, key, key_word(key));
    return;
  }
  static const UnmaskFunction best = function_for(best_unmask_path());
  best(in, out, length, key);
}

void unmask_with(UnmaskPath path, const char* in, char* out, std::size_t length, MaskKey key) noexcept {
  function_for(path)(in, out, length, key);
}

}  // namespace tessaryne::websocket
