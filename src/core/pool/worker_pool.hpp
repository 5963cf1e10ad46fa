#pragma once
// The queueing core of the runtime's thread pool, templated over the task type
// so the C++ tests drive it with plain values. It holds no threads: worker `i`
// polls pop_work(i), any thread submits with push_global (to whichever worker
// gets there first) or push_local (to one named worker).
//
// Queues: one unbounded injection queue shared by all workers; per worker a
// bounded inbox and a local run queue. pop_work serves the worker's local run
// queue, then refills it with a batch of its share of the injection queue, then
// tries its inbox. A worker never touches another worker's queues, so one
// worker's poll never waits behind another's local run queue.
//
// Closing refuses new submissions and lets the workers drain what is queued.
// It sets `closed_` first (what submissions check), then disconnects every
// queue (which refuses a submission that passed the check meanwhile), and sets
// `sealed_` last. A worker judges itself drained only once it sees `sealed_`:
// from then on no queue can gain a task, so a push that returned normally was
// queued before, and the drained check looks in the order tasks flow (the
// injection queue before the local run queue it feeds), so such a task is
// either seen or already handed out.
//
// Locks: each queue's own, one per local run queue, and the metrics lock,
// always innermost apart from the queues' own (leaf) locks. No lock is held
// while a task is released: tasks leave by move, and discard_queued() lets go
// of each queue's tasks after that queue's lock is released.

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <utility>

#include "core/common/short_mutex.hpp"
#include "core/metrics/counter_table.hpp"
#include "core/pool/locked_queue.hpp"

namespace tessaryne::pool {

inline constexpr std::size_t kInboxCapacity = 256;  // push_local spills to the injection queue beyond this
inline constexpr std::size_t kMaxPullBatch = 128;   // most tasks moved into a local run queue by one pop_work

enum class SubmitResult : std::uint8_t { queued, closed, index_out_of_range };
enum class WorkStatus : std::uint8_t { task, none, drained };

template <class Task>
struct Work {
  WorkStatus status;
  Task task;  // default-constructed unless status is WorkStatus::task
};

// MetricsKeeper keeps the attached counter table alive (the binding's
// reference to the Python object that owns it); it is stored and replaced
// under the metrics lock together with the table pointer.
template <class Task, class MetricsKeeper = std::nullptr_t>
class WorkerPool {
 public:
  // Throws std::bad_alloc when the per-worker queues cannot be allocated.
  explicit WorkerPool(std::uint64_t num_threads)
      : num_threads_(num_threads), puller_limit_(std::max<std::uint64_t>(num_threads / 2, 1)) {
    if (num_threads > SIZE_MAX / sizeof(Worker)) throw std::bad_array_new_length();
    if (num_threads != 0) workers_ = std::make_unique<Worker[]>(static_cast<std::size_t>(num_threads));
  }

  [[nodiscard]] std::uint64_t num_threads() const noexcept { return num_threads_; }

  // Queues `task` at the back of the injection queue. Unless the result is
  // `queued`, `task` is left with the caller. Throws std::bad_alloc.
  SubmitResult push_global(Task& task) {
    if (closed_.load(std::memory_order_acquire)) return SubmitResult::closed;
    return injection_.try_push(task) == PushResult::pushed ? SubmitResult::queued : SubmitResult::closed;
  }

  // Queues `task` in worker `index`'s inbox, or in the injection queue when
  // that inbox is full. Unless the result is `queued`, `task` is left with the
  // caller. Throws std::bad_alloc.
  SubmitResult push_local(std::uint64_t index, Task& task) {
    if (closed_.load(std::memory_order_acquire) || num_threads_ == 0) return SubmitResult::closed;
    if (index >= num_threads_) return SubmitResult::index_out_of_range;
    switch (worker(index).inbox.try_push(task)) {
      case PushResult::pushed:
        record_remote_schedule(index);
        return SubmitResult::queued;
      case PushResult::full:
        return push_global(task);  // the spilled task is not counted as a remote schedule
      case PushResult::disconnected:
        break;
    }
    return SubmitResult::closed;
  }

