#pragma once
// A served connection on one end of a socket pair, its loop turned by the
// test; the test is the client on the other end. `App` is the test's fake of
// ConnectionEvents; after each round its `served()` acts as an app task would,
// once the input was handled and not inside it.

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include <gtest/gtest.h>

#include "core/server/served_connection.hpp"

namespace tessaryne::server::test {

inline ServerSettings quick() {
  using namespace std::chrono_literals;
  ServerSettings settings;
  settings.server_line = "server: t\r\n";
  settings.keep_alive_timeout = 5s;
  settings.head_timeout = 5s;
  settings.linger_timeout = 200ms;
  return settings;
}

template <class App>
struct Harness {
  // `http2`: as TLS would open it after ALPN chose "h2".
  explicit Harness(ServerSettings settings = quick(), int send_buffer = 0, bool http2 = false)
      : loop(std::move(settings)) {
    std::array<int, 2> fds{};
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds.data()), 0);
    if (send_buffer > 0) ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);
    client = fds[1];
    connection = std::make_unique<ServedConnection>(loop, fds[0], 7);
    app.connection = connection.get();
    connection->open(app, http2);
  }
  Harness(const Harness&) = delete;
  Harness& operator=(const Harness&) = delete;
  ~Harness() { ::close(client); }

  // One round: what the poller reports ready (waiting up to 10 ms for it),
  // the deadlines due, then the app's turn.
  void step() {
    pollfd watched{loop.poller().fd(), POLLIN, 0};
    ::poll(&watched, 1, 10);
    std::array<Readiness, 16> ready{};
    const std::size_t count = loop.poller().poll(ready);
    bool alarm = false;
    for (std::size_t i = 0; i < count; ++i) {
      if (ready[i].token == Poller::kAlarmToken) {
        alarm = true;
      } else {
        connection->on_ready(ready[i]);
      }
    }
    if (alarm) loop.run_deadlines([&](const Deadlines::Entry& entry) { connection->on_deadline(entry); });
    app.served();
  }

  // Serves whatever is ready, for up to `time`, until `done()` holds.
  template <class Done>
  void serve_until(Done done, std::chrono::milliseconds time = std::chrono::milliseconds(2000)) {
    const auto end = Clock::now() + time;
    while (!done() && Clock::now() < end) step();
  }
  void serve_for(std::chrono::milliseconds time) {
    serve_until([] { return false; }, time);
  }

  void send(std::string_view bytes) const {
    ASSERT_EQ(::send(client, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
  }
  std::string read_available() const {
    std::string out;
    std::array<char, 65536> buffer{};
    for (;;) {
      const ssize_t count = ::recv(client, buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (count <= 0) break;
      out.append(buffer.data(), static_cast<std::size_t>(count));
    }
    return out;
  }
  bool client_sees_eof() const {
    char byte = 0;
    return ::recv(client, &byte, 1, MSG_DONTWAIT) == 0;
  }

  ServerLoop loop;
  int client = -1;
  App app;
  std::unique_ptr<ServedConnection> connection;
};

}  // namespace tessaryne::server::test
