#pragma once
// The WebSocket configuration of a connection, shared by FastHttpConnection
// and the driver's ServedConnection, which each bind it under their own name:
//   configure_websocket(strict=False, utf8_fail_fast=False, max_message_size=None,
//                       permessage_deflate=False, server_no_context_takeover=False,
//                       client_no_context_takeover=False, server_max_window_bits=15,
//                       client_max_window_bits=15)
// and the per-connection writer of data messages that compresses them once
// permessage-deflate is configured:
//   format_ws_message(opcode, payload) -> bytes

#include <array>

#include "binding/common/python.hpp"
#include "core/http/connection.hpp"
#include "core/websocket/frame_loop.hpp"

namespace tessaryne::binding {

inline constexpr std::array<const char*, 8> kWebSocketOptionNames{"strict",
                                                                  "utf8_fail_fast",
                                                                  "max_message_size",
                                                                  "permessage_deflate",
                                                                  "server_no_context_takeover",
                                                                  "client_no_context_takeover",
                                                                  "server_max_window_bits",
                                                                  "client_max_window_bits"};
// Where the four parameters of permessage-deflate begin among them.
inline constexpr std::size_t kFirstDeflateParameter = 4;
inline constexpr std::array<const char*, 2> kWebSocketMessageNames{"opcode", "payload"};

// Converts bound arguments (null when omitted) in kWebSocketOptionNames order;
// a value out of range raises ValueError naming the parameter and its range.
websocket::FrameOptions to_frame_options(const std::array<PyObject*, 8>& bound);
// The four permessage-deflate parameters alone, in the same order.
websocket::DeflateParameters to_deflate_parameters(const std::array<PyObject*, 4>& bound);

// One final frame of `payload`; text (1) and binary (2) are compressed when
// the engine has permessage-deflate configured.
PyObject* new_ws_message(http::Connection& engine, PyObject* opcode, PyObject* payload);

}  // namespace tessaryne::binding
