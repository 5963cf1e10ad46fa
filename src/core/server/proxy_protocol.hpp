#pragma once
// The PROXY protocol: the header a load balancer (HAProxy, an AWS Network
// Load Balancer) sends first on a connection it opens on a client's behalf,
// naming the client's address and port and the address it reached. Both
// versions: v1, one text line ("PROXY TCP4 192.0.2.1 198.51.100.2 56324 443\r\n",
// TCP6 alike, or "PROXY UNKNOWN ...\r\n"), at most 107 bytes; and v2, a
// 12-byte signature, version and command, family and protocol, a big-endian
// length, then the addresses (INET, INET6 or UNIX) and TLVs, skipped here.
//
// How a connection uses it (the server's listener does this, before the
// connection is served, plain or TLS; nothing here knows a socket):
//   - Only on a listener configured for it, and only from a peer the trust
//     list vouches for (ProxyTrust::trusts_peer, proxy_headers.hpp), which
//     must send it. Any other peer is a plain client: a header from it is
//     never read as one (it is a malformed request).
//   - The connection's first bytes are passed whole, from the first byte, to
//     read_proxy_header on each arrival, until the status is not needs_more.
//     The function keeps no state: it reads the bytes given, so any split of
//     the same bytes gives the same result. Bytes no header can begin with
//     are malformed as soon as they arrive: a wrong signature or keyword, a
//     character a v1 field cannot hold or a field longer than its longest
//     form, a v2 version, command, family or length out of range (an HTTP
//     request where a header must be is refused at its first byte, not after
//     107). A v1 address is judged whole once its field ends.
//   - malformed: close the connection without a response.
//   - done: the first `consumed` bytes were the header; the connection's own
//     bytes (the HTTP request, the TLS handshake) start right after them and
//     may already be in the buffer. With `addresses`, the source is the
//     client and the destination the server in the scope and the access
//     log; without (v2 LOCAL, v1 UNKNOWN, v2 with an unspecified family or a
//     datagram protocol), the socket's own addresses stand.
//   - A v2 header is 16 bytes plus a length of up to 65535; the caller
//     bounds what it buffers by kProxyHeaderMaxBytes and a deadline.
//
// read_proxy_header allocates nothing; the UNIX paths of a result are views into the input,
// valid as long as it is.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/server/proxy_headers.hpp"

namespace tessaryne::server {

// v1's longest line, CRLF included.
inline constexpr std::size_t kProxyV1MaxBytes = 107;
// v2's fixed part: signature, version and command, family and protocol, length.
inline constexpr std::size_t kProxyV2FixedBytes = 16;
// The longest header of either version.
inline constexpr std::size_t kProxyHeaderMaxBytes = kProxyV2FixedBytes + 0xFFFF;

enum class ProxyStatus : std::uint8_t {
  needs_more,  // a valid header may still follow: call again with more bytes
  malformed,   // no header starts these bytes: close the connection
  done,        // a complete header: see ProxyHeader
};

enum class ProxyFamily : std::uint8_t {
  inet,         // TCP over IPv4 (v1 TCP4, v2 INET)
  inet6,        // TCP over IPv6 (v1 TCP6, v2 INET6)
  unix_stream,  // v2 UNIX: paths instead of addresses and ports
};

struct ProxyAddresses {
  ProxyFamily family = ProxyFamily::inet;
  // inet and inet6; an IPv4 address in IpAddress's mapped form (::ffff:a.b.c.d),
  // told apart from an IPv6 one by `family`.
  IpAddress source, destination;
  std::uint16_t source_port = 0, destination_port = 0;
  // unix_stream: each path up to its first NUL (the field is 108 bytes, NUL-padded).
  std::string_view source_path, destination_path;
  friend bool operator==(const ProxyAddresses&, const ProxyAddresses&) = default;
};

struct ProxyHeader {
  ProxyStatus status = ProxyStatus::needs_more;
  std::uint8_t version = 0;  // done: 1 or 2
  std::size_t consumed = 0;  // done: the header's length in bytes
  // done: what the proxy says, or nullopt to keep the socket's addresses.
  std::optional<ProxyAddresses> addresses;
  friend bool operator==(const ProxyHeader&, const ProxyHeader&) = default;
};

// Reads the header at the start of `input`, the connection's bytes so far.
[[nodiscard]] ProxyHeader read_proxy_header(std::string_view input) noexcept;

// An inet or inet6 address of a header as a socket's peer name writes it
// ("192.0.2.1", "2001:db8::1"), so the scope and the access log cannot tell
// a proxied client from a direct one.
[[nodiscard]] std::string address_text(ProxyFamily family, const IpAddress& address);

}  // namespace tessaryne::server
