#include "binding/common/native_class.hpp"

namespace tessaryne::binding {

PyObject* create_class(PyType_Spec* spec, ClassDoc doc) noexcept {
  PyRef type = PyRef::steal(PyType_FromSpec(spec));
  if (!type) return nullptr;
  if (doc == ClassDoc::none) {
    // The interpreter stores "" for a documentation that holds only the
    // signature; the class must report None like a class without a docstring.
    PyRef dict = PyRef::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(type.get())));
    if (!dict || PyDict_SetItemString(dict.get(), "__doc__", Py_None) != 0) return nullptr;
    PyType_Modified(reinterpret_cast<PyTypeObject*>(type.get()));
  }
  return type.release();
}

}  // namespace tessaryne::binding
