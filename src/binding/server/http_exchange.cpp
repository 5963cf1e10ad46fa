// HttpExchange: one request served by the driver, as its application sees
// it. Its receive and send turn ASGI messages into calls on the request's
// exchange, which keeps the phase and the rules; this file only converts.

#include "binding/server/driver_parts.hpp"

#include <cerrno>
#include <string>

#include "binding/common/args.hpp"
#include "binding/common/errors.hpp"
#include "binding/common/values.hpp"
#include "binding/http/header_walk.hpp"

namespace tessaryne::binding::serving {
namespace {

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

}  // namespace

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
    case server::SendResult::interim_after_start:
      raise(PyExc_RuntimeError, "ASGI 'http.response.early_hint' sent after 'http.response.start'");
  }
}

namespace {

// The fields of a message's "headers", walked (the views live as long as `fields`).
void walk_fields(PyObject* headers, HeaderList& fields) {
  HeaderWalk<HeaderList> walk(fields);
  if (given(headers)) walk.walk(headers);
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

// An optional integer of a message: -1 when absent or None.
std::int64_t optional_count(PyObject* message, PyObject* key, const char* name) {
  const PyRef number = get_key(message, key);
  if (!number || number.get() == Py_None) return -1;
  return static_cast<std::int64_t>(to_u64(number.get(), name));
}

// A file piece of the body; the head goes with it if it is still pending.
void send_file(ExchangeValue& value, server::OpenedFile opened, bool more_body, PyObject* path) {
  if (opened.error != 0) {
    errno = opened.error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    throw PythonError{};
  }
  HeaderList fields;
  if (value.exchange.phase() == server::ResponsePhase::head_pending) walk_fields(value.headers.get(), fields);
  check_sent(value.exchange.file(fields.view(), std::move(opened.slice), more_body, opened.past_end));
  if (value.exchange.head_sent()) value.headers = PyRef();
}

// The whole file at "path", as the body's last piece.
void send_pathsend(ExchangeValue& value, PyObject* message) {
  const PyRef path = get_key(message, names().path);
  if (!path) raise(PyExc_KeyError, "path");
  PyObject* encoded = nullptr;
  if (PyUnicode_FSConverter(path.get(), &encoded) == 0) throw PythonError{};
  const PyRef bytes = PyRef::steal(encoded);
  check_sent(value.exchange.may_send_body());
  send_file(value, server::open_file(std::string(to_bytes(bytes.get(), "path"))), false, path.get());
}

// "count" bytes of "file" (a descriptor, or an object with fileno()) from "offset".
void send_zerocopysend(ExchangeValue& value, PyObject* message) {
  const Names& n = names();
  const PyRef file = get_key(message, n.file);
  if (!file) raise(PyExc_KeyError, "file");
  const int fd = PyObject_AsFileDescriptor(file.get());
  if (fd < 0) throw PythonError{};
  const std::int64_t offset = optional_count(message, n.offset, "offset");
  const std::int64_t count = optional_count(message, n.count, "count");
  const bool more_body = get_flag(message, n.more_body);
  check_sent(value.exchange.may_send_body());
  send_file(value, server::slice_of(fd, offset, count), more_body, file.get());
}

// 103 Early Hints, one link line per entry of "links".
void send_early_hint(ExchangeValue& value, PyObject* message) {
  const PyRef links = get_key(message, names().links);
  if (!links) raise(PyExc_KeyError, "links");
  const PyRef items = checked_ref(PySequence_Fast(links.get(), "ASGI 'links' must be a sequence"));
  std::vector<PyRef> encoded;
  HeaderList fields;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
    PyObject* link = PySequence_Fast_GET_ITEM(items.get(), i);
    encoded.push_back(PyUnicode_Check(link) ? checked_ref(PyUnicode_AsLatin1String(link)) : PyRef::borrow(link));
    fields.add_header("link", to_bytes(encoded.back().get(), "links"));
  }
  check_sent(value.exchange.interim(103, fields.view()));
}

void send_trailers(ExchangeValue& value, PyObject* message) {
  const Names& n = names();
  HeaderList fields;
  const PyRef headers = get_key(message, n.headers);
  walk_fields(headers.get(), fields);
  check_sent(value.exchange.trailers(fields.view(), get_flag(message, n.more_trailers)));
}

ConnectionValue& owning_connection(PyObject* self) {
  ConnectionValue& connection = connection_of(exchange_of(self).connection.get());
  check_thread(connection.shared->owner);
  return connection;
}

PyRef send(PyObject* exchange_object, PyObject* message);

// The next message, or a completion to await when it is not there yet.
PyRef receive(PyObject* exchange_object, PyObject* /*message*/ = nullptr) {
  owning_connection(exchange_object);
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
  return waiting(PyRef::borrow(value.waiter.get()), receive, exchange_object);
}

// Sends `message`; a completion to await, or the shared done one.
PyRef send(PyObject* exchange_object, PyObject* message) {
  ExchangeValue& value = exchange_of(exchange_object);
  ConnectionValue& connection = owning_connection(exchange_object);
  server::ServedConnection& core = connection.core;
  if (value.exchange.output_full() && !core.gone())
    return after_drain(connection, send, exchange_object, PyRef::borrow(message));
  if (value.exchange.disconnected() || core.gone()) {
    // Also before the loss is read: a write that met a reset has closed already.
    value.exchange.disconnect();
    raise_disconnected();
  }
  const Names& n = names();
  PyRef kind = get_key(message, n.type);
  if (!kind) raise(PyExc_KeyError, "type");
  for (const auto& [type, handle] :
       {std::pair{n.response_body, &send_body}, std::pair{n.response_start, &send_start},
        std::pair{n.response_trailers, &send_trailers}, std::pair{n.response_pathsend, &send_pathsend},
        std::pair{n.response_zerocopysend, &send_zerocopysend}, std::pair{n.response_early_hint, &send_early_hint}}) {
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

PyObject* exchange_receive(PyObject* self, PyObject*) {
  return guard([&] { return receive(self).release(); });
}

PyObject* exchange_send(PyObject* self, PyObject* message) {
  return guard([&] { return send(self, message).release(); });
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

}  // namespace

PyTypeObject* http_exchange_type() noexcept {
  static ProcessOnce<PyObject> type;
  return reinterpret_cast<PyTypeObject*>(type.get([] { return create_class(&exchange_spec, ClassDoc::kept); }));
}

}  // namespace tessaryne::binding::serving
