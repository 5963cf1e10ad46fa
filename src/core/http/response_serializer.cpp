#include "core/http/response_serializer.hpp"

#include <charconv>

#include "core/common/byte_scan.hpp"
#include "core/common/hex.hpp"
#include "core/common/put_bytes.hpp"
#include "core/http/reason_phrase.hpp"

namespace tessaryne::http {

namespace {

constexpr std::string_view kStatusPrefix = "HTTP/1.1 ";
constexpr std::string_view kContentLength = "content-length: ";
constexpr std::string_view kChunkedLine = "transfer-encoding: chunked\r\n";
constexpr std::string_view kKeepAliveLine = "connection: keep-alive\r\n";
constexpr std::string_view kCloseLine = "connection: close\r\n";
constexpr std::string_view kCrlf = "\r\n";

template <class Number>
Number decimal(std::uint64_t value) noexcept {
  Number number;
  auto result = std::to_chars(number.digits.data(), number.digits.data() + number.digits.size(), value);
  number.length = static_cast<std::uint8_t>(result.ptr - number.digits.data());
  return number;
}

template <class Number>
Number upper_hex(std::uint64_t value) noexcept {
  Number number;
  number.length = static_cast<std::uint8_t>(common::put_upper_hex(value, number.digits.data()) - number.digits.data());
  return number;
}

using common::put_bytes;

[[gnu::always_inline]] inline char* put_pair(char* out, char first, char second) noexcept {
  out[0] = first;
  out[1] = second;
  return out + 2;
}

[[gnu::always_inline]] inline char* put_crlf(char* out) noexcept { return put_pair(out, '\r', '\n'); }

}  // namespace

std::uint16_t status_from_line(std::string_view line) noexcept {
  if (line.size() < 12 || line.substr(0, kStatusPrefix.size()) != kStatusPrefix) return 200;
  std::string_view digits = line.substr(9, 3);
  if (digits.front() == '+') digits.remove_prefix(1);
  std::uint16_t code = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return 200;
    code = static_cast<std::uint16_t>(code * 10 + (c - '0'));
  }
  return code;
}

ResponseSerializer::ResponseSerializer(const ResponseParts& parts) noexcept
    : parts_(parts),
      keep_alive_(parts.keep_alive) {}

bool ResponseSerializer::add_header(std::string_view name, std::string_view value) {
  if (common::contains_cr_or_lf(name) || common::contains_cr_or_lf(value)) return false;
  headers_.push_back({name, value});
  headers_size_ += name.size() + value.size() + 4;
  switch (name.size()) {  // match by length first, then fold case
    case 4:
      saw_date_ = saw_date_ || common::equals_lowercase(name, "date");
      break;
    case 6:
      saw_server_ = saw_server_ || common::equals_lowercase(name, "server");
      break;
    case 10:
      if (common::equals_lowercase(name, "connection")) {
        saw_connection_ = true;
        // Any value mentioning "close" (case-insensitively) ends keep-alive;
        // nothing here turns it on.
        if (common::contains_lowercase(value, "close")) keep_alive_ = false;
      }
      break;
    case 14:
      saw_content_length_ = saw_content_length_ || common::equals_lowercase(name, "content-length");
      break;
    default:
      break;
  }
  return true;
}

ResponseSerializer::Framing ResponseSerializer::framing() const noexcept {
  if (parts_.no_body_status) return Framing::none_no_body;
  if (saw_content_length_) return Framing::none_raw_body;
  if (!parts_.more_body) return Framing::content_length;
  return Framing::chunked;
}

std::string_view ResponseSerializer::reason() const noexcept {
  return parts_.server_answer ? server_reason(parts_.status) : reason_phrase(parts_.status);
}

bool ResponseSerializer::chunked() const noexcept { return framing() == Framing::chunked; }

std::size_t ResponseSerializer::prepare() noexcept {
  status_text_ = decimal<Number>(parts_.status);
  std::size_t total = kStatusPrefix.size() + status_text_.length + 1 +
                      reason().size() + kCrlf.size();
  if (!saw_server_) total += parts_.server_line.size();
  if (!saw_date_) total += parts_.date_line.size();
  total += headers_size_;
  const std::size_t body = parts_.body.size();
  switch (framing()) {
    case Framing::none_no_body: break;
    case Framing::none_raw_body: total += body; break;
    case Framing::content_length:
      body_size_ = decimal<Number>(body + parts_.body_after);
      total += kContentLength.size() + body_size_.length + kCrlf.size() + body;
      break;
    case Framing::chunked:
      total += kChunkedLine.size();
      if (body != 0) {
        body_size_ = upper_hex<Number>(body);
        total += body_size_.length + 2 * kCrlf.size() + body;
      }
      break;
  }
  if (!saw_connection_ && !parts_.interim) total += keep_alive_ ? kKeepAliveLine.size() : kCloseLine.size();
  return total + kCrlf.size();
}

void ResponseSerializer::write(char* out) const noexcept {
  out = put_bytes(out, kStatusPrefix);
  out = put_bytes(out, status_text_.text());
  *out++ = ' ';
  out = put_bytes(out, reason());
  out = put_crlf(out);
  if (!saw_server_) out = put_bytes(out, parts_.server_line);
  if (!saw_date_) out = put_bytes(out, parts_.date_line);
  for (const HeaderField& header : headers_.view()) {
    out = put_bytes(out, header.name);
    out = put_pair(out, ':', ' ');
    out = put_bytes(out, header.value);
    out = put_crlf(out);
  }
  const Framing how = framing();
  const std::string_view body = parts_.body;
  if (how == Framing::content_length) {
    out = put_bytes(out, kContentLength);
    out = put_bytes(out, body_size_.text());
    out = put_crlf(out);
  } else if (how == Framing::chunked) {
    out = put_bytes(out, kChunkedLine);
  }
  if (!saw_connection_ && !parts_.interim) out = put_bytes(out, keep_alive_ ? kKeepAliveLine : kCloseLine);
  out = put_crlf(out);
  switch (how) {
    case Framing::none_no_body: break;
    case Framing::none_raw_body:
    case Framing::content_length: put_bytes(out, body); break;
    case Framing::chunked:
      if (!body.empty()) {
        out = put_bytes(out, body_size_.text());
        out = put_crlf(out);
        out = put_bytes(out, body);
        put_crlf(out);
      }
      break;
  }
}

}  // namespace tessaryne::http
