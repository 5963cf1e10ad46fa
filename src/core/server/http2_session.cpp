#include "core/server/http2_session.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <limits>
#include <utility>

#include "core/common/byte_scan.hpp"
#include "core/http/head_rules.hpp"
#include "core/server/host_header.hpp"
#include "core/server/served_connection.hpp"
#include "core/server/server_answers.hpp"

namespace tessaryne::server {

using namespace std::string_view_literals;

namespace {

// Fields that belong to one HTTP/1.1 connection: an HTTP/2 response never carries them.
bool connection_specific(std::string_view lowercase_name) noexcept {
  constexpr std::array<std::string_view, 5> kNames{"connection", "keep-alive", "proxy-connection", "transfer-encoding",
                                                   "upgrade"};
  return std::ranges::find(kNames, lowercase_name) != kNames.end();
}

bool breaks_field(std::string_view text) noexcept { return text.find_first_of("\r\n\0"sv) != std::string_view::npos; }

// "name: value\r\n", one of the server's own lines, as its name and value.
std::pair<std::string_view, std::string_view> split_line(std::string_view line) noexcept {
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return {};
  std::string_view value = line.substr(colon + 1);
  while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
  while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) value.remove_suffix(1);
  return {line.substr(0, colon), value};
}

nghttp2_nv name_value(std::string_view name, std::string_view value) noexcept {
  // nghttp2 copies both when a frame is submitted.
  // NOLINTBEGIN(cppcoreguidelines-pro-type-const-cast,cppcoreguidelines-pro-type-reinterpret-cast)
  return {reinterpret_cast<std::uint8_t*>(const_cast<char*>(name.data())),
          reinterpret_cast<std::uint8_t*>(const_cast<char*>(value.data())), name.size(), value.size(),
          NGHTTP2_NV_FLAG_NONE};
  // NOLINTEND(cppcoreguidelines-pro-type-const-cast,cppcoreguidelines-pro-type-reinterpret-cast)
}

std::string_view text_of(const std::uint8_t* data, std::size_t size) noexcept {
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): bytes as text
  return {reinterpret_cast<const char*>(data), size};
}

}  // namespace

// --- nghttp2's callbacks: each finds its session and stream, and keeps an
// exception from crossing the library --------------------------------------------

struct Http2Session::Callbacks {
  template <class Body>
  static int guarded(void* user, Body&& body) noexcept {
    auto& session = *static_cast<Http2Session*>(user);
    try {
      return body(session);
    } catch (...) {
      session.keep_error();
      return NGHTTP2_ERR_CALLBACK_FAILURE;
    }
  }

  static int begin_headers(nghttp2_session*, const nghttp2_frame* frame, void* user) noexcept {
    if (frame->hd.type != NGHTTP2_HEADERS || frame->headers.cat != NGHTTP2_HCAT_REQUEST) return 0;
    return guarded(user, [&](Http2Session& session) {
      const std::int32_t id = frame->hd.stream_id;
      auto stream = std::make_unique<Http2Stream>(session, id);
      // Room for a usual head, so that its fields do not move it again and again.
      stream->text_.reserve(512);
      stream->fields_.reserve(16);
      session.streams_.emplace(id, std::move(stream));
      session.rearm();
      return 0;
    });
  }

  static int header(nghttp2_session*, const nghttp2_frame* frame, const std::uint8_t* name_data, std::size_t name_size,
                    const std::uint8_t* value_data, std::size_t value_size, std::uint8_t, void* user) noexcept {
    if (frame->hd.type != NGHTTP2_HEADERS || frame->headers.cat != NGHTTP2_HCAT_REQUEST) return 0;  // trailers
    return guarded(user, [&](Http2Session& session) {
      Http2Stream* stream = session.find(frame->hd.stream_id);
      if (stream == nullptr || stream->too_large_) return 0;
      // Counted as HTTP/1.1 counts a head's bytes, so that one limit means the same.
      stream->header_bytes_ += name_size + value_size + 4;
      if (stream->header_bytes_ > session.loop_.settings().limits.max_header_size) {
        stream->too_large_ = true;
        return 0;
      }
      const std::string_view name = text_of(name_data, name_size);
      auto& text = stream->text_;
      const Http2Stream::Field field{static_cast<std::uint32_t>(text.size()), static_cast<std::uint32_t>(name_size),
                                     static_cast<std::uint32_t>(text.size() + name_size),
                                     static_cast<std::uint32_t>(value_size)};
      text.append(name).append(text_of(value_data, value_size));
      if (name == ":method") {
        stream->method_ = field;
      } else if (name == ":path") {
        stream->path_ = field;
      } else if (name == ":authority") {
        stream->authority_ = field;
      } else if (name == ":protocol") {
        stream->protocol_ = field;
      } else if (!name.starts_with(':')) {
        stream->fields_.push_back(field);
      }
      return 0;
    });
  }

