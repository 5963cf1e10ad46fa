#include "core/server/proxy_headers.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "core/common/byte_scan.hpp"
#include "core/common/header_value.hpp"
#include "core/common/hex.hpp"

namespace tessaryne::server {
namespace {

constexpr std::size_t npos = std::string_view::npos;
// ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255
constexpr std::size_t kLongestIp = 45;
// A DNS name's longest text form.
constexpr std::size_t kLongestHost = 253;

using common::is_alnum;
using common::is_digit;
using common::is_ows;

// Digits only, at most `max_digits` of them, at most `limit`; with `strict`, no leading zero.
std::optional<unsigned> parse_decimal(std::string_view text, std::size_t max_digits, unsigned limit,
                                      bool strict) noexcept {
  if (text.empty() || text.size() > max_digits || (strict && text.size() > 1 && text[0] == '0')) return std::nullopt;
  unsigned value = 0;
  for (const char c : text) {
    if (!is_digit(c)) return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > limit) return std::nullopt;
  return value;
}

std::optional<std::array<std::uint8_t, 4>> parse_ipv4(std::string_view text) noexcept {
  std::array<std::uint8_t, 4> out{};
  for (std::size_t i = 0; i < 4; ++i) {
    const std::size_t dot = i < 3 ? text.find('.') : text.size();
    if (dot == npos) return std::nullopt;
    const auto part = parse_decimal(text.substr(0, dot), 3, 255, true);
    if (!part) return std::nullopt;
    out[i] = static_cast<std::uint8_t>(*part);
    text.remove_prefix(i < 3 ? dot + 1 : dot);
  }
  return out;
}

// Colon-separated groups of 1 to 4 hex digits into `out`, the last of them
// possibly a dotted quad (two groups) when `v4_tail`; the number written.
std::optional<std::size_t> parse_groups(std::string_view text, bool v4_tail, std::span<std::uint16_t> out) noexcept {
  std::size_t n = 0;
  if (text.empty()) return n;
  for (;;) {
    const std::size_t colon = text.find(':');
    const std::string_view piece = text.substr(0, colon);
    if (colon == npos && v4_tail && piece.find('.') != npos) {
      const auto quad = parse_ipv4(piece);
      if (!quad || n + 2 > out.size()) return std::nullopt;
      out[n++] = static_cast<std::uint16_t>((*quad)[0] << 8 | (*quad)[1]);
      out[n++] = static_cast<std::uint16_t>((*quad)[2] << 8 | (*quad)[3]);
      return n;
    }
    if (piece.empty() || piece.size() > 4 || n == out.size()) return std::nullopt;
    unsigned group = 0;
    for (const char c : piece) {
      const int digit = common::hex_digit_value(c);
      if (digit < 0) return std::nullopt;
      group = group * 16 + static_cast<unsigned>(digit);
    }
    out[n++] = static_cast<std::uint16_t>(group);
    if (colon == npos) return n;
    text.remove_prefix(colon + 1);
  }
}

std::optional<IpAddress> parse_ipv6(std::string_view text) noexcept {
  if (text.size() > kLongestIp) return std::nullopt;
  std::array<std::uint16_t, 8> groups{};
  const std::size_t elision = text.find("::");
  if (elision == npos) {
    const auto count = parse_groups(text, true, groups);
    if (count != 8U) return std::nullopt;
  } else {
    const std::string_view right = text.substr(elision + 2);
    if (right.find("::") != npos) return std::nullopt;
    std::array<std::uint16_t, 8> tail{};
    const auto left_count = parse_groups(text.substr(0, elision), false, groups);
    const auto right_count = parse_groups(right, true, tail);
    if (!left_count || !right_count || *left_count + *right_count > 7) return std::nullopt;
    for (std::size_t i = 0; i < *right_count; ++i) groups[8 - *right_count + i] = tail[i];
  }
  IpAddress address;
  for (std::size_t i = 0; i < 8; ++i) {
    address.bytes[2 * i] = static_cast<std::uint8_t>(groups[i] >> 8);
    address.bytes[2 * i + 1] = static_cast<std::uint8_t>(groups[i] & 0xFF);
  }
  return address;
}

bool in_prefix(const IpAddress& address, const IpAddress& base, unsigned prefix) noexcept {
  const unsigned whole = prefix / 8;
  if (std::memcmp(address.bytes.data(), base.bytes.data(), whole) != 0) return false;
  const unsigned rest = prefix % 8;
  if (rest == 0) return true;
  const auto mask = static_cast<std::uint8_t>(0xFF << (8 - rest));
  return (address.bytes[whole] & mask) == base.bytes[whole];
}

void clear_host_bits(IpAddress& address, unsigned prefix) noexcept {
  for (unsigned bit = prefix; bit < 128; ++bit)
    address.bytes[bit / 8] = static_cast<std::uint8_t>(address.bytes[bit / 8] & ~(0x80U >> (bit % 8)));
}

// ":port" after a node or host: 1 to 5 digits up to 65535, or with
// `obfuscated` RFC 7239's "_" name, which gives no port.
std::optional<std::uint16_t> parse_port(std::string_view text, bool obfuscated) noexcept {
  if (obfuscated && text.size() > 1 && text[0] == '_') {
    for (const char c : text.substr(1))
      if (!is_alnum(c) && c != '.' && c != '_' && c != '-') return std::nullopt;
    return std::uint16_t{0};
  }
  const auto port = parse_decimal(text, 5, 65535, false);
  if (!port) return std::nullopt;
  return static_cast<std::uint16_t>(*port);
}

// A hop as X-Forwarded-For and Forwarded's for= write it: an IPv4 address,
// IPv6 bare or in brackets, each with an optional port in the second form.
struct Node {
  Endpoint endpoint;
  IpAddress address;
};

std::optional<Node> parse_node(std::string_view text) noexcept {
  Node node;
  std::string_view host = text;
  std::string_view port;
  bool has_port = false;
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == npos) return std::nullopt;
    host = text.substr(1, close - 1);
    const std::string_view after = text.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return std::nullopt;
      port = after.substr(1);
      has_port = true;
    }
    if (host.find(':') == npos) return std::nullopt;  // brackets hold IPv6 only
  } else if (const std::size_t colon = text.find(':'); colon != npos && text.find(':', colon + 1) == npos) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    has_port = true;
  }
  const auto address = parse_ip(host);
  if (!address) return std::nullopt;
  node.address = *address;
  node.endpoint.host = host;
  if (has_port) {
    const auto number = parse_port(port, true);
    if (!number) return std::nullopt;
    node.endpoint.port = *number;
  }
  return node;
}

