#include "core/http/head_tokenizer.hpp"

#include <array>
#include <cstring>
#include <optional>

#include "core/common/header_value.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TESSARYNE_X86 1
#endif

namespace tessaryne::http {
namespace {

using ByteTable = std::array<bool, 256>;

template <class Predicate>
constexpr ByteTable make_table(Predicate predicate) {
  ByteTable table{};
  for (unsigned c = 0; c < 256; ++c) table[c] = predicate(c);
  return table;
}

// The bytes of names and values as every other reader of header fields sees them.
constexpr ByteTable kToken = make_table([](unsigned c) { return common::is_token_char(static_cast<char>(c)); });
constexpr ByteTable kTarget = make_table([](unsigned c) { return (c >= 0x21 && c <= 0x7E) || c >= 0x80; });
constexpr ByteTable kValue = make_table([](unsigned c) { return common::is_field_value_byte(static_cast<char>(c)); });

// A byte class as two 16-entry tables indexed by the low and the high nibble:
// a byte belongs to the class when lo[low] & hi[high] is non-zero. Every
// distinct pattern of members within a row of 16 bytes gets its own bit, so
// the test is exact as long as there are at most eight such patterns. Two
// byte shuffles then classify 16 or 32 bytes at once.
struct NibbleTables {
  std::array<unsigned char, 16> lo{};
  std::array<unsigned char, 16> hi{};
};

constexpr NibbleTables make_nibble_tables(const ByteTable& table) {
  NibbleTables out;
  std::array<unsigned, 8> patterns{};
  unsigned used = 0;
  for (unsigned high = 0; high < 16; ++high) {
    unsigned row = 0;
    for (unsigned low = 0; low < 16; ++low)
      if (table[high * 16 + low]) row |= 1U << low;
    if (row == 0) continue;
    unsigned bit = 0;
    while (bit < used && patterns[bit] != row) ++bit;
    if (bit == patterns.size()) continue;  // out of bits: the check below then fails
    if (bit == used) patterns[used++] = row;
    out.hi[high] = static_cast<unsigned char>(out.hi[high] | (1U << bit));
    for (unsigned low = 0; low < 16; ++low)
      if (row & (1U << low)) out.lo[low] = static_cast<unsigned char>(out.lo[low] | (1U << bit));
  }
  return out;
}

constexpr bool nibble_tables_match(const NibbleTables& nibbles, const ByteTable& table) {
  for (unsigned c = 0; c < 256; ++c)
    if (((nibbles.lo[c & 15] & nibbles.hi[c >> 4]) != 0) != table[c]) return false;
  return true;
}

// Also fails to compile when a class needs more than eight bits.
constexpr NibbleTables kTokenNibbles = make_nibble_tables(kToken);
constexpr NibbleTables kValueNibbles = make_nibble_tables(kValue);
static_assert(nibble_tables_match(kTokenNibbles, kToken));
static_assert(nibble_tables_match(kValueNibbles, kValue));

// The index of the first byte of p[0, n) outside the class, or n.
std::size_t scalar_scan(const ByteTable& table, const unsigned char* p, std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i)
    if (!table[p[i]]) return i;
  return n;
}
// Out of line, as the scans always were, and at a fixed alignment: the
// bytewise kernel's speed swings widely with where these loops fall.
[[gnu::noinline, gnu::aligned(64)]] std::size_t scalar_target(const unsigned char* p, std::size_t n) noexcept {
  return scalar_scan(kTarget, p, n);
}
[[gnu::noinline, gnu::aligned(64)]] std::size_t scalar_value(const unsigned char* p, std::size_t n) noexcept {
  return scalar_scan(kValue, p, n);
}

#ifdef TESSARYNE_X86
// Target bytes exclude "low" bytes (<= 0x20) and DEL and include every byte
// >= 0x80. An unsigned minimum against the bound tells "v <= 0x20" without a
// signed-compare trick.

__attribute__((target("sse4.2"))) unsigned target_mask_16(const unsigned char* p) noexcept {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x20)), v);
  const __m128i del = _mm_cmpeq_epi8(v, _mm_set1_epi8(0x7F));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(low, del)));
}

__attribute__((target("avx2"))) unsigned target_mask_32(const unsigned char* p) noexcept {
  const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  const __m256i low = _mm256_cmpeq_epi8(_mm256_min_epu8(v, _mm256_set1_epi8(0x20)), v);
  const __m256i del = _mm256_cmpeq_epi8(v, _mm256_set1_epi8(0x7F));
  return static_cast<unsigned>(_mm256_movemask_epi8(_mm256_or_si256(low, del)));
}

