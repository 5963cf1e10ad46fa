// RawAsyncQueue: the state of an asyncio-style queue shared by coroutines on
// several event loops; tessaryne.sync builds Queue, LifoQueue and
// PriorityQueue on it. The core state machine buffers, counts and hands the
// waiters to wake back; this layer converts the arguments before its lock is
// taken, and builds the results and drops every reference the call let go of
// (items drained by a shutdown included) after it is released. A full or
// empty queue is an answer, not an exception (a waiting put or get meets it
// every time it waits); a shut-down queue raises the class given at
// construction, without arguments, as asyncio.Queue does.

#include <cstdint>
#include <optional>
#include <utility>

#include "binding/classes.hpp"
#include "binding/common/args.hpp"
#include "binding/common/native_class.hpp"
#include "binding/common/values.hpp"
#include "binding/sync/waiter.hpp"
#include "core/sync/async_queue.hpp"

namespace tessaryne::binding {
namespace {

using Core = sync::AsyncQueue<PyRef, Waiter>;

struct QueueValue {
  QueueValue(std::uint64_t maxsize, PyRef shut_down) noexcept : core(maxsize), shut_down_error(std::move(shut_down)) {}

  Core core;
  // Fixed at construction and read without the lock. Only the collector's
  // clear() takes it, when no method can be running.
  PyRef shut_down_error;

  struct Visitor {
    visitproc visit;
    void* arg;
    int operator()(const PyRef& item) const {
      Py_VISIT(item.get());
      return 0;
    }
    int operator()(const Waiter& waiter) const { return visit_waiter(waiter, visit, arg); }
  };
  int traverse(visitproc visit, void* arg) const {
    Py_VISIT(shut_down_error.get());
    return core.visit_unlocked(Visitor{visit, arg});
  }

  struct Cleared {
    Core::Contents contents;
    PyRef shut_down_error;
  };
  Cleared clear() noexcept { return {core.take_all(), std::move(shut_down_error)}; }
};

QueueValue& value_of(PyObject* self) noexcept { return native<QueueValue>(self); }
Core& queue_of(PyObject* self) noexcept { return value_of(self).core; }

// Raises the class given for a shut-down queue (SystemError once the
// collector has cleared it, as a queue it has broken up may).
[[noreturn]] void raise_shut_down(PyObject* self) {
  const PyRef& error = value_of(self).shut_down_error;
  PyErr_SetNone(error ? error.get() : PyExc_SystemError);
  throw PythonError{};
}

// One waiter as a returned waiter list, or None.
PyRef woken_list(std::optional<Waiter>&& woken) { return waiter_list_or_none(std::move(woken)); }

constexpr Parameters<2> kNew{"RawAsyncQueue.__new__()", {"maxsize", "shut_down_error"}};
constexpr Parameters<1> kPut{"RawAsyncQueue.put()", {"item"}};
constexpr Parameters<2> kRegisterGetter{"RawAsyncQueue.register_getter()", {"loop_obj", "fut"}};
constexpr Parameters<2> kRegisterPutter{"RawAsyncQueue.register_putter()", {"loop_obj", "fut"}};
constexpr Parameters<2> kRegisterJoiner{"RawAsyncQueue.register_joiner()", {"loop_obj", "fut"}};
constexpr Parameters<1> kUnregisterGetter{"RawAsyncQueue.unregister_getter()", {"fut"}};
constexpr Parameters<1> kUnregisterPutter{"RawAsyncQueue.unregister_putter()", {"fut"}};
constexpr Parameters<1> kUnregisterJoiner{"RawAsyncQueue.unregister_joiner()", {"fut"}};
constexpr Parameters<1> kShutdown{"RawAsyncQueue.shutdown()", {"immediate"}};

PyObject* queue_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    const auto bound = kNew.bind(args, kwargs);
    const std::uint64_t maxsize = to_u64(bound[0], "maxsize");
    return new_native<QueueValue>(type, maxsize, PyRef::borrow(bound[1]));
  });
}

