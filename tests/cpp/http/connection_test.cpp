#include "core/http/connection.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/http/error_response.hpp"
#include "websocket/client_frames.hpp"

namespace tessaryne::http {
namespace {

using namespace std::string_literals;

// Events as readable lines: "request GET /a q=b 1.1 [host=x] ka up=websocket body",
// "body <data> more|last", "upgrade websocket", "error 400 <detail>".
struct Recorder final : EventSink {
  std::vector<std::string> events;
  std::vector<std::string> responses;  // full bytes of error responses

  void request(const RequestEvent& e) override {
    std::string line = "request " + std::string(e.method) + " " + std::string(e.target_parts.path) +
                       " q=" + std::string(e.target_parts.query) + " " + std::string(version_text(e.minor_version)) +
                       " [";
    for (const HeaderLine& h : e.headers) line += std::string(h.name) + "=" + std::string(h.value) + ";";
    line += "]";
    line += e.keep_alive ? " ka" : " close";
    if (e.facts.connection_upgrade) line += " conn-upgrade";
    if (!e.facts.upgrade_value.empty()) line += " up=" + std::string(e.facts.upgrade_value);
    if (e.has_body) line += " body";
    events.push_back(line);
  }
  void body(std::string_view data, bool more) override {
    events.push_back("body " + std::string(data) + (more ? " more" : " last"));
  }
  void upgrade(std::string_view value) override { events.push_back("upgrade " + std::string(value)); }
  void error(std::uint16_t status, std::string_view detail, std::string_view response) override {
    const std::size_t body = response.find("\r\n\r\n");
    EXPECT_EQ(response.substr(body + 4), detail);
    events.push_back("error " + std::to_string(status) + " " + std::string(detail));
    responses.emplace_back(response);
  }
};

std::vector<std::string> feed(Connection& c, std::string_view data) {
  Recorder r;
  c.append(data);
  c.dispatch(r);
  return r.events;
}

// Feeds `stream` cut at `cuts`, resetting after every complete message, and
// returns the events with consecutive body pieces merged (Content-Length
// bodies stream in pieces that follow the cuts; everything else must not).
std::vector<std::string> drive(std::string_view stream, const std::vector<std::size_t>& cuts,
                               ConnectionLimits limits = {}) {
  Connection c(limits);
  Recorder r;
  std::size_t from = 0;
  auto step = [&](std::size_t to) {
    c.append(stream.substr(from, to - from));
    from = to;
    c.dispatch(r);
    while (c.state() == ConnectionState::message_complete) {
      c.reset_for_next_request();
      c.dispatch(r);
    }
  };
  for (const std::size_t cut : cuts) step(cut);
  step(stream.size());
  std::vector<std::string> merged;
  for (const std::string& e : r.events) {
    if (e.rfind("body ", 0) == 0 && !merged.empty() && merged.back().rfind("body ", 0) == 0 &&
        merged.back().ends_with(" more")) {
      std::string& last = merged.back();
      last = last.substr(0, last.size() - 5) + e.substr(5);
    } else {
      merged.push_back(e);
    }
  }
  merged.push_back(c.is_closed() ? "closed" : "open");
  return merged;
}

// Whole, byte by byte, and a few random splittings all give the same events.
std::vector<std::string> split_independent(std::string_view stream, ConnectionLimits limits = {}) {
  const std::vector<std::string> whole = drive(stream, {}, limits);
  std::vector<std::size_t> every;
  for (std::size_t i = 1; i < stream.size(); ++i) every.push_back(i);
  EXPECT_EQ(drive(stream, every, limits), whole) << "byte by byte: " << stream.substr(0, 200);
  std::mt19937 random(7);
  for (int round = 0; round < 8; ++round) {
    std::vector<std::size_t> cuts;
    for (std::size_t i = 1; i < stream.size(); ++i)
      if (random() % 5 == 0) cuts.push_back(i);
    EXPECT_EQ(drive(stream, cuts, limits), whole) << "random split: " << stream.substr(0, 200);
  }
  return whole;
}

TEST(ErrorResponse, ExactBytes) {
  EXPECT_EQ(ErrorResponse(400, "Invalid chunk length").bytes(),
            "HTTP/1.1 400 Bad Request\r\nserver: tessaryne\r\nconnection: close\r\ncontent-length: 20\r\n\r\n"
            "Invalid chunk length");
  EXPECT_EQ(ErrorResponse(400, "Invalid chunk length").bytes().size(), 106U);
  EXPECT_EQ(ErrorResponse(431, "Request Header Fields Too Large").bytes(),
            "HTTP/1.1 431 Request Header Fields Too Large\r\nserver: tessaryne\r\nconnection: close\r\n"
            "content-length: 31\r\n\r\nRequest Header Fields Too Large");
  EXPECT_EQ(ErrorResponse(413, "Payload Too Large").bytes(),
            "HTTP/1.1 413 Payload Too Large\r\nserver: tessaryne\r\nconnection: close\r\ncontent-length: 17\r\n\r\n"
            "Payload Too Large");
  EXPECT_EQ(ErrorResponse(414, "URI Too Long").bytes(),
            "HTTP/1.1 414 URI Too Long\r\nserver: tessaryne\r\nconnection: close\r\ncontent-length: 12\r\n\r\n"
            "URI Too Long");
  EXPECT_EQ(ErrorResponse(500, "x").bytes(),
            "HTTP/1.1 500 Internal Server Error\r\nserver: tessaryne\r\nconnection: close\r\ncontent-length: 1\r\n"
            "\r\nx");
}

// Every error the engine itself sends, byte for byte.
TEST(Connection, ErrorEventsCarryTheExactResponse) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"GET / HTTP/1.2\r\n\r\n",
       "HTTP/1.1 400 Bad Request\r\nserver: tessaryne\r\nconnection: close\r\n"
       "content-length: 11\r\n\r\nBad Request"},
      {"GET / HTTP/1.1\r\nContent-Length: x\r\n\r\n",
       "HTTP/1.1 400 Bad Request\r\nserver: tessaryne\r\nconnection: close\r\ncontent-length: 37\r\n\r\n"
       "Bad Request: Conflicting HTTP headers"},
      {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n\xff\r\n",
       "HTTP/1.1 400 Bad Request\r\nserver: tessaryne\r\nconnection: close\r\ncontent-length: 24\r\n\r\n"
       "Invalid chunked encoding"},
      {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nz\r\n",
       "HTTP/1.1 400 Bad Request\r\nserver: tessaryne\r\nconnection: close\r\ncontent-length: 20\r\n\r\n"
       "Invalid chunk length"},
      {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n1\r\naXY",
       "HTTP/1.1 400 Bad Request\r\nserver: tessaryne\r\nconnection: close\r\ncontent-length: 24\r\n\r\n"
       "Malformed chunk boundary"},
      {"POST / HTTP/1.1\r\nContent-Length: 10485761\r\n\r\n",
       "HTTP/1.1 413 Payload Too Large\r\nserver: tessaryne\r\nconnection: close\r\ncontent-length: 17\r\n\r\n"
       "Payload Too Large"},
      {std::string(65537, 'G'),
       "HTTP/1.1 431 Request Header Fields Too Large\r\nserver: tessaryne\r\n"
       "connection: close\r\ncontent-length: 31\r\n\r\nRequest Header Fields Too Large"},
      {"GET /" + std::string(65537, 'a'),
       "HTTP/1.1 414 URI Too Long\r\nserver: tessaryne\r\nconnection: close\r\n"
       "content-length: 12\r\n\r\nURI Too Long"},
  };
  for (const auto& [input, response] : cases) {
    Connection c;
    Recorder r;
    c.append(input);
    c.dispatch(r);
    ASSERT_EQ(r.responses.size(), 1U) << input;
    EXPECT_EQ(r.responses[0], response);
    EXPECT_TRUE(c.is_closed());
    // Closed is terminal: bytes are still taken, nothing is parsed.
    EXPECT_TRUE(feed(c, "GET / HTTP/1.1\r\n\r\n").empty());
  }
}

