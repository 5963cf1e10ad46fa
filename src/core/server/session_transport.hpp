#pragma once
// What a WebSocket session writes through and reads from: a whole HTTP/1.1
// connection after its upgrade, or one HTTP/2 stream opened by an extended
// CONNECT (RFC 8441), whose frames travel in the stream's DATA.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/http/connection.hpp"
#include "core/http/response_serializer.hpp"
#include "core/server/exchange.hpp"

namespace tessaryne::server {

class SessionTransport {
 public:
  // The handshake's answer (101 for the switch, or a denial or a refusal)
  // with the server's lines; `chunked` tells how the rest of the body must go.
  virtual SendResult write_response(std::uint16_t status, std::span<const http::HeaderField> headers,
                                    std::string_view body, bool more_body, bool no_body, bool& chunked) = 0;
  // Raw bytes: the session's frames, or more of a denial's body.
  virtual void write(std::span<const std::string_view> parts) = 0;
  // Sends what is queued, then ends.
  virtual void close() = 0;
  // Ends at once, dropping what is queued.
  virtual void abort() = 0;
  virtual void pause_reading() = 0;
  virtual void resume_reading() = 0;
  virtual void switch_to_websocket() = 0;
  // The engine whose frame loop reads the client's frames and formats the session's.
  [[nodiscard]] virtual http::Connection& engine() noexcept = 0;
  [[nodiscard]] virtual bool gone() const noexcept = 0;
  [[nodiscard]] virtual bool write_paused() const noexcept = 0;
  [[nodiscard]] virtual std::size_t pending_output() const noexcept = 0;

 protected:
  SessionTransport() = default;
  SessionTransport(const SessionTransport&) = default;
  SessionTransport& operator=(const SessionTransport&) = default;
  ~SessionTransport() = default;
};

}  // namespace tessaryne::server
