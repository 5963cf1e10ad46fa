// Feeds arbitrary request targets to the path rules and checks what must
// hold for every one: an absolute form gives a path the target ends with (or
// "/"), decoding never lengthens a path, and every byte written as "%XX"
// decodes to itself, whatever surrounds it; a target the server serves gives
// the app a path that begins with "/" (or is OPTIONS's "*").

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/http/target.hpp"

using namespace tessaryne::http;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view target(reinterpret_cast<const char*>(data), size);

  const std::string_view path = origin_path(target);
  const bool absolute = path.data() != target.data();
  if (absolute && path != "/" && !target.ends_with(path)) std::abort();
  if (absolute && path.front() != '/') std::abort();
  for (const std::string_view method : {"GET", "OPTIONS"})
    if (servable_target(method, target) && !path.starts_with('/') && !(method == "OPTIONS" && target == "*"))
      std::abort();

  std::string decoded;
  if (percent_decoded(target, decoded).size() > target.size()) std::abort();

  std::string escaped;
  for (const char c : target) {
    escaped += '%';
    escaped += "0123456789abcdef"[static_cast<unsigned char>(c) >> 4];
    escaped += "0123456789ABCDEF"[static_cast<unsigned char>(c) & 0xF];
  }
  if (percent_decoded(escaped, decoded) != target) std::abort();
  return 0;
}
