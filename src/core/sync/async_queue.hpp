#pragma once
// The state machine of an asynchronous queue with asyncio.Queue's rules: a
// first-in first-out buffer, bounded or not, whose getters and putters wait in
// line to be woken, not handed anything. A woken getter takes an item itself,
// so an item stays in the buffer until it is taken, and a waiter cancelled
// after its wake-up loses nothing: it passes the wake-up on. Beside the buffer:
// the count of unfinished items (put, not yet marked done) with the joiners
// that wait for it to reach zero, and shutdown, after which puts are refused,
// and gets once the buffer is empty (an immediate shutdown empties it).
//
// It never blocks and never wakes anyone itself: each operation hands back
// the waiters to wake, and everything that leaves (waiters, items) leaves by
// value, for the caller to release once the lock is let go. Templated over the
// item and the waiter so the C++ tests drive it with plain values.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <utility>

#include "core/common/ring.hpp"
#include "core/common/short_mutex.hpp"

namespace tessaryne::sync {

enum class PutStatus : std::uint8_t { put, full, shut_down };
enum class GetStatus : std::uint8_t { taken, empty, shut_down };
enum class TaskDoneStatus : std::uint8_t { counted, reached_zero, too_many };

struct QueueState {
  std::uint64_t size;        // items buffered
  std::uint64_t getters;     // queued getters
  std::uint64_t putters;     // queued putters
  std::uint64_t unfinished;  // items put and not yet marked done
  bool shut_down;
  friend bool operator==(const QueueState&, const QueueState&) = default;
};

template <class Item, class W>
class AsyncQueue {
 public:
  // What shutdown() takes out: with an immediate shutdown every buffered
  // item, and the waiters to wake: every getter, every putter, then the
  // joiners when no unfinished item is left.
  struct Shutdown {
    common::Ring<Item> drained;
    common::Ring<W> woken;
  };

  // Everything the queue holds, taken out at once.
  struct Contents {
    common::Ring<Item> buffer;
    common::Ring<W> getters;
    common::Ring<W> putters;
    common::Ring<W> joiners;
  };

  // A maxsize of 0 means unbounded.
  explicit AsyncQueue(std::uint64_t maxsize) noexcept : maxsize_(maxsize) {}
  AsyncQueue(const AsyncQueue&) = delete;
  AsyncQueue& operator=(const AsyncQueue&) = delete;
  // The contents are taken out first, so whatever their release runs finds an
  // empty queue rather than one in mid-destruction.
  ~AsyncQueue() { [[maybe_unused]] Contents contents = take_all(); }

  // Buffers `item` (moved from) and counts it unfinished, waking the oldest
  // getter. Refused, or on std::bad_alloc, `item` stays with the caller.
  PutStatus put(Item& item, std::optional<W>& woken) {
    const std::lock_guard lock(mutex_);
    if (shut_down_) return PutStatus::shut_down;
    if (full_unlocked()) return PutStatus::full;
    buffer_.reserve_one();
    buffer_.push_back(std::move(item));
    ++unfinished_;
    if (!getters_.empty()) woken.emplace(getters_.pop_front());
    return PutStatus::put;
  }

  // Moves the oldest item into `item` (empty on entry, so nothing is
  // destroyed under the lock), waking the oldest putter. Empty and shut down
  // is `shut_down`.
  GetStatus get(Item& item, std::optional<W>& woken) noexcept {
    const std::lock_guard lock(mutex_);
    if (buffer_.empty()) return shut_down_ ? GetStatus::shut_down : GetStatus::empty;
    item = buffer_.pop_front();
    if (!putters_.empty()) woken.emplace(putters_.pop_front());
    return GetStatus::taken;
  }

  // Queues `getter` (moved from) while the buffer is empty and the queue
  // open; otherwise returns true: the caller looks again now. Throws
  // std::bad_alloc, changing nothing, when the line cannot grow.
  bool register_getter(W& getter) {
    const std::lock_guard lock(mutex_);
    if (!buffer_.empty() || shut_down_) return true;
    getters_.reserve_one();
    getters_.push_back(std::move(getter));
    return false;
  }
  // As register_getter, while the buffer is full.
  bool register_putter(W& putter) {
    const std::lock_guard lock(mutex_);
    if (!full_unlocked() || shut_down_) return true;
    putters_.reserve_one();
    putters_.push_back(std::move(putter));
    return false;
  }

  // Takes the queued getters (putters, joiners) that `matches` out, for the
  // caller to release. Throws std::bad_alloc, changing nothing.
  template <class Matches>
  common::Ring<W> unregister_getter(Matches&& matches) {
    const std::lock_guard lock(mutex_);
    return getters_.remove_if(std::forward<Matches>(matches));
  }
  template <class Matches>
  common::Ring<W> unregister_putter(Matches&& matches) {
    const std::lock_guard lock(mutex_);
    return putters_.remove_if(std::forward<Matches>(matches));
  }
  template <class Matches>
  common::Ring<W> unregister_joiner(Matches&& matches) {
    const std::lock_guard lock(mutex_);
    return joiners_.remove_if(std::forward<Matches>(matches));
  }

