#pragma once
// Trimming for the values that decide message framing (Content-Length,
// Transfer-Encoding codings, chunk sizes).
//
// Only ASCII white space (tab, line feed, vertical tab, form feed, carriage
// return, space) is trimmed. Non-ASCII white space such as U+00A0 is left in
// place, so a value like "chunked<NBSP>" or "<NBSP>5" is refused rather than
// accepted: a proxy in front of us that trims only spaces and tabs would read
// it differently, and framing that two parsers read differently is how
// requests are smuggled.

#include <string_view>

namespace tessaryne::http {

constexpr bool is_ascii_white_space(char c) noexcept { return (c >= '\t' && c <= '\r') || c == ' '; }

constexpr std::string_view trim_white_space(std::string_view text) noexcept {
  while (!text.empty() && is_ascii_white_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_ascii_white_space(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace tessaryne::http
