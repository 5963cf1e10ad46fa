#pragma once
// The first-in first-out queue behind the worker pool and the channel: a
// growable ring buffer under one ShortMutex, bounded or unbounded, that can be
// disconnected (no more pushes; what is queued stays poppable).
//
// Elements are moved in and out, never copied, and never destroyed under the
// lock: a popped element is returned to the caller, and take_all() hands every
// queued element over at once, so a caller holding Python references releases
// them after the lock is gone (a finalizer may call back into the same queue).
// Templated over the element so the C++ tests drive it with plain integers.

#include <algorithm>
#include <atomic>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

#include "core/common/ring.hpp"
#include "core/common/short_mutex.hpp"

namespace tessaryne::pool {

using common::Ring;

enum class PushResult : std::uint8_t { pushed, full, disconnected };
enum class PopStatus : std::uint8_t { popped, empty, disconnected };

// A popped element, or why there is none (`value` is then default-constructed).
template <class T>
struct Popped {
  T value;
  PopStatus status;
};

struct Pulled {
  std::size_t moved;
  std::size_t left;
};

template <class T>
class LockedQueue {
 public:
  // A bound of 0 means unbounded.
  explicit LockedQueue(std::size_t bound = 0) noexcept : bound_(bound) {}

  // Queues `value` unless the queue is full or disconnected; in those cases
  // (and when growing fails with std::bad_alloc) `value` is left untouched.
  PushResult try_push(T& value) {
    const std::lock_guard lock(mutex_);
    if (disconnected_) return PushResult::disconnected;
    if (bound_ != 0 && items_.size() >= bound_) return PushResult::full;
    items_.reserve_one();
    items_.push_back(std::move(value));
    publish_size();
    return PushResult::pushed;
  }

  std::optional<T> try_pop() noexcept {
    const std::lock_guard lock(mutex_);
    if (items_.empty()) return std::nullopt;
    T value = items_.pop_front();
    publish_size();
    return value;
  }

  // Like try_pop, but an empty queue also says whether it is disconnected,
  // read under the same lock: "disconnected" is then final, since no push can
  // succeed afterwards and nothing pushed before it is left behind.
  Popped<T> try_pop_or_status() noexcept {
    const std::lock_guard lock(mutex_);
    if (!items_.empty()) {
      Popped<T> popped{items_.pop_front(), PopStatus::popped};
      publish_size();
      return popped;
    }
    return {T{}, disconnected_ ? PopStatus::disconnected : PopStatus::empty};
  }

  // Moves elements from the front of this queue to the back of `target`
  // (which the caller guards), under one lock: as many as `batch(queued)`
  // allows for the number queued, stopping early if `target` cannot grow.
  // Returns how many moved and how many are left.
  template <class Batch>
  Pulled pop_into(Ring<T>& target, Batch&& batch) noexcept {
    const std::lock_guard lock(mutex_);
    const std::size_t limit = items_.empty() ? 0 : batch(items_.size());
    std::size_t moved = 0;
    for (; moved < limit && !items_.empty(); ++moved) {
      try {
        target.reserve_one();
      } catch (...) {
        break;
      }
      target.push_back(items_.pop_front());
    }
    publish_size();
    return {moved, items_.size()};
  }

  // Every queued element, handed over at once for the caller to release
  // outside the lock.
  Ring<T> take_all() noexcept {
    Ring<T> taken;
    const std::lock_guard lock(mutex_);
    taken.swap(items_);
    publish_size();
    return taken;
  }

  // Visits the queued elements without taking the lock: only for callers
  // that know no other thread runs, such as the garbage collector's
  // traversal, which stops every other thread and may interrupt a lock
  // holder (so taking the lock there could wait forever).
  template <class Visit>
  int visit_unlocked(Visit&& visit) const {
    return items_.for_each(std::forward<Visit>(visit));
  }

  [[nodiscard]] std::size_t size() const noexcept {
    const std::lock_guard lock(mutex_);
    return items_.size();
  }
  [[nodiscard]] bool empty() const noexcept { return size() == 0; }
  // The size as the last critical section left it, read without the lock:
  // a poller of an empty queue then only reads the lock's cache line instead
  // of taking it away from the threads that push.
  [[nodiscard]] bool looks_empty() const noexcept { return published_size_.load(std::memory_order_relaxed) == 0; }

  void disconnect() noexcept {
    const std::lock_guard lock(mutex_);
    disconnected_ = true;
  }
  [[nodiscard]] bool disconnected() const noexcept {
    const std::lock_guard lock(mutex_);
    return disconnected_;
  }

 private:
  // Under the lock.
  void publish_size() noexcept { published_size_.store(items_.size(), std::memory_order_relaxed); }

  mutable common::ShortMutex mutex_;
  std::atomic<std::size_t> published_size_{0};  // beside the lock: written in the same critical sections
  Ring<T> items_;
  std::size_t bound_;
  bool disconnected_ = false;
};

}  // namespace tessaryne::pool
