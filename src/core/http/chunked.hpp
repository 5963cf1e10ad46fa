#pragma once
// The lines of the chunked transfer coding: a chunk-size line with its
// extensions, and the trailer section after the last chunk.
//
// Both are read as strictly as their grammar: a byte that one reader could
// take as a line end and another as data (a bare LF, a bare CR, any other
// control byte) is refused, since framing read two ways is how a request
// hides inside another.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tessaryne::http {

enum class ChunkLineFault : std::uint8_t { none, encoding, length, extension };

struct ChunkLine {
  ChunkLineFault fault = ChunkLineFault::none;
  std::uint64_t size = 0;
};

// `line` is a chunk-size line without its CR LF: hexadecimal digits, spaces
// or tabs around them, then extensions (";" name ["=" token or quoted
// string], spaces and tabs between).
[[nodiscard]] ChunkLine parse_chunk_line(std::string_view line) noexcept;

enum class SectionStatus : std::uint8_t { complete, partial, invalid };

struct SectionEnd {
  SectionStatus status;
  std::size_t length;  // through the empty line, when complete
};

// The trailer section at the start of `input`: field lines (a token, a
// colon, value bytes), each ended by CR LF, then an empty line ended by CR LF.
[[nodiscard]] SectionEnd trailer_section_end(std::string_view input) noexcept;

}  // namespace tessaryne::http
