// AtomicMetrics: per-worker counters, updated and read without a lock.

#include "binding/metrics/atomic_metrics.hpp"

#include <cstdint>

#include "binding/classes.hpp"
#include "binding/common/args.hpp"
#include "binding/common/native_class.hpp"
#include "binding/common/values.hpp"

namespace tessaryne::binding {
namespace {

using metrics::Counter;
using metrics::CounterTable;

constexpr Parameters<1> kNew{"AtomicMetrics.__new__()", {"num_threads"}};

PyObject* metrics_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    const auto bound = kNew.bind(args, kwargs);
    return new_native<CounterTable>(type, to_u64(bound[0], "num_threads"));
  });
}

// The counter methods differ only in their name, their counter and what they
// do with it; each is one instantiation of these templates.
template <const Parameters<1>& params>
std::uint64_t bind_index(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return to_u64(params.bind(args, nargsf, kwnames)[0], "index");
}

template <const Parameters<1>& params, Counter counter>
PyObject* increment(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    native<CounterTable>(self).increment(counter, bind_index<params>(args, nargsf, kwnames));
    Py_RETURN_NONE;
  });
}

template <const Parameters<1>& params, Counter counter>
PyObject* read(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    return new_int(native<CounterTable>(self).load(counter, bind_index<params>(args, nargsf, kwnames))).release();
  });
}

constexpr Parameters<1> kIncActive{"AtomicMetrics.inc_active()", {"index"}};
constexpr Parameters<1> kDecActive{"AtomicMetrics.dec_active()", {"index"}};
constexpr Parameters<1> kGetActive{"AtomicMetrics.get_active()", {"index"}};
constexpr Parameters<1> kGetCompleted{"AtomicMetrics.get_completed()", {"index"}};
constexpr Parameters<1> kIncGlobalPull{"AtomicMetrics.inc_global_pull()", {"index"}};
constexpr Parameters<1> kGetGlobalPull{"AtomicMetrics.get_global_pull()", {"index"}};
constexpr Parameters<1> kIncPark{"AtomicMetrics.inc_park()", {"index"}};
constexpr Parameters<1> kGetPark{"AtomicMetrics.get_park()", {"index"}};
constexpr Parameters<2> kSetDepth{"AtomicMetrics.set_injection_queue_depth()", {"index", "depth"}};
constexpr Parameters<1> kGetDepth{"AtomicMetrics.get_injection_queue_depth()", {"index"}};
constexpr Parameters<1> kIncRemote{"AtomicMetrics.inc_remote_schedule()", {"index"}};
constexpr Parameters<1> kGetRemote{"AtomicMetrics.get_remote_schedule()", {"index"}};

PyObject* dec_active(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    native<CounterTable>(self).finish_task(bind_index<kDecActive>(args, nargsf, kwnames));
    Py_RETURN_NONE;
  });
}

PyObject* set_injection_queue_depth(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto bound = kSetDepth.bind(args, nargsf, kwnames);
    const std::uint64_t index = to_u64(bound[0], "index");
    const std::uint64_t depth = to_u64(bound[1], "depth");
    native<CounterTable>(self).store(Counter::injection_queue_depth, index, depth);
    Py_RETURN_NONE;
  });
}

constexpr int kIndexCall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef metrics_methods[] = {
    {"inc_active", method_cast(increment<kIncActive, Counter::active>), kIndexCall, "inc_active($self, index)\n--\n\n"},
    {"dec_active", method_cast(dec_active), kIndexCall, "dec_active($self, index)\n--\n\n"},
    {"get_active", method_cast(read<kGetActive, Counter::active>), kIndexCall, "get_active($self, index)\n--\n\n"},
    {"get_completed", method_cast(read<kGetCompleted, Counter::completed>), kIndexCall,
     "get_completed($self, index)\n--\n\n"},
    {"inc_global_pull", method_cast(increment<kIncGlobalPull, Counter::global_pull>), kIndexCall,
     "inc_global_pull($self, index)\n--\n\n"},
    {"get_global_pull", method_cast(read<kGetGlobalPull, Counter::global_pull>), kIndexCall,
     "get_global_pull($self, index)\n--\n\n"},
    {"inc_park", method_cast(increment<kIncPark, Counter::park>), kIndexCall, "inc_park($self, index)\n--\n\n"},
    {"get_park", method_cast(read<kGetPark, Counter::park>), kIndexCall, "get_park($self, index)\n--\n\n"},
    {"set_injection_queue_depth", method_cast(set_injection_queue_depth), kIndexCall,
     "set_injection_queue_depth($self, index, depth)\n--\n\n"},
    {"get_injection_queue_depth", method_cast(read<kGetDepth, Counter::injection_queue_depth>), kIndexCall,
     "get_injection_queue_depth($self, index)\n--\n\n"},
    {"inc_remote_schedule", method_cast(increment<kIncRemote, Counter::remote_schedule>), kIndexCall,
     "inc_remote_schedule($self, index)\n--\n\n"},
    {"get_remote_schedule", method_cast(read<kGetRemote, Counter::remote_schedule>), kIndexCall,
     "get_remote_schedule($self, index)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot metrics_slots[] = {
    {Py_tp_doc, const_cast<char*>("AtomicMetrics(num_threads)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(metrics_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_native<CounterTable>)},
    {Py_tp_methods, metrics_methods},
    {0, nullptr},
};

PyType_Spec metrics_spec = {"tessaryne._tessaryne_core.AtomicMetrics", sizeof(NativeObject<CounterTable>), 0,
                            kClassFlags, metrics_slots};

}  // namespace

metrics::CounterTable& counter_table(PyObject* atomic_metrics) noexcept { return native<CounterTable>(atomic_metrics); }

PyTypeObject* atomic_metrics_type() noexcept {
  static ProcessOnce<PyObject> type;
  return reinterpret_cast<PyTypeObject*>(type.get([] { return create_class(&metrics_spec, ClassDoc::none); }));
}

}  // namespace tessaryne::binding
