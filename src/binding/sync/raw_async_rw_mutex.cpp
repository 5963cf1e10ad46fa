// RawAsyncRWMutex: a reader-writer lock with writer preference for coroutines
// on several event loops. The core state machine grants, queues and hands
// waiters back; this layer converts the arguments before its lock is taken,
// and builds the returned lists and drops every reference the call let go of
// after it is released.

#include <utility>

#include "binding/classes.hpp"
#include "binding/common/args.hpp"
#include "binding/common/native_class.hpp"
#include "binding/common/values.hpp"
#include "binding/sync/waiter.hpp"
#include "core/sync/rw_mutex.hpp"

namespace tessaryne::binding {
namespace {

using Core = sync::RWMutex<Waiter>;

// The queued waiters are references the collector must see: a future that
// refers back to its lock is a cycle.
struct RWMutexValue {
  Core core;

  int traverse(visitproc visit, void* arg) const {
    return core.visit_unlocked([&](const Waiter& waiter) { return visit_waiter(waiter, visit, arg); });
  }
  sync::Queued<Waiter> clear() noexcept { return core.take_all(); }
};

Core& mutex_of(PyObject* self) noexcept { return native<RWMutexValue>(self).core; }

// The returned waiter list, or None when nobody was granted.
PyObject* granted_list(sync::Granted<Waiter>&& granted) {
  return waiter_list_or_none(std::move(granted.writer), std::move(granted.readers)).release();
}

constexpr Parameters<0> kNew{"RawAsyncRWMutex.__new__()", {}};
constexpr Parameters<2> kAcquireRead{"RawAsyncRWMutex.acquire_read_or_register()", {"loop_obj", "fut_obj"}};
constexpr Parameters<2> kAcquireWrite{"RawAsyncRWMutex.acquire_write_or_register()", {"loop_obj", "fut_obj"}};
constexpr Parameters<3> kRemoveWaiter{"RawAsyncRWMutex.remove_waiter()", {"_loop_obj", "fut_obj", "is_writer"}};

PyObject* rw_mutex_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    kNew.bind(args, kwargs);
    return new_native<RWMutexValue>(type);
  });
}

PyObject* rw_mutex_try_acquire_read(PyObject* self, PyObject*) {
  return guard([&] { return new_bool(mutex_of(self).try_acquire_read()).release(); });
}

// A waiter granted at once stays here and is dropped on return, after the
// lock is let go (never the last references: the caller's arguments hold them).
template <const Parameters<2>& kParameters, bool (Core::*acquire_or_register)(Waiter&)>
PyObject* rw_mutex_acquire_or_register(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto bound = kParameters.bind(args, nargsf, kwnames);
    Waiter waiter{PyRef::borrow(bound[0]), PyRef::borrow(bound[1])};
    return new_bool((mutex_of(self).*acquire_or_register)(waiter)).release();
  });
}

PyObject* rw_mutex_release_read(PyObject* self, PyObject*) {
  return guard([&] { return granted_list(mutex_of(self).release_read()); });
}

PyObject* rw_mutex_try_acquire_write(PyObject* self, PyObject*) {
  return guard([&] { return new_bool(mutex_of(self).try_acquire_write()).release(); });
}

PyObject* rw_mutex_release_write(PyObject* self, PyObject*) {
  return guard([&] { return granted_list(mutex_of(self).release_write()); });
}

PyObject* rw_mutex_remove_waiter(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto bound = kRemoveWaiter.bind(args, nargsf, kwnames);
    const bool is_writer = to_bool(bound[2], "is_writer");
    // The removed waiters are released when `removal` goes, after the list
    // is built and long after the lock is let go.
    sync::Removal<Waiter> removal = mutex_of(self).remove_waiter(SameFuture{bound[1]}, is_writer);
    return granted_list(std::move(removal.granted));
  });
}

PyObject* rw_mutex_snapshot(PyObject* self, PyObject*) {
  return guard([&] {
    const sync::RWSnapshot state = mutex_of(self).snapshot();
    return new_tuple(new_int(state.readers), new_bool(state.has_writer), new_int(state.pending_writers)).release();
  });
}

PyMethodDef rw_mutex_methods[] = {
    {"try_acquire_read", method_cast(rw_mutex_try_acquire_read), METH_NOARGS,
     "try_acquire_read($self)\n--\n\n"
     "Try to acquire a read lock without registering a waiter."},
    {"acquire_read_or_register",
     method_cast(rw_mutex_acquire_or_register<kAcquireRead, &Core::acquire_read_or_register>),
     METH_FASTCALL | METH_KEYWORDS,
     "acquire_read_or_register($self, loop_obj, fut_obj)\n--\n\n"
     "Try to acquire a read lock, or register a waiter in the read queue."},
    {"release_read", method_cast(rw_mutex_release_read), METH_NOARGS,
     "release_read($self)\n--\n\n"
     "Release one reader. If this was the last reader and writers are waiting,\n"
     "returns the next writer to wake."},
    {"try_acquire_write", method_cast(rw_mutex_try_acquire_write), METH_NOARGS,
     "try_acquire_write($self)\n--\n\n"
     "Try to acquire an exclusive write lock without registering a waiter."},
    {"acquire_write_or_register",
     method_cast(rw_mutex_acquire_or_register<kAcquireWrite, &Core::acquire_write_or_register>),
     METH_FASTCALL | METH_KEYWORDS,
     "acquire_write_or_register($self, loop_obj, fut_obj)\n--\n\n"
     "Try to acquire an exclusive write lock, or register a waiter in the write queue."},
    {"release_write", method_cast(rw_mutex_release_write), METH_NOARGS,
     "release_write($self)\n--\n\n"
     "Release the exclusive writer. Wakes the next pending writer (if any)\n"
     "or all pending readers."},
    {"remove_waiter", method_cast(rw_mutex_remove_waiter), METH_FASTCALL | METH_KEYWORDS,
     "remove_waiter($self, _loop_obj, fut_obj, is_writer)\n--\n\n"
     "Remove a cancelled waiter and adjust pending counters.\n"
     "If removing a writer unblocks readers, returns those readers to wake."},
    {"snapshot", method_cast(rw_mutex_snapshot), METH_NOARGS,
     "snapshot($self)\n--\n\n"
     "Get current state snapshot: (readers, has_writer, pending_writers)"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot rw_mutex_slots[] = {
    {Py_tp_doc, const_cast<char*>("RawAsyncRWMutex()\n--\n\n"
                                  "High-performance asynchronous read-write lock state machine with "
                                  "writer-preference fairness.")},
    {Py_tp_new, reinterpret_cast<void*>(rw_mutex_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_native<RWMutexValue>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_native<RWMutexValue>)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_native<RWMutexValue>)},
    {Py_tp_methods, rw_mutex_methods},
    {0, nullptr},
};

PyType_Spec rw_mutex_spec = {"tessaryne._tessaryne_core.RawAsyncRWMutex", sizeof(NativeObject<RWMutexValue>), 0,
                             kGcClassFlags, rw_mutex_slots};

}  // namespace

PyTypeObject* raw_async_rw_mutex_type() noexcept {
  static ProcessOnce<PyObject> type;
  return reinterpret_cast<PyTypeObject*>(type.get([] { return create_class(&rw_mutex_spec, ClassDoc::kept); }));
}

}  // namespace tessaryne::binding
