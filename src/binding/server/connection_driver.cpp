// ConnectionDriver: serves the plain-TCP connections of one event loop
// natively. The loop watches one descriptor (the driver's poller) and calls
// run() when it is ready; the driver reads, parses, answers and closes on its
// own, and calls into Python only to start an application: the scope is built
// here from the parsed head, and `receive` and `send` are native methods whose
// awaitables complete without a trip through the loop when nothing must wait.
//
// Three classes live here, none of them exported but the driver:
//   ConnectionDriver   one per loop thread; owns the poller and the open connections
//   ServedConnection   one per connection; what a WebSocket session writes through
//   HttpExchange       one per request; its bound receive and send are the app's callables
// and one awaitable, Completion. Everything belongs to the loop's thread: every
// entry point refuses another thread, so no lock is needed and none is held
// while Python code runs.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "binding/classes.hpp"
#include "binding/common/args.hpp"
#include "binding/common/native_class.hpp"
#include "binding/common/values.hpp"
#include "binding/http/header_walk.hpp"
#include "binding/http/request_objects.hpp"
#include "binding/server/server_counters.hpp"
#include "binding/websocket/ws_event_sink.hpp"
#include "binding/websocket/ws_options.hpp"
#include "core/common/byte_scan.hpp"
#include "core/common/header_value.hpp"
#include "core/http/target.hpp"
#include "core/server/proxy_headers.hpp"
#include "core/server/served_connection.hpp"

