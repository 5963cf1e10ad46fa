#pragma once
// A waiter of the asynchronous primitives: the caller's event loop and the
// future it awaits, held as strong references. Queued in a common::Ring under
// the primitive's lock; handed back to Python only after that lock is
// released, and released there too (a loop's or a future's finalizer may call
// back into the same primitive).

#include <optional>

#include "binding/common/py_ref.hpp"
#include "core/common/ring.hpp"

namespace tessaryne::binding {

struct Waiter {
  PyRef loop;
  PyRef future;
};

using WaiterQueue = common::Ring<Waiter>;

// For a primitive's garbage-collector traversal.
inline int visit_waiter(const Waiter& waiter, visitproc visit, void* arg) {
  Py_VISIT(waiter.loop.get());
  Py_VISIT(waiter.future.get());
  return 0;
}

// Matches the waiters of one future, by identity (never by equality).
struct SameFuture {
  PyObject* future;
  bool operator()(const Waiter& waiter) const noexcept { return waiter.future.get() == future; }
};

// The returned waiter list: a new list of (loop, future) tuples, oldest first,
// taking over the waiters' references. Call it with no lock held.
PyRef new_waiter_list(WaiterQueue&& waiters);
// The same for `first` followed by `rest`; None when there is no waiter at all.
PyRef waiter_list_or_none(std::optional<Waiter>&& first, WaiterQueue&& rest = {});

}  // namespace tessaryne::binding
