#include "core/sync/wait_group.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace tessaryne::sync {
namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::uint64_t kFull = std::numeric_limits<std::uint64_t>::max();

std::vector<int> drained(common::Ring<int>&& ring) {
  std::vector<int> values;
  while (!ring.empty()) values.push_back(ring.pop_front());
  return values;
}

// One call and what it must answer. Waiters are ints.
struct Step {
  enum class Op { add, done, reset, register_waiter, unregister, counter } op;
  std::int64_t value = 0;  // add: delta; reset, counter: the counter; register, unregister: the waiter
  CountChange change = CountChange::counted;
  std::vector<int> released{};  // add, done, reset: the waiters handed back; unregister: those removed
  bool registered_at_zero = false;
};
Step add(std::int64_t delta, CountChange change = CountChange::counted, std::vector<int> released = {}) {
  return {.op = Step::Op::add, .value = delta, .change = change, .released = std::move(released)};
}
Step done(CountChange change = CountChange::counted, std::vector<int> released = {}) {
  return {.op = Step::Op::done, .change = change, .released = std::move(released)};
}
Step reset(std::int64_t counter, CountChange change = CountChange::counted, std::vector<int> released = {}) {
  return {.op = Step::Op::reset, .value = counter, .change = change, .released = std::move(released)};
}
Step wait(int waiter, bool at_zero = false) {
  return {.op = Step::Op::register_waiter, .value = waiter, .registered_at_zero = at_zero};
}
Step unregister(int waiter, std::vector<int> removed) {
  return {.op = Step::Op::unregister, .value = waiter, .released = std::move(removed)};
}
Step counter(std::uint64_t value) { return {.op = Step::Op::counter, .value = static_cast<std::int64_t>(value)}; }

struct Case {
  const char* name;
  std::vector<Step> steps;
};

TEST(WaitGroup, EdgeCases) {
  using enum CountChange;
  const std::vector<Case> cases = {
      {"a new group refuses to go negative", {done(went_negative), add(-1, went_negative), counter(0)}},
      {"a delta of 0 releases nobody, even at zero", {add(0), counter(0)}},
      {"reaching zero without waiters hands back an empty list", {add(1), done(reached_zero, {})}},
      {"the last done releases the waiter",
       {add(2), wait(1), done(), done(reached_zero, {1}), wait(2, true), counter(0)}},
      {"a negative delta releases every waiter in registration order",
       {add(3), wait(1), wait(2), add(-3, reached_zero, {1, 2})}},
      {"a waiter on a zero counter is not kept", {wait(1, true), unregister(1, {})}},
      {"an unregistered waiter is not released",
       {add(2), wait(1), wait(2), unregister(1, {1}), done(), done(reached_zero, {2})}},
      {"a double registration is unregistered whole", {add(1), wait(1), wait(2), wait(1), unregister(1, {1, 1})}},
      {"a refused change keeps the counter and the waiters",
       {add(1), wait(1), add(-2, went_negative), counter(1), done(reached_zero, {1})}},
      {"the counter reaches 2**64 - 1 and no further",
       {add(kMax), add(kMax), add(1), counter(kFull), add(1, overflowed), counter(kFull), add(kMin),
        counter(kFull - (std::uint64_t{1} << 63))}},
      {"the most negative delta", {add(kMax), add(1), add(kMin, reached_zero, {}), add(kMin, went_negative)}},
      {"the group cycles", {add(1), wait(1), done(reached_zero, {1}), add(1), wait(2), done(reached_zero, {2})}},
      {"a reset sets the counter, and zero releases every waiter (an event's clear and set)",
       {reset(1), wait(1), wait(2), reset(7), counter(7), reset(0, reached_zero, {1, 2}), wait(3, true),
        reset(0, reached_zero, {}), add(1), wait(4), reset(1), done(reached_zero, {4})}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    WaitGroup<int> group;
    for (std::size_t i = 0; i < test.steps.size(); ++i) {
      SCOPED_TRACE(i);
      const Step& step = test.steps[i];
      switch (step.op) {
        case Step::Op::add:
        case Step::Op::done:
        case Step::Op::reset: {
          Counted<int> counted = step.op == Step::Op::add    ? group.add(step.value)
                                 : step.op == Step::Op::done ? group.done()
                                                             : group.reset(static_cast<std::uint64_t>(step.value));
          EXPECT_EQ(counted.change, step.change);
          EXPECT_EQ(drained(std::move(counted.released)), step.released);
          break;
        }
        case Step::Op::register_waiter: {
          int waiter = static_cast<int>(step.value);
          EXPECT_EQ(group.register_waiter(waiter), step.registered_at_zero);
          break;
        }
        case Step::Op::unregister:
          EXPECT_EQ(drained(group.unregister_waiter([&](const int& waiter) { return waiter == step.value; })),
                    step.released);
          break;
        case Step::Op::counter:
          EXPECT_EQ(group.counter(), static_cast<std::uint64_t>(step.value));
          break;
      }
    }
  }
}

}  // namespace
}  // namespace tessaryne::sync
