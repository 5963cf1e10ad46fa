#pragma once
// FastHttpConnection.format_chunk and FastHttpConnection.format_ws_frame: the
// two static serializers that follow a response head. They live apart from
// the connection class, whose method table lists them after format_response.

#include "binding/common/python.hpp"

namespace tessaryne::binding {

PyObject* format_chunk(PyObject* unused, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* format_ws_frame(PyObject* unused, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace tessaryne::binding