TEST(Connection, RequestEventContents) {
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"GET / HTTP/1.1\r\n\r\n", {"request GET / q= 1.1 [] ka"}},
      {"GET /a?b=1&c HTTP/1.0\r\nHost: x\r\n\r\n", {"request GET /a q=b=1&c 1.0 [Host=x;] close"}},
      {"GET /a??b HTTP/1.1\r\n\r\n", {"request GET /a q=?b 1.1 [] ka"}},
      {"GET / HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", {"request GET / q= 1.0 [Connection=Keep-Alive;] ka"}},
      {"GET / HTTP/1.1\r\nConnection: keep-alive, close\r\n\r\n",
       {"request GET / q= 1.1 [Connection=keep-alive, close;] close"}},
      {"GET / HTTP/1.1\r\nConnection: closed-ish\r\n\r\n", {"request GET / q= 1.1 [Connection=closed-ish;] close"}},
      {"GET / HTTP/1.1\r\nConnection: close\r\nConnection: keep-alive\r\n\r\n",
       {"request GET / q= 1.1 [Connection=close;Connection=keep-alive;] ka"}},
      {"GET / HTTP/1.1\r\nX-A: 1\r\nx-a: 2\r\n\r\n", {"request GET / q= 1.1 [X-A=1;x-a=2;] ka"}},
      {"GET /chat HTTP/1.1\r\nUpgrade: WebSocket\r\nConnection: keep-alive, Upgrade\r\nContent-Length: 5\r\n\r\n",
       {"request GET /chat q= 1.1 [Upgrade=WebSocket;Connection=keep-alive, Upgrade;Content-Length=5;] ka "
        "conn-upgrade up=WebSocket",
        "upgrade WebSocket"}},
      {"GET / HTTP/1.1\r\nUpgrade: h2c\r\nConnection: Upgrade\r\n\r\n",
       {"request GET / q= 1.1 [Upgrade=h2c;Connection=Upgrade;] ka conn-upgrade up=h2c"}},
      {"GET / HTTP/1.1\r\nUpgrade: websocket\r\n\r\n", {"request GET / q= 1.1 [Upgrade=websocket;] ka up=websocket"}},
      {"POST / HTTP/1.1\r\nContent-Length: 11\r\n\r\nhello world",
       {"request POST / q= 1.1 [Content-Length=11;] ka body", "body hello world last"}},
      {"POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n", {"request POST / q= 1.1 [Content-Length=0;] ka"}},
      {"GET /\xff\xfe?\x80 HTTP/1.1\r\n\r\n", {"request GET /\xff\xfe q=\x80 1.1 [] ka"}},
  };
  for (const auto& [input, expected] : cases) {
    Connection c;
    EXPECT_EQ(feed(c, input), expected) << input;
    EXPECT_EQ(c.state(), ConnectionState::message_complete) << input;
  }
}

