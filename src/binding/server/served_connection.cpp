// ServedConnection: one connection served by the driver. Its value is the
// core connection's ConnectionEvents (what the connection reports becomes
// Python calls), and its methods are what a WebSocket session writes through.

#include "binding/server/driver_parts.hpp"

#include <memory>
#include <string>
#include <type_traits>

#include "binding/common/args.hpp"
#include "binding/common/errors.hpp"
#include "binding/common/values.hpp"
#include "binding/http/header_walk.hpp"
#include "binding/http/request_objects.hpp"
#include "binding/websocket/ws_event_sink.hpp"
#include "binding/websocket/ws_options.hpp"
#include "binding/wsgi/wsgi_call.hpp"
#include "core/http/target.hpp"

namespace tessaryne::binding::serving {
namespace {

// A WebSocket session's object: the connection itself over HTTP/1.1
// (ConnectionValue), or one of its streams over HTTP/2 (StreamValue). Both
// write through a transport; a stream's is gone once the stream is over.
server::SessionTransport* transport_of(ConnectionValue& value) noexcept { return &value.core; }
server::SessionTransport* transport_of(StreamValue& value) noexcept {
  return connection_of(value.connection.get()).core.session_stream(value.stream);
}
ConnectionValue& owner_of(ConnectionValue& value) noexcept { return value; }
ConnectionValue& owner_of(StreamValue& value) noexcept { return connection_of(value.connection.get()); }

template <class Value>
Value& checked(PyObject* self) {
  auto& value = native<Value>(self);
  check_thread(owner_of(value).shared->owner);
  return value;
}

// The transport, which must be there (the engine's calls).
template <class Value>
server::SessionTransport& open_transport(PyObject* self) {
  server::SessionTransport* transport = transport_of(checked<Value>(self));
  if (transport == nullptr) raise(PyExc_ConnectionError, "connection lost");
  return *transport;
}

// A method that acts on the transport, and on nothing once it is over.
template <class Value, class Body>
PyObject* on_transport(PyObject* self, Body&& body) {
  return guard([&] {
    PyRef keep = PyRef::borrow(self);
    if (server::SessionTransport* transport = transport_of(checked<Value>(self))) body(*transport);
    Py_RETURN_NONE;
  });
}

template <class Value>
PyObject* served_write(PyObject* self, PyObject* data) {
  return on_transport<Value>(self, [&](server::SessionTransport& transport) {
    const std::string_view bytes = to_bytes(data, "data");
    transport.write(std::span<const std::string_view>(&bytes, 1));
  });
}

constexpr Parameters<5> kServedWriteResponse{
    "ServedConnection.write_response()", {"status", "headers", "body", "more_body", "no_body"}, 3};

template <class Value>
PyObject* served_write_response(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto [status, headers, body, more_body, no_body] = kServedWriteResponse.bind(args, nargsf, kwnames);
    server::SessionTransport* transport = transport_of(checked<Value>(self));
    const std::uint16_t code = to_u16(status, "status");
    HeaderList fields;
    HeaderWalk<HeaderList> walk(fields);
    walk.walk(headers);
    const std::string_view bytes = to_bytes(body, "body");
    const bool more = more_body != nullptr && to_bool(more_body, "more_body");
    const bool bodiless = no_body != nullptr && to_bool(no_body, "no_body");
    bool chunked = false;
    // As write(): nothing to say to a client that left.
    if (transport == nullptr) return new_bool(false).release();
    const server::SendResult result = transport->write_response(code, fields.view(), bytes, more, bodiless, chunked);
    if (result != server::SendResult::gone) check_sent(result);
    return new_bool(chunked).release();
  });
}

// A method that is one call on the transport.
template <class Value, void (server::SessionTransport::*Action)()>
PyObject* transport_call(PyObject* self, PyObject*) {
  return on_transport<Value>(self, [](server::SessionTransport& transport) { (transport.*Action)(); });
}

constexpr Parameters<8> kServedConfigureWebSocket{"ServedConnection.configure_websocket()", kWebSocketOptionNames, 0};
constexpr Parameters<2> kServedFormatWsMessage{"ServedConnection.format_ws_message()", kWebSocketMessageNames};

