#include "binding/http/frame_serializers.hpp"

#include "binding/common/args.hpp"
#include "core/http/frame_serializers.hpp"

namespace tessaryne::binding {
namespace {

constexpr Parameters<2> kFormatChunk{"FastHttpConnection.format_chunk()", {"chunk", "more_body"}};
constexpr Parameters<2> kFormatWsFrame{"FastHttpConnection.format_ws_frame()", {"opcode", "payload"}};

PyRef new_bytes(std::size_t size) {
  return checked_ref(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
}

}  // namespace

PyObject* format_chunk(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto bound = kFormatChunk.bind(args, nargsf, kwnames);
    const std::string_view chunk = to_bytes(bound[0], "chunk");
    const bool more_body = to_bool(bound[1], "more_body");
    PyRef output = new_bytes(http::chunk_size(chunk.size(), more_body));
    http::write_chunk(chunk, more_body, PyBytes_AS_STRING(output.get()));
    return output.release();
  });
}

PyObject* format_ws_frame(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto bound = kFormatWsFrame.bind(args, nargsf, kwnames);
    const std::uint8_t opcode = to_u8(bound[0], "opcode");
    const std::string_view payload = to_bytes(bound[1], "payload");
    PyRef output = new_bytes(http::ws_frame_size(payload.size()));
    http::write_ws_frame(opcode, payload, PyBytes_AS_STRING(output.get()));
    return output.release();
  });
}

}  // namespace tessaryne::binding
