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

// `raw` with every "%" and two hexadecimal digits turned into their byte;
// a "%" without them stays. Returns `raw` itself when it has no "%", else
// the decoded bytes, written into `out`.
[[nodiscard]] std::string_view percent_decoded(std::string_view raw, std::string& out);

}  // namespace tessaryne::http
