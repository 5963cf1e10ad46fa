// ConnectionDriver: serves the plain-TCP connections of one event loop
// natively. The loop watches one descriptor (the driver's poller) and calls
// run() when it is ready; the driver reads, parses, answers and closes on its
// own, and calls into Python only to start an application. The settings are
// read by name from the server's config.

#include "binding/server/driver_parts.hpp"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <string>

#include <unistd.h>

#include "binding/classes.hpp"
#include "binding/common/args.hpp"
#include "binding/common/errors.hpp"
#include "binding/common/values.hpp"
#include "binding/server/access_log_format.hpp"
#include "binding/server/server_counters.hpp"
#include "core/server/proxy_protocol.hpp"
#include "core/server/static_files.hpp"

namespace tessaryne::binding {
namespace serving {
namespace {

// Open connections end with their driver: they keep the loop-wide part
// alive and it keeps them, so nothing else would ever close them.
// The open connections, each held, so that ending one (which leaves the map)
// leaves the walk over them intact.
std::vector<PyRef> open_connections(const DriverShared& driver) {
  std::vector<PyRef> open;
  open.reserve(driver.connections.size());
  for (const auto& entry : driver.connections) open.push_back(PyRef::borrow(entry.second.get()));
  return open;
}

void abort_open(const std::shared_ptr<DriverShared>& shared) noexcept {
  if (!shared) return;
  std::vector<PyRef> open;
  try {
    open = open_connections(*shared);
  } catch (...) {
    // Out of memory for the list: the connections stay open until the process ends.
  }
  for (const PyRef& connection : open) {
    try {
      connection_of(connection.get()).core.abort();
    } catch (...) {
      set_error_from_current();
      PyErr_FormatUnraisable("Exception ignored while closing a connection");
    }
  }
  shared->connections.clear();
}

struct DriverValue {
  std::shared_ptr<DriverShared> shared;

  int traverse(visitproc visit, void* arg) const {
    if (!shared) return 0;
    for (const PyRef* ref : {&shared->event_loop, &shared->serve, &shared->task_type, &shared->websocket,
                             &shared->access, &shared->state, &shared->wsgi_environ, &shared->file_wrapper})
      Py_VISIT(ref->get());
    return 0;
  }
  std::shared_ptr<DriverShared> clear() noexcept {
    abort_open(shared);
    return std::move(shared);
  }
  ~DriverValue() { abort_open(shared); }
};

DriverShared& driver_of(PyObject* self) {
  auto& value = native<DriverValue>(self);
  if (!value.shared) raise(PyExc_RuntimeError, "the driver is closed");
  check_thread(value.shared->owner);
  return *value.shared;
}

Clock::duration seconds(PyObject* value, const char* name) {
  const double count = PyFloat_AsDouble(value);
  if (count == -1.0 && PyErr_Occurred()) {
    add_parameter_note(name);
    throw PythonError{};
  }
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(count));
}

constexpr Parameters<13> kDriverNew{"ConnectionDriver.__new__()",
                                    {"config", "loop", "serve", "task", "websocket", "access", "state", "asgi",
                                     "counters", "concurrency", "access_format", "wsgi_environ", "file_wrapper"},
                                    8};

// The poller's token of the WSGI mailbox; connections count up from 1.
constexpr std::uint64_t kMailboxToken = server::Poller::kAlarmToken - 1;

// One of the server's settings, read by its name from the config object.
PyRef setting(PyObject* config, const char* name) {
  PyObject* value = nullptr;
  if (PyObject_GetOptionalAttrString(config, name, &value) < 0) throw PythonError{};
  if (value == nullptr) {
    PyErr_Format(PyExc_TypeError, "the server's settings have no '%s'", name);
    throw PythonError{};
  }
  return PyRef::steal(value);
}

// The header lines every response carries besides the application's: text
// pairs, sent as latin-1.
std::vector<std::pair<std::string, std::string>> added_headers(PyObject* pairs) {
  std::vector<std::pair<std::string, std::string>> headers;
  PyRef iterator = checked_ref(PyObject_GetIter(pairs));
  while (PyRef pair = PyRef::steal(PyIter_Next(iterator.get()))) {
    if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2)
      raise(PyExc_TypeError, "headers must be (name, value) pairs");
    std::array<std::string, 2> texts;
    for (Py_ssize_t i = 0; i < 2; ++i) {
      PyRef encoded = checked_ref(PyUnicode_AsLatin1String(PyTuple_GET_ITEM(pair.get(), i)));
      texts[static_cast<std::size_t>(i)] = std::string(to_bytes(encoded.get(), "headers"));
    }
    headers.emplace_back(std::move(texts[0]), std::move(texts[1]));
  }
  if (PyErr_Occurred() != nullptr) throw PythonError{};
  return headers;
}

// The directories of static_mounts, (route, directory) pairs of text, each
// opened once for the driver's life; null for none.
std::shared_ptr<const server::StaticMounts> static_mounts(PyObject* pairs) {
  auto mounts = std::make_shared<server::StaticMounts>();
  PyRef iterator = checked_ref(PyObject_GetIter(pairs));
  while (PyRef pair = PyRef::steal(PyIter_Next(iterator.get()))) {
    if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2 ||
        !PyUnicode_Check(PyTuple_GET_ITEM(pair.get(), 0)))
      raise(PyExc_TypeError, "static_mounts must be (route, directory) pairs of str");
    const std::string_view route = to_text(PyTuple_GET_ITEM(pair.get(), 0), "static_mounts");
    PyObject* encoded = nullptr;
    if (PyUnicode_FSConverter(PyTuple_GET_ITEM(pair.get(), 1), &encoded) == 0) throw PythonError{};
    const PyRef directory = PyRef::steal(encoded);
    if (const int error = mounts->add(route, std::string(to_bytes(directory.get(), "static_mounts"))); error != 0) {
      errno = error;
      PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, PyTuple_GET_ITEM(pair.get(), 1));
      throw PythonError{};
    }
  }
  if (PyErr_Occurred() != nullptr) throw PythonError{};
  if (mounts->empty()) return nullptr;
  return mounts;
}

