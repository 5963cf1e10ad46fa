// The names every request uses and the scope of each: built from the parsed
// head, the connection's peer and what a trusted proxy says.

#include "binding/server/driver_parts.hpp"

#include <span>
#include <string>

#include "binding/common/errors.hpp"
#include "binding/common/values.hpp"
#include "binding/http/request_objects.hpp"
#include "core/common/byte_scan.hpp"
#include "core/common/header_value.hpp"
#include "core/http/target.hpp"

namespace tessaryne::binding::serving {
namespace {

// The path as ASGI gives it: percent-decoded, then read as UTF-8 (invalid
// sequences become U+FFFD), after the root path.
PyRef decoded_path(std::string_view raw, PyObject* root_path) {
  std::string bytes;
  const std::string_view decoded = http::percent_decoded(raw, bytes);
  PyRef path =
      decoded.data() == raw.data()
          ? new_text(raw)
          : checked_ref(PyUnicode_DecodeUTF8(decoded.data(), static_cast<Py_ssize_t>(decoded.size()), "replace"));
  if (PyUnicode_GET_LENGTH(root_path) == 0) return path;
  return checked_ref(PyUnicode_Concat(root_path, path.get()));
}

// A scope's client or server from what a proxy's headers say.
PyRef new_endpoint(const server::Endpoint& endpoint) {
  return new_tuple(new_text(endpoint.host), new_int(endpoint.port));
}

// Subprotocols a WebSocket client offers, in order, as text.
PyRef new_subprotocols(std::span<const http::HeaderLine> headers) {
  PyRef list = checked_ref(PyList_New(0));
  for (const http::HeaderLine& line : headers) {
    if (!common::equals_lowercase(line.name, "sec-websocket-protocol")) continue;
    common::for_each_element(line.value, [&](std::string_view item) {
      append_to_list(list.get(),
                     checked_ref(PyUnicode_DecodeLatin1(item.data(), static_cast<Py_ssize_t>(item.size()), nullptr)));
    });
  }
  return list;
}

// A dict with the scope's keys in order, each None: copying it gives a dict
// already sized for every item, so filling it in never grows it.
PyObject* scope_template(bool websocket) {
  const auto make = [](bool for_websocket) {
    const Names& n = names();
    PyObject* dict = PyDict_New();
    if (dict == nullptr) throw PythonError{};
    for (PyObject* key : {n.type, n.asgi, n.http_version, n.method, n.scheme, n.path, n.raw_path, n.query_string,
                          n.root_path, n.headers, n.client, n.server, n.state, n.subprotocols, n.extensions}) {
      if ((key == n.method && for_websocket) || (key == n.subprotocols && !for_websocket)) continue;
      if (PyDict_SetItem(dict, key, Py_None) != 0) throw PythonError{};
    }
    return dict;
  };
  // Made once per process and kept, like the interned names.
  static PyObject* const http = make(false);
  static PyObject* const websocket_scope = make(true);
  return websocket ? websocket_scope : http;
}

}  // namespace

PyObject* interned(const char* text) { return checked(PyUnicode_InternFromString(text)); }

const Names& names() {
  // Made once per process and kept: interned strings outlive every request.
  static const Names made;
  return made;
}

void check_thread(unsigned long owner) {
  if (PyThread_get_thread_ident() != owner)
    raise(PyExc_RuntimeError, "a connection is served by its own event loop's thread only");
}

// Wakes a future of the loop with None, unless it is done (say, cancelled).
void wake_future(const PyRef& future) {
  if (!future) return;
  PyRef done = checked_ref(PyObject_CallMethodNoArgs(future.get(), names().done));
  if (done.get() == Py_True) return;
  PyRef result = checked_ref(PyObject_CallMethodOneArg(future.get(), names().set_result, Py_None));
}

void set_item(PyObject* dict, PyObject* key, const PyRef& value) {
  if (PyDict_SetItem(dict, key, value.get()) != 0) throw PythonError{};
}

PyRef message_of(PyObject* type) {
  PyRef message = checked_ref(PyDict_New());
  set_item(message.get(), names().type, PyRef::borrow(type));
  return message;
}

// What the server honours beyond plain ASGI. Each scope has its own dict,
// for the app may add to it; the empty dicts inside are shared.
PyRef ConnectionValue::new_extensions(const http::RequestEvent& event, bool websocket) const {
  const Names& n = names();
  static PyObject* const empty = checked_ref(PyDict_New()).release();
  PyRef extensions = checked_ref(PyDict_New());
  // What an HTTP/1.0 client cannot read.
  const bool http11 = event.minor_version == 1 || event.major_version == 2;
  if (!websocket) {
    set_item(extensions.get(), n.response_pathsend, PyRef::borrow(empty));
    set_item(extensions.get(), n.response_zerocopysend, PyRef::borrow(empty));
    if (http11) set_item(extensions.get(), n.response_early_hint, PyRef::borrow(empty));
    if (http11 && event.facts.accepts_trailers) set_item(extensions.get(), n.response_trailers, PyRef::borrow(empty));
  }
  if (tls_extension) set_item(extensions.get(), n.tls, tls_extension);
  return extensions;
}

ConnectionValue::Peers ConnectionValue::peers(const http::RequestEvent& event) const {
  Peers peers{PyRef::borrow(client.get()), PyRef::borrow(server.get()), tls};
  if (proxied) {
    const server::ProxyView view = server::read_proxy_headers(event.headers, *shared->proxy_trust, tls);
    peers.secure = view.secure;
    if (view.client) peers.client = new_endpoint(*view.client);
    if (view.server) peers.server = new_endpoint(*view.server);
  }
  return peers;
}

PyRef ConnectionValue::new_scope(const http::RequestEvent& event, std::string_view raw_path, ExchangeValue* request) {
  const Names& n = names();
  DriverShared& driver = *shared;
  const bool websocket = request == nullptr;
  PyRef scope = checked_ref(PyDict_Copy(scope_template(websocket)));
  PyObject* dict = scope.get();
  PyRef version = new_text(http::version_text(event.minor_version, event.major_version));
  PyRef raw = new_bytes(raw_path);
  PyRef query = new_bytes(event.target_parts.query);
  auto [scope_client, scope_server, secure] = peers(event);
  set_item(dict, n.type, PyRef::borrow(websocket ? n.websocket : n.http));
  set_item(dict, n.asgi, PyRef::borrow(driver.asgi.get()));
  set_item(dict, n.http_version, version);
  set_item(dict, n.scheme, PyRef::borrow(websocket ? (secure ? n.wss : n.ws) : (secure ? n.https : n.http)));
  set_item(dict, n.path, decoded_path(raw_path, driver.root_path.get()));
  set_item(dict, n.raw_path, raw);
  set_item(dict, n.query_string, query);
  set_item(dict, n.root_path, PyRef::borrow(driver.root_path.get()));
  set_item(dict, n.headers, new_header_list(event.headers));
  set_item(dict, n.client, scope_client);
  set_item(dict, n.server, scope_server);
  set_item(dict, n.state, checked_ref(PyDict_Copy(driver.state.get())));
  set_item(dict, n.extensions, new_extensions(event, websocket));
  if (websocket) {
    set_item(dict, n.subprotocols, new_subprotocols(event.headers));
  } else {
    PyRef method = new_text(event.method);
    set_item(dict, n.method, method);
    request->client = std::move(scope_client);
    request->method = std::move(method);
    request->raw_path = std::move(raw);
    request->query = std::move(query);
    request->version = std::move(version);
  }
  return scope;
}

}  // namespace tessaryne::binding::serving
