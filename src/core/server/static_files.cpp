#include "core/server/static_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <utility>

#include "core/common/byte_scan.hpp"
#include "core/common/header_value.hpp"
#include "core/common/hex.hpp"
#include "core/http/head_rules.hpp"
#include "core/http/target.hpp"
#include "core/server/server_loop.hpp"

namespace tessaryne::server {
namespace {

// --- content types ----------------------------------------------------------------------

struct TypeByExtension {
  std::string_view extension;
  std::string_view type;
};

// Text types say their charset: a browser would otherwise guess it.
constexpr std::array<TypeByExtension, 36> kTypes{{
    {"html", "text/html; charset=utf-8"},
    {"htm", "text/html; charset=utf-8"},
    {"css", "text/css; charset=utf-8"},
    {"js", "text/javascript; charset=utf-8"},
    {"mjs", "text/javascript; charset=utf-8"},
    {"txt", "text/plain; charset=utf-8"},
    {"csv", "text/csv; charset=utf-8"},
    {"md", "text/markdown; charset=utf-8"},
    {"xml", "text/xml; charset=utf-8"},
    {"json", "application/json"},
    {"map", "application/json"},
    {"webmanifest", "application/manifest+json"},
    {"wasm", "application/wasm"},
    {"pdf", "application/pdf"},
    {"zip", "application/zip"},
    {"gz", "application/gzip"},
    {"tar", "application/x-tar"},
    {"svg", "image/svg+xml"},
    {"png", "image/png"},
    {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"gif", "image/gif"},
    {"webp", "image/webp"},
    {"avif", "image/avif"},
    {"ico", "image/x-icon"},
    {"bmp", "image/bmp"},
    {"woff", "font/woff"},
    {"woff2", "font/woff2"},
    {"ttf", "font/ttf"},
    {"otf", "font/otf"},
    {"mp4", "video/mp4"},
    {"webm", "video/webm"},
    {"mp3", "audio/mpeg"},
    {"ogg", "audio/ogg"},
    {"wav", "audio/wav"},
    {"flac", "audio/flac"},
}};

// --- small readers ------------------------------------------------------------------------

// A quality value (RFC 9110 12.4.2) in thousandths; nullopt when malformed.
std::optional<std::uint16_t> parse_quality(std::string_view text) noexcept {
  if (text.empty() || (text[0] != '0' && text[0] != '1')) return std::nullopt;
  const bool one = text[0] == '1';
  std::uint16_t value = one ? 1000 : 0;
  if (text.size() == 1) return value;
  if (text[1] != '.' || text.size() > 5) return std::nullopt;
  std::uint16_t scale = 100;
  for (const char digit : text.substr(2)) {
    if (!common::is_digit(digit) || (one && digit != '0')) return std::nullopt;
    value = static_cast<std::uint16_t>(value + (digit - '0') * scale);
    scale /= 10;
  }
  return value;
}

// Exactly `count` digits at `at`, as a number.
std::optional<int> digits_at(std::string_view text, std::size_t at, std::size_t count) noexcept {
  if (at + count > text.size()) return std::nullopt;
  const auto value = http::parse_unsigned(text.substr(at, count), 10);
  if (!value) return std::nullopt;
  return static_cast<int>(*value);
}

std::optional<int> month_at(std::string_view text, std::size_t at) noexcept {
  if (at + 3 > text.size()) return std::nullopt;
  for (int month = 0; month < 12; ++month)
    if (text.substr(at, 3) == month_name(month)) return month;
  return std::nullopt;
}

// "hh:mm:ss" at `at` into `into`.
bool time_at(std::string_view text, std::size_t at, std::tm& into) noexcept {
  const auto hour = digits_at(text, at, 2);
  const auto minute = digits_at(text, at + 3, 2);
  const auto second = digits_at(text, at + 6, 2);
  if (!hour || !minute || !second || text[at + 2] != ':' || text[at + 5] != ':') return false;
  into.tm_hour = *hour;
  into.tm_min = *minute;
  into.tm_sec = *second;
  return *hour < 24 && *minute < 60 && *second <= 60;
}

// The opaque part of an entity tag (quotes included), without W/; empty when
// `tag` is not one.
std::string_view opaque_tag(std::string_view tag) noexcept {
  if (tag.starts_with("W/")) tag.remove_prefix(2);
  if (tag.size() < 2 || tag.front() != '"' || tag.back() != '"') return {};
  if (tag.substr(1, tag.size() - 2).find('"') != std::string_view::npos) return {};
  return tag;
}

// --- descriptors --------------------------------------------------------------------------

// An open descriptor, closed unless handed on.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) noexcept : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  [[nodiscard]] int get() const noexcept { return fd_; }
  int release() noexcept { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

constexpr int kFileFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;

// openat2(2)'s argument and resolve flags, as the kernel's ABI has them (the
// headers of an older C library may lack them).
struct OpenHow {
  std::uint64_t flags;
  std::uint64_t mode;
  std::uint64_t resolve;
};
constexpr std::uint64_t kResolveNoMagicLinks = 0x02;
constexpr std::uint64_t kResolveBeneath = 0x08;
constexpr long kOpenat2 = 437;  // the same number on every architecture

int open_with_openat2(int directory, const std::string& name) noexcept {
  OpenHow how{static_cast<std::uint64_t>(kFileFlags), 0, kResolveBeneath | kResolveNoMagicLinks};
  long fd = 0;
  do {
    fd = ::syscall(kOpenat2, directory, name.c_str(), &how, sizeof how);
  } while (fd < 0 && errno == EINTR);
  return fd < 0 ? -errno : static_cast<int>(fd);
}

bool dot_segment(std::string_view segment) noexcept { return segment == "." || segment == ".."; }

int open_by_walking(int directory, const std::string& name) noexcept {
  Descriptor held;  // the directory reached so far, once below `directory`
  int at = directory;
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = name.find('/', start);
    const std::string segment = name.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (dot_segment(segment)) return -ENOENT;
    if (slash == std::string::npos) {
      const int fd = ::openat(at, segment.c_str(), kFileFlags | O_NOFOLLOW);
      return fd < 0 ? -errno : fd;
    }
    start = slash + 1;
    if (segment.empty()) continue;
    const int next = ::openat(at, segment.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) return -errno;
    held = Descriptor(next);
    at = next;
  }
}

// An open regular file and what its validators are made of.
struct Representation {
  Descriptor fd;
  std::uint64_t size = 0;
  std::time_t modified = 0;
  std::uint64_t modified_ns = 0;

