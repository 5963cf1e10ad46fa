#include "binding/websocket/frame_writer.hpp"

#include "binding/common/args.hpp"
#include "binding/common/values.hpp"
#include "core/websocket/frame_writer.hpp"

namespace tessaryne::binding {
namespace {
constexpr Parameters<2> kFormatWsFrame{"FastHttpConnection.format_ws_frame()", {"opcode", "payload"}};
}  // namespace

PyObject* format_ws_frame(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto bound = kFormatWsFrame.bind(args, nargsf, kwnames);
    const std::uint8_t opcode = to_u8(bound[0], "opcode");
    const std::string_view payload = to_bytes(bound[1], "payload");
    const std::size_t size = websocket::ws_frame_size(payload.size());
    BytesToFill output = new_bytes_to_fill(size);
    websocket::write_ws_frame(opcode, payload, output.data);
    return output.object.release();
  });
}

}  // namespace tessaryne::binding