namespace tessaryne::binding {
namespace {

using server::Clock;

// Sets the Python error for the C++ exception being handled.
void set_error_from_current() noexcept {
  guard([]() -> PyObject* { throw; });
}

// --- names used on every request, made once -----------------------------------------

struct Names {
  PyObject* type;
  PyObject* asgi;
  PyObject* http_version;
  PyObject* method;
  PyObject* scheme;
  PyObject* path;
  PyObject* raw_path;
  PyObject* query_string;
  PyObject* root_path;
  PyObject* headers;
  PyObject* client;
  PyObject* server;
  PyObject* state;
  PyObject* http;
  PyObject* https;
  PyObject* websocket;
  PyObject* ws;
  PyObject* wss;
  PyObject* subprotocols;
  PyObject* body;
  PyObject* more_body;
  PyObject* status;
  PyObject* http_request;
  PyObject* http_disconnect;
  PyObject* response_start;
  PyObject* response_body;
  PyObject* response_trailers;
  PyObject* trailers;
  PyObject* more_trailers;
  PyObject* extensions;
  PyObject* trailers_extension;
  PyObject* create_future;
  PyObject* await_;
  PyObject* done;
  PyObject* set_result;
};

PyObject* intern(const char* text) {
  PyObject* name = PyUnicode_InternFromString(text);
  if (name == nullptr) throw PythonError{};
  return name;
}

const Names& names() {
  // Made once per process and kept: interned strings outlive every request.
  static const Names made{intern("type"),
                          intern("asgi"),
                          intern("http_version"),
                          intern("method"),
                          intern("scheme"),
                          intern("path"),
                          intern("raw_path"),
                          intern("query_string"),
                          intern("root_path"),
                          intern("headers"),
                          intern("client"),
                          intern("server"),
                          intern("state"),
                          intern("http"),
                          intern("https"),
                          intern("websocket"),
                          intern("ws"),
                          intern("wss"),
                          intern("subprotocols"),
                          intern("body"),
                          intern("more_body"),
                          intern("status"),
                          intern("http.request"),
                          intern("http.disconnect"),
                          intern("http.response.start"),
                          intern("http.response.body"),
                          intern("http.response.trailers"),
                          intern("trailers"),
                          intern("more_trailers"),
                          intern("extensions"),
                          intern("http.response.trailers"),
                          intern("create_future"),
                          intern("__await__"),
                          intern("done"),
                          intern("set_result")};
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

// --- the loop-wide part ---------------------------------------------------------------

struct DriverShared {
  DriverShared(server::ServerSettings settings, std::shared_ptr<server::ServerCounters> counters)
      : loop(std::move(settings), std::move(counters)) {}

  server::ServerLoop loop;
  unsigned long owner = PyThread_get_thread_ident();
  PyRef event_loop;
  PyRef serve;      // serve(scope, exchange): the coroutine of one request, around the app
  PyRef task_type;  // asyncio.Task: each request's coroutine runs as a task, started eagerly
  PyRef task_keywords;  // ("loop", "eager_start")
  PyRef websocket;  // websocket(connection, request_event, scope): starts a session, returns it
  PyRef access;     // access(client, method, raw_path, query, version, status, sent), or None
  PyRef state;      // the lifespan state, copied into every scope
  PyRef root_path;
  PyRef asgi;
  // Whose proxy headers are believed; none: they are never read.
  std::optional<server::ProxyTrust> proxy_trust;
  // The open connections by token. Not visited by the collector: an open
  // connection is alive because it is open.
  std::unordered_map<std::uint64_t, PyRef> connections;
  std::uint64_t next_token = 1;

  PyRef new_future() const {
    return checked_ref(PyObject_CallMethodNoArgs(event_loop.get(), names().create_future));
  }
};

// --- one request ------------------------------------------------------------------------

// The Python objects of one request; its phases are the exchange's.
struct ExchangeValue {
  server::Exchange exchange;
  PyRef connection;
  PyRef client, method, raw_path, query, version;  // for the access log
  std::vector<PyRef> body;                 // pieces received, not yet handed to the app
  std::size_t body_size = 0;
  PyRef headers;  // of the response start, until the head is written
  PyRef waiter;   // a waiting receive's future

  int traverse(visitproc visit, void* arg) const {
    Py_VISIT(connection.get());
    Py_VISIT(headers.get());
    Py_VISIT(waiter.get());
    return 0;
  }
  std::array<PyRef, 3> clear() noexcept { return {std::move(connection), std::move(headers), std::move(waiter)}; }
};

// --- one connection -------------------------------------------------------------------------

struct ConnectionValue final : server::ConnectionEvents {
  ConnectionValue(std::shared_ptr<DriverShared> driver, int fd, std::uint64_t token, PyRef client, PyRef server,
                  bool tls, bool proxied)
      : shared(std::move(driver)),
        core(shared->loop, fd, token),
        client(std::move(client)),
        server(std::move(server)),
        tls(tls),
        proxied(proxied) {}

  std::shared_ptr<DriverShared> shared;
  server::ServedConnection core;
  PyObject* self = nullptr;  // the object this value lives in, borrowed
  PyRef client, server;
  bool tls;          // the bytes crossed TLS before reaching this socket
  bool proxied;      // the peer is a trusted proxy: its headers may change client, scheme and server
  PyRef current;     // the exchange of the request being served
  PyRef scope;       // of the request whose app starts next
  PyRef upgrade;     // an upgrade request's event, until its session starts
  PyRef session;     // the WebSocket session
  std::vector<PyRef> drain_waiters;

  // ConnectionEvents
  server::Exchange& request(const http::RequestEvent& event) override;
  void body(std::string_view data, bool more_body) override;
  void start() override;
  void websocket(const http::RequestEvent& event) override;
  // A WebSocket scope without `request`; an http scope also gives `request` its access-log items.
  PyRef new_scope(const http::RequestEvent& event, std::string_view raw_path, ExchangeValue* request);
  void start_websocket() override;
  void frames() override;
  void wake() override;
  void writable() override;
  void response_done(const server::Exchange& exchange) override;
  void ended() override;

  int traverse(visitproc visit, void* arg) const {
    Py_VISIT(client.get());
    Py_VISIT(server.get());
    Py_VISIT(current.get());
    Py_VISIT(scope.get());
    Py_VISIT(upgrade.get());
    Py_VISIT(session.get());
    for (const PyRef& waiter : drain_waiters) Py_VISIT(waiter.get());
    return 0;
  }
  std::vector<PyRef> clear() noexcept {
    std::vector<PyRef> out;
    out.reserve(5 + drain_waiters.size());
    for (PyRef* ref : {&client, &server, &current, &scope, &upgrade, &session}) out.push_back(std::move(*ref));
    for (PyRef& waiter : drain_waiters) out.push_back(std::move(waiter));
    drain_waiters.clear();
    return out;
  }
};

ConnectionValue& connection_of(PyObject* object) noexcept { return native<ConnectionValue>(object); }
ExchangeValue& exchange_of(PyObject* object) noexcept { return native<ExchangeValue>(object); }

PyTypeObject* served_connection_type() noexcept;
PyTypeObject* http_exchange_type() noexcept;
PyTypeObject* completion_type() noexcept;

// --- the scope -----------------------------------------------------------------------------

// The path as ASGI gives it: percent-decoded, then read as UTF-8 (invalid
// sequences become U+FFFD), after the root path.
PyRef decoded_path(std::string_view raw, PyObject* root_path) {
  std::string bytes;
  const std::string_view decoded = http::percent_decoded(raw, bytes);
  PyRef path = decoded.data() == raw.data()
                   ? new_text(raw)
                   : checked_ref(PyUnicode_DecodeUTF8(decoded.data(), static_cast<Py_ssize_t>(decoded.size()), "replace"));
  if (PyUnicode_GET_LENGTH(root_path) == 0) return path;
  return checked_ref(PyUnicode_Concat(root_path, path.get()));
}

void set_item(PyObject* dict, PyObject* key, const PyRef& value) {
  if (PyDict_SetItem(dict, key, value.get()) != 0) throw PythonError{};
}

// A scope's client or server from what a proxy's headers say.
PyRef new_endpoint(const server::Endpoint& endpoint) { return new_tuple(new_text(endpoint.host), new_int(endpoint.port)); }

// Subprotocols a WebSocket client offers, in order, as text.
PyRef new_subprotocols(std::span<const http::HeaderLine> headers) {
  PyRef list = checked_ref(PyList_New(0));
  for (const http::HeaderLine& line : headers) {
    if (!common::equals_lowercase(line.name, "sec-websocket-protocol")) continue;
    common::for_each_element(line.value, [&](std::string_view item) {
      append_to_list(list.get(), checked_ref(PyUnicode_DecodeLatin1(item.data(), static_cast<Py_ssize_t>(item.size()), nullptr)));
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

PyRef ConnectionValue::new_scope(const http::RequestEvent& event, std::string_view raw_path,
                                 ExchangeValue* request) {
  const Names& n = names();
  DriverShared& driver = *shared;
  const bool websocket = request == nullptr;
  PyRef scope = checked_ref(PyDict_Copy(scope_template(websocket)));
  PyObject* dict = scope.get();
  PyRef version = new_text(http::version_text(event.minor_version));
  PyRef raw = new_bytes(raw_path);
  PyRef query = new_bytes(event.target_parts.query);
  PyRef scope_client = PyRef::borrow(client.get());
  PyRef scope_server = PyRef::borrow(server.get());
  bool secure = tls;
  if (proxied) {
    const server::ProxyView view = server::read_proxy_headers(event.headers, *driver.proxy_trust, tls);
    secure = view.secure;
    if (view.client) scope_client = new_endpoint(*view.client);
    if (view.server) scope_server = new_endpoint(*view.server);
  }
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
  // What the server honours beyond plain ASGI; each scope its own dict, for the app may add to it.
  PyRef extensions = checked_ref(PyDict_New());
  if (!websocket && event.minor_version == 1 && http::accepts_trailers(event.headers))
    set_item(extensions.get(), n.trailers_extension, checked_ref(PyDict_New()));
  set_item(dict, n.extensions, extensions);
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

server::Exchange& ConnectionValue::request(const http::RequestEvent& event) {
  PyRef exchange_object = checked_ref(new_native<ExchangeValue>(http_exchange_type()));
  ExchangeValue& exchange = exchange_of(exchange_object.get());
  exchange.connection = PyRef::borrow(self);
  PyRef made = new_scope(event, http::origin_path(event.target_parts.path), &exchange);
  // The core calls start() once the engine's step is over.
  current = std::move(exchange_object);
  scope = std::move(made);
  return exchange.exchange;
}

void ConnectionValue::websocket(const http::RequestEvent& event) {
  upgrade = new_request_event(event);
  scope = new_scope(event, http::origin_path(event.target_parts.path), nullptr);
}

void ConnectionValue::start() {
  PyRef scope = std::move(this->scope);
  if (!current || !scope) return;
  PyRef exchange = PyRef::borrow(current.get());
  std::array<PyObject*, 2> arguments{scope.get(), exchange.get()};
  PyRef coroutine = checked_ref(PyObject_Vectorcall(shared->serve.get(), arguments.data(), 2, nullptr));
  // Task(coroutine, loop=loop, eager_start=True): the app runs up to its first
  // real suspension right here, so a simple app has answered before run() returns.
  std::array<PyObject*, 3> task_arguments{coroutine.get(), shared->event_loop.get(), Py_True};
  PyRef task = checked_ref(
      PyObject_Vectorcall(shared->task_type.get(), task_arguments.data(), 1, shared->task_keywords.get()));
}

void ConnectionValue::body(std::string_view data, bool more_body) {
  if (!current) return;
  ExchangeValue& exchange = exchange_of(current.get());
  if (!data.empty()) {
    exchange.body.push_back(new_bytes(data));
    exchange.body_size += data.size();
  }
  if (more_body && exchange.body_size > shared->loop.settings().read_buffer_limit) core.pause_reading();
  PyRef waiter = std::move(exchange.waiter);
  wake_future(waiter);
}

void ConnectionValue::wake() {
  if (!current) return;
  PyRef waiter = std::move(exchange_of(current.get()).waiter);
  wake_future(waiter);
}

void ConnectionValue::writable() {
  std::vector<PyRef> waiters = std::move(drain_waiters);
  drain_waiters.clear();
  for (const PyRef& waiter : waiters) wake_future(waiter);
}

void ConnectionValue::response_done(const server::Exchange& exchange_state) {
  if (!current) return;
  ExchangeValue& exchange = exchange_of(current.get());
  PyObject* access = shared->access.get();
  if (access == Py_None) return;
  PyRef status = new_int(exchange_state.status());
  PyRef sent = new_int(exchange_state.sent());
  PyRef logged = checked_ref(PyObject_CallFunctionObjArgs(
      access, exchange.client.get(), exchange.method.get(), exchange.raw_path.get(), exchange.query.get(),
      exchange.version.get(), status.get(), sent.get(), nullptr));
}

void ConnectionValue::start_websocket() {
  PyRef event = std::move(upgrade);
  PyRef websocket_scope = std::move(scope);
  if (!event || !websocket_scope) return;
  current = PyRef();
  session = checked_ref(
      PyObject_CallFunctionObjArgs(shared->websocket.get(), self, event.get(), websocket_scope.get(), nullptr));
}

// The WebSocket events of every frame buffered in the engine, as a list.
PyRef frame_events(http::Connection& engine) {
  PyRef events = checked_ref(PyList_New(0));
  WsEventSink sink(events.get());
  engine.dispatch_frames(sink);
  return events;
}

void ConnectionValue::frames() {
  if (!session) return;
  PyRef events = frame_events(core.engine());
  if (PyList_GET_SIZE(events.get()) == 0) return;
  PyRef session_ref = PyRef::borrow(session.get());
  PyRef result = checked_ref(PyObject_CallMethod(session_ref.get(), "on_events", "O", events.get()));
}

void ConnectionValue::ended() {
  // Everything this connection holds is let go here: the exchange and the
  // session point back to it, and a finished connection must be freed by
  // reference counting alone.
  PyRef keep_self = PyRef::borrow(self);
  PyRef exchange = std::move(current);
  PyRef event = std::move(upgrade);
  PyRef pending_scope = std::move(scope);
  PyRef websocket_session = std::move(session);
  if (exchange) {
    PyRef waiter = std::move(exchange_of(exchange.get()).waiter);
    wake_future(waiter);
  }
  writable();
  PyRef entry;
  auto found = shared->connections.find(core.token());
  if (found != shared->connections.end()) {
    entry = std::move(found->second);
    shared->connections.erase(found);
  }
  if (websocket_session) {
    PyRef result = checked_ref(PyObject_CallMethod(websocket_session.get(), "connection_lost", nullptr));
  }
}

// --- the awaitable ------------------------------------------------------------------------

enum class Waiting : std::uint8_t { nothing, receive, send, drain };

struct CompletionValue {
  PyRef value;      // the result once ready
  PyRef iterator;   // the awaited future's iterator
  PyRef exchange;   // or the connection, for a drain
  PyRef message;    // a send waiting for the output to drain
  Waiting waiting = Waiting::nothing;

  int traverse(visitproc visit, void* arg) const {
    Py_VISIT(value.get());
    Py_VISIT(iterator.get());
    Py_VISIT(exchange.get());
    Py_VISIT(message.get());
    return 0;
  }
  std::array<PyRef, 4> clear() noexcept {
    return {std::move(value), std::move(iterator), std::move(exchange), std::move(message)};
  }
};

PyRef ready(PyRef value) {
  PyRef completion = checked_ref(new_native<CompletionValue>(completion_type()));
  native<CompletionValue>(completion.get()).value = std::move(value);
  return completion;
}

// The completion of a call that had nothing to wait for and no result: one
// object, made once, awaited by everyone.
PyObject* done_completion() {
  static PyObject* const made = [] {
    PyObject* completion = ready(PyRef::borrow(Py_None)).release();
    PyObject_GC_UnTrack(completion);  // it holds None only: never part of a cycle
    return completion;
  }();
  return Py_NewRef(made);
}

PyRef waiting(Waiting kind, PyObject* owner, PyRef future, PyRef message = {}) {
  PyRef completion = checked_ref(new_native<CompletionValue>(completion_type()));
  auto& value = native<CompletionValue>(completion.get());
  value.iterator = checked_ref(PyObject_CallMethodNoArgs(future.get(), names().await_));
  value.exchange = PyRef::borrow(owner);
  value.message = std::move(message);
  value.waiting = kind;
  return completion;
}

// A completion that tries `kind` again once the connection's output has
// drained: writable() or ended() wakes it.
PyRef after_drain(ConnectionValue& connection, Waiting kind, PyObject* owner, PyRef message = {}) {
  PyRef future = connection.shared->new_future();
  connection.drain_waiters.push_back(PyRef::borrow(future.get()));
  return waiting(kind, owner, std::move(future), std::move(message));
}

// A WebSocket session's drain(): done at once unless the output waits.
PyRef drain(ConnectionValue& connection, PyObject* owner) {
  if (connection.core.gone()) raise(PyExc_ConnectionError, "connection lost");
  if (!connection.core.write_paused()) return PyRef::steal(done_completion());
  return after_drain(connection, Waiting::drain, owner);
}

// --- receive and send ---------------------------------------------------------------------

PyRef message_of(PyObject* type) {
  PyRef message = checked_ref(PyDict_New());
  set_item(message.get(), names().type, PyRef::borrow(type));
  return message;
}

// The next message, or a completion to await when it is not there yet.
PyRef receive(PyObject* exchange_object) {
  ExchangeValue& value = exchange_of(exchange_object);
  server::Exchange& exchange = value.exchange;
  ConnectionValue& connection = connection_of(value.connection.get());
  switch (exchange.next_receive(!value.body.empty())) {
    case server::ReceiveStep::deliver: {
      PyRef data;
      if (value.body.size() == 1) {
        data = std::move(value.body.front());
      } else {
        PyRef empty = checked_ref(PyBytes_FromStringAndSize(nullptr, 0));
        PyRef pieces = checked_ref(PyList_New(0));
        for (const PyRef& piece : value.body) append_to_list(pieces.get(), piece);
        data = checked_ref(PyBytes_Join(empty.get(), pieces.get()));
      }
      value.body.clear();
      value.body_size = 0;
      const bool last = exchange.body_taken();
      if (!last && !exchange.over()) connection.core.resume_reading();
      PyRef message = message_of(names().http_request);
      set_item(message.get(), names().body, data);
      set_item(message.get(), names().more_body, new_bool(!last));
      return ready(std::move(message));
    }
    case server::ReceiveStep::disconnect:
      return ready(message_of(names().http_disconnect));
    case server::ReceiveStep::wait:
      break;
  }
  value.waiter = connection.shared->new_future();
  return waiting(Waiting::receive, exchange_object, PyRef::borrow(value.waiter.get()));
}

[[noreturn]] void raise_disconnected() { raise(PyExc_ConnectionError, "the client has disconnected"); }

PyRef get_key(PyObject* message, PyObject* key) {
  PyObject* value = nullptr;
  if (PyMapping_GetOptionalItem(message, key, &value) < 0) throw PythonError{};
  return PyRef::steal(value);
}

bool get_flag(PyObject* message, PyObject* key) {
  const PyRef flag = get_key(message, key);
  const int value = flag ? PyObject_IsTrue(flag.get()) : 0;
  if (value < 0) throw PythonError{};
  return value != 0;
}

// What the exchange made of a message, as the application hears it.
void check_sent(server::SendResult result) {
  switch (result) {
    case server::SendResult::done:
      return;
    case server::SendResult::gone:
      raise_disconnected();
    case server::SendResult::bad_header:
      raise(PyExc_ValueError, "Illegal CRLF control characters detected in HTTP response header");
    case server::SendResult::start_twice:
      raise(PyExc_RuntimeError, "ASGI 'http.response.start' sent twice");
    case server::SendResult::body_before_start:
      raise(PyExc_RuntimeError, "ASGI 'http.response.body' sent before 'http.response.start'");
    case server::SendResult::body_after_end:
      raise(PyExc_RuntimeError, "ASGI 'http.response.body' sent after the response was complete");
    case server::SendResult::trailers_unannounced:
      raise(PyExc_RuntimeError, "ASGI 'http.response.trailers' sent without \"trailers\" in 'http.response.start'");
    case server::SendResult::trailers_before_body_end:
      raise(PyExc_RuntimeError, "ASGI 'http.response.trailers' sent before the body was complete");
    case server::SendResult::trailers_after_end:
      raise(PyExc_RuntimeError, "ASGI 'http.response.trailers' sent after the response was complete");
  }
}

// The fields of a message's "headers", walked (the views live as long as `fields`).
void walk_fields(PyObject* headers, HeaderList& fields) {
  HeaderWalk<HeaderList> walk(fields);
  if (headers != nullptr && headers != Py_None) walk.walk(headers);
}

void send_body(ExchangeValue& value, PyObject* message) {
  const Names& n = names();
  PyRef body = get_key(message, n.body);
  if (!body) {
    body = checked_ref(PyBytes_FromStringAndSize(nullptr, 0));
  } else if (!PyBytes_CheckExact(body.get())) {
    body = checked_ref(PyBytes_FromObject(body.get()));
  }
  const bool more_body = get_flag(message, n.more_body);
  const std::string_view bytes(PyBytes_AS_STRING(body.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(body.get())));
  HeaderList fields;
  if (value.exchange.phase() == server::ResponsePhase::head_pending) walk_fields(value.headers.get(), fields);
  check_sent(value.exchange.body(fields.view(), bytes, more_body));
  if (value.exchange.head_sent()) value.headers = PyRef();
}

void send_start(ExchangeValue& value, PyObject* message) {
  const Names& n = names();
  PyRef status = get_key(message, n.status);
  if (!status) raise(PyExc_KeyError, "status");
  if (!PyLong_CheckExact(status.get())) {
    PyErr_Format(PyExc_RuntimeError, "ASGI response status must be an int, not %s", Py_TYPE(status.get())->tp_name);
    throw PythonError{};
  }
  const std::uint16_t code = to_u16(status.get(), "status");
  const bool trailers = get_flag(message, n.trailers);
  check_sent(value.exchange.start(code, trailers));
  value.headers = get_key(message, n.headers);
}

void send_trailers(ExchangeValue& value, PyObject* message) {
  const Names& n = names();
  HeaderList fields;
  const PyRef headers = get_key(message, n.headers);
  walk_fields(headers.get(), fields);
  check_sent(value.exchange.trailers(fields.view(), get_flag(message, n.more_trailers)));
}

// Sends `message`; a completion to await, or the shared done one.
PyRef send(PyObject* exchange_object, PyObject* message) {
  ExchangeValue& value = exchange_of(exchange_object);
  ConnectionValue& connection = connection_of(value.connection.get());
  server::ServedConnection& core = connection.core;
  if (core.write_paused() && !core.gone())
    return after_drain(connection, Waiting::send, exchange_object, PyRef::borrow(message));
  if (value.exchange.disconnected() || core.gone()) {
    // Also before the loss is read: a write that met a reset has closed already.
    value.exchange.disconnect();
    raise_disconnected();
  }
  const Names& n = names();
  PyRef kind = get_key(message, n.type);
  if (!kind) raise(PyExc_KeyError, "type");
  for (const auto& [type, handle] : {std::pair{n.response_body, &send_body}, std::pair{n.response_start, &send_start},
                                     std::pair{n.response_trailers, &send_trailers}}) {
    const int matches = PyObject_RichCompareBool(kind.get(), type, Py_EQ);
    if (matches < 0) throw PythonError{};
    if (matches != 0) {
      handle(value, message);
      return PyRef::steal(done_completion());
    }
  }
  PyErr_Format(PyExc_RuntimeError, "Unexpected ASGI message type %R for an http connection", kind.get());
  throw PythonError{};
}

// --- Completion: the awaitable of receive, send and drain ------------------------------------

PySendResult completion_send(PyObject* self, PyObject* argument, PyObject** result) {
  auto& value = native<CompletionValue>(self);
  try {
    for (;;) {
      if (value.waiting == Waiting::nothing) {
        *result = Py_NewRef(value.value ? value.value.get() : Py_None);
        return PYGEN_RETURN;
      }
      if (value.iterator) {
        const PySendResult step = PyIter_Send(value.iterator.get(), argument, result);
        if (step != PYGEN_RETURN) return step;
        Py_CLEAR(*result);
        value.iterator = PyRef();
        argument = Py_None;
      }
      // The awaited future is done: try again.
      PyRef owner = std::move(value.exchange);
      const Waiting kind = std::exchange(value.waiting, Waiting::nothing);
      PyRef next;
      if (kind == Waiting::receive) {
        check_thread(connection_of(exchange_of(owner.get()).connection.get()).shared->owner);
        next = receive(owner.get());
      } else if (kind == Waiting::send) {
        PyRef message = std::move(value.message);
        check_thread(connection_of(exchange_of(owner.get()).connection.get()).shared->owner);
        next = send(owner.get(), message.get());
      } else {
        ConnectionValue& connection = connection_of(owner.get());
        next = drain(connection, owner.get());
      }
      // Continue as the new completion.
      auto& follow = native<CompletionValue>(next.get());
      value.value = std::move(follow.value);
      value.iterator = std::move(follow.iterator);
      value.exchange = std::move(follow.exchange);
      value.message = std::move(follow.message);
      value.waiting = follow.waiting;
    }
  } catch (...) {
    set_error_from_current();
    *result = nullptr;
    return PYGEN_ERROR;
  }
}

PyObject* completion_await(PyObject* self) { return Py_NewRef(self); }

PyObject* completion_next(PyObject* self) {
  PyObject* result = nullptr;
  const PySendResult step = completion_send(self, Py_None, &result);
  if (step == PYGEN_NEXT) return result;
  if (step == PYGEN_RETURN) {
    if (result != Py_None) PyErr_SetObject(PyExc_StopIteration, result);
    Py_DECREF(result);
  }
  return nullptr;
}

PyType_Slot completion_slots[] = {
    {Py_tp_doc, const_cast<char*>("The awaitable result of a native receive, send or drain.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_native<CompletionValue>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_native<CompletionValue>)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_native<CompletionValue>)},
    {Py_am_await, reinterpret_cast<void*>(completion_await)},
    {Py_am_send, reinterpret_cast<void*>(completion_send)},
    {Py_tp_iter, reinterpret_cast<void*>(completion_await)},
    {Py_tp_iternext, reinterpret_cast<void*>(completion_next)},
    {0, nullptr},
};

PyType_Spec completion_spec = {"tessaryne._tessaryne_core.Completion", sizeof(NativeObject<CompletionValue>), 0,
                               kGcClassFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION, completion_slots};

PyTypeObject* completion_type() noexcept {
  static ProcessOnce<PyObject> type;
  return reinterpret_cast<PyTypeObject*>(type.get([] { return create_class(&completion_spec, ClassDoc::kept); }));
}

// --- HttpExchange ----------------------------------------------------------------------------

ConnectionValue& owning_connection(PyObject* self) {
  ConnectionValue& connection = connection_of(exchange_of(self).connection.get());
  check_thread(connection.shared->owner);
  return connection;
}

PyObject* exchange_receive(PyObject* self, PyObject*) {
  return guard([&] {
    owning_connection(self);
    return receive(self).release();
  });
}

PyObject* exchange_send(PyObject* self, PyObject* message) {
  return guard([&] {
    owning_connection(self);
    return send(self, message).release();
  });
}

PyObject* exchange_app_failed(PyObject* self, PyObject*) {
  return guard([&] {
    ConnectionValue& connection = owning_connection(self);
    server::Exchange& exchange = exchange_of(self).exchange;
    // A client going away is not an application error.
    if (connection.core.gone()) return new_bool(false).release();
    return new_bool(exchange.app_failed()).release();
  });
}

PyObject* exchange_app_returned(PyObject* self, PyObject*) {
  return guard([&] {
    owning_connection(self);
    return new_bool(exchange_of(self).exchange.app_returned()).release();
  });
}

PyMethodDef exchange_methods[] = {
    {"receive", method_cast(exchange_receive), METH_NOARGS, "receive($self)\n--\n\nThe next ASGI message."},
    {"send", method_cast(exchange_send), METH_O, "send($self, message)\n--\n\nSends an ASGI message."},
    {"app_failed", method_cast(exchange_app_failed), METH_NOARGS,
     "app_failed($self)\n--\n\n"
     "The app raised: answers 500 or cuts the response short. Returns whether\n"
     "this is an application error (False when the client went away)."},
    {"app_returned", method_cast(exchange_app_returned), METH_NOARGS,
     "app_returned($self)\n--\n\n"
     "The app returned: True if it left its response incomplete (answered 500\n"
     "or cut short)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot exchange_slots[] = {
    {Py_tp_doc, const_cast<char*>("One request served by a ConnectionDriver.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_native<ExchangeValue>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_native<ExchangeValue>)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_native<ExchangeValue>)},
    {Py_tp_methods, exchange_methods},
    {0, nullptr},
};

PyType_Spec exchange_spec = {"tessaryne._tessaryne_core.HttpExchange", sizeof(NativeObject<ExchangeValue>), 0,
                             kGcClassFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION, exchange_slots};

PyTypeObject* http_exchange_type() noexcept {
  static ProcessOnce<PyObject> type;
  return reinterpret_cast<PyTypeObject*>(type.get([] { return create_class(&exchange_spec, ClassDoc::kept); }));
}

// --- ServedConnection: what a WebSocket session uses -----------------------------------------

ConnectionValue& checked_connection(PyObject* self) {
  ConnectionValue& connection = connection_of(self);
  check_thread(connection.shared->owner);
  return connection;
}

template <class Body>
PyObject* on_connection(PyObject* self, Body&& body) {
  return guard([&] {
    PyRef keep = PyRef::borrow(self);
    body(checked_connection(self));
    Py_RETURN_NONE;
  });
}

PyObject* served_write(PyObject* self, PyObject* data) {
  return on_connection(self, [&](ConnectionValue& connection) {
    const std::string_view bytes = to_bytes(data, "data");
    connection.core.write(std::span<const std::string_view>(&bytes, 1));
  });
}

constexpr Parameters<5> kServedWriteResponse{
    "ServedConnection.write_response()", {"status", "headers", "body", "more_body", "no_body"}, 3};

PyObject* served_write_response(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto bound = kServedWriteResponse.bind(args, nargsf, kwnames);
    ConnectionValue& connection = checked_connection(self);
    const std::uint16_t status = to_u16(bound[0], "status");
    HeaderList fields;
    HeaderWalk<HeaderList> walk(fields);
    walk.walk(bound[1]);
    const std::string_view body = to_bytes(bound[2], "body");
    const bool more_body = bound[3] != nullptr && to_bool(bound[3], "more_body");
    const bool no_body = bound[4] != nullptr && to_bool(bound[4], "no_body");
    bool chunked = false;
    // As write(): nothing to say to a client that left.
    const server::SendResult result = connection.core.write_response(status, fields.view(), body, more_body, no_body, chunked);
    if (result != server::SendResult::gone) check_sent(result);
    return new_bool(chunked).release();
  });
}

PyObject* served_close(PyObject* self, PyObject*) {
  return on_connection(self, [](ConnectionValue& connection) { connection.core.close(); });
}

PyObject* served_force_close(PyObject* self, PyObject*) {
  return on_connection(self, [](ConnectionValue& connection) { connection.core.abort(); });
}

PyObject* served_pause_reading(PyObject* self, PyObject*) {
  return on_connection(self, [](ConnectionValue& connection) { connection.core.pause_reading(); });
}

PyObject* served_resume_reading(PyObject* self, PyObject*) {
  return on_connection(self, [](ConnectionValue& connection) { connection.core.resume_reading(); });
}

PyObject* served_switch_to_websocket(PyObject* self, PyObject*) {
  return on_connection(self, [](ConnectionValue& connection) { connection.core.switch_to_websocket(); });
}

constexpr Parameters<8> kServedConfigureWebSocket{"ServedConnection.configure_websocket()", kWebSocketOptionNames, 0};
constexpr Parameters<2> kServedFormatWsMessage{"ServedConnection.format_ws_message()", kWebSocketMessageNames};

PyObject* served_configure_websocket(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const websocket::FrameOptions options = to_frame_options(kServedConfigureWebSocket.bind(args, nargsf, kwnames));
    checked_connection(self).core.engine().configure_websocket(options);
    Py_RETURN_NONE;
  });
}

PyObject* served_format_ws_message(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto bound = kServedFormatWsMessage.bind(args, nargsf, kwnames);
    return new_ws_message(checked_connection(self).core.engine(), bound[0], bound[1]);
  });
}

PyObject* served_pump_events(PyObject* self, PyObject*) {
  return guard([&] {
    return frame_events(checked_connection(self).core.engine()).release();
  });
}

PyObject* served_gone(PyObject* self, PyObject*) {
  return guard([&] { return new_bool(checked_connection(self).core.gone()).release(); });
}

PyObject* served_write_paused(PyObject* self, void*) {
  return guard([&] { return new_bool(checked_connection(self).core.write_paused()).release(); });
}

PyObject* served_drain(PyObject* self, PyObject*) {
  return guard([&] {
    ConnectionValue& connection = checked_connection(self);
    return drain(connection, self).release();
  });
}

PyMethodDef served_methods[] = {
    {"write", method_cast(served_write), METH_O, "write($self, data, /)\n--\n\n"},
    {"write_response", method_cast(served_write_response), METH_FASTCALL | METH_KEYWORDS,
     "write_response($self, status, headers, body, more_body=False, no_body=False)\n--\n\n"
     "Writes a response with the server's own lines; returns whether the rest\n"
     "of its body goes out in chunks."},
    {"close", method_cast(served_close), METH_NOARGS, "close($self)\n--\n\nSends what is queued, then closes."},
    {"force_close", method_cast(served_force_close), METH_NOARGS, "force_close($self)\n--\n\n"},
    {"pause_reading", method_cast(served_pause_reading), METH_NOARGS, "pause_reading($self)\n--\n\n"},
    {"resume_reading", method_cast(served_resume_reading), METH_NOARGS, "resume_reading($self)\n--\n\n"},
    {"switch_to_websocket", method_cast(served_switch_to_websocket), METH_NOARGS,
     "switch_to_websocket($self)\n--\n\n"},
    {"configure_websocket", method_cast(served_configure_websocket), METH_FASTCALL | METH_KEYWORDS,
     "configure_websocket($self, strict=False, utf8_fail_fast=False, max_message_size=None, "
     "permessage_deflate=False, server_no_context_takeover=False, client_no_context_takeover=False, "
     "server_max_window_bits=15, client_max_window_bits=15)\n--\n\nAs FastHttpConnection.configure_websocket()."},
    {"format_ws_message", method_cast(served_format_ws_message), METH_FASTCALL | METH_KEYWORDS,
     "format_ws_message($self, opcode, payload)\n--\n\nAs FastHttpConnection.format_ws_message()."},
    {"pump_events", method_cast(served_pump_events), METH_NOARGS, "pump_events($self)\n--\n\n"},
    {"gone", method_cast(served_gone), METH_NOARGS, "gone($self)\n--\n\n"},
    {"drain", method_cast(served_drain), METH_NOARGS,
     "drain($self)\n--\n\nAwaitable: returns once the output takes more bytes."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* served_pending_output(PyObject* self, void*) {
  return guard([&] { return new_int(checked_connection(self).core.pending_output()).release(); });
}

PyGetSetDef served_getset[] = {
    {"write_paused", served_write_paused, nullptr, nullptr, nullptr},
    {"pending_output", served_pending_output, nullptr, "Bytes queued for the socket.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot served_slots[] = {
    {Py_tp_doc, const_cast<char*>("A connection served by a ConnectionDriver.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_native<ConnectionValue>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_native<ConnectionValue>)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_native<ConnectionValue>)},
    {Py_tp_methods, served_methods},
    {Py_tp_getset, served_getset},
    {0, nullptr},
};

PyType_Spec served_spec = {"tessaryne._tessaryne_core.ServedConnection", sizeof(NativeObject<ConnectionValue>), 0,
                           kGcClassFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION, served_slots};

PyTypeObject* served_connection_type() noexcept {
  static ProcessOnce<PyObject> type;
  return reinterpret_cast<PyTypeObject*>(type.get([] { return create_class(&served_spec, ClassDoc::kept); }));
}

// --- ConnectionDriver ----------------------------------------------------------------------------

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
    for (const PyRef* ref :
         {&shared->event_loop, &shared->serve, &shared->task_type, &shared->websocket, &shared->access, &shared->state})
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

constexpr Parameters<10> kDriverNew{
    "ConnectionDriver.__new__()",
    {"config", "loop", "serve", "task", "websocket", "access", "state", "asgi", "counters", "concurrency"},
    8};

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
    PyErr_Format(PyExc_ValueError,
                 "forwarded_allow_ips: '%.200s' is not an IP address, a CIDR range, '*' or 'unix:'",
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
    const auto bound = kDriverNew.bind(args, kwargs);
    PyObject* config = bound[0];
    auto number = [&](const char* name) { return to_u64(setting(config, name).get(), name); };
    auto duration = [&](const char* name) { return seconds(setting(config, name).get(), name); };
    auto flag = [&](const char* name) { return to_bool(setting(config, name).get(), name); };
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
    if (const PyRef limit = setting(config, "limit_concurrency"); limit.get() != Py_None) {
      settings.concurrency_limit = to_u64(limit.get(), "limit_concurrency");
      if (bound[9] == nullptr || bound[9] == Py_None)
        raise(PyExc_TypeError, "limit_concurrency needs the ServerCounters its loops share as concurrency");
      settings.concurrency = counters_of(bound[9]);
    }
    std::optional<server::ProxyTrust> proxy_trust;
    if (flag("proxy_headers")) proxy_trust = to_proxy_trust(setting(config, "forwarded_allow_ips").get());
    PyRef root_path = setting(config, "root_path");
    if (!PyUnicode_Check(root_path.get())) raise(PyExc_TypeError, "root_path must be a str");
    if (!PyDict_Check(bound[6]) || !PyDict_Check(bound[7])) raise(PyExc_TypeError, "state and asgi must be dicts");
    names();
    auto counters = bound[8] != nullptr && bound[8] != Py_None ? counters_of(bound[8])
                                                              : std::make_shared<server::ServerCounters>();
    auto shared = std::make_shared<DriverShared>(std::move(settings), std::move(counters));
    shared->event_loop = PyRef::borrow(bound[1]);
    shared->serve = PyRef::borrow(bound[2]);
    shared->task_type = PyRef::borrow(bound[3]);
    shared->task_keywords = checked_ref(Py_BuildValue("(ss)", "loop", "eager_start"));
    shared->websocket = PyRef::borrow(bound[4]);
    shared->access = PyRef::borrow(bound[5]);
    shared->state = PyRef::borrow(bound[6]);
    shared->root_path = std::move(root_path);
    shared->asgi = PyRef::borrow(bound[7]);
    shared->proxy_trust = std::move(proxy_trust);
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
    Py_RETURN_NONE;
  });
}

constexpr Parameters<4> kAdopt{"ConnectionDriver.adopt()", {"fd", "client", "server", "tls"}, 3};

PyObject* driver_adopt(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto bound = kAdopt.bind(args, nargsf, kwnames);
    auto& value = native<DriverValue>(self);
    DriverShared& driver = driver_of(self);
    const int fd = static_cast<int>(to_u64(bound[0], "fd"));
    const std::uint64_t token = driver.next_token++;
    const bool tls = bound[3] != nullptr && to_bool(bound[3], "tls");
    // Once per connection: its peer never changes, so an untrusted one costs nothing per request.
    const bool proxied = driver.proxy_trust && trusted_peer(*driver.proxy_trust, bound[1]);
    PyRef connection = checked_ref(new_native<ConnectionValue>(served_connection_type(), value.shared, fd, token,
                                                               PyRef::borrow(bound[1]), PyRef::borrow(bound[2]), tls,
                                                               proxied));
    ConnectionValue& served = connection_of(connection.get());
    served.self = connection.get();
    driver.connections.emplace(token, PyRef::borrow(connection.get()));
    step(connection.get(), [](ConnectionValue& v) { v.core.open(v); });
    Py_RETURN_NONE;
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
      if (value.session) {
        append_to_list(sessions.get(), value.session);
      } else {
        step(connection.get(), [](ConnectionValue& v) { v.core.shutdown(); });
      }
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
     "adopt($self, fd, client, server, tls=False)\n--\n\n"
     "Serves the accepted, non-blocking socket fd, which the driver now owns;\n"
     "tls: its bytes were decrypted on their way (the scope's scheme says so)."},
    {"shutdown", method_cast(driver_shutdown), METH_NOARGS,
     "shutdown($self)\n--\n\n"
     "No more keep-alive: idle connections close now, busy ones after their answer.\n"
     "Returns the WebSocket sessions, for them to close."},
    {"abort", method_cast(driver_abort), METH_NOARGS, "abort($self)\n--\n\nCloses every connection at once."},
    {"connections", method_cast(driver_connections), METH_NOARGS,
     "connections($self)\n--\n\nThe open connections."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot driver_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "ConnectionDriver(config, loop, serve, task, websocket, access, state, asgi, counters=None, "
                    "concurrency=None)\n--\n\n"
                    "Serves the plain-TCP connections of one event loop natively.\n"
                    "config: the server's settings, read by name (limits, timeouts, the server's\n"
                    "own headers, limit_concurrency, proxy_headers and forwarded_allow_ips).")},
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

PyTypeObject* connection_driver_type() noexcept {
  static ProcessOnce<PyObject> type;
  return reinterpret_cast<PyTypeObject*>(type.get([] { return create_class(&driver_spec, ClassDoc::kept); }));
}

}  // namespace tessaryne::binding
