#pragma once
#include <cstdint>

namespace tessaryne::http {

// Per-connection limits, fixed at construction.
struct ConnectionLimits {
  std::uint64_t max_body_size = 10485760;
  std::uint64_t max_header_size = 65536;
  std::uint64_t max_keepalive_requests = 1000;
};

}  // namespace tessaryne::http
