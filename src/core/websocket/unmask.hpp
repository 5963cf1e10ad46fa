#pragma once
// WebSocket payload masking: out[i] = in[i] XOR key[i mod 4].

#include <array>
#include <cstddef>
#include <cstdint>

namespace tessaryne::websocket {

using MaskKey = std::array<std::uint8_t, 4>;

// The implementations; every one gives the same bytes.
enum class UnmaskPath : std::uint8_t { scalar, sse2, avx2 };

// True when this CPU can run `path` (scalar always).
bool unmask_path_supported(UnmaskPath path) noexcept;
// The widest supported path, chosen once per process.
UnmaskPath best_unmask_path() noexcept;

// `in` and `out` hold `length` bytes each and are either the same buffer or do
// not overlap. Uses best_unmask_path().
void unmask(const char* in, char* out, std::size_t length, MaskKey key) noexcept;
// The same with a forced implementation, for tests and benchmarks; an
// unsupported path falls back to scalar.
void unmask_with(UnmaskPath path, const char* in, char* out, std::size_t length, MaskKey key) noexcept;

}  // namespace tessaryne::websocket
