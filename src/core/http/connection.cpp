#include "core/http/connection.hpp"

#include <algorithm>
#include <array>
#include <memory>

#include "core/http/chunked.hpp"
#include "core/http/error_response.hpp"

namespace tessaryne::http {
namespace {

constexpr std::string_view kTooLarge = "Request Header Fields Too Large";
constexpr std::string_view kUriTooLong = "URI Too Long";

// Whether a head too large for `window` is too large in its target: the
// target began (after the empty lines a head may start with, and the method)
// and the request line does not end within the window.
bool target_too_long(std::string_view window) noexcept {
  const std::size_t start = window.find_first_not_of("\r\n");
  if (start == std::string_view::npos) return false;
  return window.find(' ', start) != std::string_view::npos && window.find('\n', start) == std::string_view::npos;
}

// The first `limit` bytes of `input` (all of it when shorter).
std::string_view prefix(std::string_view input, std::uint64_t limit) noexcept {
  return input.substr(0, static_cast<std::size_t>(std::min<std::uint64_t>(input.size(), limit)));
}

// Header slots for one head, lent from a set kept per thread. A head step
// that runs while the thread's set is lent out (the sink of one connection
// running code that feeds another on the same thread) gets a set of its own.
class HeaderSlots {
 public:
  HeaderSlots() {
    thread_local Shared shared;
    if (!shared.lent) {
      shared.lent = true;
      lent_from_ = &shared;
      slots_ = shared.slots;
    } else {
      own_ = std::make_unique<Slots>();
      slots_ = *own_;
    }
  }
  HeaderSlots(const HeaderSlots&) = delete;
  HeaderSlots& operator=(const HeaderSlots&) = delete;
  ~HeaderSlots() {
    if (lent_from_ != nullptr) lent_from_->lent = false;
  }
  [[nodiscard]] std::span<HeaderLine> get() const noexcept { return slots_; }

