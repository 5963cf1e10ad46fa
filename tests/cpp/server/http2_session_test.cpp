#include "core/server/http2_session.hpp"
#include "server/served_harness.hpp"

#include <gtest/gtest.h>
#include <nghttp2/nghttp2.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <random>
#include <ranges>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace tessaryne::server {
namespace {

using namespace std::chrono_literals;
using Fields = std::vector<std::pair<std::string, std::string>>;

// An application that records each stream's request, holds its body until it
// takes it (as the binding's receive does) and answers as the test says.
struct App final : ConnectionEvents {
  struct Request {
    Exchange exchange;
    std::string method, target, unread, taken;
    Fields headers;
    bool started = false;
    bool answered = false;
    int closed = 0;  // stream_closed calls
  };
  ServedConnection* connection = nullptr;
  std::map<std::uint32_t, Request> requests;
  bool takes = true;                     // takes the body as it comes
  std::function<void(Request&)> answer;  // once the body is taken whole; none: the test answers
  int writable_calls = 0;
  int ended_calls = 0;

  Exchange& request(const http::RequestEvent& event, std::uint32_t stream) override {
    Request& request = requests[stream];
    request.method = event.method;
    request.target = event.target;
    for (const http::HeaderLine& line : event.headers) request.headers.emplace_back(line.name, line.value);
    return request.exchange;
  }
  Exchange& native_request(const http::RequestEvent& event, std::uint32_t stream) override {
    return request(event, stream);
  }
  void body(std::uint32_t stream, std::string_view data, bool) override {
    Request& request = requests.at(stream);
    request.unread += data;
    request.exchange.body_waiting(request.unread.size());
  }
  void start(std::uint32_t stream) override { requests.at(stream).started = true; }
  void stream_closed(std::uint32_t stream) override {
    if (const auto found = requests.find(stream); found != requests.end()) ++found->second.closed;
  }
  void writable() override { ++writable_calls; }
  void ended() override { ++ended_calls; }
  void wake(std::uint32_t) override {}
  void response_done(const Exchange&) override {}
  void websocket(const http::RequestEvent&, std::uint32_t) override {}
  void start_websocket(std::uint32_t) override {}
  void frames(std::uint32_t) override {}

  void served() {
    for (auto& [id, request] : requests) {
      Exchange& exchange = request.exchange;
      if (takes && request.started && !exchange.body_delivered() &&
          (!request.unread.empty() || exchange.body_complete())) {
        request.taken += std::exchange(request.unread, {});
        exchange.body_taken();
      }
      if (answer && exchange.body_delivered() && exchange.attached() && !std::exchange(request.answered, true))
        answer(request);
    }
  }
};

nghttp2_nv name_value(const std::pair<std::string, std::string>& field) {
  // NOLINTBEGIN(cppcoreguidelines-pro-type-const-cast,cppcoreguidelines-pro-type-reinterpret-cast)
  return {reinterpret_cast<std::uint8_t*>(const_cast<char*>(field.first.data())),
          reinterpret_cast<std::uint8_t*>(const_cast<char*>(field.second.data())), field.first.size(),
          field.second.size(), NGHTTP2_NV_FLAG_NO_COPY_NAME | NGHTTP2_NV_FLAG_NO_COPY_VALUE};
  // NOLINTEND(cppcoreguidelines-pro-type-const-cast,cppcoreguidelines-pro-type-reinterpret-cast)
}

std::string text(const std::uint8_t* data, std::size_t size) { return {reinterpret_cast<const char*>(data), size}; }

// libnghttp2's client: what it writes is gathered for the test to send, and
// what the server wrote is fed to it. It consumes DATA (opening its windows)
// unless it holds it.
struct Client {
  struct Stream {
    std::string status, body, upload;
    Fields headers, trailers;
    std::uint8_t ended_by = 0xff;  // the type of the frame with END_STREAM
    std::uint32_t reset = ~0U;     // RST_STREAM's code
    int window_updates = 0;
    std::size_t sent = 0, held = 0;
    bool more = false;  // the upload goes on past what it holds
    [[nodiscard]] bool ended() const { return ended_by != 0xff || reset != ~0U; }
  };

