#include "core/sync/async_queue.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace tessaryne::sync {
namespace {

// Items and waiters are ints.
using Queue = AsyncQueue<int, int>;

std::string woken(std::optional<int> waiter) { return waiter ? "; wake " + std::to_string(*waiter) : ""; }
std::string woken(common::Ring<int>& waiters) {
  std::string text = waiters.empty() ? "" : "; wake";
  while (!waiters.empty()) text += ' ' + std::to_string(waiters.pop_front());
  return text;
}
std::string answer(bool value) { return value ? "true" : "false"; }

// Runs one call written as "<operation> [argument]" and describes its result
// followed by the waiters it wakes.
std::string run(Queue& queue, const std::string& call) {
  std::istringstream in(call);
  std::string op;
  int argument = 0;
  in >> op >> argument;
  const auto same = [&](const int& waiter) { return waiter == argument; };
  std::optional<int> one;
  common::Ring<int> several;
  if (op == "put") {
    static constexpr const char* kNames[] = {"put", "full", "shut down"};
    const std::string result = kNames[static_cast<int>(queue.put(argument, one))];
    return result + woken(one);
  }
  if (op == "get") {
    int item = 0;
    const GetStatus status = queue.get(item, one);
    const std::string result = status == GetStatus::taken   ? "got " + std::to_string(item)
                               : status == GetStatus::empty ? "empty"
                                                            : "shut down";
    return result + woken(one);
  }
  if (op == "getter") return answer(queue.register_getter(argument));
  if (op == "putter") return answer(queue.register_putter(argument));
  if (op == "joiner") return answer(queue.register_joiner(argument));
  if (op == "ungetter") return answer(!queue.unregister_getter(same).empty());
  if (op == "unputter") return answer(!queue.unregister_putter(same).empty());
  if (op == "unjoiner") return answer(!queue.unregister_joiner(same).empty());
  if (op == "pass-getter") return woken(queue.pass_getter_wakeup());
  if (op == "pass-putter") return woken(queue.pass_putter_wakeup());
  if (op == "done") {
    static constexpr const char* kNames[] = {"counted", "zero", "too many"};
    const std::string result = kNames[static_cast<int>(queue.task_done(several))];
    return result + woken(several);
  }
  if (op == "shutdown" || op == "shutdown-now") {
    Queue::Shutdown taken = queue.shutdown(op == "shutdown-now");
    const std::string result = "drained " + std::to_string(taken.drained.size());
    return result + woken(taken.woken);
  }
  if (op == "state") {
    const QueueState state = queue.state();
    std::ostringstream out;
    out << "q=" << state.size << " g=" << state.getters << " p=" << state.putters << " u=" << state.unfinished
        << (queue.full() ? " full" : "") << (state.shut_down ? " shut down" : "");
    return out.str();
  }
  ADD_FAILURE() << "unknown call " << call;
  return "";
}

struct Case {
  const char* name;
  std::uint64_t maxsize;
  std::vector<std::pair<std::string, std::string>> steps;  // call, expected
};

TEST(AsyncQueue, EdgeCases) {
  const std::vector<Case> cases = {
      {"first in, first out; a bounded queue refuses when full",
       2,
       {{"put 1", "put"},
        {"put 2", "put"},
        {"put 3", "full"},
        {"state", "q=2 g=0 p=0 u=2 full"},
        {"get", "got 1"},
        {"get", "got 2"},
        {"get", "empty"},
        {"state", "q=0 g=0 p=0 u=2"}}},
      {"a put wakes the oldest getter and leaves the item for whoever takes it",
       0,
       {{"getter 1", "false"},
        {"getter 2", "false"},
        {"put 5", "put; wake 1"},
        {"state", "q=1 g=1 p=0 u=1"},
        {"getter 3", "true"},
        {"get", "got 5"},
        {"put 6", "put; wake 2"}}},
      {"a get from a full queue wakes the oldest putter",
       1,
       {{"put 1", "put"},
        {"putter 1", "false"},
        {"putter 2", "false"},
        {"get", "got 1; wake 1"},
        {"putter 3", "true"},
        {"put 2", "put"},
        {"get", "got 2; wake 2"}}},
      {"a wake-up not taken passes to the next waiter only while it has a turn",
       1,
       {{"getter 1", "false"},
        {"getter 2", "false"},
        {"put 1", "put; wake 1"},
        {"pass-getter", "; wake 2"},
        {"getter 3", "true"},
        {"get", "got 1"},
        {"getter 3", "false"},
        {"pass-getter", ""},
        {"put 2", "put; wake 3"},
        {"putter 4", "false"},
        {"putter 5", "false"},
        {"pass-putter", ""},
        {"get", "got 2; wake 4"},
        {"pass-putter", "; wake 5"}}},
      {"a removed waiter is not woken; one already woken is not found",
       0,
       {{"getter 1", "false"},
        {"getter 2", "false"},
        {"ungetter 1", "true"},
        {"ungetter 1", "false"},
        {"put 1", "put; wake 2"},
        {"ungetter 2", "false"}}},
      {"joiners wait for every item to be done",
       0,
       {{"done", "too many"},
        {"joiner 1", "true"},
        {"put 1", "put"},
        {"put 2", "put"},
        {"joiner 1", "false"},
        {"joiner 2", "false"},
        {"unjoiner 2", "true"},
        {"get", "got 1"},
        {"done", "counted"},
        {"get", "got 2"},
        {"done", "zero; wake 1"},
        {"done", "too many"},
        {"state", "q=0 g=0 p=0 u=0"}}},
      {"a shutdown refuses puts, wakes every waiter, and gets go on until empty",
       1,
       {{"put 1", "put"},
        {"putter 1", "false"},
        {"joiner 2", "false"},
        {"shutdown", "drained 0; wake 1"},
        {"put 2", "shut down"},
        {"putter 3", "true"},
        {"get", "got 1"},
        {"get", "shut down"},
        {"getter 4", "true"},
        {"done", "zero; wake 2"}}},
      {"getters are woken by a shutdown too",
       0,
       {{"getter 1", "false"}, {"getter 2", "false"}, {"shutdown", "drained 0; wake 1 2"}, {"get", "shut down"}}},
      {"an immediate shutdown drains the items and counts them done",
       0,
       {{"put 1", "put"},
        {"put 2", "put"},
        {"put 3", "put"},
        {"get", "got 1"},
        {"joiner 1", "false"},
        {"shutdown-now", "drained 2"},
        {"state", "q=0 g=0 p=0 u=1 shut down"},
        {"get", "shut down"},
        {"done", "zero; wake 1"}}},
      {"an immediate shutdown with nothing unfinished left releases the joiners",
       0,
       {{"put 1", "put"}, {"joiner 1", "false"}, {"shutdown-now", "drained 1; wake 1"}, {"done", "too many"}}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    Queue queue(test.maxsize);
    for (const auto& [call, expected] : test.steps) EXPECT_EQ(run(queue, call), expected) << call;
  }
}

// Producers and consumers wait as putters and getters woken through flags, as
// Python callers resolve futures, and now and then give up waiting: while
// queued (they leave the line) or once woken (they pass the wake-up on, as a
// cancelled coroutine does). A shutdown ends the consumers once the
// producers are done. Every item put is got exactly once, the buffer never
// holds more than its bound, and every item got is marked done.
TEST(AsyncQueue, StressEveryItemGotExactlyOnce) {
  constexpr int kProducers = 2;
  constexpr int kConsumers = 3;
  constexpr int kItemsPerProducer = 20000;
  constexpr std::uint64_t kMaxsize = 4;
  Queue queue(kMaxsize);
  std::vector<std::atomic<bool>> woken(kProducers + kConsumers);
  std::atomic<long> violations{0};
  const auto wake = [&](std::optional<int> waiter) {
    if (waiter) woken[static_cast<std::size_t>(*waiter)].store(true, std::memory_order_release);
  };
  // Waits in one of the lines until woken or told to look again; may give up.
  const auto wait_in_line = [&](int id, std::mt19937& random, bool is_getter) {
    std::atomic<bool>& mine = woken[static_cast<std::size_t>(id)];
    mine.store(false, std::memory_order_relaxed);
    int waiter = id;
    if (is_getter ? queue.register_getter(waiter) : queue.register_putter(waiter)) return;
    if (random() % 4 == 0) {
      const auto same = [&](const int& other) { return other == id; };
      if (!(is_getter ? queue.unregister_getter(same) : queue.unregister_putter(same)).empty()) return;
    }
    while (!mine.load(std::memory_order_acquire)) std::this_thread::yield();
    if (random() % 4 == 0) wake(is_getter ? queue.pass_getter_wakeup() : queue.pass_putter_wakeup());
  };

  std::vector<std::thread> threads;
  for (int p = 0; p < kProducers; ++p)
    threads.emplace_back([&, p] {
      std::mt19937 random(static_cast<unsigned>(p));
      for (int i = 0; i < kItemsPerProducer;) {
        int item = p * kItemsPerProducer + i;
        std::optional<int> getter;
        const PutStatus status = queue.put(item, getter);
        wake(getter);
        if (queue.state().size > kMaxsize) ++violations;
        if (status == PutStatus::put)
          ++i;
        else
          wait_in_line(p, random, false);
      }
    });
  std::vector<std::vector<int>> got(kConsumers);
  for (int c = 0; c < kConsumers; ++c)
    threads.emplace_back([&, c] {
      const int id = kProducers + c;
      std::mt19937 random(static_cast<unsigned>(id));
      for (;;) {
        int item = 0;
        std::optional<int> putter;
        const GetStatus status = queue.get(item, putter);
        wake(putter);
        if (status == GetStatus::shut_down) return;
        if (status == GetStatus::empty) {
          wait_in_line(id, random, true);
          continue;
        }
        got[static_cast<std::size_t>(c)].push_back(item);
        common::Ring<int> joiners;
        if (queue.task_done(joiners) == TaskDoneStatus::too_many) ++violations;
      }
    });
  for (int p = 0; p < kProducers; ++p) threads[static_cast<std::size_t>(p)].join();
  Queue::Shutdown shutdown = queue.shutdown(false);
  while (!shutdown.woken.empty()) wake(shutdown.woken.pop_front());
  for (std::size_t t = kProducers; t < threads.size(); ++t) threads[t].join();

  std::vector<int> all;
  for (const auto& items : got) all.insert(all.end(), items.begin(), items.end());
  std::sort(all.begin(), all.end());
  std::vector<int> expected(kProducers * kItemsPerProducer);
  for (std::size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<int>(i);
  EXPECT_EQ(all, expected);
  EXPECT_EQ(violations.load(), 0);
  EXPECT_EQ(queue.state(), (QueueState{0, 0, 0, 0, true}));
}

}  // namespace
}  // namespace tessaryne::sync
