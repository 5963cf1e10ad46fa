#include "core/pool/locked_queue.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace tessaryne::pool {
namespace {

TEST(LockedQueue, FifoThroughGrowthAndWrapAround) {
  LockedQueue<int> queue;
  int next_in = 0;
  int next_out = 0;
  // Uneven pushes and pops make the ring wrap at several capacities.
  for (int round = 0; round < 50; ++round) {
    for (int i = 0; i < round % 7 + 3; ++i) {
      int value = next_in++;
      ASSERT_EQ(queue.try_push(value), PushResult::pushed);
    }
    for (int i = 0; i < round % 5 + 1; ++i) ASSERT_EQ(queue.try_pop(), next_out++);
    ASSERT_EQ(queue.looks_empty(), queue.empty());
  }
  int visited = next_out;
  queue.visit_unlocked([&](const int& value) { return value == visited++ ? 0 : 1; });
  EXPECT_EQ(visited, next_in);
  Ring<int> rest = queue.take_all();
  while (!rest.empty()) ASSERT_EQ(rest.pop_front(), next_out++);
  EXPECT_EQ(next_out, next_in);
  EXPECT_TRUE(queue.empty());
  EXPECT_TRUE(queue.looks_empty());
}

TEST(LockedQueue, BoundDisconnectAndBatches) {
  LockedQueue<int> queue(2);
  int a = 1, b = 2, c = 3;
  EXPECT_EQ(queue.try_push(a), PushResult::pushed);
  EXPECT_EQ(queue.try_push(b), PushResult::pushed);
  EXPECT_EQ(queue.try_push(c), PushResult::full);
  EXPECT_EQ(c, 3);  // a refused value stays with the caller
  queue.disconnect();
  EXPECT_EQ(queue.try_push(c), PushResult::disconnected);
  Ring<int> target;
  EXPECT_EQ(queue.pop_into(target, [](std::size_t) { return 1; }).moved, 1U);  // what was queued stays poppable
  EXPECT_EQ(queue.pop_into(target, [](std::size_t) { return 10; }).moved, 1U);
  EXPECT_EQ(target.pop_front(), 1);
  EXPECT_EQ(target.pop_front(), 2);
  EXPECT_EQ(queue.try_pop(), std::nullopt);
}

// Every pushed value is popped exactly once, whatever the interleaving.
TEST(LockedQueue, NothingLostOrDuplicatedUnderContention) {
  constexpr int kProducers = 2;
  constexpr int kPerProducer = 20000;
  LockedQueue<int> queue(64);
  std::vector<std::atomic<int>> seen(kProducers * kPerProducer);
  std::atomic<int> popped{0};
  std::vector<std::thread> threads;
  for (int p = 0; p < kProducers; ++p)
    threads.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) {
        int value = p * kPerProducer + i;
        while (queue.try_push(value) != PushResult::pushed) std::this_thread::yield();
      }
    });
  for (int c = 0; c < 2; ++c)
    threads.emplace_back([&, c] {
      Ring<int> batch;
      while (popped.load() < kProducers * kPerProducer) {
        if (c == 0) {
          if (const auto value = queue.try_pop()) {
            seen[static_cast<std::size_t>(*value)].fetch_add(1);
            popped.fetch_add(1);
          }
        } else {
          for (std::size_t n = queue.pop_into(batch, [](std::size_t) { return 8; }).moved; n > 0; --n) {
            seen[static_cast<std::size_t>(batch.pop_front())].fetch_add(1);
            popped.fetch_add(1);
          }
        }
      }
    });
  for (std::thread& thread : threads) thread.join();
  for (const std::atomic<int>& count : seen) ASSERT_EQ(count.load(), 1);
}

}  // namespace
}  // namespace tessaryne::pool