  static int on_header(nghttp2_session*, const nghttp2_frame* frame, const std::uint8_t* name, std::size_t name_size,
                       const std::uint8_t* value, std::size_t value_size, std::uint8_t, void* user) {
    Stream& stream = static_cast<Client*>(user)->streams[frame->hd.stream_id];
    std::pair field{text(name, name_size), text(value, value_size)};
    if (field.first == ":status") {
      stream.status = field.second;
    } else {
      (frame->headers.cat == NGHTTP2_HCAT_HEADERS ? stream.trailers : stream.headers).push_back(field);
    }
    return 0;
  }
  static int on_frame(nghttp2_session*, const nghttp2_frame* frame, void* user) {
    auto& client = *static_cast<Client*>(user);
    client.goaway = client.goaway || frame->hd.type == NGHTTP2_GOAWAY;
    if (frame->hd.stream_id == 0) return 0;
    Stream& stream = client.streams[frame->hd.stream_id];
    if ((frame->hd.flags & NGHTTP2_FLAG_END_STREAM) != 0) stream.ended_by = frame->hd.type;
    if (frame->hd.type == NGHTTP2_RST_STREAM) stream.reset = frame->rst_stream.error_code;
    if (frame->hd.type == NGHTTP2_WINDOW_UPDATE) ++stream.window_updates;
    return 0;
  }
  static int on_data(nghttp2_session* session, std::uint8_t, std::int32_t id, const std::uint8_t* data,
                     std::size_t size, void* user) {
    auto& client = *static_cast<Client*>(user);
    Stream& stream = client.streams[id];
    stream.body += text(data, size);
    if (client.hold) {
      stream.held += size;
    } else {
      nghttp2_session_consume(session, id, size);
    }
    return 0;
  }
  static ssize_t upload(nghttp2_session*, std::int32_t id, std::uint8_t* buffer, std::size_t length,
                        std::uint32_t* flags, nghttp2_data_source*, void* user) {
    Stream& stream = static_cast<Client*>(user)->streams[id];
    const std::size_t count = std::min({length, kPiece, stream.upload.size() - stream.sent});
    if (count == 0 && stream.more) return NGHTTP2_ERR_DEFERRED;
    std::memcpy(buffer, stream.upload.data() + stream.sent, count);
    stream.sent += count;
    if (stream.sent == stream.upload.size() && !stream.more) *flags |= NGHTTP2_DATA_FLAG_EOF;
    return static_cast<ssize_t>(count);
  }