template <class Value>
PyObject* served_configure_websocket(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const websocket::FrameOptions options = to_frame_options(kServedConfigureWebSocket.bind(args, nargsf, kwnames));
    open_transport<Value>(self).engine().configure_websocket(options);
    Py_RETURN_NONE;
  });
}

template <class Value>
PyObject* served_format_ws_message(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto [opcode, payload] = kServedFormatWsMessage.bind(args, nargsf, kwnames);
    return new_ws_message(open_transport<Value>(self).engine(), opcode, payload);
  });
}

template <class Value>
PyObject* served_pump_events(PyObject* self, PyObject*) {
  return guard([&] {
    server::SessionTransport* transport = transport_of(checked<Value>(self));
    if (transport == nullptr) return checked_ref(PyList_New(0)).release();
    return frame_events(transport->engine()).release();
  });
}

PyRef new_value(bool value) { return new_bool(value); }
PyRef new_value(std::size_t value) { return new_int(value); }

// A reading of the transport, as a Python object; `ended` once it is over.
template <class Value, auto Read, auto Ended>
PyObject* transport_reading(PyObject* self, void* = nullptr) {
  return guard([&] {
    server::SessionTransport* transport = transport_of(checked<Value>(self));
    return new_value(transport == nullptr ? Ended : (transport->*Read)()).release();
  });
}

// The host of a scope's client ((host, port), or None without an address).
std::string_view client_host(PyObject* client) {
  if (client == nullptr || !PyTuple_Check(client) || PyTuple_GET_SIZE(client) == 0) return {};
  PyObject* host = PyTuple_GET_ITEM(client, 0);
  if (!PyUnicode_Check(host)) return {};
  return to_text(host, "client");
}

server::AccessRequest access_request(const http::RequestEvent& event, PyObject* client) {
  return {client_host(client), event.method, event.target, event.minor_version, event.headers, event.major_version};
}

PyRef access_line(const server::AccessRecord& record, std::uint16_t status, std::uint64_t sent,
                  Clock::time_point began) {
  std::string line;
  record.render(status, sent, server::AccessTimes::since(began), line);
  return new_text(line);
}

constexpr Parameters<3> kServedAccessLine{"ServedConnection.access_line()", {"status", "headers", "sent"}};

template <class Value>
PyObject* served_access_line(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto [status, headers, sent] = kServedAccessLine.bind(args, nargsf, kwnames);
    auto& value = checked<Value>(self);
    const std::uint16_t code = to_u16(status, "status");
    HeaderList fields;
    HeaderWalk<HeaderList> walk(fields);
    walk.walk(headers);
    const std::uint64_t count = to_u64(sent, "sent");
    if (!value.ws.upgrade_access) Py_RETURN_NONE;
    // Logged once, so the record goes.
    const std::unique_ptr<server::AccessRecord> record = std::move(value.ws.upgrade_access);
    record->keep_response(fields.view());
    return access_line(*record, code, count, value.ws.upgrade_began).release();
  });
}

template <class Value>
PyRef session_drain(PyObject* self) {
  server::SessionTransport* transport = transport_of(checked<Value>(self));
  if (transport == nullptr || transport->gone()) raise(PyExc_ConnectionError, "connection lost");
  if (!transport->write_paused()) return PyRef::steal(done_completion());
  return after_drain(
      owner_of(checked<Value>(self)), [](PyObject* again, PyObject*) { return session_drain<Value>(again); }, self);
}

template <class Value>
PyObject* served_drain(PyObject* self, PyObject*) {
  return guard([&] { return session_drain<Value>(self).release(); });
}

