// The frame loop's opt-in behaviour: strict framing, fail-fast UTF-8, the
// message bound, and permessage-deflate in both directions.
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "core/websocket/deflate.hpp"
#include "core/websocket/frame_loop.hpp"
#include "websocket/client_frames.hpp"
#include "websocket/recording_sink.hpp"

namespace tessaryne::websocket {
namespace {

using testing::bytes;
using testing::encode;
using testing::error;
using testing::Event;
using testing::Harness;
using testing::k1002;
using testing::k1007;
using testing::k1009;
using testing::message;

const FrameOptions kStrict{.strict = true};
const FrameOptions kFailFast{.utf8_fail_fast = true};
const FrameOptions kDeflate{.deflate = true};
const FrameOptions kStrictDeflate{.strict = true, .utf8_fail_fast = true, .deflate = true};

std::string close_payload(int code, const std::string& reason = "") { return bytes({code >> 8, code & 0xFF}) + reason; }

struct Case {
  const char* name;
  FrameOptions options;
  std::string stream;
  std::vector<Event> expected;
};

void run_table(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h(c.options);
    h.feed(c.stream);
    EXPECT_EQ(h.sink.events, c.expected);
  }
}

TEST(FrameOptions, ReservedBitsAndOpcodes) {
  const std::string after = encode({.payload = "after"});
  std::vector<Case> cases;
  for (const int bits : {0x40, 0x20, 0x10, 0x70}) {
    cases.push_back({"reserved bit, default: not examined",
                     {},
                     encode({.payload = "r", .first_byte_extra = std::uint8_t(bits)}),
                     {message(1, "r")}});
    cases.push_back({"reserved bit, strict",
                     kStrict,
                     encode({.payload = "r", .first_byte_extra = std::uint8_t(bits)}) + after,
                     {error(1002, k1002)}});
    cases.push_back({"reserved bit on a ping, strict",
                     kStrict,
                     encode({.opcode = 9, .payload = "p", .first_byte_extra = std::uint8_t(bits)}),
                     {error(1002, k1002)}});
  }
  cases.push_back({"RSV2 with deflate, strict",
                   kStrictDeflate,
                   encode({.payload = "r", .first_byte_extra = 0x20}),
                   {error(1002, k1002)}});
  cases.push_back(
      {"RSV1 on a continuation with deflate",
       kDeflate,
       encode({.fin = false, .payload = "a"}) + encode({.opcode = 0, .payload = "b", .first_byte_extra = 0x40}),
       {error(1002, k1002)}});
  cases.push_back({"RSV1 on a ping with deflate",
                   kDeflate,
                   encode({.opcode = 9, .payload = "p", .first_byte_extra = 0x40}),
                   {error(1002, k1002)}});
  for (std::uint8_t opcode = 3; opcode <= 7; ++opcode) {
    cases.push_back({"reserved data opcode, default: dropped",
                     {},
                     encode({.opcode = opcode, .payload = "z"}) + after,
                     {message(1, "after")}});
    cases.push_back({"reserved data opcode, strict",
                     kStrict,
                     encode({.opcode = opcode, .payload = "z"}) + after,
                     {error(1002, k1002)}});
  }
  for (std::uint8_t opcode = 11; opcode <= 15; ++opcode) {
    cases.push_back({"reserved control opcode, default: reported",
                     {},
                     encode({.opcode = opcode, .payload = "z"}),
                     {message(opcode, "z")}});
    cases.push_back({"reserved control opcode, strict",
                     kStrict,
                     encode({.opcode = opcode, .payload = "z"}) + after,
                     {error(1002, k1002)}});
  }
  run_table(cases);
}

TEST(FrameOptions, FragmentationRulesHoldUnderEveryOption) {
  for (const FrameOptions& options : {FrameOptions{}, kStrict, kFailFast, kStrictDeflate}) {
    run_table({
        {"fragments around a ping",
         options,
         encode({.fin = false, .payload = "he"}) + encode({.opcode = 9, .payload = "p"}) +
             encode({.opcode = 0, .payload = "llo"}),
         {message(9, "p"), message(1, "hello")}},
        {"data frame inside a fragmented message",
         options,
         encode({.fin = false, .payload = "a"}) + encode({.opcode = 1, .payload = "b"}),
         {error(1002, k1002)}},
        {"continuation with nothing in progress", options, encode({.opcode = 0, .payload = "a"}), {error(1002, k1002)}},
        {"ping without FIN", options, encode({.opcode = 9, .fin = false, .payload = ""}), {error(1002, k1002)}},
    });
  }
}

TEST(FrameOptions, CloseCodesAndReasons) {
  const auto close = [](const std::string& payload) { return encode({.opcode = 8, .payload = payload}); };
  std::vector<Case> cases = {
      {"default: any close payload passes", {}, close("x"), {message(8, "x")}},
      {"default: reason not checked",
       {},
       close(close_payload(1000, "\xFF")),
       {message(8, close_payload(1000, "\xFF"))}},
      {"empty close", kStrict, close(""), {message(8, "")}},
      {"1-byte close", kStrict, close("x"), {error(1002, k1002)}},
      {"close with a reason",
       kStrictDeflate,
       close(close_payload(1000, "bye \xE2\x82\xAC")),
       {message(8, close_payload(1000, "bye \xE2\x82\xAC"))}},
      {"invalid reason", kFailFast, close(close_payload(1000, "ok\xC0\xAF")), {error(1007, k1007)}},
      {"reason cut mid-character", kFailFast, close(close_payload(1000, "\xE2\x82")), {error(1007, k1007)}},
  };
  for (const int code : {1000, 1001, 1002, 1003, 1007, 1010, 1011, 1014, 3000, 4999})
    cases.push_back({"valid code", kStrict, close(close_payload(code)), {message(8, close_payload(code))}});
  for (const int code : {0, 999, 1004, 1005, 1006, 1015, 1016, 2999, 5000, 65535})
    cases.push_back({"code a peer may not send", kStrict, close(close_payload(code)), {error(1002, k1002)}});
  run_table(cases);
}

// An invalid text message and where, in the stream, it becomes impossible.
struct Invalid {
  const char* name;
  std::vector<testing::ClientFrame> frames;
  std::size_t bad_frame;   // index of the frame holding the first impossible byte
  std::size_t bad_offset;  // its offset within that frame's payload
};

std::size_t header_size(const testing::ClientFrame& frame) { return encode(frame).size() - frame.payload.size(); }

TEST(FrameOptions, InvalidUtf8FailsAtTheFirstImpossibleByteWhateverTheSplit) {
  const std::string tail(300, 'x');  // the error must not wait for it
  const std::vector<Invalid> cases = {
      {"stray continuation", {{.payload = "abc\x80" + tail}}, 0, 3},
      {"overlong two-byte", {{.payload = "a\xC0\xAF" + tail}}, 0, 1},
      {"overlong three-byte", {{.payload = "\xE0\x80\x80" + tail}}, 0, 1},
      {"surrogate", {{.payload = "ab\xED\xA0\x80" + tail}}, 0, 3},
      {"beyond U+10FFFF", {{.payload = "\xF4\x90\x80\x80" + tail}}, 0, 1},
      {"byte never used", {{.payload = "\xFE" + tail}}, 0, 0},
      {"cut sequence broken in the next fragment",
       {{.fin = false, .payload = "ok\xE2\x82"},
        {.opcode = 0, .fin = false, .payload = "A" + tail},
        {.opcode = 0, .payload = "z"}},
       1,
       0},
      {"invalid in a later fragment",
       {{.fin = false, .payload = "fine"},
        {.opcode = 0, .fin = false, .payload = tail + "\xFF" + tail},
        {.opcode = 0, .payload = "z"}},
       1,
       tail.size()},
  };
  for (const Invalid& c : cases) {
    SCOPED_TRACE(c.name);
    std::string stream;
    std::size_t bad_index = 0;
    for (std::size_t i = 0; i < c.frames.size(); ++i) {
      if (i == c.bad_frame) bad_index = stream.size() + header_size(c.frames[i]) + c.bad_offset;
      stream += encode(c.frames[i]);
    }
    // Byte by byte: the error comes with the impossible byte, not later.
    Harness h(kFailFast);
    std::size_t failed_at = stream.size();
    for (std::size_t i = 0; i < stream.size() && failed_at == stream.size(); ++i) {
      h.feed(stream.substr(i, 1));
      if (!h.sink.events.empty() && h.sink.events.back().kind == 5) failed_at = i;
    }
    EXPECT_EQ(failed_at, bad_index);
    EXPECT_EQ(h.sink.events, std::vector<Event>{error(1007, k1007)});
    // Any split in two gives the same events.
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
      Harness two(kFailFast);
      two.feed(stream.substr(0, cut));
      two.feed(stream.substr(cut));
      ASSERT_EQ(two.sink.events, h.sink.events) << "cut at " << cut;
    }
  }
}

