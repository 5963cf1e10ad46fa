#pragma once
// HTTP/2 on a served connection. libnghttp2 does the protocol: framing,
// HPACK, flow control, stream states, the checks of pseudo-headers and of
// connection-specific fields, and its bounds on floods (resets, SETTINGS,
// PING, CONTINUATION). This is the server around it: each request stream is
// an Exchange as each HTTP/1.1 request is, and its Http2Stream is the
// exchange's protocol; the connection's events carry the stream's number.
//
// Stream windows follow what the application takes: a stream's DATA is
// acknowledged (WINDOW_UPDATE) as it arrives, until the app holds more than
// the read buffer's limit unread; then the client must wait. A response's
// pieces queue in their stream until the stream's window and the socket take
// them; past `write_high` queued bytes the app's send waits.
//
// nghttp2 calls back from inside its own C frames: no exception may cross
// them, so a callback keeps the first one and the session rethrows it once
// the library has returned. Stream closes found while a write is under way
// (its END_STREAM went out) are settled after it, so that an exchange never
// loses its protocol in the middle of its own call.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <nghttp2/nghttp2.h>

#include "core/http/connection.hpp"
#include "core/server/deadlines.hpp"
#include "core/server/exchange.hpp"
#include "core/server/file_slice.hpp"
#include "core/server/session_transport.hpp"
#include "core/server/static_files.hpp"

namespace tessaryne::server {

class ServedConnection;
class ConnectionEvents;
class ServerLoop;
class Http2Session;

// The first bytes of every HTTP/2 connection (RFC 9113, section 3.4).
inline constexpr std::string_view kHttp2Preface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";

class Http2Stream final : public Protocol, public SessionTransport {
 public:
  Http2Stream(Http2Session& session, std::int32_t id) : session_(session), id_(id) {}

  // --- Protocol ---------------------------------------------------------------
  SendResult write_head(Exchange& exchange, std::span<const http::HeaderField> headers, std::string_view body,
                        bool more_body) override;
  SendResult write_body(Exchange& exchange, std::string_view body, bool more_body) override;
  SendResult write_file(Exchange& exchange, std::span<const http::HeaderField> headers, FileSlice file,
                        bool more_body) override;
  SendResult write_interim(Exchange& exchange, std::uint16_t status,
                           std::span<const http::HeaderField> fields) override;
  SendResult write_trailers(Exchange& exchange, std::span<const http::HeaderField> fields, bool more_trailers) override;
  void response_complete(Exchange& exchange) override;
  void answer_failure(Exchange& exchange) override;
  void cut_short(Exchange& exchange) override;
  void want_body(Exchange& exchange) override;
  void body_waiting(Exchange& exchange, std::size_t waiting) override;
  [[nodiscard]] bool output_full() const noexcept override;

  // --- SessionTransport: a WebSocket session's stream (RFC 8441) -----------------
  // 101, the switch, is the 200 that accepts the CONNECT; a denial's body
  // and the session's frames go as DATA, never in chunks.
  SendResult write_response(std::uint16_t status, std::span<const http::HeaderField> headers, std::string_view body,
                            bool more_body, bool no_body, bool& chunked) override;
  void write(std::span<const std::string_view> parts) override;
  void close() override;  // END_STREAM after what is queued
  void abort() override;  // RST_STREAM
  void pause_reading() override;
  void resume_reading() override;
  void switch_to_websocket() override;
  [[nodiscard]] http::Connection& engine() noexcept override { return *engine_; }
  [[nodiscard]] bool gone() const noexcept override;
  [[nodiscard]] bool write_paused() const noexcept override { return output_full(); }
  [[nodiscard]] std::size_t pending_output() const noexcept override { return queued_; }

 private:
  friend class Http2Session;

  // A piece of the response's body waiting for the stream's window.
  struct Piece {
    std::string bytes;
    FileSlice file;  // read as the window opens, when open
    std::size_t taken = 0;
  };

  // The head: HEADERS, with DATA to follow unless `ends` (the response has no
  // body, or this is all of it and no trailers follow).
  SendResult submit_head(Exchange& exchange, std::span<const http::HeaderField> headers, std::uint64_t length,
                         bool ends);
  void queue(std::string_view bytes, FileSlice file, bool more_body);
  // Fills `out` from the queued pieces for a DATA frame; how many bytes, or -1 if a file failed.
  std::ptrdiff_t read(std::span<std::uint8_t> out, bool& eof);
  // Hands the app's consumption to the windows, unless it holds too much.
  void consume(std::size_t bytes);

