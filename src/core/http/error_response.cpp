#include "core/http/error_response.hpp"

#include <algorithm>
#include <charconv>

#include "core/http/reason_phrase.hpp"

namespace tessaryne::http {

ErrorResponse::ErrorResponse(std::uint16_t status, std::string_view detail) noexcept {
  detail = detail.substr(0, kMaxDetail);
  char* out = bytes_.data();
  char* const end = bytes_.data() + bytes_.size();
  auto put = [&](std::string_view text) { out = std::copy(text.begin(), text.end(), out); };
  put("HTTP/1.1 ");
  out = std::to_chars(out, end, status).ptr;
  put(" ");
  put(error_reason(status));
  put("\r\nserver: tessaryne\r\nconnection: close\r\ncontent-length: ");
  out = std::to_chars(out, end, detail.size()).ptr;
  put("\r\n\r\n");
  put(detail);
  size_ = static_cast<std::size_t>(out - bytes_.data());
}

}  // namespace tessaryne::http