TEST(FrameOptions, AHugeInvalidTextFrameIsCutOffBeforeItIsBuffered) {
  // A 60 MiB text frame whose third byte is impossible: three payload bytes
  // arrive, and the error comes with them.
  const websocket::MaskKey key{1, 2, 3, 4};
  std::string stream = bytes({0x81, 0xFF, 0, 0, 0, 0, 0x03, 0xC0, 0, 0, 1, 2, 3, 4});
  const std::string start = "ab\xFF";
  for (std::size_t i = 0; i < start.size(); ++i) stream.push_back(static_cast<char>(start[i] ^ key[i % 4]));
  Harness h(kFailFast);
  h.feed(stream);
  EXPECT_EQ(h.sink.events, std::vector<Event>{error(1007, k1007)});
  Harness by_default;
  by_default.feed(stream);
  EXPECT_TRUE(by_default.sink.events.empty());  // waits for the whole frame
}

// Raw deflate of `text` under SYNC_FLUSH with the tail stripped, as a client makes it.
std::string client_deflate(z_stream& stream, const std::string& text) {
  std::string out(text.size() + 64, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  stream.avail_in = static_cast<uInt>(text.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&stream, Z_SYNC_FLUSH), Z_OK);
  out.resize(out.size() - stream.avail_out - 4);
  return out;
}

