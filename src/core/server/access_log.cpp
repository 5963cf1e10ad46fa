#include "core/server/access_log.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <ctime>
#include <string>
#include <utility>

#include "core/common/byte_scan.hpp"
#include "core/common/header_value.hpp"
#include "core/http/head_rules.hpp"
#include "core/server/server_loop.hpp"

namespace tessaryne::server {
namespace {

using Micros = std::chrono::microseconds;

constexpr std::string_view kKnownAtoms = "h l u t r s m U q H b B f a T M D L p, {name}i and {name}o";

// The escapes a text line needs: a quote or a backslash, a control byte, DEL, any byte above.
constexpr bool needs_text_escape(unsigned char byte) noexcept {
  return byte < 0x20 || byte >= 0x7F || byte == '"' || byte == '\\';
}

void put_hex_byte(std::string& out, unsigned char byte) {
  out.push_back("0123456789abcdef"[byte >> 4]);
  out.push_back("0123456789abcdef"[byte & 0xF]);
}

// Appends `text`, each byte that needs it escaped; runs of plain bytes are appended whole.
template <bool Json>
void put_escaped(std::string& out, std::string_view text) {
  std::size_t plain = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (!needs_text_escape(byte)) continue;
    out.append(text.substr(plain, i - plain));
    plain = i + 1;
    if (byte == '"' || byte == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(byte));
    } else {
      out.append(Json ? "\\u00" : "\\x");
      put_hex_byte(out, byte);
    }
  }
  out.append(text.substr(plain));
}

void put_number(std::string& out, std::uint64_t value) {
  std::array<char, 20> digits{};
  const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), value).ptr;
  out.append(digits.data(), end);
}

// `value` in `width` digits, zeros in front.
void put_padded(std::string& out, std::uint64_t value, std::size_t width) {
  std::array<char, 20> digits{};
  const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), value).ptr;
  const auto size = static_cast<std::size_t>(end - digits.data());
  if (size < width) out.append(width - size, '0');
  out.append(digits.data(), end);
}

// The date of `seconds`, in the local time zone as "[10/Oct/2000:13:55:36 -0700]",
// or in UTC as "2000-10-10T20:55:36" (the JSON field adds the fraction and
// the "Z"). Each thread keeps the last second it wrote: a second's lines share it.
template <bool Local>
std::string_view date_of(std::time_t seconds) {
  struct Cached {
    std::time_t second = -1;
    std::string text;
  };
  thread_local Cached cached;
  if (cached.second == seconds) return cached.text;
  std::tm parts{};
  if constexpr (Local) {
    ::localtime_r(&seconds, &parts);
  } else {
    ::gmtime_r(&seconds, &parts);
  }
  std::string& text = cached.text;
  text.clear();
  const std::uint64_t year = static_cast<std::uint64_t>(parts.tm_year) + 1900;
  const auto month = static_cast<std::uint64_t>(parts.tm_mon);
  if constexpr (Local) {
    text.push_back('[');
    put_padded(text, static_cast<std::uint64_t>(parts.tm_mday), 2);
    text.push_back('/');
    text.append(month_name(parts.tm_mon));
    text.push_back('/');
    put_padded(text, year, 4);
    text.push_back(':');
  } else {
    put_padded(text, year, 4);
    text.push_back('-');
    put_padded(text, month + 1, 2);
    text.push_back('-');
    put_padded(text, static_cast<std::uint64_t>(parts.tm_mday), 2);
    text.push_back('T');
  }
  put_padded(text, static_cast<std::uint64_t>(parts.tm_hour), 2);
  text.push_back(':');
  put_padded(text, static_cast<std::uint64_t>(parts.tm_min), 2);
  text.push_back(':');
  put_padded(text, static_cast<std::uint64_t>(parts.tm_sec), 2);
  if constexpr (Local) {
    const long offset = parts.tm_gmtoff / 60;  // minutes east of UTC
    const auto magnitude = static_cast<std::uint64_t>(offset < 0 ? -offset : offset);
    text.push_back(' ');
    text.push_back(offset < 0 ? '-' : '+');
    put_padded(text, magnitude / 60, 2);
    put_padded(text, magnitude % 60, 2);
    text.push_back(']');
  }
  cached.second = seconds;
  return text;
}

