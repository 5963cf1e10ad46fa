#pragma once
// The bytes a connection has received and not yet parsed, with the read
// position of the first unconsumed byte.
//
// Memory follows the traffic: nothing is allocated until bytes arrive, and a
// wholly consumed buffer is released, so an idle connection holds none (a
// server may keep a great many idle keep-alive or WebSocket connections; one
// allocation per read costs far less than the read). Consumed bytes are
// dropped before new ones are appended, and once a large head, body or frame
// has been consumed the capacity it needed is given back, so one big message
// does not pin its memory for the rest of the connection.

#include <cstddef>
#include <memory>
#include <string_view>

namespace tessaryne::http {

class InputBuffer {
 public:
  // The least an empty buffer allocates for new bytes.
  static constexpr std::size_t kInitialCapacity = 8192;
  // Most capacity kept while unconsumed bytes remain.
  static constexpr std::size_t kKeptCapacity = std::size_t{64} << 10;

  // Appends `data` after the unconsumed bytes. Consumed bytes are dropped
  // first whenever that makes room or costs no more than the bytes dropped,
  // so every byte is moved at most once per consumption before it. Throws
  // std::bad_alloc, changing nothing, when memory runs out.
  void append(std::string_view data);

  [[nodiscard]] std::string_view unconsumed() const noexcept { return {data_.get() + read_, size_ - read_}; }
  void consume(std::size_t count) noexcept { read_ += count; }
  // For readers that advance the position themselves (the frame loop).
  [[nodiscard]] std::size_t& read_position() noexcept { return read_; }

  // Called after a parsing pass: releases a wholly consumed buffer, and gives
  // back capacity above kKeptCapacity once the unconsumed bytes fit in it.
  void settle() noexcept;

  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  [[nodiscard]] std::size_t capacity() const noexcept { return capacity_; }
  [[nodiscard]] std::size_t read_offset() const noexcept { return read_; }

 private:
  // Moves the unconsumed bytes to the front.
  void drop_consumed() noexcept;
  // Moves the unconsumed bytes into a new allocation of `capacity` bytes
  // (none for 0). Throws std::bad_alloc, changing nothing.
  void reallocate(std::size_t capacity);

  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  std::size_t read_ = 0;
};

}  // namespace tessaryne::http