TEST(FrameOptions, PermessageDeflateCases) {
  // Byte sequences a client sends for "Hello" (RFC 7692, section 7.2.3).
  const std::string hello = bytes({0xF2, 0x48, 0xCD, 0xC9, 0xC9, 0x07, 0x00});
  const std::string hello_again = bytes({0xF2, 0x00, 0x11, 0x00, 0x00});  // refers back to the first
  const std::string stored = bytes({0x00, 0x05, 0x00, 0xFA, 0xFF, 0x48, 0x65, 0x6C, 0x6C, 0x6F, 0x00});
  const auto rsv1 = [](std::uint8_t opcode, const std::string& payload, bool fin = true) {
    return encode({.opcode = opcode, .fin = fin, .payload = payload, .first_byte_extra = 0x40});
  };
  FrameOptions no_takeover = kDeflate;
  no_takeover.deflate_parameters.client_no_context_takeover = true;
  FrameOptions bounded = kDeflate;
  bounded.max_message_size = 5;
  FrameOptions smaller = kDeflate;
  smaller.max_message_size = 4;
  run_table({
      {"compressed text", kDeflate, rsv1(1, hello), {message(1, "Hello")}},
      {"compressed binary", kDeflate, rsv1(2, hello), {message(2, "Hello")}},
      {"split across frames",
       kDeflate,
       rsv1(1, hello.substr(0, 3), false) + encode({.opcode = 0, .payload = hello.substr(3)}),
       {message(1, "Hello")}},
      {"a ping between compressed fragments",
       kDeflate,
       rsv1(1, hello.substr(0, 3), false) + encode({.opcode = 9, .payload = "p"}) +
           encode({.opcode = 0, .payload = hello.substr(3)}),
       {message(9, "p"), message(1, "Hello")}},
      {"stored block", kDeflate, rsv1(1, stored), {message(1, "Hello")}},
      {"empty message", kDeflate, rsv1(1, bytes({0x00})), {message(1, "")}},
      {"uncompressed beside compressed",
       kDeflate,
       encode({.payload = "plain"}) + rsv1(1, hello),
       {message(1, "plain"), message(1, "Hello")}},
      {"context taken over",
       kDeflate,
       rsv1(1, hello) + rsv1(1, hello_again),
       {message(1, "Hello"), message(1, "Hello")}},
      {"no context takeover: a back reference is corrupt",
       no_takeover,
       rsv1(1, hello) + rsv1(1, hello_again),
       {message(1, "Hello"), error(1007, k1007)}},
      {"not deflate data", kDeflate, rsv1(2, bytes({0xFF, 0xFF, 0xFF})), {error(1007, k1007)}},
      {"inflated text not UTF-8", kDeflate, rsv1(1, bytes({0xFA, 0x0F, 0x00})), {error(1007, k1007)}},
      {"at the bound", bounded, rsv1(1, hello), {message(1, "Hello")}},
      {"past the bound after inflating", smaller, rsv1(1, hello), {error(1009, k1009)}},
  });
}

