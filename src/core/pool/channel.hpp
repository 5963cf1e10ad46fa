#pragma once
// A channel: a first-in first-out queue shared by threads that never block.
// Sending and receiving are tries; the caller decides how to wait. Bounded or
// unbounded (capacity 0). Closing stops sends at once and leaves what is
// queued receivable; a receive reports "closed" only once the channel is both
// closed and empty, so nothing sent successfully is ever lost.
//
// Elements leave the channel by value (try_recv, take_all) and are released
// by the caller, never under the lock: an element's destructor may call back
// into the same channel. Templated over the element so the C++ tests drive it
// with plain integers.

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>

#include "core/pool/locked_queue.hpp"

namespace tessaryne::pool {

template <class T>
class Channel {
 public:
  // A capacity of 0 means unbounded.
  explicit Channel(std::uint64_t capacity) noexcept
      : queue_(static_cast<std::size_t>(std::min<std::uint64_t>(capacity, std::numeric_limits<std::size_t>::max()))) {}
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;
  // What is still queued is taken out first, so anything its destruction runs
  // finds an empty channel rather than one in mid-destruction.
  ~Channel() { [[maybe_unused]] Ring<T> queued = queue_.take_all(); }

  // Queues `item` (moved from) unless the channel is closed or full; otherwise,
  // and when growing fails with std::bad_alloc, `item` stays with the caller.
  PushResult try_send(T& item) {
    // The flag spares a closed channel the lock; a send that passed it while
    // close() ran is settled by the queue, under its lock.
    if (closed_.load(std::memory_order_acquire)) return PushResult::disconnected;
    return queue_.try_push(item);
  }

  // The front item (also after close()), or `empty`, or `disconnected` once
  // the channel is closed and empty for good.
  Popped<T> try_recv() noexcept {
    // Polling an empty open channel takes no lock, so idle receivers do not
    // slow the senders down. "closed" is only ever answered under the lock.
    if (queue_.looks_empty() && !closed_.load(std::memory_order_acquire)) return {T{}, PopStatus::empty};
    return queue_.try_pop_or_status();
  }

  void close() noexcept {
    // The queue first: once the flag reads true, no send can still succeed and
    // a receive from the empty channel reports it closed.
    queue_.disconnect();
    closed_.store(true, std::memory_order_release);
  }
  [[nodiscard]] bool is_closed() const noexcept { return closed_.load(std::memory_order_acquire); }
  [[nodiscard]] std::size_t qsize() const noexcept { return queue_.size(); }

  // Every queued item, handed over for the caller to release outside the lock.
  Ring<T> take_all() noexcept { return queue_.take_all(); }

  // For the garbage collector's traversal only (see LockedQueue::visit_unlocked).
  template <class Visit>
  int visit_unlocked(Visit&& visit) const {
    return queue_.visit_unlocked(std::forward<Visit>(visit));
  }

 private:
  LockedQueue<T> queue_;
  std::atomic<bool> closed_{false};
};

}  // namespace tessaryne::pool
