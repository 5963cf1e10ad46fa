#pragma once
// The reason phrases written in status lines: one table, read with the
// default of each kind of response.

#include <cstdint>
#include <string_view>

namespace tessaryne::http {

// A response the application formats: every code without its own phrase gets "OK".
// The server's own 101 (the WebSocket handshake) and 408 (a client too slow to
// send its request) carry their standard phrases.
constexpr std::string_view reason_phrase(std::uint16_t status) noexcept {
  switch (status) {
    case 101:
      return "Switching Protocols";
    case 201:
      return "Created";
    case 204:
      return "No Content";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 304:
      return "Not Modified";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 408:
      return "Request Timeout";
    case 413:
      return "Payload Too Large";
    case 426:
      return "Upgrade Required";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    default:
      return "OK";
  }
}

// The answers only the server writes itself carry their standard phrases; an
// application's 414 or 501 keeps the table's default.
constexpr std::string_view server_reason(std::uint16_t status) noexcept {
  switch (status) {
    case 100:
      return "Continue";
    case 103:
      return "Early Hints";
    case 206:
      return "Partial Content";
    case 414:
      return "URI Too Long";
    case 416:
      return "Range Not Satisfiable";
    case 501:
      return "Not Implemented";
    default:
      return reason_phrase(status);
  }
}

// An error response the engine writes: 400, 413, 414 and 431 (the faults it
// answers) have their own phrase; any other code is answered as
// "Internal Server Error".
constexpr std::string_view error_reason(std::uint16_t status) noexcept {
  constexpr std::uint16_t kInternalServerError = 500;
  const bool answered_fault = status == 400 || status == 413 || status == 414 || status == 431;
  return server_reason(answered_fault ? status : kInternalServerError);
}

}  // namespace tessaryne::http