TEST(FrameOptions, EachWindowAndContextParameterRoundTrips) {
  std::mt19937 random(3);
  for (int bits = 9; bits <= 15; ++bits) {
    for (const bool no_takeover : {false, true}) {
      SCOPED_TRACE(::testing::Message() << bits << " bits, no takeover " << no_takeover);
      // What we send: our compressor, read back with a window of exactly `bits`.
      Deflater writer(static_cast<std::uint8_t>(bits), no_takeover);
      z_stream reader{};
      ASSERT_EQ(inflateInit2(&reader, -bits), Z_OK);
      // What we receive: a client's compressor with the agreed window.
      FrameOptions options = kStrictDeflate;
      // A client agreeing to 8 bits writes with 9 (zlib has no 8-bit raw
      // deflate), which the reader must take.
      const int client_bits = bits == 9 ? 8 : bits;
      options.deflate_parameters = {.client_no_context_takeover = no_takeover,
                                    .client_max_window_bits = static_cast<std::uint8_t>(client_bits)};
      Harness h(options);
      z_stream client{};
      ASSERT_EQ(deflateInit2(&client, 6, Z_DEFLATED, -bits, 8, Z_DEFAULT_STRATEGY), Z_OK);
      std::vector<Event> expected;
      for (int m = 0; m < 6; ++m) {
        std::string text;
        while (text.size() < 3000)
          text += "{\"id\": " + std::to_string(random() % 50) + ", \"name\": \"caf\xC3\xA9\"} ";
        const std::string sent(writer.compress(text));
        if (no_takeover) {
          EXPECT_EQ(writer.held_bytes(), 0u);
        }
        std::string back(text.size() + 16, '\0');
        const std::string with_tail = sent + bytes({0, 0, 0xFF, 0xFF});
        reader.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(with_tail.data()));
        reader.avail_in = static_cast<uInt>(with_tail.size());
        reader.next_out = reinterpret_cast<Bytef*>(back.data());
        reader.avail_out = static_cast<uInt>(back.size());
        ASSERT_EQ(inflate(&reader, Z_SYNC_FLUSH), Z_OK);
        back.resize(back.size() - reader.avail_out);
        EXPECT_EQ(back, text);
        if (no_takeover) inflateReset(&reader);

        h.feed(encode({.payload = client_deflate(client, text), .first_byte_extra = 0x40}));
        if (no_takeover) deflateReset(&client);
        expected.push_back(message(1, text));
        EXPECT_EQ(h.loop.inflate_bytes() == 0, no_takeover);
      }
      EXPECT_EQ(h.sink.events, expected);
      inflateEnd(&reader);
      deflateEnd(&client);
    }
  }
}

TEST(FrameOptions, ACompressedMessageSplitAcrossFramesAndReadsGivesTheSameEvents) {
  std::mt19937 random(11);
  z_stream client{};
  ASSERT_EQ(deflateInit2(&client, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string stream;
  for (int m = 0; m < 4; ++m) {
    std::string text;
    while (text.size() < 20000) text += std::to_string(random()) + " \xE2\x82\xAC ";
    const std::string compressed = client_deflate(client, text);
    const std::size_t cut1 = random() % compressed.size();
    const std::size_t cut2 = cut1 + random() % (compressed.size() - cut1);
    stream += encode({.fin = false, .payload = compressed.substr(0, cut1), .first_byte_extra = 0x40});
    stream += encode({.opcode = 9, .payload = "p"});
    stream += encode({.opcode = 0, .fin = false, .payload = compressed.substr(cut1, cut2 - cut1)});
    stream += encode({.opcode = 0, .payload = compressed.substr(cut2)});
  }
  deflateEnd(&client);
  Harness whole(kStrictDeflate);
  whole.feed(stream);
  ASSERT_EQ(whole.sink.events.size(), 8u);
  for (int round = 0; round < 20; ++round) {
    Harness split(kStrictDeflate);
    for (std::size_t at = 0; at < stream.size();) {
      const std::size_t n = 1 + random() % 700;
      split.feed(std::string_view(stream).substr(at, n));
      at += n;
    }
    ASSERT_EQ(split.sink.events, whole.sink.events) << "round " << round;
  }
}

TEST(FrameOptions, ADecompressionBombStopsAtTheBoundWithoutAllocatingPastIt) {
  z_stream client{};
  ASSERT_EQ(deflateInit2(&client, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  const std::string bomb = client_deflate(client, std::string(std::size_t{8} << 20, '\0'));
  deflateEnd(&client);
  ASSERT_LT(bomb.size(), 10000u);
  constexpr std::size_t kBound = std::size_t{1} << 20;
  FragmentBuffer out;
  Inflater inflater(15, false);
  EXPECT_EQ(inflater.inflate(bomb, true, out, 0, kBound, nullptr), Inflater::Status::too_big);
  EXPECT_LE(out.capacity(), kBound + 1);

  FrameOptions options = kDeflate;
  options.max_message_size = kBound;
  Harness h(options);
  h.feed(encode({.opcode = 2, .payload = bomb, .first_byte_extra = 0x40}) + encode({.payload = "after"}));
  EXPECT_EQ(h.sink.events, std::vector<Event>{error(1009, k1009)});
}

}  // namespace
}  // namespace tessaryne::websocket
