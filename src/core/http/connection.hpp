#pragma once
// The per-connection HTTP/1.1 engine: input buffer, state machine, body
// framing, chunked decoding, error responses and keep-alive accounting.
//
// It reports what the buffered bytes complete to an EventSink, synchronously
// and in order, with views into its own buffer that stay valid only for the
// duration of the sink call. The Python binding implements the sink and builds
// its event tuples straight from those views.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "core/http/connection_limits.hpp"
#include "core/http/head_rules.hpp"
#include "core/http/head_tokenizer.hpp"
#include "core/http/input_buffer.hpp"
#include "core/websocket/frame_loop.hpp"

namespace tessaryne::http {

enum class ConnectionState : std::uint8_t {
  awaiting_head,
  content_length_body,
  chunk_size,
  chunk_data,
  chunk_trailers,
  message_complete,
  closed,
};

struct RequestEvent {
  std::string_view method;
  std::string_view target;
  TargetParts target_parts;
  std::uint8_t minor_version;
  std::span<const HeaderLine> headers;  // names as received; lowercase them when copying out
  const HeadFacts& facts;               // connection-upgrade, upgrade value
  // The head's own keep-alive decision, false also when this request uses up
  // the connection's request limit: the answer must then say "close".
  bool keep_alive;
  bool has_body;
  std::uint8_t major_version = 1;  // 2: a stream of an HTTP/2 connection
};

class EventSink {
 public:
  virtual void request(const RequestEvent& event) = 0;
  virtual void body(std::string_view data, bool more_body) = 0;
  // `upgrade_value` as received (it equals "websocket" ignoring ASCII case).
  virtual void upgrade(std::string_view upgrade_value) = 0;
  // `response` is the complete error response, `detail` its body (one of the
  // engine's fixed texts); the connection is closed already.
  virtual void error(std::uint16_t status, std::string_view detail, std::string_view response) = 0;

 protected:
  EventSink() = default;
  EventSink(const EventSink&) = default;
  EventSink& operator=(const EventSink&) = default;
  ~EventSink() = default;
};

class Connection {
 public:
  // Header lines a head may carry. The slots are scratch for one tokenizing
  // pass, shared by the connections of a thread rather than kept in each.
  static constexpr std::size_t kHeaderSlots = 256;
  // A chunk-size line, extensions and CRLF included, must end within this many bytes.
  static constexpr std::size_t kMaxChunkSizeLine = 4096;

  explicit Connection(ConnectionLimits limits = {});

  // Appends bytes in every state; nothing is parsed until dispatch().
  void append(std::string_view data);
  // Runs state steps until one needs more data or the state is
  // MessageComplete or Closed, then lets the buffer settle. Sink exceptions
  // propagate.
  void dispatch(EventSink& sink);

  void reset_for_next_request() noexcept;
  void close() noexcept { state_ = ConnectionState::closed; }
  [[nodiscard]] bool is_closed() const noexcept { return state_ == ConnectionState::closed; }
  [[nodiscard]] ConnectionState state() const noexcept { return state_; }

  // WebSocket mode: once set, dispatch() leaves HTTP parsing alone and
  // dispatch_frames() reads client frames from the read position on.
  void enter_websocket_mode() noexcept { websocket_mode_ = true; }
  // Reports every wholly buffered frame to `sink`, then lets the buffer
  // settle. A violation closes the connection; a closed connection reports
  // nothing.
  template <websocket::FrameSink Sink>
  void dispatch_frames(Sink& sink) {
    if (state_ != ConnectionState::closed) {
      frames_.run(buffer_.unconsumed(), buffer_.read_position(), sink);
      if (frames_.failed()) state_ = ConnectionState::closed;
    }
    buffer_.settle();
  }
  [[nodiscard]] bool websocket_mode() const noexcept { return websocket_mode_; }
  // Opt-in WebSocket behaviour (websocket::FrameOptions), before or with the
  // switch to WebSocket mode. With permessage-deflate it also sets up the
  // compressor of outgoing messages, which allocates nothing until used.
  void configure_websocket(const websocket::FrameOptions& options) {
    frames_.configure(options);
    const websocket::DeflateParameters& agreed = options.deflate_parameters;
    deflater_ = options.deflate ? std::make_unique<websocket::Deflater>(agreed.server_max_window_bits,
                                                                        agreed.server_no_context_takeover)
                                : nullptr;
  }
  // The compressor of outgoing messages; null without permessage-deflate.
  [[nodiscard]] websocket::Deflater* deflater() noexcept { return deflater_.get(); }
  [[nodiscard]] const websocket::FrameLoop& frames() const noexcept { return frames_; }

  [[nodiscard]] std::uint64_t requests_seen() const noexcept { return requests_seen_; }
  [[nodiscard]] bool keep_alive() const noexcept { return keep_alive_; }
  [[nodiscard]] const InputBuffer& buffer() const noexcept { return buffer_; }

 private:
  enum class Step : std::uint8_t { need_more_data, advanced };

  void run_steps(EventSink& sink);
  Step head_step(EventSink& sink);
  Step content_length_step(EventSink& sink);
  Step chunk_size_step(EventSink& sink);
  Step chunk_data_step(EventSink& sink);
  Step chunk_trailers_step(EventSink& sink);
  Step fail(EventSink& sink, std::uint16_t status, std::string_view detail);

  ConnectionLimits limits_;
  ConnectionState state_ = ConnectionState::awaiting_head;
  bool websocket_mode_ = false;
  bool keep_alive_ = true;
  std::uint64_t remaining_ = 0;
  std::uint64_t requests_seen_ = 0;
  std::uint64_t body_total_ = 0;
  InputBuffer buffer_;
  websocket::FrameLoop frames_;
  std::unique_ptr<websocket::Deflater> deflater_;
};

}  // namespace tessaryne::http
