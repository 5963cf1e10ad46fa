#include "core/sync/rw_mutex.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <random>
#include <thread>
#include <vector>

namespace tessaryne::sync {
namespace {

// Waiters are ints: readers below 100, writers from 100 on.
constexpr int kFirstWriter = 100;

std::vector<int> ids_of(Granted<int>&& granted) {
  std::vector<int> ids;
  if (granted.writer) {
    EXPECT_TRUE(granted.readers.empty());
    EXPECT_GE(*granted.writer, kFirstWriter);
    ids.push_back(*granted.writer);
  }
  while (!granted.readers.empty()) {
    ids.push_back(granted.readers.pop_front());
    EXPECT_LT(ids.back(), kFirstWriter);
  }
  return ids;
}

// One call and what it must answer.
struct Step {
  enum class Op { try_read, try_write, read, write, release_read, release_write, remove, snapshot } op;
  int id = 0;                  // read, write, remove: the waiter
  bool answer = false;         // try_*, read, write: granted; remove: is_writer
  std::vector<int> granted{};  // release_*, remove: the waiters handed back
  std::size_t removed = 0;     // remove
  RWSnapshot state{};          // snapshot
};
Step try_read(bool granted) { return {.op = Step::Op::try_read, .answer = granted}; }
Step try_write(bool granted) { return {.op = Step::Op::try_write, .answer = granted}; }
Step read(int id, bool granted = false) { return {.op = Step::Op::read, .id = id, .answer = granted}; }
Step write(int id, bool granted = false) { return {.op = Step::Op::write, .id = id, .answer = granted}; }
Step release_read(std::vector<int> granted = {}) {
  return {.op = Step::Op::release_read, .granted = std::move(granted)};
}
Step release_write(std::vector<int> granted = {}) {
  return {.op = Step::Op::release_write, .granted = std::move(granted)};
}
Step remove(int id, bool is_writer, std::size_t removed, std::vector<int> granted = {}) {
  return {.op = Step::Op::remove, .id = id, .answer = is_writer, .granted = std::move(granted), .removed = removed};
}
Step state(std::uint64_t readers, bool has_writer, std::uint64_t pending) {
  return {.op = Step::Op::snapshot, .state = {readers, has_writer, pending}};
}

struct Case {
  const char* name;
  std::vector<Step> steps;
};

TEST(RWMutex, EdgeCases) {
  const std::vector<Case> cases = {
      {"new lock is free", {state(0, false, 0)}},
      {"readers share, a writer is refused", {try_read(true), try_read(true), state(2, false, 0), try_write(false)}},
      {"a queued writer stops new readers and gets the lock from the last reader",
       {try_read(true), write(100), state(1, false, 1), try_read(false), read(1), release_read({100}),
        state(0, true, 0), release_write({1}), state(1, false, 0)}},
      {"a write release admits every queued reader, oldest first",
       {try_write(true), read(1), read(2), release_write({1, 2}), state(2, false, 0), release_read(), release_read(),
        state(0, false, 0)}},
      {"a write release serves a queued writer before queued readers",
       {try_write(true), write(100), read(1), release_write({100}), state(0, true, 0), release_write({1}),
        state(1, false, 0)}},
      {"writers are granted strictly in registration order",
       {write(100, true), write(101), write(102), write(103), state(0, true, 3), release_write({101}),
        release_write({102}), release_write({103}), release_write(), state(0, false, 0)}},
      {"removing the last pending writer admits the queued readers",
       {try_read(true), write(100), read(1), remove(100, true, 1, {1}), state(2, false, 0)}},
      {"removing a writer while one holds the lock admits nobody",
       {try_write(true), write(100), read(1), remove(100, true, 1), state(0, true, 0), release_write({1})}},
      {"removing a reader changes no counter and never grants",
       {try_write(true), write(100), read(1), read(2), remove(1, false, 1), state(0, true, 1), release_write({100}),
        release_write({2})}},
      {"a double registration is removed whole",
       {try_write(true), read(1), read(1), read(2), remove(1, false, 2), release_write({2})}},
      {"removing a waiter already granted finds nothing and changes nothing",
       {try_read(true), write(100), release_read({100}), remove(100, true, 0), state(0, true, 0)}},
      {"a read release on a free lock is absorbed", {release_read(), state(0, false, 0)}},
      {"a read release without a hold still hands over to a queued writer",
       {try_write(true), write(100), release_read({100}), state(0, true, 0)}},
      {"a write release without a hold performs its hand-over",
       {try_read(true), write(100), release_write({100}), state(1, true, 0)}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    RWMutex<int> lock;
    for (std::size_t i = 0; i < test.steps.size(); ++i) {
      SCOPED_TRACE(i);
      const Step& step = test.steps[i];
      int waiter = step.id;
      switch (step.op) {
        case Step::Op::try_read:
          EXPECT_EQ(lock.try_acquire_read(), step.answer);
          break;
        case Step::Op::try_write:
          EXPECT_EQ(lock.try_acquire_write(), step.answer);
          break;
        case Step::Op::read:
          EXPECT_EQ(lock.acquire_read_or_register(waiter), step.answer);
          break;
        case Step::Op::write:
          EXPECT_EQ(lock.acquire_write_or_register(waiter), step.answer);
          break;
        case Step::Op::release_read:
          EXPECT_EQ(ids_of(lock.release_read()), step.granted);
          break;
        case Step::Op::release_write:
          EXPECT_EQ(ids_of(lock.release_write()), step.granted);
          break;
        case Step::Op::remove: {
          Removal<int> removal = lock.remove_waiter([&](const int& id) { return id == step.id; }, step.answer);
          EXPECT_EQ(removal.removed.size(), step.removed);
          EXPECT_EQ(ids_of(std::move(removal.granted)), step.granted);
          break;
        }
        case Step::Op::snapshot:
          EXPECT_EQ(lock.snapshot(), step.state);
          break;
      }
    }
  }
}

// Threads acquire and release, wait for their grant, and now and then give up
// waiting and remove their waiter, while every holder checks that no writer
// ever holds beside anyone. A granted waiter is woken through its flag, as a
// Python caller completes a future.
TEST(RWMutex, NeverAdmitsAWriterBesideAnyone) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  RWMutex<int> lock;
  std::atomic<int> readers_inside{0};
  std::atomic<int> writers_inside{0};
  std::atomic<long> violations{0};
  std::vector<std::atomic<bool>> woken(kThreads);
  const auto wake = [&](Granted<int>&& granted) {
    if (granted.writer) woken[static_cast<std::size_t>(*granted.writer)].store(true, std::memory_order_release);
    while (!granted.readers.empty())
      woken[static_cast<std::size_t>(granted.readers.pop_front())].store(true, std::memory_order_release);
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      std::mt19937 random(static_cast<unsigned>(t));
      std::atomic<bool>& mine = woken[static_cast<std::size_t>(t)];
      for (int round = 0; round < kRounds; ++round) {
        const bool writer = random() % 3 == 0;
        int waiter = t;
        mine.store(false, std::memory_order_relaxed);
        const bool granted = writer ? lock.acquire_write_or_register(waiter) : lock.acquire_read_or_register(waiter);
        if (!granted) {
          if (random() % 4 == 0) {
            Removal<int> removal = lock.remove_waiter([&](const int& id) { return id == t; }, writer);
            const bool was_queued = !removal.removed.empty();
            wake(std::move(removal.granted));
            if (was_queued) continue;  // gave up; otherwise it had been granted already
          }
          while (!mine.load(std::memory_order_acquire)) std::this_thread::yield();
        }
        if (writer) {
          if (writers_inside.fetch_add(1) != 0 || readers_inside.load() != 0) ++violations;
          const RWSnapshot state = lock.snapshot();
          if (!state.has_writer || state.readers != 0) ++violations;
          writers_inside.fetch_sub(1);
          wake(lock.release_write());
        } else {
          readers_inside.fetch_add(1);
          if (writers_inside.load() != 0) ++violations;
          const RWSnapshot state = lock.snapshot();
          if (state.has_writer || state.readers == 0) ++violations;
          readers_inside.fetch_sub(1);
          wake(lock.release_read());
        }
      }
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(violations.load(), 0);
  EXPECT_EQ(lock.snapshot(), (RWSnapshot{0, false, 0}));
}

}  // namespace
}  // namespace tessaryne::sync