 private:
  using Slots = std::array<HeaderLine, Connection::kHeaderSlots>;
  struct Shared {
    Slots slots;
    bool lent = false;
  };
  Shared* lent_from_ = nullptr;
  std::unique_ptr<Slots> own_;
  std::span<HeaderLine> slots_;
};

}  // namespace

Connection::Connection(ConnectionLimits limits) : limits_(limits) {}

void Connection::append(std::string_view data) { buffer_.append(data); }

void Connection::dispatch(EventSink& sink) {
  // In WebSocket mode the frame loop owns the buffer; HTTP parsing never runs again.
  if (websocket_mode_) return;
  run_steps(sink);
  buffer_.settle();
}

void Connection::run_steps(EventSink& sink) {
  for (;;) {
    Step step = Step::need_more_data;
    switch (state_) {
      case ConnectionState::awaiting_head:
        step = head_step(sink);
        break;
      case ConnectionState::content_length_body:
        step = content_length_step(sink);
        break;
      case ConnectionState::chunk_size:
        step = chunk_size_step(sink);
        break;
      case ConnectionState::chunk_data:
        step = chunk_data_step(sink);
        break;
      case ConnectionState::chunk_trailers:
        step = chunk_trailers_step(sink);
        break;
      case ConnectionState::message_complete:
      case ConnectionState::closed:
        return;
    }
    if (step == Step::need_more_data) return;
  }
}

void Connection::reset_for_next_request() noexcept {
  if (state_ != ConnectionState::message_complete) return;
  body_total_ = 0;
  state_ = requests_seen_ < limits_.max_keepalive_requests && keep_alive_ ? ConnectionState::awaiting_head
                                                                          : ConnectionState::closed;
}

Connection::Step Connection::fail(EventSink& sink, std::uint16_t status, std::string_view detail) {
  state_ = ConnectionState::closed;
  const ErrorResponse response(status, detail);
  sink.error(status, detail, response.bytes());
  return Step::advanced;
}

Connection::Step Connection::head_step(EventSink& sink) {
  const std::string_view input = buffer_.unconsumed();
  if (input.empty()) return Step::need_more_data;
  // Only the first max_header_size bytes are tokenized, so what follows a head
  // (body, pipelined requests) never counts against it, and every outcome is
  // fixed by those bytes alone: the answer cannot depend on how they arrived.
  const HeaderSlots slots;
  RequestHead head;
  const HeadResult result = tokenize_head(prefix(input, limits_.max_header_size), slots.get(), head);
  if (result.status == HeadStatus::error) return fail(sink, 400, "Bad Request");
  if (result.status == HeadStatus::partial) {
    if (input.size() <= limits_.max_header_size) return Step::need_more_data;
    if (target_too_long(prefix(input, limits_.max_header_size))) return fail(sink, 414, kUriTooLong);
    return fail(sink, 431, kTooLarge);
  }

  buffer_.consume(head.length);
  ++requests_seen_;  // counted before validation: a refused head still counts
  const std::span<const HeaderLine> headers(slots.get().data(), head.header_count);
  const HeadFacts facts = scan_headers(headers, head.minor_version);
  if (facts.conflicting()) return fail(sink, 400, "Bad Request: Conflicting HTTP headers");

  // A limit of 0 lets one request through, like a limit of 1.
  const bool within_limit = requests_seen_ < std::max<std::uint64_t>(limits_.max_keepalive_requests, 1);
  RequestEvent event{head.method,
                     head.target,
                     split_target(head.target),
                     head.minor_version,
                     headers,
                     facts,
                     facts.keep_alive && within_limit,
                     false,
                     1};
  if (facts.websocket_upgrade()) {
    // Bytes after the head stay buffered for the frame loop.
    keep_alive_ = facts.keep_alive;
    state_ = ConnectionState::message_complete;
    sink.request(event);
    sink.upgrade(facts.upgrade_value);
    return Step::advanced;
  }
  if (facts.chunked) {
    keep_alive_ = facts.keep_alive;
    state_ = ConnectionState::chunk_size;
    event.has_body = true;
    sink.request(event);
    return Step::advanced;
  }
  if (!facts.has_content_length || facts.content_length == 0) {
    keep_alive_ = facts.keep_alive;
    state_ = ConnectionState::message_complete;
    sink.request(event);
    return Step::advanced;
  }
  if (facts.content_length > limits_.max_body_size) return fail(sink, 413, "Payload Too Large");

  keep_alive_ = facts.keep_alive;
  event.has_body = true;
  const std::uint64_t length = facts.content_length;
  const std::size_t available = buffer_.unconsumed().size();
  const std::string_view body = prefix(buffer_.unconsumed(), length);
  buffer_.consume(body.size());
  if (length <= available) {
    state_ = ConnectionState::message_complete;
    sink.request(event);
    sink.body(body, false);
  } else {
    remaining_ = length - available;
    state_ = ConnectionState::content_length_body;
    sink.request(event);
    if (!body.empty()) sink.body(body, true);
  }
  return Step::advanced;
}

Connection::Step Connection::content_length_step(EventSink& sink) {
  const std::string_view body = prefix(buffer_.unconsumed(), remaining_);
  if (body.empty()) return Step::need_more_data;
  buffer_.consume(body.size());
  remaining_ -= body.size();
  const bool more = remaining_ > 0;
  if (!more) state_ = ConnectionState::message_complete;
  sink.body(body, more);
  return Step::advanced;
}

Connection::Step Connection::chunk_size_step(EventSink& sink) {
  const std::string_view input = buffer_.unconsumed();
  // The line and its CR LF must lie within the first kMaxChunkSizeLine bytes.
  // Only CR LF ends it: a bare LF is part of the line, which refuses it.
  const std::size_t end = prefix(input, kMaxChunkSizeLine).find("\r\n");
  if (end == std::string_view::npos) {
    if (input.size() >= kMaxChunkSizeLine) return fail(sink, 400, "Invalid chunk length");
    return Step::need_more_data;
  }
  const ChunkLine line = parse_chunk_line(input.substr(0, end));
  switch (line.fault) {
    case ChunkLineFault::none:
      break;
    case ChunkLineFault::encoding:
      return fail(sink, 400, "Invalid chunked encoding");
    case ChunkLineFault::length:
      return fail(sink, 400, "Invalid chunk length");
    case ChunkLineFault::extension:
      return fail(sink, 400, "Invalid chunk extension");
  }
  const std::uint64_t size = line.size;
  buffer_.consume(end + 2);
  if (size == 0) {
    state_ = ConnectionState::chunk_trailers;
    return Step::advanced;
  }
  // body_total_ never exceeds max_body_size, so the subtraction cannot wrap.
  if (size > limits_.max_body_size - body_total_) return fail(sink, 413, "Payload Too Large");
  body_total_ += size;
  remaining_ = size;
  state_ = ConnectionState::chunk_data;
  return Step::advanced;
}

Connection::Step Connection::chunk_data_step(EventSink& sink) {
  const std::string_view input = buffer_.unconsumed();
  // A chunk is delivered whole, with the two bytes that must follow it.
  if (input.size() < remaining_ || input.size() - remaining_ < 2) return Step::need_more_data;
  const auto size = static_cast<std::size_t>(remaining_);
  if (input[size] != '\r' || input[size + 1] != '\n') return fail(sink, 400, "Malformed chunk boundary");
  buffer_.consume(size + 2);
  state_ = ConnectionState::chunk_size;
  sink.body(input.substr(0, size), true);
  return Step::advanced;
}

Connection::Step Connection::chunk_trailers_step(EventSink& sink) {
  const std::string_view input = buffer_.unconsumed();
  // Like a head, the trailer section must end within max_header_size bytes.
  // Its fields are discarded once read.
  const SectionEnd section = trailer_section_end(prefix(input, limits_.max_header_size));
  switch (section.status) {
    case SectionStatus::complete:
      buffer_.consume(section.length);
      break;
    case SectionStatus::partial:
      if (input.size() > limits_.max_header_size) return fail(sink, 431, kTooLarge);
      return Step::need_more_data;
    case SectionStatus::invalid:
      return fail(sink, 400, "Malformed chunk trailer");
  }
  state_ = ConnectionState::message_complete;
  sink.body({}, false);
  return Step::advanced;
}

}  // namespace tessaryne::http