// The versions `http` ("auto", "1" or "2") lets a connection speak.
server::ServerSettings::Versions http_versions(PyObject* http) {
  const std::string_view text = to_text(http, "http");
  if (text == "auto") return server::ServerSettings::Versions::any;
  if (text == "1") return server::ServerSettings::Versions::http1;
  if (text == "2") return server::ServerSettings::Versions::http2;
  PyErr_Format(PyExc_ValueError, "http: '%.20s' is not 'auto', '1' or '2'", std::string(text).c_str());
  throw PythonError{};
}

// The trust list of forwarded_allow_ips, parsed once for the driver's life.
server::ProxyTrust to_proxy_trust(PyObject* list) {
  if (!PyUnicode_Check(list)) {
    PyErr_SetString(PyExc_TypeError, "forwarded_allow_ips must be a str or None");
    add_parameter_note("forwarded_allow_ips");
    throw PythonError{};
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(list, &size);
  if (text == nullptr) throw PythonError{};
  std::string_view bad;
  auto trust = server::ProxyTrust::parse(std::string_view(text, static_cast<std::size_t>(size)), &bad);
  if (!trust) {
    PyErr_Format(PyExc_ValueError, "forwarded_allow_ips: '%.200s' is not an IP address, a CIDR range, '*' or 'unix:'",
                 std::string(bad).c_str());
    throw PythonError{};
  }
  return std::move(*trust);
}

// Whether the peer adopt() was given ((host, port), or None without an address) is a trusted proxy.
bool trusted_peer(const server::ProxyTrust& trust, PyObject* client) {
  if (client == Py_None) return trust.trusts_peer(std::nullopt);
  PyObject* host = PyTuple_Check(client) && PyTuple_GET_SIZE(client) > 0 ? PyTuple_GET_ITEM(client, 0) : nullptr;
  if (host == nullptr || !PyUnicode_Check(host)) return trust.trusts_peer(std::string_view{});
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(host, &size);
  if (text == nullptr) throw PythonError{};
  return trust.trusts_peer(std::string_view(text, static_cast<std::size_t>(size)));
}

PyObject* driver_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    const auto [config, loop, serve, task, websocket, access, state, asgi, counters, concurrency, access_format,
                wsgi_environ, file_wrapper] = kDriverNew.bind(args, kwargs);
    auto number = [config = config](const char* name) { return to_u64(setting(config, name).get(), name); };
    auto duration = [config = config](const char* name) { return seconds(setting(config, name).get(), name); };
    auto flag = [config = config](const char* name) { return to_bool(setting(config, name).get(), name); };
    server::ServerSettings settings;
    settings.limits.max_body_size = number("max_body_size");
    settings.limits.max_header_size = number("max_header_size");
    settings.limits.max_keepalive_requests = number("max_keepalive_requests");
    settings.keep_alive_timeout = duration("keep_alive_timeout");
    settings.head_timeout = duration("head_timeout");
    settings.body_timeout = duration("body_timeout");
    settings.linger_timeout = duration("linger_timeout");
    settings.read_buffer_limit = number("read_buffer_limit");
    settings.min_body_rate = number("min_body_rate");
    if (!flag("server_header")) settings.server_line.clear();
    settings.date = flag("date_header");
    settings.headers = added_headers(setting(config, "headers").get());
    settings.versions = http_versions(setting(config, "http").get());
    settings.h2_max_concurrent_streams = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(number("h2_max_concurrent_streams"), std::numeric_limits<std::uint32_t>::max()));
    settings.static_mounts = static_mounts(setting(config, "static_mounts").get());
    if (const PyRef limit = setting(config, "limit_concurrency"); limit.get() != Py_None) {
      settings.concurrency_limit = to_u64(limit.get(), "limit_concurrency");
      if (!given(concurrency))
        raise(PyExc_TypeError, "limit_concurrency needs the ServerCounters its loops share as concurrency");
      settings.concurrency = counters_of(concurrency);
    }
    const bool wsgi = given(wsgi_environ);
    settings.websocket = !wsgi;
    const bool proxy_headers = flag("proxy_headers");
    const bool proxy_protocol = flag("proxy_protocol");
    std::optional<server::ProxyTrust> proxy_trust;
    if (proxy_headers || proxy_protocol) proxy_trust = to_proxy_trust(setting(config, "forwarded_allow_ips").get());
    PyRef root_path = setting(config, "root_path");
    if (!PyUnicode_Check(root_path.get())) raise(PyExc_TypeError, "root_path must be a str");
    if (!PyDict_Check(state) || !PyDict_Check(asgi)) raise(PyExc_TypeError, "state and asgi must be dicts");
    names();
    auto shared = std::make_shared<DriverShared>(
        std::move(settings), given(counters) ? counters_of(counters) : std::make_shared<server::ServerCounters>());
    shared->event_loop = PyRef::borrow(loop);
    shared->serve = PyRef::borrow(serve);
    shared->task_type = PyRef::borrow(task);
    shared->task_keywords = checked_ref(Py_BuildValue("(ss)", "loop", "eager_start"));
    shared->websocket = PyRef::borrow(websocket);
    shared->access = PyRef::borrow(access);
    if (given(access_format)) shared->access_format = access_format_of(access_format);
    shared->state = PyRef::borrow(state);
    shared->root_path = std::move(root_path);
    shared->asgi = PyRef::borrow(asgi);
    shared->proxy_trust = std::move(proxy_trust);
    shared->proxy_headers = proxy_headers;
    shared->proxy_protocol = proxy_protocol;
    if (wsgi) {
      if (!PyDict_Check(wsgi_environ)) raise(PyExc_TypeError, "wsgi_environ must be a dict");
      shared->wsgi_environ = PyRef::borrow(wsgi_environ);
      shared->file_wrapper = PyRef::borrow(file_wrapper != nullptr ? file_wrapper : Py_None);
      shared->mailbox = std::make_shared<wsgi::Mailbox>();
      shared->loop.poller().watch(shared->mailbox->fd(), kMailboxToken, true, false);
    }
    PyObject* self = new_native<DriverValue>(type);
    native<DriverValue>(self).shared = std::move(shared);
    return self;
  });
}

