// RawAsyncSemaphore: a semaphore for coroutines on several event loops, with
// asyncio's first come, first served hand-over; tessaryne.sync builds Lock,
// Semaphore, BoundedSemaphore and Condition on it. The core state machine
// grants, queues and hands waiters back; this layer converts the arguments
// before its lock is taken, and builds the returned lists and drops every
// reference the call let go of after it is released.

#include <cstdint>
#include <optional>
#include <utility>

#include "binding/classes.hpp"
#include "binding/common/args.hpp"
#include "binding/common/native_class.hpp"
#include "binding/common/values.hpp"
#include "binding/sync/waiter.hpp"
#include "core/sync/semaphore.hpp"

namespace tessaryne::binding {
namespace {

using Core = sync::Semaphore<Waiter>;

// The queued waiters are references the collector must see: a future that
// refers back to its semaphore is a cycle.
struct SemaphoreValue {
  SemaphoreValue(std::uint64_t value, std::optional<std::uint64_t> bound) noexcept : core(value, bound) {}

  Core core;

  int traverse(visitproc visit, void* arg) const {
    return core.visit_unlocked([&](const Waiter& waiter) { return visit_waiter(waiter, visit, arg); });
  }
  WaiterQueue clear() noexcept { return core.take_all(); }
};

Core& semaphore_of(PyObject* self) noexcept { return native<SemaphoreValue>(self).core; }

PyObject* handed_list(sync::Handed<Waiter>&& handed) {
  return waiter_list_or_none(std::move(handed.first), std::move(handed.rest)).release();
}

constexpr Parameters<2> kNew{"RawAsyncSemaphore.__new__()", {"value", "bound"}, 0};
constexpr Parameters<2> kAcquire{"RawAsyncSemaphore.acquire_or_register()", {"loop_obj", "fut_obj"}};
constexpr Parameters<1> kUnregisterWaiter{"RawAsyncSemaphore.unregister_waiter()", {"fut"}};
constexpr Parameters<1> kWake{"RawAsyncSemaphore.wake()", {"count"}};

PyObject* semaphore_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    const auto bound = kNew.bind(args, kwargs);
    const std::uint64_t value = bound[0] != nullptr ? to_u64(bound[0], "value") : 1;
    std::optional<std::uint64_t> limit;
    if (bound[1] != nullptr && bound[1] != Py_None) limit = to_u64(bound[1], "bound");
    return new_native<SemaphoreValue>(type, value, limit);
  });
}

PyObject* semaphore_try_acquire(PyObject* self, PyObject*) {
  return guard([&] { return new_bool(semaphore_of(self).try_acquire()).release(); });
}

// A waiter granted at once stays here and is dropped on return, after the
// lock is let go (never the last references: the caller's arguments hold them).
PyObject* semaphore_acquire_or_register(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto bound = kAcquire.bind(args, nargsf, kwnames);
    Waiter waiter{PyRef::borrow(bound[0]), PyRef::borrow(bound[1])};
    return new_bool(semaphore_of(self).acquire_or_register(waiter)).release();
  });
}

PyObject* semaphore_release(PyObject* self, PyObject*) {
  return guard([&] {
    sync::Release<Waiter> release = semaphore_of(self).release();
    switch (release.status) {
      case sync::ReleaseStatus::released:
        break;
      case sync::ReleaseStatus::over_bound:
        raise(PyExc_ValueError, "BoundedSemaphore released too many times");
      case sync::ReleaseStatus::overflowed:
        raise(PyExc_OverflowError, "Semaphore released past 2**64 - 1 free permits");
    }
    return handed_list(std::move(release.granted));
  });
}

PyObject* semaphore_claim(PyObject* self, PyObject*) {
  return guard([&] { return handed_list(semaphore_of(self).claim()); });
}

PyObject* semaphore_give_back(PyObject* self, PyObject*) {
  return guard([&] { return handed_list(semaphore_of(self).give_back()); });
}

PyObject* semaphore_unregister_waiter(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto bound = kUnregisterWaiter.bind(args, nargsf, kwnames);
    // Released when `removed` goes, after the lock is let go.
    const WaiterQueue removed = semaphore_of(self).unregister_waiter(SameFuture{bound[0]});
    return new_bool(!removed.empty()).release();
  });
}

PyObject* semaphore_wake(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto bound = kWake.bind(args, nargsf, kwnames);
    const std::uint64_t count = to_u64(bound[0], "count");
    return handed_list(semaphore_of(self).wake(count));
  });
}

PyObject* semaphore_state(PyObject* self, PyObject*) {
  return guard([&] {
    const sync::SemaphoreState state = semaphore_of(self).state();
    return new_tuple(new_int(state.value), new_int(state.waiting), new_int(state.in_transit)).release();
  });
}

PyObject* semaphore_locked(PyObject* self, PyObject*) {
  return guard([&] { return new_bool(semaphore_of(self).locked()).release(); });
}

constexpr int kFastKeywords = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef semaphore_methods[] = {
    {"try_acquire", method_cast(semaphore_try_acquire), METH_NOARGS,
     "try_acquire($self)\n--\n\n"
     "Take a free permit when nobody is queued or in transit ahead."},
    {"acquire_or_register", method_cast(semaphore_acquire_or_register), kFastKeywords,
     "acquire_or_register($self, loop_obj, fut_obj)\n--\n\n"
     "Take a free permit as try_acquire() does, or queue the waiter."},
    {"release", method_cast(semaphore_release), METH_NOARGS,
     "release($self)\n--\n\n"
     "Free one permit; returns the waiters it was granted to (now in transit), or None."},
    {"claim", method_cast(semaphore_claim), METH_NOARGS,
     "claim($self)\n--\n\n"
     "A granted waiter keeps its permit; returns the waiters granted the permits still free."},
    {"give_back", method_cast(semaphore_give_back), METH_NOARGS,
     "give_back($self)\n--\n\n"
     "A granted waiter returns its permit; returns the waiters it goes to."},
    {"unregister_waiter", method_cast(semaphore_unregister_waiter), kFastKeywords,
     "unregister_waiter($self, fut)\n--\n\n"
     "Take a queued waiter out; False when it was no longer queued."},
    {"wake", method_cast(semaphore_wake), kFastKeywords,
     "wake($self, count)\n--\n\n"
     "Hand up to count queued waiters out without a permit."},
    {"state", method_cast(semaphore_state), METH_NOARGS,
     "state($self)\n--\n\n"
     "(free permits, queued waiters, waiters in transit)"},
    {"locked", method_cast(semaphore_locked), METH_NOARGS,
     "locked($self)\n--\n\n"
     "True when no permit can be taken at once."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot semaphore_slots[] = {
    {Py_tp_doc, const_cast<char*>("RawAsyncSemaphore(value=1, bound=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(semaphore_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_native<SemaphoreValue>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_native<SemaphoreValue>)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_native<SemaphoreValue>)},
    {Py_tp_methods, semaphore_methods},
    {0, nullptr},
};

PyType_Spec semaphore_spec = {"tessaryne._tessaryne_core.RawAsyncSemaphore", sizeof(NativeObject<SemaphoreValue>), 0,
                              kGcClassFlags, semaphore_slots};

}  // namespace

PyTypeObject* raw_async_semaphore_type() noexcept {
  static ProcessOnce<PyObject> type;
  return reinterpret_cast<PyTypeObject*>(type.get([] { return create_class(&semaphore_spec, ClassDoc::none); }));
}

}  // namespace tessaryne::binding
