#pragma once
// The frame loop's sink for FastHttpConnection: appends the loop's results to
// the dispatcher's event list as
//   (4, opcode, True, payload)  for each message or control frame,
//   (5, code, close_frame)      for a violation.
// A single-frame payload is unmasked straight into its bytes object; a
// reassembled one is copied once from the fragment buffer.
//
// In the dispatcher, with `websocket_mode` set:
//   WsEventSink sink(events);
//   frame_loop.run(unconsumed_view, read_position, sink);
//   if (frame_loop.failed()) state = Closed;

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "binding/common/py_ref.hpp"

namespace tessaryne::binding {

class WsEventSink {
 public:
  // `events` is the dispatcher's list, borrowed for the sink's lifetime.
  explicit WsEventSink(PyObject* events) noexcept : events_(events) {}

  char* begin_message(std::size_t length);
  void commit_message(std::uint8_t opcode);
  void discard_message() noexcept { pending_ = PyRef(); }
  void message(std::uint8_t opcode, std::string_view payload);
  void error(std::uint16_t code, std::string_view close_frame);

 private:
  PyObject* events_;
  PyRef pending_;
};

}  // namespace tessaryne::binding