PyObject* driver_fileno(PyObject* self, PyObject*) {
  return guard([&] { return new_int(static_cast<std::uint64_t>(driver_of(self).loop.poller().fd())).release(); });
}

// Runs one connection's step; a failure there (only a Python error from a
// callback, say MemoryError) ends that connection, not the loop.
template <class Step>
void step(PyObject* connection, Step&& body) {
  try {
    body(connection_of(connection));
  } catch (...) {
    set_error_from_current();
    PyErr_FormatUnraisable("Exception ignored while serving a connection");
    connection_of(connection).core.abort();
  }
}

}  // namespace

void DriverShared::serve_started_calls() {
  if (started_calls.empty()) return;
  PyRef calls = checked_ref(PyList_New(static_cast<Py_ssize_t>(started_calls.size())));
  for (std::size_t i = 0; i < started_calls.size(); ++i)
    PyList_SET_ITEM(calls.get(), static_cast<Py_ssize_t>(i), started_calls[i].release());
  started_calls.clear();
  PyRef served = checked_ref(PyObject_CallOneArg(serve.get(), calls.get()));
}

namespace {

// What worker threads left for this loop: each call's pieces go out.
void pump_posted(DriverShared& driver) {
  for (const std::shared_ptr<wsgi::Call>& call : driver.mailbox->take()) {
    auto found = driver.connections.find(call->token());
    if (found == driver.connections.end()) {
      call->pump();  // its connection is gone: the call learns so
      continue;
    }
    PyRef connection = PyRef::borrow(found->second.get());
    step(connection.get(), [&](ConnectionValue&) { call->pump(); });
  }
}

PyObject* driver_run(PyObject* self, PyObject*) {
  return guard([&] {
    PyRef keep = PyRef::borrow(self);
    DriverShared& driver = driver_of(self);
    std::array<server::Readiness, 64> ready{};
    const std::size_t count = driver.loop.poller().poll(ready);
    bool alarm = false;
    for (std::size_t i = 0; i < count; ++i) {
      const server::Readiness& event = ready[i];
      if (event.token == server::Poller::kAlarmToken) {
        alarm = true;
        continue;
      }
      if (event.token == kMailboxToken) {
        pump_posted(driver);
        continue;
      }
      auto found = driver.connections.find(event.token);
      if (found == driver.connections.end()) continue;
      PyRef connection = PyRef::borrow(found->second.get());
      step(connection.get(), [&](ConnectionValue& value) { value.core.on_ready(event); });
    }
    if (alarm) {
      driver.loop.run_deadlines([&](const server::Deadlines::Entry& entry) {
        auto found = driver.connections.find(entry.token);
        if (found == driver.connections.end()) return;
        PyRef connection = PyRef::borrow(found->second.get());
        step(connection.get(), [&](ConnectionValue& value) { value.core.on_deadline(entry); });
      });
    }
    driver.serve_started_calls();
    Py_RETURN_NONE;
  });
}

// The socket adopt() was handed, which the driver owns from then on:
// closed unless a connection takes it.
class HandedSocket {
 public:
  explicit HandedSocket(int fd) noexcept : fd_(fd) {}
  HandedSocket(const HandedSocket&) = delete;
  HandedSocket& operator=(const HandedSocket&) = delete;
  ~HandedSocket() {
    if (fd_ >= 0) ::close(fd_);
  }
  [[nodiscard]] int fd() const noexcept { return fd_; }
  void taken() noexcept { fd_ = -1; }

