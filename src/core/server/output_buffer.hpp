#pragma once
// The bytes a connection has to send: written to the socket at once while
// nothing is queued, the rest kept in order until the socket takes more.

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

namespace tessaryne::server {

enum class WriteResult : unsigned char {
  done,    // everything went out or is queued
  failed,  // the peer is gone (reset, broken pipe): the connection must end
};

class OutputBuffer {
 public:
  // Sends `parts` in order after anything queued; what the socket does not take is queued.
  WriteResult write(int fd, std::span<const std::string_view> parts);
  // Sends what is queued, as far as the socket takes it.
  WriteResult flush(int fd);

  [[nodiscard]] std::size_t pending() const noexcept { return data_.size() - sent_; }
  [[nodiscard]] bool empty() const noexcept { return pending() == 0; }
  void discard() noexcept;

 private:
  void queue(std::span<const std::string_view> parts, std::size_t skip);

  std::vector<char> data_;
  std::size_t sent_ = 0;
};

}  // namespace tessaryne::server
