#pragma once
// The copy every writer of wire bytes uses: most pieces it moves are short
// (a header name, a CRLF, a frame header), so it copies them with a few
// fixed-size moves, overlapping where needed, instead of a call into the
// library's memcpy.

#include <cstddef>
#include <cstring>
#include <string_view>
#include <type_traits>

namespace tessaryne::common {

// Copies `text` to `out` and returns the end of the copy.
[[gnu::always_inline]] inline char* put_bytes(char* out, std::string_view text) noexcept {
  const char* in = text.data();
  const std::size_t n = text.size();
  auto move = [&]<std::size_t Width>(std::integral_constant<std::size_t, Width>) {
    char head[Width];
    char tail[Width];
    std::memcpy(head, in, Width);
    std::memcpy(tail, in + n - Width, Width);
    std::memcpy(out, head, Width);
    std::memcpy(out + n - Width, tail, Width);
  };
  if (n >= 16) {
    std::memcpy(out, in, n);
  } else if (n >= 8) {
    move(std::integral_constant<std::size_t, 8>{});
  } else if (n >= 4) {
    move(std::integral_constant<std::size_t, 4>{});
  } else if (n > 0) {
    out[0] = in[0];
    out[n / 2] = in[n / 2];
    out[n - 1] = in[n - 1];
  }
  return out + n;
}

}  // namespace tessaryne::common
