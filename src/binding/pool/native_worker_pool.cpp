// NativeWorkerPool: the task queues of the runtime's thread pool. Tasks are
// strong references; the attached AtomicMetrics is kept alive beside its
// counter table inside the core pool. Whatever the pool lets go of (a task
// whose submission failed, metrics replaced, everything cleared by the
// collector) is released after the core has released its locks.

#include <cstdint>
#include <memory>

#include "binding/classes.hpp"
#include "binding/common/args.hpp"
#include "binding/common/native_class.hpp"
#include "binding/common/values.hpp"
#include "binding/metrics/atomic_metrics.hpp"
#include "core/pool/worker_pool.hpp"

namespace tessaryne::binding {
namespace {

using Core = pool::WorkerPool<PyRef, PyRef>;

// The core lives in its own allocation: its cache-line alignment is more than
// the interpreter's allocator promises for the object itself.
struct Pool {
  explicit Pool(std::uint64_t num_threads) : core(std::make_unique<Core>(num_threads)) {}

  int traverse(visitproc visit, void* arg) const {
    if (const int result = core->visit_unlocked([&](const PyRef& task) -> int {
          Py_VISIT(task.get());
          return 0;
        }))
      return result;
    Py_VISIT(core->metrics_keeper_unlocked().get());
    return 0;
  }
  // The tasks are released by the core queue by queue, each outside its lock;
  // the metrics reference is returned for the helper to release. Not const:
  // it empties the pool, which the pointer's constness does not show.
  PyRef clear() noexcept {  // NOLINT(readability-make-member-function-const)
    core->discard_queued();
    return core->take_metrics();
  }

  std::unique_ptr<Core> core;
};

constexpr Parameters<1> kNew{"NativeWorkerPool.__new__()", {"num_threads"}};
constexpr Parameters<1> kSetMetrics{"NativeWorkerPool.set_metrics()", {"metrics"}};
constexpr Parameters<1> kPushGlobal{"NativeWorkerPool.push_global()", {"task"}};
constexpr Parameters<2> kPushLocal{"NativeWorkerPool.push_local()", {"index", "task"}};
constexpr Parameters<1> kPopWork{"NativeWorkerPool.pop_work()", {"index"}};

[[noreturn]] void raise_closed(const char* message) { raise(checked(thread_pool_closed_error_type()), message); }

PyRef task_reference(PyObject* task) {
  if (task == Py_None) raise(PyExc_TypeError, "pool task cannot be None");
  return PyRef::borrow(task);
}

// On failure the task's reference is still ours, dropped when the raise unwinds.
PyObject* submitted(pool::SubmitResult result) {
  switch (result) {
    case pool::SubmitResult::queued:
      Py_RETURN_NONE;
    case pool::SubmitResult::closed:
      raise_closed("Pool is closed");
    case pool::SubmitResult::index_out_of_range:
      break;
  }
  raise(PyExc_RuntimeError, "Worker index out of range");
}

PyObject* pool_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    const auto bound = kNew.bind(args, kwargs);
    return new_native<Pool>(type, to_u64(bound[0], "num_threads"));
  });
}

PyObject* pool_close(PyObject* self, PyObject*) {
  return guard([&] {
    native<Pool>(self).core->close();
    Py_RETURN_NONE;
  });
}

PyObject* pool_set_metrics(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto bound = kSetMetrics.bind(args, nargsf, kwnames);
    PyTypeObject* metrics_type = atomic_metrics_type();
    if (metrics_type == nullptr) throw PythonError{};
    PyObject* metrics = to_instance(bound[0], metrics_type, "metrics");
    const PyRef replaced = native<Pool>(self).core->set_metrics(counter_table(metrics), PyRef::borrow(metrics));
    Py_RETURN_NONE;
  });
}

PyObject* pool_is_closed(PyObject* self, PyObject*) {
  return guard([&] { return new_bool(native<Pool>(self).core->is_closed()).release(); });
}

PyObject* pool_is_drained(PyObject* self, PyObject*) {
  return guard([&] { return new_bool(native<Pool>(self).core->is_drained()).release(); });
}

PyObject* pool_push_global(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto bound = kPushGlobal.bind(args, nargsf, kwnames);
    PyRef task = task_reference(bound[0]);
    return submitted(native<Pool>(self).core->push_global(task));
  });
}

PyObject* pool_push_local(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto bound = kPushLocal.bind(args, nargsf, kwnames);
    const std::uint64_t index = to_u64(bound[0], "index");
    PyRef task = task_reference(bound[1]);
    return submitted(native<Pool>(self).core->push_local(index, task));
  });
}

PyObject* pool_pop_work(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto bound = kPopWork.bind(args, nargsf, kwnames);
    auto popped = native<Pool>(self).core->pop_work(to_u64(bound[0], "index"));
    switch (popped.status) {
      case pool::WorkStatus::task:
        return popped.task.release();
      case pool::WorkStatus::none:
        Py_RETURN_NONE;
      case pool::WorkStatus::drained:
        break;
    }
    raise_closed("Pool is closed and drained");
  });
}

constexpr int kArgumentCall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef pool_methods[] = {
    {"close", method_cast(pool_close), METH_NOARGS, "close($self)\n--\n\n"},
    {"set_metrics", method_cast(pool_set_metrics), kArgumentCall, "set_metrics($self, metrics)\n--\n\n"},
    {"is_closed", method_cast(pool_is_closed), METH_NOARGS, "is_closed($self)\n--\n\n"},
    {"is_drained", method_cast(pool_is_drained), METH_NOARGS, "is_drained($self)\n--\n\n"},
    {"push_global", method_cast(pool_push_global), kArgumentCall, "push_global($self, task)\n--\n\n"},
    {"push_local", method_cast(pool_push_local), kArgumentCall, "push_local($self, index, task)\n--\n\n"},
    {"pop_work", method_cast(pool_pop_work), kArgumentCall, "pop_work($self, index)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot pool_slots[] = {
    {Py_tp_doc, const_cast<char*>("NativeWorkerPool(num_threads)\n--\n\n"
                                  "Native worker-pool core for zero-overhead task queueing and work stealing, "
                                  "each worker stealing batches from the one injection queue all share, never "
                                  "from another worker's queues.")},
    {Py_tp_new, reinterpret_cast<void*>(pool_new)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_native<Pool>)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_native<Pool>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_native<Pool>)},
    {Py_tp_methods, pool_methods},
    {0, nullptr},
};

PyType_Spec pool_spec = {"tessaryne._tessaryne_core.NativeWorkerPool", sizeof(NativeObject<Pool>), 0, kGcClassFlags,
                         pool_slots};

}  // namespace

PyTypeObject* native_worker_pool_type() noexcept {
  static ProcessOnce<PyObject> type;
  return reinterpret_cast<PyTypeObject*>(type.get([] { return create_class(&pool_spec, ClassDoc::kept); }));
}

}  // namespace tessaryne::binding