  static int frame_received(nghttp2_session*, const nghttp2_frame* frame, void* user) noexcept {
    const bool ends = (frame->hd.flags & NGHTTP2_FLAG_END_STREAM) != 0;
    if (frame->hd.type != NGHTTP2_DATA && frame->hd.type != NGHTTP2_HEADERS) return 0;
    return guarded(user, [&](Http2Session& session) {
      Http2Stream* stream = session.find(frame->hd.stream_id);
      if (stream == nullptr) return 0;
      if (frame->hd.type == NGHTTP2_HEADERS && frame->headers.cat == NGHTTP2_HCAT_REQUEST) {
        stream->request_ended_ = ends;
        session.request(*stream);
        return 0;
      }
      // The client ended a WebSocket session's stream: the session ends with it.
      if (ends && stream->engine_) {
        stream->close();
        return 0;
      }
      // The request's end: its last DATA, or trailer fields (which ASGI does not carry).
      if (ends && stream->exchange_ != nullptr && !stream->exchange_->over()) {
        stream->exchange_->body_read();
        session.events_.body(static_cast<std::uint32_t>(stream->id_), {}, false);
      }
      return 0;
    });
  }

  static int data_chunk(nghttp2_session*, std::uint8_t, std::int32_t id, const std::uint8_t* data, std::size_t size,
                        void* user) noexcept {
    return guarded(user, [&](Http2Session& session) {
      Http2Stream* stream = session.find(id);
      if (stream != nullptr && stream->engine_) {
        stream->engine_->append(text_of(data, size));
        stream->consume(size);
        if (stream->switched_ && !std::exchange(stream->frames_due_, true)) session.frames_ready_.push_back(id);
        return 0;
      }
      if (stream == nullptr || stream->exchange_ == nullptr || stream->exchange_->over()) {
        // Nobody reads it: its window is given back at once.
        nghttp2_session_consume(session.session_, id, size);
        return 0;
      }
      stream->body_bytes_ += size;
      if (stream->body_bytes_ > session.loop_.settings().limits.max_body_size) {
        session.body_too_large(*stream);
        nghttp2_session_consume(session.session_, id, size);
        return 0;
      }
      session.events_.body(static_cast<std::uint32_t>(id), text_of(data, size), true);
      stream->consume(size);
      return 0;
    });
  }

  static int stream_closed(nghttp2_session*, std::int32_t id, std::uint32_t, void* user) noexcept {
    return guarded(user, [&](Http2Session& session) {
      if (Http2Stream* stream = session.find(id)) {
        stream->closed_ = true;
        session.closing_.push_back(id);
      }
      return 0;
    });
  }

  static ssize_t read_data(nghttp2_session*, std::int32_t, std::uint8_t* buffer, std::size_t length,
                           std::uint32_t* flags, nghttp2_data_source* source, void* user) noexcept {
    auto& stream = *static_cast<Http2Stream*>(source->ptr);
    ssize_t result = 0;
    const int outcome = guarded(user, [&](Http2Session& session) {
      bool eof = false;
      const std::ptrdiff_t count = stream.read(std::span<std::uint8_t>(buffer, length), eof);
      if (count < 0) {
        result = NGHTTP2_ERR_TEMPORAL_CALLBACK_FAILURE;  // the file failed: the stream is reset
        return 0;
      }
      if (count == 0 && !eof) {
        stream.deferred_ = true;
        result = NGHTTP2_ERR_DEFERRED;
        return 0;
      }
      if (eof) {
        *flags |= NGHTTP2_DATA_FLAG_EOF;
        stream.data_done_ = true;
        if (stream.trailers_follow_) {
          *flags |= NGHTTP2_DATA_FLAG_NO_END_STREAM;
          if (stream.trailers_ready_ && !session.submit_trailers(stream)) result = NGHTTP2_ERR_CALLBACK_FAILURE;
        }
      }
      if (result == 0) result = count;
      return 0;
    });
    return outcome != 0 ? outcome : result;
  }
};

// --- the session ------------------------------------------------------------------------