  Http2Session& session_;
  std::int32_t id_;
  // The request, as the header block brings it: each field's name and value
  // in `text`, pseudo-headers apart.
  std::string text_;
  struct Field {
    std::uint32_t name_at, name_size, value_at, value_size;
  };
  std::vector<Field> fields_;
  Field method_{}, path_{}, authority_{}, protocol_{};
  std::size_t header_bytes_ = 0;
  std::uint64_t body_bytes_ = 0;  // of the request, so far
  bool too_large_ = false;
  bool request_ended_ = false;  // END_STREAM came with the head
  // The exchange serving it, until its response completes or the stream closes.
  Exchange* exchange_ = nullptr;
  std::vector<Piece> pieces_;  // from front_ on
  std::size_t front_ = 0;
  std::size_t queued_ = 0;                                     // bytes of pieces_ not yet framed
  bool body_ended_ = false;                                    // the last piece is queued
  bool trailers_follow_ = false;                               // the body's end is not the stream's
  bool deferred_ = false;                                      // the DATA source waits for pieces
  bool data_pending_ = false;                                  // HEADERS were submitted with a DATA source
  bool paused_ = false;                                        // the app holds too much unread: no window is given back
  std::size_t unconsumed_ = 0;                                 // DATA bytes not yet given back to the windows
  bool data_done_ = false;                                     // the DATA source reported the body's end
  std::vector<std::pair<std::string, std::string>> trailers_;  // gathered until the last
  bool trailers_ready_ = false;
  std::unique_ptr<StaticAnswer> answer_;  // a static mount's, for a stream no app serves
  bool closed_ = false;                   // nghttp2 closed it; settled once no write of its own runs
  bool writing_ = false;
  // A WebSocket session's: the engine of its frames, and whether the session switched.
  std::unique_ptr<http::Connection> engine_;
  bool switched_ = false;
  bool frames_due_ = false;  // DATA arrived for the engine in this input
};

class Http2Session {
 public:
  Http2Session(ServedConnection& connection, ServerLoop& loop, ConnectionEvents& events);
  Http2Session(const Http2Session&) = delete;
  Http2Session& operator=(const Http2Session&) = delete;
  ~Http2Session();

  // Bytes from the client.
  void received(std::string_view data);
  // The socket took output: frames held back may go.
  void drained();
  // Server shutdown, or the connection's idle time ran out: GOAWAY, and the
  // connection closes once the open streams have finished.
  void shutdown();
  // The connection is gone: every exchange still served hears it.
  void lost();
  // The connection's deadline passed in the phase rearm() gave it.
  void timed_out();
  // No stream is being served: the connection is idle.
  [[nodiscard]] bool idle() const noexcept { return streams_.empty(); }
  // The WebSocket session's stream `stream`, or null once it is over.
  [[nodiscard]] SessionTransport* session_stream(std::uint32_t stream) noexcept;

 private:
  friend class Http2Stream;
  struct Callbacks;

  // Writes what nghttp2 has to send, as far as the socket's queue takes it;
  // closes the connection once the session is over.
  void flush();
  // What a write asks for: frames now, or at the end of the input being handled.
  void wrote(Http2Stream& stream);
  // A stream's head is complete: it becomes an exchange, or is answered by the server.
  void request(Http2Stream& stream);
  // The body went past the limit of --limit-request-body.
  void body_too_large(Http2Stream& stream);
  // The server's own answer on a stream that no application serves.
  void refuse(Http2Stream& stream, std::uint16_t status, std::string_view text);
  // The stream is over for its exchange: its response is complete, it was cut
  // short, or nghttp2 closed the stream (what was not complete is cut short,
  // and the connection's events hear of the close).
  enum class Release : std::uint8_t { completed, cut_short, closed };
  void release(Http2Stream& stream, Release how);
  // Streams that nghttp2 closed, let go of now that no write of theirs runs.
  void settle();
  [[nodiscard]] Http2Stream* find(std::int32_t id) noexcept;
  // The server's and the added fields after `headers`, as name-value pairs for
  // nghttp2; false if a field cannot go out (CR, LF or NUL in it).
  bool response_fields(std::uint16_t status, std::span<const http::HeaderField> headers, std::int64_t length);
  // The trailer fields gathered for `stream`, as its last HEADERS.
  bool submit_trailers(Http2Stream& stream);
  // A response complete or cut short, for the metrics.
  void count_response(const Exchange& exchange) noexcept;
  void keep_error() noexcept;
  void rethrow();
  // The deadline that fits; `progress`: the client sent something, so a
  // deadline for it starts again.
  void rearm(bool progress = false);
  // What the connection waits for: idle, a head or a body from the client,
  // or nothing it owes (busy).
  [[nodiscard]] Phase waiting_for() const noexcept;

  ServedConnection& connection_;
  ServerLoop& loop_;
  ConnectionEvents& events_;
  nghttp2_session* session_ = nullptr;
  std::unordered_map<std::int32_t, std::unique_ptr<Http2Stream>> streams_;
  std::vector<std::unique_ptr<Http2Stream>> closed_;
  std::vector<std::int32_t> ready_;           // heads complete in this input, apps to start
  std::vector<std::int32_t> starting_;        // those being started
  std::vector<std::int32_t> closing_;         // closed by nghttp2, not yet settled
  std::vector<std::int32_t> sessions_ready_;  // WebSocket sessions to start after this input
  std::vector<std::int32_t> frames_ready_;    // sessions with frames from this input
  std::vector<http::HeaderLine> lines_;       // a request's head, as the events carry it
  std::string out_;                           // frames gathered for one write
  std::string names_;                         // lowercased names and status text for response_fields
  std::vector<nghttp2_nv> fields_;
  std::exception_ptr error_;
  bool handling_ = false;  // inside received(): frames go at its end
  bool flushing_ = false;
  bool wake_writers_ = false;  // a stream's queue fell below the low mark
  bool ended_ = false;         // GOAWAY sent or the connection lost
  bool lost_ = false;
};

}  // namespace tessaryne::server