 private:
  int fd_;
};

constexpr Parameters<5> kAdopt{"ConnectionDriver.adopt()", {"fd", "client", "server", "tls", "http2"}, 3};

PyObject* driver_adopt(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto [fd, client, server, tls, http2] = kAdopt.bind(args, nargsf, kwnames);
    HandedSocket socket(static_cast<int>(to_u64(fd, "fd")));
    auto& value = native<DriverValue>(self);
    DriverShared& driver = driver_of(self);
    const std::uint64_t token = driver.next_token++;
    // tls: True, or the dict of the scope's "tls" extension.
    const bool tls_info = tls != nullptr && PyDict_Check(tls);
    const bool crossed_tls = tls_info || (tls != nullptr && to_bool(tls, "tls"));
    // http2: TLS negotiated "h2" for it.
    const bool speaks_http2 = http2 != nullptr && to_bool(http2, "http2");
    // Once per connection: its peer never changes, so an untrusted one costs nothing per request.
    const bool proxied = driver.proxy_headers && trusted_peer(*driver.proxy_trust, client);
    PyRef connection =
        checked_ref(new_native<ConnectionValue>(served_connection_type(), value.shared, socket.fd(), token,
                                                PyRef::borrow(client), PyRef::borrow(server), crossed_tls, proxied));
    socket.taken();
    ConnectionValue& served = connection_of(connection.get());
    served.self = connection.get();
    if (tls_info) served.tls_extension = PyRef::borrow(tls);
    driver.connections.emplace(token, PyRef::borrow(connection.get()));
    step(connection.get(), [&](ConnectionValue& v) { v.core.open(v, speaks_http2); });
    driver.serve_started_calls();
    Py_RETURN_NONE;
  });
}

