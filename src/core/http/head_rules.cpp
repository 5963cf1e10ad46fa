#include "core/http/head_rules.hpp"

#include <algorithm>

#include "core/common/byte_scan.hpp"
#include "core/common/header_value.hpp"
#include "core/common/utf8.hpp"

namespace tessaryne::http {
namespace {

using common::ascii_lower;
// Only spaces and tabs are trimmed from the values that decide framing. A
// value like "chunked<NBSP>" or "<NBSP>5" is refused rather than accepted: a
// proxy in front of us that trims only spaces and tabs would read it
// differently, and framing that two parsers read differently is how requests
// are smuggled.
using common::contains_lowercase;
using common::equals_lowercase;
using common::trim_ows;

// The last non-empty comma-separated piece of a Transfer-Encoding value must be
// "chunked"; false also when the value is not UTF-8 or has no piece at all.
enum class Coding : std::uint8_t { chunked, refused };

Coding last_coding(std::string_view value) noexcept {
  if (!common::is_valid_utf8(value)) return Coding::refused;
  std::string_view last;
  common::for_each_element(value, [&](std::string_view coding) { last = coding; });
  return equals_lowercase(last, "chunked") ? Coding::chunked : Coding::refused;
}

}  // namespace

bool HeadFacts::websocket_upgrade() const noexcept {
  return http11 && connection_upgrade && equals_lowercase(upgrade_value, "websocket");
}

std::optional<std::uint64_t> parse_unsigned(std::string_view text, unsigned base) noexcept {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (base == 16 && ascii_lower(c) >= 'a' && ascii_lower(c) <= 'f') {
      digit = static_cast<unsigned>(ascii_lower(c) - 'a' + 10);
    } else {
      return std::nullopt;
    }
    if (value > (UINT64_MAX - digit) / base) return std::nullopt;
    value = value * base + digit;
  }
  return value;
}

std::optional<std::uint64_t> parse_content_length(std::string_view value) noexcept {
  if (!common::is_valid_utf8(value)) return std::nullopt;
  return parse_unsigned(trim_ows(value), 10);
}

HeadFacts scan_headers(std::span<const HeaderLine> headers, std::uint8_t minor_version) noexcept {
  HeadFacts facts;
  facts.http11 = minor_version == 1;
  facts.keep_alive = facts.http11;
  for (const HeaderLine& header : headers) {
    const std::string_view name = header.name;
    const std::string_view value = header.value;
    // Dispatch on length first: most names are none of these.
    switch (name.size()) {
      case 2:
        if (equals_lowercase(name, "te")) {
          common::for_each_element(value, [&](std::string_view coding) {
            facts.accepts_trailers = facts.accepts_trailers || equals_lowercase(coding, "trailers");
          });
        }
        break;
      case 4:
        if (equals_lowercase(name, "host")) {
          if (facts.host_lines == 0) facts.host = value;
          facts.host_lines = static_cast<std::uint8_t>(std::min(facts.host_lines + 1, 2));
        }
        break;
      case 7:
        if (equals_lowercase(name, "upgrade")) facts.upgrade_value = value;
        break;
      case 10:
        if (equals_lowercase(name, "connection") && !value.empty()) {
          if (contains_lowercase(value, "close"))
            facts.keep_alive = false;
          else if (contains_lowercase(value, "keep-alive"))
            facts.keep_alive = true;
          if (contains_lowercase(value, "upgrade")) facts.connection_upgrade = true;
        }
        break;
      case 14:
        if (equals_lowercase(name, "content-length")) {
          const std::optional<std::uint64_t> length = parse_content_length(value);
          if (!length) {
            facts.bad_framing = true;
          } else {
            if (facts.has_content_length && *length != facts.content_length) facts.bad_framing = true;
            if (!facts.has_content_length) facts.content_length = *length;
            facts.has_content_length = true;
          }
        }
        break;
      case 17:
        if (equals_lowercase(name, "transfer-encoding")) {
          if (facts.http11 && last_coding(value) == Coding::chunked)
            facts.chunked = true;
          else
            facts.bad_framing = true;
        }
        break;
      default:
        break;
    }
  }
  return facts;
}

TargetParts split_target(std::string_view target) noexcept {
  const std::size_t question = target.find('?');
  if (question == std::string_view::npos) return {target, {}};
  return {target.substr(0, question), target.substr(question + 1)};
}

void copy_lowercase(std::string_view text, char* out) noexcept {
  for (std::size_t i = 0; i < text.size(); ++i) out[i] = ascii_lower(text[i]);
}

}  // namespace tessaryne::http
