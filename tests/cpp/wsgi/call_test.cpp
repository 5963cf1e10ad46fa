#include "core/wsgi/call.hpp"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>

namespace tessaryne::wsgi {
namespace {

using server::Exchange;
using server::SendResult;

// A protocol that writes a readable transcript, and whose output is full
// whenever the test says.
struct Transcript final : server::Protocol {
  std::string out;
  bool full = false;
  bool paused = false;  // reading, as the loop pauses it above the call's limit
  int completed = 0;

  SendResult write_head(Exchange& exchange, std::span<const http::HeaderField> headers, std::string_view body,
                        bool more_body) override {
    out += "[" + std::to_string(exchange.status()) + " " + std::to_string(headers.size()) + "]";
    return write_body(exchange, body, more_body);
  }
  SendResult write_body(Exchange&, std::string_view body, bool more_body) override {
    out += body;
    if (!more_body) out += "[end]";
    return SendResult::done;
  }
  SendResult write_file(Exchange&, std::span<const http::HeaderField>, server::FileSlice, bool) override {
    return SendResult::done;
  }
  SendResult write_interim(Exchange&, std::uint16_t, std::span<const http::HeaderField>) override {
    return SendResult::done;
  }
  SendResult write_trailers(Exchange&, std::span<const http::HeaderField>, bool) override { return SendResult::done; }
  void response_complete(Exchange&) override { ++completed; }
  void answer_failure(Exchange& exchange) override { exchange.body({}, "[500]", false); }
  void cut_short(Exchange&) override { out += "[cut]"; }
  void want_body(Exchange&) override { paused = false; }
  void body_waiting(Exchange&, std::size_t) override {}
  [[nodiscard]] bool output_full() const noexcept override { return full; }
};

// One call served by a loop on this thread, its worker on another.
struct Served {
  explicit Served(std::size_t write_high = 64, bool has_body = true)
      : mailbox(std::make_shared<Mailbox>()), call(std::make_shared<Call>(mailbox, 1, 16, write_high)) {
    server::RequestFacts facts;
    facts.has_body = has_body;
    call->exchange().begin(protocol, facts, server::Clock::now());
    call->began();
  }
  // Pumps what the worker posted until `done` says the worker is finished.
  void loop_until(const std::atomic<bool>& done, const std::function<void()>& between = {}) {
    while (!done) {
      pollfd ready{mailbox->fd(), POLLIN, 0};
      ::poll(&ready, 1, 1);
      for (const auto& posted : mailbox->take()) posted->pump();
      if (between) between();
    }
    for (const auto& posted : mailbox->take()) posted->pump();
  }