Http2Session::Http2Session(ServedConnection& connection, ServerLoop& loop, ConnectionEvents& events)
    : connection_(connection), loop_(loop), events_(events) {
  nghttp2_session_callbacks* callbacks = nullptr;
  nghttp2_option* option = nullptr;
  if (nghttp2_session_callbacks_new(&callbacks) != 0) throw std::bad_alloc();
  const std::unique_ptr<nghttp2_session_callbacks, void (*)(nghttp2_session_callbacks*)> owned_callbacks(
      callbacks, nghttp2_session_callbacks_del);
  if (nghttp2_option_new(&option) != 0) throw std::bad_alloc();
  const std::unique_ptr<nghttp2_option, void (*)(nghttp2_option*)> owned_option(option, nghttp2_option_del);
  nghttp2_session_callbacks_set_on_begin_headers_callback(callbacks, Callbacks::begin_headers);
  nghttp2_session_callbacks_set_on_header_callback(callbacks, Callbacks::header);
  nghttp2_session_callbacks_set_on_frame_recv_callback(callbacks, Callbacks::frame_received);
  nghttp2_session_callbacks_set_on_data_chunk_recv_callback(callbacks, Callbacks::data_chunk);
  nghttp2_session_callbacks_set_on_stream_close_callback(callbacks, Callbacks::stream_closed);
  // Windows are given back as the app takes the body, not as it arrives.
  nghttp2_option_set_no_auto_window_update(option, 1);
  if (nghttp2_session_server_new2(&session_, callbacks, this, option) != 0) throw std::bad_alloc();

  const ServerSettings& settings = loop_.settings();
  const auto window = static_cast<std::uint32_t>(
      std::clamp<std::size_t>(settings.read_buffer_limit, 16384, std::numeric_limits<std::int32_t>::max()));
  const std::array<nghttp2_settings_entry, 5> entries{{
      {NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, settings.h2_max_concurrent_streams},
      {NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, window},
      {NGHTTP2_SETTINGS_MAX_HEADER_LIST_SIZE,
       static_cast<std::uint32_t>(std::min<std::uint64_t>(settings.limits.max_header_size, 0xffffffffU))},
      // WebSocket sessions open with an extended CONNECT (RFC 8441).
      {NGHTTP2_SETTINGS_ENABLE_CONNECT_PROTOCOL, settings.websocket ? 1U : 0U},
      // RFC 9218's priorities, whose scheduler is a few queues, not RFC 7540's
      // dependency tree (deprecated by RFC 9113).
      {NGHTTP2_SETTINGS_NO_RFC7540_PRIORITIES, 1},
  }};
  nghttp2_submit_settings(session_, NGHTTP2_FLAG_NONE, entries.data(), entries.size());
  // The connection's window lets every stream fill its own: a stalled one
  // holds at most its window, not the others'.
  const std::uint64_t connection_window =
      std::uint64_t{window} * std::max<std::uint32_t>(1, settings.h2_max_concurrent_streams);
  nghttp2_session_set_local_window_size(
      session_, NGHTTP2_FLAG_NONE, 0,
      static_cast<std::int32_t>(std::min<std::uint64_t>(connection_window, std::numeric_limits<std::int32_t>::max())));
}

Http2Session::~Http2Session() { nghttp2_session_del(session_); }

Http2Stream* Http2Session::find(std::int32_t id) noexcept {
  const auto found = streams_.find(id);
  return found == streams_.end() ? nullptr : found->second.get();
}

void Http2Session::count_response(const Exchange& exchange) noexcept {
  ServerCounters& counters = loop_.counters();
  counters.response(exchange.status(), Clock::now() - exchange.began());
  ServerCounters::add(counters.http2_responses, 1);
}

void Http2Session::keep_error() noexcept {
  if (!error_) error_ = std::current_exception();
}

void Http2Session::rethrow() {
  if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
}

void Http2Session::received(std::string_view data) {
  if (lost_) return;
  closed_.clear();
  {
    handling_ = true;
    struct Reset {
      bool& flag;
      ~Reset() { flag = false; }
    } reset{handling_};
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): bytes as nghttp2 takes them
    const ssize_t used =
        nghttp2_session_mem_recv(session_, reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
    rethrow();
    rearm(true);  // the client moved
    if (used < 0) {
      // Not HTTP/2 (a wrong preface), or a flood nghttp2 will not serve: it has
      // queued its GOAWAY where it could.
      flush();
      connection_.close();
      return;
    }
    // The apps of the heads this input completed run now, their first frames
    // gathered with the rest.
    // Swapped, so that both lists keep their room from one read to the next.
    starting_.clear();
    starting_.swap(ready_);
    for (const std::int32_t id : starting_) {
      Http2Stream* stream = find(id);
      // A stream reset in the same read (a rapid reset) starts nothing.
      if (stream == nullptr || stream->exchange_ == nullptr || stream->closed_) continue;
      if (stream->answer_) {
        const std::unique_ptr<StaticAnswer> answer = std::move(stream->answer_);
        answer->send(*stream->exchange_);
      } else {
        events_.start(static_cast<std::uint32_t>(id));
      }
      if (lost_) return;
    }
    for (const std::int32_t id : std::exchange(sessions_ready_, {})) {
      if (find(id) != nullptr) events_.start_websocket(static_cast<std::uint32_t>(id));
      if (lost_) return;
    }
    for (const std::int32_t id : std::exchange(frames_ready_, {})) {
      Http2Stream* stream = find(id);
      if (stream == nullptr) continue;
      stream->frames_due_ = false;
      events_.frames(static_cast<std::uint32_t>(id));
      if (lost_) return;
    }
  }
  flush();
}

SessionTransport* Http2Session::session_stream(std::uint32_t stream) noexcept {
  Http2Stream* found = find(static_cast<std::int32_t>(stream));
  return found != nullptr && found->engine_ && !found->closed_ ? found : nullptr;
}