  // Worker `index`'s next task: from its local run queue, else from a batch
  // pulled out of the injection queue, else from its inbox. `none` while
  // nothing is there for it now; `drained` once the pool is closed and its own
  // queues and the injection queue are empty. An index beyond the worker count
  // has no queues of its own: it gets `none`, or `drained` by the injection
  // queue alone.
  Work<Task> pop_work(std::uint64_t index) noexcept {
    if (index < num_threads_) {
      Worker& own = worker(index);
      std::unique_lock local(own.local_mutex);
      if (!own.local.empty() || refill_from_injection(index, own.local))
        return {WorkStatus::task, own.local.pop_front()};
      local.unlock();
      if (!own.inbox.looks_empty())
        if (std::optional<Task> task = own.inbox.try_pop()) return {WorkStatus::task, std::move(*task)};
    }
    if (!sealed_.load(std::memory_order_acquire)) {
      record_park(index);
      return {WorkStatus::none, Task{}};
    }
    return {is_worker_drained(index) ? WorkStatus::drained : WorkStatus::none, Task{}};
  }

  void close() noexcept {
    closed_.store(true, std::memory_order_release);
    injection_.disconnect();
    for (std::uint64_t i = 0; i < num_threads_; ++i) worker(i).inbox.disconnect();
    sealed_.store(true, std::memory_order_release);
  }

  [[nodiscard]] bool is_closed() const noexcept { return closed_.load(std::memory_order_acquire); }

  // Nothing queued anywhere, looked at one queue after another (not an atomic
  // snapshot); the closed state does not matter.
  [[nodiscard]] bool is_drained() const noexcept {
    if (!injection_.empty()) return false;
    for (std::uint64_t i = 0; i < num_threads_; ++i)
      if (!worker(i).inbox.empty()) return false;
    for (std::uint64_t i = 0; i < num_threads_; ++i) {
      const Worker& own = worker(i);
      const std::lock_guard local(own.local_mutex);
      if (!own.local.empty()) return false;
    }
    return true;
  }

  // Attaches `table`, kept alive by `keeper`; returns the keeper it replaces,
  // for the caller to release once this call has let go of the lock.
  MetricsKeeper set_metrics(metrics::CounterTable& table, MetricsKeeper keeper) noexcept {
    const std::lock_guard lock(metrics_mutex_);
    metrics_.store(&table, std::memory_order_release);
    return std::exchange(metrics_keeper_, std::move(keeper));
  }

  // Detaches the metrics (only for clearing a pool that is going away);
  // returns their keeper for the caller to release.
  MetricsKeeper take_metrics() noexcept {
    const std::lock_guard lock(metrics_mutex_);
    metrics_.store(nullptr, std::memory_order_release);
    return std::exchange(metrics_keeper_, MetricsKeeper{});
  }

  // Every queued task is taken out and released, one queue at a time, each
  // after that queue's lock is let go: releasing a task may run code that calls
  // back into this pool. The pool stays usable.
  void discard_queued() noexcept {
    {
      [[maybe_unused]] const Ring<Task> taken = injection_.take_all();
    }
    for (std::uint64_t i = 0; i < num_threads_; ++i) {
      Worker& own = worker(i);
      {
        [[maybe_unused]] const Ring<Task> taken = own.inbox.take_all();
      }
      Ring<Task> taken;
      {
        const std::lock_guard local(own.local_mutex);
        taken.swap(own.local);
      }
    }
  }

  // Visits every queued task without locking, then returns the first non-zero
  // result of `visit`, or 0. Only for callers that know no other thread runs
  // (the garbage collector's traversal).
  template <class Visit>
  int visit_unlocked(Visit&& visit) const {
    if (const int result = injection_.visit_unlocked(visit)) return result;
    for (std::uint64_t i = 0; i < num_threads_; ++i) {
      if (const int result = worker(i).inbox.visit_unlocked(visit)) return result;
      if (const int result = worker(i).local.for_each(visit)) return result;
    }
    return 0;
  }
  [[nodiscard]] const MetricsKeeper& metrics_keeper_unlocked() const noexcept { return metrics_keeper_; }

