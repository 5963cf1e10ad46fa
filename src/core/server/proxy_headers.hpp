#pragma once
// Proxy headers: what a trusted reverse proxy says about the request it passed
// on (X-Forwarded-For, X-Forwarded-Proto, X-Forwarded-Host and RFC 7239's
// Forwarded), and which peers are trusted to say it.
//
// The rules, in one place:
//   - Only a trusted immediate peer's headers count; the caller decides that
//     once per connection (ProxyTrust::trusts_peer) and calls read_proxy_headers
//     for that connection's requests only.
//   - The client: walking the hops from the right (the nearest proxy's entry
//     first), trusted addresses are skipped and the first other hop is the
//     client. A hop that is not an address (unknown, an obfuscated _name,
//     garbage, a malformed Forwarded element, an element without for=) is
//     never trusted, so it ends the walk; the client is then left as the
//     connection gave it, since whatever lies further left was written by a
//     hop nobody vouches for. When every hop is trusted, the leftmost is the
//     client.
//   - Forwarded wins over the X-Forwarded- headers, item by item: its element
//     at the hop where the walk stopped (the rightmost element when no element
//     has for=) decides client, scheme and server for each of for=, proto= and
//     host= it carries; X-Forwarded-For, -Proto and -Host decide the others.
//     X-Forwarded-Proto and -Host give their rightmost entry, the one the
//     nearest proxy wrote.
//   - A value that decides but cannot be used (a proto other than
//     http/https/ws/wss, a host that is no host, a client that is no address)
//     leaves that item as the connection gave it.
//   - Repeated header lines are one list, in order. Nothing here allocates;
//     results are views into the header values.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/http/head_tokenizer.hpp"

namespace tessaryne::server {

// An IPv4 or IPv6 address, IPv4 held in its IPv4-mapped IPv6 form
// (::ffff:a.b.c.d), so that one comparison serves both families and a
// dual-stack socket's mapped peers match IPv4 ranges.
struct IpAddress {
  std::array<std::uint8_t, 16> bytes{};
  friend bool operator==(const IpAddress&, const IpAddress&) = default;
};

// An IPv4 address's four bytes in that form.
[[nodiscard]] IpAddress ipv4_mapped(const std::array<std::uint8_t, 4>& quad) noexcept;

// The text forms of Python's ipaddress, without IPv6 scope ids: a dotted quad
// (no leading zeros), or IPv6 with at most one "::" and an optional dotted
// quad at the end.
[[nodiscard]] std::optional<IpAddress> parse_ip(std::string_view text) noexcept;

// The peers and hops whose proxy headers are believed: parsed once from a
// comma-separated list of IPv4 or IPv6 addresses, CIDR ranges (host bits are
// ignored), "*" (any peer, any address) and "unix:" (a peer without an
// address: a Unix socket's). IPv4 ranges are matched in their mapped form, so
// "::/0" covers every address and "::ffff:0:0/96" every IPv4 one.
class ProxyTrust {
 public:
  // The list, or nullopt with `bad_entry` set to the first entry that is none of those forms.
  [[nodiscard]] static std::optional<ProxyTrust> parse(std::string_view list, std::string_view* bad_entry = nullptr);

  [[nodiscard]] bool trusts(const IpAddress& address) const noexcept;
  // The immediate peer: its host as the socket gave it (an IPv6 scope id is
  // dropped), or nullopt for a peer without an address, trusted only under
  // "*" or "unix:".
  [[nodiscard]] bool trusts_peer(std::optional<std::string_view> host) const noexcept;

 private:
  struct Network {
    IpAddress base;  // host bits cleared
    std::uint8_t prefix = 0;
  };
  std::vector<Network> networks_;
  bool any_ = false;
  bool unix_ = false;
};

struct Endpoint {
  std::string_view host;
  std::uint16_t port = 0;
  friend bool operator==(const Endpoint&, const Endpoint&) = default;
};

// What the scope takes from a trusted peer's headers.
struct ProxyView {
  std::optional<Endpoint> client;  // replaces the connection's client; port 0 unless Forwarded gave one
  std::optional<Endpoint> server;  // replaces the connection's server; the scheme's port unless the host gave one
  bool secure = false;             // https / wss: the connection's own, unless a proto said otherwise
};

// `secure`: whether the connection itself is (TLS). Views point into `headers`.
[[nodiscard]] ProxyView read_proxy_headers(std::span<const http::HeaderLine> headers, const ProxyTrust& trust,
                                           bool secure) noexcept;

}  // namespace tessaryne::server
