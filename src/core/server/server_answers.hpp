#pragma once
// The texts of the answers the server gives itself, over every protocol.

#include <array>
#include <string_view>

#include "core/http/response_serializer.hpp"

namespace tessaryne::server {

inline constexpr std::string_view kBadHost = "Bad Request: exactly one Host header is required";
inline constexpr std::string_view kBadHostValue = "Bad Request: invalid Host header";
inline constexpr std::string_view kBadTarget = "Bad Request: invalid request target";
// An origin server that does not tunnel answers CONNECT itself.
inline constexpr std::string_view kNoTunnel = "Not Implemented";
inline constexpr std::string_view kTimeout = "Request Timeout";
inline constexpr std::string_view kOverloaded = "Service Unavailable";
inline constexpr std::string_view kServerError = "Internal Server Error";
inline constexpr std::string_view kHeadersTooLarge = "Request Header Fields Too Large";
inline constexpr std::string_view kBodyTooLarge = "Payload Too Large";
inline constexpr std::array<http::HeaderField, 1> kTextHeaders{{{"content-type", "text/plain; charset=utf-8"}}};

}  // namespace tessaryne::server
