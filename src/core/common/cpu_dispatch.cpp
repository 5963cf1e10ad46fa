#include "core/common/cpu_dispatch.hpp"

#include <algorithm>
#include <cstdlib>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace tessaryne::common {
namespace {

#if defined(__x86_64__) || defined(__i386__)
// The instruction sets asked of the CPU itself (CPUID) and, for AVX2, of the
// kernel too (XGETBV: the operating system saves the YMM registers). Not
// __builtin_cpu_supports: its answers come from the compiler's runtime
// (libgcc's or compiler-rt's __cpu_model), and some runtimes, zig's among
// them (the wheel's compiler), never fill it in, so every check says no.
struct CpuFeatures {
  bool sse = false;   // SSE2, SSSE3 and SSE4.2
  bool avx2 = false;  // AVX2, BMI1 and BMI2, with the YMM state enabled
};

CpuFeatures cpu_features() noexcept {
  CpuFeatures features;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return features;
  const bool sse2 = (edx & (1U << 26)) != 0, ssse3 = (ecx & (1U << 9)) != 0, sse42 = (ecx & (1U << 20)) != 0;
  const bool osxsave = (ecx & (1U << 27)) != 0, avx = (ecx & (1U << 28)) != 0;
  features.sse = sse2 && ssse3 && sse42;
  if (!(features.sse && osxsave && avx)) return features;
  unsigned xcr0_low = 0, xcr0_high = 0;
  __asm__ volatile("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
  if ((xcr0_low & 0x6U) != 0x6U) return features;  // XMM and YMM state
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return features;
  const bool bmi1 = (ebx & (1U << 3)) != 0, avx2 = (ebx & (1U << 5)) != 0, bmi2 = (ebx & (1U << 8)) != 0;
  features.avx2 = avx2 && bmi1 && bmi2;
  return features;
}
#endif

// The widest available family; every narrower one is available as well.
KernelFamily widest_available() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  const CpuFeatures features = cpu_features();
  if (features.avx2) return KernelFamily::avx2;
  if (features.sse) return KernelFamily::sse;
#endif
  return KernelFamily::scalar;
}

KernelFamily detected() noexcept {
  static const KernelFamily widest = widest_available();
  return widest;
}

}  // namespace

std::string_view kernel_family_name(KernelFamily family) noexcept {
  switch (family) {
    case KernelFamily::scalar:
      return "scalar";
    case KernelFamily::sse:
      return "sse";
    case KernelFamily::avx2:
      return "avx2";
  }
  return "";
}

std::optional<KernelFamily> kernel_family_named(std::string_view name) noexcept {
  for (const KernelFamily family : kKernelFamilies)
    if (kernel_family_name(family) == name) return family;
  return std::nullopt;
}

bool kernel_family_available(KernelFamily family) noexcept { return family <= detected(); }

KernelFamily usable_kernel_family(KernelFamily wanted) noexcept { return std::min(wanted, detected()); }

KernelFamily choose_kernel_family(const char* requested) noexcept {
  const std::optional<KernelFamily> named =
      requested == nullptr ? std::nullopt : kernel_family_named(requested);
  return usable_kernel_family(named.value_or(kKernelFamilies.back()));
}

KernelFamily chosen_kernel_family() noexcept {
  static const KernelFamily chosen = choose_kernel_family(std::getenv(kKernelEnvironmentVariable));
  return chosen;
}

}  // namespace tessaryne::common
