#include "core/wsgi/call.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <system_error>

#include "core/common/byte_scan.hpp"
#include "core/http/head_rules.hpp"

namespace tessaryne::wsgi {

std::uint16_t status_code(std::string_view status) noexcept {
  if (status.size() < 4 || status[3] != ' ') return 0;
  std::uint16_t code = 0;
  for (const char digit : status.substr(0, 3)) {
    if (digit < '0' || digit > '9') return 0;
    code = static_cast<std::uint16_t>(code * 10 + (digit - '0'));
  }
  return code >= 100 ? code : 0;
}

bool field_fits(std::string_view name, std::string_view value) noexcept {
  return name.find_first_of("\r\n") == std::string_view::npos && value.find_first_of("\r\n") == std::string_view::npos;
}

std::int64_t announced_length(std::span<const std::pair<std::string, std::string>> fields) noexcept {
  for (const auto& [name, value] : fields) {
    if (!common::equals_ignoring_case(name, "content-length")) continue;
    const std::optional<std::uint64_t> length = http::parse_unsigned(value, 10);
    return length && *length <= static_cast<std::uint64_t>(INT64_MAX) ? static_cast<std::int64_t>(*length) : -1;
  }
  return -1;
}

Mailbox::Mailbox() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

Mailbox::~Mailbox() { ::close(fd_); }

void Mailbox::post(std::shared_ptr<Call> call) {
  bool first = false;
  {
    const std::lock_guard lock(mutex_);
    first = posted_.empty();
    posted_.push_back(std::move(call));
  }
  if (!first) return;  // the loop was told already and has not taken them yet
  const std::uint64_t one = 1;
  // EAGAIN only when the counter is near overflow: the loop is woken either way.
  [[maybe_unused]] const ssize_t written = ::write(fd_, &one, sizeof one);
}

std::vector<std::shared_ptr<Call>> Mailbox::take() {
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t got = ::read(fd_, &count, sizeof count);
  std::vector<std::shared_ptr<Call>> taken;
  const std::lock_guard lock(mutex_);
  taken.swap(posted_);
  return taken;
}

Call::Call(std::shared_ptr<Mailbox> mailbox, std::uint64_t token, std::size_t read_limit, std::size_t write_high)
    : mailbox_(std::move(mailbox)), token_(token), read_limit_(read_limit), write_high_(write_high) {}

// --- the loop thread ----------------------------------------------------------

void Call::began() {
  const std::lock_guard lock(mutex_);
  body_done_ = body_done_ || exchange_.body_complete();
}

std::size_t Call::received(std::string_view data, bool more_body) {
  std::size_t waiting = 0;
  {
    const std::lock_guard lock(mutex_);
    input_.append(data);
    body_done_ = body_done_ || !more_body;
    ++input_seq_;
    waiting = input_.size();
  }
  changed_.notify_all();
  return waiting;
}

void Call::changed() {
  if (exchange_.disconnected()) mark_lost();
}

void Call::mark_lost() {
  {
    const std::lock_guard lock(mutex_);
    if (lost_) return;
    lost_ = true;
    ++input_seq_;
  }
  changed_.notify_all();
}

void Call::pump() {
  // A write may report the output drained, which pumps again: the outer
  // call goes on instead.
  if (pumping_) {
    pump_again_ = true;
    return;
  }
  pumping_ = true;
  do {
    pump_again_ = false;
    bool wants = false;
    {
      const std::lock_guard lock(mutex_);
      scheduled_ = false;
      wants = std::exchange(wants_body_, false);
    }
    // "100 Continue" the first time, and reading goes on.
    if (wants) exchange_.next_receive(false);
    while (true) {
      Piece piece;
      {
        const std::lock_guard lock(mutex_);
        if (queued_.empty() || exchange_.output_full()) break;
        piece = std::move(queued_.front());
        queued_.pop_front();
        queued_bytes_ -= piece.data.size();
      }
      changed_.notify_all();  // room for the worker, perhaps
      apply(piece);
    }
  } while (pump_again_);
  pumping_ = false;
}

void Call::apply(Piece& piece) {
  std::vector<http::HeaderField> head;
  if (exchange_.phase() == server::ResponsePhase::head_pending) {
    head.reserve(head_fields_.size());
    for (const auto& [name, value] : head_fields_) head.push_back({name, value});
  }
  server::SendResult result = server::SendResult::done;
  switch (piece.kind) {
    case Piece::Kind::head:
      head_fields_ = std::move(piece.fields);
      result = exchange_.start(piece.status, false);
      break;
    case Piece::Kind::body:
      result = exchange_.body(head, piece.data, piece.more_body);
      break;
    case Piece::Kind::file:
      result = exchange_.file(head, std::move(piece.file), piece.more_body, piece.ends_short);
      break;
    case Piece::Kind::end:
      result = exchange_.body(head, {}, false);
      break;
    case Piece::Kind::fail:
      exchange_.app_failed();
      break;
  }
  if (exchange_.head_sent()) head_fields_.clear();
  if (result == server::SendResult::bad_header) {
    // A field the worker let through that the head cannot carry: nothing went out.
    exchange_.app_failed();
  }
  if (result == server::SendResult::gone || exchange_.disconnected()) mark_lost();
}

// --- the worker thread --------------------------------------------------------

void Call::schedule(std::unique_lock<std::mutex>& lock) {
  if (scheduled_) return;
  scheduled_ = true;
  lock.unlock();
  mailbox_->post(shared_from_this());
}

Take Call::take(std::size_t count, bool line, std::string& out, std::uint64_t& seen) {
  std::unique_lock lock(mutex_);
  const std::size_t before = input_.size();
  const std::size_t room = count - std::min(count, out.size());
  std::size_t length = std::min(room, input_.size());
  bool ended_line = false;
  if (line) {
    const std::size_t newline = std::string_view(input_).substr(0, length).find('\n');
    if (newline != std::string_view::npos) {
      length = newline + 1;
      ended_line = true;
    }
  }
  out.append(input_, 0, length);
  input_.erase(0, length);
  seen = input_seq_;
  if (out.size() == count || ended_line || (body_done_ && input_.empty())) {
    // Reading paused above the limit may go on now.
    if (!body_done_ && before >= read_limit_ && input_.size() < read_limit_) {
      wants_body_ = true;
      schedule(lock);
    }
    return Take::done;
  }
  if (lost_) return Take::lost;
  wants_body_ = true;
  schedule(lock);
  return Take::wait;
}

void Call::wait_input(std::uint64_t seen) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return input_seq_ != seen; });
}

Call::Queued Call::queue(Piece piece) {
  std::unique_lock lock(mutex_);
  if (lost_) return Queued::lost;
  queued_bytes_ += piece.data.size();
  queued_.push_back(std::move(piece));
  const Queued queued = queued_bytes_ > write_high_ ? Queued::full : Queued::ok;
  schedule(lock);
  return queued;
}

void Call::wait_room() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return lost_ || queued_bytes_ <= write_high_; });
}

bool Call::lost() {
  const std::lock_guard lock(mutex_);
  return lost_;
}

}  // namespace tessaryne::wsgi
