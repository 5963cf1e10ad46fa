// WsgiCall: one WSGI call as its worker thread sees it. It is the environ's
// "wsgi.input" (read, readline, readlines, iteration), and its
// start_response, write and send turn the application's response into pieces
// queued for the loop (core/wsgi/call.*); this file only converts. It holds
// nothing of the connection, which belongs to its loop's thread: the worker
// may be the last to let go of a call.

#include <array>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "binding/common/args.hpp"
#include "binding/common/errors.hpp"
#include "binding/common/native_class.hpp"
#include "binding/common/python.hpp"
#include "binding/common/values.hpp"
#include "binding/wsgi/wsgi_call.hpp"
#include "core/server/file_slice.hpp"
#include "core/wsgi/call.hpp"

namespace tessaryne::binding::wsgi_interface {
namespace {

using wsgi::Piece;

struct CallValue {
  CallValue(std::shared_ptr<wsgi::Call> call, PyRef file_wrapper)
      : call(std::move(call)), file_wrapper(std::move(file_wrapper)) {}

  std::shared_ptr<wsgi::Call> call;
  PyRef file_wrapper;  // the class of wsgi.file_wrapper, whose bodies go out with sendfile
  // The response as start_response last gave it, until its head is queued.
  std::uint16_t status = 0;
  std::vector<std::pair<std::string, std::string>> fields;
  bool started = false;
  bool head_queued = false;
  bool ended = false;  // the end of the body, or a failure, is queued
};

CallValue& value_of(PyObject* self) noexcept { return native<CallValue>(self); }

// Waits with the thread detached, so that other threads (the collector's
// stop included) go on meanwhile.
template <class Wait>
void detached(Wait&& wait) {
  Py_BEGIN_ALLOW_THREADS wait();
  Py_END_ALLOW_THREADS
}

// --- wsgi.input ---------------------------------------------------------------

constexpr std::size_t kAll = std::numeric_limits<std::size_t>::max();

std::size_t size_argument(PyObject* const* args, Py_ssize_t nargs, const char* name) {
  if (nargs > 1) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most 1 argument (%zd given)", name, nargs);
    throw PythonError{};
  }
  if (nargs == 0 || args[0] == Py_None) return kAll;
  const Py_ssize_t size = PyNumber_AsSsize_t(args[0], PyExc_OverflowError);
  if (size == -1 && PyErr_Occurred() != nullptr) throw PythonError{};
  return size < 0 ? kAll : static_cast<std::size_t>(size);
}

PyRef read_body(CallValue& value, std::size_t count, bool line) {
  std::string out;
  std::uint64_t seen = 0;
  while (true) {
    const wsgi::Take step = value.call->take(count, line, out, seen);
    if (step == wsgi::Take::done) break;
    if (step == wsgi::Take::lost) raise_disconnected();
    detached([&] { value.call->wait_input(seen); });
  }
  return new_bytes(out);
}

PyObject* call_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return guard([&] { return read_body(value_of(self), size_argument(args, nargs, "read"), false).release(); });
}

PyObject* call_readline(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return guard([&] { return read_body(value_of(self), size_argument(args, nargs, "readline"), true).release(); });
}

PyObject* call_readlines(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return guard([&] {
    const std::size_t hint = size_argument(args, nargs, "readlines");
    PyRef lines = checked_ref(PyList_New(0));
    std::size_t total = 0;
    while (true) {
      PyRef line = read_body(value_of(self), kAll, true);
      const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(line.get()));
      if (size == 0) break;
      append_to_list(lines.get(), line);
      total += size;
      if (hint != kAll && total >= hint) break;
    }
    return lines.release();
  });
}

PyObject* call_iter(PyObject* self) { return Py_NewRef(self); }

PyObject* call_next(PyObject* self) {
  return guard([&]() -> PyObject* {
    PyRef line = read_body(value_of(self), kAll, true);
    if (PyBytes_GET_SIZE(line.get()) == 0) return nullptr;  // the end, without an exception set
    return line.release();
  });
}

// --- the response -------------------------------------------------------------

// Queues `piece`; false when the client is gone. Waits while the loop is behind.
bool queue(CallValue& value, Piece piece) {
  switch (value.call->queue(std::move(piece))) {
    case wsgi::Call::Queued::ok:
      return true;
    case wsgi::Call::Queued::full:
      detached([&] { value.call->wait_room(); });
      return !value.call->lost();
    case wsgi::Call::Queued::lost:
      break;
  }
  return false;
}

// The head, before the first piece of the body: it goes out with it.
bool queue_head(CallValue& value) {
  if (value.head_queued) return true;
  if (!value.started) raise(PyExc_RuntimeError, "the WSGI application sent its body before calling start_response()");
  value.head_queued = true;
  Piece head;
  head.kind = Piece::Kind::head;
  head.status = value.status;
  head.fields = std::move(value.fields);
  return queue(value, std::move(head));
}