// The user name of Basic authentication (RFC 7617): the base64 credentials
// decoded, up to their first colon; nullopt for any other scheme or a value
// that does not decode.
std::optional<std::string> basic_user(std::string_view value) {
  value = common::trim_ows(value);
  constexpr std::string_view kScheme = "basic ";
  if (value.size() <= kScheme.size() || !common::equals_lowercase(value.substr(0, kScheme.size()), kScheme))
    return std::nullopt;
  value = common::trim_ows(value.substr(kScheme.size()));
  while (!value.empty() && value.back() == '=') value.remove_suffix(1);
  const auto sextet = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::string decoded;
  std::uint32_t bits = 0;
  int count = 0;
  for (const char c : value) {
    const int six = sextet(c);
    if (six < 0) return std::nullopt;
    bits = (bits << 6) | static_cast<std::uint32_t>(six);
    count += 6;
    if (count >= 8) {
      count -= 8;
      decoded.push_back(static_cast<char>((bits >> count) & 0xFF));
    }
  }
  if (count >= 6) return std::nullopt;  // a lone sextet encodes no byte
  const std::size_t colon = decoded.find(':');
  if (colon == std::string::npos) return std::nullopt;
  decoded.resize(colon);
  return decoded;
}

std::uint64_t micros_between(Clock::time_point began, Clock::time_point ended) noexcept {
  if (ended <= began) return 0;
  return static_cast<std::uint64_t>(std::chrono::duration_cast<Micros>(ended - began).count());
}

// The wall-clock time of the head's arrival, in microseconds since the epoch.
std::int64_t began_on_wall(const AccessTimes& times) noexcept {
  const auto wall = std::chrono::duration_cast<Micros>(times.wall.time_since_epoch()).count();
  return wall - static_cast<std::int64_t>(micros_between(times.began, times.ended));
}

std::time_t seconds_of(std::int64_t micros) noexcept {
  // Floor division, for dates before the epoch too.
  return static_cast<std::time_t>(micros / 1'000'000 - (micros % 1'000'000 < 0 ? 1 : 0));
}

}  // namespace

std::uint32_t AccessFormat::slot(std::vector<std::string>& names, std::string_view lowercase_name) {
  const auto found = std::ranges::find(names, lowercase_name);
  if (found != names.end()) return static_cast<std::uint32_t>(found - names.begin());
  names.emplace_back(lowercase_name);
  return static_cast<std::uint32_t>(names.size() - 1);
}

std::optional<AccessFormat> AccessFormat::compile(std::string_view text, std::string& error) {
  struct Letter {
    char letter;
    Kind kind;
  };
  static constexpr std::array<Letter, 16> kLetters{{
      {'h', Kind::client},
      {'l', Kind::dash},
      {'t', Kind::time},
      {'r', Kind::request},
      {'s', Kind::status},
      {'m', Kind::method},
      {'U', Kind::path},
      {'q', Kind::query},
      {'H', Kind::protocol},
      {'b', Kind::bytes_clf},
      {'B', Kind::bytes},
      {'T', Kind::seconds},
      {'M', Kind::millis},
      {'D', Kind::micros},
      {'L', Kind::decimal},
      {'p', Kind::pid},
  }};
  // The one line, from its pieces.
  const auto fail = [&](auto... why) -> std::optional<AccessFormat> {
    error = "access_log_format: ";
    (error.append(std::string_view(why)), ...);
    return std::nullopt;
  };
  if (text.empty()) return fail("the format is empty");
  AccessFormat format;
  format.pid_.append("<").append(std::to_string(::getpid())).push_back('>');
  const auto literal = [&](std::string_view bytes) {
    if (bytes.empty()) return;
    Atom* last = format.atoms_.empty() ? nullptr : &format.atoms_.back();
    if (last == nullptr || last->kind != Kind::literal)
      last = &format.atoms_.emplace_back(Atom{Kind::literal, static_cast<std::uint32_t>(format.literals_.size()), 0});
    format.literals_.append(bytes);
    last->size += static_cast<std::uint32_t>(bytes.size());
  };
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t percent = text.find('%', at);
    literal(text.substr(at, percent - at));
    if (percent == std::string_view::npos) break;
    const std::string_view rest = text.substr(percent + 1);
    if (rest.starts_with('%')) {
      literal("%");
      at = percent + 2;
      continue;
    }
    const std::size_t close = rest.find(')');
    if (!rest.starts_with('(') || close == std::string_view::npos)
      return fail("a '%' must begin an atom such as %(h)s, or be written %%");
    const std::string_view key = rest.substr(1, close - 1);
    std::string shown = "%(";
    shown.append(key).push_back(')');
    if (close + 1 >= rest.size() || rest[close + 1] != 's')
      return fail(shown, " must be followed by 's', as in ", shown, "s");
    at = percent + close + 3;
    if (key.size() >= 3 && key.front() == '{' && key[key.size() - 2] == '}') {
      const std::string_view name = key.substr(1, key.size() - 3);
      const char where = key.back();
      if (where == 'e') return fail(shown, "s: environment variables are not logged");
      if ((where != 'i' && where != 'o') || name.empty() || !std::ranges::all_of(name, common::is_token_char))
        return fail("unknown atom ", shown, "s; known atoms: ", kKnownAtoms);
      std::string lowered(name.size(), '\0');
      http::copy_lowercase(name, lowered.data());
      if (where == 'i') {
        format.atoms_.push_back({Kind::request_header, slot(format.request_names_, lowered)});
      } else {
        format.atoms_.push_back({Kind::response_header, slot(format.response_names_, lowered)});
      }
      continue;
    }
    const auto* letter =
        std::ranges::find_if(kLetters, [&](const Letter& l) { return key == std::string_view(&l.letter, 1); });
    if (key == "f" || key == "a") {
      format.atoms_.push_back(
          {Kind::request_header, slot(format.request_names_, key == "f" ? "referer" : "user-agent")});
    } else if (key == "u") {
      format.authorization_ = slot(format.request_names_, "authorization");
      format.atoms_.push_back({Kind::user});
    } else if (letter != kLetters.end()) {
      format.atoms_.push_back({letter->kind});
    } else {
      return fail("unknown atom ", shown, "s; known atoms: ", kKnownAtoms);
    }
  }
  return format;
}

