#pragma once
// One request's life, from its head to the last byte of its answer: an
// explicit phase for the response, what the request's body has done, and the
// rules of each step.
//
// Two seams meet here. An interface drives the exchange (ASGI today: the
// binding turns each message into one call); a protocol frames what the
// exchange writes (HTTP/1.1 today: ServedConnection). The interface owns the
// exchange, so it outlives its connection's interest in it: an application
// still holding one after its connection moved on or closed finds it as it
// ended. Several exchanges may live on one connection; the protocol knows
// which one is current.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <utility>

#include "core/common/byte_scan.hpp"
#include "core/http/head_tokenizer.hpp"
#include "core/http/response_serializer.hpp"
#include "core/server/access_log.hpp"
#include "core/server/file_slice.hpp"
#include "core/server/poller.hpp"

namespace tessaryne::server {

// How body pieces after the head go out.
enum class BodyMode : std::uint8_t {
  framed,     // raw: the length was announced, or the connection's close ends the body
  chunked,    // each piece as a chunk
  discarded,  // HEAD and no-body statuses: the pieces are dropped
};

enum class ResponsePhase : std::uint8_t {
  awaiting_start,  // nothing of the response yet
  head_pending,    // started: the head goes out with the first body piece
  body,            // the head is out; more body follows
  trailers,        // the body is out; trailer fields complete the response
  complete,        // every byte of it is out
  cut_short,       // it ended before its end: the app failed, or the connection did
};

enum class SendResult : std::uint8_t {
  done,
  gone,        // the connection ended, or the request was broken off
  bad_header,  // a header or trailer field holds CR or LF
  // What an interface may not do, each refused with its own text.
  start_twice,
  body_before_start,
  body_after_end,
  trailers_unannounced,
  trailers_before_body_end,
  trailers_after_end,
  interim_after_start,
};

enum class ReceiveStep : std::uint8_t { deliver, wait, disconnect };

class Exchange;

// Whether the client waits for "100 Continue" before it sends its body.
inline bool expects_continue(std::span<const http::HeaderLine> headers) noexcept {
  return std::ranges::any_of(headers, [](const http::HeaderLine& line) {
    return common::equals_lowercase(line.name, "expect") && common::equals_lowercase(line.value, "100-continue");
  });
}

// What frames an exchange's response: one per protocol version.
class Protocol {
 public:
  // The head with the first body piece (`headers` as the app gave them), a
  // further piece, trailer fields. Each decides the framing and reports
  // what became of the bytes; the exchange keeps the phase.
  virtual SendResult write_head(Exchange& exchange, std::span<const http::HeaderField> headers, std::string_view body,
                                bool more_body) = 0;
  virtual SendResult write_body(Exchange& exchange, std::string_view body, bool more_body) = 0;
  // A body piece from a file; the head goes with it while the exchange's
  // phase is head_pending.
  virtual SendResult write_file(Exchange& exchange, std::span<const http::HeaderField> headers, FileSlice file,
                                bool more_body) = 0;
  // An informational answer (1xx) before the final one; dropped where the
  // client cannot read it.
  virtual SendResult write_interim(Exchange& exchange, std::uint16_t status,
                                   std::span<const http::HeaderField> fields) = 0;
  virtual SendResult write_trailers(Exchange& exchange, std::span<const http::HeaderField> fields,
                                    bool more_trailers) = 0;
  // The last byte is out: the connection may carry the next request.
  virtual void response_complete(Exchange& exchange) = 0;
  // The app failed before any of its response went out: the protocol's 500.
  virtual void answer_failure(Exchange& exchange) = 0;
  // The response stops before its end: the connection cannot carry another.
  virtual void cut_short(Exchange& exchange) = 0;
  // The app waits for body bytes: "100 Continue" if the client waits for it,
  // and reading goes on.
  virtual void want_body(Exchange& exchange) = 0;
  // The app holds `waiting` body bytes it has not taken: past the read
  // buffer's limit, the protocol stops taking more for it.
  virtual void body_waiting(Exchange& exchange, std::size_t waiting) = 0;
  // The output holds as much as it should: a writer waits until it drains.
  [[nodiscard]] virtual bool output_full() const noexcept = 0;

 protected:
  Protocol() = default;
  Protocol(const Protocol&) = default;
  Protocol& operator=(const Protocol&) = default;
  ~Protocol() = default;
};

// What the protocol read of the request that the exchange needs.
struct RequestFacts {
  bool keep_alive = true;  // the head's decision, within the connection's request limit
  bool has_body = false;
  bool head_method = false;
  bool http10 = false;
  bool expect_continue = false;  // the client waits for "100 Continue" before its body
  bool holds_slot = false;       // counted against the process's limit of concurrency
  bool server_answer = false;    // the server answers it itself (a static file): its own reason phrases
  std::uint32_t stream = 0;      // its HTTP/2 stream; 0 over HTTP/1.1, one exchange at a time
};

class Exchange {
 public:
  // --- the protocol ---------------------------------------------------------
  void begin(Protocol& protocol, const RequestFacts& facts, Clock::time_point now) noexcept;
  // The connection is done with this exchange (it moved on or ended); what
  // was not complete by then is cut short.
  void detach() noexcept;
  [[nodiscard]] bool attached() const noexcept { return protocol_ != nullptr; }
  // The last piece of the request's body was read.
  void body_read() noexcept { body_complete_ = true; }
  // The client half-closed after its request; it may still read the answer.
  void end_of_input() noexcept { eof_ = true; }
  // The request is over for its app (broken off, the connection ended).
  void disconnect() noexcept { disconnected_ = true; }
  // Counted against the process's limit of concurrency until released.
  [[nodiscard]] bool holds_slot() const noexcept { return facts_.holds_slot; }
  // Whether it held one, which is free again now.
  bool release_slot() noexcept { return std::exchange(facts_.holds_slot, false); }
  // The protocol's framing of the response, set by write_head.
  void set_framing(BodyMode mode, bool keep_alive, std::uint64_t sent) noexcept;
  // Body bytes that went out: none of a body the framing discards (HEAD, 204, 304).
  void add_sent(std::uint64_t bytes) noexcept {
    if (mode_ != BodyMode::discarded) sent_ += bytes;
  }
  // Whether the protocol still waits to ask for the body (100 Continue).
  [[nodiscard]] bool continue_pending() const noexcept { return facts_.expect_continue; }
  void continue_sent() noexcept { facts_.expect_continue = false; }