void Http2Session::drained() {
  if (lost_) return;
  closed_.clear();
  flush();
}

void Http2Session::shutdown() {
  if (ended_ || lost_) return;
  ended_ = true;
  nghttp2_submit_goaway(session_, NGHTTP2_FLAG_NONE, nghttp2_session_get_last_proc_stream_id(session_),
                        NGHTTP2_NO_ERROR, nullptr, 0);
  if (!handling_) flush();
}

void Http2Session::lost() {
  if (lost_) return;
  lost_ = ended_ = true;
  // Kept until the session goes: a stream's own call may be under way.
  for (auto& [id, stream] : streams_) {
    release(*stream, Release::closed);
    closed_.push_back(std::move(stream));
  }
  streams_.clear();
}

void Http2Session::wrote(Http2Stream&) {
  if (!handling_) flush();
}

void Http2Session::flush() {
  if (flushing_ || lost_) return;
  flushing_ = true;
  {
    struct Reset {
      bool& flag;
      ~Reset() { flag = false; }
    } reset{flushing_};
    // Frames are gathered into writes of up to write_high bytes; once the
    // socket's queue holds that much, the rest waits for it to drain.
    const std::size_t high = loop_.settings().write_high;
    bool more = true;
    while (more && !connection_.gone() && connection_.output_.pending() <= high) {
      while (out_.size() < high) {
        const std::uint8_t* data = nullptr;
        const ssize_t size = nghttp2_session_mem_send(session_, &data);
        if (size < 0) {
          out_.clear();
          connection_.abort();
          return;
        }
        if (size == 0) {
          more = false;
          break;
        }
        out_.append(text_of(data, static_cast<std::size_t>(size)));
      }
      if (!out_.empty()) {
        const std::string_view bytes = out_;
        connection_.put(std::span<const std::string_view>(&bytes, 1));
        out_.clear();
      }
    }
  }
  if (lost_) return;
  settle();
  rethrow();
  if (nghttp2_session_want_read(session_) == 0 && nghttp2_session_want_write(session_) == 0) {
    // GOAWAY went out (ours or the library's) and no stream is left.
    connection_.close();
    return;
  }
  if (std::exchange(wake_writers_, false)) events_.writable();
  rearm();
}

void Http2Session::settle() {
  std::size_t kept = 0;  // those whose own write is still under way stay listed
  for (const std::int32_t id : closing_) {
    const auto found = streams_.find(id);
    if (found == streams_.end()) continue;
    if (found->second->writing_) {
      closing_[kept++] = id;
      continue;
    }
    std::unique_ptr<Http2Stream> stream = std::move(found->second);
    streams_.erase(found);
    release(*stream, Release::closed);
    closed_.push_back(std::move(stream));
  }
  closing_.resize(kept);
}

Phase Http2Session::waiting_for() const noexcept {
  if (streams_.empty()) return Phase::idle;
  bool head = false;
  for (const auto& [id, stream] : streams_) {
    if (stream->engine_ || stream->closed_) return Phase::busy;  // a session keeps its own time
    if (const Exchange* exchange = stream->exchange_) {
      // The app's turn, unless the client owes the body it is free to send.
      if (exchange->body_complete() || stream->paused_) return Phase::busy;
    } else if (!stream->data_pending_) {
      head = true;  // its head is not complete yet
    } else if (stream->queued_ == 0 || nghttp2_session_get_stream_remote_window_size(session_, id) > 0) {
      return Phase::busy;  // the rest of its answer is on its way
    }  // else the rest of its answer waits for the client's window
  }
  return head ? Phase::head : Phase::body;
}

void Http2Session::rearm(bool progress) {
  if (lost_ || connection_.gone()) return;
  // The connection's one deadline: idle without streams, and while every
  // stream waits for the client (a head, a body, a window), the time it has.
  const Phase phase = waiting_for();
  if (phase == connection_.phase_ && !(progress && phase != Phase::busy)) return;
  connection_.phase_ = phase;
  const ServerSettings& settings = loop_.settings();
  switch (phase) {
    case Phase::idle:
      connection_.arm(settings.keep_alive_timeout);
      break;
    case Phase::head:
      connection_.arm(settings.head_timeout);
      break;
    case Phase::body:
      connection_.arm(settings.body_timeout);
      break;
    case Phase::busy:
    case Phase::linger:
      break;
  }
}

void Http2Session::timed_out() {
  if (connection_.phase_ == Phase::idle) {
    shutdown();  // GOAWAY, then the close
    return;
  }
  // The client kept every stream waiting too long: the connection ends, and
  // the apps of its streams hear it.
  nghttp2_submit_goaway(session_, NGHTTP2_FLAG_NONE, nghttp2_session_get_last_proc_stream_id(session_),
                        NGHTTP2_NO_ERROR, nullptr, 0);
  ended_ = true;
  flush();
  connection_.close();
}