AccessFormat AccessFormat::json() {
  AccessFormat format;
  format.json_ = true;
  format.referer_ = slot(format.request_names_, "referer");
  format.user_agent_ = slot(format.request_names_, "user-agent");
  return format;
}

// --- the record -------------------------------------------------------------------

AccessRecord::AccessRecord(std::shared_ptr<const AccessFormat> format, const AccessRequest& request)
    : format_(std::move(format)), minor_version_(request.minor_version), major_version_(request.major_version) {
  bytes_.reserve(request.client.size() + request.method.size() + request.target.size());
  client_ = keep(request.client);
  client_.present = !request.client.empty();
  method_ = keep(request.method);
  target_ = keep(request.target);
  keep_headers(format_->request_names_, request.headers, request_headers_);
}

AccessRecord::Slice AccessRecord::keep(std::string_view text) {
  const Slice slice{static_cast<std::uint32_t>(bytes_.size()), static_cast<std::uint32_t>(text.size()), true};
  bytes_.append(text);
  return slice;
}

template <class Lines>
void AccessRecord::keep_headers(std::span<const std::string> names, Lines lines, common::SmallVector<Slice, 4>& slots) {
  for (const std::string& name : names) {
    Slice slice{static_cast<std::uint32_t>(bytes_.size()), 0, false};
    for (const auto& line : lines) {
      if (!common::equals_lowercase(line.name, name)) continue;
      if (slice.present) bytes_.append(", ");
      bytes_.append(line.value);
      slice.present = true;
    }
    slice.size = static_cast<std::uint32_t>(bytes_.size() - slice.offset);
    slots.push_back(slice);
  }
}

void AccessRecord::keep_response(std::span<const http::HeaderField> headers) {
  if (response_headers_.size() == 0) keep_headers(format_->response_names_, headers, response_headers_);
}

void AccessRecord::render(std::uint16_t status, std::uint64_t sent, const AccessTimes& times, std::string& out) const {
  if (format_->json_) {
    render_json(status, sent, times, out);
  } else {
    render_text(status, sent, times, out);
  }
}

