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
#include <memory>
#include <string_view>

#include "core/common/utf8.hpp"
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
concept FrameSink = requires(S& sink, std::size_t length, std::uint8_t opcode, std::uint16_t code,
                             std::string_view bytes) {
  { sink.begin_message(length) } -> std::same_as<char*>;
  sink.commit_message(opcode);
  sink.discard_message();
  sink.message(opcode, bytes);
  sink.error(code, bytes);
};

// Growable bytes that are not zero-filled on growth (they are overwritten by
// unmasking at once).
class FragmentBuffer {
 public:
  [[nodiscard]] std::string_view view() const noexcept { return {data_.get(), size_}; }
  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  [[nodiscard]] std::size_t capacity() const noexcept { return capacity_; }
  // Appends `count` unspecified bytes and returns where they start. On
  // allocation failure it throws and nothing changes.
  char* grow_by(std::size_t count);
  void shrink_to(std::size_t size) noexcept { size_ = size < size_ ? size : size_; }
  // Empties the buffer; a large allocation is given back so one big message
  // does not pin its memory for the rest of the connection.
  void clear() noexcept;

 private:
  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

class FrameLoop {
 public:
  // Bounds above SIZE_MAX / 2 are lowered to it, so a frame size never wraps.
  explicit FrameLoop(std::uint64_t max_message_size = kMaxMessageSize) noexcept
      : max_message_size_(max_message_size < SIZE_MAX / 2 ? max_message_size : SIZE_MAX / 2) {}

  // Takes whole frames from the front of `unconsumed` and adds each frame's
  // size to `read_position` as soon as the frame is taken. Stops when the next
  // frame is not wholly buffered, or after reporting a violation to
  // sink.error(); once failed, later calls do nothing. If the sink throws, the
  // exception propagates, `read_position` covers exactly the frames taken
  // before, and the frame in hand is left untaken with the fragment state as
  // it was, so a later call resumes correctly.
  template <FrameSink Sink>
  void run(std::string_view unconsumed, std::size_t& read_position, Sink& sink);

  [[nodiscard]] bool failed() const noexcept { return failed_; }
  // 0 when no fragmented message is in progress, else 1 (text) or 2 (binary).
  [[nodiscard]] std::uint8_t fragment_opcode() const noexcept { return fragment_opcode_; }
  [[nodiscard]] std::size_t fragment_size() const noexcept { return fragments_.size(); }

 private:
  // Reports the violation, then marks the loop failed and takes `frame_size`
  // bytes (0 when the offending frame stays where it is), in that order, so a
  // sink that throws leaves the violation to be found again.
  template <FrameSink Sink>
  void fail(Sink& sink, std::uint16_t code, std::size_t& read_position, std::size_t frame_size) {
    const CloseFrame frame = close_frame(code);
    sink.error(code, std::string_view(frame.data(), frame.size()));
    failed_ = true;
    fragment_opcode_ = 0;
    fragments_.clear();
    read_position += frame_size;
  }

  // Whether a frame announcing `payload_length` bytes may be buffered.
  [[nodiscard]] bool fits(std::uint8_t opcode, std::uint64_t payload_length) const noexcept;

  FragmentBuffer fragments_;
  common::Utf8Validator fragment_text_;
  std::uint64_t max_message_size_;
  std::uint8_t fragment_opcode_ = 0;
  bool failed_ = false;
};

template <FrameSink Sink>
void FrameLoop::run(std::string_view unconsumed, std::size_t& read_position, Sink& sink) {
  constexpr std::uint8_t kContinuation = 0;
  constexpr std::uint8_t kText = 1;
  constexpr std::uint8_t kBinary = 2;
  constexpr std::uint64_t kMaxControlPayload = 125;

  std::size_t at = 0;  // start of the next frame within `unconsumed`
  while (!failed_) {
    const std::string_view rest = unconsumed.substr(at);
    if (rest.size() < 2) return;
    if ((static_cast<std::uint8_t>(rest[1]) & 0x80) == 0) return fail(sink, kProtocolError, read_position, 0);
    const std::size_t base = base_header_length(static_cast<std::uint8_t>(rest[1]));
    if (rest.size() < base) return;
    // The length decides the size bound before the key or payload arrive.
    const std::uint64_t announced = payload_length_of(rest.data(), base);
    const auto opcode = static_cast<std::uint8_t>(rest[0] & 0x0F);
    const bool fin = (static_cast<std::uint8_t>(rest[0]) & 0x80) != 0;
    // A control frame that is not final or announces more than 125 bytes is a
    // violation whatever its payload holds: refuse it now rather than buffer it.
    if (opcode >= 8 && (!fin || announced > kMaxControlPayload))
      return fail(sink, kProtocolError, read_position, 0);
    if (!fits(opcode, announced)) return fail(sink, kMessageTooBig, read_position, 0);
    // fits() keeps the payload far below SIZE_MAX, so this cannot wrap.
    const auto payload_length = static_cast<std::size_t>(announced);
    const std::size_t frame_size = base + 4 + payload_length;
    if (rest.size() < frame_size) return;
    MaskKey key;
    for (std::size_t i = 0; i < 4; ++i) key[i] = static_cast<std::uint8_t>(rest[base + i]);
    const char* payload = rest.data() + base + 4;

    // From here on the frame is taken whatever happens; `take` (or fail) is
    // called right after the last step that may throw.
    auto take = [&] {
      at += frame_size;
      read_position += frame_size;
    };

    if (opcode >= 8) {
      unmask(payload, sink.begin_message(payload_length), payload_length, key);
      sink.commit_message(opcode);
      take();
    } else if (opcode == kText || opcode == kBinary) {
      if (fragment_opcode_ != 0)
        return fail(sink, kProtocolError, read_position, frame_size);
      if (fin) {
        char* out = sink.begin_message(payload_length);
        unmask(payload, out, payload_length, key);
        if (opcode == kText && !common::is_valid_utf8(std::string_view(out, payload_length))) {
          sink.discard_message();
          return fail(sink, kInvalidPayload, read_position, frame_size);
        }
        sink.commit_message(opcode);
        take();
      } else {
        fragments_.clear();
        unmask(payload, fragments_.grow_by(payload_length), payload_length, key);
        fragment_text_.reset();
        if (opcode == kText) fragment_text_.feed(fragments_.view());
        fragment_opcode_ = opcode;
        take();
      }
    } else if (opcode == kContinuation) {
      if (fragment_opcode_ == 0)
        return fail(sink, kProtocolError, read_position, frame_size);
      const std::size_t old_size = fragments_.size();
      const common::Utf8Validator old_text = fragment_text_;
      char* out = fragments_.grow_by(payload_length);
      unmask(payload, out, payload_length, key);
      // Checked piece by piece; a sequence cut between fragments is resolved
      // by the next piece, and one still open at the end is invalid.
      if (fragment_opcode_ == kText) fragment_text_.feed(std::string_view(out, payload_length));
      if (fin) {
        try {
          if (fragment_opcode_ == kText && !fragment_text_.complete())
            return fail(sink, kInvalidPayload, read_position, frame_size);
          sink.message(fragment_opcode_, fragments_.view());
        } catch (...) {
          fragments_.shrink_to(old_size);
          fragment_text_ = old_text;
          throw;
        }
        fragment_opcode_ = 0;
        fragments_.clear();
      }
      take();
    } else {
      take();  // opcodes 3 to 7 carry nothing we understand: dropped
    }
  }
}

}  // namespace tessaryne::websocket