PyObject* queue_put(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto bound = kPut.bind(args, nargsf, kwnames);
    // Refused: the reference stays here and is dropped on return, after the
    // lock is let go.
    PyRef item = PyRef::borrow(bound[0]);
    std::optional<Waiter> getter;
    switch (queue_of(self).put(item, getter)) {
      case sync::PutStatus::put:
        break;
      case sync::PutStatus::full:
        Py_RETURN_FALSE;
      case sync::PutStatus::shut_down:
        raise_shut_down(self);
    }
    return woken_list(std::move(getter)).release();
  });
}

PyObject* queue_get(PyObject* self, PyObject*) {
  return guard([&] {
    PyRef item;
    std::optional<Waiter> putter;
    switch (queue_of(self).get(item, putter)) {
      case sync::GetStatus::taken:
        break;
      case sync::GetStatus::empty:
        Py_RETURN_NONE;
      case sync::GetStatus::shut_down:
        raise_shut_down(self);
    }
    return new_tuple(std::move(item), woken_list(std::move(putter))).release();
  });
}

// A waiter not queued stays here and is dropped on return, after the lock is
// let go.
template <const Parameters<2>& kParameters, bool (Core::*register_waiter)(Waiter&)>
PyObject* queue_register(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto bound = kParameters.bind(args, nargsf, kwnames);
    Waiter waiter{PyRef::borrow(bound[0]), PyRef::borrow(bound[1])};
    return new_bool((queue_of(self).*register_waiter)(waiter)).release();
  });
}

template <const Parameters<1>& kParameters, WaiterQueue (Core::*unregister)(SameFuture&&)>
PyObject* queue_unregister(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto bound = kParameters.bind(args, nargsf, kwnames);
    // Released when `removed` goes, after the lock is let go.
    const WaiterQueue removed = (queue_of(self).*unregister)(SameFuture{bound[0]});
    return new_bool(!removed.empty()).release();
  });
}

template <std::optional<Waiter> (Core::*pass_on)()>
PyObject* queue_pass_wakeup(PyObject* self, PyObject*) {
  return guard([&] { return woken_list((queue_of(self).*pass_on)()).release(); });
}

PyObject* queue_task_done(PyObject* self, PyObject*) {
  return guard([&] {
    WaiterQueue released;
    switch (queue_of(self).task_done(released)) {
      case sync::TaskDoneStatus::counted:
        Py_RETURN_NONE;
      case sync::TaskDoneStatus::reached_zero:
        break;
      case sync::TaskDoneStatus::too_many:
        raise(PyExc_ValueError, "task_done() called too many times");
    }
    return waiter_list_or_none(std::nullopt, std::move(released)).release();
  });
}

// (items drained, every waiter to wake or None). The drained items are
// released when `taken` goes, after the lock is let go.
PyObject* queue_shutdown(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto bound = kShutdown.bind(args, nargsf, kwnames);
    const bool immediate = to_bool(bound[0], "immediate");
    Core::Shutdown taken = queue_of(self).shutdown(immediate);
    return new_tuple(new_int(taken.drained.size()), waiter_list_or_none(std::nullopt, std::move(taken.woken)))
        .release();
  });
}

PyObject* queue_qsize(PyObject* self, PyObject*) {
  return guard([&] { return new_int(queue_of(self).size()).release(); });
}

PyObject* queue_full(PyObject* self, PyObject*) {
  return guard([&] { return new_bool(queue_of(self).full()).release(); });
}

PyObject* queue_state(PyObject* self, PyObject*) {
  return guard([&] {
    const sync::QueueState state = queue_of(self).state();
    return new_tuple(new_int(state.size), new_int(state.getters), new_int(state.putters), new_int(state.unfinished),
                     new_bool(state.shut_down))
        .release();
  });
}

PyObject* queue_maxsize(PyObject* self, void*) {
  return guard([&] { return new_int(queue_of(self).maxsize()).release(); });
}