void AccessRecord::render_text(std::uint16_t status, std::uint64_t sent, const AccessTimes& times,
                               std::string& out) const {
  const AccessFormat& format = *format_;
  const std::uint64_t micros = micros_between(times.began, times.ended);
  const http::TargetParts parts = http::split_target(text(target_));
  const auto header = [&](const common::SmallVector<Slice, 4>& slots, std::uint32_t slot) {
    const std::span<const Slice> kept = slots.view();
    if (slot < kept.size() && kept[slot].present) {
      put_escaped<false>(out, text(kept[slot]));
    } else {
      out.push_back('-');
    }
  };
  using Kind = AccessFormat::Kind;
  for (const AccessFormat::Atom& atom : format.atoms_) {
    switch (atom.kind) {
      case Kind::literal:
        out.append(format.literals_, atom.offset, atom.size);
        break;
      case Kind::client:
        if (client_.present) {
          put_escaped<false>(out, text(client_));
        } else {
          out.push_back('-');
        }
        break;
      case Kind::dash:
        out.push_back('-');
        break;
      case Kind::user: {
        const std::span<const Slice> kept = request_headers_.view();
        const std::optional<std::string> user =
            format.authorization_ < kept.size() && kept[format.authorization_].present
                ? basic_user(text(kept[format.authorization_]))
                : std::nullopt;
        if (user) {
          put_escaped<false>(out, *user);
        } else {
          out.push_back('-');
        }
        break;
      }
      case Kind::time:
        out.append(date_of<true>(seconds_of(began_on_wall(times))));
        break;
      case Kind::request:
        put_escaped<false>(out, text(method_));
        out.push_back(' ');
        put_escaped<false>(out, text(target_));
        out.push_back(' ');
        out.append(http::protocol_text(minor_version_, major_version_));
        break;
      case Kind::status:
        put_number(out, status);
        break;
      case Kind::method:
        put_escaped<false>(out, text(method_));
        break;
      case Kind::path:
        put_escaped<false>(out, parts.path);
        break;
      case Kind::query:
        put_escaped<false>(out, parts.query);
        break;
      case Kind::protocol:
        out.append(http::protocol_text(minor_version_, major_version_));
        break;
      case Kind::bytes_clf:
        if (sent == 0) {
          out.push_back('-');
        } else {
          put_number(out, sent);
        }
        break;
      case Kind::bytes:
        put_number(out, sent);
        break;
      case Kind::seconds:
        put_number(out, micros / 1'000'000);
        break;
      case Kind::millis:
        put_number(out, micros / 1'000);
        break;
      case Kind::micros:
        put_number(out, micros);
        break;
      case Kind::decimal:
        put_number(out, micros / 1'000'000);
        out.push_back('.');
        put_padded(out, micros % 1'000'000, 6);
        break;
      case Kind::pid:
        out.append(format.pid_);
        break;
      case Kind::request_header:
        header(request_headers_, atom.offset);
        break;
      case Kind::response_header:
        header(response_headers_, atom.offset);
        break;
    }
  }
}

void AccessRecord::render_json(std::uint16_t status, std::uint64_t sent, const AccessTimes& times,
                               std::string& out) const {
  const AccessFormat& format = *format_;
  const http::TargetParts parts = http::split_target(text(target_));
  const auto field = [&](std::string_view name) {
    out.append(",\"");
    out.append(name);
    out.append("\":");
  };
  const auto string = [&](std::optional<std::string_view> value) {
    if (!value) {
      out.append("null");
      return;
    }
    out.push_back('"');
    put_escaped<true>(out, *value);
    out.push_back('"');
  };
  const auto header = [&](std::uint32_t slot) -> std::optional<std::string_view> {
    const std::span<const Slice> kept = request_headers_.view();
    if (slot < kept.size() && kept[slot].present) return text(kept[slot]);
    return std::nullopt;
  };
  const std::int64_t began = began_on_wall(times);
  out.append(R"({"time":")");
  out.append(date_of<false>(seconds_of(began)));
  out.push_back('.');
  put_padded(out, static_cast<std::uint64_t>(began - static_cast<std::int64_t>(seconds_of(began)) * 1'000'000), 6);
  out.append("Z\"");
  field("client");
  string(client_.present ? std::optional(text(client_)) : std::nullopt);
  field("method");
  string(text(method_));
  field("path");
  string(parts.path);
  field("query");
  string(parts.query);
  field("protocol");
  string(http::protocol_text(minor_version_, major_version_));
  field("status");
  put_number(out, status);
  field("bytes");
  put_number(out, sent);
  field("duration_us");
  put_number(out, micros_between(times.began, times.ended));
  field("referer");
  string(header(format.referer_));
  field("user_agent");
  string(header(format.user_agent_));
  out.push_back('}');
}

}  // namespace tessaryne::server
