// Reads arbitrary proxy headers and checks what must hold whatever they say:
// a client is an address and a server a host, both views into the values;
// and the proxy's own entries, appended last as separate lines, always give
// the client, whatever a client put before them (spoofing).
//
// Input: the trust list on the first line, a peer's host on the second, then
// header lines "name:value".

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <vector>

#include "core/server/proxy_headers.hpp"

using namespace tessaryne;

namespace {

std::string_view next_line(std::string_view& rest) {
  const std::size_t end = rest.find('\n');
  const std::string_view line = rest.substr(0, end);
  rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
  return line;
}

bool inside_a_value(std::string_view text, const std::vector<http::HeaderLine>& lines) {
  for (const http::HeaderLine& line : lines)
    if (text.data() >= line.value.data() && text.data() + text.size() <= line.value.data() + line.value.size())
      return true;
  return false;
}

void check(const server::ProxyView& view, const std::vector<http::HeaderLine>& lines) {
  if (view.client && (!server::parse_ip(view.client->host) || !inside_a_value(view.client->host, lines))) std::abort();
  if (view.server && (view.server->host.empty() || !inside_a_value(view.server->host, lines))) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  const std::string_view list = next_line(rest);
  const std::string_view peer = next_line(rest);
  std::vector<http::HeaderLine> lines;
  while (!rest.empty()) {
    const std::string_view line = next_line(rest);
    const std::size_t colon = line.find(':');
    if (colon != std::string_view::npos) lines.push_back({line.substr(0, colon), line.substr(colon + 1)});
  }
  if (const auto trust = server::ProxyTrust::parse(list)) {
    (void)trust->trusts_peer(peer);
    check(server::read_proxy_headers(lines, *trust, false), lines);
  }
  const auto trust = server::ProxyTrust::parse("127.0.0.1, 10.0.0.0/8, 2001:db8::/32");
  if (!trust) std::abort();
  check(server::read_proxy_headers(lines, *trust, true), lines);
  lines.push_back({"Forwarded", "for=198.51.100.9"});
  lines.push_back({"X-Forwarded-For", "198.51.100.9"});
  const server::ProxyView view = server::read_proxy_headers(lines, *trust, false);
  check(view, lines);
  if (!view.client || view.client->host != "198.51.100.9" || view.client->port != 0) std::abort();
  return 0;
}
