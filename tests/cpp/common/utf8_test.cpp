#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/common/utf8.hpp"

namespace tessaryne::common {
namespace {

// Decodes code point by code point and checks the decoded value, the way the
// rules are written down, rather than by byte ranges as the validator does.
bool reference_valid(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<std::uint8_t>(text[i]);
    std::size_t length;
    std::uint32_t cp;
    if (lead < 0x80) {
      length = 1;
      cp = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2;
      cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      cp = lead & 0x07;
    } else
      return false;
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto c = static_cast<std::uint8_t>(text[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    static constexpr std::uint32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMinimum[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

// Fed in pieces cut at `cuts`, the verdict equals the whole-text one.
bool split_valid(const std::string& text, const std::vector<std::size_t>& cuts) {
  Utf8Validator validator;
  std::size_t from = 0;
  for (std::size_t cut : cuts) {
    validator.feed(std::string_view(text).substr(from, cut - from));
    from = cut;
  }
  validator.feed(std::string_view(text).substr(from));
  return validator.complete();
}

void expect_agrees(const std::string& text) {
  const bool expected = reference_valid(text);
  ASSERT_EQ(is_valid_utf8(text), expected) << ::testing::PrintToString(text);
  for (std::size_t cut = 0; cut <= text.size(); ++cut)
    ASSERT_EQ(split_valid(text, {cut}), expected) << "cut at " << cut << " of " << ::testing::PrintToString(text);
}

TEST(Utf8, ExhaustiveShortSequencesAgreeWithTheReferenceWholeAndCut) {
  for (int a = 0; a < 256; ++a) {
    expect_agrees(std::string(1, static_cast<char>(a)));
    for (int b = 0; b < 256; ++b) expect_agrees({static_cast<char>(a), static_cast<char>(b)});
  }
  for (int a = 0xC0; a < 256; ++a)
    for (int b = 0; b < 256; ++b)
      for (int c = 0; c < 256; ++c) {
        const std::string text{static_cast<char>(a), static_cast<char>(b), static_cast<char>(c)};
        ASSERT_EQ(is_valid_utf8(text), reference_valid(text)) << a << ' ' << b << ' ' << c;
      }
  const int edges[] = {0x00, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xFF};
  for (int a = 0xF0; a < 256; ++a)
    for (int b = 0; b < 256; ++b)
      for (int c : edges)
        for (int d : edges)
          expect_agrees({static_cast<char>(a), static_cast<char>(b), static_cast<char>(c), static_cast<char>(d)});
}

TEST(Utf8, AdversarialForms) {
  struct Case {
    const char* name;
    std::string text;
    bool valid;
  };
  const Case cases[] = {
      {"empty", "", true},
      {"ascii", "hello, world", true},
      {"two three four", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", true},
      {"overlong slash", "\xC0\xAF", false},
      {"overlong 3-byte", "\xE0\x80\xAF", false},
      {"overlong 4-byte", "\xF0\x80\x80\xAF", false},
      {"smallest 3-byte", "\xE0\xA0\x80", true},
      {"smallest 4-byte", "\xF0\x90\x80\x80", true},
      {"surrogate low end", "\xED\xA0\x80", false},
      {"surrogate high end", "\xED\xBF\xBF", false},
      {"just below surrogates", "\xED\x9F\xBF", true},
      {"U+10FFFF", "\xF4\x8F\xBF\xBF", true},
      {"U+110000", "\xF4\x90\x80\x80", false},
      {"F5 lead", "\xF5\x80\x80\x80", false},
      {"lone continuation", "a\x80", false},
      {"cut at end", "abc\xE2\x82", false},
      {"ascii after cut",
       "\xE2\x82"
       "a",
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(is_valid_utf8(c.text), c.valid);
    EXPECT_EQ(reference_valid(c.text), c.valid);
    expect_agrees(c.text);
  }
}

TEST(Utf8, RandomTextsAgreeWithTheReferenceUnderRandomSplits) {
  std::mt19937 random(2024);
  // Mostly valid text with rare corruption, so both verdicts occur often and
  // the ASCII word path meets non-ASCII at every offset.
  const std::vector<std::string> pieces = {"a",
                                           "hello world, this is ascii text ",
                                           "\xC3\xA9",
                                           "\xE2\x82\xAC",
                                           "\xF0\x9F\x98\x80",
                                           "\xED\x9F\xBF",
                                           "\xF4\x8F\xBF\xBF"};
  int valid = 0;
  for (int round = 0; round < 4000; ++round) {
    std::string text;
    const int count = static_cast<int>(random() % 24);
    for (int i = 0; i < count; ++i) text += pieces[random() % pieces.size()];
    if (!text.empty() && random() % 3 == 0) text[random() % text.size()] = static_cast<char>(random());
    const bool expected = reference_valid(text);
    valid += expected;
    ASSERT_EQ(is_valid_utf8(text), expected);
    std::vector<std::size_t> cuts;
    for (std::size_t i = 0; i < text.size(); ++i)
      if (random() % 5 == 0) cuts.push_back(i);
    ASSERT_EQ(split_valid(text, cuts), expected);
  }
  EXPECT_GT(valid, 1000);
  EXPECT_LT(valid, 3500);
}

TEST(Utf8, FailureIsStickyAndResetClearsIt) {
  Utf8Validator validator;
  EXPECT_FALSE(validator.feed("\xFF"));
  EXPECT_FALSE(validator.feed("ok"));
  EXPECT_FALSE(validator.complete());
  validator.reset();
  EXPECT_TRUE(validator.feed("\xE2\x82"));
  EXPECT_FALSE(validator.complete());  // open sequence
  EXPECT_TRUE(validator.feed("\xAC"));
  EXPECT_TRUE(validator.complete());
}

}  // namespace
}  // namespace tessaryne::common
