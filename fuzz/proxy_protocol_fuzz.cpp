// Reads arbitrary bytes as a PROXY protocol header and checks what must hold
// whatever they are: the bytes are judged the same however they are split
// (a shorter prefix either needs more or already says what the whole says);
// a header is done exactly when its last byte arrives and never reaches past
// the input; a v1 line ends with CRLF within 107 bytes; UNIX paths are views
// into the header without a NUL.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/server/proxy_protocol.hpp"

using namespace tessaryne;
using server::ProxyHeader;
using server::ProxyStatus;

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

bool inside(std::string_view view, std::string_view input) {
  return view.empty() || (view.data() >= input.data() && view.data() + view.size() <= input.data() + input.size());
}

// The prefix of `length` bytes agrees with the whole input's result.
void check_prefix(std::string_view input, std::size_t length, const ProxyHeader& whole) {
  const ProxyHeader prefix = server::read_proxy_header(input.substr(0, length));
  require(prefix.status == ProxyStatus::needs_more || prefix == whole);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const ProxyHeader whole = server::read_proxy_header(input);
  if (whole.status == ProxyStatus::done) {
    require(whole.consumed >= 1 && whole.consumed <= size);
    if (whole.version == 1) {
      require(whole.consumed <= server::kProxyV1MaxBytes && input.substr(0, whole.consumed).ends_with("\r\n"));
      require(input.starts_with("PROXY "));
    } else {
      require(whole.version == 2 && whole.consumed >= server::kProxyV2FixedBytes);
    }
    // Decided by its last byte, and by nothing after it.
    require(server::read_proxy_header(input.substr(0, whole.consumed - 1)).status == ProxyStatus::needs_more);
    require(server::read_proxy_header(input.substr(0, whole.consumed)) == whole);
    if (whole.addresses && whole.addresses->family == server::ProxyFamily::unix_stream) {
      for (const std::string_view path : {whole.addresses->source_path, whole.addresses->destination_path}) {
        require(inside(path, input.substr(0, whole.consumed)) && path.size() <= 108);
        require(path.find('\0') == std::string_view::npos);
      }
    }
  } else {
    require(!whole.addresses && whole.consumed == 0 && whole.version == 0);
  }
  // Every short prefix (a v1 line and v2's fixed part lie within them), and a few longer ones.
  for (std::size_t length = 0; length <= std::min<std::size_t>(size, 128); ++length) check_prefix(input, length, whole);
  check_prefix(input, size / 2, whole);
  if (size > 0) check_prefix(input, size - 1, whole);
  return 0;
}
