// RawAsyncRWMutex: an asynchronous primitive for coroutines on several event loops.

#include "binding/classes.hpp"
#include "binding/common/args.hpp"
#include "binding/common/native_class.hpp"

namespace tessaryne::binding {
namespace {

struct RWMutex {};

constexpr Parameters<0> kNew{"RawAsyncRWMutex.__new__()", {}};

PyObject* raw_async_rw_mutex_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    kNew.bind(args, kwargs);
    return new_native<RWMutex>(type);
  });
}

PyType_Slot raw_async_rw_mutex_slots[] = {
    {Py_tp_doc, const_cast<char*>("RawAsyncRWMutex()\n--\n\nHigh-performance asynchronous read-write lock state machine with writer-preference fairness.")},
    {Py_tp_new, reinterpret_cast<void*>(raw_async_rw_mutex_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_native<RWMutex>)},
    {0, nullptr},
};

PyType_Spec raw_async_rw_mutex_spec = {"tessaryne._tessaryne_core.RawAsyncRWMutex", sizeof(NativeObject<RWMutex>), 0, kClassFlags,
                            raw_async_rw_mutex_slots};

}  // namespace

PyTypeObject* raw_async_rw_mutex_type() noexcept {
  static ProcessOnce<PyObject> type;
  return reinterpret_cast<PyTypeObject*>(type.get([] { return create_class(&raw_async_rw_mutex_spec, ClassDoc::kept); }));
}

}  // namespace tessaryne::binding