// A host as X-Forwarded-Host and Forwarded's host= write it: a name of
// letters, digits and "-._~", an IPv4 address, or IPv6 in brackets; then an
// optional port, else `default_port`.
std::optional<Endpoint> parse_host(std::string_view text, std::uint16_t default_port) noexcept {
  Endpoint endpoint{{}, default_port};
  std::string_view rest;
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == npos || !parse_ipv6(text.substr(1, close - 1))) return std::nullopt;
    endpoint.host = text.substr(1, close - 1);
    rest = text.substr(close + 1);
  } else {
    const std::size_t colon = text.find(':');
    endpoint.host = text.substr(0, colon);
    rest = colon == npos ? std::string_view{} : text.substr(colon);
    if (endpoint.host.empty() || endpoint.host.size() > kLongestHost) return std::nullopt;
    for (const char c : endpoint.host)
      if (!is_alnum(c) && c != '-' && c != '.' && c != '_' && c != '~') return std::nullopt;
  }
  if (rest.empty()) return endpoint;
  if (rest.front() != ':') return std::nullopt;
  if (rest.size() == 1) return endpoint;  // "host:": an empty port is the default one
  const auto port = parse_port(rest.substr(1), false);
  if (!port) return std::nullopt;
  endpoint.port = *port;
  return endpoint;
}

// https and wss: secure; http and ws: not; anything else says nothing.
std::optional<bool> parse_proto(std::string_view text) noexcept {
  if (common::equals_lowercase(text, "https") || common::equals_lowercase(text, "wss")) return true;
  if (common::equals_lowercase(text, "http") || common::equals_lowercase(text, "ws")) return false;
  return std::nullopt;
}

