#pragma once
// One WSGI call: the application runs on a worker thread while its exchange
// belongs to the loop thread serving the connection. The call is the
// hand-over between them, under one mutex: the request's body travels to the
// worker, the response's pieces (its head, body bytes, a file, the end or a
// failure) to the loop. Only the worker ever waits; the loop never blocks.
//
// The worker queues a piece and the call is posted to its loop's Mailbox
// (once, until the loop pumps it); the loop applies the queued pieces to the
// exchange in order, as far as the connection's output takes them, and the
// rest wait in the queue for the output to drain. So the queue is the
// back-pressure: a worker that queued more than `write_high` bytes waits.
// The worker asks for the body (the first time, "100 Continue") when it must
// wait for bytes, and again when reading paused above `read_limit` can go on.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/server/exchange.hpp"
#include "core/server/file_slice.hpp"

namespace tessaryne::wsgi {

class Call;

// The code of a WSGI status ("200 OK": three digits, a space, a reason
// phrase; the phrase may be empty), or 0 for anything else.
std::uint16_t status_code(std::string_view status) noexcept;
// Whether a response header field can go out as it is: no CR or LF in it.
bool field_fits(std::string_view name, std::string_view value) noexcept;
// The length a Content-Length field among `fields` announces, or -1.
std::int64_t announced_length(std::span<const std::pair<std::string, std::string>> fields) noexcept;

// The calls of one loop with something for it, and the eventfd its poller
// watches: a post wakes the loop only when nothing was posted before it.
class Mailbox {
 public:
  Mailbox();  // throws std::system_error
  Mailbox(const Mailbox&) = delete;
  Mailbox& operator=(const Mailbox&) = delete;
  ~Mailbox();

  [[nodiscard]] int fd() const noexcept { return fd_; }
  // Any thread.
  void post(std::shared_ptr<Call> call);
  // The loop: everything posted, in order; the descriptor is read empty.
  std::vector<std::shared_ptr<Call>> take();

 private:
  std::mutex mutex_;
  std::vector<std::shared_ptr<Call>> posted_;
  int fd_ = -1;
};

// A piece of the response, as the worker queues it.
struct Piece {
  enum class Kind : std::uint8_t {
    head,  // status and fields; they go out with the first body piece
    body,
    file,
    end,   // the body is complete
    fail,  // the application raised: 500 if nothing went out, else the response is cut short
  };
  Kind kind = Kind::end;
  bool more_body = true;    // body, file: more of the body follows
  bool ends_short = false;  // file: it holds less than the response announced
  std::uint16_t status = 0;
  std::string data;
  std::vector<std::pair<std::string, std::string>> fields;
  server::FileSlice file;
};

enum class Take : std::uint8_t {
  done,  // what was asked for is in `out` (all there is, at the body's end)
  wait,  // more must arrive: wait_input(), then take again
  lost,  // the client went away before the body's end
};

class Call : public std::enable_shared_from_this<Call> {
 public:
  Call(std::shared_ptr<Mailbox> mailbox, std::uint64_t token, std::size_t read_limit, std::size_t write_high);

  // --- the loop thread ------------------------------------------------------
  // The request's exchange, which the pieces are applied to.
  [[nodiscard]] server::Exchange& exchange() noexcept { return exchange_; }
  [[nodiscard]] std::uint64_t token() const noexcept { return token_; }
  // The exchange began: the worker learns whether a body is still to come.
  void began();
  // Body bytes arrived; returns how many wait unread.
  std::size_t received(std::string_view data, bool more_body);
  // The exchange may have changed (a disconnect, the connection's end): the
  // worker looks again.
  void changed();
  // Applies what the worker queued, as far as the output takes it.
  void pump();

  // --- the worker thread ----------------------------------------------------
  // Moves body bytes into `out` until it holds `count` bytes, or up to and
  // including a line's end when `line`, or the body ends. `seen` is what
  // wait_input() waits to change.
  Take take(std::size_t count, bool line, std::string& out, std::uint64_t& seen);
  // Blocks until the input changed since `seen` (bytes, the end, the client gone).
  void wait_input(std::uint64_t seen);
  // Queues a piece: ok, full (wait_room() before the next) or lost.
  enum class Queued : std::uint8_t { ok, full, lost };
  Queued queue(Piece piece);
  // Blocks until no more than write_high bytes are queued, or the client is gone.
  void wait_room();
  [[nodiscard]] bool lost();

 private:
  void schedule(std::unique_lock<std::mutex>& lock);
  void apply(Piece& piece);
  void mark_lost();

  const std::shared_ptr<Mailbox> mailbox_;
  const std::uint64_t token_;
  const std::size_t read_limit_;
  const std::size_t write_high_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::string input_;            // body bytes not yet taken
  std::uint64_t input_seq_ = 0;  // counts what the worker may wait for
  bool body_done_ = false;
  bool lost_ = false;
  bool wants_body_ = false;  // the worker waits for bytes, or may take more again
  bool scheduled_ = false;   // posted, not yet pumped
  std::deque<Piece> queued_;
  std::size_t queued_bytes_ = 0;

  // The loop thread's alone.
  server::Exchange exchange_;
  std::vector<std::pair<std::string, std::string>> head_fields_;  // until the head goes out
  bool pumping_ = false;
  bool pump_again_ = false;
};

}  // namespace tessaryne::wsgi
