#pragma once
// Python values built straight from views of a parsed request head, shared by
// the connection's event tuples and the stateless parser's result.

#include <span>
#include <string_view>

#include "binding/common/values.hpp"
#include "core/http/connection.hpp"
#include "core/http/head_tokenizer.hpp"

namespace tessaryne::binding {

// ASCII-lowercased copy as bytes.
PyRef new_lowered_bytes(std::string_view data);
// Text from bytes that should be UTF-8: invalid sequences become U+FFFD, so a
// client's bytes never make the call fail.
PyRef new_text(std::string_view data);
// (lowercased name, value) pairs, one per header line, in order.
PyRef new_header_list(std::span<const http::HeaderLine> headers);
// The connection's request event: (1, method, path, raw path, query, version,
// headers, keep-alive, connection-upgrade, upgrade value, has-body).
PyRef new_request_event(const http::RequestEvent& event);

}  // namespace tessaryne::binding
