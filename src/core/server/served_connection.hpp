#pragma once
// One client connection served by the native driver: its socket, the HTTP
// engine, the output queue and the connection's single deadline, and the
// duties of a server around the engine: the Host rule, CONNECT refused (no
// tunnels), 100-continue, HEAD and no-body statuses, HTTP/1.0 framing,
// keep-alive and pipelining, read pausing and write back-pressure,
// idle/head/body timeouts and the lingering close.
//
// It is the HTTP/1.1 protocol of the exchanges it serves: each request's
// Exchange (made by the caller, which owns it) writes through it. What
// concerns the application (the scope, the ASGI messages, its task) is the
// caller's: it implements ConnectionEvents, drives each exchange, and hands a
// WebSocket session its frames.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "core/http/connection.hpp"
#include "core/http/response_serializer.hpp"
#include "core/server/deadlines.hpp"
#include "core/server/exchange.hpp"
#include "core/server/http2_session.hpp"
#include "core/server/output_buffer.hpp"
#include "core/server/server_loop.hpp"
#include "core/server/session_transport.hpp"
#include "core/server/static_files.hpp"

namespace tessaryne::server {

// `stream` names a request's exchange among those of its connection: its
// HTTP/2 stream, or 0 for HTTP/1.1's one exchange at a time.
class ConnectionEvents {
 public:
  // A request to serve: the exchange that will serve it, which the caller
  // owns and keeps while it is current. The views are valid during the call only.
  virtual Exchange& request(const http::RequestEvent& event, std::uint32_t stream) = 0;
  // A request the server answers itself (a file of a static mount): its
  // exchange, owned by the caller as any other; no app is started for it.
  virtual Exchange& native_request(const http::RequestEvent& event, std::uint32_t stream) = 0;
  virtual void body(std::uint32_t stream, std::string_view data, bool more_body) = 0;
  // The request's app runs now (after the input that brought it was parsed).
  virtual void start(std::uint32_t stream) = 0;
  // An upgrade to WebSocket (over HTTP/2, an extended CONNECT); the views are
  // valid during the call only.
  virtual void websocket(const http::RequestEvent& event, std::uint32_t stream) = 0;
  virtual void start_websocket(std::uint32_t stream) = 0;
  // WebSocket mode: bytes arrived in the session's engine.
  virtual void frames(std::uint32_t stream) = 0;
  // Something a waiting receive may want to see: body bytes, a disconnect,
  // the client's end of input, the response's completion.
  virtual void wake(std::uint32_t stream) = 0;
  // An HTTP/2 stream is over: its exchange is no longer the connection's.
  virtual void stream_closed(std::uint32_t stream) = 0;
  // The output fell below the low mark: waiting writers go on.
  virtual void writable() = 0;
  // A response is complete, or was cut short after its head (access log).
  virtual void response_done(const Exchange& exchange) = 0;
  // The connection is closed; nothing more happens on it.
  virtual void ended() = 0;

 protected:
  ConnectionEvents() = default;
  ConnectionEvents(const ConnectionEvents&) = default;
  ConnectionEvents& operator=(const ConnectionEvents&) = default;
  ~ConnectionEvents() = default;
};

class ServedConnection final : public Protocol, public SessionTransport {
 public:
  // Takes ownership of the non-blocking socket `fd`.
  ServedConnection(ServerLoop& loop, int fd, std::uint64_t token);
  ServedConnection(const ServedConnection&) = delete;
  ServedConnection& operator=(const ServedConnection&) = delete;
  ~ServedConnection();

  // Starts watching the socket; `events` must outlive the connection's use.
  // `http2`: TLS negotiated "h2", so HTTP/2 it is from the first byte.
  void open(ConnectionEvents& events, bool http2 = false);
  void on_ready(const Readiness& ready);
  // A deadline entry came due.
  void on_deadline(const Deadlines::Entry& entry);

  // --- Protocol: the exchange's response on the wire ---------------------------
  // The head: HEAD and no-body statuses drop the body, HTTP/1.0 gets no
  // chunks; with trailers announced the body is chunked unless its length is
  // given. Trailer fields go where the framing can carry them (a chunked
  // body), else they are dropped.
  SendResult write_head(Exchange& exchange, std::span<const http::HeaderField> headers, std::string_view body,
                        bool more_body) override;
  SendResult write_body(Exchange& exchange, std::string_view body, bool more_body) override;
  SendResult write_file(Exchange& exchange, std::span<const http::HeaderField> headers, FileSlice file,
                        bool more_body) override;
  // 1xx with the server's lines and `fields`; none to an HTTP/1.0 client.
  SendResult write_interim(Exchange& exchange, std::uint16_t status,
                           std::span<const http::HeaderField> fields) override;
  SendResult write_trailers(Exchange& exchange, std::span<const http::HeaderField> fields, bool more_trailers) override;
  void response_complete(Exchange& exchange) override;
  void answer_failure(Exchange& exchange) override;
  void cut_short(Exchange& exchange) override;
  void want_body(Exchange& exchange) override;
  void body_waiting(Exchange& exchange, std::size_t waiting) override;
  [[nodiscard]] bool output_full() const noexcept override { return write_paused_; }

