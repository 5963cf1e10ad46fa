#pragma once
// The state machine of an asynchronous wait group: a counter of outstanding
// tasks and the waiters to release when it comes back to zero. It never
// blocks: the call that brings the counter to zero hands every waiter back,
// in registration order, for the caller to wake.
//
// Waiters leave by value and are destroyed by the caller after the lock is let
// go, the unregistered ones included: destroying a waiter may call back into
// the same wait group. Templated over the waiter so the C++ tests drive it
// with integers.

#include <cstdint>
#include <limits>
#include <mutex>
#include <utility>

#include "core/common/ring.hpp"
#include "core/common/short_mutex.hpp"

namespace tessaryne::sync {

enum class CountChange : std::uint8_t {
  counted,       // the counter changed and is above zero (or a delta of 0)
  reached_zero,  // the counter came down to zero: `released` holds every waiter
  overflowed,    // refused: the counter would pass 2**64 - 1
  went_negative  // refused: the counter would go below zero
};

template <class W>
struct Counted {
  CountChange change;
  common::Ring<W> released;
};

template <class W>
class WaitGroup {
 public:
  WaitGroup() = default;
  WaitGroup(const WaitGroup&) = delete;
  WaitGroup& operator=(const WaitGroup&) = delete;
  // Emptied first, so whatever destroying a waiter runs finds an empty group.
  ~WaitGroup() { [[maybe_unused]] common::Ring<W> waiting = take_all(); }

  // A refused change leaves the counter and the waiters as they were. A
  // delta of 0 or more never releases anyone, not even on a zero counter.
  Counted<W> add(std::int64_t delta) noexcept {
    Counted<W> counted{CountChange::counted, {}};
    const std::lock_guard lock(mutex_);
    if (delta >= 0) {
      const auto increase = static_cast<std::uint64_t>(delta);
      if (increase > std::numeric_limits<std::uint64_t>::max() - counter_)
        counted.change = CountChange::overflowed;
      else
        counter_ += increase;
      return counted;
    }
    // The magnitude of any negative delta, INT64_MIN's included.
    const std::uint64_t decrease = 0 - static_cast<std::uint64_t>(delta);
    if (counter_ < decrease) {
      counted.change = CountChange::went_negative;
      return counted;
    }
    counter_ -= decrease;
    if (counter_ == 0) {
      counted.change = CountChange::reached_zero;
      if (!waiters_.empty()) counted.released.swap(waiters_);  // an empty list keeps its storage
    }
    return counted;
  }
  Counted<W> done() noexcept { return add(-1); }

  // Sets the counter. Zero releases every waiter, as reaching zero does: an
  // event is a group whose counter is 0 while set and 1 while clear.
  Counted<W> reset(std::uint64_t counter) noexcept {
    Counted<W> counted{CountChange::counted, {}};
    const std::lock_guard lock(mutex_);
    counter_ = counter;
    if (counter_ == 0) {
      counted.change = CountChange::reached_zero;
      if (!waiters_.empty()) counted.released.swap(waiters_);
    }
    return counted;
  }

  // On a zero counter: returns true and leaves `waiter` with the caller.
  // Otherwise `waiter` is moved to the end of the waiters. Throws
  // std::bad_alloc, changing nothing, when the list cannot grow.
  bool register_waiter(W& waiter) {
    const std::lock_guard lock(mutex_);
    if (counter_ == 0) return true;
    waiters_.reserve_one();
    waiters_.push_back(std::move(waiter));
    return false;
  }

  // Every waiter that `matches`, taken out in order for the caller to release;
  // empty when it had already been released. Throws std::bad_alloc, changing
  // nothing.
  template <class Matches>
  common::Ring<W> unregister_waiter(Matches&& matches) {
    const std::lock_guard lock(mutex_);
    return waiters_.remove_if(std::forward<Matches>(matches));
  }

  [[nodiscard]] std::uint64_t counter() const noexcept {
    const std::lock_guard lock(mutex_);
    return counter_;
  }

  // Every waiter, handed over without being released.
  common::Ring<W> take_all() noexcept {
    common::Ring<W> waiting;
    const std::lock_guard lock(mutex_);
    waiting.swap(waiters_);
    return waiting;
  }

  // For the garbage collector's traversal only: no other thread may run.
  template <class Visit>
  int visit_unlocked(Visit&& visit) const {
    return waiters_.for_each(std::forward<Visit>(visit));
  }

 private:
  mutable common::ShortMutex mutex_;
  std::uint64_t counter_ = 0;
  common::Ring<W> waiters_;  // only while the counter is above zero
};

}  // namespace tessaryne::sync
