#include "core/pool/worker_pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

namespace tessaryne::pool {
namespace {

using metrics::Counter;
using metrics::CounterTable;
using Pool = WorkerPool<int>;

SubmitResult push_global(Pool& pool, int task) { return pool.push_global(task); }
SubmitResult push_local(Pool& pool, std::uint64_t index, int task) { return pool.push_local(index, task); }

// What pop_work gave, as one comparable value: the task, or -1 for none,
// or -2 for drained.
constexpr int kNone = -1;
constexpr int kDrained = -2;
int pop(Pool& pool, std::uint64_t index) {
  const Work<int> popped = pool.pop_work(index);
  if (popped.status == WorkStatus::task) return popped.task;
  return popped.status == WorkStatus::none ? kNone : kDrained;
}

struct BatchCase {
  std::uint64_t workers;
  int queued;
  bool closed;
  std::uint64_t expected_pull;
};

// One pop_work moves min(n / workers + 1, 128) tasks while open, min(n, 128)
// once closed, and hands out the first of them.
TEST(WorkerPool, BatchSizes) {
  const BatchCase cases[] = {
      {4, 40, false, 11},    {4, 3, false, 1},  {3, 2, false, 1},    {1, 5, false, 5},
      {2, 1000, false, 128}, {4, 40, true, 40}, {4, 300, true, 128}, {1, 1, true, 1},
  };
  for (const BatchCase& c : cases) {
    Pool pool(c.workers);
    CounterTable table(c.workers);
    pool.set_metrics(table, nullptr);
    for (int i = 0; i < c.queued; ++i) ASSERT_EQ(push_global(pool, i), SubmitResult::queued);
    if (c.closed) pool.close();
    EXPECT_EQ(pop(pool, 0), 0) << c.workers << " workers, " << c.queued << " queued";
    EXPECT_EQ(table.load(Counter::global_pull, 0), c.expected_pull) << c.workers << " workers, " << c.queued;
    EXPECT_EQ(table.load(Counter::injection_queue_depth, 0), c.queued - c.expected_pull);
  }
}

TEST(WorkerPool, FortyTasksFourWorkers) {
  Pool pool(4);
  CounterTable table(4);
  pool.set_metrics(table, nullptr);
  for (int i = 0; i < 40; ++i) push_global(pool, i);
  EXPECT_EQ(pop(pool, 0), 0);
  EXPECT_EQ(table.load(Counter::global_pull, 0), 11U);
  EXPECT_EQ(table.load(Counter::injection_queue_depth, 0), 29U);
  // The rest of the batch comes from the local run queue, without metrics.
  for (int i = 1; i < 11; ++i) EXPECT_EQ(pop(pool, 0), i);
  EXPECT_EQ(table.load(Counter::global_pull, 0), 11U);
  EXPECT_EQ(pop(pool, 1), 11);  // 29 / 4 + 1 = 8 for the next worker
  EXPECT_EQ(table.load(Counter::global_pull, 1), 8U);
  EXPECT_EQ(table.load(Counter::injection_queue_depth, 1), 21U);
  EXPECT_EQ(table.load(Counter::park, 0), 0U);
}

// Service order: own local run queue, then a batch of the injection queue, then
// the inbox; a full inbox spills the 257th task into the injection queue.
TEST(WorkerPool, SpillAndServiceOrder) {
  Pool pool(2);
  CounterTable table(2);
  pool.set_metrics(table, nullptr);
  for (int i = 0; i < 257; ++i) ASSERT_EQ(push_local(pool, 0, i), SubmitResult::queued);
  EXPECT_EQ(table.load(Counter::remote_schedule, 0), 256U);
  EXPECT_EQ(pop(pool, 0), 256);  // the spilled one, from the injection queue
  EXPECT_EQ(table.load(Counter::global_pull, 0), 1U);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(pop(pool, 0), i);
  EXPECT_EQ(pop(pool, 0), kNone);
  EXPECT_EQ(table.load(Counter::park, 0), 1U);
  EXPECT_EQ(table.load(Counter::global_pull, 1) + table.load(Counter::remote_schedule, 1), 0U);
}

TEST(WorkerPool, SubmissionErrorsLeaveTheTaskWithTheCaller) {
  WorkerPool<std::unique_ptr<int>> pool(2);
  auto task = std::make_unique<int>(7);
  EXPECT_EQ(pool.push_local(2, task), SubmitResult::index_out_of_range);
  EXPECT_FALSE(pool.is_closed());
  pool.close();
  pool.close();  // twice is harmless
  EXPECT_TRUE(pool.is_closed());
  EXPECT_EQ(pool.push_global(task), SubmitResult::closed);
  EXPECT_EQ(pool.push_local(0, task), SubmitResult::closed);
  EXPECT_EQ(pool.push_local(5, task), SubmitResult::closed);  // closed is reported before the index
  ASSERT_NE(task, nullptr);
  EXPECT_EQ(*task, 7);
  EXPECT_TRUE(pool.is_drained());
}

// A pool without workers: push_local is refused; pushed tasks stay in the
// injection queue, which only a worker's own local run queue is refilled from.
TEST(WorkerPool, ZeroWorkers) {
  Pool pool(0);
  CounterTable table(1);
  pool.set_metrics(table, nullptr);
  EXPECT_EQ(push_local(pool, 0, 1), SubmitResult::closed);
  EXPECT_EQ(push_global(pool, 1), SubmitResult::queued);
  EXPECT_EQ(pop(pool, 0), kNone);
  EXPECT_EQ(table.load(Counter::park, 0), 1U);  // index 0 exists in the metrics
  EXPECT_EQ(table.load(Counter::injection_queue_depth, 0), 1U);
  pool.close();
  EXPECT_EQ(pop(pool, 0), kNone);
  EXPECT_FALSE(pool.is_drained());
  pool.discard_queued();
  EXPECT_EQ(pop(pool, 0), kDrained);
  EXPECT_TRUE(pool.is_drained());
}

struct DrainCase {
  const char* name;
  int injected;                     // tasks pushed globally
  std::uint64_t inbox_of;           // worker given one inbox task, or 9 for none
  std::uint64_t polled;             // worker polling after close
  std::vector<int> expected_polls;  // results, in order
  bool drained_after;               // is_drained() after the polls
};

// After close a worker drains its own queues and the injection queue; other
// workers' inboxes and local run queues do not hold it back.
TEST(WorkerPool, DrainRules) {
  const DrainCase cases[] = {
      {"nothing queued", 0, 9, 0, {kDrained, kDrained}, true},
      {"own inbox", 0, 0, 0, {100, kDrained}, true},
      {"other worker's inbox", 0, 1, 0, {kDrained}, false},
      {"injection queue in one batch", 3, 9, 1, {0, 1, 2, kDrained}, true},
      {"injection queue before own inbox", 2, 1, 1, {0, 1, 100, kDrained}, true},
      {"beyond the workers: injection queue alone", 1, 0, 7, {kNone}, false},
      {"beyond the workers, injection queue empty", 0, 0, 7, {kDrained}, false},
  };
  for (const DrainCase& c : cases) {
    Pool pool(2);
    for (int i = 0; i < c.injected; ++i) push_global(pool, i);
    if (c.inbox_of != 9) push_local(pool, c.inbox_of, 100);
    pool.close();
    std::vector<int> polls;
    for (std::size_t i = 0; i < c.expected_polls.size(); ++i) polls.push_back(pop(pool, c.polled));
    EXPECT_EQ(polls, c.expected_polls) << c.name;
    EXPECT_EQ(pool.is_drained(), c.drained_after) << c.name;
  }
}

TEST(WorkerPool, IsDrainedLooksAtEveryQueue) {
  Pool pool(3);
  EXPECT_TRUE(pool.is_drained());  // open and empty
  push_local(pool, 2, 1);
  EXPECT_FALSE(pool.is_drained());
  EXPECT_EQ(pop(pool, 2), 1);
  push_global(pool, 2);
  push_global(pool, 3);
  EXPECT_EQ(pop(pool, 0), 2);  // 2 / 3 + 1 = 1 moved: one left in the injection queue
  EXPECT_FALSE(pool.is_drained());
  EXPECT_EQ(pop(pool, 1), 3);
  EXPECT_TRUE(pool.is_drained());
}

// A task whose release calls back into the pool: any lock still held while
// it is released would deadlock.
struct CallsBack {
  WorkerPool<CallsBack>* pool = nullptr;
  int* releases = nullptr;

