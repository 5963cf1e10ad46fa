#pragma once
// Completion: the awaitable of a native call that may have to wait. A call
// with nothing to wait for completes at once, without a trip through the
// loop; one that waits holds the future it awaits and, once that is done,
// calls its retry, which answers with the completion to continue as.

#include "binding/common/py_ref.hpp"

namespace tessaryne::binding {

// Tries the call again for `owner` (and the `message` it carried, if any).
using Retry = PyRef (*)(PyObject* owner, PyObject* message);

// A completion that is ready with `value`.
PyRef ready(PyRef value);
// The completion of a call that had nothing to wait for and no result: one
// object, made once, awaited by everyone.
PyObject* done_completion();
// A completion that calls `retry(owner, message)` once `future` is done.
PyRef waiting(PyRef future, Retry retry, PyObject* owner, PyRef message = {});

}  // namespace tessaryne::binding
