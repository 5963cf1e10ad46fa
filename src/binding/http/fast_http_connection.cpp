// FastHttpConnection: the per-connection protocol engine and its static serializers.

#include "binding/classes.hpp"
#include "binding/common/args.hpp"
#include "binding/common/native_class.hpp"
#include "binding/http/response.hpp"
#include "core/http/connection_limits.hpp"

namespace tessaryne::binding {
namespace {

using Connection = http::ConnectionLimits;

constexpr Parameters<3> kNew{
    "FastHttpConnection.__new__()", {"max_body_size", "max_header_size", "max_keepalive_requests"}, 0};
constexpr Parameters<8> kFormatResponse{
    "FastHttpConnection.format_response()",
    {"status_code", "server_header", "date_header", "headers", "body", "more_body",
     "is_no_body_status", "keep_alive"}};

PyObject* connection_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    const auto bound = kNew.bind(args, kwargs);
    http::ConnectionLimits limits;
    if (bound[0] != nullptr) limits.max_body_size = to_u64(bound[0], "max_body_size");
    if (bound[1] != nullptr) limits.max_header_size = to_u64(bound[1], "max_header_size");
    if (bound[2] != nullptr) limits.max_keepalive_requests = to_u64(bound[2], "max_keepalive_requests");
    return new_native<Connection>(type, limits);
  });
}

PyObject* connection_format_response(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto bound = kFormatResponse.bind(args, nargsf, kwnames);
    return format_response(to_u16(bound[0], "status_code"), &bound[1]);
  });
}

PyMethodDef connection_methods[] = {
    {"format_response", method_cast(connection_format_response), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "format_response(status_code, server_header, date_header, headers, body, more_body, "
     "is_no_body_status, keep_alive)\n--\n\n"
     "Fast zero-alloc HTTP/1.1 response wire serializer and CRLF safety scanner.\n"
     "Returns: (response_bytes, is_chunked, keep_alive)"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot connection_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "FastHttpConnection(max_body_size=..., max_header_size=..., max_keepalive_requests=1000)\n"
                    "--\n\n"
                    "High-performance stateful HTTP/1.1 and WebSocket protocol engine.\n\n"
                    "Acts as a pure protocol state machine and wire serializer. Holds internal\n"
                    "byte buffers and manages request parsing, RFC 9112 chunked transfer decoding,\n"
                    "request smuggling prevention, Keep-Alive pipelining, and RFC 6455 framing.")},
    {Py_tp_new, reinterpret_cast<void*>(connection_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_native<Connection>)},
    {Py_tp_methods, connection_methods},
    {0, nullptr},
};

PyType_Spec connection_spec = {
    "tessaryne._tessaryne_core.FastHttpConnection",
    sizeof(NativeObject<Connection>),
    0,
    kClassFlags,
    connection_slots,
};

}  // namespace

PyTypeObject* fast_http_connection_type() noexcept {
  static ProcessOnce<PyObject> type;
  return reinterpret_cast<PyTypeObject*>(
      type.get([] { return create_class(&connection_spec, ClassDoc::kept); }));
}

}  // namespace tessaryne::binding
