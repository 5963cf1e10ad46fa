// Feeds arbitrary header values and paths to the rules of a static mount's
// answer and checks what must hold for every one: a range lies within the
// representation, a quality is at most 1, a date read back from its own
// rendering is the same instant, "*" names any tag, and a name relative to a
// mount never climbs out of it or starts at the root.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/server/server_loop.hpp"
#include "core/server/static_files.hpp"

using namespace tessaryne::server;

namespace {

// The next line of the input (the rest, after the last newline).
std::string_view next_line(std::string_view& input) {
  const std::size_t end = input.find('\n');
  const std::string_view line = input.substr(0, end);
  input.remove_prefix(end == std::string_view::npos ? input.size() : end + 1);
  return line;
}

void check_name(std::string_view below) {
  const auto name = relative_name(below);
  if (!name) return;
  if (name->empty() || name->front() == '/' || !below.ends_with(*name)) std::abort();
  if (name->find('\0') != std::string_view::npos || name->find('\\') != std::string_view::npos) std::abort();
  for (std::string_view rest = *name;;) {
    const std::size_t slash = rest.find('/');
    const std::string_view segment = rest.substr(0, slash);
    if (segment == "." || segment == "..") std::abort();
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::uint64_t length = input.empty() ? 0 : static_cast<std::uint8_t>(input[0]) * 37U;
  const std::string_view range = next_line(input);
  const std::string_view tags = next_line(input);
  const std::string_view codings = next_line(input);
  const std::string_view date = next_line(input);

  const ByteRange parsed = parse_range(range, length);
  if (parsed.kind == ByteRange::Kind::part && (parsed.first > parsed.last || parsed.last >= length)) std::abort();

  if (!none_match_names(std::string(tags) + ", *", "\"1-2\"") && tags.find('"') == std::string_view::npos) std::abort();
  (void)none_match_names(tags, "\"1-2\"");

  const AcceptedCodings accepted = accepted_codings(codings);
  if (accepted.br > 1000 || accepted.gzip > 1000) std::abort();

  if (const auto instant = parse_http_date(date); instant && *instant >= 0 && *instant < 253402300800) {
    if (parse_http_date(http_date(*instant)) != instant) std::abort();
  }

  check_name(input);
  return 0;
}
