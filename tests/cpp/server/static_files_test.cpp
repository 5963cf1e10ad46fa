#include "core/server/static_files.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/server/server_loop.hpp"

namespace tessaryne::server {
namespace {

using Kind = ByteRange::Kind;

TEST(StaticFiles, HeaderRules) {
  struct RangeCase {
    const char* value;
    Kind kind;
    std::uint64_t first, last;
  };
  // Of a 1000-byte representation.
  const RangeCase ranges[] = {
      {"bytes=0-499", Kind::part, 0, 499},
      {"bytes=500-", Kind::part, 500, 999},
      {"bytes=-200", Kind::part, 800, 999},
      {"bytes=-5000", Kind::part, 0, 999},
      {"bytes=990-5000", Kind::part, 990, 999},
      {"Bytes = 1-1", Kind::part, 1, 1},
      {" bytes=7-8, ", Kind::part, 7, 8},
      {"bytes=1000-", Kind::unsatisfiable, 0, 0},
      {"bytes=-0", Kind::unsatisfiable, 0, 0},
      {"bytes=5-4", Kind::whole, 0, 0},
      {"bytes=0-1,5-6", Kind::whole, 0, 0},
      {"bytes=1 - 2", Kind::whole, 0, 0},
      {"bytes=-", Kind::whole, 0, 0},
      {"bytes=+1-2", Kind::whole, 0, 0},
      {"bytes=99999999999999999999-", Kind::whole, 0, 0},
      {"items=0-1", Kind::whole, 0, 0},
      {"bytes", Kind::whole, 0, 0},
  };
  for (const RangeCase& c : ranges) {
    const ByteRange range = parse_range(c.value, 1000);
    EXPECT_EQ(range.kind, c.kind) << c.value;
    if (c.kind == Kind::part) {
      EXPECT_EQ(std::pair(range.first, range.last), std::pair(c.first, c.last)) << c.value;
    }
  }
  EXPECT_EQ(parse_range("bytes=0-", 0).kind, Kind::unsatisfiable);
  EXPECT_EQ(parse_range("bytes=-1", 0).kind, Kind::unsatisfiable);

  const std::string etag = "\"A-1F\"";
  for (const char* names : {"\"A-1F\"", "W/\"A-1F\"", "\"x\", \"A-1F\"", "*", "\"x\",W/\"A-1F\" ,"})
    EXPECT_TRUE(none_match_names(names, etag)) << names;
  for (const char* misses : {"", "\"A-1\"", "A-1F", "\"a-1f\"", "\"A-1F", "w/\"A-1F\"", "\"x\", \"y\""})
    EXPECT_FALSE(none_match_names(misses, etag)) << misses;

  struct TypeCase {
    const char* name;
    const char* type;
  };
  for (const TypeCase& c : std::initializer_list<TypeCase>{
           {"index.html", "text/html; charset=utf-8"},
           {"a/b/APP.JS", "text/javascript; charset=utf-8"},
           {"x.tar.gz", "application/gzip"},
           {"logo.svg", "image/svg+xml"},
           {"font.woff2", "font/woff2"},
           {"data.json", "application/json"},
           {"README", "application/octet-stream"},
           {".css", "application/octet-stream"},
           {"dir.css/file", "application/octet-stream"},
           {"odd.", "application/octet-stream"},
       })
    EXPECT_EQ(content_type_for(c.name), c.type) << c.name;

  struct CodingCase {
    const char* list;
    std::uint16_t br, gzip;
  };
  for (const CodingCase& c : std::initializer_list<CodingCase>{
           {"gzip, deflate, br, zstd", 1000, 1000},
           {"gzip;q=0.8, br;q=0.5", 500, 800},
           {"BR;Q=0, *", 0, 1000},
           {"*;q=0.1, gzip;q=0", 100, 0},
           {"x-gzip", 0, 1000},
           {"br;q=1.000, gzip;q=0.001", 1000, 1},
           {"br;q=1.5, gzip;q=0.0001", 0, 0},
           {"br;level=9, gzip;q=", 0, 0},
           {"identity", 0, 0},
           {"", 0, 0},
       }) {
    const AcceptedCodings accepted = accepted_codings(c.list);
    EXPECT_EQ(std::pair(accepted.br, accepted.gzip), std::pair(c.br, c.gzip)) << c.list;
  }

  // The three forms of one instant, and the form this server writes.
  constexpr std::time_t kInstant = 784111777;
  for (const char* date :
       {"Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT", "Sun Nov  6 08:49:37 1994"})
    EXPECT_EQ(parse_http_date(date), kInstant) << date;
  EXPECT_EQ(parse_http_date(http_date(1'800'000'000)), 1'800'000'000);
  for (const char* bad :
       {"", "Sun, 06 Nov 1994 08:49:37 UTC", "Sun, 6 Nov 1994 08:49:37 GMT", "Sun, 06 Nov 1994 24:00:00 GMT",
        "Sun, 00 Nov 1994 08:49:37 GMT", "Sun, 06 Foo 1994 08:49:37 GMT", "Sun Nov 06 08:49:37 94", "784111777"})
    EXPECT_FALSE(parse_http_date(bad)) << bad;

  for (const char* refused : {"", "/", "//", "/..", "/a/../b", "/./a", "/a/.", "/a\\..\\b"})
    EXPECT_FALSE(relative_name(refused)) << refused;
  EXPECT_FALSE(relative_name(std::string_view("/a\0b", 4)));
  EXPECT_EQ(relative_name("//a//b.txt"), "a//b.txt");
  EXPECT_EQ(relative_name("/..a/b..."), "..a/b...");
}

// A mount with a secret beside it, symbolic links in and out, a directory
// and precompressed siblings.
class StaticTree : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "static-XXXXXX").string();
    root_ = ::mkdtemp(pattern.data());
    ASSERT_FALSE(root_.empty());
    const std::filesystem::path mount = root_ / "public";
    std::filesystem::create_directories(mount / "sub");
    write(root_ / "secret", "secret bytes");
    write(mount / "index.html", "<p>hello</p>");
    write(mount / "sub" / "app.js", "let a = 1;");
    write(mount / "sub" / "app.js.gz", "GZ");
    write(mount / "sub" / "app.js.br", "BR");
    std::filesystem::create_symlink("../secret", mount / "out");
    std::filesystem::create_symlink(root_ / "secret", mount / "absolute");
    std::filesystem::create_symlink("..", mount / "up");
    std::filesystem::create_symlink("index.html", mount / "in");
    ::mkfifo((mount / "pipe").c_str(), 0600);
    ASSERT_EQ(mounts_.add("/static/", mount.string()), 0);
    ASSERT_EQ(mounts_.add("/", (mount / "sub").string()), 0);
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  static void write(const std::filesystem::path& path, const std::string& text) { std::ofstream(path) << text; }

  using Lines = std::vector<std::pair<std::string, std::string>>;
  StaticAnswer plan(std::string_view method, std::string_view path, const Lines& lines = {},
                    Resolver resolver = Resolver::any) {
    std::vector<http::HeaderLine> headers;
    for (const auto& [name, value] : lines) headers.push_back({name, value});
    return plan_static(mounts_, method, path, headers, resolver);
  }
  static std::string field(StaticAnswer& answer, std::string_view name) {
    for (const http::HeaderField& f : answer.fields())
      if (f.name == name) return std::string(f.value);
    return "(none)";
  }
  // The bytes the answer's file would send.
  static std::string body(const StaticAnswer& answer) {
    return answer.file.open()
               ? "(" + std::to_string(answer.file.offset()) + "+" + std::to_string(answer.file.count()) + ")"
               : std::string(answer.text);
  }

  std::filesystem::path root_;
  StaticMounts mounts_;
};

TEST_F(StaticTree, NothingOutsideTheMount) {
  struct Case {
    const char* path;
    std::uint16_t beneath;  // with openat2
    std::uint16_t walk;     // a component at a time, following no link
  };
  const Case cases[] = {
      {"/static/index.html", 200, 200},
      {"/static/../secret", 404, 404},
      {"/static/%2e%2e/secret", 404, 404},
      {"/static/..%2fsecret", 404, 404},
      {"/static/%2E%2E%5Csecret", 404, 404},
      {"/static/a%00b", 404, 404},
      {"/static/out", 404, 404},
      {"/static/absolute", 404, 404},
      {"/static/up/secret", 404, 404},
      {"/static/in", 200, 404},
      {"/static/sub", 404, 404},
      {"/static/sub/", 404, 404},
      {"/static/", 404, 404},
      {"/static", 404, 404},
      {"/static//index.html", 200, 200},
      {"/static/%252e%252e/secret", 404, 404},
      {"/static/pipe", 404, 404},
      {"http://host/static/../secret", 404, 404},
      {"http://host/static/index.html", 200, 200},
      {"/app.js", 200, 200},  // the mount on "/"
      {"/../secret", 404, 404},
      {"/staticky/index.html", 404, 404},  // not /static's: the "/" mount's, where it is missing
  };
  for (const Case& c : cases) {
    for (const auto& [resolver, status] :
         {std::pair{Resolver::beneath, c.beneath}, std::pair{Resolver::walk, c.walk}}) {
      StaticAnswer answer = plan("GET", c.path, {}, resolver);
      EXPECT_EQ(answer.status, status) << c.path << (resolver == Resolver::walk ? " (walk)" : "");
    }
  }
}

TEST_F(StaticTree, Answers) {
  StaticAnswer first = plan("GET", "/static/index.html");
  const std::string etag = field(first, "etag");
  const std::string modified = field(first, "last-modified");
  ASSERT_EQ(etag.front(), '"');
  struct Case {
    const char* method;
    const char* path;
    Lines headers;
    std::uint16_t status;
    const char* name;  // a field the answer must have
    std::string value;
    std::string body;
  };
  const std::string before = "Sat, 01 Jan 2000 00:00:00 GMT";
  const Case cases[] = {
      {"GET", "/static/index.html", {}, 200, "content-type", "text/html; charset=utf-8", "(0+12)"},
      {"HEAD", "/static/index.html?x=1", {}, 200, "accept-ranges", "bytes", "(0+12)"},
      {"GET", "/static/index.html", {{"If-None-Match", "\"x\", W/" + etag}}, 304, "etag", etag, ""},
      {"GET", "/static/index.html", {{"if-none-match", "\"x\""}, {"if-none-match", etag}}, 304, "etag", etag, ""},
      {"GET", "/static/index.html", {{"If-Modified-Since", modified}}, 304, "last-modified", modified, ""},
      {"GET", "/static/index.html", {{"If-Modified-Since", before}}, 200, "etag", etag, "(0+12)"},
      // If-None-Match decides alone when present.
      {"GET",
       "/static/index.html",
       {{"If-None-Match", "\"x\""}, {"If-Modified-Since", modified}},
       200,
       "etag",
       etag,
       "(0+12)"},
      {"GET", "/static/index.html", {{"Range", "bytes=3-5"}}, 206, "content-range", "bytes 3-5/12", "(3+3)"},
      {"GET",
       "/static/index.html",
       {{"Range", "bytes=-2"}, {"If-Range", etag}},
       206,
       "content-range",
       "bytes 10-11/12",
       "(10+2)"},
      {"GET",
       "/static/index.html",
       {{"Range", "bytes=3-5"}, {"If-Range", modified}},
       206,
       "content-range",
       "bytes 3-5/12",
       "(3+3)"},
      {"GET", "/static/index.html", {{"Range", "bytes=3-5"}, {"If-Range", "W/" + etag}}, 200, "etag", etag, "(0+12)"},
      {"GET", "/static/index.html", {{"Range", "bytes=3-5"}, {"If-Range", before}}, 200, "etag", etag, "(0+12)"},
      {"GET", "/static/index.html", {{"Range", "bytes=0-1"}, {"Range", "bytes=2-3"}}, 200, "etag", etag, "(0+12)"},
      {"HEAD", "/static/index.html", {{"Range", "bytes=3-5"}}, 200, "accept-ranges", "bytes", "(0+12)"},
      {"GET", "/static/index.html", {{"Range", "bytes=12-"}}, 416, "content-range", "bytes */12", ""},
      {"GET", "/static/sub/app.js", {{"Accept-Encoding", "gzip, br"}}, 200, "content-encoding", "br", "(0+2)"},
      {"GET", "/static/sub/app.js", {{"Accept-Encoding", "gzip"}}, 200, "content-encoding", "gzip", "(0+2)"},
      {"GET",
       "/static/sub/app.js",
       {{"Accept-Encoding", "br;q=0.5"}, {"accept-encoding", "gzip"}},
       200,
       "content-encoding",
       "gzip",
       "(0+2)"},
      {"GET",
       "/static/sub/app.js",
       {{"Accept-Encoding", "br;q=0, gzip;q=0"}},
       200,
       "vary",
       "accept-encoding",
       "(0+10)"},
      {"GET",
       "/static/sub/app.js",
       {{"Accept-Encoding", "br"}, {"Range", "bytes=1-"}},
       206,
       "content-range",
       "bytes 1-1/2",
       "(1+1)"},
      {"GET", "/static/sub/app.js", {}, 200, "vary", "(none)", "(0+10)"},
      {"GET",
       "/static/sub/app.js",
       {{"Accept-Encoding", "gzip"}},
       200,
       "content-type",
       "text/javascript; charset=utf-8",
       "(0+2)"},
      {"POST", "/static/index.html", {}, 405, "allow", "GET, HEAD", "Method Not Allowed"},
      {"DELETE", "/static/missing", {}, 405, "allow", "GET, HEAD", "Method Not Allowed"},
      {"GET", "/static/missing", {}, 404, "content-type", "text/plain; charset=utf-8", "Not Found"},
  };
  for (const Case& c : cases) {
    const std::string_view target(c.path);
    StaticAnswer answer = plan(c.method, target.substr(0, target.find('?')), c.headers);
    EXPECT_EQ(answer.status, c.status) << c.method << " " << c.path;
    EXPECT_EQ(field(answer, c.name), c.value) << c.method << " " << c.path << " " << c.name;
    EXPECT_EQ(body(answer), c.body) << c.method << " " << c.path;
  }
  // Without a mount on "/", a path under no route is the application's.
  StaticMounts only;
  ASSERT_EQ(only.add("/static", (root_ / "public").string()), 0);
  for (const char* path : {"/staticky/index.html", "/", "*", "/Static/index.html"})
    EXPECT_EQ(plan_static(only, "GET", path, {}).status, 0) << path;
  EXPECT_EQ(only.add("/more", (root_ / "secret").string()), ENOTDIR);
}

}  // namespace
}  // namespace tessaryne::server
