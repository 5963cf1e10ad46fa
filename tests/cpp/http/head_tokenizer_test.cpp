#include "core/http/head_tokenizer.hpp"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace tessaryne::http {
namespace {

using common::KernelFamily;

// Every family by name, and the process's own choice (no name).
constexpr std::array<std::optional<KernelFamily>, 4> kKernels{KernelFamily::scalar, KernelFamily::sse,
                                                              KernelFamily::avx2, std::nullopt};

struct Outcome {
  HeadStatus status;
  HeadError error;
  RequestHead head;
  std::vector<HeaderLine> headers;
};

Outcome tokenize(std::string_view input, std::optional<KernelFamily> kernel = KernelFamily::scalar,
                 std::size_t slots = 256) {
  std::vector<HeaderLine> table(slots);
  Outcome out{};
  const HeadResult result =
      kernel ? tokenize_head(input, table, out.head, *kernel) : tokenize_head(input, table, out.head);
  out.status = result.status;
  out.error = result.error;
  if (result.status == HeadStatus::complete) table.resize(out.head.header_count), out.headers = table;
  return out;
}

bool same(const Outcome& a, const Outcome& b) {
  if (a.status != b.status || a.error != b.error) return false;
  if (a.status != HeadStatus::complete) return true;
  if (a.head.method != b.head.method || a.head.target != b.head.target ||
      a.head.minor_version != b.head.minor_version || a.head.length != b.head.length ||
      a.headers.size() != b.headers.size())
    return false;
  for (std::size_t i = 0; i < a.headers.size(); ++i)
    if (a.headers[i].name != b.headers[i].name || a.headers[i].value != b.headers[i].value) return false;
  return true;
}

TEST(HeadTokenizer, AcceptedHeads) {
  struct Case {
    std::string input;
    std::string method, target;
    int minor;
    std::vector<std::pair<std::string, std::string>> headers;
    std::size_t length;
  };
  const std::vector<Case> cases = {
      {"GET / HTTP/1.1\r\n\r\n", "GET", "/", 1, {}, 18},
      {"GET /a?b=1&c HTTP/1.0\r\nHost: x\r\n\r\nBODY", "GET", "/a?b=1&c", 0, {{"Host", "x"}}, 34},
      {"\r\n\n\r\nGET / HTTP/1.1\n\n", "GET", "/", 1, {}, 21},  // leading empty lines, bare LF
      {"M-._~!#$%&'*+^`| /\x80\xff~ HTTP/1.1\r\nx:\t \t v a\t \t\r\nY:\r\n\r\n",
       "M-._~!#$%&'*+^`|",
       "/\x80\xff~",
       1,
       {{"x", "v a"}, {"Y", ""}},
       52},
      {"GET * HTTP/1.1\r\nA: \x80\xfe\x7e\x20\t\"\r\n\r\n", "GET", "*", 1, {{"A", "\x80\xfe\x7e \t\""}}, 29},
  };
  for (const Case& c : cases) {
    for (const std::optional<KernelFamily> kernel : kKernels) {
      const Outcome out = tokenize(c.input, kernel);
      ASSERT_EQ(out.status, HeadStatus::complete) << c.input;
      EXPECT_EQ(out.head.method, c.method);
      EXPECT_EQ(out.head.target, c.target);
      EXPECT_EQ(out.head.minor_version, c.minor);
      EXPECT_EQ(out.head.length, c.length) << c.input;
      ASSERT_EQ(out.headers.size(), c.headers.size());
      for (std::size_t i = 0; i < c.headers.size(); ++i) {
        EXPECT_EQ(out.headers[i].name, c.headers[i].first);
        EXPECT_EQ(out.headers[i].value, c.headers[i].second);
      }
    }
  }
}

// Each input is refused at its last byte with the given error: every shorter
// prefix is partial, so the error comes as soon as the offending byte arrives.
TEST(HeadTokenizer, RejectedAtTheFirstBadByte) {
  const std::vector<std::pair<std::string, HeadError>> cases = {
      {" ", HeadError::token},
      {"GET\t", HeadError::token},
      {"G\xc3", HeadError::token},
      {"GET  ", HeadError::token},  // empty target
      {"GET /\x7f", HeadError::token},
      {"GET /\t", HeadError::token},
      {"GET /\r", HeadError::token},
      {"GET / HTTP/2", HeadError::version},
      {"GET / HTTP/1.2", HeadError::version},
      {"GET / h", HeadError::version},
      {"GET / HTTP/1.10", HeadError::version},
      {"GET / HTTP/1.1 ", HeadError::version},
      {"GET / HTTP/1.1\rX", HeadError::new_line},
      {"\rX", HeadError::new_line},
      {"GET / HTTP/1.1\r\n\rX", HeadError::new_line},
      {"GET / HTTP/1.1\r\n ", HeadError::header_name},  // obs-fold
      {"GET / HTTP/1.1\r\nA: 1\r\n\t", HeadError::header_name},
      {"GET / HTTP/1.1\r\nHost ", HeadError::header_name},
      {"GET / HTTP/1.1\r\n:", HeadError::header_name},
      {"GET / HTTP/1.1\r\nA\r", HeadError::header_name},
      {"GET / HTTP/1.1\r\nA\xc3", HeadError::header_name},
      {"GET / HTTP/1.1\r\nA: b\x7f", HeadError::header_value},
      {"GET / HTTP/1.1\r\nA: b\x0b", HeadError::header_value},
      {"GET / HTTP/1.1\r\nA: b\x1f", HeadError::header_value},
      {"GET / HTTP/1.1\r\nA: b\rc", HeadError::header_value},  // bare CR
  };
  for (const auto& [input, error] : cases) {
    for (const std::optional<KernelFamily> kernel : kKernels) {
      const Outcome out = tokenize(input, kernel);
      EXPECT_EQ(out.status, HeadStatus::error) << input;
      EXPECT_EQ(out.error, error) << input;
      for (std::size_t k = 0; k < input.size(); ++k)
        EXPECT_EQ(tokenize(input.substr(0, k), kernel).status, HeadStatus::partial) << input << " @" << k;
    }
  }
}

TEST(HeadTokenizer, NulInValueIsRefused) {
  using namespace std::string_literals;
  const std::string input = "GET / HTTP/1.1\r\nA: b\0c\r\n\r\n"s;
  EXPECT_EQ(tokenize(input).error, HeadError::header_value);
}

TEST(HeadTokenizer, EveryPrefixOfAValidHeadIsPartial) {
  const std::string input =
      "\r\nPOST /upload?x=1 HTTP/1.1\r\nHost: example.org\nContent-Length:  5 \t\r\nX-Empty:\r\n\r\nhello";
  const Outcome whole = tokenize(input);
  ASSERT_EQ(whole.status, HeadStatus::complete);
  for (std::size_t k = 0; k < whole.head.length; ++k)
    EXPECT_EQ(tokenize(input.substr(0, k)).status, HeadStatus::partial) << k;
  EXPECT_TRUE(same(tokenize(input.substr(0, whole.head.length)), whole));
}

TEST(HeadTokenizer, HeaderSlotLimit) {
  auto head_with = [](int lines) {
    std::string head = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < lines; ++i) head += "h" + std::to_string(i) + ": v\r\n";
    return head + "\r\n";
  };
  EXPECT_EQ(tokenize(head_with(256)).status, HeadStatus::complete);
  EXPECT_EQ(tokenize(head_with(256)).headers.size(), 256U);
  EXPECT_EQ(tokenize(head_with(257)).error, HeadError::too_many_headers);
  EXPECT_EQ(tokenize(head_with(3), KernelFamily::scalar, 2).error, HeadError::too_many_headers);
  EXPECT_EQ(tokenize(head_with(2), KernelFamily::scalar, 2).status, HeadStatus::complete);
  EXPECT_EQ(tokenize(head_with(0), KernelFamily::scalar, 0).status, HeadStatus::complete);
  // The slot is needed from the first byte of the extra line on.
  const std::string two = head_with(2);
  EXPECT_EQ(tokenize(two.substr(0, two.size() - 2) + "h", KernelFamily::scalar, 2).error, HeadError::too_many_headers);
}

