#include "core/metrics/counter_table.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

namespace tessaryne::metrics {
namespace {

constexpr std::uint64_t kMax = ~std::uint64_t{0};

struct Case {
  const char* name;
  std::uint64_t threads;
  std::function<void(CounterTable&)> updates;
  Counter counter;
  std::uint64_t index;
  std::uint64_t expected;
};

TEST(CounterTable, UpdatesAndReads) {
  const Case cases[] = {
      {"fresh cell", 4, [](CounterTable&) {}, Counter::park, 3, 0},
      {"increments add up", 4, [](CounterTable& t) { t.increment(Counter::park, 1), t.add(Counter::park, 1, 5); },
       Counter::park, 1, 6},
      {"two up, one finished: active", 2,
       [](CounterTable& t) { t.increment(Counter::active, 1), t.increment(Counter::active, 1), t.finish_task(1); },
       Counter::active, 1, 1},
      {"two up, one finished: completed", 2,
       [](CounterTable& t) { t.increment(Counter::active, 1), t.increment(Counter::active, 1), t.finish_task(1); },
       Counter::completed, 1, 1},
      {"finishing from zero wraps", 1, [](CounterTable& t) { t.finish_task(0); }, Counter::active, 0, kMax},
      {"increment wraps to zero", 1,
       [](CounterTable& t) { t.store(Counter::park, 0, kMax), t.increment(Counter::park, 0); }, Counter::park, 0, 0},
      {"store replaces", 3,
       [](CounterTable& t) {
         t.store(Counter::injection_queue_depth, 2, 9), t.store(Counter::injection_queue_depth, 2, 5);
       },
       Counter::injection_queue_depth, 2, 5},
      {"counters are independent", 2, [](CounterTable& t) { t.increment(Counter::global_pull, 0); },
       Counter::remote_schedule, 0, 0},
      {"workers are independent", 2, [](CounterTable& t) { t.increment(Counter::global_pull, 0); },
       Counter::global_pull, 1, 0},
      {"out of range: update ignored, read 0", 4, [](CounterTable& t) { t.increment(Counter::park, 10); },
       Counter::park, 10, 0},
      {"zero workers", 0, [](CounterTable& t) { t.increment(Counter::active, 0), t.finish_task(0); },
       Counter::completed, 0, 0},
  };
  for (const Case& c : cases) {
    CounterTable table(c.threads);
    c.updates(table);
    EXPECT_EQ(table.load(c.counter, c.index), c.expected) << c.name;
    EXPECT_EQ(table.num_threads(), c.threads) << c.name;
  }
}

TEST(CounterTable, ConcurrentUpdatesAreNotLost) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 20000;
  CounterTable table(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&table, t] {
      for (int i = 0; i < kPerThread; ++i) {
        table.increment(Counter::active, static_cast<std::uint64_t>(t));
        table.finish_task(static_cast<std::uint64_t>(t));
        table.increment(Counter::park, 0);  // one cell shared by every thread
      }
    });
  for (auto& thread : threads) thread.join();
  for (std::uint64_t t = 0; t < kThreads; ++t) {
    EXPECT_EQ(table.load(Counter::active, t), 0U);
    EXPECT_EQ(table.load(Counter::completed, t), std::uint64_t{kPerThread});
  }
  EXPECT_EQ(table.load(Counter::park, 0), std::uint64_t{kThreads} * kPerThread);
}

TEST(CounterTable, HugeTableIsRefusedWithBadAlloc) { EXPECT_THROW(CounterTable{kMax}, std::bad_alloc); }

}  // namespace
}  // namespace tessaryne::metrics