 private:
  struct Worker {
    // The local run queue is the worker's own; the inbox is shared with the
    // producers: each on its own cache line.
    alignas(metrics::kCacheLine) mutable common::ShortMutex local_mutex;
    Ring<Task> local;
    alignas(metrics::kCacheLine) LockedQueue<Task> inbox{kInboxCapacity};
  };

  Worker& worker(std::uint64_t index) noexcept { return workers_[static_cast<std::size_t>(index)]; }
  [[nodiscard]] const Worker& worker(std::uint64_t index) const noexcept {
    return workers_[static_cast<std::size_t>(index)];
  }

  // Called with worker `index`'s (empty) local run queue locked: moves a batch
  // from the injection queue into it. While the pool is open, at most
  // `puller_limit_` workers pull at once and each takes about its share of the
  // backlog; once sealed there is no limit and a batch takes what there is.
  // Returns whether anything moved.
  bool refill_from_injection(std::uint64_t index, Ring<Task>& local) noexcept {
    // An idle worker's poll neither registers as a puller nor takes the lock.
    if (injection_.looks_empty()) return false;
    const bool sealed = sealed_.load(std::memory_order_acquire);
    // The puller count only limits contention; it orders nothing.
    if (!sealed && active_pullers_.fetch_add(1, std::memory_order_relaxed) >= puller_limit_) {
      active_pullers_.fetch_sub(1, std::memory_order_relaxed);
      return false;
    }
    const Pulled pulled = injection_.pop_into(local, [&](std::size_t queued) {
      return std::min(sealed ? queued : queued / num_threads_ + 1, kMaxPullBatch);
    });
    if (pulled.moved != 0) record_pull(index, pulled.moved, pulled.left);
    if (!sealed) active_pullers_.fetch_sub(1, std::memory_order_relaxed);
    return pulled.moved != 0;
  }

  bool is_worker_drained(std::uint64_t index) const noexcept {
    if (!injection_.empty()) return false;
    if (index >= num_threads_) return true;
    const Worker& own = worker(index);
    if (!own.inbox.empty()) return false;
    const std::lock_guard local(own.local_mutex);
    return own.local.empty();
  }

  // Metrics updates, under the metrics lock; skipped without it while nothing is attached.
  template <class Update>
  void update_metrics(Update&& update) noexcept {
    if (metrics_.load(std::memory_order_acquire) == nullptr) return;
    const std::lock_guard lock(metrics_mutex_);
    if (metrics::CounterTable* table = metrics_.load(std::memory_order_relaxed)) update(*table);
  }
  void record_pull(std::uint64_t index, std::size_t moved, std::size_t left) noexcept {
    update_metrics([&](metrics::CounterTable& table) {
      table.add(metrics::Counter::global_pull, index, moved);
      table.store(metrics::Counter::injection_queue_depth, index, left);
    });
  }
  void record_park(std::uint64_t index) noexcept {
    update_metrics([&](metrics::CounterTable& table) {
      table.increment(metrics::Counter::park, index);
      table.store(metrics::Counter::injection_queue_depth, index, injection_.size());
    });
  }
  void record_remote_schedule(std::uint64_t index) noexcept {
    update_metrics([&](metrics::CounterTable& table) { table.increment(metrics::Counter::remote_schedule, index); });
  }

  const std::uint64_t num_threads_;
  const std::uint64_t puller_limit_;
  std::unique_ptr<Worker[]> workers_;

  // Written once each, read on every call: apart from the counters below.
  alignas(metrics::kCacheLine) std::atomic<bool> closed_{false};
  std::atomic<bool> sealed_{false};

  alignas(metrics::kCacheLine) std::atomic<std::uint64_t> active_pullers_{0};

  alignas(metrics::kCacheLine) LockedQueue<Task> injection_;

  alignas(metrics::kCacheLine) common::ShortMutex metrics_mutex_;
  // Stored under metrics_mutex_; read without it only to skip the lock while nothing is attached.
  std::atomic<metrics::CounterTable*> metrics_{nullptr};
  MetricsKeeper metrics_keeper_{};
};

}  // namespace tessaryne::pool
