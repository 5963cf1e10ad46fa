#include "core/http/head_tokenizer.hpp"

#include <array>

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

constexpr bool is_token_byte(unsigned c) {
  if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  return c < 0x80 && std::string_view("!#$%&'*+-.^_|~`").find(static_cast<char>(c)) != std::string_view::npos;
}

constexpr ByteTable kToken = make_table(is_token_byte);
constexpr ByteTable kTarget = make_table([](unsigned c) { return (c >= 0x21 && c <= 0x7E) || c >= 0x80; });
constexpr ByteTable kValue = make_table([](unsigned c) { return c == '\t' || (c >= 0x20 && c != 0x7F); });

using Scan = std::size_t (*)(const unsigned char*, std::size_t) noexcept;

std::size_t scalar_scan(const ByteTable& table, const unsigned char* p, std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i)
    if (!table[p[i]]) return i;
  return n;
}
std::size_t scalar_target(const unsigned char* p, std::size_t n) noexcept { return scalar_scan(kTarget, p, n); }
std::size_t scalar_value(const unsigned char* p, std::size_t n) noexcept { return scalar_scan(kValue, p, n); }

#ifdef TESSARYNE_X86
// Both classes reject "low" bytes (<= 0x20 for targets, <= 0x1F except tab for
// values) and DEL, and accept every byte >= 0x80. An unsigned minimum against
// the bound tells "v <= bound" without a signed-compare trick.

__attribute__((target("sse4.2"))) unsigned target_mask_16(const unsigned char* p) noexcept {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x20)), v);
  const __m128i del = _mm_cmpeq_epi8(v, _mm_set1_epi8(0x7F));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(low, del)));
}

__attribute__((target("sse4.2"))) unsigned value_mask_16(const unsigned char* p) noexcept {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1F)), v);
  const __m128i tab = _mm_cmpeq_epi8(v, _mm_set1_epi8('\t'));
  const __m128i del = _mm_cmpeq_epi8(v, _mm_set1_epi8(0x7F));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_andnot_si128(tab, low), del)));
}

__attribute__((target("avx2"))) unsigned target_mask_32(const unsigned char* p) noexcept {
  const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  const __m256i low = _mm256_cmpeq_epi8(_mm256_min_epu8(v, _mm256_set1_epi8(0x20)), v);
  const __m256i del = _mm256_cmpeq_epi8(v, _mm256_set1_epi8(0x7F));
  return static_cast<unsigned>(_mm256_movemask_epi8(_mm256_or_si256(low, del)));
}

__attribute__((target("avx2"))) unsigned value_mask_32(const unsigned char* p) noexcept {
  const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  const __m256i low = _mm256_cmpeq_epi8(_mm256_min_epu8(v, _mm256_set1_epi8(0x1F)), v);
  const __m256i tab = _mm256_cmpeq_epi8(v, _mm256_set1_epi8('\t'));
  const __m256i del = _mm256_cmpeq_epi8(v, _mm256_set1_epi8(0x7F));
  return static_cast<unsigned>(_mm256_movemask_epi8(_mm256_or_si256(_mm256_andnot_si256(tab, low), del)));
}

// Whole vectors only, so nothing past p[n - 1] is read; the short tail goes
// through the scalar table.
template <unsigned (*Mask16)(const unsigned char*) noexcept, const ByteTable& Table>
std::size_t sse_scan(const unsigned char* p, std::size_t n) noexcept {
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16)
    if (const unsigned mask = Mask16(p + i)) return i + static_cast<std::size_t>(__builtin_ctz(mask));
  return i + scalar_scan(Table, p + i, n - i);
}

template <unsigned (*Mask32)(const unsigned char*) noexcept, unsigned (*Mask16)(const unsigned char*) noexcept,
          const ByteTable& Table>
std::size_t avx2_scan(const unsigned char* p, std::size_t n) noexcept {
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32)
    if (const unsigned mask = Mask32(p + i)) return i + static_cast<std::size_t>(__builtin_ctz(mask));
  return i + sse_scan<Mask16, Table>(p + i, n - i);
}

std::size_t sse_target(const unsigned char* p, std::size_t n) noexcept {
  return sse_scan<target_mask_16, kTarget>(p, n);
}
std::size_t sse_value(const unsigned char* p, std::size_t n) noexcept { return sse_scan<value_mask_16, kValue>(p, n); }
std::size_t avx2_target(const unsigned char* p, std::size_t n) noexcept {
  return avx2_scan<target_mask_32, target_mask_16, kTarget>(p, n);
}
std::size_t avx2_value(const unsigned char* p, std::size_t n) noexcept {
  return avx2_scan<value_mask_32, value_mask_16, kValue>(p, n);
}

bool cpu_has(Kernel kernel) noexcept {
  __builtin_cpu_init();
  if (kernel == Kernel::avx2) return __builtin_cpu_supports("avx2");
  if (kernel == Kernel::sse42) return __builtin_cpu_supports("sse4.2");
  return kernel == Kernel::scalar;
}
#else
bool cpu_has(Kernel kernel) noexcept { return kernel == Kernel::scalar; }
#endif

struct Scanners {
  Scan target;
  Scan value;
};

