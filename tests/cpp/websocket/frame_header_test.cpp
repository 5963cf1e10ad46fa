#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "core/websocket/frame_header.hpp"
#include "core/websocket/frame_writer.hpp"
#include "websocket/client_frames.hpp"

namespace tessaryne::websocket {
namespace {

using testing::bytes;

struct HeaderCase {
  const char* name;
  std::string input;
  std::optional<FrameHeader> expected;
};

FrameHeader header(std::uint8_t opcode, bool fin, bool masked, std::uint64_t length, MaskKey key,
                   std::size_t header_length) {
  return FrameHeader{opcode, fin, masked, length, key, header_length};
}

TEST(FrameHeader, DecodesEveryLengthFormAndStopsShortOfIncompleteHeaders) {
  const MaskKey k{1, 2, 3, 4};
  const HeaderCase cases[] = {
      {"empty", "", std::nullopt},
      {"one byte", bytes({0x81}), std::nullopt},
      {"short unmasked", bytes({0x81, 0x05}), header(1, true, false, 5, {}, 2)},
      {"key cut", bytes({0x81, 0x85, 1, 2, 3}), std::nullopt},
      {"short masked", bytes({0x81, 0x85, 1, 2, 3, 4}), header(1, true, true, 5, k, 6)},
      {"16-bit cut", bytes({0x82, 0x7E, 0x01}), std::nullopt},
      {"16-bit", bytes({0x82, 0x7E, 0x01, 0x00}), header(2, true, false, 256, {}, 4)},
      {"16-bit masked", bytes({0x82, 0xFE, 0xFF, 0xFF, 1, 2, 3, 4}), header(2, true, true, 65535, k, 8)},
      {"64-bit cut", bytes({0x82, 0x7F, 0x80, 0, 0, 0, 0, 0, 0}), std::nullopt},
      {"64-bit top bit", bytes({0x82, 0x7F, 0x80, 0, 0, 0, 0, 0, 0, 0}),
       header(2, true, false, 0x8000000000000000ULL, {}, 10)},
      {"64-bit all ones masked", bytes({0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4}),
       header(2, false, true, UINT64_MAX, k, 14)},
      {"64-bit key cut", bytes({0x02, 0xFF, 0, 0, 0, 0, 0, 0, 0, 1, 1, 2, 3}), std::nullopt},
      {"reserved bits ignored", bytes({0x71, 0x00}), header(1, false, false, 0, {}, 2)},
      {"reserved opcode kept", bytes({0x8B, 0x7D, 0xAA}), header(11, true, false, 125, {}, 2)},
      {"non-shortest form kept", bytes({0x89, 0x7E, 0x00, 0x05}), header(9, true, false, 5, {}, 4)},
  };
  for (const HeaderCase& c : cases) {
    SCOPED_TRACE(c.name);
    const auto got = parse_frame_header(c.input);
    ASSERT_EQ(got.has_value(), c.expected.has_value());
    if (!got) continue;
    EXPECT_EQ(got->opcode, c.expected->opcode);
    EXPECT_EQ(got->fin, c.expected->fin);
    EXPECT_EQ(got->masked, c.expected->masked);
    EXPECT_EQ(got->payload_length, c.expected->payload_length);
    EXPECT_EQ(got->key, c.expected->key);
    EXPECT_EQ(got->header_length, c.expected->header_length);
  }
}

TEST(FrameHeader, EveryPrefixOfAHeaderIsIncompleteAndAnyLongerInputAgrees) {
  for (const std::string& frame :
       {testing::encode({.payload = std::string(70000, 'x')}), testing::encode({.payload = std::string(300, 'x')}),
        testing::encode({.opcode = 9, .payload = "ping"})}) {
    const auto full = parse_frame_header(frame);
    ASSERT_TRUE(full);
    for (std::size_t n = 0; n < full->header_length; ++n) EXPECT_FALSE(parse_frame_header(frame.substr(0, n)));
    const auto exact = parse_frame_header(frame.substr(0, full->header_length));
    ASSERT_TRUE(exact);
    EXPECT_EQ(exact->payload_length, full->payload_length);
    EXPECT_EQ(exact->key, full->key);
  }
}

// The reader is the reference for the writer: what the server writes reads
// back as a final, unmasked frame in the shortest length form.
TEST(FrameWriter, ReadsBackThroughTheHeaderParserAtEveryLengthForm) {
  for (const std::size_t length : {0, 1, 125, 126, 127, 65535, 65536, 70000}) {
    for (const std::uint8_t opcode : {0, 1, 2, 8, 10, 15, 17, 255}) {
      SCOPED_TRACE(::testing::Message() << "length " << length << ", opcode " << int{opcode});
      std::string payload(length, '\0');
      for (std::size_t i = 0; i < length; ++i) payload[i] = static_cast<char>(i * 7);
      const std::size_t size = ws_frame_size(length);
      std::string frame(size + 16, '#');
      write_ws_frame(opcode, payload, frame.data());
      EXPECT_EQ(frame.substr(size), std::string(16, '#'));  // wrote exactly the size it announced
      const auto header = parse_frame_header(frame);
      ASSERT_TRUE(header);
      EXPECT_EQ(header->opcode, opcode & 0x0F);
      EXPECT_TRUE(header->fin);
      EXPECT_FALSE(header->masked);
      EXPECT_EQ(header->payload_length, length);
      EXPECT_EQ(header->header_length, length < 126 ? 2U : length < 65536 ? 4U : 10U);
      EXPECT_EQ(frame.substr(header->header_length, length), payload);
    }
  }
}

}  // namespace
}  // namespace tessaryne::websocket
