// FastHttpConnection: the per-connection protocol engine and its static serializers.

#include "binding/classes.hpp"
#include "binding/common/args.hpp"
#include "binding/common/borrow.hpp"
#include "binding/common/event_kind.hpp"
#include "binding/common/native_class.hpp"
#include "binding/common/values.hpp"
#include "binding/http/chunk_writer.hpp"
#include "binding/http/request_objects.hpp"
#include "binding/http/response.hpp"
#include "binding/websocket/frame_writer.hpp"
#include "binding/websocket/ws_event_sink.hpp"
#include "binding/websocket/ws_options.hpp"
#include "core/common/borrow_flag.hpp"
#include "core/http/connection.hpp"

namespace tessaryne::binding {
namespace {

struct Connection {
  explicit Connection(const http::ConnectionLimits& limits) : engine(limits) {}
  common::BorrowFlag borrow;
  http::Connection engine;
};

// Turns engine events into the event tuples of one call's list, while the
// views they carry still point into the engine's buffer.
class EventList final : public http::EventSink {
 public:
  EventList() : list_(checked_ref(PyList_New(0))) {}

  void request(const http::RequestEvent& e) override { append(new_request_event(e)); }
  void body(std::string_view data, bool more_body) override {
    append(new_tuple(new_int(EventKind::body), new_bytes(data), new_bool(more_body)));
  }
  void upgrade(std::string_view upgrade_value) override {
    append(new_tuple(new_int(EventKind::upgrade), new_lowered_bytes(upgrade_value)));
  }
  void error(std::uint16_t status, std::string_view, std::string_view response) override {
    append(new_tuple(new_int(EventKind::error), new_int(status), new_bytes(response)));
  }

  [[nodiscard]] PyObject* list() const noexcept { return list_.get(); }
  PyObject* release() noexcept { return list_.release(); }

 private:
  void append(const PyRef& event) { append_to_list(list_.get(), event); }
  PyRef list_;
};

constexpr Parameters<3> kNew{
    "FastHttpConnection.__new__()", {"max_body_size", "max_header_size", "max_keepalive_requests"}, 0};
constexpr Parameters<1> kFeedData{"FastHttpConnection.feed_data()", {"data"}, 0};
constexpr Parameters<8> kConfigureWebSocket{"FastHttpConnection.configure_websocket()", kWebSocketOptionNames, 0};
constexpr Parameters<2> kFormatWsMessage{"FastHttpConnection.format_ws_message()", kWebSocketMessageNames};
constexpr Parameters<8> kFormatResponse{
    "FastHttpConnection.format_response()",
    {"status_code", "server_header", "date_header", "headers", "body", "more_body", "is_no_body_status", "keep_alive"}};

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

PyObject* run_dispatcher(http::Connection& engine) {
  EventList events;
  if (engine.websocket_mode()) {
    WsEventSink frames(events.list());
    engine.dispatch_frames(frames);
  } else {
    engine.dispatch(events);
  }
  return events.release();
}

PyObject* connection_feed_data(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto bound = kFeedData.bind(args, nargsf, kwnames);
    auto& connection = native<Connection>(self);
    const ExclusiveBorrow borrow(connection.borrow);
    if (bound[0] != nullptr && bound[0] != Py_None) {
      const BufferArg data(bound[0]);
      connection.engine.append(data.bytes());
    }
    return run_dispatcher(connection.engine);
  });
}

PyObject* connection_pump_events(PyObject* self, PyObject*) {
  return guard([&] {
    auto& connection = native<Connection>(self);
    const ExclusiveBorrow borrow(connection.borrow);
    return run_dispatcher(connection.engine);
  });
}

PyObject* connection_reset_for_next_request(PyObject* self, PyObject*) {
  return guard([&] {
    auto& connection = native<Connection>(self);
    const ExclusiveBorrow borrow(connection.borrow);
    connection.engine.reset_for_next_request();
    Py_RETURN_NONE;
  });
}

PyObject* connection_switch_to_websocket(PyObject* self, PyObject*) {
  return guard([&] {
    auto& connection = native<Connection>(self);
    const ExclusiveBorrow borrow(connection.borrow);
    connection.engine.enter_websocket_mode();
    Py_RETURN_NONE;
  });
}

