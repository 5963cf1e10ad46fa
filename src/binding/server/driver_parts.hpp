#pragma once
// What the files of the connection driver share: the interned names, the
// loop-wide part, the Python objects of a connection and of a request, and
// the calls between them. The driver's four Python types live one to a file:
//   connection_driver.cpp  ConnectionDriver  one per loop thread; owns the poller and the open connections
//   served_connection.cpp  ServedConnection  one per connection; what a WebSocket session writes through
//   http_exchange.cpp      HttpExchange      one per request; its bound receive and send are the app's callables
//   completion.cpp         Completion        the awaitable of receive, send and drain
// and scope.cpp builds the scope. Everything belongs to the loop's thread:
// every entry point refuses another thread, so no lock is needed and none is
// held while Python code runs.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "binding/common/native_class.hpp"
#include "binding/common/py_ref.hpp"
#include "binding/common/python.hpp"
#include "core/server/proxy_headers.hpp"
#include "core/server/served_connection.hpp"

namespace tessaryne::binding::serving {

using server::Clock;

// Sets the Python error for the C++ exception being handled.
void set_error_from_current() noexcept;

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

const Names& names();

void check_thread(unsigned long owner);

// Wakes a future of the loop with None, unless it is done (say, cancelled).
void wake_future(const PyRef& future);

// --- the loop-wide part ---------------------------------------------------------------

struct DriverShared {
  DriverShared(server::ServerSettings settings, std::shared_ptr<server::ServerCounters> counters)
      : loop(std::move(settings), std::move(counters)) {}

  server::ServerLoop loop;
  unsigned long owner = PyThread_get_thread_ident();
  PyRef event_loop;
  PyRef serve;          // serve(scope, exchange): the coroutine of one request, around the app
  PyRef task_type;      // asyncio.Task: each request's coroutine runs as a task, started eagerly
  PyRef task_keywords;  // ("loop", "eager_start")
  PyRef websocket;      // websocket(connection, request_event, scope): starts a session, returns it
  PyRef access;         // access(client, method, raw_path, query, version, status, sent), or None
  PyRef state;          // the lifespan state, copied into every scope
  PyRef root_path;
  PyRef asgi;
  // Whose proxy headers are believed; none: they are never read.
  std::optional<server::ProxyTrust> proxy_trust;
  // The open connections by token. Not visited by the collector: an open
  // connection is alive because it is open.
  std::unordered_map<std::uint64_t, PyRef> connections;
  std::uint64_t next_token = 1;

  PyRef new_future() const { return checked_ref(PyObject_CallMethodNoArgs(event_loop.get(), names().create_future)); }
};

// --- one request ------------------------------------------------------------------------

// The Python objects of one request; its phases are the exchange's.
struct ExchangeValue {
  server::Exchange exchange;
  PyRef connection;
  PyRef client, method, raw_path, query, version;  // for the access log
  std::vector<PyRef> body;                         // pieces received, not yet handed to the app
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
  bool tls;       // the bytes crossed TLS before reaching this socket
  bool proxied;   // the peer is a trusted proxy: its headers may change client, scheme and server
  PyRef current;  // the exchange of the request being served
  PyRef scope;    // of the request whose app starts next
  PyRef upgrade;  // an upgrade request's event, until its session starts
  PyRef session;  // the WebSocket session
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

inline ConnectionValue& connection_of(PyObject* object) noexcept { return native<ConnectionValue>(object); }
inline ExchangeValue& exchange_of(PyObject* object) noexcept { return native<ExchangeValue>(object); }

PyTypeObject* served_connection_type() noexcept;
PyTypeObject* http_exchange_type() noexcept;

// --- the scope and the messages (scope.cpp) -------------------------------------------

void set_item(PyObject* dict, PyObject* key, const PyRef& value);
// A message dict with its "type".
PyRef message_of(PyObject* type);

// --- the awaitable (completion.cpp) ------------------------------------------------------

enum class Waiting : std::uint8_t { nothing, receive, send, drain };

// A completion that is ready with `value`.
PyRef ready(PyRef value);
// The completion of a call that had nothing to wait for and no result: one
// object, made once, awaited by everyone.
PyObject* done_completion();
// A completion that tries `kind` again once `future` is done.
PyRef waiting(Waiting kind, PyObject* owner, PyRef future, PyRef message = {});
// A completion that tries `kind` again once the connection's output has
// drained: writable() or ended() wakes it.
PyRef after_drain(ConnectionValue& connection, Waiting kind, PyObject* owner, PyRef message = {});
// A WebSocket session's drain(): done at once unless the output waits.
PyRef drain(ConnectionValue& connection, PyObject* owner);

// --- receive and send (http_exchange.cpp) ------------------------------------------------

// The next message, or a completion to await when it is not there yet.
PyRef receive(PyObject* exchange_object);
// Sends `message`; a completion to await, or the shared done one.
PyRef send(PyObject* exchange_object, PyObject* message);
// What the exchange made of a message, as the application hears it.
void check_sent(server::SendResult result);

// The WebSocket events of every frame buffered in the engine, as a list (served_connection.cpp).
PyRef frame_events(http::Connection& engine);

}  // namespace tessaryne::binding::serving