  explicit Client(std::uint32_t window = NGHTTP2_INITIAL_WINDOW_SIZE) {
    nghttp2_session_callbacks* callbacks = nullptr;
    nghttp2_session_callbacks_new(&callbacks);
    nghttp2_session_callbacks_set_on_header_callback(callbacks, on_header);
    nghttp2_session_callbacks_set_on_frame_recv_callback(callbacks, on_frame);
    nghttp2_session_callbacks_set_on_data_chunk_recv_callback(callbacks, on_data);
    nghttp2_option* option = nullptr;
    nghttp2_option_new(&option);
    nghttp2_option_set_no_auto_window_update(option, 1);
    nghttp2_option_set_max_send_header_block_length(option, 1 << 20);  // room for a flood of CONTINUATION
    nghttp2_session_client_new2(&session, callbacks, this, option);
    nghttp2_option_del(option);
    nghttp2_session_callbacks_del(callbacks);
    const nghttp2_settings_entry entry{NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, window};
    nghttp2_submit_settings(session, NGHTTP2_FLAG_NONE, &entry, 1);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;
  ~Client() { nghttp2_session_del(session); }

  std::int32_t request(const std::string& method, const std::string& path, std::string upload = {}, bool more = false) {
    return submit({{":method", method}, {":scheme", "http"}, {":authority", "example.org"}, {":path", path}},
                  std::move(upload), more);
  }
  // A request of exactly these fields, valid or not: the library checks none
  // it sends, and given them uncopied it does not lowercase the names.
  std::int32_t submit(const Fields& fields, std::string upload = {}, bool more = false) {
    std::vector<nghttp2_nv> list;
    for (const auto& field : submitted.emplace_back(fields)) list.push_back(name_value(field));
    nghttp2_data_provider provider{};
    provider.read_callback = Client::upload;
    const bool body = !upload.empty() || more;
    const std::int32_t id =
        nghttp2_submit_request(session, nullptr, list.data(), list.size(), body ? &provider : nullptr, nullptr);
    streams[id].upload = std::move(upload);
    streams[id].more = more;
    return id;
  }
  std::string output() {
    std::string out;
    const std::uint8_t* data = nullptr;
    for (ssize_t size = 0; (size = nghttp2_session_mem_send(session, &data)) > 0;)
      out += text(data, static_cast<std::size_t>(size));
    return out;
  }
  void input(std::string_view bytes) {
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast)
    if (nghttp2_session_mem_recv(session, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()) < 0)
      failed = true;
  }
  // Consumes what it held: its windows open again.
  void release() {
    hold = false;
    for (auto& [id, stream] : streams) nghttp2_session_consume(session, id, std::exchange(stream.held, 0));
  }

  static constexpr std::size_t kPiece = 1000;  // most bytes of an upload per DATA frame
  nghttp2_session* session = nullptr;
  std::map<std::int32_t, Stream> streams;
  std::deque<Fields> submitted;  // until the session is gone
  bool hold = false;
  bool goaway = false;
  bool failed = false;
};

// The served connection and the client, the bytes of each passed to the other.
struct Pair {
  explicit Pair(ServerSettings settings = test::quick(), bool prior_knowledge = false,
                std::uint32_t window = NGHTTP2_INITIAL_WINDOW_SIZE)
      : served(std::move(settings), 0, !prior_knowledge), client(window) {}
  void round() {
    unsent += client.output();
    const ssize_t sent = ::send(served.client, unsent.data(), unsent.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) unsent.erase(0, static_cast<std::size_t>(sent));
    served.step();
    client.input(served.read_available());
  }
  template <class Done>
  void until(Done done, std::chrono::milliseconds time = 3000ms) {
    for (const auto end = Clock::now() + time; !done() && Clock::now() < end;) round();
  }
  void rounds(std::chrono::milliseconds time) {
    until([] { return false; }, time);
  }
  Pair(const Pair&) = delete;
  Pair& operator=(const Pair&) = delete;
  // Whatever the client sent, what the server wrote was HTTP/2 it could read.
  ~Pair() { EXPECT_FALSE(client.failed); }
  App& app() { return served.app; }