PyObject* connection_configure_websocket(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const websocket::FrameOptions options = to_frame_options(kConfigureWebSocket.bind(args, nargsf, kwnames));
    auto& connection = native<Connection>(self);
    const ExclusiveBorrow borrow(connection.borrow);
    connection.engine.configure_websocket(options);
    Py_RETURN_NONE;
  });
}

PyObject* connection_format_ws_message(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto bound = kFormatWsMessage.bind(args, nargsf, kwnames);
    auto& connection = native<Connection>(self);
    const ExclusiveBorrow borrow(connection.borrow);
    return new_ws_message(connection.engine, bound[0], bound[1]);
  });
}

PyObject* connection_is_closed(PyObject* self, PyObject*) {
  return guard([&] {
    auto& connection = native<Connection>(self);
    const SharedBorrow borrow(connection.borrow);
    return new_bool(connection.engine.is_closed()).release();
  });
}

PyObject* connection_close(PyObject* self, PyObject*) {
  return guard([&] {
    auto& connection = native<Connection>(self);
    const ExclusiveBorrow borrow(connection.borrow);
    connection.engine.close();
    Py_RETURN_NONE;
  });
}

PyObject* connection_format_response(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto bound = kFormatResponse.bind(args, nargsf, kwnames);
    return format_response(to_u16(bound[0], "status_code"), &bound[1]);
  });
}

PyMethodDef connection_methods[] = {
    {"feed_data", method_cast(connection_feed_data), METH_FASTCALL | METH_KEYWORDS,
     "feed_data($self, data=None)\n--\n\n"},
    {"pump_events", method_cast(connection_pump_events), METH_NOARGS, "pump_events($self)\n--\n\n"},
    {"reset_for_next_request", method_cast(connection_reset_for_next_request), METH_NOARGS,
     "reset_for_next_request($self)\n--\n\n"},
    {"switch_to_websocket", method_cast(connection_switch_to_websocket), METH_NOARGS,
     "switch_to_websocket($self)\n--\n\n"},
    {"configure_websocket", method_cast(connection_configure_websocket), METH_FASTCALL | METH_KEYWORDS,
     "configure_websocket($self, strict=False, utf8_fail_fast=False, max_message_size=None, "
     "permessage_deflate=False, server_no_context_takeover=False, client_no_context_takeover=False, "
     "server_max_window_bits=15, client_max_window_bits=15)\n--\n\n"
     "Opt-in WebSocket behaviour, before or with switch_to_websocket(). strict: reserved bits and\n"
     "opcodes and bad close codes fail with 1002. utf8_fail_fast: text and close reasons fail with\n"
     "1007 at the first impossible byte. max_message_size: 1009 past it (after inflating).\n"
     "permessage_deflate and the four parameters: as agreed in the handshake."},
    {"format_ws_message", method_cast(connection_format_ws_message), METH_FASTCALL | METH_KEYWORDS,
     "format_ws_message($self, opcode, payload)\n--\n\n"
     "One final frame; text and binary messages are compressed once permessage-deflate is configured."},
    {"is_closed", method_cast(connection_is_closed), METH_NOARGS, "is_closed($self)\n--\n\n"},
    {"close", method_cast(connection_close), METH_NOARGS, "close($self)\n--\n\n"},
    {"format_response", method_cast(connection_format_response), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "format_response(status_code, server_header, date_header, headers, body, more_body, "
     "is_no_body_status, keep_alive)\n--\n\n"
     "Fast zero-alloc HTTP/1.1 response wire serializer and CRLF safety scanner.\n"
     "Returns: (response_bytes, is_chunked, keep_alive)"},
    {"format_chunk", method_cast(format_chunk), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "format_chunk(chunk, more_body)\n--\n\n"},
    {"format_ws_frame", method_cast(format_ws_frame), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "format_ws_frame(opcode, payload)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot connection_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("FastHttpConnection(max_body_size=..., max_header_size=..., max_keepalive_requests=1000)\n"
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
    "tessaryne._tessaryne_core.FastHttpConnection", sizeof(NativeObject<Connection>), 0, kClassFlags, connection_slots,
};

}  // namespace

PyTypeObject* fast_http_connection_type() noexcept {
  static ProcessOnce<PyObject> type;
  return reinterpret_cast<PyTypeObject*>(type.get([] { return create_class(&connection_spec, ClassDoc::kept); }));
}

}  // namespace tessaryne::binding
