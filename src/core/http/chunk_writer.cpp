#include "core/http/chunk_writer.hpp"

#include "core/common/hex.hpp"
#include "core/common/put_bytes.hpp"

namespace tessaryne::http {

namespace {
constexpr std::string_view kLastChunk = "0\r\n\r\n";
constexpr std::string_view kCrlf = "\r\n";
}  // namespace

std::size_t chunk_size(std::size_t piece_length, bool more_body) noexcept {
  std::size_t size = more_body ? 0 : kLastChunk.size();
  if (piece_length > 0) size += common::hex_digit_count(piece_length) + kCrlf.size() + piece_length + kCrlf.size();
  return size;
}

void write_chunk(std::string_view piece, bool more_body, char* out) noexcept {
  if (!piece.empty()) {
    out = common::put_upper_hex(piece.size(), out);
    out = common::put_bytes(out, kCrlf);
    out = common::put_bytes(out, piece);
    out = common::put_bytes(out, kCrlf);
  }
  if (!more_body) common::put_bytes(out, kLastChunk);
}

std::size_t chunk_head_size(std::size_t data_length) noexcept {
  return common::hex_digit_count(data_length) + kCrlf.size();
}

void write_chunk_head(std::size_t data_length, char* out) noexcept {
  common::put_bytes(common::put_upper_hex(data_length, out), kCrlf);
}

}  // namespace tessaryne::http
