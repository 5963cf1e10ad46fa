#pragma once
// Python classes around native C++ objects. Every class of the module is a heap
// type created once per process: final (no subclassing), no instance __dict__,
// no weak references, immutable, with __module__ "tessaryne._tessaryne_core".

#include <new>
#include <utility>

#include "binding/common/errors.hpp"
#include "binding/common/process_once.hpp"

namespace tessaryne::binding {

// Instance layout: the object header followed by the native value.
template <class T>
struct NativeObject {
  PyObject_HEAD
  T value;
};

template <class T>
T& native(PyObject* self) noexcept {
  return reinterpret_cast<NativeObject<T>*>(self)->value;
}

// Allocates an instance of `type` and constructs its value in place.
template <class T, class... Args>
PyObject* new_native(PyTypeObject* type, Args&&... args) {
  PyObject* self = checked(type->tp_alloc(type, 0));
  try {
    new (&reinterpret_cast<NativeObject<T>*>(self)->value) T(std::forward<Args>(args)...);
  } catch (...) {
    type->tp_free(self);
    Py_DECREF(type);
    throw;
  }
  return self;
}

template <class T>
void dealloc_native(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  native<T>(self).~T();
  type->tp_free(self);
  Py_DECREF(type);
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

// Casts a typed C++ function to the PyCFunction slot of a method table entry.
template <class Function>
PyCFunction method_cast(Function function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace tessaryne::binding