template <class Value>
struct SessionMethods {
  static inline PyMethodDef methods[] = {
      {"write", method_cast(served_write<Value>), METH_O, "write($self, data, /)\n--\n\n"},
      {"write_response", method_cast(served_write_response<Value>), METH_FASTCALL | METH_KEYWORDS,
       "write_response($self, status, headers, body, more_body=False, no_body=False)\n--\n\n"
       "Writes a response with the server's own lines; returns whether the rest\n"
       "of its body goes out in chunks."},
      {"close", method_cast(transport_call<Value, &server::SessionTransport::close>), METH_NOARGS,
       "close($self)\n--\n\nSends what is queued, then closes."},
      {"force_close", method_cast(transport_call<Value, &server::SessionTransport::abort>), METH_NOARGS,
       "force_close($self)\n--\n\n"},
      {"pause_reading", method_cast(transport_call<Value, &server::SessionTransport::pause_reading>), METH_NOARGS,
       "pause_reading($self)\n--\n\n"},
      {"resume_reading", method_cast(transport_call<Value, &server::SessionTransport::resume_reading>), METH_NOARGS,
       "resume_reading($self)\n--\n\n"},
      {"switch_to_websocket", method_cast(transport_call<Value, &server::SessionTransport::switch_to_websocket>),
       METH_NOARGS, "switch_to_websocket($self)\n--\n\n"},
      {"configure_websocket", method_cast(served_configure_websocket<Value>), METH_FASTCALL | METH_KEYWORDS,
       "configure_websocket($self, strict=False, utf8_fail_fast=False, max_message_size=None, "
       "permessage_deflate=False, server_no_context_takeover=False, client_no_context_takeover=False, "
       "server_max_window_bits=15, client_max_window_bits=15)\n--\n\nAs FastHttpConnection.configure_websocket()."},
      {"format_ws_message", method_cast(served_format_ws_message<Value>), METH_FASTCALL | METH_KEYWORDS,
       "format_ws_message($self, opcode, payload)\n--\n\nAs FastHttpConnection.format_ws_message()."},
      {"pump_events", method_cast(served_pump_events<Value>), METH_NOARGS, "pump_events($self)\n--\n\n"},
      {"gone", method_cast(transport_reading<Value, &server::SessionTransport::gone, true>), METH_NOARGS,
       "gone($self)\n--\n\n"},
      {"access_line", method_cast(served_access_line<Value>), METH_FASTCALL | METH_KEYWORDS,
       "access_line($self, status, headers, sent)\n--\n\n"
       "The access line of a WebSocket handshake's answer in the driver's access\n"
       "format; None without one, or once given."},
      {"drain", method_cast(served_drain<Value>), METH_NOARGS,
       "drain($self)\n--\n\nAwaitable: returns once the output takes more bytes."},
      {nullptr, nullptr, 0, nullptr},
  };
  static inline PyGetSetDef getset[] = {
      {"write_paused", transport_reading<Value, &server::SessionTransport::write_paused, false>, nullptr, nullptr,
       nullptr},
      {"pending_output", transport_reading<Value, &server::SessionTransport::pending_output, std::size_t{0}>, nullptr,
       "Bytes queued for the socket.", nullptr},
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };
  static inline PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_native<Value>)},
      {Py_tp_traverse, reinterpret_cast<void*>(traverse_native<Value>)},
      {Py_tp_clear, reinterpret_cast<void*>(clear_native<Value>)},
      {Py_tp_methods, methods},
      {Py_tp_getset, getset},
      {Py_tp_doc, const_cast<char*>(std::is_same_v<Value, ConnectionValue>
                                        ? "A connection served by a ConnectionDriver."
                                        : "A WebSocket session's HTTP/2 stream, served by a ConnectionDriver.")},
      {0, nullptr},
  };
};

PyType_Spec served_spec = {"tessaryne._tessaryne_core.ServedConnection", sizeof(NativeObject<ConnectionValue>), 0,
                           kGcClassFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION, SessionMethods<ConnectionValue>::slots};
PyType_Spec stream_spec = {"tessaryne._tessaryne_core.ServedStream", sizeof(NativeObject<StreamValue>), 0,
                           kGcClassFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION, SessionMethods<StreamValue>::slots};

}  // namespace

PyRef after_drain(ConnectionValue& connection, Retry retry, PyObject* owner, PyRef message) {
  PyRef future = connection.shared->new_future();
  connection.drain_waiters.push_back(PyRef::borrow(future.get()));
  return waiting(std::move(future), retry, owner, std::move(message));
}

