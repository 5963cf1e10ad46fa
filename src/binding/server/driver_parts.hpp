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

#include "binding/common/completion.hpp"
#include "binding/common/native_class.hpp"
#include "binding/common/py_ref.hpp"
#include "binding/common/python.hpp"
#include "core/server/proxy_headers.hpp"
#include "core/server/served_connection.hpp"
#include "core/wsgi/call.hpp"

namespace tessaryne::binding::serving {

using server::Clock;

// --- names used on every request, made once -----------------------------------------

// Interned once per process and kept: the names outlive every request.
PyObject* interned(const char* text);

struct Names {
  PyObject* type = interned("type");
  PyObject* asgi = interned("asgi");
  PyObject* http_version = interned("http_version");
  PyObject* method = interned("method");
  PyObject* scheme = interned("scheme");
  PyObject* path = interned("path");
  PyObject* raw_path = interned("raw_path");
  PyObject* query_string = interned("query_string");
  PyObject* root_path = interned("root_path");
  PyObject* headers = interned("headers");
  PyObject* client = interned("client");
  PyObject* server = interned("server");
  PyObject* state = interned("state");
  PyObject* http = interned("http");
  PyObject* https = interned("https");
  PyObject* websocket = interned("websocket");
  PyObject* ws = interned("ws");
  PyObject* wss = interned("wss");
  PyObject* subprotocols = interned("subprotocols");
  PyObject* body = interned("body");
  PyObject* more_body = interned("more_body");
  PyObject* status = interned("status");
  PyObject* http_request = interned("http.request");
  PyObject* http_disconnect = interned("http.disconnect");
  PyObject* response_start = interned("http.response.start");
  PyObject* response_body = interned("http.response.body");
  PyObject* response_trailers = interned("http.response.trailers");
  PyObject* response_pathsend = interned("http.response.pathsend");
  PyObject* response_zerocopysend = interned("http.response.zerocopysend");
  PyObject* response_early_hint = interned("http.response.early_hint");
  PyObject* tls = interned("tls");
  PyObject* file = interned("file");
  PyObject* offset = interned("offset");
  PyObject* count = interned("count");
  PyObject* links = interned("links");
  PyObject* trailers = interned("trailers");
  PyObject* more_trailers = interned("more_trailers");
  PyObject* extensions = interned("extensions");
  PyObject* create_future = interned("create_future");
  PyObject* done = interned("done");
  PyObject* set_result = interned("set_result");
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
  // With a format of the operator's, access(line) instead, the line rendered from the exchange's record.
  std::shared_ptr<const server::AccessFormat> access_format;
  PyRef state;  // the lifespan state, copied into every scope
  // WSGI: what every environ starts from, copied for each request; null for ASGI.
  // serve(calls) then starts calls on worker threads, a list of (environ,
  // call) at a time: those of one run(), so that one wake-up of the workers
  // serves many.
  PyRef wsgi_environ;
  std::vector<PyRef> started_calls;
  PyRef file_wrapper;  // the class of wsgi.file_wrapper
  // Where worker threads leave the calls with something for this loop.
  std::shared_ptr<wsgi::Mailbox> mailbox;
  PyRef root_path;
  PyRef asgi;
  // The peers trusted as proxies (forwarded_allow_ips), when either of the
  // two features below is on.
  std::optional<server::ProxyTrust> proxy_trust;
  bool proxy_headers = false;   // a trusted peer's X-Forwarded-* and Forwarded headers are believed
  bool proxy_protocol = false;  // a trusted peer opens each connection with a PROXY header
  // The open connections by token. Not visited by the collector: an open
  // connection is alive because it is open.
  std::unordered_map<std::uint64_t, PyRef> connections;
  std::uint64_t next_token = 1;

  PyRef new_future() const { return checked_ref(PyObject_CallMethodNoArgs(event_loop.get(), names().create_future)); }
  // Hands the WSGI calls started since the last time to serve().
  void serve_started_calls();
};

// --- one request ------------------------------------------------------------------------

// The Python objects of one request; its phases are the exchange's.
struct ExchangeValue {
  server::Exchange exchange;
  PyRef connection;
  PyRef client, method, raw_path, query, version;  // for the access log
  std::vector<PyRef> body;                         // pieces received, not yet handed to the app
  std::size_t body_size = 0;
  PyRef scope;          // until its app starts
  PyRef headers;        // of the response start, until the head is written
  PyRef waiter;         // a waiting receive's future
  bool native = false;  // answered by the server itself: no app reads its body
  // A WSGI request: its call, which holds the exchange in use (this one's
  // `exchange` goes unused), and the call's object until a worker has it.
  std::shared_ptr<wsgi::Call> wsgi;
  PyRef worker;

  // The exchange the connection serves this request with.
  server::Exchange& current() noexcept { return wsgi ? wsgi->exchange() : exchange; }

  int traverse(visitproc visit, void* arg) const {
    Py_VISIT(connection.get());
    Py_VISIT(scope.get());
    Py_VISIT(headers.get());
    Py_VISIT(waiter.get());
    Py_VISIT(worker.get());
    return 0;
  }
  std::array<PyRef, 5> clear() noexcept {
    return {std::move(connection), std::move(scope), std::move(headers), std::move(waiter), std::move(worker)};
  }
};

// --- a WebSocket session ---------------------------------------------------------------------

// A WebSocket session, as the object it writes through holds it: its upgrade
// request's event and scope until it starts, then the session.
struct SessionSlot {
  PyRef upgrade, scope, session;
  // With an access format: what the upgrade request's line is made of, until its answer is logged.
  std::unique_ptr<server::AccessRecord> upgrade_access;
  Clock::time_point upgrade_began{};

