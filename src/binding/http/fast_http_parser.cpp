// FastHttpParser: a namespace-like class of static methods.

#include <array>
#include <memory>
#include <string>
#include <utility>

#include "binding/classes.hpp"
#include "binding/common/args.hpp"
#include "binding/common/native_class.hpp"
#include "binding/common/values.hpp"
#include "binding/http/request_objects.hpp"
#include "binding/http/response.hpp"
#include "core/http/head_rules.hpp"
#include "core/http/head_tokenizer.hpp"
#include "core/http/response_serializer.hpp"

namespace tessaryne::binding {
namespace {

constexpr Parameters<8> kFormatResponse{
    "FastHttpParser.format_response()",
    {"status_line", "server_header", "date_header", "headers", "body", "more_body", "is_no_body_status", "keep_alive"}};

constexpr Parameters<1> kParseRequest{"FastHttpParser.parse_request()", {"buf_obj"}};

// Header slots: most heads fit the first table; only a head with more lines
// pays for the second.
constexpr std::size_t kFirstSlots = 128;
constexpr std::size_t kSecondSlots = 512;

PyObject* parse_head(std::string_view input) {
  std::array<http::HeaderLine, kFirstSlots> slots;
  std::span<http::HeaderLine> table(slots);
  std::unique_ptr<http::HeaderLine[]> more_slots;
  http::RequestHead head;
  http::HeadResult result = http::tokenize_head(input, table, head);
  if (result.status == http::HeadStatus::error && result.error == http::HeadError::too_many_headers) {
    more_slots = std::make_unique<http::HeaderLine[]>(kSecondSlots);
    table = std::span<http::HeaderLine>(more_slots.get(), kSecondSlots);
    result = http::tokenize_head(input, table, head);
  }
  if (result.status == http::HeadStatus::partial) Py_RETURN_NONE;
  if (result.status == http::HeadStatus::error) {
    const std::string message = "Malformed HTTP request: " + std::string(http::reason_text(result.error));
    raise(PyExc_RuntimeError, message.c_str());
  }

  const std::span<const http::HeaderLine> headers = table.first(head.header_count);
  const http::HeadFacts facts = http::scan_headers(headers, head.minor_version);
  if (facts.conflicting()) raise(PyExc_ValueError, "Bad Request: Conflicting HTTP headers");

  const http::TargetParts target = http::split_target(head.target);
  // Content-Length is unsigned: a value of 2**63 or more stays the exact integer.
  PyRef content_length = facts.has_content_length ? new_int(facts.content_length) : checked_ref(PyLong_FromLong(-1));
  return new_tuple(new_text(head.method), new_text(target.path), new_bytes(target.path), new_bytes(target.query),
                   new_text(http::version_text(head.minor_version)), new_header_list(headers), new_int(head.length),
                   std::move(content_length), new_bool(facts.keep_alive), new_bool(facts.chunked),
                   new_bool(facts.connection_upgrade), new_lowered_bytes(facts.upgrade_value))
      .release();
}

PyObject* parser_parse_request(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto bound = kParseRequest.bind(args, nargsf, kwnames);
    const BufferArg buffer(bound[0]);
    return parse_head(buffer.bytes());
  });
}

PyObject* parser_format_response(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto bound = kFormatResponse.bind(args, nargsf, kwnames);
    const std::uint16_t status = http::status_from_line(to_bytes(bound[0], "status_line"));
    return format_response(status, &bound[1]);
  });
}

PyMethodDef parser_methods[] = {
    {"parse_request", method_cast(parser_parse_request), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "parse_request(buf_obj)\n--\n\n"},
    {"format_response", method_cast(parser_format_response), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "format_response(status_line, server_header, date_header, headers, body, more_body, "
     "is_no_body_status, keep_alive)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot parser_slots[] = {
    {Py_tp_doc, const_cast<char*>("Zero-copy HTTP/1.x request header parser powered by SIMD httparse.")},
    {Py_tp_methods, parser_methods},
    {0, nullptr},
};

PyType_Spec parser_spec = {
    "tessaryne._tessaryne_core.FastHttpParser",      sizeof(PyObject), 0,
    kClassFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION, parser_slots,
};

}  // namespace

PyTypeObject* fast_http_parser_type() noexcept {
  static ProcessOnce<PyObject> type;
  return reinterpret_cast<PyTypeObject*>(type.get([] { return create_class(&parser_spec, ClassDoc::kept); }));
}

}  // namespace tessaryne::binding
