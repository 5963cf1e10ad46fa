#pragma once
// The state machine of the asynchronous channel: a first-in first-out buffer,
// optionally bounded, closable, with three queues of waiters (receivers
// waiting for an item, senders waiting for room, select watchers waiting for
// an item). It never blocks and never wakes anyone itself: each operation
// collects what is to be woken into a Wakeups record, which the caller
// delivers once the lock is let go. Everything that leaves the channel (woken
// or removed waiters, items, the whole contents) leaves by value, so the
// caller releases it outside the lock: releasing may run code that calls back
// into the same channel.
//
// Templated over the item, the waiter and the notifier (select watcher) so the
// C++ tests drive it with plain values.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <utility>

#include "core/common/ring.hpp"
#include "core/common/short_mutex.hpp"

namespace tessaryne::sync {

using common::Ring;

enum class SendResult : std::uint8_t { sent, full, closed };
enum class RecvStatus : std::uint8_t { taken, empty, closed };
enum class PutterResult : std::uint8_t { room, queued, closed };

// A received item, or why there is none (`item` is then default-constructed).
template <class Item>
struct Received {
  Item item;
  RecvStatus status;
};

template <class Item, class Waiter, class Notifier>
class AsyncChannel {
 public:
  // A getter and the item handed to it.
  struct Handover {
    Waiter getter;
    Item item;
  };

  // What one operation wakes, delivered in the order of the members. No
  // operation fills both `handover` and `getters`, so this order is the order
  // in which each operation takes its waiters.
  struct Wakeups {
    Ring<Waiter> getters;  // close: each fails with the closing error
    std::optional<Handover> handover;
    std::optional<Waiter> putter;  // woken with no value
    Ring<Waiter> putters;          // woken with no value, or failed with the closing error when `closing`
    std::optional<Notifier> notifier;
    Ring<Notifier> notifiers;  // close
    bool closing = false;
  };

  // Everything the channel holds, taken out at once.
  struct Contents {
    Ring<Item> buffer;
    Ring<Waiter> getters;
    Ring<Waiter> putters;
    Ring<Notifier> notifiers;
  };

  // A maxsize of 0 means unbounded.
  explicit AsyncChannel(std::uint64_t maxsize) noexcept : maxsize_(maxsize) {}
  AsyncChannel(const AsyncChannel&) = delete;
  AsyncChannel& operator=(const AsyncChannel&) = delete;
  // The contents are taken out first, so whatever their release runs finds an
  // empty channel rather than one in mid-destruction.
  ~AsyncChannel() { [[maybe_unused]] Contents contents = take_all(); }

  // Hands `item` (moved from when sent) to the oldest getter, or buffers it:
  // past the bound when a notifier waits for it, within the bound otherwise.
  // Full, closed, or on std::bad_alloc, `item` stays with the caller.
  SendResult try_send(Item& item, Wakeups& wakeups) {
    const std::lock_guard lock(mutex_);
    if (closed_) return SendResult::closed;
    if (!getters_.empty()) {
      wakeups.handover.emplace(Handover{getters_.pop_front(), std::move(item)});
      // The buffer does not change, so there is room for every putter or for none.
      if (bounded() && buffer_.size() < maxsize_) wakeups.putters.swap(putters_);
      return SendResult::sent;
    }
    if (!notifiers_.empty()) {
      buffer_.reserve_one();
      buffer_.push_back(std::move(item));
      wakeups.notifier.emplace(notifiers_.pop_front());
      return SendResult::sent;
    }
    if (full_locked()) return SendResult::full;
    buffer_.reserve_one();
    buffer_.push_back(std::move(item));
    return SendResult::sent;
  }

  // The oldest item (also after close), waking the oldest putter of a bounded channel.
  Received<Item> try_recv(Wakeups& wakeups) noexcept {
    const std::lock_guard lock(mutex_);
    return take_or_status(wakeups);
  }

  // Takes the oldest item when no getter is ahead of this one; otherwise
  // queues `getter` (moved from), unless the channel is closed. On
  // std::bad_alloc nothing changes.
  Received<Item> register_getter(Waiter& getter, Wakeups& wakeups) {
    const std::lock_guard lock(mutex_);
    if (getters_.empty() && !buffer_.empty()) return take_or_status(wakeups);
    if (closed_) return {Item{}, RecvStatus::closed};
    getters_.reserve_one();
    getters_.push_back(std::move(getter));
    return {Item{}, RecvStatus::empty};
  }

  // `room` when no putter is ahead and there is room now (`putter` is not
  // taken); otherwise queues `putter` (moved from).
  PutterResult register_putter(Waiter& putter) {
    const std::lock_guard lock(mutex_);
    if (closed_) return PutterResult::closed;
    if (putters_.empty() && has_room_locked()) return PutterResult::room;
    putters_.reserve_one();
    putters_.push_back(std::move(putter));
    return PutterResult::queued;
  }

  // Removes every getter `matches` picks and returns them. When there is
  // none (already woken, or never queued), passes the wake-up on: the oldest
  // buffered item to the oldest getter, or else a notifier.
  template <class Match>
  Ring<Waiter> unregister_getter(Match&& matches, Wakeups& wakeups) {
    const std::lock_guard lock(mutex_);
    Ring<Waiter> removed = getters_.remove_if(std::forward<Match>(matches));
    if (removed.empty() && !buffer_.empty()) {
      if (!getters_.empty())
        wakeups.handover.emplace(Handover{getters_.pop_front(), buffer_.pop_front()});
      else if (!notifiers_.empty())
        wakeups.notifier.emplace(notifiers_.pop_front());
    }
    return removed;
  }

