#pragma once
// The reading side of a WebSocket connection: takes client frames from the
// front of the connection's unconsumed input, checks the masking and
// control-frame rules, unmasks, reassembles fragmented messages, checks text
// for UTF-8 and reports each message or control frame to a sink. A protocol
// violation ends the loop with one error carrying the close frame to send.
//
// The connection embeds one FrameLoop (it holds the fragment state) and calls
// run() from its dispatcher with the unconsumed bytes of its input buffer and
// its read position. A frame is taken only once it is wholly buffered; a
// partial frame stays where it is until more bytes arrive.

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>

#include "core/common/utf8.hpp"
#include "core/websocket/deflate.hpp"
#include "core/websocket/fragment_buffer.hpp"
#include "core/websocket/frame_header.hpp"
#include "core/websocket/frame_writer.hpp"
#include "core/websocket/unmask.hpp"

namespace tessaryne::websocket {

enum CloseCode : std::uint16_t {
  kProtocolError = 1002,
  kInvalidPayload = 1007,  // text that is not UTF-8
  kMessageTooBig = 1009,
};

// Bound on the payload of one frame and on one reassembled message. A frame
// announcing more, or a continuation that would take a message past it, fails
// with 1009 as soon as its header is read, before its payload is buffered.
inline constexpr std::uint64_t kMaxMessageSize = std::uint64_t{64} << 20;

// Where the loop delivers its results. The loop calls, per frame, either
//   begin_message(n) -> char*: a writable buffer of n bytes that becomes the
//       payload of the next event; the loop unmasks straight into it, then
//       calls commit_message(opcode) to emit it, or discard_message() when
//       the payload turned out invalid;
//   message(opcode, payload): emit an event with a copy of `payload` (for a
//       reassembled message, which already lives in the fragment buffer);
// and once, at a violation, error(code, close_frame).
// Any of them may throw (out of memory); see FrameLoop::run.
template <class S>
concept FrameSink =
    requires(S& sink, std::size_t length, std::uint8_t opcode, std::uint16_t code, std::string_view bytes) {
      { sink.begin_message(length) } -> std::same_as<char*>;
      sink.commit_message(opcode);
      sink.discard_message();
      sink.message(opcode, bytes);
      sink.error(code, bytes);
    };

// Opt-in behaviour beyond the default loop, each part on its own.
struct FrameOptions {
  // Reserved bits no negotiated extension owns, reserved opcodes (data 3-7
  // and control 11-15), and close frames with a 1-byte payload or a code a
  // peer may not send, fail with 1002 instead of passing through.
  bool strict = false;
  // Text and close reasons fail with 1007 at the first byte that cannot
  // begin valid UTF-8, even in a frame not yet wholly received; by default a
  // fragmented message is judged when it ends.
  bool utf8_fail_fast = false;
  std::uint64_t max_message_size = kMaxMessageSize;
  // Negotiated permessage-deflate: RSV1 on a message's first frame means its
  // payload is compressed; the bound above applies after inflating.
  bool deflate = false;
  DeflateParameters deflate_parameters{};
};

class FrameLoop {
 public:
  // Bounds above SIZE_MAX / 2 are lowered to it, so a frame size never wraps.
  explicit FrameLoop(std::uint64_t max_message_size = kMaxMessageSize) noexcept
      : max_message_size_(clamp_bound(max_message_size)) {}

  // Takes effect from the next frame; meant to be called before the first.
  void configure(const FrameOptions& options) noexcept;

  // Takes whole frames from the front of `unconsumed` and adds each frame's
  // size to `read_position` as soon as the frame is taken. Stops when the next
  // frame is not wholly buffered, or after reporting a violation to
  // sink.error(); once failed, later calls do nothing. If the sink throws, the
  // exception propagates, `read_position` covers exactly the frames taken
  // before, and the frame in hand is left untaken with the fragment state as
  // it was, so a later call resumes correctly. (A compressed message is
  // inflated once: its last frame is taken before the message is delivered,
  // and a sink that throws gets it again on the next call. Running out of
  // memory while inflating fails the loop.)
  template <FrameSink Sink>
  void run(std::string_view unconsumed, std::size_t& read_position, Sink& sink);

  [[nodiscard]] bool failed() const noexcept { return failed_; }
  // 0 when no fragmented message is in progress, else 1 (text) or 2 (binary).
  [[nodiscard]] std::uint8_t fragment_opcode() const noexcept { return fragment_opcode_; }
  [[nodiscard]] std::size_t fragment_size() const noexcept { return fragments_.size(); }
  // zlib memory held for received messages (0 until the first compressed one).
  [[nodiscard]] std::size_t inflate_bytes() const noexcept { return inflater_.held_bytes(); }

