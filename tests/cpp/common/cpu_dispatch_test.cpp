#include "core/common/cpu_dispatch.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

namespace tessaryne::common {
namespace {

// A family falls back to the widest available one that is not wider, and
// every family narrower than an available one is available too.
TEST(CpuDispatch, FallbackIsTheNextNarrowerAvailableFamily) {
  EXPECT_TRUE(kernel_family_available(KernelFamily::scalar));
  for (const KernelFamily wanted : kKernelFamilies) {
    const KernelFamily usable = usable_kernel_family(wanted);
    EXPECT_LE(usable, wanted);
    for (const KernelFamily other : kKernelFamilies) {
      if (other <= usable) {
        EXPECT_TRUE(kernel_family_available(other));
      } else if (other <= wanted) {
        EXPECT_FALSE(kernel_family_available(other));
      }
    }
  }
}

TEST(CpuDispatch, NamesRoundTrip) {
  for (const KernelFamily family : kKernelFamilies) EXPECT_EQ(kernel_family_named(kernel_family_name(family)), family);
  for (const char* unknown : {"", "SSE", "avx", "avx2 ", "auto"}) EXPECT_EQ(kernel_family_named(unknown), std::nullopt);
}

TEST(CpuDispatch, TheOverrideNamesAFamilyOrIsIgnored) {
  const KernelFamily widest = usable_kernel_family(kKernelFamilies.back());
  EXPECT_EQ(choose_kernel_family(nullptr), widest);
  EXPECT_EQ(choose_kernel_family("bogus"), widest);
  EXPECT_EQ(choose_kernel_family(""), widest);
  EXPECT_EQ(choose_kernel_family("scalar"), KernelFamily::scalar);
  EXPECT_EQ(choose_kernel_family("sse"), usable_kernel_family(KernelFamily::sse));
  EXPECT_EQ(choose_kernel_family("avx2"), widest);
  EXPECT_EQ(chosen_kernel_family(), choose_kernel_family(std::getenv(kKernelEnvironmentVariable)));
}

}  // namespace
}  // namespace tessaryne::common
