#pragma once
// A growable circular buffer of movable values, not synchronised: the storage
// of the scheduling queues and of the waiter queues of the async primitives.

#include <concepts>
#include <cstddef>
#include <memory>
#include <type_traits>
#include <utility>

namespace tessaryne::common {

// Slots hold default-constructed values when empty. Grows by doubling and never shrinks, so a queue in a
// steady state allocates nothing.
template <class T>
  requires std::default_initializable<T> && std::is_nothrow_move_assignable_v<T>
class Ring {
 public:
  Ring() = default;
  // A moved-from ring is empty and usable.
  Ring(Ring&& other) noexcept { swap(other); }
  Ring& operator=(Ring&& other) noexcept {
    Ring taken(std::move(other));
    swap(taken);
    return *this;
  }
  Ring(const Ring&) = delete;
  Ring& operator=(const Ring&) = delete;
  ~Ring() = default;

  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  [[nodiscard]] bool empty() const noexcept { return size_ == 0; }

  // Makes room for one more element; throws std::bad_alloc, changing nothing.
  void reserve_one() { reserve(size_ + 1); }
  // Makes room for `count` elements in all; throws std::bad_alloc, changing nothing.
  void reserve(std::size_t count) {
    if (count <= capacity_) return;
    std::size_t capacity = capacity_ == 0 ? kFirstCapacity : 2 * capacity_;
    while (capacity < count) capacity *= 2;
    std::unique_ptr<T[]> grown(new T[capacity]);
    for (std::size_t i = 0; i < size_; ++i) grown[i] = std::move(slots_[(head_ + i) & (capacity_ - 1)]);
    slots_ = std::move(grown);
    capacity_ = capacity;
    head_ = 0;
  }
  // After reserve_one(): cannot fail.
  void push_back(T&& value) noexcept {
    slots_[(head_ + size_) & (capacity_ - 1)] = std::move(value);
    ++size_;
  }
  // After reserve_one(): cannot fail.
  void push_front(T&& value) noexcept {
    head_ = (head_ + capacity_ - 1) & (capacity_ - 1);
    slots_[head_] = std::move(value);
    ++size_;
  }
  T pop_front() noexcept {
    T value = std::exchange(slots_[head_], T{});
    head_ = (head_ + 1) & (capacity_ - 1);
    --size_;
    return value;
  }
  // Calls `visit` on each element, front to back, until it returns non-zero;
  // returns that value or 0.
  template <class Visit>
  int for_each(Visit&& visit) const {
    for (std::size_t i = 0; i < size_; ++i)
      if (const int result = visit(slots_[(head_ + i) & (capacity_ - 1)])) return result;
    return 0;
  }
  // Removes every element for which `remove(element)` is true, keeping the
  // order of the rest, and returns the removed ones in their order, so the
  // caller can release them later (outside a lock, say). Throws std::bad_alloc
  // before anything is moved when memory for the result runs out.
  template <class Predicate>
  Ring remove_if(Predicate&& remove) {
    Ring removed;
    std::size_t count = 0;
    for (std::size_t i = 0; i < size_; ++i)
      if (remove(std::as_const(slots_[(head_ + i) & (capacity_ - 1)]))) ++count;
    removed.reserve(count);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < size_; ++i) {
      T& slot = slots_[(head_ + i) & (capacity_ - 1)];
      if (remove(std::as_const(slot)))
        removed.push_back(std::exchange(slot, T{}));
      else
        slots_[(head_ + kept++) & (capacity_ - 1)] = std::exchange(slot, T{});
    }
    size_ = kept;
    return removed;
  }
  void swap(Ring& other) noexcept {
    std::swap(slots_, other.slots_);
    std::swap(capacity_, other.capacity_);
    std::swap(head_, other.head_);
    std::swap(size_, other.size_);
  }

 private:
  static constexpr std::size_t kFirstCapacity = 16;  // a power of two, as every capacity
  std::unique_ptr<T[]> slots_;
  std::size_t capacity_ = 0;
  std::size_t head_ = 0;
  std::size_t size_ = 0;
};

}  // namespace tessaryne::common
