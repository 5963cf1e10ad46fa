#include "core/common/cpu_dispatch.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

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

// What the CPU is found to have agrees with the flags the Linux kernel lists
// (which it clears for state it does not save), so detection works whatever
// the compiler's runtime knows about the CPU.
TEST(CpuDispatch, DetectionAgreesWithTheKernelsFlags) {
#if defined(__linux__) && defined(__x86_64__)
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  std::set<std::string> flags;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("flags", 0) != 0) continue;
    std::istringstream words(line.substr(line.find(':') + 1));
    for (std::string word; words >> word;) flags.insert(word);
    break;
  }
  if (flags.empty()) GTEST_SKIP() << "no flags in /proc/cpuinfo";
  const auto has = [&](std::initializer_list<const char*> names) {
    for (const char* name : names)
      if (!flags.contains(name)) return false;
    return true;
  };
  const bool sse = has({"sse2", "ssse3", "sse4_2"});
  EXPECT_EQ(kernel_family_available(KernelFamily::sse), sse);
  EXPECT_EQ(kernel_family_available(KernelFamily::avx2), sse && has({"avx", "avx2", "bmi1", "bmi2"}));
#else
  GTEST_SKIP() << "Linux on x86-64 only";
#endif
}

}  // namespace
}  // namespace tessaryne::common
