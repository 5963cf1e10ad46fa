#include "core/server/served_connection.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <optional>
#include <string>

#include "core/common/byte_scan.hpp"
#include "core/http/chunk_writer.hpp"
#include "core/http/reason_phrase.hpp"
#include "core/http/target.hpp"
#include "core/server/host_header.hpp"
#include "core/server/server_answers.hpp"

namespace tessaryne::server {
namespace {

// The last chunk of a body that trailer fields follow; their end adds the CRLF.
constexpr std::string_view kLastChunk = "0\r\n";

// Serializes a head (with `parts.body` after it) into `out`, the server's own
// headers after the application's; false if a header holds CR or LF.
bool serialize(const http::ResponseParts& parts, std::span<const http::HeaderField> headers,
               const std::vector<std::pair<std::string, std::string>>& added, std::string& out, bool& chunked,
               bool& keep_alive) {
  http::ResponseSerializer serializer(parts);
  for (const http::HeaderField& field : headers)
    if (!serializer.add_header(field.name, field.value)) return false;
  for (const auto& [name, value] : added)
    if (!serializer.add_header(name, value)) return false;
  out.resize(serializer.prepare());
  serializer.write(out.data());
  chunked = serializer.chunked();
  keep_alive = serializer.keep_alive();
  return true;
}

}  // namespace

// Collects what one dispatch of the engine reports; the app is started, and
// errors acted on, only once the engine's step is over.
class ServedConnection::Dispatch final : public http::EventSink {
 public:
  explicit Dispatch(ServedConnection& owner) : owner_(owner) {}

  void request(const http::RequestEvent& event) override {
    any = true;
    switch (check_host(event.facts)) {
      case HostCheck::valid:
        break;
      case HostCheck::count:
        refuse(400, kBadHost);
        return;
      case HostCheck::value:
        refuse(400, kBadHostValue);
        return;
    }
    if (event.method == "CONNECT") {
      refuse(501, kNoTunnel);
      return;
    }
    if (!http::servable_target(event.method, event.target)) {
      refuse(400, kBadTarget);
      return;
    }
    const ServerSettings& settings = owner_.loop_.settings();
    if (event.facts.websocket_upgrade() && settings.websocket) {
      websocket = true;
      owner_.let_go_of_exchange();
      owner_.events_->websocket(event, 0);
      return;
    }
    if (!owner_.loop_.take_slot()) {
      refuse(503, kOverloaded);
      return;
    }
    if (settings.static_mounts)
      if (StaticAnswer planned =
              plan_static(*settings.static_mounts, event.method, event.target_parts.path, event.headers);
          planned.status != 0)
        answer.emplace(std::move(planned));
    const RequestFacts facts{
        .keep_alive = event.keep_alive,
        .has_body = event.has_body,
        .head_method = event.method == "HEAD",
        .http10 = event.minor_version == 0,
        .expect_continue = event.has_body && event.minor_version == 1 && expects_continue(event.headers),
        .holds_slot = owner_.loop_.limits_concurrency(),
        .server_answer = answer.has_value(),
    };
    owner_.let_go_of_exchange();
    Exchange& exchange = answer ? owner_.events_->native_request(event, 0) : owner_.events_->request(event, 0);
    exchange.begin(owner_, facts, Clock::now());
    owner_.exchange_ = &exchange;
    owner_.phase_ = Phase::busy;
    owner_.held_ = 0;
    started = true;
    if (!facts.expect_continue) owner_.await_body();
  }
  void body(std::string_view data, bool more_body) override {
    any = true;
    if (refused != 0 || websocket || !owner_.in_flight()) return;
    if (!more_body) {
      owner_.exchange_->body_read();
      if (owner_.phase_ == Phase::body) owner_.phase_ = Phase::busy;
    }
    owner_.events_->body(0, data, more_body);
  }
  void upgrade(std::string_view) override { any = true; }
  // The server answers a fault with its own headers, from the status and the detail.
  void error(std::uint16_t status, std::string_view detail, std::string_view) override {
    any = true;
    failed = status;
    failure.assign(detail);
  }

