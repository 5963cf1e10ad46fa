// Completion: the awaitable of receive, send and drain. A call that has
// nothing to wait for completes at once, without a trip through the loop;
// one that waits holds the future it awaits and tries again once it is done.

#include "binding/server/driver_parts.hpp"

#include "binding/common/errors.hpp"

namespace tessaryne::binding::serving {
namespace {

struct CompletionValue {
  PyRef value;     // the result once ready
  PyRef iterator;  // the awaited future's iterator
  PyRef exchange;  // or the connection, for a drain
  PyRef message;   // a send waiting for the output to drain
  Waiting waiting = Waiting::nothing;

  int traverse(visitproc visit, void* arg) const {
    Py_VISIT(value.get());
    Py_VISIT(iterator.get());
    Py_VISIT(exchange.get());
    Py_VISIT(message.get());
    return 0;
  }
  std::array<PyRef, 4> clear() noexcept {
    return {std::move(value), std::move(iterator), std::move(exchange), std::move(message)};
  }
};

PyTypeObject* completion_type() noexcept;

PySendResult completion_send(PyObject* self, PyObject* argument, PyObject** result) {
  auto& value = native<CompletionValue>(self);
  try {
    for (;;) {
      if (value.waiting == Waiting::nothing) {
        *result = Py_NewRef(value.value ? value.value.get() : Py_None);
        return PYGEN_RETURN;
      }
      if (value.iterator) {
        const PySendResult step = PyIter_Send(value.iterator.get(), argument, result);
        if (step != PYGEN_RETURN) return step;
        Py_CLEAR(*result);
        value.iterator = PyRef();
        argument = Py_None;
      }
      // The awaited future is done: try again.
      PyRef owner = std::move(value.exchange);
      const Waiting kind = std::exchange(value.waiting, Waiting::nothing);
      PyRef next;
      if (kind == Waiting::receive) {
        check_thread(connection_of(exchange_of(owner.get()).connection.get()).shared->owner);
        next = receive(owner.get());
      } else if (kind == Waiting::send) {
        PyRef message = std::move(value.message);
        check_thread(connection_of(exchange_of(owner.get()).connection.get()).shared->owner);
        next = send(owner.get(), message.get());
      } else {
        ConnectionValue& connection = connection_of(owner.get());
        next = drain(connection, owner.get());
      }
      // Continue as the new completion.
      auto& follow = native<CompletionValue>(next.get());
      value.value = std::move(follow.value);
      value.iterator = std::move(follow.iterator);
      value.exchange = std::move(follow.exchange);
      value.message = std::move(follow.message);
      value.waiting = follow.waiting;
    }
  } catch (...) {
    set_error_from_current();
    *result = nullptr;
    return PYGEN_ERROR;
  }
}

PyObject* completion_await(PyObject* self) { return Py_NewRef(self); }

PyObject* completion_next(PyObject* self) {
  PyObject* result = nullptr;
  const PySendResult step = completion_send(self, Py_None, &result);
  if (step == PYGEN_NEXT) return result;
  if (step == PYGEN_RETURN) {
    if (result != Py_None) PyErr_SetObject(PyExc_StopIteration, result);
    Py_DECREF(result);
  }
  return nullptr;
}

PyType_Slot completion_slots[] = {
    {Py_tp_doc, const_cast<char*>("The awaitable result of a native receive, send or drain.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_native<CompletionValue>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_native<CompletionValue>)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_native<CompletionValue>)},
    {Py_am_await, reinterpret_cast<void*>(completion_await)},
    {Py_am_send, reinterpret_cast<void*>(completion_send)},
    {Py_tp_iter, reinterpret_cast<void*>(completion_await)},
    {Py_tp_iternext, reinterpret_cast<void*>(completion_next)},
    {0, nullptr},
};

PyType_Spec completion_spec = {"tessaryne._tessaryne_core.Completion", sizeof(NativeObject<CompletionValue>), 0,
                               kGcClassFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION, completion_slots};

PyTypeObject* completion_type() noexcept {
  static ProcessOnce<PyObject> type;
  return reinterpret_cast<PyTypeObject*>(type.get([] { return create_class(&completion_spec, ClassDoc::kept); }));
}

}  // namespace

PyRef ready(PyRef value) {
  PyRef completion = checked_ref(new_native<CompletionValue>(completion_type()));
  native<CompletionValue>(completion.get()).value = std::move(value);
  return completion;
}

// The completion of a call that had nothing to wait for and no result: one
// object, made once, awaited by everyone.
PyObject* done_completion() {
  static PyObject* const made = [] {
    PyObject* completion = ready(PyRef::borrow(Py_None)).release();
    PyObject_GC_UnTrack(completion);  // it holds None only: never part of a cycle
    return completion;
  }();
  return Py_NewRef(made);
}

PyRef waiting(Waiting kind, PyObject* owner, PyRef future, PyRef message) {
  PyRef completion = checked_ref(new_native<CompletionValue>(completion_type()));
  auto& value = native<CompletionValue>(completion.get());
  value.iterator = checked_ref(PyObject_CallMethodNoArgs(future.get(), names().await_));
  value.exchange = PyRef::borrow(owner);
  value.message = std::move(message);
  value.waiting = kind;
  return completion;
}

// A completion that tries `kind` again once the connection's output has
// drained: writable() or ended() wakes it.
PyRef after_drain(ConnectionValue& connection, Waiting kind, PyObject* owner, PyRef message) {
  PyRef future = connection.shared->new_future();
  connection.drain_waiters.push_back(PyRef::borrow(future.get()));
  return waiting(kind, owner, std::move(future), std::move(message));
}

// A WebSocket session's drain(): done at once unless the output waits.
PyRef drain(ConnectionValue& connection, PyObject* owner) {
  if (connection.core.gone()) raise(PyExc_ConnectionError, "connection lost");
  if (!connection.core.write_paused()) return PyRef::steal(done_completion());
  return after_drain(connection, Waiting::drain, owner);
}

}  // namespace tessaryne::binding::serving
