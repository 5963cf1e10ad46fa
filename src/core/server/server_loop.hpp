#pragma once
// What the connections served by one loop thread share: the settings, the
// poller their sockets and deadlines are watched by, the read scratch buffer
// and the cached date line. Only that thread touches it.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/http/connection_limits.hpp"
#include "core/server/counters.hpp"
#include "core/server/deadlines.hpp"
#include "core/server/poller.hpp"

namespace tessaryne::server {

class StaticMounts;

struct ServerSettings {
  http::ConnectionLimits limits;
  Clock::duration keep_alive_timeout = std::chrono::seconds(5);
  Clock::duration head_timeout = std::chrono::seconds(10);
  Clock::duration body_timeout = std::chrono::seconds(10);
  Clock::duration linger_timeout = std::chrono::seconds(2);
  // Once a body has been due for body_rate_grace, it must have come at
  // min_body_rate bytes a second on average (0: no minimum), so that a
  // trickle cannot hold a connection forever.
  std::uint64_t min_body_rate = 0;
  Clock::duration body_rate_grace = std::chrono::seconds(5);
  // Reading pauses while a request is served once this many bytes wait unread.
  std::size_t read_buffer_limit = std::size_t{64} << 10;
  // A writer waits while more than write_high bytes are queued, until fewer than write_low are.
  std::size_t write_high = std::size_t{64} << 10;
  std::size_t write_low = std::size_t{16} << 10;
  std::string server_line = "server: tessaryne\r\n";  // empty: no server line
  bool date = true;                                   // a date line on every response
  // Added to every response after the application's own headers.
  std::vector<std::pair<std::string, std::string>> headers;
  // Requests served at once by all loops sharing `concurrency` (0: no limit);
  // above it a request is answered 503 without reaching the application.
  std::uint64_t concurrency_limit = 0;
  std::shared_ptr<ServerCounters> concurrency;
  // An upgrade to WebSocket goes to a session; false (a WSGI application,
  // which cannot take one): it is a request like any other.
  bool websocket = true;
  // Which HTTP versions a connection may speak. With `any`, a cleartext
  // connection that opens with the HTTP/2 preface speaks HTTP/2, and one that
  // TLS negotiated "h2" for does.
  enum class Versions : std::uint8_t { any, http1, http2 };
  Versions versions = Versions::any;
  // SETTINGS_MAX_CONCURRENT_STREAMS of each HTTP/2 connection.
  std::uint32_t h2_max_concurrent_streams = 100;
  // Directories served under routes without the application; null: none.
  std::shared_ptr<const StaticMounts> static_mounts;
};

// "Jan" to "Dec" for months 0 to 11, as HTTP dates and log dates write them.
std::string_view month_name(int month) noexcept;

// "Tue, 08 Dec 2026 17:41:25 GMT" (an IMF-fixdate) for `seconds` since the epoch.
std::string http_date(std::time_t seconds);

// "date: Tue, 08 Dec 2026 17:41:25 GMT\r\n" for `seconds` since the epoch.
std::string date_line(std::time_t seconds);

class ServerLoop {
 public:
  explicit ServerLoop(ServerSettings settings,
                      std::shared_ptr<ServerCounters> counters = std::make_shared<ServerCounters>())
      : settings_(std::move(settings)), counters_(std::move(counters)) {}

  [[nodiscard]] const ServerSettings& settings() const noexcept { return settings_; }
  [[nodiscard]] Poller& poller() noexcept { return poller_; }
  [[nodiscard]] std::array<char, 65536>& scratch() noexcept { return scratch_; }
  [[nodiscard]] ServerCounters& counters() noexcept { return *counters_; }

  // Whether requests count against a limit of concurrency.
  [[nodiscard]] bool limits_concurrency() const noexcept {
    return settings_.concurrency_limit != 0 && settings_.concurrency != nullptr;
  }
  // A slot of that limit for a request; false when every one is taken. True
  // without a limit.
  [[nodiscard]] bool take_slot() noexcept {
    if (!limits_concurrency()) return true;
    auto& in_flight = settings_.concurrency->in_flight;
    if (in_flight.fetch_add(1, std::memory_order_relaxed) < settings_.concurrency_limit) return true;
    in_flight.fetch_sub(1, std::memory_order_relaxed);
    return false;
  }
  void give_back_slot() noexcept { settings_.concurrency->in_flight.fetch_sub(1, std::memory_order_relaxed); }

  // The date line of the current second, rebuilt at most once a second.
  std::string_view date();

  // Sets a connection's deadline; the alarm moves earlier if it must.
  void arm(Deadline& deadline, Clock::time_point at, std::uint64_t token);
  // Pops the entries due now, then sets the alarm for the next one.
  template <class Fire>
  void run_deadlines(Fire&& fire) {
    poller_.acknowledge_alarm();
    const Clock::time_point now = Clock::now();
    while (auto entry = deadlines_.pop_due(now)) fire(*entry);
    alarm_at_ = Clock::time_point::max();
    if (auto next = deadlines_.earliest()) {
      alarm_at_ = *next;
      poller_.set_alarm(*next);
    }
  }

  bool shutting_down = false;

 private:
  ServerSettings settings_;
  std::shared_ptr<ServerCounters> counters_;
  Poller poller_;
  Deadlines deadlines_;
  Clock::time_point alarm_at_ = Clock::time_point::max();
  std::array<char, 65536> scratch_{};
  std::time_t date_second_ = 0;
  std::string date_;
};

}  // namespace tessaryne::server