  CallsBack() = default;
  CallsBack(WorkerPool<CallsBack>* p, int* r) : pool(p), releases(r) {}
  CallsBack(CallsBack&& other) noexcept
      : pool(std::exchange(other.pool, nullptr)), releases(std::exchange(other.releases, nullptr)) {}
  CallsBack& operator=(CallsBack&& other) noexcept {
    CallsBack old(std::move(*this));
    pool = std::exchange(other.pool, nullptr);
    releases = std::exchange(other.releases, nullptr);
    return *this;
  }
  CallsBack(const CallsBack&) = delete;
  CallsBack& operator=(const CallsBack&) = delete;
  ~CallsBack() {
    if (pool == nullptr) return;
    ++*releases;
    (void)pool->is_drained();
    (void)pool->pop_work(0);
  }
};

TEST(WorkerPool, DiscardReleasesOutsideEveryLock) {
  WorkerPool<CallsBack> pool(2);
  int releases = 0;
  for (int i = 0; i < 3; ++i) {
    CallsBack global(&pool, &releases), local(&pool, &releases);
    pool.push_global(global);
    pool.push_local(static_cast<std::uint64_t>(i % 2), local);
  }
  CallsBack into_local_queue = pool.pop_work(1).task;  // leaves the rest of a batch in local run queue 1
  EXPECT_NE(into_local_queue.pool, nullptr);
  pool.discard_queued();
  EXPECT_TRUE(pool.is_drained());
  EXPECT_EQ(releases, 5);
}

// Producers push globally and locally (bursts that overflow an inbox), workers
// poll, and close races both: every accepted task comes out exactly once,
// every worker ends drained, and the metrics account for every task. The close
// waits for the local producer alone to be half way, however far the global
// one has got, so the overflowing bursts always happen before it.
TEST(WorkerPool, CloseRacingPushesAndPolls) {
  constexpr int kWorkers = 3;
  constexpr int kPerProducer = 30000;
  Pool pool(kWorkers);
  CounterTable table(kWorkers);
  pool.set_metrics(table, nullptr);
  std::vector<std::atomic<int>> accepted(2 * kPerProducer), handed_out(2 * kPerProducer);
  std::atomic<int> local_pushes{0};
  std::vector<std::uint64_t> taken_by(kWorkers, 0);
  std::vector<std::thread> threads;
  for (int producer = 0; producer < 2; ++producer)
    threads.emplace_back([&, producer] {
      for (int i = 0; i < kPerProducer; ++i) {
        const int task = producer * kPerProducer + i;
        const auto target = static_cast<std::uint64_t>(i / 300 % kWorkers);
        const SubmitResult result = producer == 0 ? push_global(pool, task) : push_local(pool, target, task);
        if (result != SubmitResult::queued) return;
        accepted[static_cast<std::size_t>(task)].store(1, std::memory_order_relaxed);
        if (producer == 1) local_pushes.fetch_add(1, std::memory_order_relaxed);
      }
    });
  for (int w = 0; w < kWorkers; ++w)
    threads.emplace_back([&, w] {
      for (;;) {
        const Work<int> popped = pool.pop_work(static_cast<std::uint64_t>(w));
        if (popped.status == WorkStatus::drained) return;
        if (popped.status == WorkStatus::none) {
          std::this_thread::yield();
          continue;
        }
        handed_out[static_cast<std::size_t>(popped.task)].fetch_add(1, std::memory_order_relaxed);
        ++taken_by[static_cast<std::size_t>(w)];
      }
    });
  while (local_pushes.load(std::memory_order_relaxed) <= kPerProducer / 2) std::this_thread::yield();
  pool.close();
  for (auto& thread : threads) thread.join();

  for (std::size_t task = 0; task < accepted.size(); ++task)
    ASSERT_EQ(handed_out[task].load(), accepted[task].load()) << "task " << task;
  EXPECT_TRUE(pool.is_drained());
  for (int w = 0; w < kWorkers; ++w) {
    const auto index = static_cast<std::uint64_t>(w);
    EXPECT_EQ(pop(pool, index), kDrained);
    // Each task a worker got came either through its inbox or in one of its batches.
    EXPECT_EQ(taken_by[static_cast<std::size_t>(w)],
              table.load(Counter::global_pull, index) + table.load(Counter::remote_schedule, index));
  }
}

}  // namespace
}  // namespace tessaryne::pool
