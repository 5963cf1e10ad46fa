#pragma once
// FastHttpConnection.format_ws_frame: the static serializer of the frames a
// server sends after an upgrade. It lives with the WebSocket binding; the
// connection class's method table lists it after format_chunk.

#include "binding/common/python.hpp"

namespace tessaryne::binding {

PyObject* format_ws_frame(PyObject* unused, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace tessaryne::binding
