#pragma once
// The complete response written before a connection is closed for a protocol
// fault: status line, server and connection headers, and the detail as body.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tessaryne::http {

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
