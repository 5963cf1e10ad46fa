#pragma once
// WebSocket payload masking: out[i] = in[i] XOR key[i mod 4].

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/common/cpu_dispatch.hpp"

namespace tessaryne::websocket {

using MaskKey = std::array<std::uint8_t, 4>;

// One kernel per family (core/common/cpu_dispatch.hpp): 64-bit words for
// scalar, SSE2 for sse, AVX2 for avx2; every one gives the same bytes.

// `in` and `out` hold `length` bytes each and are either the same buffer or do
// not overlap. Uses the process's kernel family.
void unmask(const char* in, char* out, std::size_t length, MaskKey key) noexcept;
// The same with a named kernel family, for tests and benchmarks; a family the
// CPU lacks falls back to the next narrower one.
void unmask_with(common::KernelFamily family, const char* in, char* out, std::size_t length, MaskKey key) noexcept;

}  // namespace tessaryne::websocket
