#include "binding/websocket/ws_event_sink.hpp"

#include "binding/common/errors.hpp"
#include "core/websocket/frame_loop.hpp"

namespace tessaryne::binding {

static_assert(websocket::FrameSink<WsEventSink>);

namespace {
PyRef bytes_of(std::string_view data) {
  return checked_ref(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
}
}  // namespace

char* WsEventSink::begin_message(std::size_t length) {
  pending_ = checked_ref(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length)));
  return PyBytes_AS_STRING(pending_.get());
}

void WsEventSink::commit_message(std::uint8_t opcode) {
  PyRef payload = std::move(pending_);
  append(4, opcode, Py_True, payload.get());
}

void WsEventSink::message(std::uint8_t opcode, std::string_view payload) {
  append(4, opcode, Py_True, bytes_of(payload).get());
}

void WsEventSink::error(std::uint16_t code, std::string_view close_frame) {
  append(5, code, nullptr, bytes_of(close_frame).get());
}

// (kind, value, third, data), or (kind, value, data) without a third item.
void WsEventSink::append(long kind, long value, PyObject* third, PyObject* data) {
  PyRef kind_object = checked_ref(PyLong_FromLong(kind));
  PyRef value_object = checked_ref(PyLong_FromLong(value));
  PyRef event = third != nullptr
                    ? checked_ref(PyTuple_Pack(4, kind_object.get(), value_object.get(), third, data))
                    : checked_ref(PyTuple_Pack(3, kind_object.get(), value_object.get(), data));
  if (PyList_Append(events_, event.get()) != 0) throw PythonError{};
}

}  // namespace tessaryne::binding
