// RawAsyncWaitGroup: an asynchronous primitive for coroutines on several event loops.

#include "binding/classes.hpp"
#include "binding/common/args.hpp"
#include "binding/common/native_class.hpp"

namespace tessaryne::binding {
namespace {

struct WaitGroup {};

constexpr Parameters<0> kNew{"RawAsyncWaitGroup.__new__()", {}};

PyObject* raw_async_wait_group_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    kNew.bind(args, kwargs);
    return new_native<WaitGroup>(type);
  });
}

PyType_Slot raw_async_wait_group_slots[] = {
    {Py_tp_doc, const_cast<char*>("RawAsyncWaitGroup()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(raw_async_wait_group_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_native<WaitGroup>)},
    {0, nullptr},
};

PyType_Spec raw_async_wait_group_spec = {"tessaryne._tessaryne_core.RawAsyncWaitGroup", sizeof(NativeObject<WaitGroup>), 0, kClassFlags,
                            raw_async_wait_group_slots};

}  // namespace

PyTypeObject* raw_async_wait_group_type() noexcept {
  static ProcessOnce<PyObject> type;
  return reinterpret_cast<PyTypeObject*>(type.get([] { return create_class(&raw_async_wait_group_spec, ClassDoc::none); }));
}

}  // namespace tessaryne::binding
