#include "core/server/file_slice.hpp"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace tessaryne::server {

FileSlice::FileSlice(FileSlice&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), offset_(other.offset_), count_(other.count_) {}

FileSlice& FileSlice::operator=(FileSlice&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    offset_ = other.offset_;
    count_ = other.count_;
  }
  return *this;
}

FileSlice::~FileSlice() {
  if (fd_ >= 0) ::close(fd_);
}

FileSlice::Step FileSlice::send_to(int socket, std::uint64_t& sent) noexcept {
  // One call moves at most this much, so that one large file does not keep
  // the loop from its other connections.
  constexpr std::uint64_t kStep = std::uint64_t{1} << 20;
  sent = 0;
  while (count_ > 0) {
    auto offset = static_cast<off_t>(offset_);
    // sendfile(2) has no MSG_NOSIGNAL: a peer that reset raises SIGPIPE,
    // which the interpreter ignores, and the call fails with EPIPE.
    const ssize_t moved = ::sendfile(socket, fd_, &offset, std::min(count_, kStep));
    if (moved > 0) {
      const auto bytes = static_cast<std::uint64_t>(moved);
      offset_ += bytes;
      count_ -= bytes;
      sent += bytes;
      if (sent >= kStep) return count_ == 0 ? Step::sent : Step::blocked;
      continue;
    }
    if (moved == 0) return Step::failed;  // the file is shorter than it was
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? Step::blocked : Step::failed;
  }
  return Step::sent;
}

std::ptrdiff_t FileSlice::read_into(char* out, std::size_t size) noexcept {
  const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(count_, size));
  std::size_t got = 0;
  while (got < wanted) {
    const ssize_t read = ::pread(fd_, out + got, wanted - got, static_cast<off_t>(offset_ + got));
    if (read > 0) {
      got += static_cast<std::size_t>(read);
    } else if (read < 0 && errno == EINTR) {
      continue;
    } else {
      return -1;  // the file is shorter than it was
    }
  }
  offset_ += got;
  count_ -= got;
  return static_cast<std::ptrdiff_t>(got);
}

namespace {

OpenedFile refused(int error, int fd = -1) {
  if (fd >= 0) ::close(fd);
  return {FileSlice{}, error, false};
}

}  // namespace

OpenedFile open_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return refused(errno);
  struct stat status{};
  if (::fstat(fd, &status) != 0) return refused(errno, fd);
  if (S_ISDIR(status.st_mode)) return refused(EISDIR, fd);
  if (!S_ISREG(status.st_mode)) return refused(EINVAL, fd);
  return {FileSlice(fd, 0, static_cast<std::uint64_t>(status.st_size)), 0, false};
}

OpenedFile slice_of(int fd, std::int64_t offset, std::int64_t count) {
  struct stat status{};
  if (::fstat(fd, &status) != 0) return refused(errno);
  if (!S_ISREG(status.st_mode)) return refused(EINVAL);
  const auto size = static_cast<std::uint64_t>(status.st_size);
  const bool from_position = offset < 0;
  if (from_position) {
    const off_t position = ::lseek(fd, 0, SEEK_CUR);
    if (position < 0) return refused(errno);
    offset = position;
  }
  const std::uint64_t start = std::min(static_cast<std::uint64_t>(offset), size);
  const std::uint64_t wanted = count < 0 ? size - start : static_cast<std::uint64_t>(count);
  const bool past_end = static_cast<std::uint64_t>(offset) > size || wanted > size - start;
  const std::uint64_t length = std::min(wanted, size - start);
  const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return refused(errno);
  if (from_position && ::lseek(fd, static_cast<off_t>(start + length), SEEK_SET) < 0) return refused(errno, copy);
  return {FileSlice(copy, start, length), 0, past_end};
}

}  // namespace tessaryne::server
