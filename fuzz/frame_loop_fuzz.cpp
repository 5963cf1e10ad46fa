// Random client bytes through the frame loop: never a crash, and any split of
// the same bytes gives the same events and the same consumption as one piece.
// Input: 4 bytes of split seed (the low bits of the first also choose the
// options: strict, permessage-deflate, fail-fast UTF-8, no context takeover;
// the second the client's window bits), 1 byte choosing the size bound, then
// the stream.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/websocket/frame_loop.hpp"

namespace {

using tessaryne::websocket::FrameLoop;

struct Event {
  int value;
  std::string data;
  bool operator==(const Event&) const = default;
};

struct Sink {
  std::vector<Event> events;
  std::string pending;
  char* begin_message(std::size_t length) {
    pending.assign(length, '\0');
    return pending.data();
  }
  void commit_message(std::uint8_t opcode) { events.push_back({opcode, std::move(pending)}); }
  void discard_message() { pending.clear(); }
  void message(std::uint8_t opcode, std::string_view payload) { events.push_back({opcode, std::string(payload)}); }
  void error(std::uint16_t code, std::string_view frame) { events.push_back({code, std::string(frame)}); }
};

struct Run {
  FrameLoop loop;
  Sink sink;
  std::string input;
  std::size_t read_position = 0;
  explicit Run(const tessaryne::websocket::FrameOptions& options) { loop.configure(options); }
  void feed(std::string_view piece) {
    input.append(piece);
    loop.run(std::string_view(input).substr(read_position), read_position, sink);
    if (read_position > input.size()) std::abort();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5) return 0;
  std::uint32_t seed =
      static_cast<std::uint32_t>(data[0] | data[1] << 8 | data[2] << 16) | (std::uint32_t{data[3]} << 24);
  // Small bounds reach the 1009 paths with short inputs.
  tessaryne::websocket::FrameOptions options;
  options.max_message_size = data[4] < 128 ? data[4] : tessaryne::websocket::kMaxMessageSize;
  options.strict = (data[0] & 1) != 0;
  options.deflate = (data[0] & 2) != 0;
  options.utf8_fail_fast = (data[0] & 4) != 0;
  options.deflate_parameters.client_no_context_takeover = (data[0] & 8) != 0;
  options.deflate_parameters.client_max_window_bits = static_cast<std::uint8_t>(8 + data[1] % 8);
  const std::string_view stream(reinterpret_cast<const char*>(data + 5), size - 5);

  Run whole(options);
  whole.feed(stream);

  Run pieces(options);
  for (std::size_t at = 0; at < stream.size();) {
    seed = seed * 1103515245u + 12345u;
    const std::size_t n = 1 + (seed >> 16) % 17;
    pieces.feed(stream.substr(at, n));
    at += n;
  }
  pieces.feed("");
  if (!(pieces.sink.events == whole.sink.events) || pieces.read_position != whole.read_position ||
      pieces.loop.failed() != whole.loop.failed() || pieces.loop.fragment_size() != whole.loop.fragment_size())
    std::abort();
  return 0;
}