  // --- flow ---------------------------------------------------------------------
  void pause_reading() override;
  void resume_reading() override;
  [[nodiscard]] bool write_paused() const noexcept override { return write_paused_; }
  [[nodiscard]] bool gone() const noexcept override { return closed_ || closing_; }
  [[nodiscard]] bool closed() const noexcept { return closed_; }

  // --- SessionTransport: a WebSocket session after the upgrade --------------------
  void write(std::span<const std::string_view> parts) override;
  SendResult write_response(std::uint16_t status, std::span<const http::HeaderField> headers, std::string_view body,
                            bool more_body, bool no_body, bool& chunked) override;

  // --- the end ------------------------------------------------------------------
  // Sends what is queued, then closes.
  void close() override;
  // Closes at once, dropping what is queued.
  void abort() override;
  // Server shutdown: an idle connection closes now, a busy one after its answer.
  void shutdown();

  // --- WebSocket ----------------------------------------------------------------
  void switch_to_websocket() override;
  [[nodiscard]] bool websocket() const noexcept { return websocket_; }
  [[nodiscard]] http::Connection& engine() noexcept override { return engine_; }

  // The exchange being served, or the last one; null before the first.
  [[nodiscard]] const Exchange* exchange() const noexcept { return exchange_; }
  [[nodiscard]] std::uint64_t token() const noexcept { return token_; }
  [[nodiscard]] Phase phase() const noexcept { return phase_; }
  [[nodiscard]] std::size_t pending_output() const noexcept override { return output_.pending(); }

  // The connection speaks HTTP/2.
  [[nodiscard]] bool http2() const noexcept { return h2_ != nullptr; }
  // The transport of the WebSocket session on HTTP/2 stream `stream`, or null
  // once it is over.
  [[nodiscard]] SessionTransport* session_stream(std::uint32_t stream) noexcept;

 private:
  class Dispatch;
  friend class Http2Session;
  friend class Http2Stream;

  void start_http2();

  void received(std::string_view data);
  void received_http1(std::string_view data);
  void end_of_input();
  // Runs the buffered requests until one needs more input or is being answered.
  bool process();
  // The current request's answer from a static mount, through its exchange.
  void answer_natively(StaticAnswer& answer);
  // A request is being served (its response is not over yet).
  [[nodiscard]] bool in_flight() const noexcept { return exchange_ != nullptr && !exchange_->over(); }
  // Its head went out, its end never will: logged and counted as any other.
  void response_cut_short();
  // The request is over: its slot of the concurrency limit is free again.
  void request_over() noexcept;
  // The current exchange is no longer this connection's to serve.
  void let_go_of_exchange() noexcept;
  void end_request(std::string_view response);
  void linger(std::string_view last);
  // The server's own answers: its server, date and added header lines, as on
  // every response.
  void text_response(std::uint16_t status, std::string_view text);
  // False when a field holds CR or LF (nothing is written then).
  bool interim_response(std::uint16_t status, std::span<const http::HeaderField> fields = {});
  // The parts every response starts from: its status, the server's and the date line.
  [[nodiscard]] http::ResponseParts parts_for(std::uint16_t status);
  void await_body();
  // The body's deadline: a pause of body_timeout, or its rate falling below the minimum.
  void arm_body();
  void arm(Clock::duration timeout);
  void deadline_passed();
  // The head, with `body_after` bytes to follow it apart (a file).
  SendResult head(Exchange& exchange, std::span<const http::HeaderField> headers, std::string_view body, bool more_body,
                  std::uint64_t body_after);
  bool put(std::span<const std::string_view> parts);
  bool put_file(FileSlice file);
  // Output is queued: watch for the socket to take it, and pause writers past the high mark.
  void queued();
  void flushed();
  void watch() noexcept;
  void lose();

  ServerLoop& loop_;
  int fd_;
  std::uint64_t token_;
  ConnectionEvents* events_ = nullptr;
  http::Connection engine_;
  OutputBuffer output_;
  Deadline deadline_;
  Exchange* exchange_ = nullptr;  // the caller's
  std::string scratch_;           // a head being serialized
  Phase phase_ = Phase::idle;
  Clock::time_point last_progress_{};   // when the queued output last moved
  Clock::time_point body_due_since_{};  // when the body's rate is counted from
  std::uint64_t body_bytes_ = 0;        // received since then
  std::size_t held_ = 0;                // bytes received while the current request is answered
  bool watching_ = false;
  bool registered_read_ = true;
  bool registered_write_ = false;
  bool want_read_ = true;
  bool want_write_ = false;
  bool read_paused_ = false;
  bool write_paused_ = false;
  bool eof_ = false;               // the client half-closed
  bool closing_ = false;           // close once the output is sent
  bool shut_after_flush_ = false;  // half-close once the output is sent
  bool closed_ = false;
  bool handling_ = false;  // inside process(): a completed response defers the next request
  bool pump_pending_ = false;
  bool websocket_ = false;
  bool sends_files_ = false;  // the socket's unsent bytes are bounded, for file bodies
  // With `any` versions: the bytes received before the first that tells
  // HTTP/2's preface from an HTTP/1.1 request.
  std::string undecided_;
  bool decided_ = false;
  std::unique_ptr<Http2Session> h2_;
};

}  // namespace tessaryne::server
