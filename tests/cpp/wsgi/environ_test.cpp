#include "core/wsgi/environ.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace tessaryne::wsgi {
namespace {

using Variables = std::vector<std::pair<std::string, std::string>>;

Variables environ_of(const std::vector<http::HeaderLine>& lines) {
  Variables out;
  std::string name, value;
  walk_environ_headers(lines, name, value, [&](std::string_view n, std::string_view v) {
    out.emplace_back(std::string(n), std::string(v));
  });
  return out;
}

TEST(WsgiEnviron, HeaderLinesBecomeVariables) {
  const struct {
    const char* name;
    std::vector<http::HeaderLine> lines;
    Variables expected;
  } cases[] = {
      {"names",
       {{"Host", "x"}, {"user-agent", "c"}, {"X-Request-ID", "7"}},
       {{"HTTP_HOST", "x"}, {"HTTP_USER_AGENT", "c"}, {"HTTP_X_REQUEST_ID", "7"}}},
      {"content headers have no prefix",
       {{"Content-Type", "text/plain"}, {"content-length", "3"}},
       {{"CONTENT_TYPE", "text/plain"}, {"CONTENT_LENGTH", "3"}}},
      {"repeated lines join by comma, at the first one's place",
       {{"Accept", "a"}, {"Host", "x"}, {"ACCEPT", "b"}, {"accept", ""}},
       {{"HTTP_ACCEPT", "a,b,"}, {"HTTP_HOST", "x"}}},
      {"cookies join as one Cookie line", {{"Cookie", "a=1"}, {"cookie", "b=2"}}, {{"HTTP_COOKIE", "a=1; b=2"}}},
      {"an underscore cannot pose as a dash",
       {{"X_Forwarded_For", "6.6.6.6"}, {"X-Forwarded-For", "1.2.3.4"}, {"x_forwarded-for", "6.6.6.6"}},
       {{"HTTP_X_FORWARDED_FOR", "1.2.3.4"}}},
      {"no headers", {}, {}},
  };
  for (const auto& c : cases) EXPECT_EQ(environ_of(c.lines), c.expected) << c.name;
}

}  // namespace
}  // namespace tessaryne::wsgi
