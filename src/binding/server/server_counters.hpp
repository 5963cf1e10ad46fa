#pragma once
// ServerCounters: the Python handle of one loop's counters, which the loop's
// driver writes and a metrics reader on any thread snapshots.

#include <memory>

#include "binding/common/python.hpp"
#include "core/server/counters.hpp"

namespace tessaryne::binding {

// The counters `object` holds; throws TypeError unless it is a ServerCounters.
std::shared_ptr<server::ServerCounters> counters_of(PyObject* object);

}  // namespace tessaryne::binding