PyRef frame_events(http::Connection& engine) {
  PyRef events = checked_ref(PyList_New(0));
  WsEventSink sink(events.get());
  engine.dispatch_frames(sink);
  return events;
}

PyObject* ConnectionValue::exchange_object(std::uint32_t stream) const noexcept {
  if (stream == 0) return current.get();
  const auto found = streams.find(stream);
  return found == streams.end() ? nullptr : found->second.get();
}

ExchangeValue& ConnectionValue::new_exchange(std::uint32_t stream) {
  PyRef exchange_object = checked_ref(new_native<ExchangeValue>(http_exchange_type()));
  ExchangeValue& exchange = exchange_of(exchange_object.get());
  exchange.connection = PyRef::borrow(self);
  if (stream == 0) {
    current = std::move(exchange_object);
  } else {
    streams.insert_or_assign(stream, std::move(exchange_object));
  }
  return exchange;
}

server::Exchange& ConnectionValue::request(const http::RequestEvent& event, std::uint32_t stream) {
  ExchangeValue& exchange = new_exchange(stream);
  const std::string_view raw_path = http::origin_path(event.target_parts.path);
  if (shared->wsgi_environ) {
    const server::ServerSettings& settings = shared->loop.settings();
    exchange.wsgi =
        std::make_shared<wsgi::Call>(shared->mailbox, core.token(), settings.read_buffer_limit, settings.write_high);
    exchange.worker = wsgi_interface::new_wsgi_call(exchange.wsgi, shared->file_wrapper.get());
    exchange.scope = new_environ(event, raw_path, exchange.worker.get(), exchange);
  } else {
    exchange.scope = new_scope(event, raw_path, &exchange);
  }
  if (shared->access_format)
    exchange.exchange.keep_for_access(shared->access_format, access_request(event, exchange.client.get()));
  // The core calls start() once the engine's step is over.
  return exchange.current();
}

server::Exchange& ConnectionValue::native_request(const http::RequestEvent& event, std::uint32_t stream) {
  ExchangeValue& exchange = new_exchange(stream);
  exchange.native = true;
  // No scope: only what its access line is made of, when one is written.
  if (shared->access_format) {
    exchange.exchange.keep_for_access(shared->access_format, access_request(event, peers(event).client.get()));
  } else if (shared->access.get() != Py_None) {
    exchange.client = std::move(peers(event).client);
    exchange.method = new_text(event.method);
    exchange.raw_path = new_bytes(http::origin_path(event.target_parts.path));
    exchange.query = new_bytes(event.target_parts.query);
    exchange.version = new_text(http::version_text(event.minor_version, event.major_version));
  }
  return exchange.exchange;
}

namespace {

// What a WebSocket session starts from, kept by the object it will write through.
void prepare_session(ConnectionValue& connection, SessionSlot& holder, const http::RequestEvent& event) {
  holder.upgrade = new_request_event(event);
  holder.scope = connection.new_scope(event, http::origin_path(event.target_parts.path), nullptr);
  if (const auto& format = connection.shared->access_format) {
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(holder.scope.get(), names().client, &found) < 0) throw PythonError{};
    const PyRef scope_client = PyRef::steal(found);
    holder.upgrade_access = std::make_unique<server::AccessRecord>(format, access_request(event, scope_client.get()));
    holder.upgrade_began = Clock::now();
  }
}

// websocket(transport, request_event, scope): the session, which `holder` keeps.
void start_session(ConnectionValue& connection, PyObject* transport, SessionSlot& holder) {
  PyRef event = std::move(holder.upgrade);
  PyRef websocket_scope = std::move(holder.scope);
  if (!event || !websocket_scope) return;
  holder.session = checked_ref(PyObject_CallFunctionObjArgs(connection.shared->websocket.get(), transport, event.get(),
                                                            websocket_scope.get(), nullptr));
}

