#include "core/wsgi/environ.hpp"

#include "core/common/byte_scan.hpp"

namespace tessaryne::wsgi {

bool environ_name(std::string_view header, std::string& out) {
  if (header.find('_') != std::string_view::npos) return false;
  out.clear();
  if (!common::equals_lowercase(header, "content-type") && !common::equals_lowercase(header, "content-length"))
    out = "HTTP_";
  for (const char c : header) out.push_back(c == '-' ? '_' : common::ascii_upper(c));
  return true;
}

std::string_view join_separator(std::string_view header) noexcept {
  return common::equals_lowercase(header, "cookie") ? "; " : ",";
}

}  // namespace tessaryne::wsgi
