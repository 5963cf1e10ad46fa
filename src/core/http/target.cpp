#include "core/http/target.hpp"

#include "core/common/byte_scan.hpp"
#include "core/common/hex.hpp"

namespace tessaryne::http {

std::string_view origin_path(std::string_view path) noexcept {
  std::string_view rest;
  if (path.size() >= 7 && common::equals_lowercase(path.substr(0, 7), "http://")) {
    rest = path.substr(7);
  } else if (path.size() >= 8 && common::equals_lowercase(path.substr(0, 8), "https://")) {
    rest = path.substr(8);
  } else {
    return path;
  }
  const std::size_t slash = rest.find('/');
  return slash == std::string_view::npos ? std::string_view("/") : rest.substr(slash);
}

bool servable_target(std::string_view method, std::string_view target) noexcept {
  if (target.starts_with('/')) return true;
  if (target == "*") return method == "OPTIONS";
  const std::string_view path = origin_path(target);
  if (path.data() == target.data()) return false;  // not http or https
  // What the scheme leaves: a host, which an http URI must have.
  const std::string_view rest = target.substr(target.find("//") + 2);
  return !rest.empty() && rest.front() != '/' && rest.front() != '?';
}

std::string_view percent_decoded(std::string_view raw, std::string& out) {
  if (raw.find('%') == std::string_view::npos) return raw;
  out.clear();
  out.reserve(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '%' && i + 2 < raw.size()) {
      const int high = common::hex_digit_value(raw[i + 1]);
      const int low = common::hex_digit_value(raw[i + 2]);
      if (high >= 0 && low >= 0) {
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
        continue;
      }
    }
    out.push_back(raw[i]);
  }
  return out;
}

}  // namespace tessaryne::http
