#pragma once
// The Host rule a server applies to every request: an HTTP/1.1 request
// carries exactly one Host line, an HTTP/1.0 request at most one, and its
// value is a host with an optional port of digits: a registered name (or
// IPv4 address), or an IPv6 literal in brackets. Empty is allowed: it is what
// a client sends for a target without an authority.

#include <cstdint>
#include <string_view>

#include "core/http/head_rules.hpp"

namespace tessaryne::server {

enum class HostCheck : std::uint8_t { valid, count, value };

[[nodiscard]] HostCheck check_host(const http::HeadFacts& facts) noexcept;

[[nodiscard]] bool valid_host(std::string_view value) noexcept;

}  // namespace tessaryne::server