constexpr int kFastKeywords = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef queue_methods[] = {
    {"put", method_cast(queue_put), kFastKeywords,
     "put($self, item)\n--\n\n"
     "Buffer an item; returns the getter to wake, or None; False when full."},
    {"get", method_cast(queue_get), METH_NOARGS,
     "get($self)\n--\n\n"
     "Take the oldest item: (item, the putter to wake or None); None when empty."},
    {"register_getter", method_cast(queue_register<kRegisterGetter, &Core::register_getter>), kFastKeywords,
     "register_getter($self, loop_obj, fut)\n--\n\n"
     "Queue a getter while the queue is empty and open; True: look again now."},
    {"register_putter", method_cast(queue_register<kRegisterPutter, &Core::register_putter>), kFastKeywords,
     "register_putter($self, loop_obj, fut)\n--\n\n"
     "Queue a putter while the queue is full and open; True: look again now."},
    {"register_joiner", method_cast(queue_register<kRegisterJoiner, &Core::register_joiner>), kFastKeywords,
     "register_joiner($self, loop_obj, fut)\n--\n\n"
     "Queue a joiner while items are unfinished; True: none is."},
    {"unregister_getter", method_cast(queue_unregister<kUnregisterGetter, &Core::unregister_getter<SameFuture>>),
     kFastKeywords,
     "unregister_getter($self, fut)\n--\n\n"
     "Take a queued getter out; False when it was no longer queued."},
    {"unregister_putter", method_cast(queue_unregister<kUnregisterPutter, &Core::unregister_putter<SameFuture>>),
     kFastKeywords,
     "unregister_putter($self, fut)\n--\n\n"
     "Take a queued putter out; False when it was no longer queued."},
    {"unregister_joiner", method_cast(queue_unregister<kUnregisterJoiner, &Core::unregister_joiner<SameFuture>>),
     kFastKeywords,
     "unregister_joiner($self, fut)\n--\n\n"
     "Take a queued joiner out; False when it was no longer queued."},
    {"pass_getter_wakeup", method_cast(queue_pass_wakeup<&Core::pass_getter_wakeup>), METH_NOARGS,
     "pass_getter_wakeup($self)\n--\n\n"
     "The next getter to wake in place of one that will not take an item, or None."},
    {"pass_putter_wakeup", method_cast(queue_pass_wakeup<&Core::pass_putter_wakeup>), METH_NOARGS,
     "pass_putter_wakeup($self)\n--\n\n"
     "The next putter to wake in place of one that will not put, or None."},
    {"task_done", method_cast(queue_task_done), METH_NOARGS,
     "task_done($self)\n--\n\n"
     "One unfinished item is done; returns the joiners to wake, or None."},
    {"shutdown", method_cast(queue_shutdown), kFastKeywords,
     "shutdown($self, immediate)\n--\n\n"
     "Refuse further puts: (items drained, every waiter to wake or None)."},
    {"qsize", method_cast(queue_qsize), METH_NOARGS, "qsize($self)\n--\n\n"},
    {"full", method_cast(queue_full), METH_NOARGS, "full($self)\n--\n\n"},
    {"state", method_cast(queue_state), METH_NOARGS,
     "state($self)\n--\n\n"
     "(items, getters, putters, unfinished items, shut down)"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef queue_getset[] = {
    {"maxsize", queue_maxsize, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot queue_slots[] = {
    {Py_tp_doc, const_cast<char*>("RawAsyncQueue(maxsize, shut_down_error)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(queue_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_native<QueueValue>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_native<QueueValue>)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_native<QueueValue>)},
    {Py_tp_methods, queue_methods},
    {Py_tp_getset, queue_getset},
    {0, nullptr},
};

PyType_Spec queue_spec = {"tessaryne._tessaryne_core.RawAsyncQueue", sizeof(NativeObject<QueueValue>), 0, kGcClassFlags,
                          queue_slots};

}  // namespace

PyTypeObject* raw_async_queue_type() noexcept {
  static ProcessOnce<PyObject> type;
  return reinterpret_cast<PyTypeObject*>(type.get([] { return create_class(&queue_spec, ClassDoc::none); }));
}

}  // namespace tessaryne::binding
