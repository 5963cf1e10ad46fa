#pragma once
// Access lines in a format the operator chose: gunicorn's atoms (%(h)s,
// %(r)s, %({name}i)s, ...) compiled once into a list, or one JSON object per
// line with named fields. A request that is logged this way keeps a record
// of what its format names: of the request when its head arrives, of the
// response when its head goes out; the line is rendered from the record once
// the response is done.
//
// Every byte that came from a peer or the application is escaped, so that a
// line can neither be broken nor forged: in text `"` and `\` get a backslash
// and bytes below 0x20 or from 0x7F on become \xhh; in JSON they become the
// JSON escapes, a byte from 0x7F on standing for the Latin-1 character it
// encodes.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/small_vector.hpp"
#include "core/http/head_tokenizer.hpp"
#include "core/http/response_serializer.hpp"
#include "core/server/poller.hpp"

namespace tessaryne::server {

// A request's parts as the access log reads them; views valid during the call.
struct AccessRequest {
  std::string_view client;  // the client's host, empty without one (a Unix socket)
  std::string_view method;
  std::string_view target;  // as received
  std::uint8_t minor_version = 1;
  std::span<const http::HeaderLine> headers;
  std::uint8_t major_version = 1;
};

// When the request's head arrived and its response ended, on the server's
// clock, and the wall clock at that end (the line's dates are reckoned back
// from it).
struct AccessTimes {
  Clock::time_point began;
  Clock::time_point ended;
  std::chrono::system_clock::time_point wall;

  static AccessTimes since(Clock::time_point began) noexcept {
    return {began, Clock::now(), std::chrono::system_clock::now()};
  }
};

class AccessFormat {
 public:
  // gunicorn's notation: %(x)s for each atom, %({name}i)s and %({name}o)s for
  // a request and a response header, %% for a percent sign. nullopt, with
  // `error` set to one line, for an unknown atom or a '%' that starts none.
  static std::optional<AccessFormat> compile(std::string_view text, std::string& error);
  // One JSON object per line: time, client, method, path, query, protocol,
  // status, bytes, duration_us, referer, user_agent.
  static AccessFormat json();

 private:
  friend class AccessRecord;

  enum class Kind : std::uint8_t {
    literal,
    client,     // h
    dash,       // l: the remote log name, never known
    user,       // u: the user of Basic authentication
    time,       // t
    request,    // r: method, target and protocol
    status,     // s
    method,     // m
    path,       // U
    query,      // q
    protocol,   // H
    bytes_clf,  // b: "-" for none
    bytes,      // B
    seconds,    // T
    millis,     // M
    micros,     // D
    decimal,    // L: seconds with six decimals
    pid,        // p
    request_header,
    response_header,
  };
  // A literal's bytes in literals_, or a header's slot among the names kept.
  struct Atom {
    Kind kind;
    std::uint32_t offset = 0;
    std::uint32_t size = 0;
  };

  AccessFormat() = default;
  // The slot of a header the records keep, added if new.
  static std::uint32_t slot(std::vector<std::string>& names, std::string_view lowercase_name);

  std::vector<Atom> atoms_;
  std::string literals_;
  std::vector<std::string> request_names_;  // lower case; referer, user-agent, authorization among them when used
  std::vector<std::string> response_names_;
  std::string pid_;                                                 // "<1234>"
  std::uint32_t referer_ = 0, user_agent_ = 0, authorization_ = 0;  // their slots
  bool json_ = false;
};

// What one request keeps for its line: the parts its format names, in one buffer.
class AccessRecord {
 public:
  AccessRecord(std::shared_ptr<const AccessFormat> format, const AccessRequest& request);

  // The response's head as the application gave it (several lines of one
  // name are joined with ", ").
  void keep_response(std::span<const http::HeaderField> headers);
  // The line, without a line end, appended to `out`.
  void render(std::uint16_t status, std::uint64_t sent, const AccessTimes& times, std::string& out) const;

 private:
  struct Slice {
    std::uint32_t offset = 0;
    std::uint32_t size = 0;
    bool present = false;
  };

  Slice keep(std::string_view text);
  template <class Lines>
  void keep_headers(std::span<const std::string> names, Lines lines, common::SmallVector<Slice, 4>& slots);
  [[nodiscard]] std::string_view text(Slice slice) const noexcept { return {bytes_.data() + slice.offset, slice.size}; }
  void render_text(std::uint16_t status, std::uint64_t sent, const AccessTimes& times, std::string& out) const;
  void render_json(std::uint16_t status, std::uint64_t sent, const AccessTimes& times, std::string& out) const;

  std::shared_ptr<const AccessFormat> format_;
  std::string bytes_;
  Slice client_, method_, target_;
  std::uint8_t minor_version_;
  std::uint8_t major_version_;
  common::SmallVector<Slice, 4> request_headers_;
  common::SmallVector<Slice, 4> response_headers_;
};

}  // namespace tessaryne::server
