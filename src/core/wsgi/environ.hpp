#pragma once
// The variables of a WSGI environ that come from the request's header lines,
// by CGI's rules as PEP 3333 takes them: "HTTP_" and the name upper-cased,
// '-' written '_'; Content-Type and Content-Length as CONTENT_TYPE and
// CONTENT_LENGTH, without the prefix.
//
// A header sent several times is one variable: its values joined by ","
// (a list header's lines are one list), except Cookie's, joined by "; " as a
// single Cookie line writes them. A name holding '_' is dropped: CGI's
// mapping would make "X_Forwarded_For" the same variable as
// X-Forwarded-For, which a proxy in front may vouch for.

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "core/common/byte_scan.hpp"
#include "core/http/head_tokenizer.hpp"

namespace tessaryne::wsgi {

// The variable a header line goes to, written into `out`; false when the
// name is dropped.
bool environ_name(std::string_view header, std::string& out);

// What joins the values of one header's repeated lines.
std::string_view join_separator(std::string_view header) noexcept;

// Calls emit(name, value) once per variable, in the order of each header's
// first line. `name` and `value` are scratch the caller keeps between
// requests; the views passed are valid during the call only.
template <class Emit>
void walk_environ_headers(std::span<const http::HeaderLine> lines, std::string& name, std::string& value, Emit&& emit) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string_view header = lines[i].name;
    if (!environ_name(header, name)) continue;
    bool carried = false;  // an earlier line of this name made the variable
    for (std::size_t j = 0; j < i && !carried; ++j) carried = common::equals_ignoring_case(lines[j].name, header);
    if (carried) continue;
    value.assign(lines[i].value);
    const std::string_view separator = join_separator(header);
    for (std::size_t j = i + 1; j < lines.size(); ++j) {
      if (!common::equals_ignoring_case(lines[j].name, header)) continue;
      value += separator;
      value += lines[j].value;
    }
    emit(std::string_view(name), std::string_view(value));
  }
}

}  // namespace tessaryne::wsgi