bool queue_body(CallValue& value, std::string_view data, bool more_body) {
  if (!queue_head(value)) return false;
  Piece piece;
  piece.kind = Piece::Kind::body;
  piece.data.assign(data);
  piece.more_body = more_body;
  if (!more_body) value.ended = true;
  return queue(value, std::move(piece));
}

bool queue_end(CallValue& value) {
  if (value.ended) return true;
  if (!queue_head(value)) return false;
  value.ended = true;
  Piece end;
  end.kind = Piece::Kind::end;
  return queue(value, std::move(end));
}

std::string latin1(PyObject* text, const char* what) {
  if (!PyUnicode_Check(text)) {
    PyErr_Format(PyExc_TypeError, "WSGI %s must be str, not %s", what, Py_TYPE(text)->tp_name);
    throw PythonError{};
  }
  const PyRef encoded = checked_ref(PyUnicode_AsLatin1String(text));
  return {PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get()))};
}

std::vector<std::pair<std::string, std::string>> response_fields(PyObject* headers) {
  std::vector<std::pair<std::string, std::string>> fields;
  const PyRef items = checked_ref(PySequence_Fast(headers, "WSGI response headers must be a list of (name, value)"));
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
    PyObject* pair = PySequence_Fast_GET_ITEM(items.get(), i);
    if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2)
      raise(PyExc_TypeError, "WSGI response headers must be (name, value) tuples");
    std::string name = latin1(PyTuple_GET_ITEM(pair, 0), "header names");
    std::string text = latin1(PyTuple_GET_ITEM(pair, 1), "header values");
    if (!wsgi::field_fits(name, text))
      raise(PyExc_ValueError, "Illegal CRLF control characters detected in HTTP response header");
    fields.emplace_back(std::move(name), std::move(text));
  }
  return fields;
}

PyObject* call_start_response(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return guard([&]() -> PyObject* {
    if (nargs < 2 || nargs > 3) {
      PyErr_Format(PyExc_TypeError, "start_response() takes 2 or 3 arguments (%zd given)", nargs);
      throw PythonError{};
    }
    CallValue& value = value_of(self);
    PyObject* exc_info = nargs == 3 ? args[2] : Py_None;
    if (exc_info != Py_None) {
      if (value.head_queued) {
        // Too late to change the response: the application's error goes on up.
        if (!PyTuple_Check(exc_info) || PyTuple_GET_SIZE(exc_info) != 3)
          raise(PyExc_TypeError, "exc_info must be a (type, value, traceback) tuple");
        PyObject* error = PyTuple_GET_ITEM(exc_info, 1);
        if (PyTuple_GET_ITEM(exc_info, 2) != Py_None &&
            PyException_SetTraceback(error, PyTuple_GET_ITEM(exc_info, 2)) != 0)
          throw PythonError{};
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error)), error);
        return nullptr;
      }
    } else if (value.started) {
      raise(PyExc_RuntimeError, "start_response() called again without exc_info");
    }
    const std::string status = latin1(args[0], "status");
    const std::uint16_t code = wsgi::status_code(status);
    if (code == 0) {
      PyErr_Format(PyExc_ValueError, "WSGI status must be a three-digit code and a reason phrase, not %R", args[0]);
      throw PythonError{};
    }
    value.fields = response_fields(args[1]);
    value.status = code;
    value.started = true;
    return PyObject_GetAttrString(self, "write");
  });
}

PyObject* call_write(PyObject* self, PyObject* data) {
  return guard([&] {
    CallValue& value = value_of(self);
    const BufferArg bytes(data);
    if (value.ended) raise(PyExc_RuntimeError, "write() after the WSGI response was complete");
    if (!bytes.bytes().empty() && !queue_body(value, bytes.bytes(), true)) raise_disconnected();
    Py_RETURN_NONE;
  });
}

std::string_view body_piece(PyObject* item) {
  if (!PyBytes_Check(item)) {
    PyErr_Format(PyExc_TypeError, "a WSGI response yields bytes, not %s", Py_TYPE(item)->tp_name);
    throw PythonError{};
  }
  return {PyBytes_AS_STRING(item), static_cast<std::size_t>(PyBytes_GET_SIZE(item))};
}

// A wsgi.file_wrapper body whose file has a descriptor: sent with sendfile
// from the file's position, as far as a Content-Length asks or to its end.
// False when it cannot be (no descriptor, not a regular file): it is iterated.
bool send_file(CallValue& value, PyObject* wrapper) {
  const PyRef file = checked_ref(PyObject_GetAttrString(wrapper, "filelike"));
  const int fd = PyObject_AsFileDescriptor(file.get());
  if (fd < 0) {
    PyErr_Clear();
    return false;
  }
  // A buffered reader may have read ahead: its own position is the one that counts.
  const PyRef position = PyRef::steal(PyObject_CallMethod(file.get(), "tell", nullptr));
  const long long offset = position ? PyLong_AsLongLong(position.get()) : -1;
  if (offset < 0) {
    PyErr_Clear();
    return false;
  }
  if (!value.started) raise(PyExc_RuntimeError, "the WSGI application sent its body before calling start_response()");
  server::OpenedFile opened = server::slice_of(fd, offset, wsgi::announced_length(value.fields));
  if (opened.error != 0) return false;
  if (!queue_head(value)) return true;
  value.ended = true;
  Piece piece;
  piece.kind = Piece::Kind::file;
  piece.more_body = false;
  piece.ends_short = opened.past_end;
  piece.file = std::move(opened.slice);
  queue(value, std::move(piece));
  return true;
}