// Whether a connection from `client` must open with a PROXY protocol header.
PyObject* driver_expects_proxy_header(PyObject* self, PyObject* client) {
  return guard([&] {
    const DriverShared& driver = driver_of(self);
    return new_bool(driver.proxy_protocol && trusted_peer(*driver.proxy_trust, client)).release();
  });
}

// The client or server of a header's addresses, as adopt() takes them.
PyRef proxy_endpoint(server::ProxyFamily family, const server::IpAddress& address, std::uint16_t port) {
  const std::string text = server::address_text(family, address);
  return new_tuple(checked_ref(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))),
                   new_int(port));
}

PyRef proxy_addresses(const server::ProxyAddresses& addresses) {
  if (addresses.family == server::ProxyFamily::unix_stream) {
    // A Unix socket's client has no address; its server is (path, None), as a listening path is.
    const std::string_view path = addresses.destination_path;
    PyRef path_text = checked_ref(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
    return new_tuple(PyRef::borrow(Py_None), new_tuple(std::move(path_text), PyRef::borrow(Py_None)));
  }
  return new_tuple(proxy_endpoint(addresses.family, addresses.source, addresses.source_port),
                   proxy_endpoint(addresses.family, addresses.destination, addresses.destination_port));
}

PyObject* driver_read_proxy_header(PyObject*, PyObject* data) {
  return guard([&]() -> PyObject* {
    const BufferArg input(data);
    const server::ProxyHeader header = server::read_proxy_header(input.bytes());
    switch (header.status) {
      case server::ProxyStatus::needs_more:
        Py_RETURN_NONE;
      case server::ProxyStatus::malformed:
        raise(PyExc_ValueError, "malformed PROXY protocol header");
      case server::ProxyStatus::done:
        break;
    }
    PyRef addresses = header.addresses ? proxy_addresses(*header.addresses) : PyRef::borrow(Py_None);
    return new_tuple(new_int(header.consumed), std::move(addresses)).release();
  });
}

// Server shutdown: idle connections close now, busy ones after their answer.
// Returns the sessions of WebSocket connections, which say goodbye themselves.
PyObject* driver_shutdown(PyObject* self, PyObject*) {
  return guard([&] {
    PyRef keep = PyRef::borrow(self);
    DriverShared& driver = driver_of(self);
    driver.loop.shutting_down = true;
    PyRef sessions = checked_ref(PyList_New(0));
    for (const PyRef& connection : open_connections(driver)) {
      ConnectionValue& value = connection_of(connection.get());
      if (value.ws.session) {
        append_to_list(sessions.get(), value.ws.session);
        continue;
      }
      // HTTP/2: a GOAWAY, and the sessions on its streams say goodbye as the others do.
      for (const auto& [id, stream] : value.sessions)
        if (const PyRef& session = native<StreamValue>(stream.get()).ws.session)
          append_to_list(sessions.get(), session);
      step(connection.get(), [](ConnectionValue& v) { v.core.shutdown(); });
    }
    return sessions.release();
  });
}

PyObject* driver_abort(PyObject* self, PyObject*) {
  return guard([&] {
    PyRef keep = PyRef::borrow(self);
    driver_of(self);  // the owner's thread only
    abort_open(native<DriverValue>(self).shared);
    Py_RETURN_NONE;
  });
}

PyObject* driver_connections(PyObject* self, PyObject*) {
  return guard([&] {
    DriverShared& driver = driver_of(self);
    PyRef list = checked_ref(PyList_New(0));
    for (auto& entry : driver.connections) append_to_list(list.get(), entry.second);
    return list.release();
  });
}

Py_ssize_t driver_length(PyObject* self) {
  return guard_as<Py_ssize_t, -1>([&] { return static_cast<Py_ssize_t>(driver_of(self).connections.size()); });
}

PyMethodDef driver_methods[] = {
    {"fileno", method_cast(driver_fileno), METH_NOARGS,
     "fileno($self)\n--\n\nThe one descriptor the event loop watches for every connection and deadline."},
    {"run", method_cast(driver_run), METH_NOARGS,
     "run($self)\n--\n\nServes what is ready; the loop calls it when fileno() is readable."},
    {"adopt", method_cast(driver_adopt), METH_FASTCALL | METH_KEYWORDS,
     "adopt($self, fd, client, server, tls=False, http2=False)\n--\n\n"
     "Serves the accepted, non-blocking socket fd, which the driver now owns;\n"
     "tls: its bytes were decrypted on their way (the scope's scheme says so),\n"
     "or a dict: that, and the scopes' \"tls\" extension. http2: TLS chose\n"
     "\"h2\" for it, so it speaks HTTP/2 from its first byte."},
    {"expects_proxy_header", method_cast(driver_expects_proxy_header), METH_O,
     "expects_proxy_header($self, client, /)\n--\n\n"
     "Whether a connection from client ((host, port) or None) must open with a\n"
     "PROXY protocol header: proxy_protocol is on and forwarded_allow_ips trusts it."},
    {"read_proxy_header", method_cast(driver_read_proxy_header), METH_O | METH_STATIC,
     "read_proxy_header(data, /)\n--\n\n"
     "Reads the PROXY protocol header (v1 or v2) that data, a connection's first\n"
     "bytes, starts with: None while more bytes are needed, else (length,\n"
     "addresses), addresses being (client, server) as adopt() takes them, or\n"
     "None to keep the socket's. Raises ValueError when no header starts data."},
    {"shutdown", method_cast(driver_shutdown), METH_NOARGS,
     "shutdown($self)\n--\n\n"
     "No more keep-alive: idle connections close now, busy ones after their answer.\n"
     "Returns the WebSocket sessions, for them to close."},
    {"abort", method_cast(driver_abort), METH_NOARGS, "abort($self)\n--\n\nCloses every connection at once."},
    {"connections", method_cast(driver_connections), METH_NOARGS, "connections($self)\n--\n\nThe open connections."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot driver_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("ConnectionDriver(config, loop, serve, task, websocket, access, state, asgi, counters=None, "
                       "concurrency=None, access_format=None, wsgi_environ=None, file_wrapper=None)\n--\n\n"
                       "Serves the plain-TCP connections of one event loop natively.\n"
                       "config: the server's settings, read by name (limits, timeouts, the server's\n"
                       "own headers, limit_concurrency, proxy_headers, forwarded_allow_ips,\n"
                       "proxy_protocol, and "
                       "static_mounts: (route, directory) pairs served without\n"
                       "the application).\n"
                       "access_format: an AccessLogFormat; access is then called with each line.\n"
                       "wsgi_environ: requests are WSGI calls, each environ a copy of this dict filled\n"
                       "in; serve(environ, call) starts one, file_wrapper is wsgi.file_wrapper's class.")},
    {Py_tp_new, reinterpret_cast<void*>(driver_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_native<DriverValue>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_native<DriverValue>)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_native<DriverValue>)},
    {Py_tp_methods, driver_methods},
    {Py_mp_length, reinterpret_cast<void*>(driver_length)},
    {0, nullptr},
};

PyType_Spec driver_spec = {"tessaryne._tessaryne_core.ConnectionDriver", sizeof(NativeObject<DriverValue>), 0,
                           kGcClassFlags, driver_slots};

}  // namespace
}  // namespace serving

PyTypeObject* connection_driver_type() noexcept {
  static ProcessOnce<PyObject> type;
  return reinterpret_cast<PyTypeObject*>(type.get([] { return create_class(&serving::driver_spec, ClassDoc::kept); }));
}

}  // namespace tessaryne::binding