TEST(Connection, UpgradeLeavesFollowingBytesBuffered) {
  Connection c;
  feed(c, "GET / HTTP/1.1\r\nUpgrade: websocket\r\nConnection: upgrade\r\n\r\n\x81\x85");
  EXPECT_EQ(c.buffer().unconsumed(), "\x81\x85");
  c.enter_websocket_mode();
  EXPECT_TRUE(feed(c, "more").empty());
  EXPECT_EQ(c.buffer().unconsumed(), "\x81\x85more");
}

// One row per framing question a smuggler would ask; each answer is exact.
TEST(Connection, SmugglingMatrix) {
  const std::string conflict = "error 400 Bad Request: Conflicting HTTP headers";
  const std::string bad = "error 400 Bad Request";
  struct Row {
    std::string headers;  // header lines, each ending in CRLF
    std::string answer;   // "chunked", "length N", "no body" or the error event
  };
  const std::vector<Row> rows = {
      {"Content-Length: 5\r\nTransfer-Encoding: chunked\r\n", conflict},
      {"Transfer-Encoding: chunked\r\nContent-Length: 0\r\n", conflict},
      {"Transfer-Encoding: xchunked\r\n", conflict},
      {"Transfer-Encoding: chunked, identity\r\n", conflict},
      {"Transfer-Encoding: identity\r\n", conflict},
      {"Transfer-Encoding: chunk ed\r\n", conflict},
      {"Transfer-Encoding:\r\n", conflict},
      {"Transfer-Encoding: , ,\r\n", conflict},
      {"Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n", conflict},
      {"Transfer-Encoding: chun\xe2\x84\xaa"
       "ed\r\n",
       conflict},                                        // KELVIN SIGN is no ASCII k
      {"Transfer-Encoding: chunked\xa0\r\n", conflict},  // not UTF-8
      {"Transfer-Encoding: gzip, chunked\r\n", "chunked"},
      {"Transfer-Encoding: ,chunked,,\r\n", "chunked"},
      {"Transfer-Encoding: CHUNKED\r\n", "chunked"},
      {"Transfer-Encoding: cHuNkEd\r\n", "chunked"},
      {"Transfer-Encoding: chunked\t\r\n", "chunked"},
      {"Transfer-Encoding: chunked\xc2\xa0\r\n", conflict},  // only ASCII white space is trimmed
      {"Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n", "chunked"},
      {"Transfer-Encoding: chunked\x0b\r\n", bad},  // vertical tab is a control byte
      {"Content-Length: 5\r\nContent-Length: 5\r\n", "length 5"},
      {"Content-Length: 5\r\nContent-Length: 6\r\n", conflict},
      {"Content-Length: 5, 5\r\n", conflict},
      {"Content-Length: 5\r\nContent-Length: x\r\n", conflict},
      {"Content-Length: +5\r\n", conflict},  // a sign is no digit
      {"Content-Length: ++5\r\n", conflict},
      {"Content-Length: +\r\n", conflict},
      {"Content-Length: -5\r\n", conflict},
      {"Content-Length: -0\r\n", conflict},
      {"Content-Length: 0005\r\n", "length 5"},
      {"Content-Length:  5 \t\r\n", "length 5"},
      {"Content-Length: \xc2\xa0"
       "5\r\n",
       conflict},                                       // NO-BREAK SPACE is not trimmed
      {"Content-Length: 5\xe3\x80\x80\r\n", conflict},  // nor IDEOGRAPHIC SPACE
      {"Content-Length: \xd9\xa5\r\n", conflict},       // ARABIC-INDIC DIGIT FIVE
      {"Content-Length: \xef\xbc\x95\r\n", conflict},   // FULLWIDTH DIGIT FIVE
      {"Content-Length: 5 5\r\n", conflict},
      {"Content-Length: 0x5\r\n", conflict},
      {"Content-Length: 5.0\r\n", conflict},
      {"Content-Length:\r\n", conflict},
      {"Content-Length: \xff\r\n", conflict},
      {"Content-Length: 18446744073709551616\r\n", conflict},
      {"Content-Length: 18446744073709551615\r\n", "error 413 Payload Too Large"},
      {"Content-Length: 0\r\n", "no body"},
      {"Content-Length : 5\r\n", bad},
      {"Content-Length\t: 5\r\n", bad},
      {"X: a\r\n b\r\n", bad},
      {"X: a\rb\r\n", bad},
      {"X: a\x00"
       "b\r\n"s,
       bad},
      {"X: a\x7f\r\n", bad},
      {"X: a\x01\r\n", bad},
      {"X: a\x1b\r\n", bad},
  };
  for (const Row& row : rows) {
    Connection c;
    const std::vector<std::string> events = feed(c, "POST / HTTP/1.1\r\n" + row.headers + "\r\n");
    ASSERT_FALSE(events.empty()) << row.headers;
    std::string answer = events[0];
    if (answer.starts_with("request")) {
      if (c.state() == ConnectionState::chunk_size)
        answer = "chunked";
      else if (c.state() == ConnectionState::content_length_body)
        answer = "length " + std::to_string(5);
      else
        answer = "no body";
      if (c.state() == ConnectionState::content_length_body) {
        EXPECT_EQ(feed(c, "12345"), std::vector<std::string>{"body 12345 last"}) << row.headers;
      }
    }
    EXPECT_EQ(answer, row.answer) << row.headers;
  }
  // Request lines with versions other than 1.0 and 1.1.
  for (const std::string line : {"GET / HTTP/1.2", "GET / http/1.1", "GET / HTTP/2.0", "GET / HTTP/1.1 ",
                                 "GET / HTTP/1.01", "GET  / HTTP/1.1", "GET /\x7f HTTP/1.1"}) {
    Connection c;
    EXPECT_EQ(feed(c, line + "\r\n\r\n"), std::vector<std::string>{bad}) << line;
  }
}