 private:
  static constexpr std::uint64_t clamp_bound(std::uint64_t bound) noexcept {
    return bound < SIZE_MAX / 2 ? bound : SIZE_MAX / 2;
  }

  static constexpr std::uint8_t kContinuation = 0;
  static constexpr std::uint8_t kText = 1;
  static constexpr std::uint8_t kBinary = 2;
  static constexpr std::uint64_t kMaxControlPayload = 125;

  // A frame wholly buffered, its header read.
  struct Frame {
    const char* payload;
    std::size_t payload_length;
    std::size_t size;  // header and payload
    MaskKey key;
    std::uint8_t opcode;
    bool fin;
    bool rsv1;
  };

  // Reports the violation, then marks the loop failed and takes `frame_size`
  // bytes (0 when the offending frame stays where it is), in that order, so a
  // sink that throws leaves the violation to be found again.
  template <FrameSink Sink>
  void fail(Sink& sink, std::uint16_t code, std::size_t& read_position, std::size_t frame_size) {
    const CloseFrame frame = close_frame(code);
    sink.error(code, std::string_view(frame.data(), frame.size()));
    failed_ = true;
    fragment_opcode_ = 0;
    compressed_ = false;
    ready_opcode_ = 0;
    fragments_.clear();
    inflater_.end_message();
    read_position += frame_size;
  }
  // fail() on what a frame's header shows: the frame stays where it is.
  template <FrameSink Sink>
  bool refuse(Sink& sink, std::uint16_t code, std::size_t& read_position) {
    fail(sink, code, read_position, 0);
    return false;
  }

  // Reads the frame at the front of `rest` into `frame`; true once it is
  // wholly buffered. False otherwise, and the loop failed if the header, or
  // with fail-fast UTF-8 the text buffered so far, already shows a violation.
  template <FrameSink Sink>
  bool next_frame(std::string_view rest, Frame& frame, std::size_t& read_position, Sink& sink);
  // Takes the frame, or fails the loop, by its kind.
  template <FrameSink Sink>
  void take_frame(const Frame& frame, std::size_t& read_position, Sink& sink);
  // The kinds: a frame of a compressed message, a control frame, a whole
  // message in one frame, the first fragment of a message, a continuation.
  template <FrameSink Sink>
  void compressed_frame(const Frame& frame, std::size_t& read_position, Sink& sink);
  template <FrameSink Sink>
  void control_frame(const Frame& frame, std::size_t& read_position, Sink& sink);
  template <FrameSink Sink>
  void whole_message(const Frame& frame, std::size_t& read_position, Sink& sink);
  template <FrameSink Sink>
  void first_fragment(const Frame& frame, std::size_t& read_position, Sink& sink);
  template <FrameSink Sink>
  void continuation(const Frame& frame, std::size_t& read_position, Sink& sink);
  // Delivers an inflated message; its frames are taken already.
  template <FrameSink Sink>
  void deliver_inflated(Sink& sink);

  // From here on the frame is taken whatever happens: called right after the
  // last step that may throw.
  void take(const Frame& frame, std::size_t& read_position) noexcept {
    read_position += frame.size;
    partial_checked_ = 0;
  }
  // The text state for a frame's payload from byte partial_checked_ on.
  [[nodiscard]] common::Utf8Validator text_state(const common::Utf8Validator& before) const noexcept {
    return partial_checked_ != 0 ? partial_text_ : before;
  }
  // What a frame with invalid text leaves taken. Fail-fast may refuse text
  // before its frame is complete, so it never takes such a frame: any split
  // of the input leaves the same consumption.
  [[nodiscard]] std::size_t invalid_taken(const Frame& frame) const noexcept {
    return utf8_fail_fast_ ? 0 : frame.size;
  }

  // Whether a frame announcing `payload_length` bytes may be buffered.
  [[nodiscard]] bool fits(std::uint8_t opcode, std::uint64_t payload_length, bool deflated) const noexcept;
  // The close code a frame's first byte earns before its payload is read, or 0.
  [[nodiscard]] std::uint16_t header_violation(std::uint8_t first_byte) const noexcept;
  // 0 for a close or reserved control frame acceptable under the options,
  // else the close code it earns.
  [[nodiscard]] std::uint16_t control_violation(std::uint8_t opcode, std::string_view payload) const noexcept;
  // Fail-fast check of the buffered part of a text frame not yet complete;
  // false once it cannot be valid.
  bool check_partial(std::string_view payload_so_far, MaskKey key, bool starts_message);
  // Inflates one compressed frame into the fragment buffer; 0 or a close code.
  std::uint16_t inflate_frame(const char* payload, std::size_t length, MaskKey key, bool fin);

