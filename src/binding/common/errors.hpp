#pragma once
// Error plumbing between C++ and Python. Binding code throws PythonError once a
// Python exception is set; every entry point runs inside guard(), which turns
// any C++ exception into a Python one so nothing unwinds into the interpreter.

#include <exception>
#include <new>

#include "binding/common/py_ref.hpp"

namespace tessaryne::binding {

// A Python exception is already set.
struct PythonError {};

// Returns the object; throws PythonError when it is null (a Python error is set).
inline PyObject* checked(PyObject* object) {
  if (object == nullptr) throw PythonError{};
  return object;
}
inline PyRef checked_ref(PyObject* new_reference) { return PyRef::steal(checked(new_reference)); }

// Sets an exception of `type` with `message` and throws PythonError.
[[noreturn]] void raise(PyObject* type, const char* message);

// ConnectionError "the client has disconnected": what an application hears
// once its client is gone, from a send or a read.
[[noreturn]] void raise_disconnected();

// "'{source}' object is not an instance of '{target}'" ('None' is not ... for None).
[[noreturn]] void raise_type_mismatch(PyObject* object, const char* target);

// Adds the note "while processing '{parameter}'" to the exception being raised.
void add_parameter_note(const char* parameter) noexcept;

// Class of the exception raised for internal failures; derives from BaseException.
PyObject* internal_error_type() noexcept;
void set_internal_error(const char* what) noexcept;

template <class Result, Result failure, class Body>
Result guard_as(Body&& body) noexcept {
  try {
    return body();
  } catch (const PythonError&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    set_internal_error(error.what());
  } catch (...) {
    set_internal_error("unknown C++ exception");
  }
  return failure;
}

template <class Body>
PyObject* guard(Body&& body) noexcept {
  return guard_as<PyObject*, nullptr>(std::forward<Body>(body));
}

// Sets the Python error for the C++ exception being handled (inside a catch).
inline void set_error_from_current() noexcept {
  guard([]() -> PyObject* { throw; });
}

}  // namespace tessaryne::binding
