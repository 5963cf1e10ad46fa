#pragma once
// Serialises an HTTP/1.1 response head (and the first body piece) into one
// buffer whose exact size is known before anything is written.
//
// Use: construct, call add_header() for each caller header in order (it refuses
// CR/LF, notes the headers that change framing and keeps the pair), then
// prepare(), then write(). The serializer holds views: the parts and every
// header's bytes must outlive write().

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/common/small_vector.hpp"

namespace tessaryne::http {

struct HeaderField {
  std::string_view name;
  std::string_view value;
};

struct ResponseParts {
  std::uint16_t status = 200;
  std::string_view server_line;  // complete line with its CRLF, copied as is
  std::string_view date_line;    // complete line with its CRLF, copied as is
  std::string_view body;
  // Bytes that follow the head on their own (a file), after `body`: a
  // content-length, when the head gives one, counts them too.
  std::uint64_t body_after = 0;
  bool more_body = false;
  bool no_body_status = false;
  bool keep_alive = true;
  bool server_answer = false;  // the server's own answer: the phrase of server_reason()
  bool interim = false;        // a 1xx interim answer: no framing and no connection line
};

// Status code of a status line that starts "HTTP/1.1 " followed by three bytes
// forming an optional "+" and decimal digits; 200 for anything else.
std::uint16_t status_from_line(std::string_view status_line) noexcept;

class ResponseSerializer {
 public:
  // Typical responses carry a handful of headers; up to this many are kept
  // inline, and only a longer list spills to the heap.
  static constexpr std::size_t kInlineHeaders = 16;

  explicit ResponseSerializer(const ResponseParts& parts) noexcept;

  // Records one caller header. Returns false, recording nothing, when the name
  // or the value holds a CR or LF byte. Throws std::bad_alloc only when a
  // header beyond kInlineHeaders cannot be stored.
  [[nodiscard]] bool add_header(std::string_view name, std::string_view value);

  // Settles the framing once every header has been added; returns the exact
  // output size.
  [[nodiscard]] std::size_t prepare() noexcept;
  [[nodiscard]] bool chunked() const noexcept;
  [[nodiscard]] bool keep_alive() const noexcept { return keep_alive_; }

  // Writes exactly prepare() bytes.
  void write(char* out) const noexcept;

 private:
  enum class Framing : std::uint8_t { none_no_body, none_raw_body, content_length, chunked };
  [[nodiscard]] Framing framing() const noexcept;
  [[nodiscard]] std::string_view reason() const noexcept;

  // Small numbers rendered once by prepare() and copied by write().
  struct Number {
    std::array<char, 20> digits;
    std::uint8_t length = 0;
    [[nodiscard]] std::string_view text() const noexcept { return {digits.data(), length}; }
  };

  const ResponseParts& parts_;
  common::SmallVector<HeaderField, kInlineHeaders> headers_;
  Number status_text_;
  Number body_size_;  // decimal for content-length, hexadecimal for a chunk
  std::size_t headers_size_ = 0;
  bool keep_alive_;
  bool saw_date_ = false;
  bool saw_server_ = false;
  bool saw_connection_ = false;
  bool saw_content_length_ = false;
};

}  // namespace tessaryne::http