  int traverse(visitproc visit, void* arg) const {
    Py_VISIT(upgrade.get());
    Py_VISIT(scope.get());
    Py_VISIT(session.get());
    return 0;
  }
  std::array<PyRef, 3> clear() noexcept { return {std::move(upgrade), std::move(scope), std::move(session)}; }
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
  bool tls;             // the bytes crossed TLS before reaching this socket
  PyRef tls_extension;  // what the scope's "tls" extension says of that TLS, if anything
  bool proxied;         // the peer is a trusted proxy: its headers may change client, scheme and server
  PyRef current;        // the exchange of the HTTP/1.1 request being served
  // HTTP/2: the exchange of each stream being served, by its number, and the
  // ServedStream of each WebSocket session's stream.
  std::unordered_map<std::uint32_t, PyRef> streams;
  std::unordered_map<std::uint32_t, PyRef> sessions;
  SessionSlot ws;  // an HTTP/1.1 WebSocket session
  std::vector<PyRef> drain_waiters;

  // The exchange object of `stream` (0: HTTP/1.1's current one), or null.
  [[nodiscard]] PyObject* exchange_object(std::uint32_t stream) const noexcept;
  // A new exchange object for `stream`, kept as its connection's.
  ExchangeValue& new_exchange(std::uint32_t stream);

  // ConnectionEvents
  server::Exchange& request(const http::RequestEvent& event, std::uint32_t stream) override;
  server::Exchange& native_request(const http::RequestEvent& event, std::uint32_t stream) override;
  void body(std::uint32_t stream, std::string_view data, bool more_body) override;
  void start(std::uint32_t stream) override;
  void websocket(const http::RequestEvent& event, std::uint32_t stream) override;
  // A WebSocket scope without `request`; an http scope also gives `request` its access-log items.
  PyRef new_scope(const http::RequestEvent& event, std::string_view raw_path, ExchangeValue* request);
  // What a scope and an access line say of a request: its peers as a trusted proxy's headers give them.
  struct Peers {
    PyRef client, server;
    bool secure;
  };
  [[nodiscard]] Peers peers(const http::RequestEvent& event) const;
  PyRef new_extensions(const http::RequestEvent& event, bool websocket) const;
  // A WSGI request's environ, "wsgi.input" being `input`; gives `request` its access-log items.
  PyRef new_environ(const http::RequestEvent& event, std::string_view raw_path, PyObject* input,
                    ExchangeValue& request);
  void start_websocket(std::uint32_t stream) override;
  void frames(std::uint32_t stream) override;
  void wake(std::uint32_t stream) override;
  void stream_closed(std::uint32_t stream) override;
  void writable() override;
  void response_done(const server::Exchange& exchange) override;
  void ended() override;

  int traverse(visitproc visit, void* arg) const {
    Py_VISIT(client.get());
    Py_VISIT(server.get());
    Py_VISIT(tls_extension.get());
    Py_VISIT(current.get());
    if (const int visited = ws.traverse(visit, arg); visited != 0) return visited;
    for (const auto& [id, exchange] : streams) Py_VISIT(exchange.get());
    for (const auto& [id, stream] : sessions) Py_VISIT(stream.get());
    for (const PyRef& waiter : drain_waiters) Py_VISIT(waiter.get());
    return 0;
  }
  std::vector<PyRef> clear() noexcept {
    std::vector<PyRef> out;
    out.reserve(7 + streams.size() + sessions.size() + drain_waiters.size());
    for (PyRef* ref : {&client, &server, &tls_extension, &current}) out.push_back(std::move(*ref));
    for (PyRef& ref : ws.clear()) out.push_back(std::move(ref));
    for (auto& [id, exchange] : streams) out.push_back(std::move(exchange));
    streams.clear();
    for (auto& [id, stream] : sessions) out.push_back(std::move(stream));
    sessions.clear();
    for (PyRef& waiter : drain_waiters) out.push_back(std::move(waiter));
    drain_waiters.clear();
    return out;
  }
};

// --- a WebSocket session's HTTP/2 stream --------------------------------------------------

// A session on an HTTP/2 stream, held as the connection holds an HTTP/1.1 one.
struct StreamValue {
  PyRef connection;
  std::uint32_t stream = 0;
  SessionSlot ws;

  int traverse(visitproc visit, void* arg) const {
    Py_VISIT(connection.get());
    return ws.traverse(visit, arg);
  }
  std::array<PyRef, 4> clear() noexcept {
    auto [upgrade, scope, session] = ws.clear();
    return {std::move(connection), std::move(upgrade), std::move(scope), std::move(session)};
  }
};

inline ConnectionValue& connection_of(PyObject* object) noexcept { return native<ConnectionValue>(object); }
inline ExchangeValue& exchange_of(PyObject* object) noexcept { return native<ExchangeValue>(object); }

PyTypeObject* served_connection_type() noexcept;
PyTypeObject* served_stream_type() noexcept;
PyTypeObject* http_exchange_type() noexcept;

// --- the scope and the messages (scope.cpp) -------------------------------------------

void set_item(PyObject* dict, PyObject* key, const PyRef& value);
// A message dict with its "type".
PyRef message_of(PyObject* type);

// --- waiting for the output to drain (served_connection.cpp) ---------------------------

// A completion that calls `retry` once the connection's output has drained:
// writable() or ended() wakes it.
PyRef after_drain(ConnectionValue& connection, Retry retry, PyObject* owner, PyRef message = {});

// --- receive and send (http_exchange.cpp) ------------------------------------------------

// What the exchange made of a message, as the application hears it.
void check_sent(server::SendResult result);

// The WebSocket events of every frame buffered in the engine, as a list (served_connection.cpp).
PyRef frame_events(http::Connection& engine);

}  // namespace tessaryne::binding::serving
