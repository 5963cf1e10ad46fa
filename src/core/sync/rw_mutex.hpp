#pragma once
// The state machine of an asynchronous reader-writer lock with writer
// preference: any number of readers or one writer, and once a writer waits,
// new readers wait too. It never blocks: an acquisition is granted at once or
// its waiter is queued, and a release or a removal hands back the waiters it
// granted (the counters already count them) for the caller to wake.
//
// Waiters leave by value and are destroyed by the caller after the lock is let
// go, the removed ones included: destroying a waiter may call back into the
// same lock. Templated over the waiter so the C++ tests drive it with integers.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <utility>

#include "core/common/ring.hpp"
#include "core/common/short_mutex.hpp"

namespace tessaryne::sync {

struct RWSnapshot {
  std::uint64_t readers;
  bool has_writer;
  std::uint64_t pending_writers;
  friend bool operator==(const RWSnapshot&, const RWSnapshot&) = default;
};

// The waiters one call granted: one writer, or every queued reader (oldest
// first), or nobody. Never both.
template <class W>
struct Granted {
  std::optional<W> writer;
  common::Ring<W> readers;

  [[nodiscard]] bool empty() const noexcept { return !writer && readers.empty(); }
};

template <class W>
struct Removal {
  common::Ring<W> removed;  // the matching waiters, for the caller to release
  Granted<W> granted;       // readers admitted because the last pending writer left
};

template <class W>
struct Queued {
  common::Ring<W> readers;
  common::Ring<W> writers;
};

template <class W>
class RWMutex {
 public:
  RWMutex() = default;
  RWMutex(const RWMutex&) = delete;
  RWMutex& operator=(const RWMutex&) = delete;
  // The queues are emptied first, so whatever destroying a waiter runs finds
  // an empty lock rather than one in mid-destruction.
  ~RWMutex() { [[maybe_unused]] Queued<W> queued = take_all(); }

  bool try_acquire_read() noexcept {
    const std::lock_guard lock(mutex_);
    return grant_read_unlocked();
  }
  // Granted at once: returns true and leaves `waiter` with the caller.
  // Otherwise `waiter` is moved to the back of the read queue. Throws
  // std::bad_alloc, changing nothing, when the queue cannot grow.
  bool acquire_read_or_register(W& waiter) {
    const std::lock_guard lock(mutex_);
    if (grant_read_unlocked()) return true;
    readers_queue_.reserve_one();
    readers_queue_.push_back(std::move(waiter));
    return false;
  }

  bool try_acquire_write() noexcept {
    const std::lock_guard lock(mutex_);
    return grant_write_unlocked();
  }
  // As acquire_read_or_register, for the write queue. A writer never
  // overtakes the writers already queued.
  bool acquire_write_or_register(W& waiter) {
    const std::lock_guard lock(mutex_);
    if (grant_write_unlocked()) return true;
    writers_queue_.reserve_one();
    writers_queue_.push_back(std::move(waiter));
    return false;
  }

  // A release without a matching hold is absorbed: the count stays at 0 and
  // the hand-over to a queued writer still happens.
  Granted<W> release_read() noexcept {
    Granted<W> granted;
    const std::lock_guard lock(mutex_);
    if (readers_ > 0 && --readers_ > 0) return granted;
    if (!writers_queue_.empty()) grant_next_writer_unlocked(granted);
    return granted;
  }

  Granted<W> release_write() noexcept {
    Granted<W> granted;
    const std::lock_guard lock(mutex_);
    has_writer_ = false;
    if (!writers_queue_.empty())
      grant_next_writer_unlocked(granted);
    else
      admit_queued_readers_unlocked(granted);
    return granted;
  }

  // Takes every waiter of one queue that `matches` out, keeping the order of
  // the rest. Leaving the write queue may unblock the queued readers, which
  // are then admitted, whether or not anything was removed. Throws
  // std::bad_alloc, changing nothing.
  template <class Matches>
  Removal<W> remove_waiter(Matches&& matches, bool is_writer) {
    Removal<W> removal;
    const std::lock_guard lock(mutex_);
    if (!is_writer) {
      removal.removed = readers_queue_.remove_if(matches);
      return removal;
    }
    removal.removed = writers_queue_.remove_if(matches);
    if (writers_queue_.empty() && !has_writer_) admit_queued_readers_unlocked(removal.granted);
    return removal;
  }

  [[nodiscard]] RWSnapshot snapshot() const noexcept {
    const std::lock_guard lock(mutex_);
    return {readers_, has_writer_, writers_queue_.size()};
  }

  // Every queued waiter, handed over without being granted anything.
  Queued<W> take_all() noexcept {
    Queued<W> queued;
    const std::lock_guard lock(mutex_);
    queued.readers.swap(readers_queue_);
    queued.writers.swap(writers_queue_);
    return queued;
  }

  // For the garbage collector's traversal only: no other thread may run.
  template <class Visit>
  int visit_unlocked(Visit&& visit) const {
    if (const int result = readers_queue_.for_each(visit)) return result;
    return writers_queue_.for_each(visit);
  }

 private:
  // The pending writers are the write queue: a writer is pending from its
  // registration until it is granted or removed.
  [[nodiscard]] bool read_admitted_unlocked() const noexcept { return !has_writer_ && writers_queue_.empty(); }

  bool grant_read_unlocked() noexcept {
    if (!read_admitted_unlocked()) return false;
    ++readers_;
    return true;
  }
  bool grant_write_unlocked() noexcept {
    if (!read_admitted_unlocked() || readers_ != 0) return false;
    has_writer_ = true;
    return true;
  }
  void grant_next_writer_unlocked(Granted<W>& granted) noexcept {
    granted.writer.emplace(writers_queue_.pop_front());
    has_writer_ = true;
  }
  // The whole read queue in one step. An empty queue keeps its storage.
  void admit_queued_readers_unlocked(Granted<W>& granted) noexcept {
    if (readers_queue_.empty()) return;
    readers_ += readers_queue_.size();
    granted.readers.swap(readers_queue_);
  }

  mutable common::ShortMutex mutex_;
  std::uint64_t readers_ = 0;
  bool has_writer_ = false;
  common::Ring<W> readers_queue_;
  common::Ring<W> writers_queue_;
};

}  // namespace tessaryne::sync
