#pragma once
// A stretch of an open file that a response sends as its body, with
// sendfile(2) when its turn in the output comes, so its bytes never pass
// through the process. It owns its descriptor.

#include <cstddef>
#include <cstdint>
#include <string>

namespace tessaryne::server {

class FileSlice {
 public:
  FileSlice() = default;
  // Takes ownership of `fd`.
  FileSlice(int fd, std::uint64_t offset, std::uint64_t count) noexcept : fd_(fd), offset_(offset), count_(count) {}
  FileSlice(FileSlice&& other) noexcept;
  FileSlice& operator=(FileSlice&& other) noexcept;
  FileSlice(const FileSlice&) = delete;
  FileSlice& operator=(const FileSlice&) = delete;
  ~FileSlice();

  [[nodiscard]] bool open() const noexcept { return fd_ >= 0; }
  [[nodiscard]] std::uint64_t offset() const noexcept { return offset_; }
  [[nodiscard]] std::uint64_t count() const noexcept { return count_; }

  enum class Step : std::uint8_t {
    sent,     // every byte of it went out
    blocked,  // the socket takes no more now
    failed,   // the peer is gone, or the file ends before the slice does
  };
  // Sends as much of the slice as `socket` takes.
  Step send_to(int socket, std::uint64_t& sent) noexcept;
  // Reads the next bytes of the slice into `out` (an HTTP/2 stream frames
  // them itself): how many, or -1 if the file ends before the slice does.
  std::ptrdiff_t read_into(char* out, std::size_t size) noexcept;

 private:
  int fd_ = -1;
  std::uint64_t offset_ = 0;
  std::uint64_t count_ = 0;
};

// A file opened for sending, or the errno that refused it.
struct OpenedFile {
  FileSlice slice;
  int error = 0;
  // More was asked than the file holds: the slice ends at the file's end,
  // and the response must end short after it.
  bool past_end = false;
};

// The whole regular file at `path`.
OpenedFile open_file(const std::string& path);
// `count` bytes from `offset` of the open file `fd` (a copy of the descriptor
// is kept, so the caller may close its own): negative offset, from the file's
// position (which then moves past the slice, as a read would move it);
// negative count, to the file's end. A slice reaching past the file's end
// holds what the file has up to it (past_end): no byte the file does not hold
// is ever sent.
OpenedFile slice_of(int fd, std::int64_t offset, std::int64_t count);

}  // namespace tessaryne::server