// Requests that a reader taking the bytes another way would see hidden inside
// the first, and heads whose answer the version decides: each whole stream,
// however split, gives exactly these events.
TEST(Connection, NoRequestHidesInAnother) {
  const std::string host = "Host: localhost\r\n";
  const std::string smuggled = "GET /smuggled HTTP/1.1\r\n" + host + "\r\n";
  const std::string chunked_head = "POST / HTTP/1.1\r\n" + host + "Transfer-Encoding: chunked\r\n\r\n";
  const std::string chunked_request = "request POST / q= 1.1 [Host=localhost;Transfer-Encoding=chunked;] ka body";
  struct Row {
    std::string stream;
    std::vector<std::string> events;
  };
  const std::vector<Row> rows = {
      {"POST / HTTP/1.1\r\n" + host + "Content-Length: +5\r\n\r\nhello" + smuggled,
       {"error 400 Bad Request: Conflicting HTTP headers", "closed"}},
      {"POST / HTTP/1.0\r\n" + host +
           "Connection: keep-alive\r\nTransfer-Encoding: chunked\r\n\r\n"
           "5\r\nhello\r\n0\r\n\r\n" +
           smuggled,
       {"error 400 Bad Request: Conflicting HTTP headers", "closed"}},
      {chunked_head + "5\r\nhello\r\n0\r\n\nGET /next HTTP/1.1\r\n" + host + "\r\n",
       {chunked_request, "body hello more", "error 400 Malformed chunk trailer", "closed"}},
      {chunked_head + "2;\nxx\r\n30\r\n0\r\n\r\n" + smuggled + "\r\n0\r\n\r\n",
       {chunked_request, "error 400 Invalid chunk extension", "closed"}},
      // Upgrade means nothing to HTTP/1.0: a plain request, and the next one follows.
      {"GET /chat HTTP/1.0\r\nConnection: Upgrade, keep-alive\r\nUpgrade: websocket\r\n\r\nGET /b HTTP/1.0\r\n\r\n",
       {"request GET /chat q= 1.0 [Connection=Upgrade, keep-alive;Upgrade=websocket;] ka conn-upgrade up=websocket",
        "request GET /b q= 1.0 [] close", "closed"}},
      // HTTP/1.1 keeps the Transfer-Encoding the 1.0 request may not have.
      {chunked_head + "5\r\nhello\r\n0\r\n\r\n", {chunked_request, "body hello last", "open"}},
  };
  for (const Row& row : rows) EXPECT_EQ(split_independent(row.stream), row.events) << row.stream;

  // Too long in its target: 414; in its fields: 431; either way only once
  // more than max_header_size bytes are buffered.
  const ConnectionLimits small{.max_header_size = 32};
  EXPECT_EQ(split_independent("GET /" + std::string(40, 'a') + " HTTP/1.1\r\n\r\n", small),
            (std::vector<std::string>{"error 414 URI Too Long", "closed"}));
  EXPECT_EQ(split_independent("\r\nGET /" + std::string(40, 'a'), small),
            (std::vector<std::string>{"error 414 URI Too Long", "closed"}));
  EXPECT_EQ(split_independent("GET /a HTTP/1.1\r\nX: " + std::string(40, 'a') + "\r\n\r\n", small),
            (std::vector<std::string>{"error 431 Request Header Fields Too Large", "closed"}));
  EXPECT_EQ(split_independent(std::string(40, 'G'), small),
            (std::vector<std::string>{"error 431 Request Header Fields Too Large", "closed"}));
}

