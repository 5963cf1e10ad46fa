#pragma once
// permessage-deflate (RFC 7692): the inflating side for received messages and
// the deflating side for sent ones, each one raw zlib stream.
//
// Memory: a stream is allocated on first use, not with the connection, and
// under no-context-takeover it is released when its message ends, so an idle
// connection holds no zlib state at all. With context takeover the stream
// stays for the life of the connection: about 7 KiB + 2^bits (inflate) and
// about 2^(bits+2) + 2^(memLevel+9) (deflate, memLevel = bits - 7), i.e.
// ~40 KiB and ~260 KiB at 15 window bits, ~11 KiB and ~38 KiB at 12.
// held_bytes() reports the live figure.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "core/common/utf8.hpp"
#include "core/websocket/fragment_buffer.hpp"

struct z_stream_s;

namespace tessaryne::websocket {

// The agreed parameters, named from the server's side as in the handshake.
struct DeflateParameters {
  bool server_no_context_takeover = false;
  bool client_no_context_takeover = false;
  std::uint8_t server_max_window_bits = 15;  // 9..15: zlib cannot write an 8-bit window
  std::uint8_t client_max_window_bits = 15;  // 8..15
};

// Bytes held by one zlib stream, counted through its allocator.
struct ZlibMemory {
  std::size_t held = 0;
};

class ZStream {
 public:
  ZStream() noexcept;
  ZStream(ZStream&&) noexcept;
  ZStream& operator=(ZStream&&) noexcept;
  ~ZStream();
  [[nodiscard]] std::size_t held_bytes() const noexcept { return memory_ ? memory_->held : 0; }

 protected:
  std::unique_ptr<z_stream_s> stream_;
  std::unique_ptr<ZlibMemory> memory_;
  bool deflating_ = false;
  void release() noexcept;
  // A zlib stream whose allocations are counted in memory_, not yet initialised.
  std::unique_ptr<z_stream_s> counted_stream();
  z_stream_s& start_inflate(int window_bits);
  z_stream_s& start_deflate(int window_bits);
};

// Decompresses the frames of received messages.
class Inflater : public ZStream {
 public:
  enum class Status : std::uint8_t { ok, too_big, corrupt, invalid_text };

  Inflater() noexcept = default;
  Inflater(std::uint8_t window_bits, bool reset_each_message) noexcept
      : window_bits_(window_bits), reset_each_message_(reset_each_message) {}

  // Inflates one frame's unmasked payload, appending to `out`; `last` on the
  // message's final frame. Output is made in bounded steps, and the message
  // (out.size() - message_start) is never let past `limit`: too_big as soon
  // as it would. With `text`, each step is checked as it is made. Throws
  // std::bad_alloc when memory runs out (the stream is then unusable).
  Status inflate(std::string_view payload, bool last, FragmentBuffer& out, std::size_t message_start, std::size_t limit,
                 common::Utf8Validator* text);
  // The message is over (delivered or failed): reset or release the stream.
  void end_message() noexcept;

 private:
  Status run(std::string_view input, FragmentBuffer& out, std::size_t message_start, std::size_t limit,
             common::Utf8Validator* text);
  std::uint8_t window_bits_ = 15;
  bool reset_each_message_ = false;
  bool stream_ended_ = false;
};

// Compresses whole outgoing messages into a buffer it keeps.
class Deflater : public ZStream {
 public:
  Deflater() noexcept = default;
  Deflater(std::uint8_t window_bits, bool reset_each_message) noexcept
      : window_bits_(window_bits), reset_each_message_(reset_each_message) {}
  Deflater(Deflater&&) noexcept = default;
  Deflater& operator=(Deflater&&) noexcept = default;
  ~Deflater();

  // The compressed payload of `message` (the 00 00 FF FF tail removed), valid
  // until the next call. Throws std::bad_alloc when memory runs out.
  std::string_view compress(std::string_view message);

 private:
  std::unique_ptr<FragmentBuffer> out_;
  std::uint8_t window_bits_ = 15;
  bool reset_each_message_ = false;
};

}  // namespace tessaryne::websocket