void session_lost(const PyRef& session) {
  if (session) PyRef result = checked_ref(PyObject_CallMethod(session.get(), "connection_lost", nullptr));
}

}  // namespace

void ConnectionValue::websocket(const http::RequestEvent& event, std::uint32_t stream) {
  if (stream == 0) {
    prepare_session(*this, ws, event);
    return;
  }
  PyRef object = checked_ref(new_native<StreamValue>(served_stream_type()));
  auto& value = native<StreamValue>(object.get());
  value.connection = PyRef::borrow(self);
  value.stream = stream;
  prepare_session(*this, value.ws, event);
  sessions.insert_or_assign(stream, std::move(object));
}

void ConnectionValue::start(std::uint32_t stream) {
  PyRef exchange = PyRef::borrow(exchange_object(stream));
  if (!exchange) return;
  ExchangeValue& request = exchange_of(exchange.get());
  PyRef scope = std::move(request.scope);
  if (!scope) return;
  if (request.wsgi) {
    // Handed to a worker thread with the others of this run().
    request.wsgi->began();
    shared->started_calls.push_back(new_tuple(std::move(scope), std::move(request.worker)));
    return;
  }
  std::array<PyObject*, 2> arguments{scope.get(), exchange.get()};
  PyRef coroutine = checked_ref(PyObject_Vectorcall(shared->serve.get(), arguments.data(), 2, nullptr));
  // Task(coroutine, loop=loop, eager_start=True): the app runs up to its first
  // real suspension right here, so a simple app has answered before run() returns.
  std::array<PyObject*, 3> task_arguments{coroutine.get(), shared->event_loop.get(), Py_True};
  PyRef task =
      checked_ref(PyObject_Vectorcall(shared->task_type.get(), task_arguments.data(), 1, shared->task_keywords.get()));
}

void ConnectionValue::body(std::uint32_t stream, std::string_view data, bool more_body) {
  PyObject* found = exchange_object(stream);
  if (found == nullptr) return;
  ExchangeValue& exchange = exchange_of(found);
  if (exchange.native) return;
  if (exchange.wsgi) {
    const std::size_t waiting = exchange.wsgi->received(data, more_body);
    exchange.current().body_waiting(waiting);
    return;
  }
  if (!data.empty()) {
    exchange.body.push_back(new_bytes(data));
    exchange.body_size += data.size();
  }
  exchange.exchange.body_waiting(exchange.body_size);
  PyRef waiter = std::move(exchange.waiter);
  wake_future(waiter);
}

namespace {

// Wakes what waits on an exchange: a receive, or its WSGI call's worker.
void wake_exchange(ExchangeValue& exchange) {
  if (exchange.wsgi) {
    exchange.wsgi->changed();
    return;
  }
  PyRef waiter = std::move(exchange.waiter);
  wake_future(waiter);
}

}  // namespace

void ConnectionValue::wake(std::uint32_t stream) {
  if (PyObject* found = exchange_object(stream)) wake_exchange(exchange_of(found));
}

void ConnectionValue::stream_closed(std::uint32_t stream) {
  // The last reference may go here: nothing of the connection is touched after.
  if (const auto found = sessions.find(stream); found != sessions.end()) {
    PyRef object = std::move(found->second);
    sessions.erase(found);
    session_lost(native<StreamValue>(object.get()).ws.session);
    return;
  }
  const auto found = streams.find(stream);
  if (found == streams.end()) return;
  PyRef exchange = std::move(found->second);
  streams.erase(found);
  wake_exchange(exchange_of(exchange.get()));
}

void ConnectionValue::writable() {
  // A WSGI response's pieces waiting for the output go on.
  const auto pump = [](PyObject* exchange) {
    if (exchange == nullptr) return;
    if (const std::shared_ptr<wsgi::Call> call = exchange_of(exchange).wsgi) call->pump();
  };
  pump(current.get());
  if (shared->wsgi_environ && !streams.empty()) {  // only WSGI calls have pieces waiting
    std::vector<PyRef> open;
    open.reserve(streams.size());
    for (const auto& [id, exchange] : streams) open.push_back(PyRef::borrow(exchange.get()));
    for (const PyRef& exchange : open) pump(exchange.get());
  }
  std::vector<PyRef> waiters = std::move(drain_waiters);
  drain_waiters.clear();
  for (const PyRef& waiter : waiters) wake_future(waiter);
}

