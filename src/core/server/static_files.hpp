#pragma once
// Directories served under routes without the application: which file a
// request names (never one outside its mount), and the answer HTTP's rules
// give it: conditional requests (If-None-Match, If-Modified-Since), a
// single byte range (Range, If-Range), HEAD, a precompressed sibling the
// client accepts, 404 and 405. The plan is made from the request alone; the
// connection sends it through the request's exchange like any response.

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/http/head_tokenizer.hpp"
#include "core/http/response_serializer.hpp"
#include "core/server/exchange.hpp"
#include "core/server/file_slice.hpp"

namespace tessaryne::server {

// --- the rules, each on its own -------------------------------------------------------

// "text/css; charset=utf-8" for "site.css": by the extension, in any case;
// application/octet-stream for one the table does not know.
[[nodiscard]] std::string_view content_type_for(std::string_view name) noexcept;

// What a Range header asks of a representation of `size` bytes.
struct ByteRange {
  enum class Kind : std::uint8_t {
    whole,          // no range, one the server ignores (not bytes, malformed, several), or all of it
    part,           // first to last, inclusive: 206
    unsatisfiable,  // starts at or past the end: 416
  };
  Kind kind = Kind::whole;
  std::uint64_t first = 0;
  std::uint64_t last = 0;
};
[[nodiscard]] ByteRange parse_range(std::string_view value, std::uint64_t size) noexcept;

// Whether an If-None-Match list names `etag` ("*" names any), comparing
// weakly: W/ is ignored on both sides.
[[nodiscard]] bool none_match_names(std::string_view list, std::string_view etag) noexcept;

// Seconds since the epoch of an HTTP date in any of its three forms
// (IMF-fixdate, RFC 850, asctime); nullopt for anything else.
[[nodiscard]] std::optional<std::time_t> parse_http_date(std::string_view text) noexcept;

// The precompressed codings an Accept-Encoding list lets the server send,
// each by its quality (0: not acceptable); "*" stands for those not named.
struct AcceptedCodings {
  std::uint16_t br = 0;  // thousandths
  std::uint16_t gzip = 0;
};
[[nodiscard]] AcceptedCodings accepted_codings(std::string_view list) noexcept;

// The path below a route as a name relative to its mount: without leading
// slashes, never a "." or ".." segment, a NUL or a backslash; nullopt when
// it has one of those, or names the mount itself.
[[nodiscard]] std::optional<std::string_view> relative_name(std::string_view below) noexcept;

// How a name is opened beneath a mount's directory.
enum class Resolver : std::uint8_t {
  beneath,  // openat2(2) with RESOLVE_BENEATH: symbolic links that stay inside are followed
  walk,     // a component at a time with O_NOFOLLOW: no symbolic link is followed
  any,      // beneath, or walk where the kernel has no openat2
};
// A descriptor of `name` opened for reading beneath the directory `directory`,
// or -errno. Nothing outside it is ever opened.
[[nodiscard]] int open_beneath(int directory, const std::string& name, Resolver resolver = Resolver::any) noexcept;

// --- the mounts and the plan ----------------------------------------------------------------

class StaticMounts {
 public:
  StaticMounts() = default;
  StaticMounts(const StaticMounts&) = delete;
  StaticMounts& operator=(const StaticMounts&) = delete;
  ~StaticMounts();

  // Serves `directory`, opened now and held, under `route` ("/static"; a
  // trailing slash is dropped, "/" serves every path). 0, or the errno
  // that refused the directory.
  [[nodiscard]] int add(std::string_view route, const std::string& directory);
  [[nodiscard]] bool empty() const noexcept { return mounts_.empty(); }

  struct Mount {
    std::string route;
    int directory = -1;
  };
  // The mount whose route a decoded path is under (the longest such route),
  // with the rest of the path after the route; null for none.
  [[nodiscard]] const Mount* find(std::string_view path, std::string_view& below) const noexcept;

 private:
  std::vector<Mount> mounts_;  // longest route first
};

// The answer to a request for a mount: its status, header fields and body
// (a file, or a short text).
class StaticAnswer {
 public:
  static constexpr std::size_t kMaxFields = 8;

  std::uint16_t status = 0;  // 0: the request is not for a mount, and goes to the application
  FileSlice file;            // the body, when open
  std::string_view text;     // else this body (404, 405)

  void add(std::string_view name, std::string value);
  // The header fields, as views into this answer.
  [[nodiscard]] std::span<const http::HeaderField> fields();
  // Gives the answer as `exchange`'s response; what becomes of it (a client
  // gone, say) the exchange and its protocol record.
  void send(Exchange& exchange);

 private:
  std::array<std::string_view, kMaxFields> names_{};
  std::array<std::string, kMaxFields> values_;
  std::array<http::HeaderField, kMaxFields> fields_{};
  std::size_t count_ = 0;
};

// What a request gets from the mounts; status 0 when its path is under none.
// `path`: the target's path as received (before "?"; the absolute form too).
[[nodiscard]] StaticAnswer plan_static(const StaticMounts& mounts, std::string_view method, std::string_view path,
                                       std::span<const http::HeaderLine> headers, Resolver resolver = Resolver::any);

}  // namespace tessaryne::server
