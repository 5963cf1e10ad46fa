#pragma once
// The counter table inside an AtomicMetrics instance, for the worker pool that
// reports into it (the pool keeps the instance alive while it does).

#include "binding/common/python.hpp"
#include "core/metrics/counter_table.hpp"

namespace tessaryne::binding {

// `atomic_metrics` must be an instance of atomic_metrics_type().
metrics::CounterTable& counter_table(PyObject* atomic_metrics) noexcept;

}  // namespace tessaryne::binding