void ConnectionValue::response_done(const server::Exchange& exchange_state) {
  PyObject* found = exchange_object(exchange_state.request().stream);
  if (found == nullptr) return;
  ExchangeValue& exchange = exchange_of(found);
  PyObject* access = shared->access.get();
  if (access == Py_None) return;
  if (shared->access_format) {
    const server::AccessRecord* record = exchange_state.access_record();
    if (record == nullptr) return;
    PyRef line = access_line(*record, exchange_state.status(), exchange_state.sent(), exchange_state.began());
    PyRef logged = checked_ref(PyObject_CallOneArg(access, line.get()));
    return;
  }
  PyRef status = new_int(exchange_state.status());
  PyRef sent = new_int(exchange_state.sent());
  PyRef logged = checked_ref(PyObject_CallFunctionObjArgs(access, exchange.client.get(), exchange.method.get(),
                                                          exchange.raw_path.get(), exchange.query.get(),
                                                          exchange.version.get(), status.get(), sent.get(), nullptr));
}

void ConnectionValue::start_websocket(std::uint32_t stream) {
  if (stream == 0) {
    current = PyRef();
    start_session(*this, self, ws);
    return;
  }
  const auto found = sessions.find(stream);
  if (found == sessions.end()) return;
  PyRef object = PyRef::borrow(found->second.get());
  start_session(*this, object.get(), native<StreamValue>(object.get()).ws);
}

void ConnectionValue::frames(std::uint32_t stream) {
  PyRef session_ref;
  server::SessionTransport* transport = &core;
  if (stream == 0) {
    session_ref = PyRef::borrow(ws.session.get());
  } else if (const auto found = sessions.find(stream); found != sessions.end()) {
    session_ref = PyRef::borrow(native<StreamValue>(found->second.get()).ws.session.get());
    transport = core.session_stream(stream);
  }
  if (!session_ref || transport == nullptr) return;
  PyRef events = frame_events(transport->engine());
  if (PyList_GET_SIZE(events.get()) == 0) return;
  PyRef result = checked_ref(PyObject_CallMethod(session_ref.get(), "on_events", "O", events.get()));
}

void ConnectionValue::ended() {
  // Everything this connection holds is let go here: the exchanges and the
  // session point back to it, and a finished connection must be freed by
  // reference counting alone.
  PyRef keep_self = PyRef::borrow(self);
  std::vector<PyRef> exchanges;
  exchanges.reserve(streams.size() + 1);
  if (current) exchanges.push_back(std::move(current));
  for (auto& [id, exchange] : streams) exchanges.push_back(std::move(exchange));
  streams.clear();
  std::vector<PyRef> stream_sessions;
  stream_sessions.reserve(sessions.size());
  for (auto& [id, object] : sessions) stream_sessions.push_back(std::move(object));
  sessions.clear();
  auto [event, pending_scope, websocket_session] = ws.clear();
  for (const PyRef& exchange : exchanges) wake_exchange(exchange_of(exchange.get()));
  writable();
  PyRef entry;
  auto found = shared->connections.find(core.token());
  if (found != shared->connections.end()) {
    entry = std::move(found->second);
    shared->connections.erase(found);
  }
  session_lost(websocket_session);
  for (const PyRef& object : stream_sessions) session_lost(native<StreamValue>(object.get()).ws.session);
}

PyTypeObject* served_connection_type() noexcept {
  static ProcessOnce<PyObject> type;
  return reinterpret_cast<PyTypeObject*>(type.get([] { return create_class(&served_spec, ClassDoc::kept); }));
}

PyTypeObject* served_stream_type() noexcept {
  static ProcessOnce<PyObject> type;
  return reinterpret_cast<PyTypeObject*>(type.get([] { return create_class(&stream_spec, ClassDoc::kept); }));
}

}  // namespace tessaryne::binding::serving
