#pragma once
// Trimming of White_Space code points from both ends of valid UTF-8 text, as
// the framing headers and chunk sizes need it.

#include <string_view>

namespace tessaryne::http {

// `text` without leading and trailing Unicode White_Space (tab to carriage
// return, space, U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029,
// U+202F, U+205F, U+3000). `text` must be valid UTF-8.
[[nodiscard]] std::string_view trim_white_space(std::string_view text) noexcept;

}  // namespace tessaryne::http
