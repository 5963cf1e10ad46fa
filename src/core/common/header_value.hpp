#pragma once
// Reading the structured values of HTTP header fields: comma-separated lists
// whose elements are tokens, parameters (name=value) and quoted strings.
// Shared by every header that carries such a list, so each reads tokens and
// quoted strings the same way.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "core/common/byte_scan.hpp"

namespace tessaryne::common {

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
constexpr bool is_alnum(char c) noexcept { return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

constexpr bool is_token_char(char c) noexcept {
  return is_alnum(c) || (c != '\0' && std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos);
}

// Optional white space around values and list elements: spaces and tabs only.
constexpr bool is_ows(char c) noexcept { return c == ' ' || c == '\t'; }

constexpr std::string_view trim_ows(std::string_view text) noexcept {
  while (!text.empty() && is_ows(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_ows(text.back())) text.remove_suffix(1);
  return text;
}

// A byte of a field value: visible ASCII, space, tab and the bytes above 0x7F;
// never CR, LF, another control byte or DEL.
constexpr bool is_field_value_byte(char c) noexcept {
  const auto byte = static_cast<unsigned char>(c);
  return byte == '\t' || (byte >= 0x20 && byte != 0x7F);
}

// Where the quoted string that `text` begins with ends (just past its closing
// quote); 0 when `text` does not begin with a closed, well-formed one. Inside,
// a backslash escapes one visible byte, space or tab, and no control byte
// appears.
constexpr std::size_t quoted_string_end(std::string_view text) noexcept {
  if (text.empty() || text[0] != '"') return 0;
  for (std::size_t i = 1; i < text.size(); ++i) {
    if (text[i] == '"') return i + 1;
    if (text[i] == '\\' && ++i == text.size()) return 0;
    if (!is_field_value_byte(text[i])) return 0;
  }
  return 0;
}

// Where the list element that `text` begins ends: the offset of the first
// comma outside a quoted string, or text.size().
constexpr std::size_t element_end(std::string_view text) noexcept {
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (quoted && text[i] == '\\') {
      ++i;
    } else if (text[i] == '"') {
      quoted = !quoted;
    } else if (text[i] == ',' && !quoted) {
      return i;
    }
  }
  return text.size();
}

// Calls `each` with every element of a comma-separated list (commas inside
// quoted strings do not split), trimmed of optional white space; empty
// elements, which a list may carry, are skipped.
template <class Each>
constexpr void for_each_element(std::string_view list, Each&& each) {
  while (!list.empty()) {
    const std::size_t end = element_end(list);
    if (const std::string_view element = trim_ows(list.substr(0, end)); !element.empty()) each(element);
    list.remove_prefix(end == list.size() ? end : end + 1);
  }
}

// A read position in one header value. Every reader leaves the position
// unchanged when what it looks for is not there.
class HeaderValueCursor {
 public:
  explicit constexpr HeaderValueCursor(std::string_view text) noexcept : text_(text) {}

  [[nodiscard]] constexpr bool at_end() const noexcept { return at_ >= text_.size(); }
  [[nodiscard]] constexpr char peek() const noexcept { return at_end() ? '\0' : text_[at_]; }

  // Optional white space: spaces and tabs.
  constexpr void skip_space() noexcept {
    while (!at_end() && is_ows(text_[at_])) ++at_;
  }

  constexpr bool take(char c) noexcept {
    if (at_end() || text_[at_] != c) return false;
    ++at_;
    return true;
  }

  // The longest run of token characters; empty when there is none.
  constexpr std::string_view token() noexcept { return take_while(is_token_char); }

  // The longest run of bytes that `belongs`; empty when there is none.
  template <class Belongs>
  constexpr std::string_view take_while(Belongs&& belongs) noexcept {
    const std::size_t start = at_;
    while (!at_end() && belongs(text_[at_])) ++at_;
    return text_.substr(start, at_ - start);
  }

  // A quoted string as it stands between its quotes, escapes kept; nullopt,
  // and nothing taken, when it is not one or is not closed.
  constexpr std::optional<std::string_view> quoted_text() noexcept {
    const std::size_t end = quoted_string_end(text_.substr(at_));
    if (end == 0) return std::nullopt;
    const std::string_view inside = text_.substr(at_ + 1, end - 2);
    at_ += end;
    return inside;
  }

  // A quoted string, its escapes undone into `out`; false, and nothing
  // taken, when it is not one or is not closed.
  bool quoted_string(std::string& out) {
    const std::size_t end = quoted_string_end(text_.substr(at_));
    if (end == 0) return false;
    std::string value;
    for (std::size_t i = at_ + 1; i + 1 < at_ + end; ++i) {
      if (text_[i] == '\\') ++i;
      value.push_back(text_[i]);
    }
    at_ += end;
    out = std::move(value);
    return true;
  }

  // A token or a quoted string, passed over; false, and nothing taken, when
  // neither is there.
  constexpr bool skip_token_or_quoted() noexcept {
    if (const std::size_t end = quoted_string_end(text_.substr(at_)); end != 0) {
      at_ += end;
      return true;
    }
    return !token().empty();
  }

  // A parameter's value: a token or a quoted string.
  bool token_or_quoted(std::string& out) {
    if (peek() == '"') return quoted_string(out);
    const std::string_view word = token();
    if (word.empty()) return false;
    out.assign(word);
    return true;
  }

  // Past the next comma outside a quoted string (or to the end): where the
  // next list element begins, however malformed this one was.
  constexpr void skip_element() noexcept {
    at_ += element_end(text_.substr(at_));
    if (!at_end()) ++at_;
  }

 private:
  std::string_view text_;
  std::size_t at_ = 0;
};

}  // namespace tessaryne::common
