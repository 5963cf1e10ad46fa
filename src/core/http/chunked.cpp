#include "core/http/chunked.hpp"

#include "core/common/header_value.hpp"
#include "core/common/utf8.hpp"
#include "core/http/head_rules.hpp"

namespace tessaryne::http {
namespace {

bool extensions_valid(std::string_view extensions) noexcept {
  common::HeaderValueCursor cursor(extensions);
  for (;;) {
    cursor.skip_space();
    if (cursor.at_end()) return true;
    if (!cursor.take(';')) return false;
    cursor.skip_space();
    if (cursor.token().empty()) return false;
    cursor.skip_space();
    if (cursor.take('=')) {
      cursor.skip_space();
      if (!cursor.skip_token_or_quoted()) return false;
    }
  }
}

// Where a line ends at `at`: past its CR LF, or the status when it does not.
struct LineEnd {
  SectionStatus status;
  std::size_t next;
};

LineEnd crlf_at(std::string_view input, std::size_t at) noexcept {
  if (at == input.size()) return {SectionStatus::partial, at};
  if (input[at] != '\r') return {SectionStatus::invalid, at};
  if (at + 1 == input.size()) return {SectionStatus::partial, at};
  if (input[at + 1] != '\n') return {SectionStatus::invalid, at};
  return {SectionStatus::complete, at + 2};
}

}  // namespace

ChunkLine parse_chunk_line(std::string_view line) noexcept {
  const std::string_view size_part = line.substr(0, line.find(';'));
  if (!common::is_valid_utf8(size_part)) return {ChunkLineFault::encoding};
  const std::optional<std::uint64_t> size = parse_unsigned(common::trim_ows(size_part), 16);
  if (!size) return {ChunkLineFault::length};
  if (!extensions_valid(line.substr(size_part.size()))) return {ChunkLineFault::extension};
  return {ChunkLineFault::none, *size};
}

SectionEnd trailer_section_end(std::string_view input) noexcept {
  std::size_t at = 0;
  for (;;) {
    const std::size_t name_start = at;
    while (at < input.size() && common::is_token_char(input[at])) ++at;
    if (at == name_start) {
      const LineEnd end = crlf_at(input, at);
      return {end.status, end.next};
    }
    if (at == input.size()) return {SectionStatus::partial, 0};
    if (input[at++] != ':') return {SectionStatus::invalid, 0};
    while (at < input.size() && common::is_field_value_byte(input[at])) ++at;
    const LineEnd end = crlf_at(input, at);
    if (end.status != SectionStatus::complete) return {end.status, 0};
    at = end.next;
  }
}

}  // namespace tessaryne::http
