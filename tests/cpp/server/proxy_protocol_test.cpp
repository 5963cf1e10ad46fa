#include "core/server/proxy_protocol.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaryne::server {
namespace {

using namespace std::string_literals;

const std::string kSignature("\r\n\r\n\0\r\nQUIT\n", 12);

std::string bytes(std::initializer_list<int> values) {
  std::string out;
  for (const int value : values) out.push_back(static_cast<char>(value));
  return out;
}

// A v2 header: version and command, family and protocol, then `body` with its length.
std::string v2(int version_command, int family_protocol, const std::string& body) {
  return kSignature +
         bytes({version_command, family_protocol, static_cast<int>(body.size() >> 8),
                static_cast<int>(body.size() & 0xFF)}) +
         body;
}

IpAddress ip(std::string_view text) { return parse_ip(text).value(); }

ProxyAddresses tcp(ProxyFamily family, std::string_view source, std::string_view destination, std::uint16_t source_port,
                   std::uint16_t destination_port) {
  ProxyAddresses addresses;
  addresses.family = family;
  addresses.source = ip(source);
  addresses.destination = ip(destination);
  addresses.source_port = source_port;
  addresses.destination_port = destination_port;
  return addresses;
}

std::string unix_field(const std::string& path) { return path + std::string(108 - path.size(), '\0'); }

// The result on the whole input, checked against every prefix of it: each
// is "needs more" until the first that decides, and that one and every
// longer one decide the same, so any split of the bytes gives this result.
ProxyHeader read_by_every_split(const std::string& input, std::size_t* decided_at = nullptr) {
  const ProxyHeader whole = read_proxy_header(input);
  std::optional<std::size_t> first;
  for (std::size_t length = 0; length <= input.size(); ++length) {
    const ProxyHeader prefix = read_proxy_header(std::string_view(input).substr(0, length));
    if (!first && prefix.status == ProxyStatus::needs_more) continue;
    if (!first) first = length;
    EXPECT_EQ(prefix, whole) << "after " << length << " of " << input.size() << " bytes";
  }
  if (decided_at != nullptr) *decided_at = first.value_or(input.size() + 1);
  return whole;
}

TEST(ProxyProtocol, ValidHeaders) {
  const std::string v4_block = bytes({192, 0, 2, 1, 198, 51, 100, 2, 0xDC, 0x04, 0x01, 0xBB});
  std::string v6_block(32, '\0');
  v6_block[0] = 0x20, v6_block[1] = 0x01, v6_block[2] = 0x0D, v6_block[3] = static_cast<char>(0xB8);
  v6_block[15] = 1;
  v6_block[16] = 0x20, v6_block[17] = 0x01, v6_block[18] = 0x0D, v6_block[19] = static_cast<char>(0xB8);
  v6_block[31] = 2;
  v6_block += bytes({0xFF, 0xFF, 0x00, 0x00});
  const std::string tlvs = bytes({0x04, 0x00, 0x02, 0xAA, 0xBB}) + bytes({0x02, 0x00, 0x00});  // NOOP, empty AUTHORITY
  const std::string longest_unknown =
      "PROXY UNKNOWN ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff 65535 65535\r\n";
  ASSERT_EQ(longest_unknown.size(), kProxyV1MaxBytes);
  const ProxyAddresses v4 = tcp(ProxyFamily::inet, "192.0.2.1", "198.51.100.2", 56324, 443);
  const ProxyAddresses v6 = tcp(ProxyFamily::inet6, "2001:db8::1", "2001:db8::2", 65535, 0);

  struct Case {
    const char* name;
    std::string header;
    std::uint8_t version;
    std::optional<ProxyAddresses> addresses;
  };
  const Case cases[] = {
      {"v1 TCP4", "PROXY TCP4 192.0.2.1 198.51.100.2 56324 443\r\n", 1, v4},
      {"v1 TCP6", "PROXY TCP6 2001:db8::1 2001:DB8:0::2 65535 0\r\n", 1, v6},
      {"v1 TCP6, mapped IPv4", "PROXY TCP6 ::ffff:192.0.2.1 ::ffff:198.51.100.2 56324 443\r\n", 1,
       tcp(ProxyFamily::inet6, "192.0.2.1", "198.51.100.2", 56324, 443)},
      {"v1 TCP6, longest fields",
       "PROXY TCP6 ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff 65535 65535\r\n", 1,
       tcp(ProxyFamily::inet6, "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff",
           65535, 65535)},
      {"v1 UNKNOWN", "PROXY UNKNOWN\r\n", 1, std::nullopt},
      {"v1 UNKNOWN with the longest line", longest_unknown, 1, std::nullopt},
      {"v2 INET", v2(0x21, 0x11, v4_block), 2, v4},
      {"v2 INET with TLVs", v2(0x21, 0x11, v4_block + tlvs), 2, v4},
      {"v2 INET6", v2(0x21, 0x21, v6_block), 2, v6},
      {"v2 LOCAL", v2(0x20, 0x00, ""), 2, std::nullopt},
      {"v2 LOCAL with addresses", v2(0x20, 0x11, v4_block), 2, std::nullopt},
      {"v2 unspecified family", v2(0x21, 0x01, "xyz"), 2, std::nullopt},
      {"v2 unspecified protocol", v2(0x21, 0x10, ""), 2, std::nullopt},
      {"v2 datagrams", v2(0x21, 0x12, v4_block), 2, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The connection's own bytes may follow in the same read: they are not the header's.
    for (const std::string& after : {""s, "GET / HTTP/1.1\r\n\r\n"s, "\x16\x03\x01"s}) {
      std::size_t decided_at = 0;
      const ProxyHeader header = read_by_every_split(c.header + after, &decided_at);
      EXPECT_EQ(header.status, ProxyStatus::done);
      EXPECT_EQ(header.version, c.version);
      EXPECT_EQ(header.consumed, c.header.size());
      EXPECT_EQ(decided_at, c.header.size());
      EXPECT_EQ(header.addresses, c.addresses);
    }
  }
}

TEST(ProxyProtocol, UnixPathsAreViewsUpToTheirNul) {
  const std::string header = v2(0x21, 0x31, unix_field("/run/client.sock") + unix_field("/run/app.sock"));
  const ProxyHeader result = read_by_every_split(header);
  ASSERT_EQ(result.status, ProxyStatus::done);
  ASSERT_TRUE(result.addresses);
  EXPECT_EQ(result.addresses->family, ProxyFamily::unix_stream);
  EXPECT_EQ(result.addresses->source_path, "/run/client.sock");
  EXPECT_EQ(result.addresses->destination_path, "/run/app.sock");
  EXPECT_EQ(result.addresses->source_path.data(), header.data() + 16);
  // A path that fills its field has no NUL.
  const std::string unterminated = v2(0x21, 0x31, std::string(108, 'a') + unix_field(""));
  const ProxyHeader full = read_proxy_header(unterminated);
  ASSERT_TRUE(full.addresses);
  EXPECT_EQ(full.addresses->source_path, std::string(108, 'a'));
  EXPECT_EQ(full.addresses->destination_path, "");
}

TEST(ProxyProtocol, Malformed) {
  const std::string v4_block = bytes({10, 0, 0, 1, 10, 0, 0, 2, 0x30, 0x39, 0x00, 0x50});
  std::string bad_signature = v2(0x21, 0x11, v4_block);
  bad_signature[11] = 'X';
  struct Case {
    const char* name;
    std::string input;
    std::size_t decided_at;  // the shortest prefix already refused
  };
  const Case cases[] = {
      {"HTTP where the header must be", "GET / HTTP/1.1\r\n\r\n", 1},
      {"a TLS hello", "\x16\x03\x01\x02\x00", 1},
      {"lower case", "proxy TCP4 1.2.3.4 5.6.7.8 1 2\r\n", 1},
      {"v2 bad signature", bad_signature, 12},
      {"v1 prefix of the v2 signature only", "\r\n\r\nGET", 5},
      {"v1 unknown protocol", "PROXY TCP5 1.2.3.4 5.6.7.8 1 2\r\n", 10},
      {"v1 protocol cut short", "PROXY TCP\r\n", 10},
      {"v1 UNKNOWN too long", "PROXY UNKNOWN " + std::string(93, 'x') + "\r\n", 106},
      {"v1 one byte over the longest line", "PROXY UNKNOWN " + std::string(92, 'x') + "\r\n", 106},
      {"v1 no line end", "PROXY UNKNOWN " + std::string(200, 'x'), 106},
      {"v1 LF alone", "PROXY TCP4 1.2.3.4 5.6.7.8 1 2\n", 31},
      {"v1 CR alone", "PROXY TCP4 1.2.3.4 5.6.7.8 1 2\rX", 32},
      {"v1 LF in UNKNOWN", "PROXY UNKNOWN a\nb\r\n", 16},
      {"v1 port above 65535", "PROXY TCP4 1.2.3.4 5.6.7.8 65536 80\r\n", 32},
      {"v1 port of six digits", "PROXY TCP4 1.2.3.4 5.6.7.8 1 000001\r\n", 31},
      {"v1 port with a leading zero", "PROXY TCP4 1.2.3.4 5.6.7.8 080 80\r\n", 29},
      {"v1 port with a sign", "PROXY TCP4 1.2.3.4 5.6.7.8 +80 80\r\n", 28},
      {"v1 port not a digit", "PROXY TCP4 1.2.3.4 5.6.7.8 80 44a\r\n", 33},
      {"v1 port missing", "PROXY TCP4 1.2.3.4 5.6.7.8 80\r\n", 30},
      {"v1 port empty", "PROXY TCP4 1.2.3.4 5.6.7.8  80\r\n", 28},
      {"v1 field too many", "PROXY TCP4 1.2.3.4 5.6.7.8 80 80 80\r\n", 33},
      {"v1 address not a digit", "PROXY TCP4 1.2.3.x 5.6.7.8 80 80\r\n", 18},
      {"v1 address out of range", "PROXY TCP4 256.2.3.4 5.6.7.8 80 80\r\n", 21},
      {"v1 IPv6 under TCP4", "PROXY TCP4 ::1 ::1 80 80\r\n", 12},
      {"v1 IPv4 under TCP6", "PROXY TCP6 1.2.3.4 ::1 80 80\r\n", 19},
      {"v1 IPv6 scope id", "PROXY TCP6 fe80::1%eth0 ::1 80 80\r\n", 19},
      {"v1 address too long", "PROXY TCP4 1111.2.3.4444444444 5.6.7.8 80 80\r\n", 27},
      {"v1 addresses missing", "PROXY TCP4\r\n", 11},
      {"v1 two spaces", "PROXY  TCP4 1.2.3.4 5.6.7.8 80 80\r\n", 7},
      {"v2 version 1", v2(0x11, 0x11, v4_block), 13},
      {"v2 version 3", v2(0x31, 0x11, v4_block), 13},
      {"v2 command 2", v2(0x22, 0x11, v4_block), 13},
      {"v2 family 4", v2(0x21, 0x41, v4_block), 14},
      {"v2 protocol 3", v2(0x21, 0x13, v4_block), 14},
      {"v2 length short of INET's addresses", v2(0x21, 0x11, v4_block.substr(0, 11)), 16},
      {"v2 length short of INET6's addresses", v2(0x21, 0x21, std::string(35, '\0')), 16},
      {"v2 length short of UNIX's addresses", v2(0x21, 0x31, std::string(215, '\0')), 16},
      {"v2 TLV past the block", v2(0x21, 0x11, v4_block + bytes({0x04, 0x00, 0x03, 0xAA})), 32},
      {"v2 TLV header cut short", v2(0x21, 0x11, v4_block + bytes({0x04, 0x00})), 30},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::size_t decided_at = 0;
    EXPECT_EQ(read_by_every_split(c.input, &decided_at).status, ProxyStatus::malformed);
    EXPECT_EQ(decided_at, c.decided_at);
  }
}

TEST(ProxyProtocol, TruncatedHeadersNeedMore) {
  const std::string v4_block = bytes({10, 0, 0, 1, 10, 0, 0, 2, 0x30, 0x39, 0x00, 0x50});
  // A length beyond what has arrived waits for the rest: a v2 block may hold 65535 bytes.
  const std::string big = v2(0x21, 0x11, v4_block + bytes({0x04, 0xFF, 0xF0}) + std::string(0xFFF0, 'x'));
  ASSERT_EQ(big.size(), kProxyHeaderMaxBytes);
  for (const std::string_view cut : {std::string_view(big).substr(0, 16), std::string_view(big).substr(0, 40000)})
    EXPECT_EQ(read_proxy_header(cut).status, ProxyStatus::needs_more);
  const ProxyHeader whole = read_proxy_header(big);
  EXPECT_EQ(whole.status, ProxyStatus::done);
  EXPECT_EQ(whole.consumed, kProxyHeaderMaxBytes);
  for (const char* prefix : {"", "P", "PROXY", "PROXY TCP6 2001:db8::", "PROXY TCP4 1.2.3.4 5.6.7.8 80 8",
                             "PROXY UNKNOWN", "PROXY TCP4 1.2.3.4 5.6.7.8 80 80\r"})
    EXPECT_EQ(read_proxy_header(prefix).status, ProxyStatus::needs_more) << prefix;
}

// The text a socket's peer name would give for the same address.
TEST(ProxyProtocol, AddressText) {
  const struct {
    ProxyFamily family;
    const char* address;
    const char* text;
  } cases[] = {
      {ProxyFamily::inet, "192.0.2.1", "192.0.2.1"},
      {ProxyFamily::inet, "0.0.0.0", "0.0.0.0"},
      {ProxyFamily::inet6, "2001:DB8:0:0::1", "2001:db8::1"},
      {ProxyFamily::inet6, "::ffff:192.0.2.1", "::ffff:192.0.2.1"},
      {ProxyFamily::inet6, "::", "::"},
  };
  for (const auto& c : cases) EXPECT_EQ(address_text(c.family, ip(c.address)), c.text) << c.address;
}

}  // namespace
}  // namespace tessaryne::server
