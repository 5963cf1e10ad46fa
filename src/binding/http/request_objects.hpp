#pragma once
// Python values built straight from views of a parsed request head, shared by
// the connection's event tuples and the stateless parser's result.

#include <span>
#include <string_view>

#include "binding/common/values.hpp"
#include "core/http/head_tokenizer.hpp"

namespace tessaryne::binding {

// ASCII-lowercased copy as bytes.
PyRef new_lowered_bytes(std::string_view data);
// Text from bytes that should be UTF-8: invalid sequences become U+FFFD, so a
// client's bytes never make the call fail.
PyRef new_text(std::string_view data);
// (lowercased name, value) pairs, one per header line, in order.
PyRef new_header_list(std::span<const http::HeaderLine> headers);

}  // namespace tessaryne::binding
