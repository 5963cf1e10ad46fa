// AtomicMetrics: per-worker counters.

#include <cstdint>

#include "binding/classes.hpp"
#include "binding/common/args.hpp"
#include "binding/common/native_class.hpp"

namespace tessaryne::binding {
namespace {

struct Metrics {
  std::uint64_t num_threads;
};

constexpr Parameters<1> kNew{"AtomicMetrics.__new__()", {"num_threads"}};

PyObject* metrics_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    const auto bound = kNew.bind(args, kwargs);
    return new_native<Metrics>(type, Metrics{to_u64(bound[0], "num_threads")});
  });
}

PyType_Slot metrics_slots[] = {
    {Py_tp_doc, const_cast<char*>("AtomicMetrics(num_threads)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(metrics_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_native<Metrics>)},
    {0, nullptr},
};

PyType_Spec metrics_spec = {"tessaryne._tessaryne_core.AtomicMetrics", sizeof(NativeObject<Metrics>), 0,
                            kClassFlags, metrics_slots};

}  // namespace

PyTypeObject* atomic_metrics_type() noexcept {
  static ProcessOnce<PyObject> type;
  return reinterpret_cast<PyTypeObject*>(type.get([] { return create_class(&metrics_spec, ClassDoc::none); }));
}

}  // namespace tessaryne::binding