TEST(Connection, ChunkedBodies) {
  const std::string head = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
  const std::string request = "request POST / q= 1.1 [Transfer-Encoding=chunked;] ka body";
  struct Row {
    std::string body;
    std::vector<std::string> events;  // after the request event
  };
  const std::vector<Row> rows = {
      {"5;ext=1\r\nhello\r\n0\r\n\r\n", {"body hello more", "body  last"}},
      {"5   \r\nhello\r\n0\r\n\r\n", {"body hello more", "body  last"}},
      {"+5\r\nhello\r\n0\r\n\r\n", {"error 400 Invalid chunk length"}},  // a sign is no digit
      {"5 ; a = b ;c;d=\"x;\\\"y\"\t\r\nhello\r\n0\r\n\r\n", {"body hello more", "body  last"}},
      {"0005\r\nhello\r\n0\r\nX: 1\r\nY: 2\r\n\r\n", {"body hello more", "body  last"}},
      {"00000000000000005\r\nhello\r\n0\r\n\r\n", {"body hello more", "body  last"}},  // 17 digits
      {"A\r\n0123456789\r\n0\r\n\r\n", {"body 0123456789 more", "body  last"}},
      {"\r\n", {"error 400 Invalid chunk length"}},
      {"g\r\n", {"error 400 Invalid chunk length"}},
      {"-\r\n", {"error 400 Invalid chunk length"}},
      {"-5\r\n", {"error 400 Invalid chunk length"}},
      {"0x5\r\n", {"error 400 Invalid chunk length"}},
      {"10000000000000000\r\n", {"error 400 Invalid chunk length"}},  // 17 digits, too big
      {"ffffffffffffffff\r\n", {"error 413 Payload Too Large"}},
      {"5\nhello\r\n", {"error 400 Invalid chunk length"}},            // a bare LF does not end a size line
      {"5\xc2\xa0\r\nhello\r\n", {"error 400 Invalid chunk length"}},  // only ASCII white space is trimmed
      {"5\xff\r\nhello\r\n", {"error 400 Invalid chunked encoding"}},
      {"5\r\nhello\n0\r\n", {"error 400 Malformed chunk boundary"}},
      {"5\r\nhelloXY", {"error 400 Malformed chunk boundary"}},
      {"\xc3\x28\r\n", {"error 400 Invalid chunked encoding"}},
      // Extensions are tokens or quoted strings: a control or stray byte is refused.
      {"5;\xff\r\nhello\r\n0\r\n\r\n", {"error 400 Invalid chunk extension"}},
      {"5;a\rb\r\nhello\r\n0\r\n\r\n", {"error 400 Invalid chunk extension"}},
      {"5;a=\"b\x01\"\r\nhello\r\n0\r\n\r\n", {"error 400 Invalid chunk extension"}},
      {"5;=b\r\nhello\r\n", {"error 400 Invalid chunk extension"}},
      {"5;a=\r\nhello\r\n", {"error 400 Invalid chunk extension"}},
      {"5;a=\"b\r\nhello\r\n", {"error 400 Invalid chunk extension"}},
      {"5\n;a\r\nhello\r\n", {"error 400 Invalid chunk length"}},
      // Trailer lines are field lines, each ended by CR LF.
      {"5\r\nhello\r\n0\r\nX: 1\n\r\n", {"body hello more", "error 400 Malformed chunk trailer"}},
      {"5\r\nhello\r\n0\r\nX 1\r\n\r\n", {"body hello more", "error 400 Malformed chunk trailer"}},
      {"5\r\nhello\r\n0\r\nX: \x7f\r\n\r\n", {"body hello more", "error 400 Malformed chunk trailer"}},
      {"5\r\nhello\r\n0\r\n\rX", {"body hello more", "error 400 Malformed chunk trailer"}},
  };
  for (const Row& row : rows) {
    std::vector<std::string> expected{request};
    expected.insert(expected.end(), row.events.begin(), row.events.end());
    Connection c;
    EXPECT_EQ(feed(c, head + row.body), expected) << row.body;
  }
  // A chunk is delivered only once it and its CRLF are buffered.
  Connection c;
  feed(c, head + "5\r\n");
  for (const char byte : std::string("hello\r")) EXPECT_TRUE(feed(c, std::string(1, byte)).empty());
  EXPECT_EQ(feed(c, "\n"), std::vector<std::string>{"body hello more"});
}

