#include "core/server/exchange.hpp"

#include <utility>

namespace tessaryne::server {

void Exchange::begin(Protocol& protocol, const RequestFacts& facts, Clock::time_point now) noexcept {
  protocol_ = &protocol;
  facts_ = facts;
  keep_alive_ = facts.keep_alive;
  body_complete_ = !facts.has_body;
  began_ = now;
}

void Exchange::detach() noexcept {
  protocol_ = nullptr;
  if (phase_ != ResponsePhase::complete) disconnected_ = true;
}

void Exchange::set_framing(BodyMode mode, bool keep_alive, std::uint64_t sent) noexcept {
  mode_ = mode;
  keep_alive_ = keep_alive;
  sent_ = 0;
  add_sent(sent);
}

bool Exchange::head_sent() const noexcept {
  return phase_ != ResponsePhase::awaiting_start && phase_ != ResponsePhase::head_pending;
}

bool Exchange::ended() const noexcept {
  return phase_ == ResponsePhase::complete || phase_ == ResponsePhase::cut_short;
}

bool Exchange::over() const noexcept { return ended() || disconnected_; }

SendResult Exchange::start(std::uint16_t status, bool trailers) noexcept {
  if (phase_ != ResponsePhase::awaiting_start) return SendResult::start_twice;
  status_ = status;
  trailers_ = trailers;
  phase_ = ResponsePhase::head_pending;
  return SendResult::done;
}

SendResult Exchange::may_send_body() noexcept {
  switch (phase_) {
    case ResponsePhase::awaiting_start:
      return SendResult::body_before_start;
    case ResponsePhase::trailers:
    case ResponsePhase::complete:
    case ResponsePhase::cut_short:
      return SendResult::body_after_end;
    case ResponsePhase::head_pending:
    case ResponsePhase::body:
      break;
  }
  if (!attached()) {
    disconnected_ = true;
    return SendResult::gone;
  }
  return SendResult::done;
}

SendResult Exchange::body(std::span<const http::HeaderField> head_fields, std::string_view data, bool more_body) {
  if (const SendResult refused = may_send_body(); refused != SendResult::done) return refused;
  const bool head = phase_ == ResponsePhase::head_pending;
  const SendResult result =
      head ? protocol_->write_head(*this, head_fields, data, more_body) : protocol_->write_body(*this, data, more_body);
  if (result == SendResult::done) piece_went_out(head, head_fields);
  return wrote(result, more_body);
}

SendResult Exchange::file(std::span<const http::HeaderField> head_fields, FileSlice file, bool more_body,
                          bool ends_short) {
  if (const SendResult refused = may_send_body(); refused != SendResult::done) return refused;
  const bool head = phase_ == ResponsePhase::head_pending;
  // A short piece is never framed as the last: the client must see the end missing.
  more_body = more_body || ends_short;
  const SendResult result = protocol_->write_file(*this, head_fields, std::move(file), more_body);
  if (result == SendResult::done) piece_went_out(head, head_fields);
  const SendResult outcome = wrote(result, more_body);
  if (outcome == SendResult::done && ends_short) cut();
  return outcome;
}

void Exchange::piece_went_out(bool with_head, std::span<const http::HeaderField> head_fields) {
  // The access log's record sees the head that went out, before the response may complete.
  if (with_head && access_) access_->keep_response(head_fields);
  phase_ = ResponsePhase::body;
}

SendResult Exchange::interim(std::uint16_t status, std::span<const http::HeaderField> fields) {
  if (phase_ != ResponsePhase::awaiting_start) return SendResult::interim_after_start;
  if (!attached()) {
    disconnected_ = true;
    return SendResult::gone;
  }
  const SendResult result = protocol_->write_interim(*this, status, fields);
  if (result == SendResult::gone) disconnected_ = true;
  return result;
}

SendResult Exchange::trailers(std::span<const http::HeaderField> fields, bool more_trailers) {
  if (!trailers_) return SendResult::trailers_unannounced;
  if (ended()) return SendResult::trailers_after_end;
  if (!attached()) {
    disconnected_ = true;
    return SendResult::gone;
  }
  if (phase_ != ResponsePhase::trailers) return SendResult::trailers_before_body_end;
  const SendResult result = protocol_->write_trailers(*this, fields, more_trailers);
  if (result == SendResult::gone) disconnected_ = true;
  if (result == SendResult::done && !more_trailers) complete();
  return result;
}

SendResult Exchange::wrote(SendResult result, bool more_body) {
  if (result == SendResult::gone) disconnected_ = true;
  if (result != SendResult::done || more_body) return result;
  if (trailers_) {
    phase_ = ResponsePhase::trailers;
  } else {
    complete();
  }
  return result;
}

void Exchange::complete() {
  phase_ = ResponsePhase::complete;
  // The protocol may move on to the next request, which detaches this one.
  if (protocol_ != nullptr) protocol_->response_complete(*this);
}

ReceiveStep Exchange::next_receive(bool pieces_waiting) {
  if (!delivered_) {
    if (pieces_waiting || body_complete_) return ReceiveStep::deliver;
    if (!over()) {
      // Once the request is answered, body bytes that have not arrived are
      // no longer awaited: the connection drains and discards them.
      if (attached()) protocol_->want_body(*this);
      return ReceiveStep::wait;
    }
  }
  if (over() || eof_) return ReceiveStep::disconnect;
  return ReceiveStep::wait;
}

bool Exchange::body_taken() {
  delivered_ = body_complete_;
  if (!delivered_ && !over() && attached()) protocol_->want_body(*this);
  return delivered_;
}

bool Exchange::app_failed() {
  // A client going away is not an application error.
  if (disconnected_) return false;
  if (attached() && !ended()) end_unfinished();
  return true;
}

bool Exchange::app_returned() {
  if (over() || !attached()) return false;
  if (eof_) {
    // The client stopped sending and the app chose not to answer.
    cut();
    return false;
  }
  end_unfinished();
  return true;
}

void Exchange::end_unfinished() {
  if (head_sent()) {
    cut();
    return;
  }
  // Nothing went out yet: the protocol answers 500 in the app's place.
  status_ = 500;
  trailers_ = false;
  phase_ = ResponsePhase::head_pending;
  protocol_->answer_failure(*this);
}

void Exchange::cut() {
  protocol_->cut_short(*this);  // it reads what went out
  phase_ = ResponsePhase::cut_short;
}

}  // namespace tessaryne::server
