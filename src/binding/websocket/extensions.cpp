// negotiate_permessage_deflate(): the server's side of agreeing
// permessage-deflate in a WebSocket handshake.

#include <string_view>
#include <vector>

#include "binding/classes.hpp"
#include "binding/common/args.hpp"
#include "binding/common/native_class.hpp"
#include "binding/common/values.hpp"
#include "binding/websocket/ws_options.hpp"
#include "core/websocket/extensions.hpp"

namespace tessaryne::binding {
namespace {

constexpr Parameters<5> kNegotiate{
    "negotiate_permessage_deflate()",
    {"offers", kWebSocketOptionNames[4], kWebSocketOptionNames[5], kWebSocketOptionNames[6], kWebSocketOptionNames[7]},
    1};

void set_setting(PyObject* dict, const char* name, const PyRef& value) {
  if (PyDict_SetItemString(dict, name, value.get()) != 0) throw PythonError{};
}

PyObject* negotiate(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto bound = kNegotiate.bind(args, nargsf, kwnames);
    const websocket::DeflateParameters preferences = to_deflate_parameters({bound[1], bound[2], bound[3], bound[4]});
    // A private copy: the caller's list may change while it is read.
    const PyRef offers = checked_ref(PySequence_Tuple(bound[0]));
    std::vector<std::string_view> headers;
    headers.reserve(static_cast<std::size_t>(PyTuple_GET_SIZE(offers.get())));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(offers.get()); ++i) {
      headers.push_back(to_bytes(PyTuple_GET_ITEM(offers.get(), i), "offers"));
    }
    const auto agreed = websocket::agree_permessage_deflate(headers, preferences);
    if (!agreed) return Py_NewRef(Py_None);
    // The keywords of configure_websocket() that apply the agreement.
    const websocket::DeflateParameters& p = agreed->parameters;
    const PyRef settings = checked_ref(PyDict_New());
    set_setting(settings.get(), kWebSocketOptionNames[3], new_bool(true));
    set_setting(settings.get(), kWebSocketOptionNames[4], new_bool(p.server_no_context_takeover));
    set_setting(settings.get(), kWebSocketOptionNames[5], new_bool(p.client_no_context_takeover));
    set_setting(settings.get(), kWebSocketOptionNames[6], new_int(p.server_max_window_bits));
    set_setting(settings.get(), kWebSocketOptionNames[7], new_int(p.client_max_window_bits));
    return new_tuple(new_bytes(agreed->response), PyRef::borrow(settings.get())).release();
  });
}

}  // namespace

PyMethodDef negotiate_permessage_deflate_def = {
    "negotiate_permessage_deflate", method_cast(negotiate), METH_FASTCALL | METH_KEYWORDS,
    "negotiate_permessage_deflate(offers, server_no_context_takeover=False, client_no_context_takeover=False, "
    "server_max_window_bits=15, client_max_window_bits=15)\n--\n\n"
    "Agree permessage-deflate with the first offer among the Sec-WebSocket-Extensions values `offers` that "
    "the server can serve, asking for the given parameters where the handshake lets it choose. Returns "
    "(response, settings): the value to answer with, and the keywords of configure_websocket() that apply "
    "the agreement; None when no offer can be served. Malformed offers are declined, not errors."};

}  // namespace tessaryne::binding
