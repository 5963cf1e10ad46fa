#include "core/server/poller.hpp"

#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <ctime>
#include <system_error>

namespace tessaryne::server {
namespace {

std::uint32_t interest(bool read, bool write) noexcept {
  // Without read interest the peer's half-close is not asked for either: it
  // would be reported again and again while reading is paused.
  return (read ? static_cast<std::uint32_t>(EPOLLIN | EPOLLRDHUP) : 0U) |
         (write ? static_cast<std::uint32_t>(EPOLLOUT) : 0U);
}

[[noreturn]] void fail(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

}  // namespace

Poller::Poller() {
  epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
  if (epoll_fd_ < 0) fail("epoll_create1");
  timer_fd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (timer_fd_ < 0) {
    ::close(epoll_fd_);
    fail("timerfd_create");
  }
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = kAlarmToken;
  if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, timer_fd_, &event) != 0) {
    ::close(timer_fd_);
    ::close(epoll_fd_);
    fail("epoll_ctl");
  }
}

Poller::~Poller() {
  ::close(timer_fd_);
  ::close(epoll_fd_);
}

void Poller::watch(int fd, std::uint64_t token, bool read, bool write) const {
  epoll_event event{};
  event.events = interest(read, write);
  event.data.u64 = token;
  if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &event) != 0) fail("epoll_ctl");
}

void Poller::change(int fd, std::uint64_t token, bool read, bool write) const noexcept {
  epoll_event event{};
  event.events = interest(read, write);
  event.data.u64 = token;
  ::epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, fd, &event);
}

void Poller::forget(int fd) const noexcept { ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr); }

std::size_t Poller::poll(std::span<Readiness> out) const noexcept {
  std::array<epoll_event, 64> events{};
  const int limit = static_cast<int>(out.size() < events.size() ? out.size() : events.size());
  int count = 0;
  do {
    count = ::epoll_wait(epoll_fd_, events.data(), limit, 0);
  } while (count < 0 && errno == EINTR);
  if (count <= 0) return 0;
  for (int i = 0; i < count; ++i) {
    const epoll_event& event = events[static_cast<std::size_t>(i)];
    const std::uint32_t bits = event.events;
    out[static_cast<std::size_t>(i)] = Readiness{event.data.u64, (bits & (EPOLLIN | EPOLLRDHUP)) != 0,
                                                 (bits & EPOLLOUT) != 0, (bits & (EPOLLHUP | EPOLLERR)) != 0};
  }
  return static_cast<std::size_t>(count);
}

void Poller::set_alarm(Clock::time_point at) const noexcept {
  // steady_clock is CLOCK_MONOTONIC here; a zero value would disarm, so the
  // earliest alarm is one nanosecond.
  auto since = std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
  if (since <= 0) since = 1;
  itimerspec when{};
  when.it_value.tv_sec = static_cast<time_t>(since / 1'000'000'000);
  when.it_value.tv_nsec = static_cast<long>(since % 1'000'000'000);
  ::timerfd_settime(timer_fd_, TFD_TIMER_ABSTIME, &when, nullptr);
}

void Poller::clear_alarm() const noexcept {
  const itimerspec never{};
  ::timerfd_settime(timer_fd_, 0, &never, nullptr);
}

void Poller::acknowledge_alarm() const noexcept {
  std::uint64_t expirations = 0;
  [[maybe_unused]] const auto read = ::read(timer_fd_, &expirations, sizeof expirations);
}

}  // namespace tessaryne::server
