// Frame loop throughput on one core: a stream of 100-byte masked text frames
// fed 64 KiB at a time, as a connection receives them. The reference figure
// is a plain memcpy of the same stream in the same 64 KiB pieces, the least
// any reader has to do with the bytes. Median of several runs. The same
// stream with strict framing and fail-fast UTF-8 on shows what they cost; last,
// the zlib memory a connection holds between messages under each
// permessage-deflate setting.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/websocket/frame_loop.hpp"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kPayload = 100;
constexpr std::size_t kFeed = 64 << 10;
constexpr std::size_t kMessages = 2'000'000;
constexpr int kRuns = 7;

std::string make_stream() {
  std::string frame;
  frame.push_back(static_cast<char>(0x81));
  frame.push_back(static_cast<char>(0x80 | kPayload));
  const char key[4] = {0x11, 0x22, 0x33, 0x44};
  frame.append(key, 4);
  for (std::size_t i = 0; i < kPayload; ++i) frame.push_back(static_cast<char>(('a' + i % 26) ^ key[i % 4]));
  std::string stream;
  stream.reserve(frame.size() * kMessages);
  for (std::size_t i = 0; i < kMessages; ++i) stream += frame;
  return stream;
}

// Counts messages; payloads land in one reused buffer, so the figure is the
// loop's own cost (framing, unmasking, UTF-8), not an allocator's.
struct CountingSink {
  std::size_t messages = 0;
  std::size_t bytes = 0;
  char scratch[1 << 16];
  char* begin_message(std::size_t) { return scratch; }
  void commit_message(std::uint8_t) { ++messages; }
  void discard_message() {}
  void message(std::uint8_t, std::string_view payload) {
    ++messages;
    bytes += payload.size();
  }
  void error(std::uint16_t, std::string_view) {}
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Feeds the stream in 64 KiB pieces through an input buffer with the
// connection's compaction rule, returning seconds.
double run_loop(const std::string& stream, std::size_t& messages,
                const tessaryne::websocket::FrameOptions* options = nullptr) {
  tessaryne::websocket::FrameLoop loop;
  if (options != nullptr) loop.configure(*options);
  CountingSink sink;
  std::string input;
  std::size_t read_position = 0;
  const auto start = Clock::now();
  for (std::size_t at = 0; at < stream.size(); at += kFeed) {
    if (read_position == input.size()) {
      input.clear();
      read_position = 0;
    } else if (read_position >= kFeed) {
      input.erase(0, read_position);
      read_position = 0;
    }
    input.append(stream, at, kFeed);
    loop.run(std::string_view(input).substr(read_position), read_position, sink);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  messages = sink.messages;
  return seconds;
}

double run_copy(const std::string& stream) {
  std::vector<char> into(kFeed);
  volatile char sink = 0;
  const auto start = Clock::now();
  for (std::size_t at = 0; at < stream.size(); at += kFeed) {
    const std::size_t n = std::min(kFeed, stream.size() - at);
    std::memcpy(into.data(), stream.data() + at, n);
    sink = static_cast<char>(sink + into[n - 1]);
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// zlib bytes held once one message has gone each way: the inflater of the
// frame loop and the connection's deflater.
void idle_cost() {
  using tessaryne::websocket::DeflateParameters;
  struct Setting {
    const char* name;
    DeflateParameters agreed;
  };
  const Setting settings[] = {
      {"context takeover, 15-bit windows", {}},
      {"context takeover, 12-bit windows", {.server_max_window_bits = 12, .client_max_window_bits = 12}},
      {"context takeover, 9-bit windows", {.server_max_window_bits = 9, .client_max_window_bits = 9}},
      {"no context takeover, both ways", {.server_no_context_takeover = true, .client_no_context_takeover = true}},
  };
  const std::string text(1024, 'j');
  std::printf("\nzlib memory a connection holds between messages (after one each way)\n");
  std::printf("%-36s %12s %12s\n", "", "inflate B", "deflate B");
  for (const Setting& setting : settings) {
    tessaryne::websocket::Deflater client(setting.agreed.client_max_window_bits, false);
    const std::string payload(client.compress(text));
    std::string frame = {static_cast<char>(0xC1),
                         static_cast<char>(0x80 | 126),
                         static_cast<char>(payload.size() >> 8),
                         static_cast<char>(payload.size() & 0xFF),
                         0,
                         0,
                         0,
                         0};
    frame += payload;  // a zero key leaves the payload as it is
    tessaryne::websocket::FrameLoop loop;
    loop.configure({.deflate = true, .deflate_parameters = setting.agreed});
    CountingSink sink;
    std::size_t read_position = 0;
    loop.run(frame, read_position, sink);
    tessaryne::websocket::Deflater server(setting.agreed.server_max_window_bits,
                                          setting.agreed.server_no_context_takeover);
    server.compress(text);
    if (sink.messages != 1) std::fprintf(stderr, "%s: message not received\n", setting.name);
    std::printf("%-36s %12zu %12zu\n", setting.name, loop.inflate_bytes(), server.held_bytes());
  }
}

}  // namespace

int main() {
  const std::string stream = make_stream();
  std::vector<double> loop_times, strict_times, copy_times;
  std::size_t messages = 0;
  std::size_t strict_messages = 0;
  const tessaryne::websocket::FrameOptions strict{.strict = true, .utf8_fail_fast = true};
  for (int run = 0; run < kRuns; ++run) {
    loop_times.push_back(run_loop(stream, messages));
    strict_times.push_back(run_loop(stream, strict_messages, &strict));
    copy_times.push_back(run_copy(stream));
  }
  if (messages != kMessages || strict_messages != kMessages) {
    std::fprintf(stderr, "expected %zu messages, got %zu\n", kMessages, messages);
    return 1;
  }
  const double loop_s = median(loop_times);
  const double copy_s = median(copy_times);
  const double strict_s = median(strict_times);
  const double mib = static_cast<double>(stream.size()) / (1 << 20);
  std::printf("frame loop, %zu-byte masked text frames, fed %zu KiB at a time (median of %d runs)\n", kPayload,
              kFeed >> 10, kRuns);
  std::printf("%-22s %14s %12s\n", "", "messages/s", "MiB/s");
  std::printf("%-22s %14.0f %12.0f\n", "ours (frame loop)", kMessages / loop_s, mib / loop_s);
  std::printf("%-22s %14.0f %12.0f\n", "ours, strict+fail-fast", kMessages / strict_s, mib / strict_s);
  std::printf("%-22s %14s %12.0f\n", "memcpy of the stream", "-", mib / copy_s);
  std::printf("ours / memcpy: %.3fx of the byte rate\n", copy_s / loop_s);
  idle_cost();
  return 0;
}
