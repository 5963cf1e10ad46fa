// Feeds arbitrary bytes to a connection whole and in pieces chosen by the input
// itself, resetting after every complete message, and checks that both give
// the same events (streamed Content-Length pieces merged).

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/http/connection.hpp"

using namespace tessaryne::http;

namespace {

struct Recorder final : EventSink {
  std::vector<std::string> events;
  void request(const RequestEvent& e) override {
    std::string line =
        "R" + std::string(e.method) + " " + std::string(e.target) + " " + std::string(version_text(e.minor_version));
    for (const HeaderLine& h : e.headers) line += "|" + std::string(h.name) + ":" + std::string(h.value);
    line += e.keep_alive ? "K" : "-";
    line += e.has_body ? "B" : "-";
    events.push_back(std::move(line));
  }
  void body(std::string_view data, bool more) override {
    if (!events.empty() && events.back().starts_with("D+")) {
      events.back() = (more ? "D+" : "D-") + events.back().substr(2) + std::string(data);
      return;
    }
    events.push_back((more ? "D+" : "D-") + std::string(data));
  }
  void upgrade(std::string_view value) override { events.push_back("U" + std::string(value)); }
  void error(std::uint16_t status, std::string_view, std::string_view response) override {
    events.push_back("E" + std::to_string(status) + std::string(response));
  }
};

std::vector<std::string> drive(std::string_view stream, const std::vector<std::size_t>& lengths,
                               const ConnectionLimits& limits) {
  Connection connection(limits);
  Recorder recorder;
  auto feed = [&](std::string_view piece) {
    connection.append(piece);
    connection.dispatch(recorder);
    while (connection.state() == ConnectionState::message_complete) {
      connection.reset_for_next_request();
      connection.dispatch(recorder);
    }
  };
  for (const std::size_t length : lengths) {
    feed(stream.substr(0, length));
    stream.remove_prefix(std::min(length, stream.size()));
  }
  feed(stream);
  recorder.events.push_back(connection.is_closed() ? "closed" : "open");
  return recorder.events;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  // Small limits so that the size guards are reached.
  const ConnectionLimits limits{
      .max_body_size = data[0], .max_header_size = data[1] * 4U, .max_keepalive_requests = data[2] % 8U};
  const std::size_t seed = data[3];
  const std::string_view stream(reinterpret_cast<const char*>(data) + 4, size - 4);
  std::vector<std::size_t> lengths;
  std::uint32_t state = static_cast<std::uint32_t>(seed) * 2654435761U + 1;
  for (std::size_t fed = 0; fed < stream.size();) {
    state = state * 1103515245U + 12345U;
    const std::size_t length = 1 + (state >> 16) % 17;
    lengths.push_back(length);
    fed += length;
  }
  if (drive(stream, {}, limits) != drive(stream, lengths, limits)) std::abort();
  return 0;
}