TEST(Connection, ChunkedBodyLimit) {
  const std::string head = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
  Connection over({.max_body_size = 10});
  EXPECT_EQ(feed(over, head + "6\r\nabcdef\r\n5\r\n"),
            (std::vector<std::string>{"request POST / q= 1.1 [Transfer-Encoding=chunked;] ka body", "body abcdef more",
                                      "error 413 Payload Too Large"}));
  Connection fits({.max_body_size = 10});
  EXPECT_EQ(feed(fits, head + "6\r\nabcdef\r\n4\r\nghij\r\n0\r\n\r\n").back(), "body  last");
}

TEST(Connection, ChunkSizeLineEndsWithin4096Bytes) {
  const std::string head = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
  const std::string fits = "1;" + std::string(4092, 'e') + "\r\n";  // 4096 bytes with its CRLF
  ASSERT_EQ(fits.size(), 4096U);
  EXPECT_EQ(split_independent(head + fits + "x\r\n0\r\n\r\n").at(1), "body x last");
  const std::string too_long = "1;" + std::string(4093, 'e') + "\r\nx\r\n0\r\n\r\n";
  EXPECT_EQ(split_independent(head + too_long).at(1), "error 400 Invalid chunk length");
  // Without any line end the answer comes with the 4096th byte, not before.
  Connection c;
  feed(c, head);
  EXPECT_TRUE(feed(c, std::string(4095, '0')).empty());
  EXPECT_EQ(feed(c, "0"), std::vector<std::string>{"error 400 Invalid chunk length"});
}

TEST(Connection, TrailerSectionEndsWithinMaxHeaderSize) {
  const std::string head = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n";
  const ConnectionLimits limits{.max_header_size = 64};
  const std::string fits = "X: " + std::string(57, 'a') + "\r\n\r\n";  // 64 bytes
  ASSERT_EQ(fits.size(), 64U);
  EXPECT_EQ(split_independent(head + fits + "GET / HTTP/1.1\r\n\r\n", limits).at(1), "body  last");
  const std::string too_long = "X: " + std::string(58, 'a') + "\r\n\r\n";
  EXPECT_EQ(split_independent(head + too_long, limits).at(1), "error 431 Request Header Fields Too Large");
  Connection c(limits);
  feed(c, head);
  EXPECT_TRUE(feed(c, std::string(64, 'a')).empty());
  EXPECT_EQ(feed(c, "a"), std::vector<std::string>{"error 431 Request Header Fields Too Large"});
}

// Only the first max_header_size unconsumed bytes are tokenized.
TEST(Connection, HeaderSizeGuardLooksOnlyAtItsWindow) {
  const std::string big_body(70000, 'b');
  const std::string head = "POST / HTTP/1.1\r\nContent-Length: 70000\r\n\r\n";
  EXPECT_EQ(split_independent(head + big_body, {.max_body_size = 100000}).at(1), "body " + big_body + " last");

  const ConnectionLimits small{.max_header_size = 20};
  // An 18-byte head is accepted whatever follows it.
  EXPECT_EQ(split_independent("GET / HTTP/1.1\r\n\r\n" + std::string(100, 'X'), small).at(0),
            "request GET / q= 1.1 [] ka");
  // A 21-byte head does not fit: 431, but only once more than 20 bytes are buffered.
  const std::string head21 = "GET /abcde HTTP/1.1\n\n";
  EXPECT_EQ(split_independent(head21 + "x", small).at(0), "error 431 Request Header Fields Too Large");
  Connection c(small);
  EXPECT_TRUE(feed(c, head21.substr(0, 20)).empty());
  EXPECT_EQ(feed(c, "z"), std::vector<std::string>{"error 431 Request Header Fields Too Large"});
  // A bad byte inside the window is 400 however the bytes arrive; one beyond it
  // is never seen, so the answer is 431 however they arrive.
  EXPECT_EQ(split_independent("GET / HTTP/1.1\r\nA\x01" + std::string(40, 'a'), small).at(0), "error 400 Bad Request");
  EXPECT_EQ(split_independent("GET / HTTP/1.1\r\nAbcd:\x01" + std::string(40, 'a'), small).at(0),
            "error 431 Request Header Fields Too Large");
  EXPECT_EQ(split_independent("GET / HTTP/1.1\r\nAb:\x01" + std::string(40, 'a'), small).at(0),
            "error 400 Bad Request");
  // The 64 KiB default: a head of exactly 65536 bytes is accepted.
  const std::string filler = "GET / HTTP/1.1\r\nX: ";
  const std::string exact = filler + std::string(65536 - filler.size() - 4, 'v') + "\r\n\r\n";
  ASSERT_EQ(exact.size(), 65536U);
  Connection d;
  EXPECT_EQ(feed(d, exact + "tail").size(), 1U);
  EXPECT_EQ(d.state(), ConnectionState::message_complete);
}