  FragmentBuffer fragments_;
  common::Utf8Validator fragment_text_;
  // The text state after the buffered start of a frame still arriving.
  common::Utf8Validator partial_text_;
  std::size_t partial_checked_ = 0;
  Inflater inflater_;
  std::uint64_t max_message_size_;
  std::uint8_t fragment_opcode_ = 0;
  std::uint8_t ready_opcode_ = 0;  // an inflated message not yet delivered
  std::uint8_t owned_reserved_bits_ = 0;
  bool strict_ = false;
  bool utf8_fail_fast_ = false;
  bool deflate_ = false;
  bool compressed_ = false;  // the message in progress is compressed
  bool failed_ = false;
};

template <FrameSink Sink>
void FrameLoop::run(std::string_view unconsumed, std::size_t& read_position, Sink& sink) {
  if (!failed_) deliver_inflated(sink);
  std::size_t at = 0;  // start of the next frame within `unconsumed`
  Frame frame{};
  while (!failed_ && next_frame(unconsumed.substr(at), frame, read_position, sink)) {
    take_frame(frame, read_position, sink);
    at += frame.size;  // taken, or the loop failed and ends here
  }
}

template <FrameSink Sink>
bool FrameLoop::next_frame(std::string_view rest, Frame& frame, std::size_t& read_position, Sink& sink) {
  if (rest.size() < 2) return false;
  if ((static_cast<std::uint8_t>(rest[1]) & 0x80) == 0) return refuse(sink, kProtocolError, read_position);
  const auto first = static_cast<std::uint8_t>(rest[0]);
  if (first & 0x70) {
    if (const std::uint16_t code = header_violation(first); code != 0) return refuse(sink, code, read_position);
  }
  const std::size_t base = base_header_length(static_cast<std::uint8_t>(rest[1]));
  if (rest.size() < base) return false;
  // The length decides the size bound before the key or payload arrive.
  const std::uint64_t announced = payload_length_of(rest.data(), base);
  const auto opcode = static_cast<std::uint8_t>(first & 0x0F);
  const bool fin = (first & 0x80) != 0;
  const bool rsv1 = (first & 0x40) != 0;
  // A control frame that is not final or announces more than 125 bytes is a
  // violation whatever its payload holds: refuse it now rather than buffer it.
  if (opcode >= 8 && (!fin || announced > kMaxControlPayload)) return refuse(sink, kProtocolError, read_position);
  const bool deflated = deflate_ && ((opcode == kContinuation && compressed_) || rsv1);
  if (!fits(opcode, announced, deflated)) return refuse(sink, kMessageTooBig, read_position);
  // fits() keeps the payload far below SIZE_MAX, so this cannot wrap.
  const auto payload_length = static_cast<std::size_t>(announced);
  if (rest.size() < base + 4) return false;
  frame = {rest.data() + base + 4, payload_length, base + 4 + payload_length, {}, opcode, fin, rsv1};
  std::memcpy(frame.key.data(), rest.data() + base, frame.key.size());
  if (rest.size() >= frame.size) return true;
  if (utf8_fail_fast_ && !compressed_ && !(deflate_ && rsv1)) {
    const bool starts_text = opcode == kText && fragment_opcode_ == 0;
    const bool text = starts_text || (opcode == kContinuation && fragment_opcode_ == kText);
    if (text && !check_partial({frame.payload, rest.size() - base - 4}, frame.key, starts_text))
      return refuse(sink, kInvalidPayload, read_position);
  }
  return false;
}

template <FrameSink Sink>
void FrameLoop::take_frame(const Frame& frame, std::size_t& read_position, Sink& sink) {
  const bool data = frame.opcode == kText || frame.opcode == kBinary;
  if (deflate_ && frame.rsv1 && data && fragment_opcode_ == 0) {
    compressed_ = true;
    fragments_.clear();
    fragment_text_.reset();
    fragment_opcode_ = frame.opcode;
    return compressed_frame(frame, read_position, sink);
  }
  if (compressed_ && frame.opcode == kContinuation) return compressed_frame(frame, read_position, sink);
  if (frame.opcode >= 8) return control_frame(frame, read_position, sink);
  if (data) {
    if (fragment_opcode_ != 0) return fail(sink, kProtocolError, read_position, frame.size);
    return frame.fin ? whole_message(frame, read_position, sink) : first_fragment(frame, read_position, sink);
  }
  if (frame.opcode == kContinuation) return continuation(frame, read_position, sink);
  if (strict_) return fail(sink, kProtocolError, read_position, frame.size);
  take(frame, read_position);  // opcodes 3 to 7 carry nothing we understand: dropped
}

template <FrameSink Sink>
void FrameLoop::compressed_frame(const Frame& frame, std::size_t& read_position, Sink& sink) {
  if (const std::uint16_t code = inflate_frame(frame.payload, frame.payload_length, frame.key, frame.fin); code != 0)
    return fail(sink, code, read_position, frame.size);
  take(frame, read_position);
  if (!frame.fin) return;
  ready_opcode_ = fragment_opcode_;
  fragment_opcode_ = 0;
  compressed_ = false;
  inflater_.end_message();
  deliver_inflated(sink);
}

template <FrameSink Sink>
void FrameLoop::control_frame(const Frame& frame, std::size_t& read_position, Sink& sink) {
  char* out = sink.begin_message(frame.payload_length);
  unmask(frame.payload, out, frame.payload_length, frame.key);
  if (frame.opcode == 8 || frame.opcode > 10) {
    if (const std::uint16_t code = control_violation(frame.opcode, {out, frame.payload_length}); code != 0) {
      sink.discard_message();
      return fail(sink, code, read_position, frame.size);
    }
  }
  sink.commit_message(frame.opcode);
  take(frame, read_position);
}

template <FrameSink Sink>
void FrameLoop::whole_message(const Frame& frame, std::size_t& read_position, Sink& sink) {
  char* out = sink.begin_message(frame.payload_length);
  unmask(frame.payload, out, frame.payload_length, frame.key);
  if (frame.opcode == kText) {
    common::Utf8Validator checked = text_state({});
    checked.feed(std::string_view(out + partial_checked_, frame.payload_length - partial_checked_));
    if (!checked.complete()) {
      sink.discard_message();
      return fail(sink, kInvalidPayload, read_position, invalid_taken(frame));
    }
  }
  sink.commit_message(frame.opcode);
  take(frame, read_position);
}

template <FrameSink Sink>
void FrameLoop::first_fragment(const Frame& frame, std::size_t& read_position, Sink& sink) {
  fragments_.clear();
  unmask(frame.payload, fragments_.grow_by(frame.payload_length), frame.payload_length, frame.key);
  if (frame.opcode == kText) {
    fragment_text_ = text_state({});
    if (!fragment_text_.feed(fragments_.view().substr(partial_checked_)) && utf8_fail_fast_)
      return fail(sink, kInvalidPayload, read_position, invalid_taken(frame));
  }
  fragment_opcode_ = frame.opcode;
  take(frame, read_position);
}

template <FrameSink Sink>
void FrameLoop::continuation(const Frame& frame, std::size_t& read_position, Sink& sink) {
  if (fragment_opcode_ == 0) return fail(sink, kProtocolError, read_position, frame.size);
  const std::size_t old_size = fragments_.size();
  const common::Utf8Validator old_text = fragment_text_;
  char* out = fragments_.grow_by(frame.payload_length);
  unmask(frame.payload, out, frame.payload_length, frame.key);
  // Checked piece by piece; a sequence cut between fragments is resolved by
  // the next piece, and one still open at the end is invalid.
  if (fragment_opcode_ == kText) {
    fragment_text_ = text_state(fragment_text_);
    fragment_text_.feed(std::string_view(out + partial_checked_, frame.payload_length - partial_checked_));
    if (utf8_fail_fast_ && fragment_text_.failed())
      return fail(sink, kInvalidPayload, read_position, invalid_taken(frame));
  }
  if (frame.fin) {
    try {
      if (fragment_opcode_ == kText && !fragment_text_.complete())
        return fail(sink, kInvalidPayload, read_position, invalid_taken(frame));
      sink.message(fragment_opcode_, fragments_.view());
    } catch (...) {
      fragments_.shrink_to(old_size);
      fragment_text_ = old_text;
      throw;
    }
    fragment_opcode_ = 0;
    fragments_.clear();
  }
  take(frame, read_position);
}

template <FrameSink Sink>
void FrameLoop::deliver_inflated(Sink& sink) {
  if (ready_opcode_ == 0) return;
  sink.message(ready_opcode_, fragments_.view());
  ready_opcode_ = 0;
  fragments_.clear();
}

}  // namespace tessaryne::websocket
