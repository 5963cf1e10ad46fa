#pragma once
// The buffer a reassembled or inflated message is built in.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace tessaryne::websocket {

// Growable bytes that are not zero-filled on growth (they are overwritten by
// unmasking at once).
class FragmentBuffer {
 public:
  [[nodiscard]] std::string_view view() const noexcept { return {data_.get(), size_}; }
  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  [[nodiscard]] std::size_t capacity() const noexcept { return capacity_; }
  // Appends `count` unspecified bytes and returns where they start. On
  // allocation failure it throws and nothing changes. Growth doubles the
  // capacity, but never past `ceiling` unless the bytes need more.
  char* grow_by(std::size_t count, std::size_t ceiling = SIZE_MAX);
  void shrink_to(std::size_t size) noexcept { size_ = size < size_ ? size : size_; }
  // Empties the buffer; a large allocation is given back so one big message
  // does not pin its memory for the rest of the connection.
  void clear() noexcept;

 private:
  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace tessaryne::websocket