  Transcript protocol;
  std::shared_ptr<Mailbox> mailbox;
  std::shared_ptr<Call> call;
};

// The worker's side of wsgi.input: take, waiting as the binding does.
Take read(Call& call, std::size_t count, bool line, std::string& out) {
  std::uint64_t seen = 0;
  Take step = Take::wait;
  while ((step = call.take(count, line, out, seen)) == Take::wait) call.wait_input(seen);
  return step;
}

TEST(WsgiCall, TheBodyArrivesWholeWhateverTheSplitAndTheReads) {
  std::string body;
  for (int i = 0; i < 300; ++i) body += "line " + std::to_string(i) + (i % 7 == 0 ? "\n\n" : "\n");
  const struct {
    const char* name;
    std::size_t count;
    bool line;
  } reads[] = {{"read(7)", 7, false},
               {"read()", SIZE_MAX, false},
               {"readline()", SIZE_MAX, true},
               {"readline(5)", 5, true},
               {"read(1)", 1, false}};
  for (const auto& reading : reads) {
    for (unsigned seed = 0; seed < 4; ++seed) {
      SCOPED_TRACE(std::string(reading.name) + " seed " + std::to_string(seed));
      Served served;
      std::atomic<bool> done{false};
      std::string got;
      std::thread worker([&] {
        while (true) {
          std::string piece;
          const Take step = read(*served.call, reading.count, reading.line, piece);
          EXPECT_EQ(step, Take::done);
          if (step != Take::done || piece.empty()) break;
          if (reading.line) {
            // A line ends at its newline, the limit or the body's end.
            EXPECT_TRUE(piece.size() == reading.count || piece.back() == '\n' ||
                        got.size() + piece.size() == body.size());
          }
          got += piece;
        }
        done = true;
      });
      std::mt19937 random(seed);
      std::size_t at = 0;
      served.loop_until(done, [&] {
        // Pieces of 1 to 100 bytes; reading pauses above the limit until the worker asks again.
        if (at == body.size() || served.protocol.paused) return;
        const std::size_t size = std::min<std::size_t>(1 + random() % 100, body.size() - at);
        const bool more = at + size < body.size();
        served.protocol.paused = served.call->received(std::string_view(body).substr(at, size), more) > 16 && more;
        at += size;
      });
      worker.join();
      EXPECT_EQ(got, body);
    }
  }
}

TEST(WsgiCall, PiecesGoOutInOrderThroughAFullOutput) {
  Served served(/*write_high=*/64, /*has_body=*/false);
  std::atomic<bool> done{false};
  std::atomic<int> waits{0};
  std::string expected = "[200 1]";
  std::thread worker([&] {
    Piece head;
    head.kind = Piece::Kind::head;
    head.status = 200;
    head.fields = {{"content-type", "text/plain"}};
    served.call->queue(std::move(head));
    for (int i = 0; i < 200; ++i) {
      Piece piece;
      piece.kind = Piece::Kind::body;
      piece.data = std::to_string(i) + std::string(20, 'x');
      if (served.call->queue(std::move(piece)) == Call::Queued::full) {
        ++waits;
        served.call->wait_room();
      }
    }
    Piece end;
    served.call->queue(std::move(end));
    done = true;
  });
  for (int i = 0; i < 200; ++i) expected += std::to_string(i) + std::string(20, 'x');
  expected += "[end]";
  std::mt19937 random(7);
  served.loop_until(done, [&] {
    // The output fills and drains; a drained output pumps again, as writable() does.
    served.protocol.full = random() % 3 == 0;
    if (!served.protocol.full) served.call->pump();
  });
  served.protocol.full = false;
  served.call->pump();
  worker.join();
  EXPECT_EQ(served.protocol.out, expected);
  EXPECT_EQ(served.protocol.completed, 1);
  EXPECT_GT(waits.load(), 0);
}

TEST(WsgiCall, AClientGoneWakesTheWorkerAndRefusesItsPieces) {
  const struct {
    const char* name;
    std::function<void(Call&, std::atomic<bool>&)> worker;
  } cases[] = {
      {"waiting for the body",
       [](Call& call, std::atomic<bool>& done) {
         std::string out;
         EXPECT_EQ(read(call, 10, false, out), Take::lost);
         done = true;
       }},
      {"waiting for room",
       [](Call& call, std::atomic<bool>& done) {
         Piece piece;
         piece.kind = Piece::Kind::body;
         piece.data.assign(1000, 'x');
         // The client may be gone before the piece is queued, or after.
         const Call::Queued queued = call.queue(std::move(piece));
         EXPECT_NE(queued, Call::Queued::ok);
         if (queued == Call::Queued::full) call.wait_room();
         EXPECT_TRUE(call.lost());
         EXPECT_EQ(call.queue(Piece{}), Call::Queued::lost);
         done = true;
       }},
  };
  for (const auto& each : cases) {
    SCOPED_TRACE(each.name);
    Served served;
    served.protocol.full = true;  // nothing goes out: the worker waits until the client is gone
    std::atomic<bool> done{false};
    std::thread worker([&] { each.worker(*served.call, done); });
    bool dropped = false;
    served.loop_until(done, [&] {
      if (dropped) return;
      dropped = true;
      served.call->exchange().detach();  // the connection ended
      served.call->changed();
    });
    worker.join();
  }
}

TEST(WsgiCall, StatusLinesAndLengths) {
  const struct {
    const char* status;
    std::uint16_t code;
  } statuses[] = {{"200 OK", 200}, {"404 Not Found", 404}, {"599 ", 599}, {"200", 0},
                  {"20 OK", 0},    {"2000 OK", 0},         {"abc OK", 0}, {"099 Low", 0}};
  for (const auto& [status, code] : statuses) EXPECT_EQ(status_code(status), code) << status;
  using Fields = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(announced_length(Fields{{"Content-Type", "x"}, {"Content-Length", "42"}}), 42);
  EXPECT_EQ(announced_length(Fields{{"content-length", "4x"}}), -1);
  EXPECT_EQ(announced_length(Fields{{"content-length", "-1"}}), -1);
  EXPECT_EQ(announced_length(Fields{}), -1);
  EXPECT_FALSE(field_fits("x", "a\r\nb"));
  EXPECT_TRUE(field_fits("x", "a b"));
}

}  // namespace
}  // namespace tessaryne::wsgi
