#pragma once
// One piece of a chunked response body, the bytes that follow a head the
// response serializer wrote as chunked. The size is reported first so the
// caller allocates the output once.

#include <cstddef>
#include <string_view>

namespace tessaryne::http {

// Chunked transfer coding: "<HEX>\r\n<data>\r\n" for a non-empty piece, then
// "0\r\n\r\n" when the body ends. An empty piece is never a chunk of its own.
std::size_t chunk_size(std::size_t piece_length, bool more_body) noexcept;
// Writes exactly chunk_size(piece.size(), more_body) bytes.
void write_chunk(std::string_view piece, bool more_body, char* out) noexcept;
// The size line of a chunk whose data is sent apart (from a file): the data
// and then "\r\n" follow it. Writes exactly chunk_head_size(length) bytes.
std::size_t chunk_head_size(std::size_t data_length) noexcept;
void write_chunk_head(std::size_t data_length, char* out) noexcept;

}  // namespace tessaryne::http
