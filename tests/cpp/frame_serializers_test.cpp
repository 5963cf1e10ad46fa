#include <gtest/gtest.h>

#include <string>

#include "core/http/frame_serializers.hpp"
#include "core/websocket/frame_header.hpp"

namespace tessaryne::http {
namespace {

std::string chunk(const std::string& piece, bool more_body) {
  std::string out(chunk_size(piece.size(), more_body), '?');
  write_chunk(piece, more_body, out.data());
  return out;
}

std::string frame(std::uint8_t opcode, const std::string& payload) {
  std::string out(ws_frame_size(payload.size()), '?');
  write_ws_frame(opcode, payload, out.data());
  return out;
}

TEST(ChunkSerializer, SizeLinesAndTheLastChunk) {
  EXPECT_EQ(chunk("hello", true), "5\r\nhello\r\n");
  EXPECT_EQ(chunk("hello", false), "5\r\nhello\r\n0\r\n\r\n");
  EXPECT_EQ(chunk("", false), "0\r\n\r\n");
  EXPECT_EQ(chunk("", true), "");
  for (auto [n, line] : {std::pair{26u, "1A\r\n"}, {255u, "FF\r\n"}, {256u, "100\r\n"}, {4096u, "1000\r\n"}})
    EXPECT_EQ(chunk(std::string(n, 'x'), true).substr(0, std::string(line).size()), line);
}

// The frame header read back gives the opcode's low bits, FIN, no mask and the
// length, in the shortest form, for lengths either side of each threshold.
TEST(WsFrameSerializer, HeadersRoundTripThroughTheParserAtEveryThreshold) {
  for (std::size_t n : {0u, 1u, 125u, 126u, 127u, 65535u, 65536u, 70000u}) {
    for (std::uint8_t opcode : {0, 1, 2, 8, 9, 10, 17, 255}) {
      const std::string bytes = frame(opcode, std::string(n, 'p'));
      const auto header = websocket::parse_frame_header(bytes);
      ASSERT_TRUE(header);
      EXPECT_EQ(header->opcode, opcode & 0x0F);
      EXPECT_TRUE(header->fin);
      EXPECT_FALSE(header->masked);
      EXPECT_EQ(header->payload_length, n);
      EXPECT_EQ(header->header_length, n < 126 ? 2u : n < 65536 ? 4u : 10u);
      EXPECT_EQ(bytes.size(), header->header_length + n);
      EXPECT_EQ(bytes.substr(header->header_length), std::string(n, 'p'));
    }
  }
  EXPECT_EQ(frame(2, std::string(65536, 'x')).substr(0, 10),
            std::string("\x82\x7F\x00\x00\x00\x00\x00\x01\x00\x00", 10));
}

TEST(WsFrameSerializer, CloseFrames) {
  const CloseFrame f1002 = close_frame(1002);
  EXPECT_EQ(std::string(f1002.data(), 4), std::string("\x88\x02\x03\xEA", 4));
  const CloseFrame f1009 = close_frame(1009);
  EXPECT_EQ(std::string(f1009.data(), 4), std::string("\x88\x02\x03\xF1", 4));
}

}  // namespace
}  // namespace tessaryne::http