  // --- the interface --------------------------------------------------------
  SendResult start(std::uint16_t status, bool trailers) noexcept;
  // A body piece; the head goes out with the first, with `head_fields`.
  SendResult body(std::span<const http::HeaderField> head_fields, std::string_view data, bool more_body);
  // Whether a body piece may go out now; done, or why not. An interface asks
  // before it opens a file, so that a misplaced one is refused as any body is.
  SendResult may_send_body() noexcept;
  // A body piece sent from a file, as body() sends bytes. `ends_short`: the
  // response was to go on past it (the file holds less than was asked), so
  // it is cut short after the piece.
  SendResult file(std::span<const http::HeaderField> head_fields, FileSlice file, bool more_body,
                  bool ends_short = false);
  SendResult trailers(std::span<const http::HeaderField> fields, bool more_trailers);
  // An informational answer (103 Early Hints), before the response starts.
  SendResult interim(std::uint16_t status, std::span<const http::HeaderField> fields);
  // Whether the protocol's output holds as much as it should now.
  [[nodiscard]] bool output_full() const noexcept { return protocol_ != nullptr && protocol_->output_full(); }
  // What a receive does now; `pieces_waiting`: body bytes are held for the
  // app. Asking for the body it waits for is part of it.
  ReceiveStep next_receive(bool pieces_waiting);
  // The app was handed every piece read so far; true once that was the last.
  // Before it, reading goes on.
  bool body_taken();
  // The app holds `waiting` body bytes it has not taken yet.
  void body_waiting(std::size_t waiting) {
    if (attached() && !body_complete_) protocol_->body_waiting(*this, waiting);
  }
  // The app raised: true if that is an application error (not a client that
  // went away); answers 500 or cuts the response short.
  bool app_failed();
  // The app returned: true if it left its response incomplete (answered 500
  // or cut short); a client that stopped sending and got no answer is not.
  bool app_returned();

  // --- state, read by both --------------------------------------------------
  [[nodiscard]] ResponsePhase phase() const noexcept { return phase_; }
  [[nodiscard]] bool head_sent() const noexcept;
  [[nodiscard]] bool over() const noexcept;  // complete, cut short or disconnected
  [[nodiscard]] bool disconnected() const noexcept { return disconnected_; }
  [[nodiscard]] bool eof() const noexcept { return eof_; }
  [[nodiscard]] bool body_complete() const noexcept { return body_complete_; }
  [[nodiscard]] bool body_delivered() const noexcept { return delivered_; }
  [[nodiscard]] bool trailers_announced() const noexcept { return trailers_; }
  [[nodiscard]] const RequestFacts& request() const noexcept { return facts_; }
  [[nodiscard]] std::uint16_t status() const noexcept { return status_; }
  [[nodiscard]] BodyMode mode() const noexcept { return mode_; }
  [[nodiscard]] bool keep_alive() const noexcept { return keep_alive_; }
  [[nodiscard]] std::uint64_t sent() const noexcept { return sent_; }  // body bytes of the response
  [[nodiscard]] Clock::time_point began() const noexcept { return began_; }

  // --- the access log in a format of the operator's ---------------------------
  // Only then is anything kept for it: the request's parts now, the
  // response's headers as its head goes out.
  void keep_for_access(std::shared_ptr<const AccessFormat> format, const AccessRequest& request) {
    access_ = std::make_unique<AccessRecord>(std::move(format), request);
  }
  [[nodiscard]] const AccessRecord* access_record() const noexcept { return access_.get(); }

 private:
  // A body piece went out, with the head when `with_head`.
  void piece_went_out(bool with_head, std::span<const http::HeaderField> head_fields);
  // After a write: the phase that `result` and the piece's place lead to.
  SendResult wrote(SendResult result, bool more_body);
  // The response reached its end, complete or cut short.
  [[nodiscard]] bool ended() const noexcept;
  void complete();
  // The app is done with a response it did not finish: 500 if nothing went
  // out, else the response is cut short.
  void end_unfinished();
  void cut();

  Protocol* protocol_ = nullptr;
  RequestFacts facts_;
  ResponsePhase phase_ = ResponsePhase::awaiting_start;
  BodyMode mode_ = BodyMode::framed;
  std::uint16_t status_ = 0;
  bool trailers_ = false;
  bool keep_alive_ = true;
  bool body_complete_ = true;
  bool delivered_ = false;
  bool disconnected_ = false;
  bool eof_ = false;
  std::uint64_t sent_ = 0;
  Clock::time_point began_{};
  std::unique_ptr<AccessRecord> access_;
};

}  // namespace tessaryne::server
