// FastHttpParser: a namespace-like class of static methods.

#include "binding/classes.hpp"
#include "binding/common/args.hpp"
#include "binding/common/native_class.hpp"
#include "binding/http/response.hpp"
#include "core/http/response_serializer.hpp"

namespace tessaryne::binding {
namespace {

constexpr Parameters<8> kFormatResponse{
    "FastHttpParser.format_response()",
    {"status_line", "server_header", "date_header", "headers", "body", "more_body",
     "is_no_body_status", "keep_alive"}};

PyObject* parser_format_response(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto bound = kFormatResponse.bind(args, nargsf, kwnames);
    const std::uint16_t status = http::status_from_line(to_bytes(bound[0], "status_line"));
    return format_response(status, &bound[1]);
  });
}

PyMethodDef parser_methods[] = {
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
    "tessaryne._tessaryne_core.FastHttpParser",
    sizeof(PyObject),
    0,
    kClassFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    parser_slots,
};

}  // namespace

PyTypeObject* fast_http_parser_type() noexcept {
  static ProcessOnce<PyObject> type;
  return reinterpret_cast<PyTypeObject*>(type.get([] { return create_class(&parser_spec, ClassDoc::kept); }));
}

}  // namespace tessaryne::binding