// Whole vectors only, so nothing past p[n - 1] is read; the short tail goes
// through the scalar table.
std::size_t sse_target(const unsigned char* p, std::size_t n) noexcept {
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16)
    if (const unsigned mask = target_mask_16(p + i)) return i + static_cast<std::size_t>(__builtin_ctz(mask));
  return i + scalar_scan(kTarget, p + i, n - i);
}

// 64-byte windows for the head walker. Bit k of a mask describes byte k of
// the window: set when the byte ends a header name (not a token byte) or a
// header value (not a value byte, so CR and LF too).
struct WindowMasks {
  std::uint64_t name_stops;
  std::uint64_t value_stops;
};

// Bytes whose nibbles, looked up in a class's tables, share no bit: the
// bytes outside that class.
__attribute__((target("sse4.2"))) std::uint64_t outside_16(__m128i low, __m128i high, __m128i lo_table,
                                                           __m128i hi_table) noexcept {
  const __m128i bits = _mm_and_si128(_mm_shuffle_epi8(lo_table, low), _mm_shuffle_epi8(hi_table, high));
  return static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bits, _mm_setzero_si128())));
}

__attribute__((target("sse4.2"))) __m128i load_16(const std::array<unsigned char, 16>& table) noexcept {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(table.data()));
}

__attribute__((target("avx2,bmi,bmi2"))) std::uint64_t outside_32(__m256i low, __m256i high, __m256i lo_table,
                                                                  __m256i hi_table) noexcept {
  const __m256i bits = _mm256_and_si256(_mm256_shuffle_epi8(lo_table, low), _mm256_shuffle_epi8(hi_table, high));
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(bits, _mm256_setzero_si256())));
}

__attribute__((target("avx2,bmi,bmi2"))) __m256i load_32(const std::array<unsigned char, 16>& table) noexcept {
  return _mm256_broadcastsi128_si256(load_16(table));
}

// The vector kernels of the head walker below: a classifier of 64-byte
// windows and the target scan, each compiled for its instruction set. The
// tables live in the kernel object, set up once per head rather than at
// every window.
class SseKernel {
 public:
  __attribute__((target("sse4.2"))) SseKernel() noexcept
      : nibble_(_mm_set1_epi8(0x0F)),
        token_lo_(load_16(kTokenNibbles.lo)),
        token_hi_(load_16(kTokenNibbles.hi)),
        value_lo_(load_16(kValueNibbles.lo)),
        value_hi_(load_16(kValueNibbles.hi)) {}

  __attribute__((target("sse4.2"))) WindowMasks window(const unsigned char* p) const noexcept {
    WindowMasks masks{0, 0};
    for (std::size_t part = 0; part < 4; ++part) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * part));
      const __m128i low = _mm_and_si128(v, nibble_);
      const __m128i high = _mm_and_si128(_mm_srli_epi16(v, 4), nibble_);
      masks.name_stops |= outside_16(low, high, token_lo_, token_hi_) << (16 * part);
      masks.value_stops |= outside_16(low, high, value_lo_, value_hi_) << (16 * part);
    }
    return masks;
  }

  __attribute__((target("sse4.2"))) static std::size_t target(const unsigned char* p, std::size_t n) noexcept {
    return sse_target(p, n);
  }

 private:
  __m128i nibble_, token_lo_, token_hi_, value_lo_, value_hi_;
};

class Avx2Kernel {
 public:
  __attribute__((target("avx2,bmi,bmi2"))) Avx2Kernel() noexcept
      : nibble_(_mm256_set1_epi8(0x0F)),
        token_lo_(load_32(kTokenNibbles.lo)),
        token_hi_(load_32(kTokenNibbles.hi)),
        value_lo_(load_32(kValueNibbles.lo)),
        value_hi_(load_32(kValueNibbles.hi)) {}

  __attribute__((target("avx2,bmi,bmi2"))) WindowMasks window(const unsigned char* p) const noexcept {
    const __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i second = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    const __m256i first_low = _mm256_and_si256(first, nibble_);
    const __m256i first_high = _mm256_and_si256(_mm256_srli_epi16(first, 4), nibble_);
    const __m256i second_low = _mm256_and_si256(second, nibble_);
    const __m256i second_high = _mm256_and_si256(_mm256_srli_epi16(second, 4), nibble_);
    return {outside_32(first_low, first_high, token_lo_, token_hi_) |
                (outside_32(second_low, second_high, token_lo_, token_hi_) << 32),
            outside_32(first_low, first_high, value_lo_, value_hi_) |
                (outside_32(second_low, second_high, value_lo_, value_hi_) << 32)};
  }

