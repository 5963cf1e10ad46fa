#include "core/server/proxy_headers.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tessaryne::server {
namespace {

TEST(ProxyHeaders, AddressForms) {
  for (const char* valid : {"0.0.0.0", "255.255.255.255", "::", "::1", "1::", "1:2:3:4:5:6:7:8",
                            "1:2:3:4:5:6:7::", "::ffff:1.2.3.4", "1:2:3:4:5:6:1.2.3.4", "2001:DB8::a"})
    EXPECT_TRUE(parse_ip(valid)) << valid;
  for (const char* invalid : {"", "256.0.0.0", "1.2.3", "1.2.3.4.5", "01.2.3.4", "1:2:3:4:5:6:7:8:9", "1::2::3",
                              ":1::", "1::2:", ":::", "1:2:3:4:5:6:7:1.2.3.4",
                              "12345::", "g::", "1.2.3.4::", "::1%eth0", "[::1]", " 1.2.3.4"})
    EXPECT_FALSE(parse_ip(invalid)) << invalid;
  EXPECT_EQ(parse_ip("::ffff:10.0.0.1"), parse_ip("10.0.0.1"));
}

TEST(ProxyHeaders, TrustList) {
  struct Case {
    const char* list;
    std::optional<std::string_view> peer;
    bool trusted;
  };
  const Case cases[] = {
      {"127.0.0.1", "127.0.0.1", true},
      {"127.0.0.1", "127.0.0.2", false},
      {"10.0.0.0/8", "10.255.255.255", true},
      {"10.0.0.0/8", "11.0.0.0", false},
      {"10.1.2.3/8", "10.9.9.9", true},
      {"10.0.0.0/7", "11.1.1.1", true},
      {"0.0.0.0/0", "8.8.8.8", true},
      {"0.0.0.0/0", "::1", false},
      {"::/0", "::1", true},
      {"::/0", "8.8.8.8", true},
      {"::ffff:0:0/96", "1.2.3.4", true},
      {"10.0.0.0/8", "::ffff:10.1.2.3", true},
      {"2001:db8::/32", "2001:db8:ffff::1", true},
      {"2001:db8::/32", "2001:db9::", false},
      {"2001:db8::1/128", "2001:db8::1", true},
      {"2001:db8::1/128", "2001:db8::2", false},
      {"1.2.3.4/32", "1.2.3.5", false},
      {"fe80::/10", "fe80::1%eth0", true},
      {"*", std::nullopt, true},
      {"*", "not an address", true},
      {"unix:", std::nullopt, true},
      {"unix:", "127.0.0.1", false},
      {"127.0.0.1, ::1", std::nullopt, false},
      {" ,127.0.0.1 ,, ::1", "::1", true},
      {"", "127.0.0.1", false},
  };
  for (const Case& c : cases) {
    const auto trust = ProxyTrust::parse(c.list);
    ASSERT_TRUE(trust) << c.list;
    EXPECT_EQ(trust->trusts_peer(c.peer), c.trusted) << c.list << " / " << c.peer.value_or("(no address)");
  }
  for (const char* bad :
       {"10.0.0.0/33", "::/129", "example.com", "1.2.3", "1.2.3.4/", "unix", "1.2.3.04", "10.0.0.0/-1"}) {
    const std::string list = std::string("127.0.0.1, ") + bad;
    std::string_view entry;
    EXPECT_FALSE(ProxyTrust::parse(list, &entry)) << bad;
    EXPECT_EQ(entry, bad);
  }
}

using Headers = std::vector<std::pair<std::string, std::string>>;
using Client = std::optional<std::pair<std::string, int>>;

struct Case {
  const char* what;
  Headers headers;
  Client client;  // nullopt: the connection's stays
  bool secure = false;
  Client server = std::nullopt;
  bool tls = false;
  const char* trust = "127.0.0.1, 10.0.0.0/8";
};

Client as_client(const std::optional<Endpoint>& endpoint) {
  if (!endpoint) return std::nullopt;
  return std::pair{std::string(endpoint->host), int{endpoint->port}};
}

TEST(ProxyHeaders, WhatTheHeadersSay) {
  const std::string long_entry(1000, '1');
  const std::pair<std::string, int> client{"203.0.113.7", 0};
  const Case cases[] = {
      {"one hop", {{"X-Forwarded-For", "203.0.113.7"}}, client},
      {"a client's own entry is skipped over", {{"x-forwarded-for", "1.1.1.1, 203.0.113.7"}}, client},
      {"trusted hops are walked past", {{"x-forwarded-for", "203.0.113.7,10.1.2.3, 10.0.0.9"}}, client},
      {"every hop trusted: the leftmost", {{"x-forwarded-for", "10.0.0.1, 10.0.0.2"}}, std::pair{"10.0.0.1", 0}},
      {"repeated lines are one list",
       {{"x-forwarded-for", "1.1.1.1"}, {"x-forwarded-for", "203.0.113.7, 10.0.0.1"}},
       client},
      {"empty entries", {{"x-forwarded-for", ",, 203.0.113.7 ,,"}}, client},
      {"v4-mapped hop is trusted", {{"x-forwarded-for", "203.0.113.7, ::ffff:10.0.0.5"}}, client},
      {"IPv6 and ports", {{"x-forwarded-for", "[2001:db8::1]:443"}}, std::pair{"2001:db8::1", 0}},
      {"unknown ends the walk", {{"x-forwarded-for", "203.0.113.7, unknown"}}, std::nullopt},
      {"garbage ends the walk", {{"x-forwarded-for", "1.1.1.1, 300.1.1.1"}}, std::nullopt},
      {"leading zeros", {{"x-forwarded-for", "01.2.3.4"}}, std::nullopt},
      {"over-long entry", {{"x-forwarded-for", long_entry}}, std::nullopt},
      {"all trusted under *",
       {{"x-forwarded-for", "1.1.1.1, 203.0.113.7"}},
       std::pair{"1.1.1.1", 0},
       false,
       std::nullopt,
       false,
       "*"},
      {"Forwarded with a port", {{"forwarded", R"(for="[2001:db8::1]:4711")"}}, std::pair{"2001:db8::1", 4711}},
      {"Forwarded: a client's element is skipped over",
       {{"forwarded", "for=1.1.1.1;proto=http, For=203.0.113.7;PROTO=HTTPS"}},
       client,
       true},
      {"Forwarded wins over X-Forwarded-For",
       {{"x-forwarded-for", "198.51.100.1"}, {"forwarded", "for=203.0.113.7"}},
       client},
      {"Forwarded without for=: the client from X-Forwarded-For",
       {{"forwarded", "proto=https"}, {"x-forwarded-for", "203.0.113.7"}, {"x-forwarded-proto", "http"}},
       client,
       true},
      {"an obfuscated for= decides, unusable",
       {{"forwarded", "for=_hidden"}, {"x-forwarded-for", "203.0.113.7"}},
       std::nullopt},
      {"escapes are never used", {{"forwarded", R"(for="\2\0\3.0.113.7")"}}, std::nullopt},
      {"a quote swallowing the proxy's element", {{"forwarded", R"(for="1.1.1.1, for=203.0.113.7)"}}, std::nullopt},
      {"a broken line, then the proxy's own",
       {{"forwarded", R"(for="1.1.1.1)"}, {"forwarded", "for=203.0.113.7"}},
       client},
      {"a parameter twice", {{"forwarded", "for=203.0.113.7;for=1.1.1.1"}}, std::nullopt},
      {"an element without for= ends the walk",
       {{"forwarded", "for=1.1.1.1, proto=https"}, {"x-forwarded-for", "203.0.113.7"}},
       client,
       true},
      {"missing =", {{"forwarded", "for"}}, std::nullopt},
      {"the element of the client's hop gives scheme and host",
       {{"forwarded", R"(for=203.0.113.7;proto=https;host=a.example, for="10.0.0.2:80";proto=http;host=b.internal)"}},
       client,
       true,
       std::pair{"a.example", 443}},
      {"proto alone", {{"x-forwarded-proto", "HTTPS"}}, std::nullopt, true},
      {"ws protos", {{"x-forwarded-proto", "wss"}}, std::nullopt, true},
      {"the nearest proxy's proto", {{"x-forwarded-proto", "http, https"}}, std::nullopt, true},
      {"an unknown proto leaves TLS", {{"x-forwarded-proto", "ftp"}}, std::nullopt, true, std::nullopt, true},
      {"http over TLS", {{"x-forwarded-proto", "http"}}, std::nullopt, false, std::nullopt, true},
      {"host with the scheme's port",
       {{"x-forwarded-host", "example.com"}, {"x-forwarded-proto", "https"}},
       std::nullopt,
       true,
       std::pair{"example.com", 443}},
      {"host and port",
       {{"x-forwarded-host", "example.com:8443"}},
       std::nullopt,
       false,
       std::pair{"example.com", 8443}},
      {"IPv6 host", {{"x-forwarded-host", "[::1]:8080"}}, std::nullopt, false, std::pair{"::1", 8080}},
      {"bad host", {{"x-forwarded-host", "bad host!"}}, std::nullopt},
      {"bad port", {{"x-forwarded-host", "example.com:99999"}}, std::nullopt},
  };
  for (const Case& c : cases) {
    std::vector<http::HeaderLine> lines;
    for (const auto& [name, value] : c.headers) lines.push_back({name, value});
    const auto trust = ProxyTrust::parse(c.trust);
    ASSERT_TRUE(trust);
    const ProxyView view = read_proxy_headers(lines, *trust, c.tls);
    EXPECT_EQ(as_client(view.client), c.client) << c.what;
    EXPECT_EQ(view.secure, c.secure) << c.what;
    EXPECT_EQ(as_client(view.server), c.server) << c.what;
  }
}

}  // namespace
}  // namespace tessaryne::server
