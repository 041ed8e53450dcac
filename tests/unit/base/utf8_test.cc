#include "base/utf8.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace dovek::utf8 {
namespace {

// U+FFFD REPLACEMENT CHARACTER, as a literal that concatenates.
#define FFFD "\xEF\xBF\xBD"

// Expected outputs are those of Python's bytes.decode("utf-8", "replace").
TEST(Utf8Test, DecodeLossyReplacesEachMaximalSubpart) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"plain ascii", "plain ascii"},
      {"\xF0\x9F\x98\x80 \xC3\xA9", "\xF0\x9F\x98\x80 \xC3\xA9"},
      {"\xE2\x82", FFFD},  // truncated 3-byte
      {"a\xE2\x82"
       "b",
       "a" FFFD "b"},  // truncated in the middle
      {"\xF0\x9F\x98", FFFD},  // truncated 4-byte
      {"\xC2", FFFD},
      {"\xC0\xAF", FFFD FFFD},  // overlong 2-byte
      {"\xE0\x80\xAF", FFFD FFFD FFFD},  // overlong 3-byte
      {"\xED\xA0\x80", FFFD FFFD FFFD},  // encoded surrogate
      {"\xF4\x90\x80\x80", FFFD FFFD FFFD FFFD},  // above U+10FFFF
      {"\xF5\x80", FFFD FFFD},
      {"\xFF", FFFD},
      {"\x80\x80", FFFD FFFD},  // stray continuations
      {"\xE1\x80\xE1\x80\x80", FFFD "\xE1\x80\x80"},
      {"\xF1\x80\x80\xE1\x80\xC2"
       "b\x80"
       "c\x80\xBF"
       "d",
       FFFD FFFD FFFD "b" FFFD "c" FFFD FFFD "d"},
      {"\xF8\x88\x80\x80\x80", FFFD FFFD FFFD FFFD FFFD},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(decode_lossy(c.in), c.out) << testing::PrintToString(c.in);
    EXPECT_TRUE(is_valid(decode_lossy(c.in)));
  }
}

TEST(Utf8Test, IsValid) {
  EXPECT_TRUE(is_valid(""));
  EXPECT_TRUE(is_valid("long enough ascii text to use the word path \xF4\x8F\xBF\xBF"));
  EXPECT_TRUE(is_valid("\xED\x9F\xBF"));  // U+D7FF, just below the surrogates
  EXPECT_EQ(valid_prefix("0123456789\xC3\xA9\xE2\x82"), 12u);
  EXPECT_EQ(valid_prefix("\x80"), 0u);
  for (std::string_view bad :
       {"\xED\xA0\x80", "\xC0\x80", "\xF4\x90\x80\x80", "abcdefgh\x80", "\xE2\x82", "\xFE"}) {
    EXPECT_FALSE(is_valid(bad)) << testing::PrintToString(std::string(bad));
  }
}

TEST(Utf8Test, AsciiStepsSeeATopBitAtEveryOffset) {
  // Lengths around the 8-, 16- and 64-byte steps and the overlapping tail:
  // a lone byte with its top bit set is never valid UTF-8.
  for (size_t len = 0; len <= 140; ++len) {
    std::string text(len, 'a');
    EXPECT_TRUE(is_valid(text)) << len;
    for (size_t at = 0; at < len; ++at) {
      for (char high : {'\x80', '\xff'}) {
        text[at] = high;
        EXPECT_FALSE(is_valid(text)) << len << " at " << at;
      }
      text[at] = '\x7f';
      EXPECT_TRUE(is_valid(text)) << len << " at " << at;
      text[at] = 'a';
    }
  }
}

TEST(Utf8Test, ValidPrefixFindsABadByteAfterAnyAsciiRun) {
  // After a multi-byte character the ASCII scan resumes mid-text: it must
  // neither report a byte before where it resumed nor miss one after.
  for (size_t k = 0; k <= 140; ++k) {
    const std::string run = "\xC3\xA9" + std::string(k, 'a');
    EXPECT_EQ(valid_prefix(run), run.size()) << k;
    EXPECT_EQ(valid_prefix(run + "\xFF" + "bb"), run.size()) << k;
    EXPECT_EQ(valid_prefix(run + "\xE2\x82"), run.size()) << k;
  }
}

TEST(Utf8Test, NextDecodesEveryLength) {
  std::string_view s = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  size_t i = 0;
  EXPECT_EQ(next(s, i), U'a');
  EXPECT_EQ(next(s, i), U'\u00E9');
  EXPECT_EQ(next(s, i), U'\u20AC');
  EXPECT_EQ(next(s, i), U'\U0001F600');
  EXPECT_EQ(i, s.size());
}

TEST(Utf8Test, TrimWhiteSpaceUsesUnicodeSet) {
  EXPECT_EQ(trim_white_space(" \t\n\xC2\xA0x y\xE3\x80\x80\xE2\x80\xA9\r"), "x y");
  EXPECT_EQ(trim_white_space("\xC2\x85\xE1\x9A\x80"), "");
  // U+200B ZERO WIDTH SPACE is not White_Space.
  EXPECT_EQ(trim_white_space("\xE2\x80\x8Bx"), "\xE2\x80\x8Bx");
  EXPECT_TRUE(is_white_space(0x2000) && is_white_space(0x200A) && is_white_space(0x202F));
  EXPECT_FALSE(is_white_space(0x200B) || is_white_space(0x1C) || is_white_space(U'x'));
}

}  // namespace
}  // namespace dovek::utf8