  // The server answers the request itself, without the app.
  void refuse(std::uint16_t status, std::string_view text) noexcept {
    refused = status;
    refusal = text;
  }

  ServedConnection& owner_;
  std::optional<StaticAnswer> answer;  // a static mount's, for a request the app never sees
  std::string failure;                 // the engine's detail of the fault
  std::string_view refusal;
  std::uint16_t refused = 0;
  bool any = false;
  bool started = false;
  bool websocket = false;
  std::uint16_t failed = 0;  // the status of the engine's fault
};

ServedConnection::ServedConnection(ServerLoop& loop, int fd, std::uint64_t token)
    : loop_(loop), fd_(fd), token_(token), engine_(loop.settings().limits) {}

ServedConnection::~ServedConnection() {
  if (!closed_) {
    if (watching_) loop_.poller().forget(fd_);
    ::close(fd_);
  }
}

void ServedConnection::open(ConnectionEvents& events, bool http2) {
  events_ = &events;
  const ServerSettings::Versions versions = loop_.settings().versions;
  decided_ = versions != ServerSettings::Versions::any;
  const int on = 1;
  // Fails harmlessly on a Unix socket.
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  loop_.poller().watch(fd_, token_, true, false);
  watching_ = true;
  ServerCounters::add(loop_.counters().connections_opened, 1);
  if (loop_.shutting_down) {
    close();
    return;
  }
  arm(loop_.settings().keep_alive_timeout);
  if (http2 || versions == ServerSettings::Versions::http2) start_http2();
}

void ServedConnection::start_http2() {
  decided_ = true;
  ServerCounters::add(loop_.counters().http2_connections, 1);
  h2_ = std::make_unique<Http2Session>(*this, loop_, *events_);
}

void ServedConnection::watch() noexcept {
  if (!watching_ || closed_) return;
  const bool read = want_read_ && !read_paused_;
  if (read == registered_read_ && want_write_ == registered_write_) return;
  registered_read_ = read;
  registered_write_ = want_write_;
  loop_.poller().change(fd_, token_, read, want_write_);
}

// --- input ------------------------------------------------------------------------

void ServedConnection::on_ready(const Readiness& ready) {
  if (closed_) return;
  if (ready.writable || (ready.hangup && want_write_)) flushed();
  if (closed_) return;
  if (ready.readable || ready.hangup) {
    if (!want_read_ || read_paused_) {
      // Not reading: only a connection gone both ways is news.
      if (ready.hangup) lose();
      return;
    }
    auto& buffer = loop_.scratch();
    ssize_t count = 0;
    do {
      count = ::recv(fd_, buffer.data(), buffer.size(), 0);
    } while (count < 0 && errno == EINTR);
    if (count > 0) {
      ServerCounters::add(loop_.counters().bytes_in, static_cast<std::uint64_t>(count));
      received(std::string_view(buffer.data(), static_cast<std::size_t>(count)));
    } else if (count == 0) {
      end_of_input();
    } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
      lose();
    }
  }
}

void ServedConnection::received(std::string_view data) {
  if (h2_) {
    h2_->received(data);
    return;
  }
  if (websocket_) {
    engine_.append(data);
    events_->frames(0);
    return;
  }
  if (phase_ == Phase::linger) return;
  if (!decided_) {
    // HTTP/2 by prior knowledge, or HTTP/1.1: the first bytes tell. Only a
    // beginning of the preface is kept until the rest comes.
    std::string held = std::exchange(undecided_, {});
    const std::string_view seen = held.empty() ? data : std::string_view(held.append(data));
    const std::size_t compared = std::min(seen.size(), kHttp2Preface.size());
    if (seen.substr(0, compared) != kHttp2Preface.substr(0, compared)) {
      decided_ = true;
      received_http1(seen);
      return;
    }
    if (compared < kHttp2Preface.size()) {
      undecided_.assign(seen);
      if (phase_ == Phase::idle) {
        phase_ = Phase::head;
        arm(loop_.settings().head_timeout);
      }
      return;
    }
    start_http2();
    phase_ = Phase::idle;
    h2_->received(seen);
    return;
  }
  received_http1(data);
}