  __attribute__((target("avx2,bmi,bmi2"))) static std::size_t target(const unsigned char* p, std::size_t n) noexcept {
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32)
      if (const unsigned mask = target_mask_32(p + i)) return i + static_cast<std::size_t>(__builtin_ctz(mask));
    return i + sse_target(p + i, n - i);
  }

 private:
  __m256i nibble_, token_lo_, token_hi_, value_lo_, value_hi_;
};

#endif

constexpr HeadResult kPartial{HeadStatus::partial, HeadError::none};
constexpr HeadResult failure(HeadError error) { return {HeadStatus::error, error}; }

// What stands at a position where a line may end.
enum class LineEnd : std::uint8_t {
  taken,    // CR LF or a bare LF, now consumed
  absent,   // another byte, not consumed
  partial,  // the input ends there, or after a CR
  bare_cr,  // a CR followed by something else than LF
};

// The one reading of line ends for every kernel; `i` may equal `n`.
[[gnu::always_inline]] inline LineEnd take_line_end(const unsigned char* p, std::size_t n, std::size_t& i) noexcept {
  if (i == n) return LineEnd::partial;
  if (p[i] == '\r') {  // the usual line end first
    if (i + 1 == n) return LineEnd::partial;
    if (p[i + 1] != '\n') return LineEnd::bare_cr;
    i += 2;
    return LineEnd::taken;
  }
  if (p[i] != '\n') return LineEnd::absent;
  ++i;
  return LineEnd::taken;
}

// The result for a line end that was not taken: partial, or else `error`.
constexpr HeadResult stop_at(LineEnd end, HeadError error) {
  return end == LineEnd::partial ? kPartial : failure(error);
}

// Pieces of the request line that every kernel reads the same way. Each
// returns nothing to go on, or the result the tokenizer must return.

// Skips the empty lines (CRLF or bare LF) allowed before the request line.
[[gnu::always_inline]] inline std::optional<HeadResult> skip_empty_lines(const unsigned char* p, std::size_t n,
                                                                         std::size_t& i) noexcept {
  for (;;) {
    const LineEnd end = take_line_end(p, n, i);
    if (end == LineEnd::absent) return std::nullopt;
    if (end != LineEnd::taken) return stop_at(end, HeadError::new_line);
  }
}

// Reads "HTTP/1.0" or "HTTP/1.1" and the line end after it.
[[gnu::always_inline]] inline std::optional<HeadResult> read_version_line(const unsigned char* p, std::size_t n,
                                                                          std::size_t& i, RequestHead& head) noexcept {
  constexpr std::string_view kVersionPrefix = "HTTP/1.";
  if (n - i >= 8 && std::memcmp(p + i, kVersionPrefix.data(), kVersionPrefix.size()) == 0) {
    i += kVersionPrefix.size();
  } else {
    for (const char expected : kVersionPrefix) {
      if (i == n) return kPartial;
      if (p[i++] != static_cast<unsigned char>(expected)) return failure(HeadError::version);
    }
    if (i == n) return kPartial;
  }
  if (p[i] != '0' && p[i] != '1') return failure(HeadError::version);
  head.minor_version = static_cast<std::uint8_t>(p[i++] - '0');
  const LineEnd end = take_line_end(p, n, i);
  if (end == LineEnd::taken) return std::nullopt;
  // "HTTP/1.10", "HTTP/1.1 " and the like
  return stop_at(end, end == LineEnd::absent ? HeadError::version : HeadError::new_line);
}

