#pragma once
// The request-head tokenizer: recognises one HTTP/1.0 or HTTP/1.1 request head
// at the start of a byte range, in place, into caller-provided header slots.
//
// Every byte is judged as soon as it is seen: a byte that cannot start or
// continue a head is an error at once, and only a head that is valid so far but
// unfinished is reported as partial. With the sse and avx2 kernel families
// (core/common/cpu_dispatch.hpp), a head of 64 bytes or more is classified 64
// bytes at a time into bit masks of the bytes that end names and values, and
// each field end is found by counting zeros; the bytewise scalar kernel is the
// reference, gives identical results and takes the shorter heads.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/common/cpu_dispatch.hpp"

namespace tessaryne::http {

struct HeaderLine {
  std::string_view name;   // token characters, case as received
  std::string_view value;  // leading and trailing spaces and tabs removed
};

enum class HeadStatus : std::uint8_t { complete, partial, error };

enum class HeadError : std::uint8_t {
  none,
  token,             // method or target byte, or a missing separator in the request line
  version,           // anything but "HTTP/1.0" or "HTTP/1.1"
  header_name,       // a name byte that is not a token character, or no colon
  header_value,      // a control byte (other than tab) or DEL in a value
  new_line,          // a CR not followed by LF where a line must end
  too_many_headers,  // more header lines than slots
};

struct RequestHead {
  std::string_view method;
  std::string_view target;
  std::uint8_t minor_version = 0;
  std::size_t header_count = 0;
  // Bytes from the start of the input through the empty line that ends the
  // head, skipped leading empty lines included.
  std::size_t length = 0;
};

struct HeadResult {
  HeadStatus status;
  HeadError error;
};

// The words that follow "Malformed HTTP request: " for each error.
[[nodiscard]] std::string_view reason_text(HeadError error) noexcept;

// Tokenizes `input` with the process's kernel family. On `complete`, `head`
// and the first head.header_count slots describe the head (views into
// `input`); otherwise their content is unspecified.
HeadResult tokenize_head(std::string_view input, std::span<HeaderLine> slots, RequestHead& head) noexcept;

// The same with a named kernel family, for tests, fuzzers and benchmarks; a
// family the CPU lacks falls back to the next narrower one.
HeadResult tokenize_head(std::string_view input, std::span<HeaderLine> slots, RequestHead& head,
                         common::KernelFamily family) noexcept;

}  // namespace tessaryne::http
