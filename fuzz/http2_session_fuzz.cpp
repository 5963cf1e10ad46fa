// Random client bytes after the HTTP/2 preface, through a served connection
// over a socket pair whose other end is drained, with an app that answers
// every request: whole, in pieces past the write marks, with trailers, cut
// short or failed, taking its body or leaving it unread. Never a crash, UB or
// leak; every exchange hears stream_closed once, before ended(), and the
// connection never touches an exchange after it: the app lets go of it there,
// as the binding does, and it is freed unless the app is inside a call of its. Input: 1 byte of options (bits 0-1 the
// limits, bit 2 shutdown after the input, bits 3-5 the size of the pieces it is sent in), 1 byte choosing the answers,
// then the bytes (SETTINGS and other frames).

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/server/served_connection.hpp"

namespace {

using namespace tessaryne::server;

struct App final : ConnectionEvents {
  struct Stream {
    Exchange exchange;
    int step = 0;
    std::size_t unread = 0;
  };
  std::map<std::uint32_t, std::shared_ptr<Stream>> streams;
  std::set<std::uint32_t> closed;
  std::uint8_t answers = 0;
  bool ended_called = false;

  Exchange& request(const tessaryne::http::RequestEvent&, std::uint32_t stream) override {
    if (ended_called || streams.contains(stream) || closed.contains(stream)) std::abort();
    return (streams[stream] = std::make_shared<Stream>())->exchange;
  }
  Exchange& native_request(const tessaryne::http::RequestEvent& event, std::uint32_t stream) override {
    return request(event, stream);
  }
  void body(std::uint32_t stream, std::string_view data, bool) override {
    const auto found = streams.find(stream);
    if (found == streams.end()) std::abort();
    found->second->unread += data.size();
    found->second->exchange.body_waiting(found->second->unread);
  }
  void stream_closed(std::uint32_t stream) override {
    if (!closed.insert(stream).second) std::abort();
    streams.erase(stream);
  }
  void ended() override {
    if (ended_called || !streams.empty()) std::abort();
    ended_called = true;
  }
  void start(std::uint32_t) override {}
  void wake(std::uint32_t) override {}
  void writable() override {}
  void response_done(const Exchange&) override {}
  void websocket(const tessaryne::http::RequestEvent&, std::uint32_t) override {}  // left unanswered
  void start_websocket(std::uint32_t) override {}
  void frames(std::uint32_t) override {}

  // One step of each stream's app, which holds its stream while it calls.
  void served() {
    std::vector<std::uint32_t> ids;
    for (const auto& [id, stream] : streams) ids.push_back(id);
    for (const std::uint32_t id : ids) {
      const auto found = streams.find(id);
      if (found == streams.end()) continue;
      const std::shared_ptr<Stream> held = found->second;
      Stream& stream = *held;
      Exchange& exchange = stream.exchange;
      const unsigned kind = (id / 2 + answers) % 6;
      // The app of kind 1 never reads its body.
      if (kind != 1 && exchange.next_receive(stream.unread != 0) == ReceiveStep::deliver) {
        stream.unread = 0;
        exchange.body_taken();
        continue;
      }
      if (!exchange.output_full() && stream.step < 10) answer(exchange, kind, stream.step++);
    }
  }

  static void answer(Exchange& exchange, unsigned kind, int step) {
    static const std::string piece(20000, 'p');
    static constexpr std::array<tessaryne::http::HeaderField, 1> kFields{{{"x-app", "1"}}};
    switch (kind * 10 + static_cast<unsigned>(step)) {
      case 0:  // whole
        exchange.start(200, false);
        exchange.body(kFields, "ok", false);
        break;
      case 10:  // pieces, past write_high
      case 20:  // trailers
        exchange.start(200, kind == 2);
        break;
      case 11:
      case 12:
      case 13:
      case 21:
        exchange.body(kFields, piece, true);
        break;
      case 14:
      case 22:
        exchange.body({}, {}, false);
        break;
      case 23:
        exchange.trailers(kFields, true);
        exchange.trailers(kFields, false);
        break;
      case 30:  // cut short after its head
        exchange.start(200, false);
        exchange.body({}, piece, true);
        break;
      case 31:
        exchange.app_returned();
        break;
      case 40:  // the app fails: 500
        exchange.app_failed();
        break;
      case 50:  // 204, then a misplaced body
        exchange.start(204, false);
        exchange.body({}, "x", false);
        exchange.body({}, "y", false);
        break;
      default:
        break;
    }
  }
};

std::size_t drain(int fd) {
  std::array<char, 65536> buffer{};
  std::size_t total = 0;
  for (ssize_t count = 0; (count = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT)) > 0;)
    total += static_cast<std::size_t>(count);
  return total;
}

// One round of the loop, without waiting: readiness, deadlines, the apps.
void serve(ServerLoop& loop, ServedConnection& connection, App& app) {
  std::array<Readiness, 8> ready{};
  const std::size_t count = loop.poller().poll(ready);
  for (std::size_t i = 0; i < count; ++i) {
    if (ready[i].token == Poller::kAlarmToken) {
      loop.run_deadlines([&](const Deadlines::Entry& entry) { connection.on_deadline(entry); });
    } else {
      connection.on_ready(ready[i]);
    }
  }
  app.served();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint8_t options = data[0];
  ServerSettings settings;
  settings.server_line = "server: f\r\n";
  if ((options & 1) != 0) {
    settings.read_buffer_limit = 1024;  // the smallest window, 16 KiB
    settings.write_high = 4096;
    settings.write_low = 1024;
  }
  if ((options & 2) != 0) {
    settings.limits.max_header_size = 256;
    settings.h2_max_concurrent_streams = 4;
  }
  constexpr std::array<std::size_t, 8> kPieces{1 << 20, 1, 3, 9, 64, 512, 4096, 16384};
  const std::size_t piece = kPieces[(options >> 3) & 7];

  std::array<int, 2> fds{};
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds.data()) != 0) std::abort();
  const int client = fds[1];
  ServerLoop loop(std::move(settings));
  App app;
  app.answers = data[1];
  {
    ServedConnection connection(loop, fds[0], 1);
    connection.open(app, /*http2=*/true);
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast)
    const std::string input =
        std::string(kHttp2Preface) + std::string(reinterpret_cast<const char*>(data) + 2, size - 2);
    std::size_t at = 0;
    for (int idle = 0; idle < 8 && !connection.closed();) {
      bool moved = drain(client) != 0;
      if (at < input.size()) {
        const std::string_view next = std::string_view(input).substr(at, piece);
        const ssize_t sent = ::send(client, next.data(), next.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
          at += static_cast<std::size_t>(sent);
          moved = true;
        }
      }
      serve(loop, connection, app);
      idle = moved ? 0 : idle + 1;
    }
    if ((options & 4) != 0 && !connection.closed()) {
      connection.shutdown();
      for (int round = 0; round < 64 && !connection.closed(); ++round) {
        drain(client);
        serve(loop, connection, app);
      }
    }
    // The client goes, whatever is still open.
    ::shutdown(client, SHUT_RDWR);
    for (int round = 0; round < 8 && !connection.closed(); ++round) serve(loop, connection, app);
    if (!connection.closed()) connection.abort();
    if (!app.ended_called) std::abort();
  }
  ::close(client);
  return 0;
}
