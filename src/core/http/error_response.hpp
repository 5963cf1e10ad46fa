#pragma once
// The complete response written before a connection is closed for a protocol
// fault: status line, server and connection headers, and the detail as body.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tessaryne::http {

// Reason phrase of an error status: 400, 413 and 431 have their own, every
// other code is answered as "Internal Server Error".
[[nodiscard]] std::string_view error_reason(std::uint16_t status) noexcept;

class ErrorResponse {
 public:
  // `detail` is at most kMaxDetail bytes (the engine's own fixed texts).
  ErrorResponse(std::uint16_t status, std::string_view detail) noexcept;
  [[nodiscard]] std::string_view bytes() const noexcept { return {bytes_.data(), size_}; }

  static constexpr std::size_t kMaxDetail = 64;

 private:
  std::array<char, 192> bytes_{};
  std::size_t size_ = 0;
};

}  // namespace tessaryne::http