void ServedConnection::received_http1(std::string_view data) {
  if (phase_ == Phase::body) {
    body_bytes_ += data.size();
    arm_body();
  }
  if (in_flight() && exchange_->body_complete()) {
    // Pipelined bytes wait in the engine until this request is answered.
    held_ += data.size();
    if (held_ > loop_.settings().read_buffer_limit) pause_reading();
  }
  engine_.append(data);
  if (!process() && !in_flight() && phase_ == Phase::idle) {
    phase_ = Phase::head;
    arm(loop_.settings().head_timeout);
  }
}

void ServedConnection::end_of_input() {
  if (h2_ || websocket_ || !in_flight() || !exchange_->body_complete() || phase_ == Phase::linger) {
    // Nothing to answer, or a request that can never be complete.
    close();
    return;
  }
  // Keep the write side open: a half-closed client still reads its answer.
  eof_ = true;
  exchange_->end_of_input();
  want_read_ = false;
  watch();
  events_->wake(0);
}

bool ServedConnection::process() {
  bool any = false;
  handling_ = true;
  struct Reset {
    ServedConnection& owner;
    ~Reset() { owner.handling_ = owner.pump_pending_ = false; }
  } reset{*this};
  for (;;) {
    Dispatch dispatch(*this);
    engine_.dispatch(dispatch);
    any = any || dispatch.any;
    if (closed_) return any;
    if (dispatch.refused != 0) {
      engine_.close();
      text_response(dispatch.refused, dispatch.refusal);
      return any;
    }
    if (dispatch.websocket) {
      phase_ = Phase::busy;
      deadline_.disarm();
      events_->start_websocket(0);
      return any;
    }
    if (dispatch.failed != 0) {
      text_response(dispatch.failed, dispatch.failure);
      return any;
    }
    if (dispatch.answer && dispatch.started) {
      answer_natively(*dispatch.answer);
    } else if (dispatch.started) {
      events_->start(0);
    }
    if (!pump_pending_ || closed_) return any;
    pump_pending_ = false;
  }
}

void ServedConnection::answer_natively(StaticAnswer& answer) {
  if (exchange_ != nullptr) answer.send(*exchange_);
}

void ServedConnection::let_go_of_exchange() noexcept {
  if (exchange_ == nullptr) return;
  exchange_->detach();
  exchange_ = nullptr;
}

void ServedConnection::request_over() noexcept {
  if (exchange_ != nullptr && exchange_->release_slot()) loop_.give_back_slot();
}

// --- the response -------------------------------------------------------------------

SendResult ServedConnection::write_head(Exchange& exchange, std::span<const http::HeaderField> headers,
                                        std::string_view body, bool more_body) {
  return head(exchange, headers, body, more_body, 0);
}

SendResult ServedConnection::head(Exchange& exchange, std::span<const http::HeaderField> headers, std::string_view body,
                                  bool more_body, std::uint64_t body_after) {
  if (gone()) return SendResult::gone;
  const std::uint16_t status = exchange.status();
  const bool trailers = exchange.trailers_announced();
  // A response given before the whole request body has arrived ends the
  // connection: the rest of the body is drained by the lingering close
  // instead of being parsed as the next request.
  http::ResponseParts parts = parts_for(status);
  parts.server_answer = exchange.request().server_answer;
  parts.keep_alive = exchange.keep_alive() && exchange.body_complete() && !exchange.eof() && !loop_.shutting_down;
  parts.body_after = body_after;
  bool chunked = false;
  bool keep_alive = false;
  BodyMode mode = BodyMode::discarded;
  std::string_view extra;  // sent after the head as it is
  if (status < 200 || status == 204 || status == 304) {
    parts.no_body_status = true;
    if (!serialize(parts, headers, loop_.settings().headers, scratch_, chunked, keep_alive))
      return SendResult::bad_header;
  } else if (exchange.request().head_method) {
    // The head a GET would get, with its length or chunked framing, minus the body.
    parts.body = more_body || trailers ? std::string_view{} : body;
    parts.more_body = more_body || trailers;
    if (!serialize(parts, headers, loop_.settings().headers, scratch_, chunked, keep_alive))
      return SendResult::bad_header;
    scratch_.resize(scratch_.size() - parts.body.size());
  } else {
    parts.body = body;
    parts.more_body = more_body || trailers;  // the body's end waits for the trailers
    if (!serialize(parts, headers, loop_.settings().headers, scratch_, chunked, keep_alive))
      return SendResult::bad_header;
    mode = chunked ? BodyMode::chunked : BodyMode::framed;
    if (chunked && trailers && !more_body) extra = kLastChunk;
    if (chunked && exchange.request().http10) {
      // An HTTP/1.0 client cannot read chunks: no framing at all, the body
      // runs to the connection's close.
      parts.body = {};
      parts.more_body = false;
      parts.no_body_status = true;
      parts.keep_alive = false;
      if (!serialize(parts, headers, loop_.settings().headers, scratch_, chunked, keep_alive))
        return SendResult::bad_header;
      extra = body;
      mode = BodyMode::framed;
    }
  }
  exchange.set_framing(mode, keep_alive, body.size());
  const std::array<std::string_view, 2> out{scratch_, extra};
  return put(out) ? SendResult::done : SendResult::gone;
}