TEST(HeadTokenizer, ReasonTexts) {
  EXPECT_EQ(reason_text(HeadError::token), "invalid token");
  EXPECT_EQ(reason_text(HeadError::version), "invalid HTTP version");
  EXPECT_EQ(reason_text(HeadError::header_name), "invalid header name");
  EXPECT_EQ(reason_text(HeadError::header_value), "invalid header value");
  EXPECT_EQ(reason_text(HeadError::new_line), "invalid new line");
  EXPECT_EQ(reason_text(HeadError::too_many_headers), "too many headers");
}

// Targets and values that run to the end of the input, of lengths that
// straddle 16-, 32- and 64-byte boundaries, with a byte from each edge of the
// byte classes at every position: each kernel stops where the scalar one
// does. A long method or header name makes every head long enough for the
// vector kernels. (Every byte value is tried in long_head below.)
TEST(HeadTokenizerKernels, ClassEdgesAtEveryPositionOfTargetsAndValues) {
  const std::string method(64, 'M');
  const std::string name = "GET / HTTP/1.1\r\n" + std::string(48, 'N') + ": ";
  for (const std::size_t length : {1U, 15U, 16U, 17U, 31U, 32U, 33U, 47U, 48U, 63U, 64U, 65U, 96U, 100U}) {
    for (std::size_t position = 0; position < length; ++position) {
      for (const unsigned byte : {0x00U, 0x09U, 0x0AU, 0x0DU, 0x1FU, 0x20U, 0x21U, 0x3AU, 0x7EU, 0x7FU, 0x80U, 0xFFU}) {
        std::string field(length, 'a');
        field[position] = static_cast<char>(byte);
        const std::string target_head = method + " " + field;
        const std::string value_head = name + field;
        const Outcome target_ref = tokenize(target_head);
        const Outcome value_ref = tokenize(value_head);
        // The reference: a field of members is unfinished; any other byte but
        // the one that ends the field is refused.
        const bool target_member = (byte >= 0x21 && byte <= 0x7E) || byte >= 0x80;
        const bool value_member = byte == '\t' || (byte >= 0x20 && byte != 0x7F);
        if (byte != ' ') {
          ASSERT_EQ(target_ref.error, target_member ? HeadError::none : HeadError::token) << byte;
        }
        if (byte != '\r' && byte != '\n') {
          ASSERT_EQ(value_ref.error, value_member ? HeadError::none : HeadError::header_value) << byte;
        }
        for (const std::optional<KernelFamily> kernel : kKernels) {
          ASSERT_TRUE(same(tokenize(target_head, kernel), target_ref)) << length << " " << position << " " << byte;
          ASSERT_TRUE(same(tokenize(value_head, kernel), value_ref)) << length << " " << position << " " << byte;
        }
      }
    }
  }
}

