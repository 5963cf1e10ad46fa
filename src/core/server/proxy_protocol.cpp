#include "core/server/proxy_protocol.hpp"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "core/common/header_value.hpp"
#include "core/common/hex.hpp"

namespace tessaryne::server {
namespace {

using common::is_digit;

constexpr std::string_view kV1Prefix = "PROXY ";
constexpr std::string_view kV2Signature{"\r\n\r\n\0\r\nQUIT\n", 12};
// ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255 and 255.255.255.255
constexpr std::size_t kLongestIpv6 = 45;
constexpr std::size_t kLongestIpv4 = 15;
constexpr std::size_t kUnixPathBytes = 108;

ProxyHeader with_status(ProxyStatus status) noexcept {
  ProxyHeader header;
  header.status = status;
  return header;
}
ProxyHeader malformed() noexcept { return with_status(ProxyStatus::malformed); }
ProxyHeader needs_more() noexcept { return with_status(ProxyStatus::needs_more); }

// A complete header of `version`, `consumed` bytes long.
ProxyHeader done(std::uint8_t version, std::size_t consumed) noexcept {
  ProxyHeader header = with_status(ProxyStatus::done);
  header.version = version;
  header.consumed = consumed;
  return header;
}

// Whether `input`, as far as it goes, agrees with `literal`; the literal's
// length when it is all there, 0 when input ends first, npos when they differ.
constexpr std::size_t match(std::string_view input, std::string_view literal) noexcept {
  const std::size_t n = std::min(input.size(), literal.size());
  if (input.substr(0, n) != literal.substr(0, n)) return std::string_view::npos;
  return n == literal.size() ? n : 0;
}

// --- v1 -----------------------------------------------------------------------

// What each field of a TCP4 or TCP6 line may hold, to judge a field still
// arriving: its characters and its longest form.
bool may_begin_address(std::string_view text, bool v6) noexcept {
  if (text.size() > (v6 ? kLongestIpv6 : kLongestIpv4)) return false;
  return std::ranges::all_of(
      text, [v6](char c) { return is_digit(c) || c == '.' || (v6 && (c == ':' || common::hex_digit_value(c) >= 0)); });
}

std::optional<IpAddress> v1_address(std::string_view text, bool v6) noexcept {
  // parse_ip reads either family by the presence of a colon; the line's protocol names one.
  if ((text.find(':') != std::string_view::npos) != v6) return std::nullopt;
  return parse_ip(text);
}

// 0 to 65535, digits only, no leading zero.
std::optional<std::uint16_t> v1_port(std::string_view text) noexcept {
  if (text.empty() || text.size() > 5 || (text.size() > 1 && text[0] == '0')) return std::nullopt;
  unsigned value = 0;
  for (const char c : text) {
    if (!is_digit(c)) return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > 0xFFFF) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

// The line after "PROXY " and before its CR. `complete`: the CR is there, so
// every field must be too; otherwise the line is still arriving, and only
// what is there must be possible. needs_more then means "possible so far",
// done that the line holds a header (addresses set unless UNKNOWN).
ProxyStatus read_v1_line(std::string_view line, bool complete, std::optional<ProxyAddresses>& addresses) noexcept {
  // Splits off the next field; false when the line ends inside it (no space after it).
  const auto next_field = [&line](std::string_view& field) {
    const std::size_t space = line.find(' ');
    field = line.substr(0, space);
    line = space == std::string_view::npos ? std::string_view{} : line.substr(space + 1);
    return space != std::string_view::npos;
  };
  const auto unfinished = [complete](bool possible) {
    return possible && !complete ? ProxyStatus::needs_more : ProxyStatus::malformed;
  };

  std::string_view protocol;
  if (!next_field(protocol)) {
    if (complete) return protocol == "UNKNOWN" ? ProxyStatus::done : ProxyStatus::malformed;
    const bool possible = std::string_view("TCP4").starts_with(protocol) ||
                          std::string_view("TCP6").starts_with(protocol) ||
                          std::string_view("UNKNOWN").starts_with(protocol);
    return unfinished(possible);
  }
  if (protocol == "UNKNOWN") {
    // Whatever follows is the sender's business, up to the line's end.
    if (line.find('\n') != std::string_view::npos) return ProxyStatus::malformed;
    return complete ? ProxyStatus::done : ProxyStatus::needs_more;
  }
  if (protocol != "TCP4" && protocol != "TCP6") return ProxyStatus::malformed;
  const bool v6 = protocol == "TCP6";

  ProxyAddresses found;
  found.family = v6 ? ProxyFamily::inet6 : ProxyFamily::inet;
  IpAddress* const hosts[] = {&found.source, &found.destination};
  for (IpAddress* host : hosts) {
    std::string_view field;
    if (!next_field(field)) return unfinished(may_begin_address(field, v6));
    const auto address = v1_address(field, v6);
    if (!address) return ProxyStatus::malformed;
    *host = *address;
  }
  std::string_view field;
  if (!next_field(field)) return unfinished(field.empty() || v1_port(field));
  const auto source_port = v1_port(field);
  if (!source_port) return ProxyStatus::malformed;
  // The last field runs to the line's end: a space in it is one field too many.
  if (line.find(' ') != std::string_view::npos) return ProxyStatus::malformed;
  const auto destination_port = v1_port(line);
  if (!complete) return unfinished(line.empty() || destination_port);
  if (!destination_port) return ProxyStatus::malformed;
  found.source_port = *source_port;
  found.destination_port = *destination_port;
  addresses = found;
  return ProxyStatus::done;
}

ProxyHeader read_v1(std::string_view input) noexcept {
  const std::size_t prefix = match(input, kV1Prefix);
  if (prefix == std::string_view::npos) return malformed();
  if (prefix == 0) return needs_more();
  // The CR must leave room for its LF within the longest line.
  const std::size_t cr = input.substr(0, kProxyV1MaxBytes - 1).find('\r');
  const bool complete = cr != std::string_view::npos;
  if (!complete && input.size() >= kProxyV1MaxBytes - 1) return malformed();
  const std::string_view line = input.substr(prefix, complete ? cr - prefix : std::string_view::npos);
  std::optional<ProxyAddresses> addresses;
  const ProxyStatus status = read_v1_line(line, complete, addresses);
  if (status != ProxyStatus::done) return with_status(status);
  if (input.size() == cr + 1) return needs_more();
  if (input[cr + 1] != '\n') return malformed();
  ProxyHeader header = done(1, cr + 2);
  header.addresses = addresses;
  return header;
}

// --- v2 -----------------------------------------------------------------------

enum class V2Command : std::uint8_t { local = 0x0, proxy = 0x1 };
enum class V2Family : std::uint8_t { unspecified = 0x0, inet = 0x1, inet6 = 0x2, unix_socket = 0x3 };
enum class V2Protocol : std::uint8_t { unspecified = 0x0, stream = 0x1, datagram = 0x2 };

std::uint8_t byte_at(std::string_view input, std::size_t at) noexcept { return static_cast<std::uint8_t>(input[at]); }

std::uint16_t big_endian_16(std::string_view input, std::size_t at) noexcept {
  return static_cast<std::uint16_t>(byte_at(input, at) << 8 | byte_at(input, at + 1));
}

// The address block's size for a family: source and destination, then their ports.
constexpr std::size_t address_bytes(V2Family family) noexcept {
  switch (family) {
    case V2Family::inet:
      return 4 + 4 + 2 + 2;
    case V2Family::inet6:
      return 16 + 16 + 2 + 2;
    case V2Family::unix_socket:
      return kUnixPathBytes + kUnixPathBytes;
    case V2Family::unspecified:
      break;
  }
  return 0;
}

std::string_view unix_path(std::string_view field) noexcept { return field.substr(0, field.find('\0')); }

ProxyAddresses v2_addresses(V2Family family, std::string_view block) noexcept {
  ProxyAddresses found;
  if (family == V2Family::unix_socket) {
    found.family = ProxyFamily::unix_stream;
    found.source_path = unix_path(block.substr(0, kUnixPathBytes));
    found.destination_path = unix_path(block.substr(kUnixPathBytes, kUnixPathBytes));
    return found;
  }
  const std::size_t width = family == V2Family::inet ? 4 : 16;
  if (family == V2Family::inet) {
    found.family = ProxyFamily::inet;
    std::array<std::uint8_t, 4> quad{};
    std::memcpy(quad.data(), block.data(), 4);
    found.source = ipv4_mapped(quad);
    std::memcpy(quad.data(), block.data() + 4, 4);
    found.destination = ipv4_mapped(quad);
  } else {
    found.family = ProxyFamily::inet6;
    std::memcpy(found.source.bytes.data(), block.data(), 16);
    std::memcpy(found.destination.bytes.data(), block.data() + 16, 16);
  }
  found.source_port = big_endian_16(block, 2 * width);
  found.destination_port = big_endian_16(block, 2 * width + 2);
  return found;
}

// Type, a big-endian length, that many bytes; each within the block.
bool tlvs_fit(std::string_view tlvs) noexcept {
  while (!tlvs.empty()) {
    if (tlvs.size() < 3) return false;
    const std::size_t length = big_endian_16(tlvs, 1);
    if (tlvs.size() - 3 < length) return false;
    tlvs.remove_prefix(3 + length);
  }
  return true;
}

ProxyHeader read_v2(std::string_view input) noexcept {
  const std::size_t signature = match(input, kV2Signature);
  if (signature == std::string_view::npos) return malformed();
  if (signature == 0 || input.size() == 12) return needs_more();
  const std::uint8_t version_command = byte_at(input, 12);
  if (version_command >> 4 != 2 || (version_command & 0xF) > 1) return malformed();
  const auto command = static_cast<V2Command>(version_command & 0xF);
  if (input.size() == 13) return needs_more();
  const std::uint8_t family_protocol = byte_at(input, 13);
  if (family_protocol >> 4 > 3 || (family_protocol & 0xF) > 2) return malformed();
  const auto family = static_cast<V2Family>(family_protocol >> 4);
  const auto protocol = static_cast<V2Protocol>(family_protocol & 0xF);
  if (input.size() < kProxyV2FixedBytes) return needs_more();
  const std::size_t length = big_endian_16(input, 14);
  // A proxied connection's addresses are read only when both family and
  // protocol are given; LOCAL (the proxy's own health check, say) and an
  // unspecified family or protocol keep the socket's, their block unread.
  const bool addressed =
      command == V2Command::proxy && family != V2Family::unspecified && protocol != V2Protocol::unspecified;
  const std::size_t addresses = addressed ? address_bytes(family) : 0;
  if (length < addresses) return malformed();
  if (input.size() < kProxyV2FixedBytes + length) return needs_more();
  const std::string_view block = input.substr(kProxyV2FixedBytes, length);
  if (addressed && !tlvs_fit(block.substr(addresses))) return malformed();
  ProxyHeader header = done(2, kProxyV2FixedBytes + length);
  // Datagrams proxied onto a stream connection: its addresses are no TCP peer's.
  if (addressed && protocol == V2Protocol::stream) header.addresses = v2_addresses(family, block);
  return header;
}

}  // namespace

ProxyHeader read_proxy_header(std::string_view input) noexcept {
  if (input.empty()) return needs_more();
  return input[0] == kV2Signature[0] ? read_v2(input) : read_v1(input);
}

std::string address_text(ProxyFamily family, const IpAddress& address) {
  std::array<char, INET6_ADDRSTRLEN> text{};
  const bool v4 = family == ProxyFamily::inet;
  // An IPv4 address sits in the last four bytes of its mapped form.
  const void* bytes = v4 ? static_cast<const void*>(address.bytes.data() + 12) : address.bytes.data();
  if (::inet_ntop(v4 ? AF_INET : AF_INET6, bytes, text.data(), text.size()) == nullptr) return {};
  return text.data();
}

}  // namespace tessaryne::server