SendResult ServedConnection::write_body(Exchange& exchange, std::string_view body, bool more_body) {
  if (gone()) return SendResult::gone;
  bool written = true;
  if (exchange.mode() == BodyMode::chunked) {
    scratch_.resize(http::chunk_size(body.size(), more_body));
    http::write_chunk(body, more_body, scratch_.data());
    // Before trailers the last chunk ends at its size line.
    if (!more_body && exchange.trailers_announced()) scratch_.resize(scratch_.size() - 2);
    const std::string_view chunk = scratch_;
    written = chunk.empty() || put(std::span<const std::string_view>(&chunk, 1));
  } else if (exchange.mode() == BodyMode::framed && !body.empty()) {
    written = put(std::span<const std::string_view>(&body, 1));
  }
  if (!written) return SendResult::gone;
  exchange.add_sent(body.size());
  return SendResult::done;
}

SendResult ServedConnection::write_file(Exchange& exchange, std::span<const http::HeaderField> headers, FileSlice file,
                                        bool more_body) {
  const std::uint64_t count = file.count();
  if (exchange.phase() == ResponsePhase::head_pending) {
    // The piece ends the body: the head announces its length, unless
    // trailers are to follow it in a chunked body.
    const bool ends = !more_body && !exchange.trailers_announced();
    const SendResult result = head(exchange, headers, {}, !ends, ends ? count : 0);
    if (result != SendResult::done) return result;
  }
  if (gone()) return SendResult::gone;
  if (exchange.mode() != BodyMode::discarded && count > 0) {
    const bool chunked = exchange.mode() == BodyMode::chunked;
    if (chunked) {
      scratch_.resize(http::chunk_head_size(count));
      http::write_chunk_head(count, scratch_.data());
      const std::string_view size_line = scratch_;
      if (!put(std::span<const std::string_view>(&size_line, 1))) return SendResult::gone;
    }
    if (!put_file(std::move(file))) return SendResult::gone;
    constexpr std::string_view kCrlf = "\r\n";
    if (chunked && !put(std::span<const std::string_view>(&kCrlf, 1))) return SendResult::gone;
  }
  exchange.add_sent(count);
  // The last chunk, when this piece ends a chunked body.
  return more_body ? SendResult::done : write_body(exchange, {}, false);
}

SendResult ServedConnection::write_interim(Exchange& exchange, std::uint16_t status,
                                           std::span<const http::HeaderField> fields) {
  if (gone()) return SendResult::gone;
  // An HTTP/1.0 client takes the first status line it reads as the answer.
  if (exchange.request().http10) return SendResult::done;
  return interim_response(status, fields) ? SendResult::done : SendResult::bad_header;
}

