#pragma once
// What the connection driver needs of the WSGI interface: the call object a
// worker thread runs an application with.

#include <memory>

#include "binding/common/py_ref.hpp"
#include "binding/common/python.hpp"
#include "core/wsgi/call.hpp"

namespace tessaryne::binding::wsgi_interface {

PyTypeObject* wsgi_call_type() noexcept;

// The call's object, its environ's "wsgi.input"; `file_wrapper` is the class
// of wsgi.file_wrapper (or None).
PyRef new_wsgi_call(std::shared_ptr<wsgi::Call> call, PyObject* file_wrapper);

}  // namespace tessaryne::binding::wsgi_interface
