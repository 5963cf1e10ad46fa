#pragma once
// What a request target says of the path: its origin form, and the path's
// percent-decoding.

#include <string>
#include <string_view>

namespace tessaryne::http {

// The path of an absolute-form target ("http://host/path", the form a
// server must accept): what follows the authority, "/" when nothing does.
// Any other path is returned as it is.
[[nodiscard]] std::string_view origin_path(std::string_view path) noexcept;

// Whether an origin server serves `target`: the origin form ("/path"), the
// absolute form of an http or https URI with a host ("http://host/path"),
// or "*" for OPTIONS. The authority form belongs to CONNECT alone, and a
// URI of another scheme names no resource of this server.
[[nodiscard]] bool servable_target(std::string_view method, std::string_view target) noexcept;

// `raw` with every "%" and two hexadecimal digits turned into their byte;
// a "%" without them stays. Returns `raw` itself when it has no "%", else
// the decoded bytes, written into `out`.
[[nodiscard]] std::string_view percent_decoded(std::string_view raw, std::string& out);

}  // namespace tessaryne::http
