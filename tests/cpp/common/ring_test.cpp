#include "core/common/ring.hpp"

#include <gtest/gtest.h>

#include <deque>
#include <random>

namespace tessaryne::common {
namespace {

// Random pushes at both ends, pops and removals agree with std::deque, through
// growth and wrap-around.
TEST(Ring, AgreesWithADequeUnderRandomOperations) {
  Ring<int> ring;
  std::deque<int> reference;
  std::mt19937 random(11);
  for (int step = 0; step < 20000; ++step) {
    const unsigned choice = random() % 10;
    if (choice < 4) {
      ring.reserve_one();
      ring.push_back(+step);
      reference.push_back(step);
    } else if (choice < 6) {
      ring.reserve_one();
      ring.push_front(-step);
      reference.push_front(-step);
    } else if (choice < 9) {
      if (reference.empty()) continue;
      ASSERT_EQ(ring.pop_front(), reference.front());
      reference.pop_front();
    } else {
      const int divisor = static_cast<int>(random() % 5) + 2;
      Ring<int> removed = ring.remove_if([&](const int& value) { return value % divisor == 0; });
      std::deque<int> kept;
      for (const int value : reference) {
        if (value % divisor == 0) {
          ASSERT_EQ(removed.pop_front(), value);  // removed ones come back in order
        } else {
          kept.push_back(value);
        }
      }
      ASSERT_TRUE(removed.empty());
      reference = kept;
    }
    ASSERT_EQ(ring.size(), reference.size());
  }
  Ring<int> moved = std::move(ring);
  EXPECT_TRUE(ring.empty());  // NOLINT(bugprone-use-after-move): a moved-from ring is empty and usable
  ring.reserve_one();
  ring.push_back(1);
  EXPECT_EQ(ring.pop_front(), 1);
  while (!reference.empty()) {
    ASSERT_EQ(moved.pop_front(), reference.front());
    reference.pop_front();
  }
}

}  // namespace
}  // namespace tessaryne::common