constexpr Scanners kScalar{scalar_target, scalar_value};

const Scanners& scanners_for(Kernel kernel) noexcept {
#ifdef TESSARYNE_X86
  static constexpr Scanners kSse{sse_target, sse_value};
  static constexpr Scanners kAvx2{avx2_target, avx2_value};
  static const bool has_sse = cpu_has(Kernel::sse42);
  static const bool has_avx2 = cpu_has(Kernel::avx2);
  switch (kernel) {
    case Kernel::automatic:
      return has_avx2 ? kAvx2 : has_sse ? kSse : kScalar;
    case Kernel::avx2:
      return has_avx2 ? kAvx2 : kScalar;
    case Kernel::sse42:
      return has_sse ? kSse : kScalar;
    case Kernel::scalar:
      break;
  }
#else
  (void)kernel;
#endif
  return kScalar;
}

constexpr HeadResult kPartial{HeadStatus::partial, HeadError::none};
constexpr HeadResult failure(HeadError error) { return {HeadStatus::error, error}; }

}  // namespace

bool kernel_available(Kernel kernel) noexcept { return kernel == Kernel::automatic || cpu_has(kernel); }

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

std::size_t scan_target_bytes(std::string_view input, Kernel kernel) noexcept {
  return scanners_for(kernel).target(reinterpret_cast<const unsigned char*>(input.data()), input.size());
}
std::size_t scan_value_bytes(std::string_view input, Kernel kernel) noexcept {
  return scanners_for(kernel).value(reinterpret_cast<const unsigned char*>(input.data()), input.size());
}

namespace {

// One instantiation per kernel, so the scans are direct calls.
template <Scan ScanTarget, Scan ScanValue>
HeadResult tokenize_with(std::string_view input, std::span<HeaderLine> slots, RequestHead& head) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(input.data());
  const std::size_t n = input.size();
  std::size_t i = 0;
  auto view = [&](std::size_t from, std::size_t to) { return input.substr(from, to - from); };

  // Empty lines before the request line.
  for (;;) {
    if (i == n) return kPartial;
    if (p[i] == '\n') {
      ++i;
    } else if (p[i] == '\r') {
      if (i + 1 == n) return kPartial;
      if (p[i + 1] != '\n') return failure(HeadError::new_line);
      i += 2;
    } else {
      break;
    }
  }

  std::size_t start = i;
  while (i < n && kToken[p[i]]) ++i;
  if (i == n) return kPartial;
  if (i == start || p[i] != ' ') return failure(HeadError::token);
  head.method = view(start, i++);

  start = i;
  i += ScanTarget(p + i, n - i);
  if (i == n) return kPartial;
  if (i == start || p[i] != ' ') return failure(HeadError::token);
  head.target = view(start, i++);

  constexpr std::string_view kVersionPrefix = "HTTP/1.";
  for (const char expected : kVersionPrefix) {
    if (i == n) return kPartial;
    if (p[i++] != static_cast<unsigned char>(expected)) return failure(HeadError::version);
  }
  if (i == n) return kPartial;
  if (p[i] != '0' && p[i] != '1') return failure(HeadError::version);
  head.minor_version = static_cast<std::uint8_t>(p[i++] - '0');
  if (i == n) return kPartial;
  if (p[i] == '\r') {
    if (i + 1 == n) return kPartial;
    if (p[i + 1] != '\n') return failure(HeadError::new_line);
    i += 2;
  } else if (p[i] == '\n') {
    ++i;
  } else {
    return failure(HeadError::version);  // "HTTP/1.10", "HTTP/1.1 " and the like
  }

  std::size_t count = 0;
  for (;;) {
    if (i == n) return kPartial;
    if (p[i] == '\n') {
      ++i;
      break;
    }
    if (p[i] == '\r') {
      if (i + 1 == n) return kPartial;
      if (p[i + 1] != '\n') return failure(HeadError::new_line);
      i += 2;
      break;
    }
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
    i += ScanValue(p + i, n - i);
    if (i == n) return kPartial;
    std::size_t end = i;
    if (p[i] == '\n') {
      ++i;
    } else if (p[i] == '\r') {
      if (i + 1 == n) return kPartial;
      if (p[i + 1] != '\n') return failure(HeadError::header_value);  // bare CR inside a value
      i += 2;
    } else {
      return failure(HeadError::header_value);
    }
    while (end > start && (p[end - 1] == ' ' || p[end - 1] == '\t')) --end;
    slots[count++] = HeaderLine{name, view(start, end)};
  }
  head.header_count = count;
  head.length = i;
  return {HeadStatus::complete, HeadError::none};
}

}  // namespace

HeadResult tokenize_head(std::string_view input, std::span<HeaderLine> slots, RequestHead& head,
                         Kernel kernel) noexcept {
  const Scanners& scan = scanners_for(kernel);
#ifdef TESSARYNE_X86
  if (scan.value == &avx2_value)
    return tokenize_with<avx2_target, avx2_value>(input, slots, head);
  if (scan.value == &sse_value)
    return tokenize_with<sse_target, sse_value>(input, slots, head);
#endif
  return tokenize_with<scalar_target, scalar_value>(input, slots, head);
}

}  // namespace tessaryne::http
