#include <gtest/gtest.h>

#include <array>
#include <random>
#include <vector>

#include "core/websocket/unmask.hpp"

namespace tessaryne::websocket {
namespace {

using common::KernelFamily;
using common::kKernelFamilies;

std::vector<char> reference(const char* in, std::size_t n, MaskKey key) {
  std::vector<char> out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<char>(static_cast<std::uint8_t>(in[i]) ^ key[i % 4]);
  return out;
}

// Every family, at every length up to 300 and every misalignment of input and
// output within a 32-byte vector, writes exactly the reference bytes and
// nothing outside the output range.
TEST(Unmask, EveryFamilyMatchesTheByteLoopAtEveryLengthAndAlignment) {
  std::mt19937 random(7);
  std::vector<char> input(300 + 64);
  for (char& c : input) c = static_cast<char>(random());
  const MaskKey key{0xA5, 0x01, 0xFF, 0x3C};
  std::vector<char> output(300 + 64 + 2);
  for (const KernelFamily family : kKernelFamilies) {
    if (!common::kernel_family_available(family)) continue;
    SCOPED_TRACE(common::kernel_family_name(family));
    for (std::size_t length = 0; length <= 300; ++length) {
      for (std::size_t align = 0; align < 32; ++align) {
        const std::size_t out_align = (align * 7) % 32;
        std::fill(output.begin(), output.end(), '\x5A');
        unmask_with(family, input.data() + align, output.data() + 1 + out_align, length, key);
        const auto expected = reference(input.data() + align, length, key);
        ASSERT_TRUE(std::equal(expected.begin(), expected.end(), output.begin() + 1 + static_cast<long>(out_align)))
            << "length " << length << " align " << align;
        ASSERT_EQ(output[out_align], '\x5A');
        ASSERT_EQ(output[1 + out_align + length], '\x5A');
      }
    }
  }
}

TEST(Unmask, InPlaceAndTwiceRestoresAndTheChosenFamilyAgrees) {
  std::mt19937 random(11);
  for (std::size_t length : {0u, 1u, 31u, 32u, 33u, 127u, 128u, 129u, 4099u}) {
    std::vector<char> original(length);
    for (char& c : original) c = static_cast<char>(random());
    const MaskKey key{static_cast<std::uint8_t>(random()), 2, static_cast<std::uint8_t>(random()), 0x80};
    const auto expected = reference(original.data(), length, key);
    std::vector<char> through_default(length);
    unmask(original.data(), through_default.data(), length, key);
    EXPECT_EQ(through_default, expected);
    for (const KernelFamily family : kKernelFamilies) {
      std::vector<char> buffer = original;
      unmask_with(family, buffer.data(), buffer.data(), length, key);
      EXPECT_EQ(buffer, expected);
      unmask_with(family, buffer.data(), buffer.data(), length, key);
      EXPECT_EQ(buffer, original);
    }
  }
}

}  // namespace
}  // namespace tessaryne::websocket
