#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/websocket/frame_loop.hpp"
#include "websocket/client_frames.hpp"
#include "websocket/recording_sink.hpp"

namespace tessaryne::websocket {
namespace {

using testing::bytes;
using testing::ClientFrame;
using testing::encode;
using testing::error;
using testing::Event;
using testing::Harness;
using testing::k1002;
using testing::k1007;
using testing::k1009;
using testing::message;
using testing::run_whole;

TEST(FrameLoop, MessagesControlFramesAndFragments) {
  struct Case {
    const char* name;
    std::string stream;
    std::vector<Event> expected;
  };
  const Case cases[] = {
      {"text", encode({.payload = "hello"}), {message(1, "hello")}},
      {"binary non-utf8", encode({.opcode = 2, .payload = "\xFF"}), {message(2, "\xFF")}},
      {"empty text", encode({.payload = ""}), {message(1, "")}},
      {"fragments around a ping",
       encode({.fin = false, .payload = "he"}) + encode({.opcode = 9, .payload = "p"}) +
           encode({.opcode = 0, .payload = "llo"}),
       {message(9, "p"), message(1, "hello")}},
      {"utf8 sequence cut between fragments",
       encode({.fin = false, .payload = "\xE2\x82"}) + encode({.opcode = 0, .fin = false, .payload = ""}) +
           encode({.opcode = 0, .payload = "\xAC"}),
       {message(1, "\xE2\x82\xAC")}},
      {"binary fragments",
       encode({.opcode = 2, .fin = false, .payload = "\xFF"}) + encode({.opcode = 0, .payload = "\xFE"}),
       {message(2, "\xFF\xFE")}},
      {"close is reported and parsing goes on",
       encode({.opcode = 8, .payload = bytes({0x03, 0xE8})}) + encode({.payload = "after"}),
       {message(8, bytes({0x03, 0xE8})), message(1, "after")}},
      {"reserved data opcode dropped",
       encode({.opcode = 3, .payload = "zzz"}) + encode({.payload = "x"}),
       {message(1, "x")}},
      {"reserved control opcode reported", encode({.opcode = 11, .payload = "r"}), {message(11, "r")}},
      {"reserved bits not examined", encode({.payload = "r", .first_byte_extra = 0x70}), {message(1, "r")}},
      {"125-byte ping", encode({.opcode = 9, .payload = std::string(125, 'p')}), {message(9, std::string(125, 'p'))}},
      {"16-bit length", encode({.opcode = 2, .payload = std::string(300, 'b')}), {message(2, std::string(300, 'b'))}},
      {"64-bit length",
       encode({.opcode = 2, .payload = std::string(70000, 'c')}),
       {message(2, std::string(70000, 'c'))}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(run_whole(c.stream), c.expected);
  }
}

TEST(FrameLoop, EveryViolationEndsWithItsExactCloseFrame) {
  const std::string hello = encode({.payload = "hello"});
  struct Case {
    const char* name;
    std::string stream;
    std::uint64_t bound;
    std::vector<Event> expected;
  };
  const std::string huge_header = bytes({0x82, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0});
  const Case cases[] = {
      {"unmasked",
       hello + encode({.masked = false, .payload = "x"}),
       kMaxMessageSize,
       {message(1, "hello"), error(1002, k1002)}},
      {"control without FIN",
       encode({.opcode = 9, .fin = false, .payload = ""}),
       kMaxMessageSize,
       {error(1002, k1002)}},
      {"126-byte ping", encode({.opcode = 9, .payload = std::string(126, 'p')}), kMaxMessageSize, {error(1002, k1002)}},
      {"text inside a fragmented message",
       encode({.fin = false, .payload = "a"}) + encode({.opcode = 2, .payload = "b"}),
       kMaxMessageSize,
       {error(1002, k1002)}},
      {"continuation with nothing in progress",
       encode({.opcode = 0, .payload = "a"}),
       kMaxMessageSize,
       {error(1002, k1002)}},
      {"invalid text", hello + encode({.payload = "\xFF"}), kMaxMessageSize, {message(1, "hello"), error(1007, k1007)}},
      {"reassembled text cut at the end",
       encode({.fin = false, .payload = "ok\xE2"}) + encode({.opcode = 9, .payload = "p"}) +
           encode({.opcode = 0, .payload = "\x82"}),
       kMaxMessageSize,
       {message(9, "p"), error(1007, k1007)}},
      {"frame above the bound", encode({.opcode = 2, .payload = std::string(101, 'x')}), 100, {error(1009, k1009)}},
      {"message above the bound",
       encode({.opcode = 2, .fin = false, .payload = std::string(60, 'x')}) +
           encode({.opcode = 0, .payload = std::string(41, 'x')}),
       100,
       {error(1009, k1009)}},
      {"message at the bound",
       encode({.opcode = 2, .fin = false, .payload = std::string(60, 'x')}) +
           encode({.opcode = 0, .payload = std::string(40, 'x')}),
       100,
       {message(2, std::string(100, 'x'))}},
      // Header + key + payload overflows 64 bits: refused from the header alone.
      {"64-bit length that wraps the frame size", huge_header, kMaxMessageSize, {error(1009, k1009)}},
      // An oversized control frame is refused from its header: nothing is buffered for it.
      {"ping length beyond the bound",
       bytes({0x89, 0xFF, 0x7F, 0, 0, 0, 0, 0, 0, 0}),
       kMaxMessageSize,
       {error(1002, k1002)}},
      {"126-byte ping, header only", bytes({0x89, 0xFE, 0x00, 0x7E}), kMaxMessageSize, {error(1002, k1002)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h(c.bound);
    h.feed(c.stream);
    EXPECT_EQ(h.sink.events, c.expected);
    if (c.expected.back().kind != 5) continue;  // the bound itself is allowed
    EXPECT_TRUE(h.loop.failed());
    // Nothing more comes out once failed, whatever follows.
    h.feed(hello);
    EXPECT_EQ(h.sink.events, c.expected);
  }
}

TEST(FrameLoop, PartialFramesStayBufferedAndTheUnmaskedFrameIsNotTaken) {
  const std::string frame = encode({.opcode = 2, .payload = std::string(200, 'z')});
  Harness h;
  h.feed(frame.substr(0, frame.size() - 1));
  EXPECT_TRUE(h.sink.events.empty());
  EXPECT_EQ(h.read_position, 0u);
  h.feed(frame.substr(frame.size() - 1));
  EXPECT_EQ(h.sink.events, std::vector<Event>{message(2, std::string(200, 'z'))});
  EXPECT_EQ(h.read_position, frame.size());

  h.feed(encode({.masked = false, .payload = "x"}));
  EXPECT_EQ(h.read_position, frame.size());
}

// A random conversation: data messages (some fragmented, text with
// multi-byte characters), control frames between fragments, and now and then
// a violation.
std::string random_stream(std::mt19937& random, bool allow_faults) {
  static const std::string alphabet[] = {"a", "b", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xFF"};
  std::string stream;
  const int messages = 1 + static_cast<int>(random() % 6);
  for (int m = 0; m < messages; ++m) {
    const bool text = random() % 2 == 0;
    std::string payload;
    const int length = static_cast<int>(random() % 40) + (random() % 8 == 0 ? 300 : 0);
    for (int i = 0; i < length; ++i)
      payload += text ? alphabet[random() % (allow_faults ? 6 : 5)] : std::string(1, static_cast<char>(random()));
    const std::size_t pieces = 1 + random() % 4;
    std::size_t from = 0;
    for (std::size_t p = 0; p < pieces; ++p) {
      const bool last = p + 1 == pieces;
      const std::size_t to = last ? payload.size() : from + random() % (payload.size() - from + 1);
      const websocket::MaskKey key{static_cast<std::uint8_t>(random()), static_cast<std::uint8_t>(random()), 7, 9};
      stream += encode({.opcode = static_cast<std::uint8_t>(p == 0 ? (text ? 1 : 2) : 0),
                        .fin = last,
                        .payload = payload.substr(from, to - from),
                        .key = key});
      from = to;
      if (random() % 3 == 0) stream += encode({.opcode = static_cast<std::uint8_t>(9 + random() % 2), .payload = "c"});
    }
    if (allow_faults && random() % 10 == 0) stream += encode({.masked = false, .payload = "u"});
  }
  return stream;
}

TEST(FrameLoop, AnySplitOfTheStreamGivesTheSameEventsAndConsumption) {
  std::mt19937 random(99);
  for (int round = 0; round < 400; ++round) {
    const std::string stream = random_stream(random, round % 2 == 1);
    Harness whole;
    whole.feed(stream);
    Harness split;
    for (std::size_t at = 0; at < stream.size();) {
      const std::size_t n = random() % 3 == 0 ? 1 : 1 + random() % 64;
      split.feed(std::string_view(stream).substr(at, n));
      at += n;
    }
    ASSERT_EQ(split.sink.events, whole.sink.events) << "round " << round;
    ASSERT_EQ(split.read_position, whole.read_position);
    ASSERT_EQ(split.loop.fragment_opcode(), whole.loop.fragment_opcode());
  }
}

// If the sink throws on any one call, the events it took before the throw plus
// those of a later run over the rest equal an undisturbed run.
TEST(FrameLoop, ASinkThatThrowsLosesNothingAndDuplicatesNothing) {
  std::mt19937 random(5);
  for (int round = 0; round < 200; ++round) {
    const std::string stream = random_stream(random, round % 2 == 1);
    const std::vector<Event> expected = run_whole(stream);
    for (int throw_at = 0; throw_at < 12; ++throw_at) {
      Harness h;
      h.sink.calls_until_throw = throw_at;
      h.input = stream;
      try {
        h.loop.run(h.input, h.read_position, h.sink);
      } catch (const std::bad_alloc&) {
      }
      h.sink.calls_until_throw = -1;
      h.feed("");
      ASSERT_EQ(h.sink.events, expected) << "round " << round << " throw at " << throw_at;
    }
  }
}

}  // namespace
}  // namespace tessaryne::websocket
