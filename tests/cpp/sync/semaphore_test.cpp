#include "core/sync/semaphore.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <thread>
#include <vector>

namespace tessaryne::sync {
namespace {

std::vector<int> ids_of(Handed<int>&& handed) {
  std::vector<int> ids;
  if (handed.first)
    ids.push_back(*handed.first);
  else
    EXPECT_TRUE(handed.rest.empty());
  while (!handed.rest.empty()) ids.push_back(handed.rest.pop_front());
  return ids;
}

// One call and what it must answer. Waiters are ints.
struct Step {
  enum class Op { try_acquire, acquire, release, claim, give_back, unregister, wake, state, locked } op;
  int id = 0;                 // acquire, unregister: the waiter; wake: the count
  bool answer = false;        // try_acquire, acquire: granted at once; locked
  std::vector<int> handed{};  // release, claim, give_back, wake: the waiters handed out
  ReleaseStatus status = ReleaseStatus::released;
  std::size_t removed = 0;  // unregister
  SemaphoreState counts{};  // state
};
Step try_acquire(bool granted) { return {.op = Step::Op::try_acquire, .answer = granted}; }
Step acquire(int id, bool granted = false) { return {.op = Step::Op::acquire, .id = id, .answer = granted}; }
Step release(std::vector<int> granted = {}, ReleaseStatus status = ReleaseStatus::released) {
  return {.op = Step::Op::release, .handed = std::move(granted), .status = status};
}
Step claim(std::vector<int> granted = {}) { return {.op = Step::Op::claim, .handed = std::move(granted)}; }
Step give_back(std::vector<int> granted = {}) { return {.op = Step::Op::give_back, .handed = std::move(granted)}; }
Step unregister(int id, std::size_t removed) { return {.op = Step::Op::unregister, .id = id, .removed = removed}; }
Step wake(int count, std::vector<int> woken) { return {.op = Step::Op::wake, .id = count, .handed = std::move(woken)}; }
Step state(std::uint64_t value, std::uint64_t waiting, std::uint64_t in_transit) {
  return {.op = Step::Op::state, .counts = {value, waiting, in_transit}};
}
Step locked(bool answer) { return {.op = Step::Op::locked, .answer = answer}; }

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

struct Case {
  const char* name;
  std::uint64_t value;
  std::optional<std::uint64_t> bound;
  std::vector<Step> steps;
};

TEST(Semaphore, EdgeCases) {
  const std::vector<Case> cases = {
      {"a free permit is taken at once",
       1,
       {},
       {locked(false), try_acquire(true), state(0, 0, 0), try_acquire(false), acquire(1), locked(true)}},
      {"a release grants the oldest waiter, in transit until it claims",
       0,
       {},
       {acquire(1), acquire(2), release({1}), state(0, 1, 1), claim(), state(0, 1, 0), release({2})}},
      {"a free permit waits behind a waiter in transit",
       1,
       {},
       {try_acquire(true), acquire(1), release({1}), release(), state(1, 0, 1), try_acquire(false), acquire(2),
        state(1, 1, 1), locked(true), claim({2}), state(0, 0, 1)}},
      {"a claim grants the permits still free to the waiters behind, oldest first",
       0,
       {},
       {acquire(1), release({1}), release(), release(), acquire(2), acquire(3), acquire(4), claim({2, 3}),
        state(0, 1, 2)}},
      {"a permit given back goes to the next waiter, or back to the free ones",
       0,
       {},
       {acquire(1), acquire(2), release({1}), give_back({2}), state(0, 0, 1), give_back(), state(1, 0, 0)}},
      {"nothing is given back without a grant", 1, {}, {give_back(), state(1, 0, 0)}},
      {"a removed waiter is never granted; one granted is no longer queued",
       0,
       {},
       {acquire(1), acquire(2), unregister(1, 1), release({2}), unregister(2, 0), state(0, 0, 1)}},
      {"a lock refuses a release while free or handed over",
       1,
       1,
       {release({}, ReleaseStatus::over_bound), try_acquire(true), acquire(1), release({1}),
        release({}, ReleaseStatus::over_bound), claim(), release(), state(1, 0, 0)}},
      {"a bounded semaphore takes back what it gave out, no more",
       2,
       2,
       {try_acquire(true), try_acquire(true), release(), release(), release({}, ReleaseStatus::over_bound)}},
      {"a bound of zero refuses every release", 0, 0, {release({}, ReleaseStatus::over_bound)}},
      {"free permits stop at 2**64 - 1", kMax, {}, {release({}, ReleaseStatus::overflowed), state(kMax, 0, 0)}},
      {"wake hands waiters out without a permit",
       0,
       {},
       {acquire(1), acquire(2), acquire(3), acquire(4), wake(2, {1, 2}), state(0, 2, 0), wake(9, {3, 4}), wake(1, {}),
        acquire(5), wake(0, {}), wake(1, {5})}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    Semaphore<int> semaphore(test.value, test.bound);
    for (std::size_t i = 0; i < test.steps.size(); ++i) {
      SCOPED_TRACE(i);
      const Step& step = test.steps[i];
      int waiter = step.id;
      switch (step.op) {
        case Step::Op::try_acquire:
          EXPECT_EQ(semaphore.try_acquire(), step.answer);
          break;
        case Step::Op::acquire:
          EXPECT_EQ(semaphore.acquire_or_register(waiter), step.answer);
          break;
        case Step::Op::release: {
          Release<int> release = semaphore.release();
          EXPECT_EQ(release.status, step.status);
          EXPECT_EQ(ids_of(std::move(release.granted)), step.handed);
          break;
        }
        case Step::Op::claim:
          EXPECT_EQ(ids_of(semaphore.claim()), step.handed);
          break;
        case Step::Op::give_back:
          EXPECT_EQ(ids_of(semaphore.give_back()), step.handed);
          break;
        case Step::Op::unregister:
          EXPECT_EQ(semaphore.unregister_waiter([&](const int& id) { return id == step.id; }).size(), step.removed);
          break;
        case Step::Op::wake:
          EXPECT_EQ(ids_of(semaphore.wake(static_cast<std::uint64_t>(step.id))), step.handed);
          break;
        case Step::Op::state:
          EXPECT_EQ(semaphore.state(), step.counts);
          break;
        case Step::Op::locked:
          EXPECT_EQ(semaphore.locked(), step.answer);
          break;
      }
    }
  }
}

// Threads take permits, wait for their grant, and now and then give up: while
// queued (they leave the line) or once granted (they give the permit back, as
// a cancelled coroutine does). A holder checks that no more than the permits
// hold at once; in the end every permit is free again. A granted waiter is
// woken through its flag, as a Python caller resolves a future.
TEST(Semaphore, NeverGrantsMoreThanItsPermitsAndLosesNone) {
  constexpr int kThreads = 6;
  constexpr int kRounds = 20000;
  constexpr std::uint64_t kPermits = 2;
  Semaphore<int> semaphore(kPermits, kPermits);
  std::atomic<std::uint64_t> holders{0};
  std::atomic<long> violations{0};
  std::vector<std::atomic<bool>> woken(kThreads);
  const auto wake = [&](Handed<int>&& granted) {
    if (granted.first) woken[static_cast<std::size_t>(*granted.first)].store(true, std::memory_order_release);
    while (!granted.rest.empty())
      woken[static_cast<std::size_t>(granted.rest.pop_front())].store(true, std::memory_order_release);
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      std::mt19937 random(static_cast<unsigned>(t));
      std::atomic<bool>& mine = woken[static_cast<std::size_t>(t)];
      for (int round = 0; round < kRounds; ++round) {
        int waiter = t;
        mine.store(false, std::memory_order_relaxed);
        if (!semaphore.acquire_or_register(waiter)) {
          if (random() % 4 == 0 && !semaphore.unregister_waiter([&](const int& id) { return id == t; }).empty())
            continue;  // gave up while queued
          while (!mine.load(std::memory_order_acquire)) std::this_thread::yield();
          if (random() % 4 == 0) {
            wake(semaphore.give_back());  // gave up once granted
            continue;
          }
          wake(semaphore.claim());
        }
        if (holders.fetch_add(1) >= kPermits) ++violations;
        holders.fetch_sub(1);
        Release<int> release = semaphore.release();
        if (release.status != ReleaseStatus::released) ++violations;
        wake(std::move(release.granted));
      }
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(violations.load(), 0);
  EXPECT_EQ(semaphore.state(), (SemaphoreState{kPermits, 0, 0}));
}

}  // namespace
}  // namespace tessaryne::sync
