#include "core/http/input_buffer.hpp"

#include <algorithm>
#include <cstring>
#include <new>

namespace tessaryne::http {

void InputBuffer::append(std::string_view data) {
  if (data.empty()) return;
  const std::size_t pending = size_ - read_;
  if (data.size() > SIZE_MAX / 2 - pending) throw std::bad_alloc();
  const std::size_t needed = pending + data.size();
  if (needed > capacity_) {
    reallocate(std::max({kInitialCapacity, 2 * capacity_, needed}));
  } else if (data.size() > capacity_ - size_ || read_ >= pending) {
    drop_consumed();
  }
  std::memcpy(data_.get() + size_, data.data(), data.size());
  size_ += data.size();
}

void InputBuffer::settle() noexcept {
  if (read_ == size_) {
    size_ = read_ = 0;
    data_.reset();
    capacity_ = 0;
  } else if (capacity_ > kKeptCapacity && size_ - read_ <= kKeptCapacity) {
    try {
      reallocate(kKeptCapacity);
    } catch (const std::bad_alloc&) {
      // Keeping the larger buffer is always correct; only memory is at stake.
    }
  }
}

void InputBuffer::drop_consumed() noexcept {
  const std::size_t pending = size_ - read_;
  if (read_ != 0 && pending != 0) std::memmove(data_.get(), data_.get() + read_, pending);
  size_ = pending;
  read_ = 0;
}

void InputBuffer::reallocate(std::size_t capacity) {
  const std::size_t pending = size_ - read_;
  std::unique_ptr<char[]> fresh(capacity == 0 ? nullptr : new char[capacity]);
  if (pending != 0) std::memcpy(fresh.get(), data_.get() + read_, pending);
  data_ = std::move(fresh);
  capacity_ = capacity;
  size_ = pending;
  read_ = 0;
}

}  // namespace tessaryne::http