SendResult ServedConnection::write_trailers(Exchange& exchange, std::span<const http::HeaderField> fields,
                                            bool more_trailers) {
  if (gone()) return SendResult::gone;
  const auto breaks_line = [](const http::HeaderField& field) {
    return field.name.find_first_of("\r\n") != std::string_view::npos ||
           field.value.find_first_of("\r\n") != std::string_view::npos;
  };
  if (std::ranges::any_of(fields, breaks_line)) return SendResult::bad_header;
  if (exchange.mode() == BodyMode::chunked) {
    scratch_.clear();
    for (const http::HeaderField& field : fields) {
      scratch_.append(field.name).append(": ").append(field.value).append("\r\n");
    }
    if (!more_trailers) scratch_.append("\r\n");
    const std::string_view section = scratch_;
    if (!section.empty() && !put(std::span<const std::string_view>(&section, 1))) return SendResult::gone;
  }
  return SendResult::done;
}

void ServedConnection::response_complete(Exchange& exchange) {
  request_over();
  loop_.counters().response(exchange.status(), Clock::now() - exchange.began());
  events_->response_done(exchange);
  events_->wake(0);
  if (closed_) return;
  if (!exchange.keep_alive() || eof_) {
    linger({});
    return;
  }
  engine_.reset_for_next_request();
  if (engine_.is_closed() || loop_.shutting_down) {
    linger({});
    return;
  }
  phase_ = Phase::idle;
  arm(loop_.settings().keep_alive_timeout);
  resume_reading();
  if (handling_) {
    pump_pending_ = true;
    return;
  }
  process();
}

void ServedConnection::response_cut_short() {
  if (!in_flight() || !exchange_->head_sent()) return;
  loop_.counters().response(exchange_->status(), Clock::now() - exchange_->began());
  events_->response_done(*exchange_);
}

void ServedConnection::answer_failure(Exchange& exchange) { exchange.body(kTextHeaders, kServerError, false); }

void ServedConnection::cut_short(Exchange& exchange) {
  response_cut_short();
  request_over();
  exchange.disconnect();
  close();
}

void ServedConnection::want_body(Exchange& exchange) {
  if (exchange.continue_pending()) {
    exchange.continue_sent();
    if (!exchange.head_sent()) {
      interim_response(100);
      await_body();
    }
  }
  resume_reading();
}

void ServedConnection::body_waiting(Exchange& /*exchange*/, std::size_t waiting) {
  if (waiting > loop_.settings().read_buffer_limit) pause_reading();
}

void ServedConnection::await_body() {
  if (phase_ == Phase::busy && in_flight() && !exchange_->body_complete()) {
    phase_ = Phase::body;
    body_due_since_ = Clock::now();
    body_bytes_ = 0;
    arm_body();
  }
}

void ServedConnection::arm_body() {
  const ServerSettings& settings = loop_.settings();
  const Clock::time_point now = Clock::now();
  Clock::time_point due = now + settings.body_timeout;
  if (settings.min_body_rate != 0) {
    // When the bytes so far fall below the rate, the grace period counted in.
    const auto earned = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(static_cast<double>(body_bytes_) / static_cast<double>(settings.min_body_rate)));
    due = std::min(due, body_due_since_ + std::max(settings.body_rate_grace, earned));
  }
  loop_.arm(deadline_, due, token_);
}

void ServedConnection::end_request(std::string_view response) {
  // A request broken off mid-body: its app hears a disconnect, and an answer
  // already under way cannot be followed by these bytes.
  if (in_flight()) {
    response_cut_short();
    request_over();
    exchange_->disconnect();
    events_->wake(0);
    if (exchange_->head_sent()) {
      close();
      return;
    }
  }
  linger(response);
}

http::ResponseParts ServedConnection::parts_for(std::uint16_t status) {
  http::ResponseParts parts;
  parts.status = status;
  parts.server_line = loop_.settings().server_line;
  parts.date_line = loop_.date();
  return parts;
}

bool ServedConnection::interim_response(std::uint16_t status, std::span<const http::HeaderField> fields) {
  http::ResponseParts parts = parts_for(status);
  parts.server_answer = parts.interim = parts.no_body_status = true;
  bool chunked = false;
  bool keep_alive = false;
  if (!serialize(parts, fields, loop_.settings().headers, scratch_, chunked, keep_alive)) return false;
  const std::string_view bytes = scratch_;
  put(std::span<const std::string_view>(&bytes, 1));
  return true;
}

