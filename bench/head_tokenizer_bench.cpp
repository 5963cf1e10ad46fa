// Request-head tokenizing throughput: ours against the peers that were built
// in (picohttpparser and Debian's http_parser, fetched by bench/fetch-peers).
// Prints ns/request and GB/s, medians of several runs, and ours/peer ratios.

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/http/head_rules.hpp"
#include "core/http/head_tokenizer.hpp"

#ifdef TESSARYNE_PEER_PICO
extern "C" {
struct phr_header {
  const char* name;
  std::size_t name_len;
  const char* value;
  std::size_t value_len;
};
int phr_parse_request(const char* buf, std::size_t len, const char** method, std::size_t* method_len, const char** path,
                      std::size_t* path_len, int* minor_version, phr_header* headers, std::size_t* num_headers,
                      std::size_t last_len);
}
#endif
#ifdef TESSARYNE_PEER_HTTP_PARSER
#include <http_parser.h>
#endif

namespace {

using namespace tessaryne::http;
using tessaryne::common::KernelFamily;

// A browser request of about 700 bytes with ten header lines.
const std::string kBrowser =
    "GET /wp-content/uploads/2010/03/hello-kitty-darth-vader-pink.jpg HTTP/1.1\r\n"
    "Host: www.kittyhell.com\r\n"
    "User-Agent: Mozilla/5.0 (Macintosh; U; Intel Mac OS X 10.6; ja-JP-mac; rv:1.9.2.3) Gecko/20100401 "
    "Firefox/3.6.3 Pathtraq/0.9\r\n"
    "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8\r\n"
    "Accept-Language: ja,en-us;q=0.7,en;q=0.3\r\n"
    "Accept-Encoding: gzip,deflate\r\n"
    "Accept-Charset: Shift_JIS,utf-8;q=0.7,*;q=0.7\r\n"
    "Keep-Alive: 115\r\n"
    "Connection: keep-alive\r\n"
    "Referer: http://www.kittyhell.com/2010/03/05/hello-kitty-darth-vader-pink/\r\n"
    "Cookie: wp_ozh_wsa_visits=2; wp_ozh_wsa_visit_lasttime=xxxxxxxxxx; "
    "__utma=xxxxxxxxx.xxxxxxxxxx.xxxxxxxxxx.xxxxxxxxxx.xxxxxxxxxx.x; "
    "__utmz=xxxxxxxxx.xxxxxxxxxx.x.x.utmccn=(referral)|utmcsr=reader.livedoor.com|utmcct=/reader/|utmcmd=referral\r\n"
    "\r\n";
const std::string kMinimal = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";

volatile std::size_t g_sink;

template <class Parse>
double median_ns(const std::string& request, Parse parse) {
  const int iterations = request.size() > 100 ? 200000 : 1000000;
  std::vector<double> runs;
  for (int run = 0; run < 9; ++run) {
    std::size_t total = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < iterations; ++i) total += parse(request);
    const auto stop = std::chrono::steady_clock::now();
    g_sink = g_sink + total;
    runs.push_back(std::chrono::duration<double, std::nano>(stop - start).count() / iterations);
  }
  std::sort(runs.begin(), runs.end());
  return runs[runs.size() / 2];
}

struct Result {
  std::string name;
  double ns;
};

// Header slots live as long as their owner (the connection keeps them as a
// member), so they are not built per request here either.
std::array<HeaderLine, 256> g_slots;

// A named family, or without one the family this process chose.
std::size_t ours(const std::string& request, std::optional<KernelFamily> family) {
  std::array<HeaderLine, 256>& slots = g_slots;
  RequestHead head;
  const HeadResult result = family ? tokenize_head(request, slots, head, *family) : tokenize_head(request, slots, head);
  return result.status == HeadStatus::complete ? head.length + head.header_count : 0;
}

#ifdef TESSARYNE_PEER_PICO
std::size_t pico(const std::string& request) {
  phr_header headers[256];
  std::size_t num_headers = 256;
  const char *method, *path;
  std::size_t method_len, path_len;
  int minor;
  const int length = phr_parse_request(request.data(), request.size(), &method, &method_len, &path, &path_len, &minor,
                                       headers, &num_headers, 0);
  return length > 0 ? static_cast<std::size_t>(length) + num_headers : 0;
}
#endif

#ifdef TESSARYNE_PEER_HTTP_PARSER
struct Seen {
  std::size_t fields = 0;
  bool done = false;
};
int on_field(http_parser* parser, const char*, std::size_t) {
  ++static_cast<Seen*>(parser->data)->fields;
  return 0;
}
int on_done(http_parser* parser) {
  static_cast<Seen*>(parser->data)->done = true;
  return 0;
}
std::size_t nodejs_parser(const std::string& request) {
  static const http_parser_settings settings = [] {
    http_parser_settings s;
    http_parser_settings_init(&s);
    s.on_url = on_field;
    s.on_header_field = on_field;
    s.on_header_value = on_field;
    s.on_headers_complete = on_done;
    return s;
  }();
  http_parser parser;
  Seen seen;
  http_parser_init(&parser, HTTP_REQUEST);
  parser.data = &seen;
  const std::size_t parsed = http_parser_execute(&parser, &settings, request.data(), request.size());
  return seen.done ? parsed + seen.fields : 0;
}
#endif

void report(const char* label, const std::string& request) {
  std::printf("\n%s (%zu bytes)\n", label, request.size());
  std::vector<Result> results;
  results.push_back({"tessaryne", median_ns(request, [](const std::string& r) { return ours(r, std::nullopt); })});
  results.push_back(
      {"tessaryne sse", median_ns(request, [](const std::string& r) { return ours(r, KernelFamily::sse); })});
  results.push_back(
      {"tessaryne scalar", median_ns(request, [](const std::string& r) { return ours(r, KernelFamily::scalar); })});
  results.push_back({"tessaryne + head rules", median_ns(request, [](const std::string& r) {
                       std::array<HeaderLine, 256>& slots = g_slots;
                       RequestHead head;
                       if (tokenize_head(r, slots, head).status != HeadStatus::complete) return std::size_t{0};
                       const HeadFacts facts =
                           scan_headers(std::span(slots.data(), head.header_count), head.minor_version);
                       return head.length + static_cast<std::size_t>(facts.keep_alive);
                     })});
#ifdef TESSARYNE_PEER_PICO
  results.push_back({"picohttpparser", median_ns(request, pico)});
#else
  std::printf("  picohttpparser: not built in (run bench/fetch-peers, then configure again)\n");
#endif
#ifdef TESSARYNE_PEER_HTTP_PARSER
  results.push_back({"http_parser (Debian)", median_ns(request, nodejs_parser)});
#else
  std::printf("  http_parser: not built in (install libhttp-parser-dev, then configure again)\n");
#endif
  for (const Result& r : results)
    std::printf("  %-24s %8.1f ns/request  %6.2f GB/s\n", r.name.c_str(), r.ns,
                static_cast<double>(request.size()) / r.ns);
  constexpr std::size_t kFirstPeer = 4;
  for (std::size_t i = kFirstPeer; i < results.size(); ++i)
    std::printf("  tessaryne / %-20s %5.2fx throughput\n", results[i].name.c_str(), results[i].ns / results[0].ns);
}

}  // namespace

int main() {
  std::printf("median of 9 runs; tokenizing only unless noted\n");
  report("browser request, ten header lines", kBrowser);
  report("minimal request", kMinimal);
  return 0;
}
