#pragma once
// FastHttpConnection.format_chunk: the static serializer of the body pieces
// that follow a chunked response head. It lives apart from the connection
// class, whose method table lists it after format_response.

#include "binding/common/python.hpp"

namespace tessaryne::binding {

PyObject* format_chunk(PyObject* unused, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace tessaryne::binding
