#pragma once
// Per-worker statistics counters: six counters per worker, each in its own
// cache line, so that workers updating their own counters never share a line.
// Relaxed atomics only (they are statistics, ordered with nothing else), and no
// allocation or lock after construction. An index at or beyond the worker count
// is not an error: updates do nothing and reads give 0, so a table may be sized
// differently from the pool that reports into it. Arithmetic wraps modulo 2^64.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

namespace tessaryne::metrics {

enum class Counter : std::uint8_t {
  active,                 // tasks the worker is running now
  completed,              // tasks the worker has finished
  global_pull,            // tasks taken from the shared injection queue
  park,                   // polls that found nothing
  injection_queue_depth,  // the injection queue's length the worker saw last
  remote_schedule,        // tasks delivered into the worker's inbox
};
inline constexpr std::size_t kCounterKinds = 6;

inline constexpr std::size_t kCacheLine = 64;

struct alignas(kCacheLine) CounterCell {
  std::atomic<std::uint64_t> value{0};
};
static_assert(sizeof(CounterCell) == kCacheLine);
static_assert(alignof(CounterCell) == kCacheLine);
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

class CounterTable {
 public:
  // Throws std::bad_alloc when the cells cannot be allocated.
  explicit CounterTable(std::uint64_t num_threads) : num_threads_(num_threads) {
    if (num_threads == 0) return;
    if (num_threads > SIZE_MAX / sizeof(CounterCell)) throw std::bad_array_new_length();
    for (auto& cells : cells_) cells = std::make_unique<CounterCell[]>(static_cast<std::size_t>(num_threads));
  }

  [[nodiscard]] std::uint64_t num_threads() const noexcept { return num_threads_; }

  void add(Counter counter, std::uint64_t index, std::uint64_t amount) noexcept {
    if (CounterCell* cell = find(counter, index)) cell->value.fetch_add(amount, std::memory_order_relaxed);
  }
  void increment(Counter counter, std::uint64_t index) noexcept { add(counter, index, 1); }
  void store(Counter counter, std::uint64_t index, std::uint64_t value) noexcept {
    if (CounterCell* cell = find(counter, index)) cell->value.store(value, std::memory_order_relaxed);
  }
  [[nodiscard]] std::uint64_t load(Counter counter, std::uint64_t index) const noexcept {
    const CounterCell* cell = find(counter, index);
    return cell == nullptr ? 0 : cell->value.load(std::memory_order_relaxed);
  }

  // A task finished: two independent updates, so a reader may see `active`
  // lowered before `completed` is raised.
  void finish_task(std::uint64_t index) noexcept {
    add(Counter::active, index, ~std::uint64_t{0});  // -1 modulo 2^64
    increment(Counter::completed, index);
  }

 private:
  [[nodiscard]] CounterCell* find(Counter counter, std::uint64_t index) const noexcept {
    if (index >= num_threads_) return nullptr;
    return &cells_[static_cast<std::size_t>(counter)][static_cast<std::size_t>(index)];
  }

  std::uint64_t num_threads_;
  std::array<std::unique_ptr<CounterCell[]>, kCounterKinds> cells_;
};

}  // namespace tessaryne::metrics
