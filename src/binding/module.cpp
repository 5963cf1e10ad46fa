// Module definition and execution step: registers the exception, the nine
// classes and the two functions, in this order, as attributes and in __all__,
// and the internal-error class as an attribute only.

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

// Each export is obtained as a new reference, or null with an exception set.
using ExportGetter = PyObject* (*)(PyObject* module);

struct Export {
  const char* name;
  ExportGetter get;
};

PyObject* as_object(PyObject* object) noexcept { return object; }
PyObject* as_object(PyTypeObject* type) noexcept { return reinterpret_cast<PyObject*>(type); }

// The exception and the classes: process-wide objects, shared by every module object.
template <auto getter>
PyObject* process_wide(PyObject* /*module*/) noexcept {
  return Py_XNewRef(as_object(getter()));
}

// The functions: built-in functions bound to this module object.
template <PyMethodDef* definition>
PyObject* bound_function(PyObject* module) noexcept {
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return nullptr;
  return PyCMethod_New(definition, module, module_name.get(), nullptr);
}

// Registration order, which is also the order of __all__.
constexpr Export kExports[] = {
    {"ThreadPoolClosedError", process_wide<thread_pool_closed_error_type>},
    {"AtomicMetrics", process_wide<atomic_metrics_type>},
    {"NativeWorkerPool", process_wide<native_worker_pool_type>},
    {"Channel", process_wide<channel_type>},
    {"RawAsyncChannel", process_wide<raw_async_channel_type>},
    {"RawAsyncWaitGroup", process_wide<raw_async_wait_group_type>},
    {"RawAsyncRWMutex", process_wide<raw_async_rw_mutex_type>},
    {"FastHttpParser", process_wide<fast_http_parser_type>},
    {"FastHttpConnection", process_wide<fast_http_connection_type>},
    {"FastWebSocketParser", process_wide<fast_websocket_parser_type>},
    {"fast_websocket_unmask", bound_function<&fast_websocket_unmask_def>},
    {"fast_websocket_unmask_slice", bound_function<&fast_websocket_unmask_slice_def>},
};

// Additions the runtime's own package opts into (the server's driver, the
// primitives under tessaryne.sync's drop-ins): attributes of the module, not
// among its public names.
constexpr Export kAdditions[] = {
    {"RawAsyncSemaphore", process_wide<raw_async_semaphore_type>},
    {"RawAsyncQueue", process_wide<raw_async_queue_type>},
    {"ConnectionDriver", process_wide<connection_driver_type>},
    {"ServerCounters", process_wide<server_counters_type>},
    {"AccessLogFormat", process_wide<access_log_format_type>},
    {"negotiate_permessage_deflate", bound_function<&negotiate_permessage_deflate_def>},
};

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "expected a module object");
    return -1;
  }
  for (const Export& entry : kExports) {
    const PyRef object = PyRef::steal(entry.get(module));
    if (add_name(module, entry.name, object.get()) != 0) return -1;
  }
  // Reachable for `except` clauses, but not one of the module's public names.
  PyObject* internal_error = internal_error_type();
  if (internal_error == nullptr) return -1;
  if (PyObject_SetAttrString(module, "InternalError", internal_error) != 0) return -1;
  for (const Export& entry : kAdditions) {
    const PyRef object = PyRef::steal(entry.get(module));
    if (!object || PyObject_SetAttrString(module, entry.name, object.get()) != 0) return -1;
  }
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "_tessaryne_core", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyObject* thread_pool_closed_error_type() noexcept {
  static ProcessOnce<PyObject> type;
  return type.get([] { return PyErr_NewException("_tessaryne_core.ThreadPoolClosedError", PyExc_Exception, nullptr); });
}

}  // namespace tessaryne::binding

PyMODINIT_FUNC PyInit__tessaryne_core() { return PyModuleDef_Init(&tessaryne::binding::module_definition); }
