// Agrees permessage-deflate with arbitrary Sec-WebSocket-Extensions values
// (one per line, the first byte choosing the server's preferences) and
// checks that every agreement is one the server can serve, and that the
// answer, read back as an offer, agrees on exactly the same parameters.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "core/websocket/extensions.hpp"

using namespace tessaryne::websocket;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  DeflateParameters preferences;
  preferences.server_no_context_takeover = (data[0] & 1) != 0;
  preferences.client_no_context_takeover = (data[0] & 2) != 0;
  preferences.server_max_window_bits = static_cast<std::uint8_t>(9 + ((data[0] >> 2) & 7) % 7);
  preferences.client_max_window_bits = static_cast<std::uint8_t>(8 + ((data[0] >> 5) & 7));
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::vector<std::string_view> headers;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    headers.push_back(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
  }
  const auto agreed = agree_permessage_deflate(headers, preferences);
  if (!agreed) return 0;
  const DeflateParameters& p = agreed->parameters;
  if (p.server_max_window_bits < 9 || p.server_max_window_bits > preferences.server_max_window_bits ||
      p.client_max_window_bits < 8 || p.client_max_window_bits > 15)
    std::abort();
  const std::string_view answer = agreed->response;
  const auto again = agree_permessage_deflate({&answer, 1}, DeflateParameters{});
  if (!again || again->response != agreed->response) std::abort();
  const DeflateParameters& q = again->parameters;
  if (q.server_no_context_takeover != p.server_no_context_takeover ||
      q.client_no_context_takeover != p.client_no_context_takeover ||
      q.server_max_window_bits != p.server_max_window_bits || q.client_max_window_bits != p.client_max_window_bits)
    std::abort();
  return 0;
}
