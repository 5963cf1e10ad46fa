#include "binding/sync/waiter.hpp"

#include "binding/common/values.hpp"

namespace tessaryne::binding {

PyRef new_waiter_list(WaiterQueue&& waiters) {
  PyRef list = checked_ref(PyList_New(static_cast<Py_ssize_t>(waiters.size())));
  for (Py_ssize_t index = 0; !waiters.empty(); ++index) {
    Waiter waiter = waiters.pop_front();
    PyList_SET_ITEM(list.get(), index, new_tuple(std::move(waiter.loop), std::move(waiter.future)).release());
  }
  return list;
}

}  // namespace tessaryne::binding