// A Forwarded parameter's value. One written with a quoted-pair is kept but
// never used: no address, host or proto needs an escape, so one that has
// them is somebody's obfuscation.
struct Value {
  std::string_view text;
  bool escaped = false;
  [[nodiscard]] std::optional<std::string_view> usable() const noexcept {
    if (escaped) return std::nullopt;
    return text;
  }
};

// One Forwarded element: the parameters this server reads. A malformed
// element has none, so as a hop it is never trusted and it gives nothing.
struct Element {
  std::optional<Value> for_node, proto, host;
};

// Reads the elements of one Forwarded line: pairs token=value separated by
// ";", elements by ","; a value is a quoted string or a run of bytes other
// than white space, ";", ",", quotes and backslashes (so that the common
// unquoted for=192.0.2.1:80 and host=example.com:8080 are read). A parameter
// twice in one element, a missing "=", an unterminated quote: the element
// is malformed, and reading goes on after its end.
class ForwardedLine {
 public:
  explicit ForwardedLine(std::string_view value) noexcept : cursor_(value) {}

  // The next element; nullopt at the end of the line. Empty elements are skipped.
  std::optional<Element> next() noexcept {
    do {
      cursor_.skip_space();
    } while (cursor_.take(','));
    if (cursor_.at_end()) return std::nullopt;
    Element element;
    if (!read_pairs(element)) {
      cursor_.skip_element();
      return Element{};
    }
    return element;
  }

 private:
  bool read_pairs(Element& element) noexcept {
    for (;;) {
      cursor_.skip_space();
      if (cursor_.at_end() || cursor_.peek() == ',') return true;
      if (cursor_.take(';')) continue;
      const std::string_view name = cursor_.token();
      if (name.empty() || !cursor_.take('=')) return false;
      const auto value = read_value();
      if (!value) return false;
      std::optional<Value>* slot = nullptr;
      if (common::equals_lowercase(name, "for")) slot = &element.for_node;
      if (common::equals_lowercase(name, "proto")) slot = &element.proto;
      if (common::equals_lowercase(name, "host")) slot = &element.host;
      if (slot != nullptr) {
        if (slot->has_value()) return false;
        *slot = value;
      }
      cursor_.skip_space();
      if (!cursor_.at_end() && cursor_.peek() != ';' && cursor_.peek() != ',') return false;
    }
  }

  std::optional<Value> read_value() noexcept {
    if (const auto quoted = cursor_.quoted_text()) return Value{*quoted, quoted->find('\\') != npos};
    const std::string_view bare = cursor_.take_while(
        [](char c) { return !is_ows(c) && std::string_view(";,\"\\").find(c) == npos; });
    if (bare.empty()) return std::nullopt;
    return Value{bare};
  }

  common::HeaderValueCursor cursor_;
};

// The walk over the hops from the right, done as they are read from the
// left: its answer is the rightmost hop that is not trusted, else the leftmost.
template <class Hop>
class HopWalk {
 public:
  void add(const Hop& hop, bool trusted) noexcept {
    if (!leftmost_) leftmost_ = hop;
    if (!trusted) untrusted_ = hop;
  }
  [[nodiscard]] const Hop* answer() const noexcept {
    if (untrusted_) return &*untrusted_;
    return leftmost_ ? &*leftmost_ : nullptr;
  }

 private:
  std::optional<Hop> leftmost_, untrusted_;
};

}  // namespace

IpAddress ipv4_mapped(const std::array<std::uint8_t, 4>& quad) noexcept {
  IpAddress address;
  address.bytes[10] = address.bytes[11] = 0xFF;
  std::memcpy(address.bytes.data() + 12, quad.data(), 4);
  return address;
}

std::optional<IpAddress> parse_ip(std::string_view text) noexcept {
  if (text.find(':') != npos) return parse_ipv6(text);
  const auto quad = parse_ipv4(text);
  if (!quad) return std::nullopt;
  return ipv4_mapped(*quad);
}

