#pragma once
// Per-object access counter: 0 free, -1 held exclusively, n > 0 held shared by n callers.
// Acquisition never waits; a conflicting request is reported to the caller.

#include <atomic>
#include <cstdint>

namespace tessaryne::common {

enum class BorrowResult : std::uint8_t { acquired, held_exclusively, held };

class BorrowFlag {
 public:
  BorrowResult acquire_shared() noexcept {
    std::int64_t seen = count_.load(std::memory_order_relaxed);
    do {
      if (seen < 0) return BorrowResult::held_exclusively;
    } while (!count_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire, std::memory_order_relaxed));
    return BorrowResult::acquired;
  }
  void release_shared() noexcept { count_.fetch_sub(1, std::memory_order_release); }

  BorrowResult acquire_exclusive() noexcept {
    std::int64_t expected = 0;
    if (count_.compare_exchange_strong(expected, -1, std::memory_order_acquire, std::memory_order_relaxed))
      return BorrowResult::acquired;
    return BorrowResult::held;
  }
  void release_exclusive() noexcept { count_.store(0, std::memory_order_release); }

 private:
  std::atomic<std::int64_t> count_{0};
};

}  // namespace tessaryne::common
