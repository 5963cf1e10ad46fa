#pragma once
// The frame loop's events as the tests record them, and a connection in
// miniature that feeds the loop piece by piece.

#include <gtest/gtest.h>

#include <new>
#include <ostream>
#include <string>
#include <vector>

#include "core/websocket/frame_loop.hpp"
#include "websocket/client_frames.hpp"

namespace tessaryne::testing {

struct Event {
  int kind;   // 4 message, 5 error
  int value;  // opcode or close code
  std::string data;
  bool operator==(const Event&) const = default;
};
inline void PrintTo(const Event& e, std::ostream* os) {
  *os << "(" << e.kind << ", " << e.value << ", " << ::testing::PrintToString(e.data) << ")";
}

struct RecordingSink {
  std::vector<Event> events;
  std::string pending;
  int calls_until_throw = -1;  // throws std::bad_alloc on that call when >= 0

  void maybe_throw() {
    if (calls_until_throw >= 0 && calls_until_throw-- == 0) throw std::bad_alloc();
  }
  char* begin_message(std::size_t length) {
    maybe_throw();
    pending.assign(length, '\0');
    return pending.data();
  }
  void commit_message(std::uint8_t opcode) {
    maybe_throw();
    events.push_back({4, opcode, std::move(pending)});
  }
  void discard_message() { pending.clear(); }
  void message(std::uint8_t opcode, std::string_view payload) {
    maybe_throw();
    events.push_back({4, opcode, std::string(payload)});
  }
  void error(std::uint16_t code, std::string_view frame) {
    maybe_throw();
    events.push_back({5, code, std::string(frame)});
  }
};
static_assert(websocket::FrameSink<RecordingSink>);

// A connection in miniature: appends each piece to its input buffer and runs
// the loop on the unconsumed bytes, as the dispatcher does.
struct Harness {
  websocket::FrameLoop loop;
  RecordingSink sink;
  std::string input;
  std::size_t read_position = 0;

  explicit Harness(std::uint64_t bound = websocket::kMaxMessageSize) : loop(bound) {}
  explicit Harness(const websocket::FrameOptions& options) { loop.configure(options); }
  void feed(std::string_view piece) {
    input.append(piece);
    loop.run(std::string_view(input).substr(read_position), read_position, sink);
  }
};

inline std::vector<Event> run_whole(const std::string& stream, std::uint64_t bound = websocket::kMaxMessageSize) {
  Harness h(bound);
  h.feed(stream);
  return h.sink.events;
}

inline Event message(int opcode, std::string data) { return {4, opcode, std::move(data)}; }
inline Event error(int code, std::string frame) { return {5, code, std::move(frame)}; }
inline const std::string k1002 = bytes({0x88, 0x02, 0x03, 0xEA});
inline const std::string k1007 = bytes({0x88, 0x02, 0x03, 0xEF});
inline const std::string k1009 = bytes({0x88, 0x02, 0x03, 0xF1});

}  // namespace tessaryne::testing
