#include "binding/sync/waiter.hpp"

#include "binding/common/values.hpp"

namespace tessaryne::binding {

namespace {

PyRef new_pair(Waiter&& waiter) { return new_tuple(std::move(waiter.loop), std::move(waiter.future)); }

}  // namespace

PyRef new_waiter_list(WaiterQueue&& waiters) {
  PyRef list = checked_ref(PyList_New(static_cast<Py_ssize_t>(waiters.size())));
  for (Py_ssize_t index = 0; !waiters.empty(); ++index)
    PyList_SET_ITEM(list.get(), index, new_pair(waiters.pop_front()).release());
  return list;
}

PyRef waiter_list_or_none(std::optional<Waiter>&& first, WaiterQueue&& rest) {
  if (!first) return rest.empty() ? PyRef::borrow(Py_None) : new_waiter_list(std::move(rest));
  PyRef list = checked_ref(PyList_New(static_cast<Py_ssize_t>(1 + rest.size())));
  PyList_SET_ITEM(list.get(), 0, new_pair(std::move(*first)).release());
  for (Py_ssize_t index = 1; !rest.empty(); ++index)
    PyList_SET_ITEM(list.get(), index, new_pair(rest.pop_front()).release());
  return list;
}

}  // namespace tessaryne::binding
