#pragma once
// The head rules shared by the connection's head step and the stateless
// parser: header scan (framing, persistence, upgrade), target split, version.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "core/http/head_tokenizer.hpp"

namespace tessaryne::http {

// What the header lines of one head decide.
struct HeadFacts {
  bool keep_alive = false;
  bool connection_upgrade = false;  // some Connection value contains "upgrade"
  bool has_content_length = false;
  bool chunked = false;  // a Transfer-Encoding header ended in "chunked"
  bool bad_framing = false;
  bool http11 = false;
  bool accepts_trailers = false;     // a TE header lists "trailers": the client reads a trailer section
  std::uint8_t host_lines = 0;       // Host header lines, counted up to 2
  std::uint64_t content_length = 0;  // the first valid value
  std::string_view host;             // the first Host value
  std::string_view upgrade_value;    // the last Upgrade value as received; lowercase it when copying out

  // Framing that must be refused: an invalid Content-Length or Transfer-Encoding,
  // differing Content-Lengths, a Content-Length together with chunked, or any
  // Transfer-Encoding in an HTTP/1.0 request (which a 1.0 peer cannot frame).
  [[nodiscard]] bool conflicting() const noexcept { return bad_framing || (has_content_length && chunked); }
  // Upgrade in an HTTP/1.0 request is ignored: the request is served as it is.
  [[nodiscard]] bool websocket_upgrade() const noexcept;
};

[[nodiscard]] HeadFacts scan_headers(std::span<const HeaderLine> headers, std::uint8_t minor_version) noexcept;

// A Content-Length value: valid UTF-8, trimmed of white space, then ASCII
// digits fitting 64 unsigned bits; a sign is no digit.
[[nodiscard]] std::optional<std::uint64_t> parse_content_length(std::string_view value) noexcept;

// One or more digits of `base` (10 or 16), fitting 64 unsigned bits; nothing
// else, not even a sign, since a reader that skips one frames differently.
[[nodiscard]] std::optional<std::uint64_t> parse_unsigned(std::string_view text, unsigned base) noexcept;

struct TargetParts {
  std::string_view path;   // up to the first "?"
  std::string_view query;  // after it, empty without one
};
[[nodiscard]] TargetParts split_target(std::string_view target) noexcept;

// HTTP/2 has no minor version.
[[nodiscard]] constexpr std::string_view version_text(std::uint8_t minor_version,
                                                      std::uint8_t major_version = 1) noexcept {
  if (major_version == 2) return "2";
  return minor_version == 0 ? "1.0" : "1.1";
}

// The version as a request line writes it ("HTTP/1.1").
[[nodiscard]] constexpr std::string_view protocol_text(std::uint8_t minor_version,
                                                       std::uint8_t major_version = 1) noexcept {
  if (major_version == 2) return "HTTP/2";
  return minor_version == 0 ? "HTTP/1.0" : "HTTP/1.1";
}

// Writes `text` with A-Z turned to a-z; `out` holds text.size() bytes.
void copy_lowercase(std::string_view text, char* out) noexcept;

}  // namespace tessaryne::http