  [[nodiscard]] bool open() const noexcept { return fd.get() >= 0; }
};

Representation open_representation(int directory, const std::string& name, Resolver resolver) {
  Representation file;
  Descriptor fd(open_beneath(directory, name, resolver));
  struct stat status{};
  if (fd.get() < 0 || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) return file;
  file.fd = std::move(fd);
  file.size = static_cast<std::uint64_t>(status.st_size);
  file.modified = status.st_mtim.tv_sec;
  file.modified_ns = static_cast<std::uint64_t>(status.st_mtim.tv_sec) * 1'000'000'000U +
                     static_cast<std::uint64_t>(status.st_mtim.tv_nsec);
  return file;
}

// A strong validator from the size and the modification time in nanoseconds.
std::string entity_tag(const Representation& file) {
  std::string tag(2 + common::hex_digit_count(file.size) + 1 + common::hex_digit_count(file.modified_ns), '"');
  char* at = common::put_upper_hex(file.size, tag.data() + 1);
  *at++ = '-';
  common::put_upper_hex(file.modified_ns, at);
  return tag;
}

// The request's header lines a static answer reads; a list may come in
// several lines, which read as one joined by commas.
struct Conditions {
  std::string if_none_match;
  std::string accept_encoding;
  std::string_view range;
  std::string_view if_range;
  std::string_view if_modified_since;
  bool has_if_none_match = false;
  bool has_accept_encoding = false;
  bool several_ranges = false;  // a second Range line: ignored as a multipart one is
  bool several_if_range = false;
  bool several_dates = false;
};

void join(std::string& list, bool& has, std::string_view value) {
  if (has) list.append(", ");
  list.append(value);
  has = true;
}

void keep_one(std::string_view& kept, bool& several, std::string_view value) {
  several = several || !kept.empty();
  kept = value;
}

Conditions read_conditions(std::span<const http::HeaderLine> headers) {
  Conditions read;
  for (const http::HeaderLine& line : headers) {
    if (common::equals_lowercase(line.name, "range")) {
      keep_one(read.range, read.several_ranges, line.value);
    } else if (common::equals_lowercase(line.name, "if-range")) {
      keep_one(read.if_range, read.several_if_range, line.value);
    } else if (common::equals_lowercase(line.name, "if-none-match")) {
      join(read.if_none_match, read.has_if_none_match, line.value);
    } else if (common::equals_lowercase(line.name, "if-modified-since")) {
      keep_one(read.if_modified_since, read.several_dates, line.value);
    } else if (common::equals_lowercase(line.name, "accept-encoding")) {
      join(read.accept_encoding, read.has_accept_encoding, line.value);
    }
  }
  return read;
}

// Whether the representation was left unchanged since what the client has (304).
bool not_modified(const Conditions& conditions, std::string_view etag, std::time_t modified) noexcept {
  if (conditions.has_if_none_match) return none_match_names(conditions.if_none_match, etag);
  if (conditions.if_modified_since.empty() || conditions.several_dates) return false;
  const auto since = parse_http_date(conditions.if_modified_since);
  return since && modified <= *since;
}

// Whether a Range may be honoured: no If-Range, or one that names this
// representation (its strong tag, or its exact date).
bool range_applies(const Conditions& conditions, std::string_view etag, std::time_t modified) noexcept {
  if (conditions.if_range.empty()) return true;
  if (conditions.several_if_range) return false;
  const std::string_view validator = conditions.if_range;
  if (validator.starts_with('"') || validator.starts_with("W/")) return validator == etag;
  const auto date = parse_http_date(validator);
  return date && *date == modified;
}

std::string decimal(std::uint64_t value) { return std::to_string(value); }

}  // namespace

// --- the rules ------------------------------------------------------------------------------

std::string_view content_type_for(std::string_view name) noexcept {
  const std::size_t slash = name.rfind('/');
  const std::string_view base = slash == std::string_view::npos ? name : name.substr(slash + 1);
  const std::size_t dot = base.rfind('.');
  if (dot != std::string_view::npos && dot != 0) {
    const std::string_view extension = base.substr(dot + 1);
    for (const TypeByExtension& entry : kTypes)
      if (common::equals_lowercase(extension, entry.extension)) return entry.type;
  }
  return "application/octet-stream";
}

ByteRange parse_range(std::string_view value, std::uint64_t size) noexcept {
  const ByteRange whole;
  value = common::trim_ows(value);
  const std::size_t equals = value.find('=');
  if (equals == std::string_view::npos || !common::equals_lowercase(common::trim_ows(value.substr(0, equals)), "bytes"))
    return whole;
  std::size_t count = 0;
  std::string_view spec;
  common::for_each_element(value.substr(equals + 1), [&](std::string_view element) {
    ++count;
    spec = element;
  });
  // Several ranges would need a multipart body: the whole representation serves instead.
  if (count != 1) return whole;
  const std::size_t dash = spec.find('-');
  if (dash == std::string_view::npos) return whole;
  const std::string_view from = spec.substr(0, dash);
  const std::string_view to = spec.substr(dash + 1);
  const ByteRange unsatisfiable{ByteRange::Kind::unsatisfiable};
  if (from.empty()) {
    const auto suffix = http::parse_unsigned(to, 10);
    if (!suffix) return whole;
    if (*suffix == 0 || size == 0) return unsatisfiable;
    return {ByteRange::Kind::part, size - std::min(*suffix, size), size - 1};
  }
  const auto first = http::parse_unsigned(from, 10);
  if (!first) return whole;
  std::uint64_t last = UINT64_MAX;
  if (!to.empty()) {
    const auto given = http::parse_unsigned(to, 10);
    if (!given || *given < *first) return whole;
    last = *given;
  }
  if (*first >= size) return unsatisfiable;
  return {ByteRange::Kind::part, *first, std::min(last, size - 1)};
}

bool none_match_names(std::string_view list, std::string_view etag) noexcept {
  const std::string_view ours = opaque_tag(etag);
  bool named = false;
  common::for_each_element(list, [&](std::string_view element) {
    if (element == "*") {
      named = true;
      return;
    }
    const std::string_view theirs = opaque_tag(element);
    named = named || (!theirs.empty() && theirs == ours);
  });
  return named;
}

std::optional<std::time_t> parse_http_date(std::string_view text) noexcept {
  std::tm date{};
  const std::size_t comma = text.find(',');
  std::optional<int> day;
  std::optional<int> month;
  std::optional<int> year;
  bool clock = false;
  if (comma == 3 && text.size() == 29) {
    // IMF-fixdate: "Sun, 06 Nov 1994 08:49:37 GMT"
    day = digits_at(text, 5, 2);
    month = month_at(text, 8);
    year = digits_at(text, 12, 4);
    clock = text[4] == ' ' && text[7] == ' ' && text[11] == ' ' && text[16] == ' ' && time_at(text, 17, date) &&
            text.substr(25) == " GMT";
  } else if (comma != std::string_view::npos && comma > 3 && text.size() == comma + 24) {
    // RFC 850: "Sunday, 06-Nov-94 08:49:37 GMT"; a two-digit year before 70 is this century's.
    const std::string_view rest = text.substr(comma + 1);
    day = digits_at(rest, 1, 2);
    month = month_at(rest, 4);
    year = digits_at(rest, 8, 2);
    if (year) year = *year + (*year < 70 ? 2000 : 1900);
    clock = rest[0] == ' ' && rest[3] == '-' && rest[7] == '-' && rest[10] == ' ' && time_at(rest, 11, date) &&
            rest.substr(19) == " GMT";
  } else if (comma == std::string_view::npos && text.size() == 24) {
    // asctime: "Sun Nov  6 08:49:37 1994", the day padded with a space.
    month = month_at(text, 4);
    day = text[8] == ' ' ? digits_at(text, 9, 1) : digits_at(text, 8, 2);
    year = digits_at(text, 20, 4);
    clock = text[3] == ' ' && text[7] == ' ' && text[10] == ' ' && time_at(text, 11, date) && text[19] == ' ';
  }
  if (!clock || !day || !month || !year || *day < 1 || *day > 31) return std::nullopt;
  date.tm_mday = *day;
  date.tm_mon = *month;
  date.tm_year = *year - 1900;
  return ::timegm(&date);
}

AcceptedCodings accepted_codings(std::string_view list) noexcept {
  std::optional<std::uint16_t> br;
  std::optional<std::uint16_t> gzip;
  std::optional<std::uint16_t> any;
  common::for_each_element(list, [&](std::string_view element) {
    const std::size_t semicolon = element.find(';');
    const std::string_view coding = common::trim_ows(element.substr(0, semicolon));
    std::uint16_t quality = 1000;
    if (semicolon != std::string_view::npos) {
      const std::string_view parameter = common::trim_ows(element.substr(semicolon + 1));
      const std::size_t equals = parameter.find('=');
      // A quality that cannot be read does not accept.
      if (equals == std::string_view::npos ||
          !common::equals_lowercase(common::trim_ows(parameter.substr(0, equals)), "q"))
        quality = 0;
      else
        quality = parse_quality(common::trim_ows(parameter.substr(equals + 1))).value_or(0);
    }
    if (common::equals_lowercase(coding, "br")) {
      br = quality;
    } else if (common::equals_lowercase(coding, "gzip") || common::equals_lowercase(coding, "x-gzip")) {
      gzip = quality;
    } else if (coding == "*") {
      any = quality;
    }
  });
  return {br.value_or(any.value_or(0)), gzip.value_or(any.value_or(0))};
}

std::optional<std::string_view> relative_name(std::string_view below) noexcept {
  if (below.find('\0') != std::string_view::npos || below.find('\\') != std::string_view::npos) return std::nullopt;
  while (below.starts_with('/')) below.remove_prefix(1);
  if (below.empty()) return std::nullopt;
  for (std::string_view rest = below;;) {
    const std::size_t slash = rest.find('/');
    if (dot_segment(rest.substr(0, slash))) return std::nullopt;
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  return below;
}

int open_beneath(int directory, const std::string& name, Resolver resolver) noexcept {
  // Learned once: a kernel without openat2 (before 5.6) says ENOSYS every time.
  static std::atomic<bool> no_openat2{false};
  if (resolver == Resolver::walk || (resolver == Resolver::any && no_openat2.load(std::memory_order_relaxed)))
    return open_by_walking(directory, name);
  const int fd = open_with_openat2(directory, name);
  if (fd != -ENOSYS || resolver == Resolver::beneath) return fd;
  no_openat2.store(true, std::memory_order_relaxed);
  return open_by_walking(directory, name);
}

// --- the mounts ------------------------------------------------------------------------------------

StaticMounts::~StaticMounts() {
  for (const Mount& mount : mounts_) ::close(mount.directory);
}

int StaticMounts::add(std::string_view route, const std::string& directory) {
  while (route.ends_with('/')) route.remove_suffix(1);
  const int fd = ::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  const auto place =
      std::ranges::find_if(mounts_, [&](const Mount& mount) { return mount.route.size() < route.size(); });
  mounts_.insert(place, Mount{std::string(route), fd});
  return 0;
}

const StaticMounts::Mount* StaticMounts::find(std::string_view path, std::string_view& below) const noexcept {
  for (const Mount& mount : mounts_) {
    if (!path.starts_with(mount.route)) continue;
    const std::string_view rest = path.substr(mount.route.size());
    if (rest.empty() || rest.front() == '/') {
      below = rest;
      return &mount;
    }
  }
  return nullptr;
}

// --- the answer ------------------------------------------------------------------------------------

void StaticAnswer::add(std::string_view name, std::string value) {
  names_.at(count_) = name;
  values_.at(count_) = std::move(value);
  ++count_;
}

std::span<const http::HeaderField> StaticAnswer::fields() {
  for (std::size_t i = 0; i < count_; ++i) fields_[i] = {names_[i], values_[i]};
  return {fields_.data(), count_};
}

namespace {

constexpr std::string_view kNotFound = "Not Found";
constexpr std::string_view kNotAllowed = "Method Not Allowed";
constexpr std::string_view kText = "text/plain; charset=utf-8";

StaticAnswer refusal(std::uint16_t status, std::string_view text) {
  StaticAnswer answer;
  answer.status = status;
  answer.text = text;
  answer.add("content-type", std::string(kText));
  return answer;
}

// The precompressed sibling the client accepts most ("name.br", "name.gz"; br
// first among equals), or the file itself; `varies` once a sibling exists,
// chosen or not, since another client's Accept-Encoding would get another
// answer.
std::string_view choose_coding(int directory, const std::string& name, const Conditions& conditions, Resolver resolver,
                               Representation& chosen, bool& varies) {
  varies = false;
  if (!conditions.has_accept_encoding) return {};
  const AcceptedCodings accepted = accepted_codings(conditions.accept_encoding);
  struct Sibling {
    std::string_view coding;
    std::string_view suffix;
    std::uint16_t quality;
  };
  std::array<Sibling, 2> siblings{{{"br", ".br", accepted.br}, {"gzip", ".gz", accepted.gzip}}};
  if (siblings[1].quality > siblings[0].quality) std::swap(siblings[0], siblings[1]);
  for (const Sibling& sibling : siblings) {
    Representation encoded = open_representation(directory, name + std::string(sibling.suffix), resolver);
    if (!encoded.open()) continue;
    varies = true;
    if (sibling.quality == 0) continue;
    chosen = std::move(encoded);
    return sibling.coding;
  }
  return {};
}

}  // namespace

StaticAnswer plan_static(const StaticMounts& mounts, std::string_view method, std::string_view path,
                         std::span<const http::HeaderLine> headers, Resolver resolver) {
  std::string decoded_bytes;
  const std::string_view decoded = http::percent_decoded(http::origin_path(path), decoded_bytes);
  std::string_view below;
  const StaticMounts::Mount* mount = mounts.find(decoded, below);
  if (mount == nullptr) return {};
  const bool head = method == "HEAD";
  if (!head && method != "GET") {
    StaticAnswer answer = refusal(405, kNotAllowed);
    answer.add("allow", "GET, HEAD");
    return answer;
  }
  const auto relative = relative_name(below);
  if (!relative) return refusal(404, kNotFound);
  const std::string name(*relative);
  Representation file = open_representation(mount->directory, name, resolver);
  if (!file.open()) return refusal(404, kNotFound);

  const Conditions conditions = read_conditions(headers);
  bool varies = false;
  const std::string_view coding = choose_coding(mount->directory, name, conditions, resolver, file, varies);
  const std::string etag = entity_tag(file);
  StaticAnswer answer;
  const auto validators = [&] {
    if (varies) answer.add("vary", "accept-encoding");
    answer.add("etag", etag);
    answer.add("last-modified", http_date(file.modified));
  };
  if (not_modified(conditions, etag, file.modified)) {
    answer.status = 304;
    validators();
    return answer;
  }
  ByteRange range;
  // Only GET has ranges; a HEAD is answered as the GET without them.
  if (!head && !conditions.range.empty() && !conditions.several_ranges &&
      range_applies(conditions, etag, file.modified))
    range = parse_range(conditions.range, file.size);
  if (range.kind == ByteRange::Kind::unsatisfiable) {
    answer.status = 416;
    answer.add("content-range", "bytes */" + decimal(file.size));
    return answer;
  }
  answer.add("content-type", std::string(content_type_for(name)));
  if (!coding.empty()) answer.add("content-encoding", std::string(coding));
  validators();
  answer.add("accept-ranges", "bytes");
  std::uint64_t offset = 0;
  std::uint64_t count = file.size;
  answer.status = 200;
  if (range.kind == ByteRange::Kind::part) {
    answer.status = 206;
    offset = range.first;
    count = range.last - range.first + 1;
    answer.add("content-range", "bytes " + decimal(range.first) + "-" + decimal(range.last) + "/" + decimal(file.size));
  }
  answer.file = FileSlice(file.fd.release(), offset, count);
  return answer;
}

void StaticAnswer::send(Exchange& exchange) {
  exchange.start(status, false);
  if (file.open()) {
    exchange.file(fields(), std::move(file), false);
  } else {
    exchange.body(fields(), text, false);
  }
}

}  // namespace tessaryne::server
