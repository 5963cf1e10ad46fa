#include "binding/common/completion.hpp"

#include <array>
#include <utility>

#include "binding/common/errors.hpp"
#include "binding/common/native_class.hpp"
#include "binding/common/process_once.hpp"

namespace tessaryne::binding {
namespace {

struct CompletionValue {
  PyRef value;     // the result once ready
  PyRef iterator;  // the awaited future's iterator
  PyRef owner;     // what the retry is for
  PyRef message;   // what the retry carries
  Retry retry = nullptr;

  int traverse(visitproc visit, void* arg) const {
    Py_VISIT(value.get());
    Py_VISIT(iterator.get());
    Py_VISIT(owner.get());
    Py_VISIT(message.get());
    return 0;
  }
  std::array<PyRef, 4> clear() noexcept {
    return {std::move(value), std::move(iterator), std::move(owner), std::move(message)};
  }
};

PyTypeObject* completion_type() noexcept;

PySendResult completion_send(PyObject* self, PyObject* argument, PyObject** result) {
  auto& value = native<CompletionValue>(self);
  try {
    for (;;) {
      if (value.retry == nullptr) {
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
      // The awaited future is done: try again, and continue as what that gives.
      PyRef owner = std::move(value.owner);
      PyRef message = std::move(value.message);
      const PyRef next = std::exchange(value.retry, nullptr)(owner.get(), message.get());
      auto& follow = native<CompletionValue>(next.get());
      value.value = std::move(follow.value);
      value.iterator = std::move(follow.iterator);
      value.owner = std::move(follow.owner);
      value.message = std::move(follow.message);
      value.retry = follow.retry;
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
    {Py_tp_doc, const_cast<char*>("The awaitable result of a native call that may wait.")},
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

PyObject* done_completion() {
  static PyObject* const made = [] {
    PyObject* completion = ready(PyRef::borrow(Py_None)).release();
    PyObject_GC_UnTrack(completion);  // it holds None only: never part of a cycle
    return completion;
  }();
  return Py_NewRef(made);
}

PyRef waiting(PyRef future, Retry retry, PyObject* owner, PyRef message) {
  static PyObject* const await_name = checked_ref(PyUnicode_InternFromString("__await__")).release();
  PyRef completion = checked_ref(new_native<CompletionValue>(completion_type()));
  auto& value = native<CompletionValue>(completion.get());
  value.iterator = checked_ref(PyObject_CallMethodNoArgs(future.get(), await_name));
  value.owner = PyRef::borrow(owner);
  value.message = std::move(message);
  value.retry = retry;
  return completion;
}

}  // namespace tessaryne::binding
