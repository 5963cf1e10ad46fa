// Module definition and execution step: registers the exception, the nine
// classes and the two functions, in this order, as attributes and in __all__.

#include "binding/classes.hpp"
#include "binding/common/errors.hpp"
#include "binding/common/process_once.hpp"

namespace tessaryne::binding {
namespace {

int append_to_all(PyObject* module, const char* name) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return -1;
  }
  if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    return -1;
  }
  PyRef text = PyRef::steal(PyUnicode_FromString(name));
  if (!text) return -1;
  return PyList_Append(all.get(), text.get());
}

int add_name(PyObject* module, const char* name, PyObject* object) {
  if (object == nullptr) return -1;
  if (append_to_all(module, name) != 0) return -1;
  return PyObject_SetAttrString(module, name, object);
}

int add_function(PyObject* module, PyMethodDef* definition) {
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  PyRef function = PyRef::steal(PyCMethod_New(definition, module, module_name.get(), nullptr));
  return add_name(module, definition->ml_name, function.get());
}

template <class Getter>
int add_class(PyObject* module, const char* name, Getter getter) {
  return add_name(module, name, reinterpret_cast<PyObject*>(getter()));
}

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "expected a module object");
    return -1;
  }
  if (add_name(module, "ThreadPoolClosedError", thread_pool_closed_error_type()) != 0 ||
      add_class(module, "AtomicMetrics", atomic_metrics_type) != 0 ||
      add_class(module, "NativeWorkerPool", native_worker_pool_type) != 0 ||
      add_class(module, "Channel", channel_type) != 0 ||
      add_class(module, "RawAsyncChannel", raw_async_channel_type) != 0 ||
      add_class(module, "RawAsyncWaitGroup", raw_async_wait_group_type) != 0 ||
      add_class(module, "RawAsyncRWMutex", raw_async_rw_mutex_type) != 0 ||
      add_class(module, "FastHttpParser", fast_http_parser_type) != 0 ||
      add_class(module, "FastHttpConnection", fast_http_connection_type) != 0 ||
      add_class(module, "FastWebSocketParser", fast_websocket_parser_type) != 0 ||
      add_function(module, &fast_websocket_unmask_def) != 0 ||
      add_function(module, &fast_websocket_unmask_slice_def) != 0)
    return -1;
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_tessaryne_core",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyObject* thread_pool_closed_error_type() noexcept {
  static ProcessOnce<PyObject> type;
  return type.get([] {
    return PyErr_NewException("_tessaryne_core.ThreadPoolClosedError", PyExc_Exception, nullptr);
  });
}

}  // namespace tessaryne::binding

PyMODINIT_FUNC PyInit__tessaryne_core() {
  return PyModuleDef_Init(&tessaryne::binding::module_definition);
}