  // A woken getter that will not take an item passes its wake-up on: the
  // oldest getter, while an item is there for it.
  std::optional<W> pass_getter_wakeup() noexcept {
    std::optional<W> woken;
    const std::lock_guard lock(mutex_);
    if (!buffer_.empty() && !getters_.empty()) woken.emplace(getters_.pop_front());
    return woken;
  }
  // The same for a woken putter: the oldest putter, while there is room.
  std::optional<W> pass_putter_wakeup() noexcept {
    std::optional<W> woken;
    const std::lock_guard lock(mutex_);
    if (!full_unlocked() && !putters_.empty()) woken.emplace(putters_.pop_front());
    return woken;
  }

  // One unfinished item is done; the last one releases every joiner into
  // `released`.
  TaskDoneStatus task_done(common::Ring<W>& released) noexcept {
    const std::lock_guard lock(mutex_);
    if (unfinished_ == 0) return TaskDoneStatus::too_many;
    if (--unfinished_ > 0) return TaskDoneStatus::counted;
    released.swap(joiners_);
    return TaskDoneStatus::reached_zero;
  }

  // Queues `joiner` (moved from) while items are unfinished; otherwise
  // returns true. Throws std::bad_alloc, changing nothing.
  bool register_joiner(W& joiner) {
    const std::lock_guard lock(mutex_);
    if (unfinished_ == 0) return true;
    joiners_.reserve_one();
    joiners_.push_back(std::move(joiner));
    return false;
  }

  // Refuses every later put, wakes every getter and putter (to look again and
  // find the queue shut down) and, when immediate, empties the buffer and
  // counts each item it held as done; joiners are woken once no unfinished
  // item is left. A second call shuts down again: it may still drain what was
  // left. Throws std::bad_alloc, changing nothing.
  Shutdown shutdown(bool immediate) {
    Shutdown taken;
    const std::lock_guard lock(mutex_);
    const std::uint64_t drained = immediate ? buffer_.size() : 0;
    const std::uint64_t unfinished = unfinished_ > drained ? unfinished_ - drained : 0;
    const bool joiners_too = unfinished == 0;
    taken.woken.reserve(getters_.size() + putters_.size() + (joiners_too ? joiners_.size() : 0));
    shut_down_ = true;
    unfinished_ = unfinished;
    if (immediate) taken.drained.swap(buffer_);
    move_all(getters_, taken.woken);
    move_all(putters_, taken.woken);
    if (joiners_too) move_all(joiners_, taken.woken);
    return taken;
  }

  [[nodiscard]] std::uint64_t maxsize() const noexcept { return maxsize_; }
  [[nodiscard]] QueueState state() const noexcept {
    const std::lock_guard lock(mutex_);
    return {buffer_.size(), getters_.size(), putters_.size(), unfinished_, shut_down_};
  }
  [[nodiscard]] std::size_t size() const noexcept {
    const std::lock_guard lock(mutex_);
    return buffer_.size();
  }
  [[nodiscard]] bool full() const noexcept {
    const std::lock_guard lock(mutex_);
    return full_unlocked();
  }

  Contents take_all() noexcept {
    Contents contents;
    const std::lock_guard lock(mutex_);
    contents.buffer.swap(buffer_);
    contents.getters.swap(getters_);
    contents.putters.swap(putters_);
    contents.joiners.swap(joiners_);
    return contents;
  }

  // Calls `visit` on every buffered item, then every getter, putter and
  // joiner, until it returns non-zero; returns that value or 0. For the
  // garbage collector only, which runs with every other thread stopped.
  template <class Visit>
  int visit_unlocked(Visit&& visit) const {
    if (const int result = buffer_.for_each(visit)) return result;
    if (const int result = getters_.for_each(visit)) return result;
    if (const int result = putters_.for_each(visit)) return result;
    return joiners_.for_each(visit);
  }

 private:
  [[nodiscard]] bool full_unlocked() const noexcept { return maxsize_ != 0 && buffer_.size() >= maxsize_; }
  // `to` has room for them all.
  static void move_all(common::Ring<W>& from, common::Ring<W>& to) noexcept {
    while (!from.empty()) to.push_back(from.pop_front());
  }

  const std::uint64_t maxsize_;
  mutable common::ShortMutex mutex_;
  common::Ring<Item> buffer_;
  common::Ring<W> getters_;
  common::Ring<W> putters_;
  common::Ring<W> joiners_;
  std::uint64_t unfinished_ = 0;
  bool shut_down_ = false;
};

}  // namespace tessaryne::sync