TEST(Connection, SplitIndependenceOfPipelinedStreams) {
  const std::string stream =
      "\r\nGET /one HTTP/1.1\r\nHost: a\r\n\r\n"
      "POST /two?x HTTP/1.1\r\nContent-Length: 11\r\n\r\nhello world"
      "PUT /three HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n3\r\nabc\r\n2;e\r\nde\r\n0\r\nT: 1\r\n\r\n"
      "GET /four HTTP/1.0\r\nConnection: keep-alive\r\n\n"
      "GET /five HTTP/1.1\r\nConnection: close\r\n\r\n"
      "GET /never HTTP/1.1\r\n\r\n";
  const std::vector<std::string> events = split_independent(stream);
  const std::vector<std::string> expected = {
      "request GET /one q= 1.1 [Host=a;] ka",
      "request POST /two q=x 1.1 [Content-Length=11;] ka body",
      "body hello world last",
      "request PUT /three q= 1.1 [Transfer-Encoding=gzip, chunked;] ka body",
      "body abcde last",  // merged by drive(): "abc", "de" and the empty last piece
      "request GET /four q= 1.0 [Connection=keep-alive;] ka",
      "request GET /five q= 1.1 [Connection=close;] close",
      "closed",
  };
  EXPECT_EQ(events, expected);
}

TEST(Connection, ContentLengthBodyStreams) {
  Connection c;
  EXPECT_EQ(feed(c, "POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\n"),
            std::vector<std::string>{"request POST / q= 1.1 [Content-Length=10;] ka body"});
  EXPECT_EQ(feed(c, "abc"), std::vector<std::string>{"body abc more"});
  c.reset_for_next_request();  // ignored while the body is arriving
  EXPECT_EQ(feed(c, "def"), std::vector<std::string>{"body def more"});
  EXPECT_EQ(feed(c, "ghijGET"), std::vector<std::string>{"body ghij last"});
  EXPECT_EQ(c.buffer().unconsumed(), "GET");
}

TEST(Connection, PipeliningStopsAtEachCompleteMessage) {
  Connection c;
  EXPECT_EQ(feed(c, "GET /1 HTTP/1.1\r\n\r\nGET /2 HTTP/1.1\r\n\r\n").size(), 1U);
  EXPECT_TRUE(feed(c, "").empty());
  c.reset_for_next_request();
  EXPECT_EQ(feed(c, ""), std::vector<std::string>{"request GET /2 q= 1.1 [] ka"});
}

TEST(Connection, KeepAliveAccounting) {
  struct Row {
    std::uint64_t limit;
    std::string request;
    std::vector<bool> closed_after_reset;  // one entry per request sent
  };
  const std::vector<Row> rows = {
      {2, "GET / HTTP/1.1\r\n\r\n", {false, true}},
      {1, "GET / HTTP/1.1\r\n\r\n", {true}},
      {0, "GET / HTTP/1.1\r\n\r\n", {true}},
      {5, "GET / HTTP/1.0\r\n\r\n", {true}},
      {5, "GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", {false, false}},
      {5, "GET / HTTP/1.1\r\nConnection: close\r\n\r\n", {true}},
  };
  for (const Row& row : rows) {
    Connection c({.max_keepalive_requests = row.limit});
    for (const bool closed : row.closed_after_reset) {
      const std::vector<std::string> events = feed(c, row.request);
      ASSERT_EQ(events.size(), 1U);
      // The request event promises exactly what the reset then does.
      EXPECT_EQ(events[0].ends_with(" close"), closed) << row.limit << " " << row.request;
      c.reset_for_next_request();
      EXPECT_EQ(c.is_closed(), closed) << row.limit << " " << row.request;
    }
  }
  // A refused head still counts as seen.
  Connection c;
  feed(c, "GET / HTTP/1.1\r\nContent-Length: -1\r\n\r\n");
  EXPECT_EQ(c.requests_seen(), 1U);
  Connection fresh;
  fresh.close();
  EXPECT_TRUE(fresh.is_closed());
  EXPECT_TRUE(feed(fresh, "GET / HTTP/1.1\r\n\r\n").empty());
}

// A frame sink that only counts what it is given.
struct CountingFrameSink {
  std::string payload;
  std::size_t messages = 0;
  char* begin_message(std::size_t length) {
    payload.resize(length);
    return payload.data();
  }
  void commit_message(std::uint8_t) { ++messages; }
  void discard_message() noexcept {}
  void message(std::uint8_t, std::string_view) { ++messages; }
  void error(std::uint16_t, std::string_view) {}
};