  // Removes every putter `matches` picks and returns them. When there is
  // none, passes the wake-up on to the oldest putter if there is room.
  template <class Match>
  Ring<Waiter> unregister_putter(Match&& matches, Wakeups& wakeups) {
    const std::lock_guard lock(mutex_);
    Ring<Waiter> removed = putters_.remove_if(std::forward<Match>(matches));
    if (removed.empty() && has_room_locked() && !putters_.empty()) wakeups.putter.emplace(putters_.pop_front());
    return removed;
  }

  // Queues `notifier` (moved from) when the channel is open and empty;
  // otherwise the caller can look at the channel now, and false is returned.
  bool register_select_watcher(Notifier& notifier) {
    const std::lock_guard lock(mutex_);
    if (closed_ || !buffer_.empty()) return false;
    notifiers_.reserve_one();
    notifiers_.push_back(std::move(notifier));
    return true;
  }

  template <class Match>
  Ring<Notifier> unregister_select_watcher(Match&& matches) {
    const std::lock_guard lock(mutex_);
    return notifiers_.remove_if(std::forward<Match>(matches));
  }

  // Passes a select's wake-up it did not use on to the next notifier.
  void forward_select_wakeup(Wakeups& wakeups) noexcept {
    const std::lock_guard lock(mutex_);
    wake_notifier_for_buffer_locked(wakeups);
  }

  // Closes the channel and takes every waiter to wake: getters and putters
  // fail, notifiers are told. False when it was closed already.
  bool close(Wakeups& wakeups) noexcept {
    const std::lock_guard lock(mutex_);
    if (closed_) return false;
    closed_ = true;
    wakeups.closing = true;
    wakeups.getters.swap(getters_);
    wakeups.putters.swap(putters_);
    wakeups.notifiers.swap(notifiers_);
    return true;
  }

  // Takes back an item whose hand-over to a getter could not be delivered:
  // it goes to the next getter, or else to the front of the buffer (past the
  // bound, and also when closed), so that it is the next item received; a
  // waiting notifier is then told. Throws std::bad_alloc only when the buffer
  // cannot grow, and `item` then stays with the caller.
  void requeue(Item&& item, Wakeups& wakeups) {
    const std::lock_guard lock(mutex_);
    if (!getters_.empty()) {
      wakeups.handover.emplace(Handover{getters_.pop_front(), std::move(item)});
      return;
    }
    buffer_.reserve_one();
    buffer_.push_front(std::move(item));
    wake_notifier_for_buffer_locked(wakeups);
  }

  [[nodiscard]] std::uint64_t maxsize() const noexcept { return maxsize_; }
  [[nodiscard]] bool is_closed() const noexcept {
    return read([&] { return closed_; });
  }
  [[nodiscard]] std::size_t qsize() const noexcept {
    return read([&] { return buffer_.size(); });
  }
  [[nodiscard]] bool empty() const noexcept {
    return read([&] { return buffer_.empty(); });
  }
  [[nodiscard]] bool full() const noexcept {
    return read([&] { return full_locked(); });
  }
  [[nodiscard]] std::size_t getters_len() const noexcept {
    return read([&] { return getters_.size(); });
  }
  [[nodiscard]] std::size_t putters_len() const noexcept {
    return read([&] { return putters_.size(); });
  }
  [[nodiscard]] std::size_t notifiers_len() const noexcept {
    return read([&] { return notifiers_.size(); });
  }

  Contents take_all() noexcept {
    Contents contents;
    const std::lock_guard lock(mutex_);
    contents.buffer.swap(buffer_);
    contents.getters.swap(getters_);
    contents.putters.swap(putters_);
    contents.notifiers.swap(notifiers_);
    return contents;
  }

  // Calls `visit` on every buffered item, then every getter, putter and
  // notifier, until it returns non-zero; returns that value or 0. Takes no
  // lock: only for the garbage collector, which runs with every other thread
  // stopped (the lock's holder may be the collecting thread itself).
  template <class Visit>
  int visit_unlocked(Visit&& visit) const {
    if (const int result = buffer_.for_each(visit)) return result;
    if (const int result = getters_.for_each(visit)) return result;
    if (const int result = putters_.for_each(visit)) return result;
    return notifiers_.for_each(visit);
  }

 private:
  [[nodiscard]] bool bounded() const noexcept { return maxsize_ != 0; }
  [[nodiscard]] bool full_locked() const noexcept { return bounded() && buffer_.size() >= maxsize_; }
  [[nodiscard]] bool has_room_locked() const noexcept { return !full_locked(); }

  Received<Item> take_or_status(Wakeups& wakeups) noexcept {
    if (!buffer_.empty()) {
      Received<Item> received{buffer_.pop_front(), RecvStatus::taken};
      if (bounded() && !putters_.empty()) wakeups.putter.emplace(putters_.pop_front());
      return received;
    }
    return {Item{}, closed_ ? RecvStatus::closed : RecvStatus::empty};
  }

  void wake_notifier_for_buffer_locked(Wakeups& wakeups) noexcept {
    if (!buffer_.empty() && getters_.empty() && !notifiers_.empty()) wakeups.notifier.emplace(notifiers_.pop_front());
  }

  template <class Read>
  auto read(Read&& read_locked) const noexcept {
    const std::lock_guard lock(mutex_);
    return read_locked();
  }

  const std::uint64_t maxsize_;
  mutable common::ShortMutex mutex_;
  Ring<Item> buffer_;
  Ring<Waiter> getters_;
  Ring<Waiter> putters_;
  Ring<Notifier> notifiers_;
  bool closed_ = false;
};

}  // namespace tessaryne::sync
