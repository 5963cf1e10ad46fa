#include "core/server/output_buffer.hpp"

#include <sys/socket.h>
#include <sys/uio.h>

#include <array>
#include <cerrno>

namespace tessaryne::server {
namespace {

// Bytes sent, or -1 when the socket takes nothing now, or -2 when the peer is gone.
long send_parts(int fd, std::span<const std::string_view> parts) noexcept {
  std::array<iovec, 8> vectors{};
  std::size_t count = 0;
  for (const std::string_view part : parts) {
    if (part.empty()) continue;
    if (count == vectors.size()) break;  // the rest is queued and sent later
    vectors[count++] = iovec{const_cast<char*>(part.data()), part.size()};
  }
  if (count == 0) return 0;
  msghdr message{};
  message.msg_iov = vectors.data();
  message.msg_iovlen = count;
  for (;;) {
    const ssize_t sent = ::sendmsg(fd, &message, MSG_NOSIGNAL);
    if (sent >= 0) return sent;
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? -1 : -2;
  }
}

}  // namespace

WriteResult OutputBuffer::write(int fd, std::span<const std::string_view> parts) {
  std::size_t skip = 0;
  if (empty()) {
    const long sent = send_parts(fd, parts);
    if (sent == -2) return WriteResult::failed;
    if (sent > 0) skip = static_cast<std::size_t>(sent);
  }
  queue(parts, skip);
  return WriteResult::done;
}

void OutputBuffer::queue(std::span<const std::string_view> parts, std::size_t skip) {
  if (sent_ == data_.size()) {
    data_.clear();
    sent_ = 0;
  }
  for (const std::string_view part : parts) {
    if (skip >= part.size()) {
      skip -= part.size();
      continue;
    }
    data_.insert(data_.end(), part.begin() + static_cast<std::ptrdiff_t>(skip), part.end());
    skip = 0;
  }
}

WriteResult OutputBuffer::flush(int fd) {
  while (!empty()) {
    const std::string_view rest(data_.data() + sent_, pending());
    const long sent = send_parts(fd, std::span<const std::string_view>(&rest, 1));
    if (sent == -2) return WriteResult::failed;
    if (sent <= 0) break;
    sent_ += static_cast<std::size_t>(sent);
  }
  if (empty()) discard();
  return WriteResult::done;
}

void OutputBuffer::discard() noexcept {
  data_.clear();
  sent_ = 0;
  // A large response's buffer is not kept by an idle connection.
  if (data_.capacity() > (std::size_t{64} << 10)) data_.shrink_to_fit();
}

}  // namespace tessaryne::server