// The bytewise kernel: the reference the vector kernels are compared with.
// Inlined where it is called, so short heads take no extra call.
[[gnu::always_inline]] inline HeadResult tokenize_scalar(std::string_view input, std::span<HeaderLine> slots,
                                                         RequestHead& head) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(input.data());
  const std::size_t n = input.size();
  std::size_t i = 0;
  auto view = [&](std::size_t from, std::size_t to) { return std::string_view(input.data() + from, to - from); };

  // Empty lines before the request line.
  if (const auto stop = skip_empty_lines(p, n, i)) return *stop;

  std::size_t start = i;
  while (i < n && kToken[p[i]]) ++i;
  if (i == n) return kPartial;
  if (i == start || p[i] != ' ') return failure(HeadError::token);
  head.method = view(start, i++);

  start = i;
  i += scalar_target(p + i, n - i);
  if (i == n) return kPartial;
  if (i == start || p[i] != ' ') return failure(HeadError::token);
  head.target = view(start, i++);

  if (const auto stop = read_version_line(p, n, i, head)) return *stop;

  std::size_t count = 0;
  for (;;) {
    // The empty line that ends the head, or else another header line.
    const LineEnd empty_line = take_line_end(p, n, i);
    if (empty_line == LineEnd::taken) break;
    if (empty_line != LineEnd::absent) return stop_at(empty_line, HeadError::new_line);
    // A byte that starts another header line: there must be a slot for it.
    if (count == slots.size()) return failure(HeadError::too_many_headers);

    start = i;
    while (i < n && kToken[p[i]]) ++i;
    if (i == n) return kPartial;
    // Also refuses whitespace before the colon and folded continuation lines.
    if (i == start || p[i] != ':') return failure(HeadError::header_name);
    const std::string_view name = view(start, i++);

    while (i < n && (p[i] == ' ' || p[i] == '\t')) ++i;
    start = i;
    i += scalar_value(p + i, n - i);
    std::size_t end = i;
    // A bare CR inside a value, or a byte that is no value byte.
    if (const LineEnd line_end = take_line_end(p, n, i); line_end != LineEnd::taken)
      return stop_at(line_end, HeadError::header_value);
    while (end > start && (p[end - 1] == ' ' || p[end - 1] == '\t')) --end;
    slots[count++] = HeaderLine{name, view(start, end)};
  }
  head.header_count = count;
  head.length = i;
  return {HeadStatus::complete, HeadError::none};
}

#ifdef TESSARYNE_X86
// The positions where header names and values stop, one 64-byte window at a
// time. Bytes past the end of the input count as stops in both masks, so a
// search never runs off the input and lands exactly on its end instead. The
// input must be at least 64 bytes long: every window is then a plain load.
template <class K>
class Windows {
 public:
  Windows(const unsigned char* p, std::size_t n, std::size_t first) noexcept : p_(p), n_(n) { load(first); }

  // The first position at or after `from` (which must not exceed the input
  // size) that is not a token byte; the input size when there is none.
  std::size_t name_stop(std::size_t from) noexcept { return next(from, &WindowMasks::name_stops); }
  // Likewise for value bytes.
  std::size_t value_stop(std::size_t from) noexcept { return next(from, &WindowMasks::value_stops); }

 private:
  std::size_t next(std::size_t from, std::uint64_t WindowMasks::* which) noexcept {
    // Usually the stop is in the window at hand.
    if (const std::size_t offset = from - base_; offset < 64) [[likely]] {
      if (const std::uint64_t rest = masks_.*which >> offset) [[likely]]
        return from + static_cast<std::size_t>(__builtin_ctzll(rest));
      from = base_ + 64;
    }
    for (;;) {
      load(from);
      if (const std::uint64_t rest = masks_.*which) return from + static_cast<std::size_t>(__builtin_ctzll(rest));
      from += 64;
    }
  }

  void load(std::size_t at) noexcept {
    base_ = at;
    const std::size_t left = n_ - at;
    if (left >= 64) {
      masks_ = kernel_.window(p_ + at);
      return;
    }
    // The last 64 bytes of the input, shifted so that bit 0 is `at`; never
    // a read past the input.
    masks_ = kernel_.window(p_ + n_ - 64);
    const std::size_t shift = 64 - left;  // 1..64
    const std::uint64_t past_end = left == 0 ? ~std::uint64_t{0} : ~std::uint64_t{0} << left;
    masks_.name_stops = (shift == 64 ? 0 : masks_.name_stops >> shift) | past_end;
    masks_.value_stops = (shift == 64 ? 0 : masks_.value_stops >> shift) | past_end;
  }

  K kernel_;
  const unsigned char* p_;
  std::size_t n_;
  std::size_t base_ = 0;
  WindowMasks masks_{};
};