void Http2Session::release(Http2Stream& stream, Release how) {
  const auto id = static_cast<std::uint32_t>(stream.id_);
  if (Exchange* exchange = std::exchange(stream.exchange_, nullptr)) {
    if (how != Release::completed && !exchange->over()) {
      // Cut short: logged and counted once its head went out, as any other.
      if (exchange->head_sent()) {
        count_response(*exchange);
        events_.response_done(*exchange);
      }
      exchange->disconnect();
      wake_writers_ = true;  // a send waiting for room hears it too
    }
    if (exchange->release_slot()) loop_.give_back_slot();
    exchange->detach();
    events_.wake(id);
  }
  if (how != Release::closed) return;
  if (stream.switched_) ServerCounters::add(loop_.counters().websockets_closed, 1);
  events_.stream_closed(id);
}

void Http2Session::request(Http2Stream& stream) {
  const auto view = [&](const Http2Stream::Field& field) {
    return std::pair{std::string_view(stream.text_).substr(field.name_at, field.name_size),
                     std::string_view(stream.text_).substr(field.value_at, field.value_size)};
  };
  if (stream.too_large_) {
    refuse(stream, 431, kHeadersTooLarge);
    return;
  }
  const std::string_view method = view(stream.method_).second;
  const std::string_view path = view(stream.path_).second;
  const std::string_view authority = view(stream.authority_).second;
  // The head as HTTP/1.1 gives it: :authority as the Host line, first.
  std::vector<http::HeaderLine>& lines = lines_;
  lines.clear();
  http::HeadFacts facts;
  facts.keep_alive = true;
  facts.host_lines = 1;
  facts.host = authority;
  bool has_host = false;
  for (const Http2Stream::Field& field : stream.fields_) {
    const auto [name, value] = view(field);
    if (name == "host") {
      has_host = true;
      if (authority.empty()) facts.host = value;
    }
    if (name == "te" && common::contains_lowercase(value, "trailers")) facts.accepts_trailers = true;
    if (name == "content-length") {
      // nghttp2 holds the DATA to the length; the server holds the length to its limit.
      const auto length = http::parse_content_length(value);
      if (length && *length > loop_.settings().limits.max_body_size) {
        refuse(stream, 413, kBodyTooLarge);
        return;
      }
    }
  }
  if (!authority.empty() && !has_host) lines.push_back({"host", authority});
  for (const Http2Stream::Field& field : stream.fields_) {
    const auto [name, value] = view(field);
    lines.push_back({name, value});
  }
  if (!valid_host(facts.host)) {
    refuse(stream, 400, kBadHostValue);
    return;
  }
  const std::string_view protocol = view(stream.protocol_).second;
  const ServerSettings& settings = loop_.settings();
  const auto id = static_cast<std::uint32_t>(stream.id_);
  if (method == "CONNECT" && protocol == "websocket" && settings.websocket) {
    // RFC 8441: the stream carries a WebSocket session.
    const http::RequestEvent event{method, path, http::split_target(path), 0, lines, facts, true, true, 2};
    stream.engine_ = std::make_unique<http::Connection>(settings.limits);
    events_.websocket(event, id);
    sessions_ready_.push_back(stream.id_);
    return;
  }
  if (method == "CONNECT") {
    refuse(stream, 501, kNoTunnel);
    return;
  }
  if (!loop_.take_slot()) {
    refuse(stream, 503, kOverloaded);
    return;
  }
  const http::RequestEvent event{method, path, http::split_target(path), 0, lines,
                                 facts,  true, !stream.request_ended_,   2};
  if (settings.static_mounts)
    if (StaticAnswer planned = plan_static(*settings.static_mounts, method, event.target_parts.path, lines);
        planned.status != 0)
      stream.answer_ = std::make_unique<StaticAnswer>(std::move(planned));
  const RequestFacts request_facts{
      .keep_alive = true,
      .has_body = event.has_body,
      .head_method = method == "HEAD",
      .http10 = false,
      .expect_continue = event.has_body && expects_continue(lines),
      .holds_slot = loop_.limits_concurrency(),
      .server_answer = stream.answer_ != nullptr,
      .stream = id,
  };
  Exchange& exchange = stream.answer_ ? events_.native_request(event, id) : events_.request(event, id);
  exchange.begin(stream, request_facts, Clock::now());
  stream.exchange_ = &exchange;
  ready_.push_back(stream.id_);
}

