#include "binding/common/errors.hpp"

#include "binding/common/process_once.hpp"

namespace tessaryne::binding {

void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw PythonError{};
}

void raise_disconnected() { raise(PyExc_ConnectionError, "the client has disconnected"); }

void raise_type_mismatch(PyObject* object, const char* target) {
  if (object == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", target);
  } else {
    PyRef source = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
    if (source) PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", source.get(), target);
  }
  throw PythonError{};
}

void add_parameter_note(const char* parameter) noexcept {
  PyRef error = PyRef::steal(PyErr_GetRaisedException());
  if (!error) return;
  PyRef note = PyRef::steal(PyUnicode_FromFormat("while processing '%s'", parameter));
  PyRef name = PyRef::steal(PyUnicode_FromString("add_note"));
  if (note && name) {
    PyRef done = PyRef::steal(PyObject_CallMethodOneArg(error.get(), name.get(), note.get()));
    if (!done) return;  // the failure of add_note replaces the original error
  } else {
    return;
  }
  PyErr_SetRaisedException(error.release());
}

PyObject* internal_error_type() noexcept {
  static ProcessOnce<PyObject> type;
  return type.get([] {
    return PyErr_NewExceptionWithDoc("_tessaryne_core.InternalError",
                                     "A broken invariant inside the native core; report it as a bug.",
                                     PyExc_BaseException, nullptr);
  });
}

void set_internal_error(const char* what) noexcept {
  if (PyObject* type = internal_error_type()) PyErr_SetString(type, what);
}

}  // namespace tessaryne::binding
