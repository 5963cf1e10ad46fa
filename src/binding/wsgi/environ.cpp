// The environ of a WSGI request, built from the parsed head, the connection's
// peers and what a trusted proxy says; the variables of the header lines
// come from core/wsgi/environ.*. What every environ shares (wsgi.version,
// wsgi.errors, SCRIPT_NAME, ...) is the driver's template, copied.

#include <string>

#include "binding/common/errors.hpp"
#include "binding/common/values.hpp"
#include "binding/http/request_objects.hpp"
#include "binding/server/driver_parts.hpp"
#include "core/http/head_rules.hpp"
#include "core/http/target.hpp"
#include "core/wsgi/environ.hpp"

namespace tessaryne::binding::serving {
namespace {

struct EnvironNames {
  PyObject* request_method = interned("REQUEST_METHOD");
  PyObject* path_info = interned("PATH_INFO");
  PyObject* query_string = interned("QUERY_STRING");
  PyObject* server_name = interned("SERVER_NAME");
  PyObject* server_port = interned("SERVER_PORT");
  PyObject* server_protocol = interned("SERVER_PROTOCOL");
  PyObject* remote_addr = interned("REMOTE_ADDR");
  PyObject* remote_port = interned("REMOTE_PORT");
  PyObject* url_scheme = interned("wsgi.url_scheme");
  PyObject* input = interned("wsgi.input");
  PyObject* http = interned("http");
  PyObject* https = interned("https");
};

const EnvironNames& environ_names() {
  static const EnvironNames made;  // interned once per process and kept
  return made;
}

// Native strings, as PEP 3333 has them: bytes read as latin-1.
PyRef latin1(std::string_view bytes) {
  return checked_ref(PyUnicode_DecodeLatin1(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr));
}

// A (host, port) endpoint's parts as text; a Unix socket's server is (path, None).
void set_endpoint(PyObject* environ, PyObject* endpoint, PyObject* host_key, PyObject* port_key) {
  if (!PyTuple_Check(endpoint) || PyTuple_GET_SIZE(endpoint) != 2) return;
  set_item(environ, host_key, PyRef::borrow(PyTuple_GET_ITEM(endpoint, 0)));
  PyObject* port = PyTuple_GET_ITEM(endpoint, 1);
  set_item(environ, port_key, port == Py_None ? latin1({}) : checked_ref(PyObject_Str(port)));
}

}  // namespace

PyRef ConnectionValue::new_environ(const http::RequestEvent& event, std::string_view raw_path, PyObject* input,
                                   ExchangeValue& request) {
  const EnvironNames& n = environ_names();
  PyRef environ = checked_ref(PyDict_Copy(shared->wsgi_environ.get()));
  PyObject* dict = environ.get();
  auto [environ_client, environ_server, secure] = peers(event);
  PyRef method = new_text(event.method);
  std::string decoded_bytes;
  set_item(dict, n.request_method, method);
  set_item(dict, n.path_info, latin1(http::percent_decoded(raw_path, decoded_bytes)));
  set_item(dict, n.query_string, latin1(event.target_parts.query));
  set_item(dict, n.server_protocol, new_text(http::protocol_text(event.minor_version, event.major_version)));
  set_endpoint(dict, environ_server.get(), n.server_name, n.server_port);
  set_endpoint(dict, environ_client.get(), n.remote_addr, n.remote_port);
  set_item(dict, n.url_scheme, PyRef::borrow(secure ? n.https : n.http));
  set_item(dict, n.input, PyRef::borrow(input));
  std::string name;
  std::string value;
  wsgi::walk_environ_headers(event.headers, name, value, [&](std::string_view variable, std::string_view text) {
    set_item(dict, latin1(variable).get(), latin1(text));
  });
  if (shared->access.get() != Py_None && !shared->access_format) {
    request.client = std::move(environ_client);
    request.method = std::move(method);
    request.raw_path = new_bytes(raw_path);
    request.query = new_bytes(event.target_parts.query);
    request.version = new_text(http::version_text(event.minor_version, event.major_version));
  }
  return environ;
}

}  // namespace tessaryne::binding::serving