std::optional<ProxyTrust> ProxyTrust::parse(std::string_view list, std::string_view* bad_entry) {
  ProxyTrust trust;
  std::optional<std::string_view> bad;
  common::for_each_element(list, [&](std::string_view entry) {
    if (bad) return;
    if (entry == "*") {
      trust.any_ = true;
      return;
    }
    if (entry == "unix:") {
      trust.unix_ = true;
      return;
    }
    const std::size_t slash = entry.find('/');
    const std::string_view text = entry.substr(0, slash);
    const auto address = parse_ip(text);
    const bool v4 = text.find(':') == npos;
    const unsigned width = v4 ? 32 : 128;
    const auto prefix =
        slash == npos ? std::optional<unsigned>(width) : parse_decimal(entry.substr(slash + 1), 3, width, false);
    if (!address || !prefix) {
      bad = entry;
      return;
    }
    Network network{*address, static_cast<std::uint8_t>(v4 ? *prefix + 96 : *prefix)};
    clear_host_bits(network.base, network.prefix);
    trust.networks_.push_back(network);
  });
  if (bad) {
    if (bad_entry != nullptr) *bad_entry = *bad;
    return std::nullopt;
  }
  return trust;
}

bool ProxyTrust::trusts(const IpAddress& address) const noexcept {
  return any_ || std::ranges::any_of(networks_, [&](const Network& network) {
           return in_prefix(address, network.base, network.prefix);
         });
}

bool ProxyTrust::trusts_peer(std::optional<std::string_view> host) const noexcept {
  if (any_) return true;
  if (!host) return unix_;
  const auto address = parse_ip(host->substr(0, host->find('%')));
  return address && trusts(*address);
}

ProxyView read_proxy_headers(std::span<const http::HeaderLine> headers, const ProxyTrust& trust,
                             bool secure) noexcept {
  HopWalk<Element> forwarded;
  HopWalk<std::optional<Node>> forwarded_for;
  std::optional<std::string_view> forwarded_proto, forwarded_host;
  for (const http::HeaderLine& line : headers) {
    if (common::equals_lowercase(line.name, "forwarded")) {
      ForwardedLine elements(line.value);
      while (const auto element = elements.next()) {
        const std::optional<std::string_view> text = element->for_node ? element->for_node->usable() : std::nullopt;
        const auto node = text ? parse_node(*text) : std::nullopt;
        forwarded.add(*element, node && trust.trusts(node->address));
      }
    } else if (common::equals_lowercase(line.name, "x-forwarded-for")) {
      common::for_each_element(line.value, [&](std::string_view entry) {
        const auto node = parse_node(entry);
        forwarded_for.add(node, node && trust.trusts(node->address));
      });
    } else if (common::equals_lowercase(line.name, "x-forwarded-proto")) {
      common::for_each_element(line.value, [&](std::string_view entry) { forwarded_proto = entry; });
    } else if (common::equals_lowercase(line.name, "x-forwarded-host")) {
      common::for_each_element(line.value, [&](std::string_view entry) { forwarded_host = entry; });
    }
  }
  ProxyView view;
  view.secure = secure;
  const Element* element = forwarded.answer();
  // Forwarded decides each item its element carries, even with a value that
  // cannot be used: falling back to an X-Forwarded- header then would let a
  // client choose, by spoiling the element, which header is read.
  if (element != nullptr && element->for_node) {
    const auto text = element->for_node->usable();
    if (const auto node = text ? parse_node(*text) : std::nullopt) view.client = node->endpoint;
  } else if (const std::optional<Node>* hop = forwarded_for.answer(); hop != nullptr && hop->has_value()) {
    view.client = Endpoint{(*hop)->endpoint.host, 0};
  }
  const std::optional<std::string_view> proto =
      element != nullptr && element->proto ? element->proto->usable() : forwarded_proto;
  if (const auto said = proto ? parse_proto(*proto) : std::nullopt) view.secure = *said;
  const std::optional<std::string_view> host =
      element != nullptr && element->host ? element->host->usable() : forwarded_host;
  if (host) view.server = parse_host(*host, view.secure ? 443 : 80);
  return view;
}

}  // namespace tessaryne::server
