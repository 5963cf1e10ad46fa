#include "core/server/host_header.hpp"

#include <algorithm>

#include "core/common/header_value.hpp"
#include "core/common/hex.hpp"
#include "core/server/proxy_headers.hpp"

namespace tessaryne::server {
namespace {

constexpr bool is_unreserved_or_sub_delim(char c) noexcept {
  return common::is_alnum(c) || std::string_view("-._~!$&'()*+,;=").find(c) != std::string_view::npos;
}

bool digits_only(std::string_view text) noexcept { return std::ranges::all_of(text, common::is_digit); }

// Unreserved characters, sub-delimiters and percent-encoded octets.
bool registered_name(std::string_view text) noexcept {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%') {
      if (i + 2 >= text.size() || common::hex_digit_value(text[i + 1]) < 0 || common::hex_digit_value(text[i + 2]) < 0)
        return false;
      i += 2;
    } else if (!is_unreserved_or_sub_delim(text[i])) {
      return false;
    }
  }
  return true;
}

// Inside the brackets: an IPv6 address, or a future form "v" HEX "." ...
bool ip_literal(std::string_view text) noexcept {
  if (!text.empty() && (text[0] == 'v' || text[0] == 'V')) {
    const std::size_t dot = text.find('.');
    if (dot == std::string_view::npos || dot == 1 || dot + 1 == text.size()) return false;
    const std::string_view version = text.substr(1, dot - 1);
    const std::string_view rest = text.substr(dot + 1);
    return std::ranges::all_of(version, [](char c) { return common::hex_digit_value(c) >= 0; }) &&
           std::ranges::all_of(rest, [](char c) { return c == ':' || is_unreserved_or_sub_delim(c); });
  }
  return text.find(':') != std::string_view::npos && parse_ip(text).has_value();
}

}  // namespace

bool valid_host(std::string_view value) noexcept {
  if (value.empty()) return true;
  std::string_view port;
  if (value.front() == '[') {
    const std::size_t close = value.find(']');
    if (close == std::string_view::npos || !ip_literal(value.substr(1, close - 1))) return false;
    const std::string_view rest = value.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return false;
      port = rest.substr(1);
    }
  } else {
    const std::size_t colon = value.find(':');
    const std::string_view name = value.substr(0, colon);
    if (name.empty() || !registered_name(name)) return false;
    if (colon != std::string_view::npos) port = value.substr(colon + 1);
  }
  return digits_only(port);
}

HostCheck check_host(const http::HeadFacts& facts) noexcept {
  if (facts.host_lines > 1) return HostCheck::count;
  if (facts.host_lines == 0) return facts.http11 ? HostCheck::count : HostCheck::valid;
  return valid_host(facts.host) ? HostCheck::valid : HostCheck::value;
}

}  // namespace tessaryne::server
