#pragma once
// A vector of trivially copyable values that keeps its first N elements inline
// and only touches the heap beyond them.

#include <array>
#include <cstddef>
#include <span>
#include <type_traits>
#include <vector>

namespace tessaryne::common {

template <class T, std::size_t N>
  requires std::is_trivially_copyable_v<T>
class SmallVector {
 public:
  void push_back(const T& value) {
    if (size_ < N) {
      inline_[size_++] = value;
      return;
    }
    if (size_ == N) spill_.assign(inline_.begin(), inline_.end());
    spill_.push_back(value);
    ++size_;
  }

  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  [[nodiscard]] std::span<const T> view() const noexcept {
    return size_ <= N ? std::span<const T>(inline_.data(), size_) : std::span<const T>(spill_);
  }

 private:
  std::array<T, N> inline_;
  std::vector<T> spill_;
  std::size_t size_ = 0;
};

}  // namespace tessaryne::common
