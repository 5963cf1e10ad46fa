// ServerCounters: made by the server for each loop and handed to its driver;
// snapshot() may be called from any thread while the loop counts.

#include "binding/server/server_counters.hpp"

#include <cstddef>
#include <utility>

#include "binding/classes.hpp"
#include "binding/common/native_class.hpp"
#include "binding/common/values.hpp"

namespace tessaryne::binding {
namespace {

struct CountersValue {
  std::shared_ptr<server::ServerCounters> counters = std::make_shared<server::ServerCounters>();
};

PyObject* counters_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0))
      raise(PyExc_TypeError, "ServerCounters() takes no arguments");
    return new_native<CountersValue>(type);
  });
}

PyRef read(const std::atomic<std::uint64_t>& cell) { return new_int(cell.load(std::memory_order_relaxed)); }

template <std::size_t N>
PyRef read_all(const std::array<std::atomic<std::uint64_t>, N>& cells) {
  PyRef tuple = checked_ref(PyTuple_New(static_cast<Py_ssize_t>(N)));
  for (std::size_t i = 0; i < N; ++i)
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), read(cells[i]).release());
  return tuple;
}

PyObject* counters_snapshot(PyObject* self, PyObject*) {
  return guard([&] {
    const server::ServerCounters& c = *native<CountersValue>(self).counters;
    return new_tuple(read_all(c.responses), read(c.connections_opened), read(c.connections_closed),
                     read(c.websockets_opened), read(c.websockets_closed), read(c.bytes_in), read(c.bytes_out),
                     read_all(c.durations), read(c.duration_micros), read(c.http2_responses), read(c.http2_connections))
        .release();
  });
}

PyObject* counters_bounds(PyObject*, PyObject*) {
  return guard([] {
    constexpr auto& bounds = server::ServerCounters::kDurationBounds;
    PyRef tuple = checked_ref(PyTuple_New(static_cast<Py_ssize_t>(bounds.size())));
    for (std::size_t i = 0; i < bounds.size(); ++i)
      PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), new_int(bounds[i]).release());
    return tuple.release();
  });
}

PyMethodDef counters_methods[] = {
    {"snapshot", counters_snapshot, METH_NOARGS,
     "snapshot($self)\n--\n\n"
     "(responses by status class 1xx..5xx, connections opened, connections closed,\n"
     "WebSockets opened, WebSockets closed, bytes in, bytes out, request durations\n"
     "per bucket, sum of durations in microseconds, responses over HTTP/2,\n"
     "HTTP/2 connections); any thread."},
    {"duration_bounds", counters_bounds, METH_NOARGS | METH_STATIC,
     "duration_bounds()\n--\n\nUpper bounds of the duration buckets, in microseconds."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot counters_slots[] = {
    {Py_tp_doc, const_cast<char*>("ServerCounters()\n--\n\nWhat one loop's connections have done.")},
    {Py_tp_new, reinterpret_cast<void*>(counters_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_native<CountersValue>)},
    {Py_tp_methods, counters_methods},
    {0, nullptr},
};

PyType_Spec counters_spec = {"tessaryne._tessaryne_core.ServerCounters", sizeof(NativeObject<CountersValue>), 0,
                             kClassFlags, counters_slots};

}  // namespace

PyTypeObject* server_counters_type() noexcept {
  static ProcessOnce<PyObject> type;
  return reinterpret_cast<PyTypeObject*>(type.get([] { return create_class(&counters_spec, ClassDoc::kept); }));
}

std::shared_ptr<server::ServerCounters> counters_of(PyObject* object) {
  PyTypeObject* type = server_counters_type();
  if (type == nullptr) throw PythonError{};
  if (Py_TYPE(object) != type) raise_type_mismatch(object, "ServerCounters");
  return native<CountersValue>(object).counters;
}

}  // namespace tessaryne::binding
