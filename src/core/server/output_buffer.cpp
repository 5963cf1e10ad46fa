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
  std::vector<char>* into = &data_;
  if (!later_.empty()) {
    if (later_.back().file.open()) later_.emplace_back();
    into = &later_.back().bytes;
  } else if (sent_ == data_.size()) {
    data_.clear();
    sent_ = 0;
  }
  for (const std::string_view part : parts) {
    if (skip >= part.size()) {
      skip -= part.size();
      continue;
    }
    into->insert(into->end(), part.begin() + static_cast<std::ptrdiff_t>(skip), part.end());
    if (into != &data_) later_bytes_ += part.size() - skip;
    skip = 0;
  }
}

WriteResult OutputBuffer::write_file(int fd, FileSlice file) {
  if (file.count() == 0) return WriteResult::done;
  later_bytes_ += file.count();
  later_.push_back(Later{std::move(file), {}});
  return later_.size() == 1 && sent_ == data_.size() ? flush(fd) : WriteResult::done;
}

WriteResult OutputBuffer::flush(int fd) {
  for (;;) {
    while (sent_ < data_.size()) {
      const std::string_view rest(data_.data() + sent_, data_.size() - sent_);
      const long sent = send_parts(fd, std::span<const std::string_view>(&rest, 1));
      if (sent == -2) return WriteResult::failed;
      if (sent <= 0) return WriteResult::done;
      sent_ += static_cast<std::size_t>(sent);
    }
    if (later_.empty()) break;
    Later& next = later_.front();
    if (!next.file.open()) {
      // Bytes behind a file that has gone out: they are the head of the queue now.
      later_bytes_ -= next.bytes.size();
      data_ = std::move(next.bytes);
      sent_ = 0;
      later_.pop_front();
      continue;
    }
    std::uint64_t sent = 0;
    const FileSlice::Step step = next.file.send_to(fd, sent);
    later_bytes_ -= static_cast<std::size_t>(sent);
    if (step == FileSlice::Step::failed) return WriteResult::failed;
    if (step == FileSlice::Step::blocked) return WriteResult::done;
    later_.pop_front();
  }
  discard();
  return WriteResult::done;
}

void OutputBuffer::discard() noexcept {
  data_.clear();
  sent_ = 0;
  later_.clear();
  later_bytes_ = 0;
  // A large response's buffer is not kept by an idle connection.
  if (data_.capacity() > (std::size_t{64} << 10)) data_.shrink_to_fit();
}

}  // namespace tessaryne::server
