#include "core/server/served_connection.hpp"
#include "core/server/host_header.hpp"
#include "server/served_harness.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace tessaryne::server {
namespace {

using namespace std::chrono_literals;

// An application that answers each request with its path once its body is
// complete (or holds the answer back for the test to give); records what the
// connection reports.
struct App final : ConnectionEvents {
  ServedConnection* connection = nullptr;
  std::vector<std::string> log;
  std::deque<Exchange> exchanges;  // one per request, as an interface keeps them
  std::string path;
  bool answer_at_once = true;
  bool due = false;               // started, answered once the body is in
  std::string body_to_send = "";  // empty: the path
  int writable_calls = 0;
  bool ended_called = false;

  Exchange& request(const http::RequestEvent& event, std::uint32_t) override {
    path = std::string(event.target_parts.path);
    log.push_back("request " + path);
    return exchanges.emplace_back();
  }
  Exchange& native_request(const http::RequestEvent& event, std::uint32_t) override {
    log.push_back("native " + std::string(event.target_parts.path));
    return exchanges.emplace_back();
  }
  void body(std::uint32_t, std::string_view data, bool more) override {
    log.push_back("body " + std::string(data) + (more ? " more" : ""));
  }
  void start(std::uint32_t) override { due = answer_at_once; }
  void answer() {
    const std::string body = body_to_send.empty() ? path : body_to_send;
    Exchange& exchange = exchanges.back();
    ASSERT_EQ(exchange.start(200, false), SendResult::done);
    ASSERT_EQ(exchange.body({}, body, false), SendResult::done);
  }
  void websocket(const http::RequestEvent&, std::uint32_t) override { log.push_back("websocket"); }
  void start_websocket(std::uint32_t) override {}
  void frames(std::uint32_t) override {}
  void wake(std::uint32_t) override {}
  void stream_closed(std::uint32_t) override {}
  void writable() override { ++writable_calls; }
  void response_done(const Exchange& exchange) override {
    log.push_back("done " + std::to_string(exchange.status()) + " " + std::to_string(exchange.sent()));
  }
  void ended() override { ended_called = true; }
  // As an app task would: after the input was handled, not inside it.
  void served() {
    const Exchange* current = connection->exchange();
    while (due && current != nullptr && !current->over() && current->body_complete()) {
      due = false;
      answer();
    }
  }
};

using Served = test::Harness<App>;
using test::quick;

std::string strip_date(std::string text) {
  for (std::size_t at = text.find("date: "); at != std::string::npos; at = text.find("date: ", at))
    text.erase(at, text.find("\r\n", at) + 2 - at);
  return text;
}

std::string ok(std::string_view body, bool keep_alive = true) {
  return "HTTP/1.1 200 OK\r\nserver: t\r\ncontent-length: " + std::to_string(body.size()) +
         "\r\nconnection: " + (keep_alive ? "keep-alive" : "close") + "\r\n\r\n" + std::string(body);
}

// Any split of pipelined input gives the same answers, in order.
TEST(ServedConnection, PipelinedRequestsInAnySplitAreAnsweredInOrder) {
  const std::string input =
      "GET /a HTTP/1.1\r\nHost: x\r\n\r\nPOST /b HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nxyz"
      "GET /c HTTP/1.1\r\nHost: x\r\n\r\n";
  const std::string expected = ok("/a") + ok("/b") + ok("/c");
  for (std::size_t piece : {input.size(), std::size_t{1}, std::size_t{7}, std::size_t{31}}) {
    Served served;
    std::string received;
    for (std::size_t at = 0; at < input.size(); at += piece) {
      served.send(std::string_view(input).substr(at, piece));
      served.serve_for(2ms);
      received += served.read_available();
    }
    served.serve_until([&] { return (received += served.read_available()).size() >= expected.size(); });
    EXPECT_EQ(strip_date(received), expected) << "pieces of " << piece;
  }
}

// Server-side answers the client never asked for a connection close on.
TEST(ServedConnection, ConnectionRulesTable) {
  struct Case {
    std::string request;
    std::string answer;  // the beginning of what the client reads before the close
    bool closes;
  };
  const std::vector<Case> cases{
      {"GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request", true},
      {"GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", "HTTP/1.1 400 Bad Request", true},
      {"GET /x HTTP/1.0\r\n\r\n", "HTTP/1.1 200 OK\r\nserver: t\r\ncontent-length: 2\r\nconnection: close", true},
      {"HEAD /x HTTP/1.1\r\nHost: a\r\n\r\n",
       "HTTP/1.1 200 OK\r\nserver: t\r\ncontent-length: 2\r\nconnection: keep-alive\r\n\r\n", false},
      {"GET / HTTP/1.1\r\nHost: a\r\nContent-Length: 1\r\nTransfer-Encoding: chunked\r\n\r\n", "HTTP/1.1 400", true},
      // More than one Host line is refused whatever the version; so is a value that is no host.
      {"GET / HTTP/1.0\r\nHost: a\r\nHost: a\r\n\r\n", "HTTP/1.1 400 Bad Request", true},
      {"GET / HTTP/1.1\r\nHost: user@a\r\n\r\n", "HTTP/1.1 400 Bad Request", true},
      {"GET / HTTP/1.0\r\nHost: a/b\r\n\r\n", "HTTP/1.1 400 Bad Request", true},
      {"GET /x HTTP/1.1\r\nHost: [::1]:8000\r\n\r\n", ok("/x"), false},
      // No tunnels: CONNECT is answered without the app, in either target form.
      {"CONNECT a:443 HTTP/1.1\r\nHost: a:443\r\n\r\n", "HTTP/1.1 501 Not Implemented\r\nserver: t", true},
      {"CONNECT / HTTP/1.1\r\nHost: a\r\n\r\n", "HTTP/1.1 501 Not Implemented\r\nserver: t", true},
  };
  for (const Case& c : cases) {
    Served served;
    served.send(c.request);
    std::string received;
    served.serve_until([&] { return (received += served.read_available()).size() >= c.answer.size(); });
    served.serve_for(20ms);
    received += served.read_available();
    EXPECT_EQ(strip_date(received).substr(0, c.answer.size()), c.answer) << c.request;
    if (c.answer.starts_with("HTTP/1.1 200") && c.request.starts_with("HEAD")) {
      EXPECT_EQ(strip_date(received), c.answer) << "no body after a HEAD answer";
    }
    EXPECT_EQ(served.client_sees_eof(), c.closes) << c.request;
    // Only what the server accepts reaches the app.
    EXPECT_EQ(served.app.log.empty(), !c.answer.starts_with("HTTP/1.1 200")) << c.request;
  }
}

TEST(ServedConnection, HostValues) {
  for (const std::string_view host : {"", "localhost", "a.b-c_d~e", "xn--bcher-kva.example:80", "192.0.2.1:8000",
                                      "[::1]", "[2001:db8::1]:443", "[v1.fe:x]", "a%2Fb", "localhost:", "!$&'()*+,;="})
    EXPECT_TRUE(valid_host(host)) << host;
  for (const std::string_view host : {"user@localhost", "localhost/evil", "local host", "localhost:abc", ":80", "a:1:2",
                                      "[::1", "[::1]x", "[192.0.2.1]", "[zz::1]", "a%2", "a%zz",
                                      "a\x80"
                                      "b",
                                      "a?b", "a#b", "[v.x]", "[v1.]"})
    EXPECT_FALSE(valid_host(host)) << host;
}

// A peer that stops reading: the output queues and the writer is told to
// wait; once the peer reads again everything arrives, in order, and the
// writer hears it may go on.
TEST(ServedConnection, PartialWritesQueueInOrderAndPauseTheWriter) {
  Served served(quick(), 4096);
  std::string body(1 << 20, '\0');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + i % 26);
  served.app.body_to_send = body;
  served.send("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
  served.serve_until([&] { return served.connection->write_paused(); });
  EXPECT_TRUE(served.connection->write_paused());
  EXPECT_GT(served.connection->pending_output(), 0U);
  std::string received;
  served.serve_until([&] {
    received += served.read_available();
    return received.size() >= body.size() + 60 && served.connection->pending_output() == 0;
  });
  const std::size_t head = received.find("\r\n\r\n") + 4;
  EXPECT_EQ(received.substr(head), body);
  EXPECT_FALSE(served.connection->write_paused());
  EXPECT_EQ(served.app.writable_calls, 1);
}

// A reset while output is queued ends the connection once, with nothing
// more written or reported.
TEST(ServedConnection, AResetMidWriteEndsTheConnection) {
  Served served(quick(), 4096);
  served.app.body_to_send = std::string(1 << 20, 'x');
  served.send("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
  served.serve_until([&] { return served.connection->write_paused(); });
  ::close(served.client);
  served.client = ::dup(2);  // keep the destructor's close harmless
  served.serve_until([&] { return served.app.ended_called; });
  EXPECT_TRUE(served.app.ended_called);
  EXPECT_TRUE(served.connection->closed());
  // Its exchange was let go: nothing more goes out through it.
  EXPECT_FALSE(served.app.exchanges.back().attached());
  EXPECT_EQ(served.app.exchanges.back().body({}, "more", false), SendResult::body_after_end);
}

// While reading is paused nothing is read; resuming delivers what waited.
TEST(ServedConnection, PausedReadingHoldsInputUntilResumed) {
  Served served;
  served.app.answer_at_once = false;
  served.send("POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 6\r\n\r\nabc");
  served.serve_until([&] { return served.app.log.size() >= 2; });
  served.connection->pause_reading();
  served.send("def");
  served.serve_for(30ms);
  EXPECT_EQ(served.app.log, (std::vector<std::string>{"request /", "body abc more"}));
  served.connection->resume_reading();
  served.serve_until([&] { return served.app.log.size() >= 3; });
  EXPECT_EQ(served.app.log.back(), "body def");
}

// The deadline of each phase, including one that passes while an answer is
// still being written to a client that does not read.
TEST(ServedConnection, DeadlinesTable) {
  struct Case {
    const char* name;
    std::string input;
    std::string expect_start;  // what the client reads first, if anything
  };
  ServerSettings settings = quick();
  settings.keep_alive_timeout = 50ms;
  settings.head_timeout = 50ms;
  settings.body_timeout = 50ms;
  const std::vector<Case> cases{
      {"idle", "", ""},
      {"slow head", "GET / HTTP/1.1\r\nHo", "HTTP/1.1 408 Request Timeout"},
      {"stalled body", "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 9\r\n\r\nab", "HTTP/1.1 408 Request Timeout"},
  };
  for (const Case& c : cases) {
    Served served(settings);
    served.app.answer_at_once = false;
    if (!c.input.empty()) served.send(c.input);
    std::string received;
    served.serve_until([&] {
      received += served.read_available();
      return served.app.ended_called || served.client_sees_eof();
    });
    received += served.read_available();
    EXPECT_EQ(received.substr(0, c.expect_start.size()), c.expect_start) << c.name;
    EXPECT_TRUE(served.client_sees_eof()) << c.name;
  }
  // A client reading a long answer slowly gets all of it, past every deadline,
  // on a keep-alive connection and on one that closes.
  for (const char* request : {"GET / HTTP/1.1\r\nHost: x\r\n\r\n", "GET / HTTP/1.0\r\n\r\n"}) {
    Served slow(settings, 4096);
    slow.app.body_to_send = std::string(256 << 10, 'y');
    slow.send(request);
    std::string received;
    slow.serve_until(
        [&] {
          std::array<char, 4096> piece{};
          const ssize_t count = ::recv(slow.client, piece.data(), piece.size(), MSG_DONTWAIT);
          if (count > 0) received.append(piece.data(), static_cast<std::size_t>(count));
          std::this_thread::sleep_for(5ms);
          return received.size() >= (256U << 10) + 60 && slow.connection->pending_output() == 0;
        },
        5000ms);
    EXPECT_EQ(received.size() - (received.find("\r\n\r\n") + 4), 256U << 10) << request;
  }
  // A body that trickles in, each byte well within the body timeout, is cut
  // off once its grace has passed and its average falls below the minimum;
  // one at the rate is read to its end.
  for (const auto& [piece, gap, cut_off] : {std::tuple{1, 60ms, true}, std::tuple{10, 2ms, false}}) {
    ServerSettings trickle = quick();
    trickle.body_timeout = 1s;
    trickle.min_body_rate = 50;  // a byte every 20 ms
    trickle.body_rate_grace = 100ms;
    Served served(trickle);
    served.send("POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 40\r\n\r\n");
    std::string received;
    for (int sent = 0; sent < 40 && received.empty(); sent += piece) {
      served.send(std::string(static_cast<std::size_t>(piece), 'x'));
      served.serve_for(gap);
      received += served.read_available();
    }
    served.serve_until([&] { return !(received += served.read_available()).empty(); });
    EXPECT_EQ(received.starts_with("HTTP/1.1 408 Request Timeout"), cut_off) << received;
  }
  // The lingering close gives up on a client that never reads its answer.
  Served stuck(settings, 4096);
  stuck.app.body_to_send = std::string(1 << 20, 'x');
  stuck.send("GET / HTTP/1.0\r\n\r\n");
  stuck.serve_until([&] { return stuck.app.ended_called; });
  EXPECT_TRUE(stuck.app.ended_called);
}

// Loops on several threads, each serving its own connections: the driver
// shares nothing between loops (run under ThreadSanitizer too).
TEST(ServedConnection, LoopsOnSeveralThreadsServeIndependently) {
  constexpr int kThreads = 4;
  constexpr int kRequests = 200;
  std::vector<std::thread> threads;
  std::array<int, kThreads> answered{};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &answered] {
      Served served;
      for (int i = 0; i < kRequests; ++i) {
        const std::string path = "/" + std::to_string(t) + "-" + std::to_string(i);
        served.send("GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n");
        std::string received;
        served.serve_until([&] { return (received += served.read_available()).ends_with(path); });
        answered[static_cast<std::size_t>(t)] += strip_date(received) == ok(path) ? 1 : 0;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int count : answered) EXPECT_EQ(count, kRequests);
}

}  // namespace
}  // namespace tessaryne::server