bool Http2Session::response_fields(std::uint16_t status, std::span<const http::HeaderField> headers,
                                   std::int64_t length) {
  const bool head = status != 0;
  const ServerSettings& settings = loop_.settings();
  std::size_t room = 3 + 20;
  for (const http::HeaderField& field : headers) room += field.name.size();
  for (const auto& [name, value] : settings.headers) room += name.size();
  names_.clear();
  names_.reserve(room);  // the views below stay where they are
  const auto lowercase = [&](std::string_view name) {
    const std::size_t at = names_.size();
    names_.resize(at + name.size());
    http::copy_lowercase(name, names_.data() + at);
    return std::string_view(names_).substr(at, name.size());
  };
  fields_.clear();
  bool saw_length = false;
  bool saw_server = false;
  bool saw_date = false;
  if (head) {
    std::array<char, 3> digits{};
    std::to_chars(digits.data(), digits.data() + digits.size(), status % 1000);
    const std::size_t at = names_.size();
    names_.append(digits.data(), 3);
    fields_.push_back(name_value(":status", std::string_view(names_).substr(at, 3)));
  }
  const auto add = [&](std::string_view given_name, std::string_view value) {
    if (given_name.empty() || breaks_field(given_name) || breaks_field(value)) return false;
    const std::string_view name = lowercase(given_name);
    if (connection_specific(name) || name.starts_with(':')) return true;
    saw_length = saw_length || name == "content-length";
    saw_server = saw_server || name == "server";
    saw_date = saw_date || name == "date";
    fields_.push_back(name_value(name, value));
    return true;
  };
  for (const http::HeaderField& field : headers)
    if (!add(field.name, field.value)) return false;
  if (!head) return true;  // trailer fields: the app's alone
  for (const auto& [name, value] : settings.headers)
    if (!add(name, value)) return false;
  std::array<char, 20> length_text{};
  if (length >= 0 && !saw_length) {
    const auto end = std::to_chars(length_text.data(), length_text.data() + length_text.size(), length).ptr;
    const std::size_t at = names_.size();
    names_.append(length_text.data(), end);
    fields_.push_back(name_value("content-length", std::string_view(names_).substr(at)));
  }
  if (!saw_server && !settings.server_line.empty()) {
    const auto [name, value] = split_line(settings.server_line);
    fields_.push_back(name_value("server", value));
  }
  if (!saw_date && settings.date) {
    const auto [name, value] = split_line(loop_.date());
    if (!value.empty()) fields_.push_back(name_value("date", value));
  }
  return true;
}

void Http2Session::body_too_large(Http2Stream& stream) {
  // Its app hears a disconnect; the client hears 413 if nothing of the
  // answer went out yet, else the stream's reset.
  release(stream, Release::cut_short);
  if (stream.data_pending_) {
    nghttp2_submit_rst_stream(session_, NGHTTP2_FLAG_NONE, stream.id_, NGHTTP2_INTERNAL_ERROR);
  } else {
    refuse(stream, 413, kBodyTooLarge);
  }
}

void Http2Session::refuse(Http2Stream& stream, std::uint16_t status, std::string_view text) {
  if (!response_fields(status, kTextHeaders, static_cast<std::int64_t>(text.size()))) return;
  stream.queue(text, {}, false);
  nghttp2_data_provider provider{};
  provider.source.ptr = &stream;
  provider.read_callback = Callbacks::read_data;
  nghttp2_submit_response(session_, stream.id_, fields_.data(), fields_.size(), &provider);
  stream.data_pending_ = true;
}

bool Http2Session::submit_trailers(Http2Stream& stream) {
  std::vector<http::HeaderField> fields;
  fields.reserve(stream.trailers_.size());
  for (const auto& [name, value] : stream.trailers_) fields.push_back({name, value});
  stream.trailers_ready_ = false;
  if (!response_fields(0, fields, -1)) return false;
  return nghttp2_submit_trailer(session_, stream.id_, fields_.data(), fields_.size()) == 0;
}

// --- a stream, as its exchange's protocol ------------------------------------------------------

namespace {

// Marks a stream's own call, so that its close waits until the call is over.
struct Writing {
  explicit Writing(bool& flag) noexcept : flag_(flag), outer_(std::exchange(flag, true)) {}
  Writing(const Writing&) = delete;
  Writing& operator=(const Writing&) = delete;
  ~Writing() { flag_ = outer_; }
  bool& flag_;
  bool outer_;
};

}  // namespace

bool Http2Stream::output_full() const noexcept {
  return queued_ > session_.loop_.settings().write_high || session_.connection_.write_paused();
}

SendResult Http2Stream::submit_head(Exchange& exchange, std::span<const http::HeaderField> headers,
                                    std::uint64_t length, bool ends) {
  const std::uint16_t status = exchange.status();
  const bool no_body = status < 200 || status == 204 || status == 304;
  const std::int64_t announced = no_body || ends ? static_cast<std::int64_t>(length) : -1;
  if (!session_.response_fields(status, headers, no_body ? -1 : announced)) return SendResult::bad_header;
  const bool discarded = no_body || exchange.request().head_method;
  if (discarded || (ends && length == 0)) {
    nghttp2_submit_response(session_.session_, id_, session_.fields_.data(), session_.fields_.size(), nullptr);
    exchange.set_framing(discarded ? BodyMode::discarded : BodyMode::framed, true, 0);
    return SendResult::done;
  }
  trailers_follow_ = exchange.trailers_announced();
  nghttp2_data_provider provider{};
  provider.source.ptr = this;
  provider.read_callback = Http2Session::Callbacks::read_data;
  nghttp2_submit_response(session_.session_, id_, session_.fields_.data(), session_.fields_.size(), &provider);
  data_pending_ = true;
  exchange.set_framing(BodyMode::framed, true, 0);
  return SendResult::done;
}

