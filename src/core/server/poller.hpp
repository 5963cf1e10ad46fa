#pragma once
// One epoll set per loop thread, with a timer descriptor in it, so that the
// thread's event loop watches a single descriptor for every connection it
// serves and for all of their deadlines.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

namespace tessaryne::server {

using Clock = std::chrono::steady_clock;

struct Readiness {
  std::uint64_t token;
  bool readable;
  bool writable;
  bool hangup;  // reported whatever the interest: the peer is gone both ways, or an error
};

class Poller {
 public:
  // The token under which the timer's expiry is reported.
  static constexpr std::uint64_t kAlarmToken = ~std::uint64_t{0};

  Poller();  // throws std::system_error
  Poller(const Poller&) = delete;
  Poller& operator=(const Poller&) = delete;
  ~Poller();

  [[nodiscard]] int fd() const noexcept { return epoll_fd_; }

  void watch(int fd, std::uint64_t token, bool read, bool write) const;  // throws std::system_error
  void change(int fd, std::uint64_t token, bool read, bool write) const noexcept;
  void forget(int fd) const noexcept;

  // Fills `out` with what is ready now, without waiting; returns the count.
  std::size_t poll(std::span<Readiness> out) const noexcept;

  // The alarm reports once at `at` (or at once if that has passed); a later
  // call replaces it. Reading the expiry rearms nothing.
  void set_alarm(Clock::time_point at) const noexcept;
  void clear_alarm() const noexcept;
  void acknowledge_alarm() const noexcept;

 private:
  int epoll_fd_ = -1;
  int timer_fd_ = -1;
};

}  // namespace tessaryne::server