// What a connection holds once a message is consumed: capacity never outlives
// the message that needed it, and unconsumed bytes always survive.
TEST(Connection, BufferMemoryFollowsTheTraffic) {
  const std::string big_body(1 << 20, 'b');
  const std::string big_head = "GET / HTTP/1.1\r\nX: " + std::string(60 << 10, 'h') + "\r\n\r\n";
  const std::string upload = "POST / HTTP/1.1\r\nContent-Length: " + std::to_string(big_body.size()) + "\r\n\r\n";
  struct Row {
    const char* name;
    std::vector<std::string> pieces;  // fed one by one, resetting after each complete message
    std::size_t max_capacity;
    std::string unconsumed;
  };
  const std::vector<Row> rows = {
      {"fresh", {}, 0, ""},
      {"small request", {"GET / HTTP/1.1\r\n\r\n"}, 0, ""},
      {"body in one piece", {upload + big_body}, 0, ""},
      {"body in pieces", {upload, big_body.substr(0, 300000), big_body.substr(300000)}, 0, ""},
      {"large head", {big_head}, 0, ""},
      {"body then a partial head", {upload + big_body + "GET /next"}, InputBuffer::kKeptCapacity, "GET /next"},
      {"pipelined",
       {"GET /1 HTTP/1.1\r\n\r\nGET /2 HTTP/1.1\r\n\r\nGE", "T /3"},
       InputBuffer::kInitialCapacity,
       "GET /3"},
  };
  for (const Row& row : rows) {
    Connection c({.max_header_size = 1 << 20});
    Recorder r;
    for (const std::string& piece : row.pieces) {
      c.append(piece);
      c.dispatch(r);
      while (c.state() == ConnectionState::message_complete) {
        c.reset_for_next_request();
        c.dispatch(r);
      }
    }
    EXPECT_LE(c.buffer().capacity(), row.max_capacity) << row.name;
    EXPECT_EQ(c.buffer().unconsumed(), row.unconsumed) << row.name;
    EXPECT_FALSE(c.is_closed()) << row.name;
  }

  // A large WebSocket frame, and a partial one behind it that must survive.
  Connection ws;
  ws.enter_websocket_mode();
  CountingFrameSink sink;
  const std::string frame = testing::encode({.opcode = 2, .payload = big_body});
  ws.append(frame + frame.substr(0, 10));
  ws.dispatch_frames(sink);
  EXPECT_EQ(sink.messages, 1U);
  EXPECT_EQ(sink.payload, big_body);
  EXPECT_LE(ws.buffer().capacity(), InputBuffer::kKeptCapacity);
  EXPECT_EQ(ws.buffer().unconsumed(), frame.substr(0, 10));
  ws.append(frame.substr(10));
  ws.dispatch_frames(sink);
  EXPECT_EQ(sink.messages, 2U);
  EXPECT_EQ(ws.buffer().capacity(), 0U);
}

// A sink that feeds another connection on the same thread while it reads
// its own headers (as code run by a binding's sink could) sees them intact.
TEST(Connection, HeaderSlotsSurviveReentry) {
  struct Reentrant final : EventSink {
    std::vector<std::string> before, after, inner;
    void request(const RequestEvent& e) override {
      for (const HeaderLine& h : e.headers) before.emplace_back(h.value);
      Connection other;
      inner = feed(other, "GET /other HTTP/1.1\r\nA: other\r\nB: other\r\n\r\n");
      for (const HeaderLine& h : e.headers) after.emplace_back(h.value);
    }
    void body(std::string_view, bool) override {}
    void upgrade(std::string_view) override {}
    void error(std::uint16_t, std::string_view, std::string_view) override {}
  } sink;
  Connection c;
  c.append("GET / HTTP/1.1\r\nA: 1\r\nB: 2\r\nC: 3\r\n\r\n");
  c.dispatch(sink);
  EXPECT_EQ(sink.before, (std::vector<std::string>{"1", "2", "3"}));
  EXPECT_EQ(sink.after, sink.before);
  EXPECT_EQ(sink.inner, std::vector<std::string>{"request GET /other q= 1.1 [A=other;B=other;] ka"});
}

// Consumed bytes are dropped before new ones are appended.
TEST(Connection, AppendDropsConsumedBytes) {
  Connection c;
  feed(c, "GET /1 HTTP/1.1\r\n\r\nGET /2 HTTP/1.1\r\n\r\n");
  EXPECT_EQ(c.buffer().read_offset(), 19U);
  c.append("x");
  EXPECT_EQ(c.buffer().read_offset(), 0U);
  EXPECT_EQ(c.buffer().unconsumed(), "GET /2 HTTP/1.1\r\n\r\nx");
}

}  // namespace
}  // namespace tessaryne::http
