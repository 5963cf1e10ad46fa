#pragma once
// FastHttpConnection.format_chunk and FastHttpConnection.format_ws_frame: the
// two static serializers that follow a response head. They live apart from
// the connection class; its method table lists them after format_response:
//
//   format_chunk_method,
//   format_ws_frame_method,

#include "binding/common/native_class.hpp"
#include "binding/common/python.hpp"

namespace tessaryne::binding {

PyObject* format_chunk(PyObject* unused, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* format_ws_frame(PyObject* unused, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

inline constexpr const char kFormatChunkDoc[] = "format_chunk(chunk, more_body)\n--\n\n";
inline constexpr const char kFormatWsFrameDoc[] = "format_ws_frame(opcode, payload)\n--\n\n";

// Inline, so in every file that includes this header they are initialised
// before any method table defined after the include copies them.
inline const PyMethodDef format_chunk_method = {"format_chunk", method_cast(format_chunk),
                                                METH_FASTCALL | METH_KEYWORDS | METH_STATIC, kFormatChunkDoc};
inline const PyMethodDef format_ws_frame_method = {
    "format_ws_frame", method_cast(format_ws_frame), METH_FASTCALL | METH_KEYWORDS | METH_STATIC, kFormatWsFrameDoc};

}  // namespace tessaryne::binding