// The body an application returned, sent as it yields; the end after it.
PyObject* call_send(PyObject* self, PyObject* result) {
  return guard([&] {
    CallValue& value = value_of(self);
    if (value.ended) Py_RETURN_NONE;
    if (value.file_wrapper && Py_IS_TYPE(result, reinterpret_cast<PyTypeObject*>(value.file_wrapper.get())) &&
        send_file(value, result))
      Py_RETURN_NONE;
    if (PyList_CheckExact(result) || PyTuple_CheckExact(result)) {
      // All there at once: the last piece says so, and a single one gets its length.
      const PyRef items = PyRef::borrow(result);
      Py_ssize_t last = -1;
      const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
      for (Py_ssize_t i = 0; i < count; ++i)
        if (!body_piece(PySequence_Fast_GET_ITEM(items.get(), i)).empty()) last = i;
      for (Py_ssize_t i = 0; i <= last; ++i) {
        const std::string_view piece = body_piece(PySequence_Fast_GET_ITEM(items.get(), i));
        if (!piece.empty() && !queue_body(value, piece, i != last)) Py_RETURN_NONE;
      }
      queue_end(value);
      Py_RETURN_NONE;
    }
    const PyRef iterator = checked_ref(PyObject_GetIter(result));
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
      const std::string_view piece = body_piece(item.get());
      if (!piece.empty() && !queue_body(value, piece, true)) Py_RETURN_NONE;  // the client left: nothing more to do
    }
    if (PyErr_Occurred() != nullptr) throw PythonError{};
    queue_end(value);
    Py_RETURN_NONE;
  });
}

PyObject* call_fail(PyObject* self, PyObject*) {
  return guard([&] {
    CallValue& value = value_of(self);
    const bool gone = value.call->lost();
    if (!value.ended) {
      value.ended = true;
      Piece fail;
      fail.kind = Piece::Kind::fail;
      value.call->queue(std::move(fail));
    }
    // A client going away is not an application error.
    return new_bool(!gone).release();
  });
}

PyMethodDef call_methods[] = {
    {"read", method_cast(call_read), METH_FASTCALL,
     "read($self, size=-1, /)\n--\n\nUp to size bytes of the body (all of it by default); b'' at its end."},
    {"readline", method_cast(call_readline), METH_FASTCALL,
     "readline($self, size=-1, /)\n--\n\nThe body up to and including the next line's end, at most size bytes."},
    {"readlines", method_cast(call_readlines), METH_FASTCALL,
     "readlines($self, hint=-1, /)\n--\n\nThe rest of the body's lines, until hint bytes are read."},
    {"start_response", method_cast(call_start_response), METH_FASTCALL,
     "start_response($self, status, headers, exc_info=None, /)\n--\n\n"
     "The WSGI start_response callable; returns write()."},
    {"write", method_cast(call_write), METH_O,
     "write($self, data, /)\n--\n\nSends data as the next piece of the body."},
    {"send", method_cast(call_send), METH_O,
     "send($self, body, /)\n--\n\n"
     "Sends the iterable an application returned, as it yields, then ends the\n"
     "response; a wsgi.file_wrapper body goes out with sendfile."},
    {"fail", method_cast(call_fail), METH_NOARGS,
     "fail($self)\n--\n\n"
     "The application raised: answers 500, or cuts the response short after its\n"
     "head. Returns whether this is an application error (False when the client\n"
     "went away)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot call_slots[] = {
    {Py_tp_doc, const_cast<char*>("One WSGI call served by a ConnectionDriver, and its wsgi.input.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_native<CallValue>)},
    {Py_tp_iter, reinterpret_cast<void*>(call_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(call_next)},
    {Py_tp_methods, call_methods},
    {0, nullptr},
};

PyType_Spec call_spec = {"tessaryne._tessaryne_core.WsgiCall", sizeof(NativeObject<CallValue>), 0,
                         kClassFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION, call_slots};

}  // namespace

PyTypeObject* wsgi_call_type() noexcept {
  static ProcessOnce<PyObject> type;
  return reinterpret_cast<PyTypeObject*>(type.get([] { return create_class(&call_spec, ClassDoc::kept); }));
}

PyRef new_wsgi_call(std::shared_ptr<wsgi::Call> call, PyObject* file_wrapper) {
  return checked_ref(new_native<CallValue>(wsgi_call_type(), std::move(call), PyRef::borrow(file_wrapper)));
}

}  // namespace tessaryne::binding::wsgi_interface
