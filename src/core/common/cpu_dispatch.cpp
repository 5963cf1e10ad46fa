#include "core/common/cpu_dispatch.hpp"

#include <algorithm>
#include <cstdlib>

namespace tessaryne::common {
namespace {

// The widest available family; every narrower one is available as well.
KernelFamily widest_available() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  // Detection may run before the constructors that would initialise this.
  __builtin_cpu_init();
  const bool sse =
      __builtin_cpu_supports("sse2") && __builtin_cpu_supports("ssse3") && __builtin_cpu_supports("sse4.2");
  const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
  if (sse && avx2) return KernelFamily::avx2;
  if (sse) return KernelFamily::sse;
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
  const std::optional<KernelFamily> named = requested == nullptr ? std::nullopt : kernel_family_named(requested);
  return usable_kernel_family(named.value_or(kKernelFamilies.back()));
}

KernelFamily chosen_kernel_family() noexcept {
  static const KernelFamily chosen = choose_kernel_family(std::getenv(kKernelEnvironmentVariable));
  return chosen;
}

}  // namespace tessaryne::common
