#include "binding/websocket/ws_options.hpp"

#include "binding/common/args.hpp"
#include "binding/common/values.hpp"
#include "core/websocket/frame_writer.hpp"

namespace tessaryne::binding {

namespace {

std::uint8_t window_bits(PyObject* argument, const char* parameter, std::uint8_t lowest, const char* range_error) {
  if (argument == nullptr) return 15;
  const std::uint8_t bits = to_u8(argument, parameter);
  if (bits < lowest || bits > 15) raise(PyExc_ValueError, range_error);
  return bits;
}

}  // namespace

websocket::FrameOptions to_frame_options(const std::array<PyObject*, 8>& bound) {
  websocket::FrameOptions options;
  const auto flag = [&](std::size_t i) { return bound[i] != nullptr && to_bool(bound[i], kWebSocketOptionNames[i]); };
  options.strict = flag(0);
  options.utf8_fail_fast = flag(1);
  if (bound[2] != nullptr && bound[2] != Py_None) {
    options.max_message_size = to_u64(bound[2], "max_message_size");
    if (options.max_message_size == 0) raise(PyExc_ValueError, "max_message_size must be at least 1");
  }
  options.deflate = flag(3);
  options.deflate_parameters = to_deflate_parameters({bound[4], bound[5], bound[6], bound[7]});
  return options;
}

websocket::DeflateParameters to_deflate_parameters(const std::array<PyObject*, 4>& bound) {
  websocket::DeflateParameters parameters;
  const auto flag = [&](std::size_t i) {
    return bound[i] != nullptr && to_bool(bound[i], kWebSocketOptionNames[kFirstDeflateParameter + i]);
  };
  parameters.server_no_context_takeover = flag(0);
  parameters.client_no_context_takeover = flag(1);
  // zlib cannot write with an 8-bit window, so a server never agrees to one.
  parameters.server_max_window_bits =
      window_bits(bound[2], "server_max_window_bits", 9, "server_max_window_bits must be between 9 and 15");
  parameters.client_max_window_bits =
      window_bits(bound[3], "client_max_window_bits", 8, "client_max_window_bits must be between 8 and 15");
  return parameters;
}

PyObject* new_ws_message(http::Connection& engine, PyObject* opcode_object, PyObject* payload_object) {
  const std::uint8_t opcode = to_u8(opcode_object, "opcode");
  std::string_view payload = to_bytes(payload_object, "payload");
  std::uint8_t reserved_bits = 0;
  if (websocket::Deflater* deflater = engine.deflater(); deflater != nullptr && (opcode == 1 || opcode == 2)) {
    payload = deflater->compress(payload);
    reserved_bits = 0x40;
  }
  BytesToFill output = new_bytes_to_fill(websocket::ws_frame_size(payload.size()));
  websocket::write_ws_frame(opcode, payload, output.data, reserved_bits);
  return output.object.release();
}

}  // namespace tessaryne::binding
