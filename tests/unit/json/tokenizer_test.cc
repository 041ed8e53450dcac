#include "json/tokenizer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json/read.h"
#include "json/tape.h"
#include "json/text.h"

namespace dovek::json {
namespace {

std::string error_of(std::string_view text) {
  Result<Value> r = parse(text);
  return r.ok() ? "ok" : r.error().message();
}

// The same through the tape, which reads in a loop of its own.
std::string tape_error_of(std::string_view text) {
  Result<Tape> r = Tape::read(text);
  if (!r.ok()) return r.error().message();
  Status trailing = r->check_trailing();
  return trailing.ok() ? "ok" : trailing.error().message();
}

// Every token of `text` as "kind/count@offset", or the error.
std::string tokens_of(std::string_view text) {
  std::string buffer;
  copy_for_reading(text, buffer);
  Tokenizer tokenizer(text, buffer.data());
  std::string out;
  Token t;
  while (tokenizer.next(t)) {
    out += std::to_string(static_cast<int>(t.kind)) + "/" + std::to_string(t.count) + "@" +
           std::to_string(t.offset) + " ";
  }
  if (tokenizer.failed()) return tokenizer.take_error().message();
  return out + "end@" + std::to_string(tokenizer.value_end());
}

TEST(TokenizerTest, EndTokensCountElementsAndMembers) {
  // kArrayBegin 7, kArrayEnd 8, kObjectBegin 9, kObjectEnd 10, kKey 11, kU64 3.
  EXPECT_EQ(tokens_of("[[],[1],{}]"),
            "7/0@0 7/0@1 8/0@2 7/0@4 3/0@5 8/1@6 9/0@8 10/0@9 8/3@10 end@11");
  EXPECT_EQ(tokens_of(R"( {"a":1,"b":[2,3]} x)"),
            "9/0@1 11/0@2 3/0@6 11/0@8 7/0@12 3/0@13 3/0@15 8/2@16 10/2@17 end@18");
  EXPECT_EQ(tokens_of("nulx"), "expected value at line 1 column 4");
}

TEST(TokenizerTest, EveryGrammarStateRejectsWhatCannotFollow) {
  struct Case {
    const char* text;
    const char* message;
  } cases[] = {
      {"]", "expected value at line 1 column 1"},
      {"{]", "key must be a string at line 1 column 2"},
      {"{\"a\",", "expected `:` at line 1 column 5"},
      {"{\"a\":}", "expected value at line 1 column 6"},
      {"{\"a\":1]", "expected `,` or `}` at line 1 column 7"},
      {"{\"a\":1,1", "key must be a string at line 1 column 8"},
      {"[}", "expected value at line 1 column 2"},
      {"[1}", "expected `,` or `]` at line 1 column 3"},
      {"[1,:", "expected value at line 1 column 4"},
      {"{\"a\":[1,2}", "expected `,` or `]` at line 1 column 10"},
      {"[{}:", "expected `,` or `]` at line 1 column 4"},
      {"-", "EOF while parsing a value at line 1 column 1"},
      {"[1e", "EOF while parsing a value at line 1 column 3"},
      {"[1e+]", "invalid number at line 1 column 5"},
      {"[01]", "expected `,` or `]` at line 1 column 3"},
      {"\"\\", "invalid escape at line 1 column 2"},
      {"\"\\ud800\\", "unexpected end of hex escape at line 1 column 2"},
      {"\"\\ud800\\ud800\"", "lone leading surrogate in hex escape at line 1 column 2"},
      {"\"\\ud800\\u12x4\"", "invalid escape at line 1 column 2"},
  };
  for (const Case& c : cases) EXPECT_EQ(error_of(c.text), c.message) << c.text;
}

TEST(TokenizerTest, LiteralsCutOrMisspeltAtEveryLetter) {
  for (const std::string word : {"null", "true", "false"}) {
    EXPECT_EQ(error_of(word), "ok");
    EXPECT_EQ(error_of("[" + word + "," + word + "]"), "ok");
    for (size_t k = 1; k < word.size(); ++k) {
      const std::string cut = word.substr(0, k);
      const std::string misspelt = cut + "x" + word.substr(k + 1);
      const std::pair<std::string, std::string> cases[] = {
          {cut, "EOF while parsing a value at line 1 column " + std::to_string(k)},
          {"[" + cut, "EOF while parsing a list at line 1 column " + std::to_string(k + 1)},
          {misspelt, "expected value at line 1 column " + std::to_string(k + 1)},
          {"{\"a\":" + misspelt + "}", "expected value at line 1 column " + std::to_string(k + 6)},
      };
      for (const auto& [text, message] : cases) {
        EXPECT_EQ(error_of(text), message) << text;
        EXPECT_EQ(tape_error_of(text), message) << text;
      }
    }
  }
}

TEST(TokenizerTest, TapeAgreesWithTheTokenStream) {
  // The tape reads in its own loop and patches each begin token with its
  // end's index and count: both must match what next() gives, at any depth.
  std::string deep;
  for (int d = 0; d < 63; ++d) deep += d % 2 ? R"({"k":)" : "[0,";
  deep += "[]";
  for (int d = 62; d >= 0; --d) deep += d % 2 ? "}" : ",{}]";
  const std::string texts[] = {
      "[]",
      "{}",
      "7",
      R"({"a":[1,{"b":[[],{}]},"x"],"c":{"d":null},"e":[true,false,-1.5]})",
      R"( [ {"b" : 1 , "a":[ 2 ]} , [[ "\u0041" ]] ] )",
      std::string(127, '[') + std::string(127, ']'),
      deep,
  };
  for (const std::string& text : texts) {
    std::string buffer;
    copy_for_reading(text, buffer);
    Tokenizer tokenizer(text, buffer.data());
    std::vector<Token> stream;
    for (Token t; tokenizer.next(t);) stream.push_back(t);
    ASSERT_FALSE(tokenizer.failed()) << text;
    Result<Tape> tape = Tape::read(text);
    ASSERT_TRUE(tape.ok()) << text;
    ASSERT_EQ(tape->size(), stream.size()) << text;
    std::vector<size_t> open;
    for (size_t i = 0; i < stream.size(); ++i) {
      const Token& s = stream[i];
      const Token& t = (*tape)[i];
      ASSERT_EQ(t.kind, s.kind) << text << " token " << i;
      EXPECT_EQ(t.offset, s.offset) << text << " token " << i;
      if (s.kind == TokenKind::kArrayBegin || s.kind == TokenKind::kObjectBegin) {
        open.push_back(i);
      } else if (s.kind == TokenKind::kArrayEnd || s.kind == TokenKind::kObjectEnd) {
        const Token& begin = (*tape)[open.back()];
        EXPECT_EQ(begin.end, i) << text << " token " << open.back();
        EXPECT_EQ(begin.count, s.count) << text << " token " << open.back();
        EXPECT_EQ(t.count, s.count) << text << " token " << i;
        EXPECT_EQ(t.written_form, s.written_form) << text << " token " << i;
        open.pop_back();
      }
    }
  }
}

TEST(TokenizerTest, EscapesDecodeInPlaceAtAnyOffset) {
  EXPECT_EQ(parse(R"("\"\\\/\b\f\n\r\t\u0041\u00e9\u4e2d\ud83d\ude00")")->as_string(),
            "\"\\/\b\f\n\r\tA\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80");
  // Escapes shrink the string, so every run after the first escape moves
  // left; runs longer than a 16-byte block take the vectorised scan.
  for (size_t k = 0; k < 40; ++k) {
    const std::string a(k, 'a'), b(40 - k, 'b'), c(33, 'c');
    Result<Value> v = parse("[\"" + a + "\\n" + b + "\\u00e9" + c + "\\\\\", 1]");
    ASSERT_TRUE(v.ok()) << k;
    EXPECT_EQ(v->as_array()[0].as_string(), a + "\n" + b + "\xC3\xA9" + c + "\\") << k;
  }
}

TEST(TokenizerTest, ShortStringsAtEveryLengthAndWhatEndsTheFastPath) {
  // Short plain strings are taken 16 bytes at a time, up to two windows:
  // the closing quote, an escape, non-ASCII bytes and the end of the text
  // must each be seen wherever they fall in (or just past) either window.
  for (size_t n = 0; n <= 36; ++n) {
    const std::string body(n, 'k');
    EXPECT_EQ(tokens_of("\"" + body + "\""), "6/0@0 end@" + std::to_string(n + 2)) << n;
    EXPECT_EQ(parse("[\"" + body + "\",\"x\"]")->as_array()[0].as_string(), body) << n;
    EXPECT_EQ(tokens_of("{\"" + body + "\":1}"), "9/0@0 11/0@1 3/0@" + std::to_string(n + 4) +
                                                     " 10/1@" + std::to_string(n + 5) + " end@" +
                                                     std::to_string(n + 6))
        << n;
    EXPECT_EQ(error_of("[\"" + body),
              "EOF while parsing a string at line 1 column " + std::to_string(n + 2))
        << n;
    EXPECT_EQ(parse("\"" + body + "\\t\"")->as_string(), body + "\t") << n;
    EXPECT_EQ(parse("\"" + body + "\xC3\xA9!\"")->as_string(), body + "\xC3\xA9!") << n;
    EXPECT_EQ(error_of("\"" + body + "\xFF\""),
              "invalid unicode code point at line 1 column " + std::to_string(n + 2))
        << n;
  }
}

TEST(TokenizerTest, RawControlBytesFailWhereverTheyStand) {
  // The vectorised scan must catch 0x1A..0x1F as well as the scalar tail.
  for (int byte = 0x01; byte < 0x20; ++byte) {
    for (size_t k = 0; k < 40; ++k) {
      // GCC 12 reports a false -Wrestrict in the std::string concatenation it inlines here.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
      const std::string text = "\"" + std::string(k, 'x') + static_cast<char>(byte) + "yyyy\"";
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
      EXPECT_EQ(error_of(text),
                "control character (\\u0000-\\u001F) found while parsing a string"
                " at line 1 column " +
                    std::to_string(k + 2))
          << byte << " at " << k;
    }
  }
}

}  // namespace
}  // namespace dovek::json