SendResult Http2Stream::write_head(Exchange& exchange, std::span<const http::HeaderField> headers,
                                   std::string_view body, bool more_body) {
  const Writing writing(writing_);
  if (closed_ || session_.lost_) return SendResult::gone;
  const bool ends = !more_body && !exchange.trailers_announced();
  const SendResult result = submit_head(exchange, headers, body.size(), ends);
  if (result != SendResult::done) return result;
  if (exchange.mode() == BodyMode::discarded || (ends && body.empty())) {
    exchange.add_sent(body.size());
    session_.wrote(*this);
    return SendResult::done;
  }
  return write_body(exchange, body, more_body);
}

SendResult Http2Stream::write_body(Exchange& exchange, std::string_view body, bool more_body) {
  const Writing writing(writing_);
  if (closed_ || session_.lost_) return SendResult::gone;
  exchange.add_sent(body.size());
  if (exchange.mode() != BodyMode::discarded) queue(body, {}, more_body);
  session_.wrote(*this);
  return SendResult::done;
}

SendResult Http2Stream::write_file(Exchange& exchange, std::span<const http::HeaderField> headers, FileSlice file,
                                   bool more_body) {
  const Writing writing(writing_);
  if (closed_ || session_.lost_) return SendResult::gone;
  const std::uint64_t count = file.count();
  if (exchange.phase() == ResponsePhase::head_pending) {
    const bool ends = !more_body && !exchange.trailers_announced();
    const SendResult result = submit_head(exchange, headers, count, ends);
    if (result != SendResult::done) return result;
  }
  exchange.add_sent(count);
  if (exchange.mode() != BodyMode::discarded && data_pending_) queue({}, std::move(file), more_body);
  session_.wrote(*this);
  return SendResult::done;
}

SendResult Http2Stream::write_interim(Exchange&, std::uint16_t status, std::span<const http::HeaderField> fields) {
  const Writing writing(writing_);
  if (closed_ || session_.lost_) return SendResult::gone;
  if (!session_.response_fields(status, fields, -1)) return SendResult::bad_header;
  nghttp2_submit_headers(session_.session_, NGHTTP2_FLAG_NONE, id_, nullptr, session_.fields_.data(),
                         session_.fields_.size(), nullptr);
  session_.wrote(*this);
  return SendResult::done;
}

SendResult Http2Stream::write_trailers(Exchange& exchange, std::span<const http::HeaderField> fields,
                                       bool more_trailers) {
  const Writing writing(writing_);
  if (closed_ || session_.lost_) return SendResult::gone;
  for (const http::HeaderField& field : fields)
    if (field.name.empty() || breaks_field(field.name) || breaks_field(field.value)) return SendResult::bad_header;
  // A body without DATA (HEAD, no-body statuses) carries no trailers.
  if (exchange.mode() == BodyMode::discarded || !data_pending_) return SendResult::done;
  for (const http::HeaderField& field : fields) trailers_.emplace_back(field.name, field.value);
  if (more_trailers) return SendResult::done;
  trailers_ready_ = true;
  // Once the DATA is all out they go at once; else with the DATA's end.
  if (data_done_ && !session_.submit_trailers(*this)) return SendResult::bad_header;
  if (deferred_) {
    deferred_ = false;
    nghttp2_session_resume_data(session_.session_, id_);
  }
  session_.wrote(*this);
  return SendResult::done;
}

void Http2Stream::response_complete(Exchange& exchange) {
  session_.count_response(exchange);
  session_.events_.response_done(exchange);
  // Its frames may still be queued: the stream stays until nghttp2 closes it.
  session_.release(*this, Http2Session::Release::completed);
  session_.settle();
}

void Http2Stream::answer_failure(Exchange& exchange) { exchange.body(kTextHeaders, kServerError, false); }

void Http2Stream::cut_short(Exchange& /*exchange*/) {
  if (session_.lost_) return;
  session_.release(*this, Http2Session::Release::cut_short);
  nghttp2_submit_rst_stream(session_.session_, NGHTTP2_FLAG_NONE, id_, NGHTTP2_INTERNAL_ERROR);
  session_.wrote(*this);
}

void Http2Stream::want_body(Exchange& exchange) {
  const Writing writing(writing_);
  if (session_.lost_ || closed_) return;
  if (exchange.continue_pending()) {
    exchange.continue_sent();
    if (!exchange.head_sent() && session_.response_fields(100, {}, -1))
      nghttp2_submit_headers(session_.session_, NGHTTP2_FLAG_NONE, id_, nullptr, session_.fields_.data(),
                             session_.fields_.size(), nullptr);
  }
  paused_ = false;
  consume(std::exchange(unconsumed_, 0));
  session_.wrote(*this);
}

