#pragma once
// Agreeing permessage-deflate in the opening handshake: reading a client's
// Sec-WebSocket-Extensions offers and answering the first one the server can
// serve with the parameters both sides will use.
//
// An offer that is malformed (unknown or repeated parameters, values out of
// range, bad syntax) is declined and the next one considered: a client's
// odd offer never fails its handshake.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/websocket/deflate.hpp"

namespace tessaryne::websocket {

struct DeflateAgreement {
  DeflateParameters parameters;
  std::string response;  // the Sec-WebSocket-Extensions value to answer with
};

// `headers`: the values of every Sec-WebSocket-Extensions field, in order.
// `preferences`: what the server asks for of its own accord. A window below
// 15 bits is answered only where the handshake lets the server choose it:
// its own window always, the client's when the client offered to take one.
std::optional<DeflateAgreement> agree_permessage_deflate(std::span<const std::string_view> headers,
                                                         const DeflateParameters& preferences);

}  // namespace tessaryne::websocket
