#pragma once
// The deadlines of a loop's connections: a min-heap with at most one live
// entry per connection. Moving a deadline later adds nothing: the entry fires,
// sees the later deadline and is pushed again; moving it earlier adds an entry
// and the older one is recognised as stale by its generation.

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "core/server/poller.hpp"

namespace tessaryne::server {

// What the connection's single deadline watches for.
enum class Phase : std::uint8_t {
  idle,    // between requests: keep_alive_timeout
  head,    // part of a head received: head_timeout from its first byte
  body,    // the request's body is due: body_timeout from its last byte, and its rate, while reading
  busy,    // a request is being served or a WebSocket session runs: no deadline
  linger,  // after the last answer, draining input: linger_timeout
};

class Deadlines {
 public:
  struct Entry {
    Clock::time_point at;
    std::uint64_t token;
    std::uint32_t generation;
  };

  void push(Entry entry) {
    heap_.push_back(entry);
    std::push_heap(heap_.begin(), heap_.end(), later);
  }
  [[nodiscard]] std::optional<Clock::time_point> earliest() const noexcept {
    if (heap_.empty()) return std::nullopt;
    return heap_.front().at;
  }
  // Removes and returns the earliest entry due at `now`.
  std::optional<Entry> pop_due(Clock::time_point now) {
    if (heap_.empty() || heap_.front().at > now) return std::nullopt;
    std::pop_heap(heap_.begin(), heap_.end(), later);
    const Entry entry = heap_.back();
    heap_.pop_back();
    return entry;
  }
  [[nodiscard]] std::size_t size() const noexcept { return heap_.size(); }

 private:
  static bool later(const Entry& a, const Entry& b) noexcept { return a.at > b.at; }
  std::vector<Entry> heap_;
};

// One connection's view of its deadline.
class Deadline {
 public:
  // Sets the deadline; returns the entry to push when the pending one fires too late.
  std::optional<Deadlines::Entry> arm(Clock::time_point at, std::uint64_t token) noexcept {
    at_ = at;
    armed_ = true;
    if (pending_ && pending_at_ <= at) return std::nullopt;
    pending_ = true;
    pending_at_ = at;
    return Deadlines::Entry{at, token, ++generation_};
  }
  void disarm() noexcept { armed_ = false; }
  // An entry came due: whether it is this connection's live one. The caller
  // then asks expired() or re-arms through arm(at()).
  bool take(const Deadlines::Entry& entry) noexcept {
    if (!pending_ || entry.generation != generation_) return false;
    pending_ = false;
    return true;
  }
  [[nodiscard]] bool armed() const noexcept { return armed_; }
  [[nodiscard]] Clock::time_point at() const noexcept { return at_; }

 private:
  Clock::time_point at_{};
  Clock::time_point pending_at_{};
  std::uint32_t generation_ = 0;
  bool armed_ = false;
  bool pending_ = false;
};

}  // namespace tessaryne::server
