#pragma once
// The bytes a connection has to send: written to the socket at once while
// nothing is queued, the rest kept in order until the socket takes more.
// Files (a response's body sent from disk) take their place in that order
// and are sent with sendfile(2) when their turn comes.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <string_view>
#include <vector>

#include "core/server/file_slice.hpp"

namespace tessaryne::server {

enum class WriteResult : unsigned char {
  done,    // everything went out or is queued
  failed,  // the peer is gone (reset, broken pipe), or a file ended early: the connection must end
};

class OutputBuffer {
 public:
  // Sends `parts` in order after anything queued; what the socket does not take is queued.
  WriteResult write(int fd, std::span<const std::string_view> parts);
  // Sends `file` after anything queued, as far as the socket takes it.
  WriteResult write_file(int fd, FileSlice file);
  // Sends what is queued, as far as the socket takes it.
  WriteResult flush(int fd);

  [[nodiscard]] std::size_t pending() const noexcept { return data_.size() - sent_ + later_bytes_; }
  [[nodiscard]] bool empty() const noexcept { return pending() == 0; }
  void discard() noexcept;

 private:
  void queue(std::span<const std::string_view> parts, std::size_t skip);

  // A file, or bytes queued behind one.
  struct Later {
    FileSlice file;
    std::vector<char> bytes;
  };

  std::vector<char> data_;  // bytes before the first queued file
  std::size_t sent_ = 0;
  std::deque<Later> later_;
  std::size_t later_bytes_ = 0;
};

}  // namespace tessaryne::server
