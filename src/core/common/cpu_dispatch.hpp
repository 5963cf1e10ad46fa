#pragma once
// The one vocabulary for choosing vector kernels by CPU. Every user with
// instruction-set-specific kernels (the head tokenizer, WebSocket unmasking)
// offers one kernel per family and runs the family chosen here.
//
// A family is available when the CPU has every instruction set that any
// kernel of that family uses, and each family includes the narrower ones:
//   scalar  plain C++, always available;
//   sse     SSE2, SSSE3 and SSE4.2 (byte shuffles, unsigned minimum);
//   avx2    the sse sets, AVX2, BMI1 and BMI2.
// Off x86, only scalar is available.
//
// The family used is the widest available one, unless the environment
// variable TESSARYNE_KERNEL names another ("scalar", "sse" or "avx2", exactly
// so): that family is used, or, when the CPU lacks it, the next narrower
// available one. Any other value is ignored. The variable is read once, when
// the choice is first made.

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace tessaryne::common {

// Ordered from narrowest to widest.
enum class KernelFamily : std::uint8_t { scalar, sse, avx2 };

inline constexpr std::array kKernelFamilies{KernelFamily::scalar, KernelFamily::sse, KernelFamily::avx2};

inline constexpr const char* kKernelEnvironmentVariable = "TESSARYNE_KERNEL";

// "scalar", "sse" or "avx2": the names TESSARYNE_KERNEL accepts.
[[nodiscard]] std::string_view kernel_family_name(KernelFamily family) noexcept;
[[nodiscard]] std::optional<KernelFamily> kernel_family_named(std::string_view name) noexcept;

// Whether this CPU can run the family; the CPU is examined once per process.
[[nodiscard]] bool kernel_family_available(KernelFamily family) noexcept;

// `wanted` when available, else the next narrower available family.
[[nodiscard]] KernelFamily usable_kernel_family(KernelFamily wanted) noexcept;

// The choice for a given value of TESSARYNE_KERNEL (null when unset).
[[nodiscard]] KernelFamily choose_kernel_family(const char* requested) noexcept;

// The family this process uses, chosen on the first call.
[[nodiscard]] KernelFamily chosen_kernel_family() noexcept;

}  // namespace tessaryne::common