void ServedConnection::text_response(std::uint16_t status, std::string_view text) {
  http::ResponseParts parts = parts_for(status);
  parts.server_answer = true;
  parts.body = text;
  parts.keep_alive = false;
  bool chunked = false;
  bool keep_alive = false;
  std::string response;
  serialize(parts, kTextHeaders, loop_.settings().headers, response, chunked, keep_alive);
  end_request(response);
}

void ServedConnection::linger(std::string_view last) {
  // Write the last bytes, half-close, and drain the input for a while so the
  // client reads them instead of a reset caused by unread upload.
  if (gone()) return;
  if (!last.empty() && !put(std::span<const std::string_view>(&last, 1))) return;
  if (eof_) {
    close();
    return;
  }
  phase_ = Phase::linger;
  if (output_.empty()) {
    if (::shutdown(fd_, SHUT_WR) != 0) {
      lose();  // the client reset the connection and its loss is not read yet
      return;
    }
  } else {
    shut_after_flush_ = true;
  }
  want_read_ = true;
  resume_reading();
  watch();
  arm(loop_.settings().linger_timeout);
}

// --- flow ------------------------------------------------------------------------------

void ServedConnection::pause_reading() {
  if (!read_paused_) {
    read_paused_ = true;
    watch();
  }
}

void ServedConnection::resume_reading() {
  if (read_paused_) {
    read_paused_ = false;
    watch();
    // While reading was paused the app was behind, not the client: its rate
    // is counted afresh.
    if (phase_ == Phase::body) {
      body_due_since_ = Clock::now();
      body_bytes_ = 0;
      arm_body();
    }
  }
}

void ServedConnection::write(std::span<const std::string_view> parts) {
  if (!gone()) put(parts);
}

SendResult ServedConnection::write_response(std::uint16_t status, std::span<const http::HeaderField> headers,
                                            std::string_view body, bool more_body, bool no_body, bool& chunked) {
  http::ResponseParts parts = parts_for(status);
  parts.body = body;
  parts.more_body = more_body;
  parts.no_body_status = no_body;
  parts.keep_alive = status == 101;  // only the switch keeps the connection
  bool keep_alive = false;
  if (!serialize(parts, headers, loop_.settings().headers, scratch_, chunked, keep_alive))
    return SendResult::bad_header;
  if (gone()) return SendResult::gone;
  const std::string_view bytes = scratch_;
  return put(std::span<const std::string_view>(&bytes, 1)) ? SendResult::done : SendResult::gone;
}

bool ServedConnection::put(std::span<const std::string_view> parts) {
  if (closed_) return false;
  const bool was_empty = output_.empty();
  const std::size_t before = output_.pending();
  std::size_t given = 0;
  for (const std::string_view part : parts) given += part.size();
  if (output_.write(fd_, parts) == WriteResult::failed) {
    lose();
    return false;
  }
  ServerCounters::add(loop_.counters().bytes_out, before + given - output_.pending());
  if (was_empty) last_progress_ = Clock::now();  // the clock of a stalled reader starts with the queue
  queued();
  return true;
}

void ServedConnection::queued() {
  if (output_.empty()) return;
  if (output_.pending() > loop_.settings().write_high) write_paused_ = true;
  if (!want_write_) {
    want_write_ = true;
    watch();
  }
}

bool ServedConnection::put_file(FileSlice file) {
  if (closed_) return false;
  if (!sends_files_) {
    // A file is pushed as the socket takes it, not queued whole in the
    // kernel: at most this much unsent there, so that a connection holds
    // little kernel memory and the sending is done on the server's turns
    // rather than clocked by the client's acknowledgements (on loopback
    // that doubles a 1 MiB file's rate). Fails harmlessly on a Unix socket.
    constexpr int kUnsentBytes = 64 << 10;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &kUnsentBytes, sizeof kUnsentBytes);
    sends_files_ = true;
  }
  const bool was_empty = output_.empty();
  const std::size_t before = output_.pending() + file.count();
  if (output_.write_file(fd_, std::move(file)) == WriteResult::failed) {
    lose();
    return false;
  }
  ServerCounters::add(loop_.counters().bytes_out, before - output_.pending());
  if (was_empty) last_progress_ = Clock::now();
  queued();
  return true;
}

