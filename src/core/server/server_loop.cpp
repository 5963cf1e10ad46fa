#include "core/server/server_loop.hpp"

#include <cstdio>

namespace tessaryne::server {

std::string_view month_name(int month) noexcept {
  static constexpr std::array<std::string_view, 12> kMonths{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  return kMonths[static_cast<std::size_t>(month)];
}

std::string http_date(std::time_t seconds) {
  static constexpr std::array<const char*, 7> kDays{"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  std::tm utc{};
  ::gmtime_r(&seconds, &utc);
  std::array<char, 64> text{};
  const int length = std::snprintf(
      text.data(), text.size(), "%s, %02d %.3s %04d %02d:%02d:%02d GMT", kDays[static_cast<std::size_t>(utc.tm_wday)],
      utc.tm_mday, month_name(utc.tm_mon).data(), utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
  return {text.data(), static_cast<std::size_t>(length)};
}

std::string date_line(std::time_t seconds) { return "date: " + http_date(seconds) + "\r\n"; }

std::string_view ServerLoop::date() {
  if (!settings_.date) return {};
  const std::time_t now = std::time(nullptr);
  if (now != date_second_) {
    date_second_ = now;
    date_ = date_line(now);
  }
  return date_;
}

void ServerLoop::arm(Deadline& deadline, Clock::time_point at, std::uint64_t token) {
  if (auto entry = deadline.arm(at, token)) {
    deadlines_.push(*entry);
    if (at < alarm_at_) {
      alarm_at_ = at;
      poller_.set_alarm(at);
    }
  }
}

}  // namespace tessaryne::server
