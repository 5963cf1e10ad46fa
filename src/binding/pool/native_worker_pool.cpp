// NativeWorkerPool: the task queues of the runtime's thread pool.

#include <cstdint>

#include "binding/classes.hpp"
#include "binding/common/args.hpp"
#include "binding/common/native_class.hpp"

namespace tessaryne::binding {
namespace {

struct Pool {
  std::uint64_t num_threads;
};

constexpr Parameters<1> kNew{"NativeWorkerPool.__new__()", {"num_threads"}};

PyObject* pool_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    const auto bound = kNew.bind(args, kwargs);
    return new_native<Pool>(type, Pool{to_u64(bound[0], "num_threads")});
  });
}

PyType_Slot pool_slots[] = {
    {Py_tp_doc, const_cast<char*>("NativeWorkerPool(num_threads)\n--\n\n"
                                  "Native worker-pool core for zero-overhead task queueing and work stealing.")},
    {Py_tp_new, reinterpret_cast<void*>(pool_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_native<Pool>)},
    {0, nullptr},
};

PyType_Spec pool_spec = {"tessaryne._tessaryne_core.NativeWorkerPool", sizeof(NativeObject<Pool>), 0,
                         kClassFlags, pool_slots};

}  // namespace

PyTypeObject* native_worker_pool_type() noexcept {
  static ProcessOnce<PyObject> type;
  return reinterpret_cast<PyTypeObject*>(type.get([] { return create_class(&pool_spec, ClassDoc::kept); }));
}

}  // namespace tessaryne::binding
