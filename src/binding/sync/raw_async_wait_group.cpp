// RawAsyncWaitGroup: a counter of outstanding tasks that coroutines on several
// event loops wait on. The core state machine counts and hands the waiters
// back; this layer converts the arguments before its lock is taken, and
// builds the returned lists and drops every reference the call let go of
// after it is released.

#include <cstdint>
#include <utility>

#include "binding/classes.hpp"
#include "binding/common/args.hpp"
#include "binding/common/native_class.hpp"
#include "binding/common/values.hpp"
#include "binding/sync/waiter.hpp"
#include "core/sync/wait_group.hpp"

namespace tessaryne::binding {
namespace {

using Core = sync::WaitGroup<Waiter>;

// The registered waiters are references the collector must see: a future
// that refers back to its wait group is a cycle.
struct WaitGroupValue {
  Core core;

  int traverse(visitproc visit, void* arg) const {
    return core.visit_unlocked([&](const Waiter& waiter) { return visit_waiter(waiter, visit, arg); });
  }
  WaiterQueue clear() noexcept { return core.take_all(); }
};

Core& wait_group_of(PyObject* self) noexcept { return native<WaitGroupValue>(self).core; }

constexpr Parameters<0> kNew{"RawAsyncWaitGroup.__new__()", {}};
constexpr Parameters<1> kAdd{"RawAsyncWaitGroup.add()", {"delta"}};
constexpr Parameters<1> kRegisterWaiter{"RawAsyncWaitGroup.register_waiter()", {"waiter"}};
constexpr Parameters<1> kUnregisterWaiter{"RawAsyncWaitGroup.unregister_waiter()", {"fut"}};
constexpr Parameters<1> kReset{"RawAsyncWaitGroup.reset()", {"counter"}};

// Any integer (or __index__) the interpreter converts to a signed 64-bit value,
// with its own errors.
std::int64_t to_delta(PyObject* argument) {
  const long long value = PyLong_AsLongLong(argument);
  if (value == -1 && PyErr_Occurred() != nullptr) {
    add_parameter_note("delta");
    throw PythonError{};
  }
  return value;
}

// A (loop, future) tuple, or a subclass of tuple.
Waiter to_waiter(PyObject* argument) {
  PyObject* pair = to_instance(argument, &PyTuple_Type, "waiter");
  if (const Py_ssize_t length = PyTuple_GET_SIZE(pair); length != 2) {
    PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", length);
    add_parameter_note("waiter");
    throw PythonError{};
  }
  return {PyRef::borrow(PyTuple_GET_ITEM(pair, 0)), PyRef::borrow(PyTuple_GET_ITEM(pair, 1))};
}

// None while the counter is above zero; the returned waiter list, possibly
// empty, once it has come down to zero.
PyObject* counted_result(sync::Counted<Waiter>&& counted, const char* negative_message) {
  switch (counted.change) {
    case sync::CountChange::counted:
      Py_RETURN_NONE;
    case sync::CountChange::reached_zero:
      return new_waiter_list(std::move(counted.released)).release();
    case sync::CountChange::overflowed:
      raise(PyExc_RuntimeError, "WaitGroup counter overflowed: add() with positive delta");
    case sync::CountChange::went_negative:
      break;
  }
  raise(PyExc_RuntimeError, negative_message);
}

PyObject* wait_group_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    kNew.bind(args, kwargs);
    return new_native<WaitGroupValue>(type);
  });
}

PyObject* wait_group_add(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto bound = kAdd.bind(args, nargsf, kwnames);
    const std::int64_t delta = to_delta(bound[0]);
    return counted_result(wait_group_of(self).add(delta), "WaitGroup counter went negative: add() with negative delta");
  });
}

PyObject* wait_group_reset(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto bound = kReset.bind(args, nargsf, kwnames);
    const std::uint64_t counter = to_u64(bound[0], "counter");
    return counted_result(wait_group_of(self).reset(counter), "");
  });
}

PyObject* wait_group_counter(PyObject* self, PyObject*) {
  return guard([&] { return new_int(wait_group_of(self).counter()).release(); });
}

PyObject* wait_group_done(PyObject* self, PyObject*) {
  return guard([&] {
    return counted_result(wait_group_of(self).done(), "WaitGroup counter went negative: too many done() calls");
  });
}

// A waiter not registered stays here and is dropped on return, after the lock
// is let go.
PyObject* wait_group_register_waiter(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto bound = kRegisterWaiter.bind(args, nargsf, kwnames);
    Waiter waiter = to_waiter(bound[0]);
    return new_bool(wait_group_of(self).register_waiter(waiter)).release();
  });
}

PyObject* wait_group_unregister_waiter(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto bound = kUnregisterWaiter.bind(args, nargsf, kwnames);
    // Released when `removed` goes, after the lock is let go.
    const WaiterQueue removed = wait_group_of(self).unregister_waiter(SameFuture{bound[0]});
    return new_bool(!removed.empty()).release();
  });
}

PyMethodDef wait_group_methods[] = {
    {"add", method_cast(wait_group_add), METH_FASTCALL | METH_KEYWORDS,
     "add($self, delta)\n--\n\n"
     "Adds `delta` to the counter, with the semantics of a WaitGroup's `Add`.\n"
     "\n"
     "Negative deltas are legal, but the counter must never go below zero:\n"
     "an `add()` that would underflow raises `RuntimeError`.\n"
     "Returns the registered waiters when the counter reaches 0, so that they can be woken."},
    {"done", method_cast(wait_group_done), METH_NOARGS, "done($self)\n--\n\n"},
    {"reset", method_cast(wait_group_reset), METH_FASTCALL | METH_KEYWORDS,
     "reset($self, counter)\n--\n\n"
     "Sets the counter. Zero returns every registered waiter, so that they can be woken;\n"
     "any other value returns None."},
    {"counter", method_cast(wait_group_counter), METH_NOARGS, "counter($self)\n--\n\n"},
    {"register_waiter", method_cast(wait_group_register_waiter), METH_FASTCALL | METH_KEYWORDS,
     "register_waiter($self, waiter)\n--\n\n"
     "Registers a waiter that will be notified when the counter reaches zero.\n"
     "\n"
     "Returns `true` if the counter is already zero (waiter is not registered\n"
     "and the caller should proceed immediately). Returns `false` if the waiter\n"
     "was registered and will be notified by a future `done()` call."},
    {"unregister_waiter", method_cast(wait_group_unregister_waiter), METH_FASTCALL | METH_KEYWORDS,
     "unregister_waiter($self, fut)\n--\n\n"
     "Removes a previously registered waiter by future identity.\n"
     "\n"
     "Returns `true` if the waiter was still queued and is now removed,\n"
     "`false` if it had already been handed over by a `done()`-to-zero."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot wait_group_slots[] = {
    {Py_tp_doc, const_cast<char*>("RawAsyncWaitGroup()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(wait_group_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_native<WaitGroupValue>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_native<WaitGroupValue>)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_native<WaitGroupValue>)},
    {Py_tp_methods, wait_group_methods},
    {0, nullptr},
};

PyType_Spec wait_group_spec = {"tessaryne._tessaryne_core.RawAsyncWaitGroup", sizeof(NativeObject<WaitGroupValue>), 0,
                               kGcClassFlags, wait_group_slots};

}  // namespace

PyTypeObject* raw_async_wait_group_type() noexcept {
  static ProcessOnce<PyObject> type;
  return reinterpret_cast<PyTypeObject*>(type.get([] { return create_class(&wait_group_spec, ClassDoc::none); }));
}

}  // namespace tessaryne::binding