// The vector tokenizer: the same decisions in the same order as
// tokenize_scalar, but names and values end where the window masks say, found
// with a count of trailing zeros instead of a scan per field. Inlined into
// one function per instruction set, so the kernel code is inlined as well.
template <class K>
[[gnu::always_inline]] inline HeadResult walk(std::string_view input, std::span<HeaderLine> slots,
                                              RequestHead& head) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(input.data());
  const std::size_t n = input.size();
  std::size_t i = 0;
  auto view = [&](std::size_t from, std::size_t to) { return std::string_view(input.data() + from, to - from); };

  if (const auto stop = skip_empty_lines(p, n, i)) return *stop;

  Windows<K> windows(p, n, i);

  std::size_t start = i;
  i = windows.name_stop(i);
  if (i == n) return kPartial;
  if (i == start || p[i] != ' ') return failure(HeadError::token);
  head.method = view(start, i++);

  start = i;
  i += K::target(p + i, n - i);
  if (i == n) return kPartial;
  if (i == start || p[i] != ' ') return failure(HeadError::token);
  head.target = view(start, i++);

  if (const auto stop = read_version_line(p, n, i, head)) return *stop;

  std::size_t count = 0;
  for (;;) {
    start = i;
    i = windows.name_stop(i);
    if (i == start) {
      // The line starts with a byte that cannot start a name: the end of the
      // head, or else an error.
      const LineEnd empty_line = take_line_end(p, n, i);
      if (empty_line == LineEnd::taken) break;
      if (empty_line != LineEnd::absent) return stop_at(empty_line, HeadError::new_line);
    }
    // A byte that starts another header line: there must be a slot for it.
    if (count == slots.size()) return failure(HeadError::too_many_headers);
    if (i == n) return kPartial;
    if (i == start || p[i] != ':') return failure(HeadError::header_name);
    const std::string_view name = view(start, i++);

    // Spaces and tabs are value bytes, so the value ends at the same stop
    // with or without the leading ones; they are skipped afterwards.
    start = i;
    i = windows.value_stop(i);
    while (start < i && (p[start] == ' ' || p[start] == '\t')) ++start;
    std::size_t end = i;
    if (const LineEnd line_end = take_line_end(p, n, i); line_end != LineEnd::taken)
      return stop_at(line_end, HeadError::header_value);
    while (end > start && (p[end - 1] == ' ' || p[end - 1] == '\t')) --end;
    slots[count++] = HeaderLine{name, view(start, end)};
  }
  head.header_count = count;
  head.length = i;
  return {HeadStatus::complete, HeadError::none};
}

// Flattened: everything the walker calls is inlined, the window classifier
// included, which a heuristic might otherwise keep out of line.
__attribute__((target("sse4.2"), flatten)) HeadResult tokenize_sse(std::string_view input, std::span<HeaderLine> slots,
                                                                   RequestHead& head) noexcept {
  return walk<SseKernel>(input, slots, head);
}

__attribute__((target("avx2,bmi,bmi2"), flatten)) HeadResult tokenize_avx2(std::string_view input,
                                                                           std::span<HeaderLine> slots,
                                                                           RequestHead& head) noexcept {
  return walk<Avx2Kernel>(input, slots, head);
}
#endif

// `family` must be available.
[[gnu::always_inline]] inline HeadResult tokenize_in(common::KernelFamily family, std::string_view input,
                                                     std::span<HeaderLine> slots, RequestHead& head) noexcept {
#ifdef TESSARYNE_X86
  // Shorter heads fit no window; bytewise is as quick for them.
  if (input.size() >= 64) {
    switch (family) {
      case common::KernelFamily::avx2:
        return tokenize_avx2(input, slots, head);
      case common::KernelFamily::sse:
        return tokenize_sse(input, slots, head);
      case common::KernelFamily::scalar:
        break;
    }
  }
#else
  (void)family;
#endif
  return tokenize_scalar(input, slots, head);
}

}  // namespace

std::string_view reason_text(HeadError error) noexcept {
  switch (error) {
    case HeadError::token:
      return "invalid token";
    case HeadError::version:
      return "invalid HTTP version";
    case HeadError::header_name:
      return "invalid header name";
    case HeadError::header_value:
      return "invalid header value";
    case HeadError::new_line:
      return "invalid new line";
    case HeadError::too_many_headers:
      return "too many headers";
    case HeadError::none:
      break;
  }
  return "";
}

HeadResult tokenize_head(std::string_view input, std::span<HeaderLine> slots, RequestHead& head) noexcept {
  static const common::KernelFamily chosen = common::chosen_kernel_family();
  return tokenize_in(chosen, input, slots, head);
}

HeadResult tokenize_head(std::string_view input, std::span<HeaderLine> slots, RequestHead& head,
                         common::KernelFamily family) noexcept {
  return tokenize_in(common::usable_kernel_family(family), input, slots, head);
}

}  // namespace tessaryne::http
