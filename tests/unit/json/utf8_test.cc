#include "base/utf8.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace dovek::utf8 {
namespace {

constexpr std::string_view kFffd = "\xEF\xBF\xBD";

std::string repl(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += kFffd;
  return s;
}

// Expected outputs are those of Python's bytes.decode("utf-8", "replace").
TEST(Utf8Test, DecodeLossyReplacesEachMaximalSubpart) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"plain ascii", "plain ascii"},
      {"\xF0\x9F\x98\x80 \xC3\xA9", "\xF0\x9F\x98\x80 \xC3\xA9"},
      {"\xE2\x82", repl(1)},                         // truncated 3-byte
      {"a\xE2\x82" "b", "a" + repl(1) + "b"},        // truncated in the middle
      {"\xF0\x9F\x98", repl(1)},                     // truncated 4-byte
      {"\xC2", repl(1)},
      {"\xC0\xAF", repl(2)},                         // overlong 2-byte
      {"\xE0\x80\xAF", repl(3)},                     // overlong 3-byte
      {"\xED\xA0\x80", repl(3)},                     // encoded surrogate
      {"\xF4\x90\x80\x80", repl(4)},                 // above U+10FFFF
      {"\xF5\x80", repl(2)},
      {"\xFF", repl(1)},
      {"\x80\x80", repl(2)},                         // stray continuations
      {"\xE1\x80\xE1\x80\x80", repl(1) + "\xE1\x80\x80"},
      {"\xF1\x80\x80\xE1\x80\xC2" "b\x80" "c\x80\xBF" "d", repl(3) + "b" + repl(1) + "c" + repl(2) + "d"},
      {"\xF8\x88\x80\x80\x80", repl(5)},
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
  for (std::string_view bad : {"\xED\xA0\x80", "\xC0\x80", "\xF4\x90\x80\x80", "abcdefgh\x80",
                               "\xE2\x82", "\xFE"}) {
    EXPECT_FALSE(is_valid(bad)) << testing::PrintToString(std::string(bad));
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
