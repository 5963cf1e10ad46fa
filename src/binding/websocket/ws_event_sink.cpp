#include "binding/websocket/ws_event_sink.hpp"

#include <utility>

#include "binding/common/event_kind.hpp"
#include "binding/common/values.hpp"
#include "core/websocket/frame_loop.hpp"

namespace tessaryne::binding {

static_assert(websocket::FrameSink<WsEventSink>);

char* WsEventSink::begin_message(std::size_t length) {
  BytesToFill payload = new_bytes_to_fill(length);
  pending_ = std::move(payload.object);
  return payload.data;
}

void WsEventSink::commit_message(std::uint8_t opcode) {
  PyRef payload = std::move(pending_);
  append_to_list(events_,
                 new_tuple(new_int(EventKind::websocket_message), new_int(opcode), new_bool(true), std::move(payload)));
}

void WsEventSink::message(std::uint8_t opcode, std::string_view payload) {
  append_to_list(events_,
                 new_tuple(new_int(EventKind::websocket_message), new_int(opcode), new_bool(true), new_bytes(payload)));
}

void WsEventSink::error(std::uint16_t code, std::string_view close_frame) {
  append_to_list(events_, new_tuple(new_int(EventKind::error), new_int(code), new_bytes(close_frame)));
}

}  // namespace tessaryne::binding
