#pragma once
// The state machine of an asynchronous semaphore that hands permits out first
// come, first served, as asyncio's locks do. A release grants its permit to
// the oldest waiter at once; that waiter is then in transit (granted, not yet
// running) until it claims the permit, or gives it back because it was
// cancelled meanwhile. While any waiter is queued or in transit, an acquisition
// that finds a free permit still queues behind them; a release, a claim and a
// give-back grant the free permits to the oldest queued waiters.
//
// With a bound, a release that would leave more free and in-transit permits
// than the bound is refused: a lock is a semaphore of one permit bounded at one.
// wake() hands queued waiters out without a permit, which makes the waiter
// queue of a condition variable.
//
// Waiters leave by value and are destroyed by the caller after the lock is let
// go, the removed ones included: destroying a waiter may call back into the
// same semaphore. Templated over the waiter so the C++ tests drive it with
// integers.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>
#include <utility>

#include "core/common/ring.hpp"
#include "core/common/short_mutex.hpp"

namespace tessaryne::sync {

// The waiters one call hands out, oldest first: most calls hand out one at
// most, which needs no allocation; a whole queue moves without one.
template <class W>
struct Handed {
  std::optional<W> first;
  common::Ring<W> rest;

  [[nodiscard]] bool empty() const noexcept { return !first && rest.empty(); }
  [[nodiscard]] std::size_t size() const noexcept { return (first ? 1 : 0) + rest.size(); }
};

enum class ReleaseStatus : std::uint8_t {
  released,
  over_bound,  // refused: the bound would be passed
  overflowed   // refused: the count of free permits would pass 2**64 - 1
};

template <class W>
struct Release {
  ReleaseStatus status;
  Handed<W> granted;
};

struct SemaphoreState {
  std::uint64_t value;       // free permits
  std::uint64_t waiting;     // queued waiters
  std::uint64_t in_transit;  // granted waiters that have not claimed yet
  friend bool operator==(const SemaphoreState&, const SemaphoreState&) = default;
};

template <class W>
class Semaphore {
 public:
  // Without a bound, any number of releases is allowed.
  Semaphore(std::uint64_t value, std::optional<std::uint64_t> bound) noexcept : value_(value), bound_(bound) {}
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;
  // The queue is emptied first, so whatever destroying a waiter runs finds an
  // empty semaphore rather than one in mid-destruction.
  ~Semaphore() { [[maybe_unused]] common::Ring<W> queued = take_all(); }

  bool try_acquire() noexcept {
    const std::lock_guard lock(mutex_);
    return take_permit_unlocked();
  }
  // Granted at once: returns true and leaves `waiter` with the caller.
  // Otherwise `waiter` is moved to the back of the queue. Throws
  // std::bad_alloc, changing nothing, when the queue cannot grow.
  bool acquire_or_register(W& waiter) {
    const std::lock_guard lock(mutex_);
    if (take_permit_unlocked()) return true;
    queue_.reserve_one();
    queue_.push_back(std::move(waiter));
    return false;
  }

  // One more free permit, granted to the oldest waiter when one is queued.
  // Throws as claim().
  Release<W> release() {
    Release<W> release{ReleaseStatus::released, {}};
    const std::lock_guard lock(mutex_);
    if (bound_ && (in_transit_ >= *bound_ || value_ >= *bound_ - in_transit_)) {
      release.status = ReleaseStatus::over_bound;
      return release;
    }
    if (value_ == std::numeric_limits<std::uint64_t>::max()) {
      release.status = ReleaseStatus::overflowed;
      return release;
    }
    reserve_grants_unlocked(release.granted, value_ + 1);
    ++value_;
    grant_unlocked(release.granted);
    return release;
  }

  // A granted waiter runs and keeps its permit. Permits still free go to the
  // waiters that queued behind it. Throws std::bad_alloc, changing nothing,
  // only when that hands out several waiters but not the whole queue.
  Handed<W> claim() {
    Handed<W> granted;
    const std::lock_guard lock(mutex_);
    reserve_grants_unlocked(granted, value_);
    if (in_transit_ > 0) --in_transit_;
    grant_unlocked(granted);
    return granted;
  }

