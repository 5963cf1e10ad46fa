#include "core/websocket/frame_loop.hpp"

#include <cstring>
#include <new>

namespace tessaryne::websocket {

namespace {
// Capacity kept across messages; anything larger is freed once a message ends.
constexpr std::size_t kKeptCapacity = std::size_t{64} << 10;
}  // namespace

char* FragmentBuffer::grow_by(std::size_t count) {
  if (count > capacity_ - size_) {
    if (count > SIZE_MAX / 2 - size_) throw std::bad_alloc();
    const std::size_t needed = size_ + count;
    const std::size_t capacity = needed > 2 * capacity_ ? needed : 2 * capacity_;
    std::unique_ptr<char[]> grown(new char[capacity]);
    if (size_ != 0) std::memcpy(grown.get(), data_.get(), size_);
    data_ = std::move(grown);
    capacity_ = capacity;
  }
  char* start = data_.get() + size_;
  size_ += count;
  return start;
}

void FragmentBuffer::clear() noexcept {
  size_ = 0;
  if (capacity_ > kKeptCapacity) {
    data_.reset();
    capacity_ = 0;
  }
}

bool FrameLoop::fits(std::uint8_t opcode, std::uint64_t payload_length) const noexcept {
  if (payload_length > max_message_size_) return false;
  // A continuation adds to the message in progress; any other frame starts
  // its own (or is refused for other reasons once it is complete).
  if (opcode == 0 && fragment_opcode_ != 0) return payload_length <= max_message_size_ - fragments_.size();
  return true;
}

}  // namespace tessaryne::websocket
