#pragma once
// The kinds of FastHttpConnection's event tuples: the first item of each.
// Shared by the HTTP event list and the WebSocket event sink.

#include <cstdint>

#include "binding/common/values.hpp"

namespace tessaryne::binding {

enum class EventKind : std::uint8_t {
  request = 1,
  body = 2,
  upgrade = 3,
  websocket_message = 4,
  error = 5,
};

inline PyRef new_int(EventKind kind) { return new_int(static_cast<std::uint64_t>(kind)); }

}  // namespace tessaryne::binding
