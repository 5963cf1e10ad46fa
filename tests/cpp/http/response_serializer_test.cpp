#include "core/http/response_serializer.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/http/chunk_writer.hpp"
#include "core/http/reason_phrase.hpp"

namespace tessaryne::http {
namespace {

struct Built {
  std::string bytes;
  bool chunked;
  bool keep_alive;
};

// Serialises and checks that prepare() predicted the written length exactly:
// the output buffer is sized by prepare() plus a guard region that must stay intact.
Built build(const ResponseParts& parts, const std::vector<HeaderField>& headers) {
  ResponseSerializer serializer(parts);
  for (const HeaderField& h : headers) EXPECT_TRUE(serializer.add_header(h.name, h.value));
  const std::size_t size = serializer.prepare();
  std::string out(size + 16, '#');
  serializer.write(out.data());
  EXPECT_EQ(out.substr(size), std::string(16, '#'));
  out.resize(size);
  return {out, serializer.chunked(), serializer.keep_alive()};
}

TEST(ResponseSerializer, PredictedSizeMatchesWrittenBytesForRandomResponses) {
  std::mt19937 rng(7);
  const std::vector<std::string> names = {"date", "Server", "connection", "Content-Length", "x", "", "dates"};
  const std::vector<std::string> values = {"", "close", "keep-alive", "5", std::string(300, 'v')};
  for (int round = 0; round < 2000; ++round) {
    ResponseParts parts;
    parts.status = static_cast<std::uint16_t>(rng());
    parts.server_line = (rng() & 1) ? "server: s\r\n" : "";
    parts.date_line = (rng() & 1) ? "date: d\r\n" : "";
    std::string body(rng() % 600, 'b');
    parts.body = body;
    parts.more_body = rng() & 1;
    parts.no_body_status = (rng() % 4) == 0;
    parts.keep_alive = rng() & 1;
    std::vector<HeaderField> headers;
    for (std::size_t i = rng() % 6; i > 0; --i)
      headers.push_back({names[rng() % names.size()], values[rng() % values.size()]});
    build(parts, headers);  // the guard-region check is the assertion
  }
}

TEST(ResponseSerializer, ChunkedFirstPieceUsesUpperCaseHex) {
  ResponseParts parts;
  std::string body(0xABC, 'z');
  parts.body = body;
  parts.more_body = true;
  const Built built = build(parts, {});
  EXPECT_TRUE(built.chunked);
  const std::string head = "HTTP/1.1 200 OK\r\ntransfer-encoding: chunked\r\nconnection: keep-alive\r\n\r\nABC\r\n";
  EXPECT_EQ(built.bytes, head + body + "\r\n");
}

// The first piece of a chunked response and every later one are framed alike.
TEST(ResponseSerializer, ChunkedFirstPieceIsWhatTheChunkWriterWrites) {
  for (const std::size_t length : {std::size_t{1}, std::size_t{15}, std::size_t{16}, std::size_t{0xFFF},
                                   std::size_t{0x1000}, std::size_t{70000}}) {
    ResponseParts parts;
    const std::string body(length, 'c');
    parts.body = body;
    parts.more_body = true;
    const Built built = build(parts, {});
    std::string chunk(chunk_size(length, true), '#');
    write_chunk(body, true, chunk.data());
    ASSERT_GT(built.bytes.size(), chunk.size());
    EXPECT_EQ(built.bytes.substr(built.bytes.size() - chunk.size()), chunk) << length;
  }
}

TEST(ResponseSerializer, ManyHeadersAreWrittenInOrderPastTheInlineOnes) {
  ResponseParts parts;
  std::vector<std::string> names;
  for (std::size_t i = 0; i < 2 * ResponseSerializer::kInlineHeaders + 1; ++i)
    names.push_back("x-" + std::to_string(i));
  std::vector<HeaderField> headers;
  std::string expected = "HTTP/1.1 200 OK\r\n";
  for (const std::string& name : names) {
    headers.push_back({name, "v"});
    expected += name + ": v\r\n";
  }
  expected += "content-length: 0\r\nconnection: keep-alive\r\n\r\n";
  EXPECT_EQ(build(parts, headers).bytes, expected);
}

TEST(ReasonPhrase, OneTableWithADefaultForEachKindOfResponse) {
  const struct {
    std::uint16_t status;
    std::string_view response;
    std::string_view error;
  } cases[] = {
      {101, "Switching Protocols", "Internal Server Error"},
      {200, "OK", "Internal Server Error"},
      {400, "Bad Request", "Bad Request"},
      {404, "Not Found", "Internal Server Error"},
      {408, "Request Timeout", "Internal Server Error"},
      {413, "Payload Too Large", "Payload Too Large"},
      {418, "OK", "Internal Server Error"},
      {431, "Request Header Fields Too Large", "Request Header Fields Too Large"},
      {500, "Internal Server Error", "Internal Server Error"},
      {503, "Service Unavailable", "Internal Server Error"},
      {0, "OK", "Internal Server Error"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(reason_phrase(c.status), c.response) << c.status;
    EXPECT_EQ(error_reason(c.status), c.error) << c.status;
  }
}

TEST(ResponseSerializer, RefusesCrOrLfAndRecordsNothing) {
  ResponseParts parts;
  ResponseSerializer serializer(parts);
  const std::size_t before = serializer.prepare();
  EXPECT_FALSE(serializer.add_header("connection", "close\r\n"));
  EXPECT_FALSE(serializer.add_header("content-length\n", "1"));
  EXPECT_EQ(serializer.prepare(), before);
  EXPECT_TRUE(serializer.keep_alive());
  EXPECT_FALSE(serializer.chunked());
}

TEST(ResponseSerializer, StatusFromLine) {
  const std::pair<std::string_view, std::uint16_t> cases[] = {
      {"HTTP/1.1 404 Not Found", 404}, {"HTTP/1.1 +42", 42},  {"HTTP/1.1 4x4", 200}, {"HTTP/1.1 40", 200},
      {"HTTP/1.0 404", 200},           {"HTTP/1.1 999", 999}, {"HTTP/1.1 +", 200},   {"HTTP/1.1 +-1", 200},
  };
  for (const auto& [line, code] : cases) EXPECT_EQ(status_from_line(line), code) << line;
}

}  // namespace
}  // namespace tessaryne::http