void ServedConnection::flushed() {
  const std::size_t before = output_.pending();
  if (output_.flush(fd_) == WriteResult::failed) {
    lose();
    return;
  }
  if (output_.pending() < before) {
    last_progress_ = Clock::now();
    ServerCounters::add(loop_.counters().bytes_out, before - output_.pending());
  }
  if (output_.empty()) {
    want_write_ = false;
    watch();
    // An idle connection's time starts once its last answer is out.
    if (phase_ == Phase::idle) arm(loop_.settings().keep_alive_timeout);
    if (shut_after_flush_) {
      shut_after_flush_ = false;
      if (::shutdown(fd_, SHUT_WR) != 0) {
        lose();
        return;
      }
    }
    if (closing_) {
      lose();
      return;
    }
  }
  if (write_paused_ && output_.pending() < loop_.settings().write_low) {
    write_paused_ = false;
    events_->writable();
  }
  // Frames held back for the socket's queue go on.
  if (h2_ && !closed_ && output_.pending() < loop_.settings().write_low) h2_->drained();
}

// --- deadlines -----------------------------------------------------------------------

void ServedConnection::arm(Clock::duration timeout) { loop_.arm(deadline_, Clock::now() + timeout, token_); }

void ServedConnection::on_deadline(const Deadlines::Entry& entry) {
  if (!deadline_.take(entry) || closed_) return;
  if (phase_ == Phase::busy || (phase_ == Phase::body && read_paused_)) return;  // resume_reading() re-arms
  const Clock::time_point now = Clock::now();
  if (now < deadline_.at()) {
    loop_.arm(deadline_, deadline_.at(), token_);
    return;
  }
  // A client still reading a long answer is not idle or stuck: only one that
  // has taken nothing for the linger timeout is cut off.
  const Clock::duration patience = loop_.settings().linger_timeout;
  if (!output_.empty() && phase_ != Phase::head && phase_ != Phase::body && now - last_progress_ < patience) {
    loop_.arm(deadline_, last_progress_ + patience, token_);
    return;
  }
  deadline_passed();
}

void ServedConnection::deadline_passed() {
  if (h2_ && phase_ != Phase::linger) {
    h2_->timed_out();
    return;
  }
  switch (phase_) {
    case Phase::linger:
      abort();
      break;
    case Phase::idle:
      close();
      break;
    case Phase::head:
    case Phase::body:
      // A head or a body too slow: the client hears why before the close.
      engine_.close();
      text_response(408, kTimeout);
      break;
    case Phase::busy:
      break;
  }
}

// --- the end -----------------------------------------------------------------------------

void ServedConnection::close() {
  if (gone()) return;
  closing_ = true;
  want_read_ = false;
  if (output_.empty()) {
    lose();
    return;
  }
  watch();
  // A client that never reads what is queued is cut off.
  phase_ = Phase::linger;
  arm(loop_.settings().linger_timeout);
}

void ServedConnection::abort() { lose(); }

void ServedConnection::shutdown() {
  if (h2_) {
    h2_->shutdown();
    return;
  }
  if (!in_flight() && phase_ != Phase::linger) close();
}

SessionTransport* ServedConnection::session_stream(std::uint32_t stream) noexcept {
  return h2_ ? h2_->session_stream(stream) : nullptr;
}

void ServedConnection::switch_to_websocket() {
  if (!websocket_) ServerCounters::add(loop_.counters().websockets_opened, 1);
  websocket_ = true;
  engine_.enter_websocket_mode();
}

void ServedConnection::lose() {
  if (closed_) return;
  closed_ = true;
  ServerCounters::add(loop_.counters().connections_closed, 1);
  if (websocket_) ServerCounters::add(loop_.counters().websockets_closed, 1);
  if (watching_) loop_.poller().forget(fd_);
  ::close(fd_);
  output_.discard();
  deadline_.disarm();
  if (in_flight()) {
    response_cut_short();
    request_over();
    exchange_->disconnect();
  }
  let_go_of_exchange();
  if (h2_) h2_->lost();
  write_paused_ = false;
  events_->ended();
}

}  // namespace tessaryne::server