  // A granted waiter that will not run (it was cancelled) returns its permit,
  // which goes on to the oldest waiter. Throws as claim().
  Handed<W> give_back() {
    Handed<W> granted;
    const std::lock_guard lock(mutex_);
    if (in_transit_ == 0) return granted;  // nothing was granted: nothing to give back
    // Saturates: 2**64 - 1 free permits are as good as one more.
    const std::uint64_t value = value_ == std::numeric_limits<std::uint64_t>::max() ? value_ : value_ + 1;
    reserve_grants_unlocked(granted, value);
    --in_transit_;
    value_ = value;
    grant_unlocked(granted);
    return granted;
  }

  // Takes every queued waiter that `matches` out, keeping the order of the
  // rest, for the caller to release. Throws std::bad_alloc, changing nothing.
  template <class Matches>
  common::Ring<W> unregister_waiter(Matches&& matches) {
    const std::lock_guard lock(mutex_);
    return queue_.remove_if(std::forward<Matches>(matches));
  }

  // Up to `count` queued waiters, oldest first, without a permit and not in
  // transit. Throws std::bad_alloc, changing nothing, only when that hands out
  // several waiters but not the whole queue.
  Handed<W> wake(std::uint64_t count) {
    Handed<W> woken;
    const std::lock_guard lock(mutex_);
    reserve_grants_unlocked(woken, count);
    take_front_unlocked(woken, count);
    return woken;
  }

  [[nodiscard]] SemaphoreState state() const noexcept {
    const std::lock_guard lock(mutex_);
    return {value_, queue_.size(), in_transit_};
  }
  // No permit can be taken at once: none is free, or others are ahead.
  [[nodiscard]] bool locked() const noexcept {
    const std::lock_guard lock(mutex_);
    return !permit_free_unlocked();
  }

  // Every queued waiter, handed over without being granted anything.
  common::Ring<W> take_all() noexcept {
    common::Ring<W> queued;
    const std::lock_guard lock(mutex_);
    queued.swap(queue_);
    return queued;
  }

  // For the garbage collector's traversal only: no other thread may run.
  template <class Visit>
  int visit_unlocked(Visit&& visit) const {
    return queue_.for_each(std::forward<Visit>(visit));
  }

 private:
  [[nodiscard]] bool permit_free_unlocked() const noexcept { return value_ > 0 && queue_.empty() && in_transit_ == 0; }
  bool take_permit_unlocked() noexcept {
    if (!permit_free_unlocked()) return false;
    --value_;
    return true;
  }

  // Makes room for the waiters a take of `count` will hand out, before any
  // change, so that the change itself cannot fail.
  void reserve_grants_unlocked(Handed<W>& handed, std::uint64_t count) {
    const std::size_t taken = count < queue_.size() ? static_cast<std::size_t>(count) : queue_.size();
    if (taken > 1 && taken < queue_.size()) handed.rest.reserve(taken - 1);
  }
  // Hands out min(count, queued) waiters into an empty `handed`, reserved as above.
  void take_front_unlocked(Handed<W>& handed, std::uint64_t count) noexcept {
    if (count == 0 || queue_.empty()) return;
    if (count >= queue_.size() && queue_.size() > 1) {
      handed.rest.swap(queue_);  // an empty queue keeps its storage
      handed.first.emplace(handed.rest.pop_front());
      return;
    }
    handed.first.emplace(queue_.pop_front());
    for (std::uint64_t i = 1; i < count && !queue_.empty(); ++i) handed.rest.push_back(queue_.pop_front());
  }
  void grant_unlocked(Handed<W>& granted) noexcept {
    const std::uint64_t count = value_ < queue_.size() ? value_ : queue_.size();
    if (count == 0) return;
    take_front_unlocked(granted, count);
    value_ -= count;
    in_transit_ += count;
  }

  mutable common::ShortMutex mutex_;
  std::uint64_t value_;
  const std::optional<std::uint64_t> bound_;
  std::uint64_t in_transit_ = 0;
  common::Ring<W> queue_;
};

}  // namespace tessaryne::sync
