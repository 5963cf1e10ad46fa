#include "core/server/access_log.hpp"

#include "core/server/exchange.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace tessaryne::server {
namespace {

using namespace std::chrono_literals;

// A request as a client sent it, and what the application answered.
struct Exchanged {
  std::string_view client = "203.0.113.9";
  std::string_view method = "GET";
  std::string_view target = "/p?x=1";
  std::uint8_t minor_version = 1;
  std::vector<http::HeaderLine> request = {
      {"Host", "example.com"},
      {"Referer", "http://ref/"},
      {"User-Agent", "curl/8 \"quoted\""},
      {"Authorization", "Basic dXNlcjpwYXNz"},  // user:pass
      {"X-Request-Id", "abc"},
      {"x-request-id", "def"},
  };
  std::vector<http::HeaderField> response = {{"content-type", "text/plain"}, {"X-Trace", "t1"}};
  std::uint16_t status = 200;
  std::uint64_t sent = 5;
};

// The head arrived at 2023-11-14T22:13:20Z; the answer took 1.234567 s.
constexpr Clock::time_point kBegan = Clock::time_point{} + 10s;
constexpr AccessTimes kTimes{kBegan, kBegan + 1'234'567us,
                             std::chrono::system_clock::time_point{1'700'000'000s + 1'234'567us}};

std::string line(const std::shared_ptr<const AccessFormat>& format, const Exchanged& exchanged) {
  AccessRecord record(
      format, {exchanged.client, exchanged.method, exchanged.target, exchanged.minor_version, exchanged.request});
  record.keep_response(exchanged.response);
  std::string out;
  record.render(exchanged.status, exchanged.sent, kTimes, out);
  return out;
}

std::shared_ptr<const AccessFormat> compiled(std::string_view text) {
  std::string error;
  auto format = AccessFormat::compile(text, error);
  EXPECT_TRUE(format) << text << ": " << error;
  return format ? std::make_shared<const AccessFormat>(std::move(*format)) : nullptr;
}

class AccessLog : public ::testing::Test {
 protected:
  // Local time five and a half hours east of UTC, so the offset's sign and minutes show.
  static void SetUpTestSuite() {
    ::setenv("TZ", "XST-05:30", 1);
    ::tzset();
  }
};

TEST_F(AccessLog, Formats) {
  Exchanged unix_peer;
  unix_peer.client = {};
  unix_peer.target = "/";
  unix_peer.request = {{"Authorization", "Bearer dXNlcjpwYXNz"}};
  unix_peer.response = {};
  unix_peer.sent = 0;
  Exchanged hostile;
  hostile.target = "/a\"b\\c\x01\x7f\xc3\xa9?q=\"";
  hostile.minor_version = 0;
  hostile.request = {{"User-Agent", "x\" \"forged\t\x1b[31m"}, {"Authorization", "basic Ij06"}};  // "=:
  hostile.response = {{"x-out", "a\"b"}};
  const std::string pid = "<" + std::to_string(::getpid()) + ">";
  struct Case {
    std::string_view format;
    const Exchanged* exchanged;
    std::string expected;
  };
  const Exchanged plain;
  const Case cases[] = {
      {R"(%(h)s %(l)s %(u)s %(t)s "%(r)s" %(s)s %(b)s "%(f)s" "%(a)s")", &plain,
       R"(203.0.113.9 - user [15/Nov/2023:03:43:20 +0530] "GET /p?x=1 HTTP/1.1" 200 5 "http://ref/" "curl/8 \"quoted\"")"},
      {"%(T)s %(M)s %(D)s %(L)s", &plain, "1 1234 1234567 1.234567"},
      {"%(m)s|%(U)s|%(q)s|%(H)s|%(B)s|%(b)s|%(p)s", &plain, "GET|/p|x=1|HTTP/1.1|5|5|" + pid},
      // Header names in any case; several lines of one name joined; absent ones "-".
      {"%({X-REQUEST-ID}i)s %({x-trace}o)s %({Content-Type}o)s %({x-missing}i)s %({x-missing}o)s", &plain,
       "abc, def t1 text/plain - -"},
      {"100%% %%(h)s %(s)s%%", &plain, "100% %(h)s 200%"},
      // No address (a Unix socket), no Basic credentials, no body, no headers at all.
      {R"(%(h)s %(u)s %(b)s %(B)s "%(f)s" %({x-trace}o)s %(q)s.)", &unix_peer, "- - - 0 \"-\" - ."},
      // Quotes, backslashes, control bytes and bytes above 0x7E are escaped wherever they come from.
      {R"("%(r)s" "%(a)s" %(u)s %({x-out}o)s %(U)s %(q)s)", &hostile,
       R"("GET /a\"b\\c\x01\x7f\xc3\xa9?q=\" HTTP/1.0" "x\" \"forged\x09\x1b[31m" \"= a\"b /a\"b\\c\x01\x7f\xc3\xa9 q=\")"},
  };
  for (const Case& c : cases) EXPECT_EQ(line(compiled(c.format), *c.exchanged), c.expected) << c.format;
}

TEST_F(AccessLog, Json) {
  const auto json = std::make_shared<const AccessFormat>(AccessFormat::json());
  EXPECT_EQ(line(json, Exchanged{}),
            R"({"time":"2023-11-14T22:13:20.000000Z","client":"203.0.113.9","method":"GET","path":"/p",)"
            R"("query":"x=1","protocol":"HTTP/1.1","status":200,"bytes":5,"duration_us":1234567,)"
            R"("referer":"http://ref/","user_agent":"curl/8 \"quoted\""})");
  Exchanged hostile;
  hostile.client = {};
  hostile.target = "/\x01\\\xe9";
  hostile.request = {{"user-agent", "\t\x7f"}};
  hostile.status = 404;
  hostile.sent = 0;
  EXPECT_EQ(line(json, hostile),
            R"({"time":"2023-11-14T22:13:20.000000Z","client":null,"method":"GET","path":"/\u0001\\\u00e9",)"
            R"("query":"","protocol":"HTTP/1.1","status":404,"bytes":0,"duration_us":1234567,)"
            R"("referer":null,"user_agent":"\u0009\u007f"})");
}

TEST_F(AccessLog, RefusedFormats) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"", "access_log_format: the format is empty"},
      {"%(x)s",
       "access_log_format: unknown atom %(x)s; known atoms: h l u t r s m U q H b B f a T M D L p, "
       "{name}i and {name}o"},
      {"%(hh)s", "unknown atom %(hh)s"},
      {"%(h)d", "access_log_format: %(h) must be followed by 's', as in %(h)s"},
      {"%(h)", "must be followed by 's'"},
      {"100%", "access_log_format: a '%' must begin an atom such as %(h)s, or be written %%"},
      {"%s", "a '%' must begin"},
      {"%(h", "a '%' must begin"},
      {"%({}i)s", "unknown atom %({}i)s"},
      {"%({a b}i)s", "unknown atom %({a b}i)s"},
      {"%({a}x)s", "unknown atom %({a}x)s"},
      {"%({PATH}e)s", "access_log_format: %({PATH}e)s: environment variables are not logged"},
  };
  for (const auto& [text, expected] : cases) {
    std::string error;
    EXPECT_FALSE(AccessFormat::compile(text, error)) << text;
    EXPECT_NE(error.find(expected), std::string::npos) << text << ": " << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }
}

// A protocol that refuses heads while `refuse` says so and logs each
// completed response, as the server does.
struct LoggingProtocol final : Protocol {
  bool refuse = false;
  std::vector<std::string> lines;

  SendResult write_head(Exchange&, std::span<const http::HeaderField>, std::string_view, bool) override {
    return refuse ? SendResult::bad_header : SendResult::done;
  }
  SendResult write_body(Exchange&, std::string_view, bool) override { return SendResult::done; }
  SendResult write_file(Exchange&, std::span<const http::HeaderField>, FileSlice, bool) override {
    return SendResult::done;
  }
  SendResult write_interim(Exchange&, std::uint16_t, std::span<const http::HeaderField>) override {
    return SendResult::done;
  }
  SendResult write_trailers(Exchange&, std::span<const http::HeaderField>, bool) override { return SendResult::done; }
  void response_complete(Exchange& exchange) override {
    exchange.access_record()->render(exchange.status(), exchange.sent(), kTimes, lines.emplace_back());
  }
  void answer_failure(Exchange& exchange) override {
    refuse = false;
    const std::array<http::HeaderField, 1> text{{{"x-a", "server"}}};
    exchange.body(text, "failed", false);
  }
  void cut_short(Exchange&) override {}
  void want_body(Exchange&) override {}
  void body_waiting(Exchange&, std::size_t) override {}
  [[nodiscard]] bool output_full() const noexcept override { return false; }
};

TEST_F(AccessLog, TheExchangeKeepsTheHeadThatWentOut) {
  const auto format = compiled("%(s)s %({x-a}o)s");
  const std::array<http::HeaderField, 2> head{{{"X-A", "app"}, {"x-a", "again"}}};
  const Exchanged request;
  const std::function<void(Exchange&)> answers[] = {
      [&](Exchange& e) { e.body(head, "hello", false); },
      [&](Exchange& e) { e.file(head, FileSlice(), false); },
      // Fields given after the head went out are not its.
      [&](Exchange& e) {
        e.body({}, "a", true);
        e.body(head, "b", false);
      },
  };
  LoggingProtocol protocol;
  for (const auto& answer : answers) {
    Exchange exchange;
    exchange.keep_for_access(format, {request.client, request.method, request.target, 1, request.request});
    exchange.begin(protocol, {}, kBegan);
    exchange.start(200, false);
    answer(exchange);
  }
  // A head refused for its bytes: the server's 500 is logged with its own.
  protocol.refuse = true;
  Exchange failing;
  failing.keep_for_access(format, {request.client, request.method, request.target, 1, request.request});
  failing.begin(protocol, {}, kBegan);
  failing.start(200, false);
  EXPECT_EQ(failing.body(head, "x", false), SendResult::bad_header);
  EXPECT_TRUE(failing.app_failed());
  EXPECT_EQ(protocol.lines, (std::vector<std::string>{"200 app, again", "200 app, again", "200 -", "500 server"}));
}

}  // namespace
}  // namespace tessaryne::server