// The vector kernels take heads of 64 bytes and more in 64-byte windows. This
// head has a target and values longer than a window, names and line ends on
// both sides of window edges, leading empty lines and body bytes after it.
std::string long_head() {
  return "\r\n\nPOST /a/target/that/is/longer/than/one/window/of/sixty/four/bytes/to/cross/it?q=1 HTTP/1.0\r\n"
         "Host: example.org\nX-Long: " +
         std::string(150, 'v') + " \t\r\nAccept-Encoding:gzip, deflate\r\nX-Tab:\tt\tu\r\nCookie: a=b; c=d\r\n" +
         std::string(40, 'X') + ":\r\nZ: \x80\xff\r\n\r\nbody bytes";
}

TEST(HeadTokenizerKernels, LongHeadWithEveryByteAtEveryPosition) {
  const std::string base = long_head();
  ASSERT_EQ(tokenize(base).status, HeadStatus::complete);
  for (std::size_t position = 0; position < base.size(); ++position) {
    for (unsigned byte = 0; byte < 256; ++byte) {
      std::string input = base;
      input[position] = static_cast<char>(byte);
      const Outcome reference = tokenize(input, KernelFamily::scalar);
      for (const std::optional<KernelFamily> kernel : kKernels)
        ASSERT_TRUE(same(tokenize(input, kernel), reference)) << position << " " << byte;
    }
  }
}

TEST(HeadTokenizerKernels, EveryPrefixOfALongHead) {
  const std::string base = long_head();
  for (std::size_t k = 0; k <= base.size(); ++k) {
    const std::string input = base.substr(0, k);
    const Outcome reference = tokenize(input, KernelFamily::scalar);
    for (const std::optional<KernelFamily> kernel : kKernels)
      ASSERT_TRUE(same(tokenize(input, kernel), reference)) << k;
  }
}

// Heads of every length around one and two windows, each ending in a bad
// byte, a complete head or an unfinished one.
TEST(HeadTokenizerKernels, HeadsAroundWindowSizes) {
  for (std::size_t length = 40; length < 200; ++length) {
    const std::string head = "GET / HTTP/1.1\r\nA: " + std::string(length - 23, 'a') + "\r\n\r\n";
    ASSERT_EQ(head.size(), length);
    for (const std::string& input : {head, head.substr(0, length - 1), head.substr(0, length - 4) + "\x01",
                                     head.substr(0, length - 2) + "B\x7f", head + "GET"}) {
      const Outcome reference = tokenize(input, KernelFamily::scalar);
      for (const std::optional<KernelFamily> kernel : kKernels)
        ASSERT_TRUE(same(tokenize(input, kernel), reference)) << input;
    }
  }
}

TEST(HeadTokenizerKernels, RandomInputsGiveIdenticalResults) {
  std::mt19937_64 random(12345);
  const std::string base =
      "GET /a/very/long/path/that/crosses/several/vector/widths?and=a&query=string HTTP/1.1\r\n"
      "Host: www.example.com\r\nUser-Agent: Mozilla/5.0 (X11; Linux x86_64; rv:120.0) Gecko/20100101\r\n"
      "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8\r\n\r\n";
  // Uniform bytes, and mostly-valid heads with a few bytes changed.
  for (int round = 0; round < 20000; ++round) {
    std::string input;
    if (round % 4 == 0) {
      input.resize(random() % 200);
      for (char& c : input) c = static_cast<char>(random());
    } else {
      input = base.substr(0, random() % (base.size() + 1));
      const int edits = static_cast<int>(random() % 3);
      for (int e = 0; e < edits && !input.empty(); ++e) input[random() % input.size()] = static_cast<char>(random());
    }
    const Outcome reference = tokenize(input, KernelFamily::scalar);
    for (const std::optional<KernelFamily> kernel : kKernels)
      ASSERT_TRUE(same(tokenize(input, kernel), reference)) << input;
  }
}

}  // namespace
}  // namespace tessaryne::http
