#pragma once
// A mutex for critical sections of a few dozen instructions (a queue push or
// pop, a counter update): one 32-bit atomic, a short spin, then a futex-backed
// wait. Uncontended, lock and unlock are one atomic operation each, which is
// what keeps a queue call near the cost of the Python method call around it.
// Meets the Lockable requirements, so std::lock_guard and std::unique_lock work.

#include <sched.h>

#include <atomic>
#include <cstdint>

namespace tessaryne::common {

class ShortMutex {
 public:
  void lock() noexcept {
    std::uint32_t seen = kFree;
    if (state_.compare_exchange_strong(seen, kLocked, std::memory_order_acquire, std::memory_order_relaxed)) return;
    lock_contended();
  }
  bool try_lock() noexcept {
    std::uint32_t seen = kFree;
    return state_.compare_exchange_strong(seen, kLocked, std::memory_order_acquire, std::memory_order_relaxed);
  }
  void unlock() noexcept {
    if (state_.exchange(kFree, std::memory_order_release) == kLockedWithWaiters) state_.notify_one();
  }

 private:
  static constexpr std::uint32_t kFree = 0;
  static constexpr std::uint32_t kLocked = 1;
  static constexpr std::uint32_t kLockedWithWaiters = 2;

  void lock_contended() noexcept {
    // The holder is usually about to leave: spin briefly, then yield the
    // processor a few times (the holder may be waiting for it: a server runs
    // more threads than cores), before sleeping.
    for (int spin = 0; spin < 48; ++spin) {
      if (state_.load(std::memory_order_relaxed) == kFree && try_lock()) return;
      if (spin < 8) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
      } else {
        sched_yield();
      }
    }
    // From here on the lock is taken as "with waiters", so the unlock that
    // follows always wakes a sleeper if there may be one.
    while (state_.exchange(kLockedWithWaiters, std::memory_order_acquire) != kFree)
      state_.wait(kLockedWithWaiters, std::memory_order_relaxed);
  }

  std::atomic<std::uint32_t> state_{kFree};
};

}  // namespace tessaryne::common