void Http2Stream::body_waiting(Exchange&, std::size_t waiting) {
  paused_ = waiting > session_.loop_.settings().read_buffer_limit;
}

void Http2Stream::consume(std::size_t bytes) {
  if (paused_) {
    unconsumed_ += bytes;
    return;
  }
  if (bytes != 0) nghttp2_session_consume(session_.session_, id_, bytes);
}

void Http2Stream::queue(std::string_view bytes, FileSlice file, bool more_body) {
  const std::size_t size = bytes.size() + file.count();
  if (size != 0) {
    if (front_ == pieces_.size()) {
      pieces_.clear();
      front_ = 0;
    }
    Piece& piece = pieces_.emplace_back();
    piece.bytes.assign(bytes);
    piece.file = std::move(file);
    queued_ += size;
  }
  if (!more_body) body_ended_ = true;
  if (deferred_ && (size != 0 || body_ended_)) {
    deferred_ = false;
    nghttp2_session_resume_data(session_.session_, id_);
  }
}

std::ptrdiff_t Http2Stream::read(std::span<std::uint8_t> out, bool& eof) {
  const std::size_t low = session_.loop_.settings().write_low;
  // A writer that found the queue full waits for it to fall below the low mark.
  const bool above_low = queued_ >= low;
  std::size_t filled = 0;
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): the frame's bytes as text
  auto* const into = reinterpret_cast<char*>(out.data());
  while (filled < out.size() && front_ < pieces_.size()) {
    Piece& piece = pieces_[front_];
    const std::size_t room = out.size() - filled;
    std::size_t got = 0;
    if (piece.file.open()) {
      const std::ptrdiff_t read = piece.file.read_into(into + filled, room);
      if (read < 0) return -1;
      got = static_cast<std::size_t>(read);
      if (piece.file.count() == 0) {
        piece = Piece{};
        ++front_;
      }
    } else {
      got = std::min(room, piece.bytes.size() - piece.taken);
      std::memcpy(into + filled, piece.bytes.data() + piece.taken, got);
      piece.taken += got;
      if (piece.taken == piece.bytes.size()) {
        piece = Piece{};
        ++front_;
      }
    }
    filled += got;
    queued_ -= got;
  }
  eof = front_ == pieces_.size() && body_ended_;
  if (above_low && queued_ < low) session_.wake_writers_ = true;
  return static_cast<std::ptrdiff_t>(filled);
}

// --- a stream, as a WebSocket session's transport ------------------------------------------------

SendResult Http2Stream::write_response(std::uint16_t status, std::span<const http::HeaderField> headers,
                                       std::string_view body, bool more_body, bool no_body, bool& chunked) {
  chunked = false;
  if (gone() || data_pending_) return SendResult::gone;
  const bool accepted = status == 101;
  const std::uint16_t sent_status = accepted ? 200 : status;
  const bool ends = !accepted && !more_body;
  if (!session_.response_fields(sent_status, headers, ends && !no_body ? static_cast<std::int64_t>(body.size()) : -1))
    return SendResult::bad_header;
  if (!no_body) queue(body, {}, !ends);
  if (no_body && ends) body_ended_ = true;
  nghttp2_data_provider provider{};
  provider.source.ptr = this;
  provider.read_callback = Http2Session::Callbacks::read_data;
  nghttp2_submit_response(session_.session_, id_, session_.fields_.data(), session_.fields_.size(), &provider);
  data_pending_ = true;
  session_.wrote(*this);
  return SendResult::done;
}

void Http2Stream::write(std::span<const std::string_view> parts) {
  if (gone() || !data_pending_) return;
  for (const std::string_view part : parts) queue(part, {}, true);
  session_.wrote(*this);
}

void Http2Stream::close() {
  if (closed_ || session_.lost_ || body_ended_) return;
  if (!data_pending_) {
    abort();
    return;
  }
  queue({}, {}, false);
  session_.wrote(*this);
}

void Http2Stream::abort() {
  if (closed_ || session_.lost_) return;
  body_ended_ = true;
  nghttp2_submit_rst_stream(session_.session_, NGHTTP2_FLAG_NONE, id_, NGHTTP2_CANCEL);
  session_.wrote(*this);
}

void Http2Stream::pause_reading() { paused_ = true; }

void Http2Stream::resume_reading() {
  if (!paused_) return;
  paused_ = false;
  consume(std::exchange(unconsumed_, 0));
  session_.wrote(*this);
}

void Http2Stream::switch_to_websocket() {
  if (!switched_) ServerCounters::add(session_.loop_.counters().websockets_opened, 1);
  switched_ = true;
  engine_->enter_websocket_mode();
}

bool Http2Stream::gone() const noexcept {
  return closed_ || body_ended_ || session_.lost_ || session_.connection_.gone();
}

}  // namespace tessaryne::server
