#pragma once
// Python classes around native C++ objects. Every class of the module is a heap
// type created once per process: final (no subclassing), no instance __dict__,
// no weak references, immutable, with __module__ "tessaryne._tessaryne_core".

#include <concepts>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "binding/common/errors.hpp"
#include "binding/common/process_once.hpp"

namespace tessaryne::binding {

// Instance layout: the object header followed by the native value.
template <class T>
struct NativeObject {
  PyObject_HEAD T value;
};

template <class T>
T& native(PyObject* self) noexcept {
  return reinterpret_cast<NativeObject<T>*>(self)->value;
}

// A native value that holds Python references opts its class in to the cyclic
// garbage collector by giving two members:
//   int traverse(visitproc visit, void* arg)  visits each reference it holds
//     (Py_VISIT). The collector calls it with every other thread stopped, so it
//     reads without taking the value's own lock (that lock's holder may be the
//     very thread collecting).
//   clear() noexcept  takes its references out, under its lock if it has one,
//     and returns them (a PyRef, a container of them, ...). The helper drops
//     what it returns once clear() has returned, outside that lock, because
//     dropping a last reference can run any Python code.
// Such a class uses kGcClassFlags and the slots traverse_native<T>,
// clear_native<T> and dealloc_native<T>; any other class keeps kClassFlags and
// dealloc_native<T> alone.
template <class T>
concept HoldsReferences = requires(T& value, visitproc visit, void* arg) {
  { value.traverse(visit, arg) } -> std::same_as<int>;
  { value.clear() } noexcept;
  requires !std::is_void_v<decltype(value.clear())>;
};

// Allocates an instance of `type` and constructs its value in place. An instance
// of a collected class is tracked only once its value is complete: the
// collector never traverses a value under construction or one that failed.
template <class T, class... Args>
PyObject* new_native(PyTypeObject* type, Args&&... args) {
  if ((PyType_IS_GC(type) != 0) != HoldsReferences<T>)
    throw std::logic_error("a class's flags and its native value disagree about garbage collection");
  PyObject* self = nullptr;
  if constexpr (HoldsReferences<T>)
    self = checked(reinterpret_cast<PyObject*>(PyObject_GC_New(NativeObject<T>, type)));
  else
    self = checked(type->tp_alloc(type, 0));
  try {
    new (&reinterpret_cast<NativeObject<T>*>(self)->value) T(std::forward<Args>(args)...);
  } catch (...) {
    type->tp_free(self);
    Py_DECREF(type);
    throw;
  }
  if constexpr (HoldsReferences<T>) PyObject_GC_Track(self);
  return self;
}

template <class T>
void dealloc_native(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  // Untracked first: the value's destructor may run Python code that collects,
  // and the collector must not see a value being destroyed.
  if constexpr (HoldsReferences<T>) PyObject_GC_UnTrack(self);
  native<T>(self).~T();
  type->tp_free(self);
  Py_DECREF(type);
}

template <HoldsReferences T>
int traverse_native(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));  // a heap type: each instance holds a reference to it
  return native<T>(self).traverse(visit, arg);
}

template <HoldsReferences T>
int clear_native(PyObject* self) noexcept {
  // Dropped on return, after clear() has released any lock of the value.
  [[maybe_unused]] auto references = native<T>(self).clear();
  return 0;
}

enum class ClassDoc : bool {
  kept,  // the docstring after the signature, or the docstring alone
  none,  // only a text signature: __doc__ is None
};

// Creates the class from `spec`. With ClassDoc::none, `__doc__` becomes None
// while `__text_signature__` still comes from the stored documentation.
PyObject* create_class(PyType_Spec* spec, ClassDoc doc) noexcept;

// Flags shared by every class; callers may add Py_TPFLAGS_DISALLOW_INSTANTIATION.
constexpr unsigned long kClassFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
// The flags of a class whose value HoldsReferences.
constexpr unsigned long kGcClassFlags = kClassFlags | Py_TPFLAGS_HAVE_GC;

// Casts a typed C++ function to the PyCFunction slot of a method table entry.
template <class Function>
PyCFunction method_cast(Function function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace tessaryne::binding