  test::Harness<App> served;
  Client client;
  std::string unsent;
};

std::string pattern(std::size_t size, std::size_t seed = 0) {
  std::string out(size, '\0');
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<char>('a' + (i * 7 + seed) % 26);
  return out;
}

// How an answer is given, and what the client sees of it.
enum class Kind : std::uint8_t { whole, trailers, no_content, cut_short };

void respond(Exchange& exchange, Kind kind, const std::string& body) {
  exchange.start(kind == Kind::no_content ? 204 : 200, kind == Kind::trailers);
  if (kind == Kind::cut_short) {
    exchange.body({}, body, true);
    exchange.app_returned();  // before its end
    EXPECT_EQ(exchange.phase(), ResponsePhase::cut_short);
    return;
  }
  if (kind == Kind::trailers) {
    const std::string_view half = std::string_view(body).substr(0, body.size() / 2);
    exchange.body({}, half, true);
    exchange.body({}, std::string_view(body).substr(half.size()), false);
    exchange.trailers({{{"grpc-status", "0"}}}, true);
    exchange.trailers({{{"x-length", std::to_string(body.size())}}}, false);
  } else {
    exchange.body({{{"X-App", "1"}}}, kind == Kind::whole ? body : "", false);
  }
  EXPECT_EQ(exchange.phase(), ResponsePhase::complete);
}

// Streams of one connection, their bytes (the preface's included) split in
// pieces of at most `most` (of random sizes with `at_random`), answered in
// the reverse order in every way: any split gives the same events, each
// stream gets its own answer with the server's and the added fields, nothing
// is lost and every stream closes once.
void serve_streams(std::size_t most, bool at_random) {
  SCOPED_TRACE(std::to_string(most) + (at_random ? " at random" : ""));
  constexpr int kStreams = 24;
  ServerSettings settings = test::quick();
  settings.headers = {{"x-added", "yes"}};
  Pair pair(settings, /*prior_knowledge=*/true);
  std::map<std::int32_t, std::string> uploads;
  for (int i = 0; i < kStreams; ++i) {
    const std::string upload = i % 2 == 0 ? "" : pattern(static_cast<std::size_t>(i) * 97, i);
    const std::string path = "/" + std::to_string(i) + "?q";
    uploads[pair.client.submit({{":method", upload.empty() ? "GET" : "POST"},
                                {":scheme", "http"},
                                {":authority", "example.org"},
                                {":path", path},
                                {"x-client", "1"}},
                               upload)] = upload;
  }
  std::mt19937 random(static_cast<std::uint32_t>(most));
  const std::string bytes = pair.client.output();
  for (std::size_t at = 0, piece = 0; at < bytes.size(); at += piece) {
    piece = at_random ? 1 + random() % most : most;
    pair.served.send(std::string_view(bytes).substr(at, piece));
    pair.served.step();
  }
  const auto all_taken = [&] {
    return pair.app().requests.size() == kStreams && std::ranges::all_of(pair.app().requests, [](const auto& entry) {
             return entry.second.exchange.body_delivered();
           });
  };
  pair.until(all_taken);
  ASSERT_TRUE(all_taken());
  const auto kind_of = [](std::int32_t id) { return static_cast<Kind>(id % 4); };
  const auto body_of = [&](std::int32_t id) {
    return uploads[id] + pattern(static_cast<std::size_t>(id) * 1701 % 40000);
  };
  for (auto& [stream, request] : std::ranges::reverse_view(pair.app().requests)) {
    const auto id = static_cast<std::int32_t>(stream);
    EXPECT_EQ(request.method + " " + request.target,
              (uploads[id].empty() ? "GET /" : "POST /") + std::to_string(id / 2) + "?q");
    EXPECT_EQ(request.headers, (Fields{{"host", "example.org"}, {"x-client", "1"}}));
    EXPECT_TRUE(request.taken == uploads[id]) << id;
    respond(request.exchange, kind_of(id), body_of(id));
  }
  pair.until([&] {
    return std::ranges::all_of(pair.app().requests, [](const auto& entry) { return entry.second.closed != 0; });
  });
  for (const auto& [id, upload] : uploads) {
    const Client::Stream& stream = pair.client.streams[id];
    const Kind kind = kind_of(id);
    const std::string body = body_of(id);
    EXPECT_EQ(pair.app().requests[static_cast<std::uint32_t>(id)].closed, 1) << id;
    if (kind == Kind::cut_short) {
      EXPECT_EQ(stream.reset, NGHTTP2_INTERNAL_ERROR) << id;
      continue;
    }
    EXPECT_EQ(stream.status, kind == Kind::no_content ? "204" : "200") << id;
    EXPECT_TRUE(stream.body == (kind == Kind::no_content ? "" : body)) << id;
    EXPECT_EQ(stream.ended_by, kind == Kind::whole ? NGHTTP2_DATA : NGHTTP2_HEADERS) << id;
    const Fields trailers{{"grpc-status", "0"}, {"x-length", std::to_string(body.size())}};
    EXPECT_EQ(stream.trailers, kind == Kind::trailers ? trailers : Fields{}) << id;
    Fields headers = stream.headers;
    for (auto& [name, value] : headers) value = name == "date" ? "*" : value;
    std::ranges::sort(headers);
    if (kind == Kind::whole) {
      const Fields expected{{"content-length", std::to_string(body.size())},
                            {"date", "*"},
                            {"server", "t"},
                            {"x-added", "yes"},
                            {"x-app", "1"}};
      EXPECT_EQ(headers, expected) << id;
    }
  }
  EXPECT_EQ(pair.app().ended_calls, 0);
}

TEST(Http2Session, StreamsInAnySplitAnsweredOutOfOrderGetTheirOwn) {
  for (const auto& [most, at_random] :
       std::vector<std::pair<std::size_t, bool>>{{1 << 20, false}, {1, false}, {7, false}, {16, true}, {700, true}})
    serve_streams(most, at_random);
  // Loops on two threads at once share nothing (run under ThreadSanitizer too).
  std::thread other(serve_streams, 1 << 20, false);
  serve_streams(100, true);
  other.join();
}

// The request's window follows what the app takes: past read_buffer_limit
// unread the client gets no WINDOW_UPDATE for it, until the app takes it.
TEST(Http2Session, TheRequestWindowFollowsWhatTheAppTakes) {
  ServerSettings settings = test::quick();
  settings.read_buffer_limit = 16384;  // the stream's window too
  Pair pair(settings);
  pair.app().takes = false;
  const std::string upload = pattern(256 << 10);
  pair.rounds(20ms);  // the client knows the server's window before it sends
  const std::int32_t id = pair.client.request("POST", "/", upload);
  pair.rounds(200ms);
  App::Request& request = pair.app().requests[1];
  const std::size_t held = request.unread.size();
  EXPECT_GT(held, settings.read_buffer_limit);
  EXPECT_LE(held, 2 * settings.read_buffer_limit);  // the limit, and at most one window more
  const int updates = pair.client.streams[id].window_updates;
  pair.rounds(100ms);
  EXPECT_EQ(pair.client.streams[id].window_updates, updates);
  EXPECT_EQ(request.unread.size(), held);
  pair.app().takes = true;
  pair.until([&] { return request.exchange.body_delivered(); });
  EXPECT_TRUE(request.taken == upload);
  EXPECT_GT(pair.client.streams[id].window_updates, updates);
}

TEST(Http2Session, TheClientsCloseEndsEveryOpenExchange) {
  Pair pair;
  pair.client.request("POST", "/body-pending", "part", /*more=*/true);
  const std::int32_t answering = pair.client.request("GET", "/answer-pending");
  pair.client.request("GET", "/unanswered");
  pair.until([&] { return pair.app().requests.size() == 3 && pair.app().requests[1].taken == "part"; });
  Exchange& started = pair.app().requests[3].exchange;
  started.start(200, false);
  started.body({}, "head and some", true);
  pair.until([&] { return !pair.client.streams[answering].body.empty(); });
  ::close(pair.served.client);
  pair.served.client = ::dup(2);  // keeps the harness's close harmless
  pair.served.serve_until([&] { return pair.app().ended_calls != 0; });
  pair.served.serve_for(20ms);
  EXPECT_EQ(pair.app().ended_calls, 1);
  for (auto& [id, request] : pair.app().requests) {
    EXPECT_TRUE(request.exchange.disconnected()) << id;
    EXPECT_FALSE(request.exchange.attached()) << id;
    EXPECT_EQ(request.closed, 1) << id;
    EXPECT_EQ(request.exchange.next_receive(false), ReceiveStep::disconnect) << id;
  }
  EXPECT_EQ(started.body({}, "more", false), SendResult::gone);
}

}  // namespace
}  // namespace tessaryne::server
