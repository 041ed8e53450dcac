#include "json/read.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <thread>

#include "json/write.h"

namespace dovek::json {
namespace {

// parse() builds values straight from reader events; Tape::read + to_value
// is the other road to the same result. Both must agree on every input, and
// write_value must write from the tape what the value's writing gives.
std::string via_tape(std::string_view text) {
  Result<Tape> t = Tape::read(text);
  if (!t.ok()) return t.error().message();
  Status s = t->check_trailing();
  if (!s.ok()) return s.error().message();
  const std::string written = write(to_value(*t, 0));
  Writer w;
  write_value(w, *t, 0);
  EXPECT_EQ(w.text(), written) << text;
  return "ok: " + written;
}

std::string error_of(std::string_view text) {
  Result<Value> r = parse(text);
  std::string direct = r.ok() ? "ok: " + write(*r) : r.error().message();
  EXPECT_EQ(direct, via_tape(text)) << testing::PrintToString(std::string(text));
  return direct;
}

Value parsed(std::string_view text) {
  Result<Value> r = parse(text);
  EXPECT_TRUE(r.ok()) << text << ": " << (r.ok() ? "" : r.error().message());
  if (!r.ok()) return Value();
  Result<Tape> t = Tape::read(text);
  EXPECT_TRUE(t.ok() && to_value(*t, 0) == *r) << text;
  return *r;
}

std::string nested(const std::string& open, const std::string& inner, const std::string& close,
                   int depth) {
  std::string s;
  for (int i = 0; i < depth; ++i) s += open;
  s += inner;
  for (int i = 0; i < depth; ++i) s += close;
  return s;
}

TEST(ReadTest, IntegersKeepTheirKind) {
  EXPECT_EQ(parsed("0"), Value(uint64_t{0}));
  EXPECT_TRUE(parsed("0").is_u64());
  EXPECT_TRUE(parsed("-0").is_u64());  // the integer 0, not a double
  EXPECT_EQ(parsed("18446744073709551615"), Value(std::numeric_limits<uint64_t>::max()));
  EXPECT_TRUE(parsed("-9223372036854775808").is_i64());
  EXPECT_EQ(parsed("-9223372036854775808").as_i64(), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(parsed("-5"), Value(int64_t{-5}));
  // Out of integer range: doubles.
  EXPECT_EQ(parsed("18446744073709551616"), Value(18446744073709551616.0));
  EXPECT_EQ(parsed("-9223372036854775809"), Value(-9223372036854775808.0));
  EXPECT_TRUE(parsed("3.0").is_double());
  EXPECT_TRUE(parsed("1e2").is_double());
}

TEST(ReadTest, DoublesAreCorrectlyRounded) {
  struct Case {
    const char* text;
    double value;
  } cases[] = {
      {"0.1", 0.1},
      {"1e21", 1e21},
      {"1e-7", 1e-7},
      {"5e-324", std::numeric_limits<double>::denorm_min()},
      {"3e-324", std::numeric_limits<double>::denorm_min()},
      {"1.7976931348623157e308", std::numeric_limits<double>::max()},
      {"2.2250738585072011e-308", 2.2250738585072011e-308},
      {"9007199254740993", 9007199254740993.0},  // u64, exact
      {"9007199254740993.0", 9007199254740992.0},  // ties to even
      {"1E+2", 100.0},
  };
  for (const Case& c : cases) {
    Value v = parsed(c.text);
    if (v.is_u64()) {
      EXPECT_EQ(static_cast<double>(v.as_u64()), c.value) << c.text;
    } else {
      ASSERT_TRUE(v.is_double()) << c.text;
      EXPECT_EQ(v.as_double(), c.value) << c.text;
    }
  }
}

// Numbers on both sides of the limits of the short-number path (19 digits,
// a 2^53 mantissa, powers of ten up to 22) read as the general conversion
// (strtod, correctly rounded) reads them.
TEST(ReadTest, ShortAndLongNumbersAgreeWithStrtod) {
  const char* const texts[] = {
      "9007199254740992.5",
      "9007199254740993e0",
      "900719925474099.3",
      "9007199254740992e-22",
      "9007199254740993e-22",
      "1e22",
      "1e23",
      "3e-22",
      "3e-23",
      "123456789012345678.5",
      "1.2345678901234567890",
      "1234567890123456789e-5",
      "-4.35",
      "2.675",
      "0.1e-21",
      "0.30000000000000004",
      "-1.7976931348623157e308",
      "4.9406564584124654e-324",
      "2.2250738585072014e-308",
      "-0.000000000000000000001",
  };
  for (const char* text : texts) {
    Value v = parsed(text);
    ASSERT_TRUE(v.is_double()) << text;
    EXPECT_EQ(v.as_double(), std::strtod(text, nullptr)) << text;
  }
  // Integers: 19 digits are read directly, 20 by the general path.
  EXPECT_EQ(parsed("9999999999999999999"), Value(uint64_t{9999999999999999999u}));
  EXPECT_EQ(parsed("10000000000000000000"), Value(uint64_t{10000000000000000000u}));
}

TEST(ReadTest, UnderflowReadsAsZeroOverflowFails) {
  for (const char* text : {"1e-400", "2e-324", "0.0"}) {
    Value v = parsed(text);
    ASSERT_TRUE(v.is_double()) << text;
    EXPECT_EQ(v.as_double(), 0.0) << text;
    EXPECT_FALSE(std::signbit(v.as_double())) << text;
  }
  for (const char* text : {"-1e-400", "-0.0"}) {
    Value v = parsed(text);
    ASSERT_TRUE(v.is_double()) << text;
    EXPECT_TRUE(std::signbit(v.as_double()) && v.as_double() == 0.0) << text;
  }
  EXPECT_EQ(error_of("1e400"), "number out of range at line 1 column 1");
  EXPECT_EQ(error_of("[0, -1e400]"), "number out of range at line 1 column 5");
  EXPECT_EQ(error_of("1.8e308"), "number out of range at line 1 column 1");
  EXPECT_EQ(error_of(std::string(400, '9')), "number out of range at line 1 column 1");
}

TEST(ReadTest, LongDigitStringsAndLargeExponentsWithinRange) {
  // Only the value decides: digits beyond a double's range that an exponent
  // brings back, and zero with any exponent, are numbers like any other.
  auto repeated = [](const char* before, size_t n, char c, const char* after) {
    std::string s = before;
    s.append(n, c);
    return s.append(after);
  };
  EXPECT_EQ(parsed(repeated("1", 400, '0', "e-400")), Value(1.0));
  EXPECT_EQ(parsed(repeated("", 10000, '1', "e-9990")), Value(1111111111.1111112));
  EXPECT_EQ(parsed("[0e400]"), parsed("[0.0]"));
  Value neg = parsed("-0.0e99999999999999999999");
  ASSERT_TRUE(neg.is_double());
  EXPECT_TRUE(std::signbit(neg.as_double()) && neg.as_double() == 0.0);
  EXPECT_EQ(error_of(repeated("[1", 400, '0', "e-90]")), "number out of range at line 1 column 2");
  EXPECT_EQ(error_of("1e99999999999999999999"), "number out of range at line 1 column 1");
}

TEST(ReadTest, NumbersRoundTripThroughWrite) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"0", "0"},
      {"-0", "0"},
      {"18446744073709551615", "18446744073709551615"},
      {"-9223372036854775808", "-9223372036854775808"},
      {"18446744073709551616", "18446744073709552000.0"},
      {"-9223372036854775809", "-9223372036854776000.0"},
      {"1e21", "1e+21"},
      {"1e-7", "1e-7"},
      {"5e-324", "5e-324"},
      {"1.7976931348623157e308", "1.7976931348623157e+308"},
      {"0.1", "0.1"},
      {"-0.0", "-0.0"},
      {"3.0", "3.0"},
      {"1e20", "100000000000000000000.0"},
      {"0.000001", "0.000001"},
      {"1.5E-7", "1.5e-7"},
      {"12345e296", "1.2345e+300"},
  };
  for (const Case& c : cases) {
    Value v = parsed(c.in);
    EXPECT_EQ(write(v), c.out) << c.in;
    Value back = parsed(write(v));
    EXPECT_EQ(back, v) << c.in;
    if (v.is_double()) {
      EXPECT_EQ(std::signbit(back.as_double()), std::signbit(v.as_double())) << c.in;
    }
  }
}

TEST(ReadTest, ObjectsSortKeysAndLastDuplicateWins) {
  EXPECT_EQ(write(parsed(R"({"b":1,"a":2,"b":3})")), R"({"a":2,"b":3})");
  // Unsigned byte order, shorter prefix first.
  EXPECT_EQ(write(parsed("{\"\xC3\xA9\":1,\"z\":2,\"ab\":3,\"a\":4,\"B\":5}")),
            "{\"B\":5,\"a\":4,\"ab\":3,\"z\":2,\"\xC3\xA9\":1}");
  EXPECT_EQ(write(parsed(R"({"k":{"y":[1,{"d":0,"c":1}],"x":null}})")),
            R"({"k":{"x":null,"y":[1,{"c":1,"d":0}]}})");
}

TEST(ReadTest, KeysSharingTheirFirstEightBytesSortByTheRest) {
  // Sorting compares 8-byte key prefixes first: ties there, keys shorter than
  // 8 bytes, NUL bytes (as padding would be) and the 17+ member path must
  // still give byte order with the last duplicate winning.
  struct Case {
    std::string text;
    std::string written;
  } cases[] = {
      {R"({"abcdefgh2":1,"abcdefgh10":2,"abcdefgh1":3})",
       R"({"abcdefgh1":3,"abcdefgh10":2,"abcdefgh2":1})"},
      {R"({"abcdefgh":1,"abcdefg":2,"abcdefghi":3,"abcdefgh":4})",
       R"({"abcdefg":2,"abcdefgh":4,"abcdefghi":3})"},
      {R"({"a\u0000":1,"a":2,"":3,"a\u0000\u0000":4,"":5})",
       R"({"":5,"a":2,"a\u0000":1,"a\u0000\u0000":4})"},
      {"{\"\xEF\xBF\xBF\":1,\"\x7F\":2,\"\xC3\xA9\":3}",
       "{\"\x7F\":2,\"\xC3\xA9\":3,\"\xEF\xBF\xBF\":1}"},
  };
  for (const Case& c : cases) EXPECT_EQ(write(parsed(c.text)), c.written) << c.text;

  // 20 members with one 8-byte prefix, in reverse, with one key repeated.
  std::string text = "{";
  for (int i = 19; i >= 0; --i)
    text += "\"prefix__" + std::to_string(i % 17) + "\":" + std::to_string(i) + ",";
  text.back() = '}';
  const Value v = parsed(text);
  ASSERT_TRUE(v.is_object());
  EXPECT_EQ(v.as_object().size(), 17u);
  std::string previous;
  for (const auto& [key, value] : v.as_object()) {
    EXPECT_LT(previous, key);
    previous = key;
  }
  // prefix__1 appeared as i = 18 and then i = 1: the later one wins.
  EXPECT_EQ(*v.as_object().find("prefix__1"), Value(1));
  EXPECT_EQ(*v.as_object().find("prefix__16"), Value(16));
}

TEST(ReadTest, ValuesOutliveTheirDocumentAndThread) {
  // Container storage is recycled per thread: parts taken out of a freed
  // document, and documents freed on another thread, must stay intact while
  // the recycled storage is reused.
  const std::string text =
      R"([[1,[2,3]],{"k":"a string longer than the short string buffer","l":[{}]},"s"])";
  Value moved;
  Value copied;
  {
    Value doc = parsed(text);
    moved = std::move(doc.as_array()[0]);
    copied = doc.as_array()[1];
  }
  for (int i = 0; i < 3; ++i) EXPECT_EQ(write(parsed(text)), text);
  EXPECT_EQ(write(moved), "[1,[2,3]]");
  EXPECT_EQ(write(copied), R"({"k":"a string longer than the short string buffer","l":[{}]})");

  // Built on one thread, freed on the other, then both threads build more.
  Value from_thread;
  Value to_thread = parsed(text);
  std::thread t([&] {
    from_thread = parsed(text);
    Value taken = std::move(to_thread);
    EXPECT_EQ(write(taken), text);
  });
  t.join();
  EXPECT_EQ(write(from_thread), text);
  from_thread = Value();
  std::thread([&] { EXPECT_EQ(write(parsed(text)), text); }).join();
  EXPECT_EQ(write(parsed(text)), text);
}

TEST(ReadTest, NestingLimitIs127ForArraysAndObjects) {
  EXPECT_TRUE(parse(nested("[", "", "]", 127)).ok());
  EXPECT_EQ(error_of(nested("[", "", "]", 128)), "recursion limit exceeded at line 1 column 128");
  EXPECT_TRUE(parse(nested("{\"a\":", "1", "}", 127)).ok());
  EXPECT_EQ(error_of(nested("{\"a\":", "1", "}", 128)),
            "recursion limit exceeded at line 1 column " + std::to_string(127 * 5 + 1));
  EXPECT_TRUE(parse(nested("[{\"k\":", "0", "}]", 63) + "").ok());  // 126 levels
  EXPECT_EQ(error_of(nested("[{\"k\":", "[[]]", "}]", 63)),
            "recursion limit exceeded at line 1 column " + std::to_string(63 * 6 + 2));
  // A deep value written back reads again.
  Value deep = parsed(nested("[", "\"x\"", "]", 127));
  EXPECT_EQ(parsed(write(deep)), deep);
}

TEST(ReadTest, MillionDeepInputFailsCleanly) {
  const std::string arrays(1000000, '[');
  EXPECT_EQ(error_of(arrays), "recursion limit exceeded at line 1 column 128");
  EXPECT_EQ(error_of(nested("{\"a\":", "1", "}", 1000000)),
            "recursion limit exceeded at line 1 column " + std::to_string(127 * 5 + 1));
}

TEST(ReadTest, InvalidUtf8AndLoneSurrogatesFail) {
  EXPECT_EQ(error_of("\"\xFF\""), "invalid unicode code point at line 1 column 2");
  EXPECT_EQ(error_of("[\"ok\",\"a\xC0\xAF\"]"), "invalid unicode code point at line 1 column 9");
  EXPECT_EQ(error_of("\"\xED\xA0\x80\""), "invalid unicode code point at line 1 column 2");
  EXPECT_EQ(error_of("\"\xE2\x82\""), "invalid unicode code point at line 1 column 2");
  EXPECT_EQ(error_of("{\"\xF4\x90\x80\x80\":1}"), "invalid unicode code point at line 1 column 3");
  EXPECT_EQ(error_of("[\xFF]"), "expected value at line 1 column 2");

  EXPECT_EQ(error_of(R"("\udc00")"), "lone leading surrogate in hex escape at line 1 column 2");
  EXPECT_EQ(error_of(R"({"k\uDFFF":1})"),
            "lone leading surrogate in hex escape at line 1 column 4");
  EXPECT_EQ(error_of(R"("x\ud83d\ude00\udfff")"),
            "lone leading surrogate in hex escape at line 1 column 15");
  EXPECT_EQ(error_of(R"("\ud800\u0041")"),
            "lone leading surrogate in hex escape at line 1 column 2");
  EXPECT_EQ(error_of(R"("ab\ud800")"), "unexpected end of hex escape at line 1 column 4");
  // A proper pair is one code point.
  EXPECT_EQ(parsed(R"("\ud83d\ude00")").as_string(), "\xF0\x9F\x98\x80");
}

TEST(ReadTest, NulBytes) {
  const std::string after_value("{\"a\":1}\0{\"b\":2}", 15);
  EXPECT_EQ(error_of(after_value), "trailing characters at line 1 column 8");
  EXPECT_EQ(error_of(std::string("[1,\0 2]", 7)), "expected value at line 1 column 4");
  EXPECT_EQ(error_of(std::string("\"a\0b\"", 5)),
            "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3");
  // The escape is data.
  Value v = parsed(R"(["a\u0000b"])");
  EXPECT_EQ(v.as_array()[0].as_string(), std::string("a\0b", 3));
  EXPECT_EQ(write(v), R"(["a\u0000b"])");
}

TEST(ReadTest, SyntaxErrorsCarryPositions) {
  struct Case {
    std::string text, message;
  } cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {" \n ", "EOF while parsing a value at line 2 column 1"},
      {"[1,", "EOF while parsing a list at line 1 column 3"},
      {"[1", "EOF while parsing a list at line 1 column 2"},
      {"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
      {"{\"a\":", "EOF while parsing a value at line 1 column 5"},
      {"\"abc", "EOF while parsing a string at line 1 column 4"},
      {"{\n  \"a\": 1,\n  \"b\" 2\n}", "expected `:` at line 3 column 7"},
      {"[1,\n 2\n 3]", "expected `,` or `]` at line 3 column 2"},
      {"{\"a\":1\n\"b\":2}", "expected `,` or `}` at line 2 column 1"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      {"[1,]", "trailing comma at line 1 column 4"},
      {"{\"a\":1,\n}", "trailing comma at line 2 column 1"},
      {"[\"\\x\"]", "invalid escape at line 1 column 3"},
      {"\"\\u12G4\"", "invalid escape at line 1 column 2"},
      {"\"a\tb\"",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {"[1.]", "invalid number at line 1 column 4"},
      {"[-x]", "invalid number at line 1 column 3"},
      {"[tru]", "expected value at line 1 column 5"},
      {"  \n  @", "expected value at line 2 column 3"},
      {"[1]\n\n  x", "trailing characters at line 3 column 3"},
      {"[1] [2]", "trailing characters at line 1 column 5"},
      {"[1]\f", "trailing characters at line 1 column 4"},
      {"\xC3\xA9", "expected value at line 1 column 1"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(error_of(c.text), c.message) << testing::PrintToString(c.text);
}

TEST(ReadTest, OnlyJsonWhitespaceSurroundsTheValue) {
  EXPECT_EQ(parsed(" \t\r\n[1] \t\r\n"), Value(Array{Value(1)}));
  EXPECT_EQ(parsed("\"s\""), Value("s"));
  // Tape::read stops after the value; check_trailing looks at the rest.
  Result<Tape> tape = Tape::read("[1] x");
  ASSERT_TRUE(tape.ok());
  EXPECT_EQ(tape->check_trailing().error().message(), "trailing characters at line 1 column 5");
}

TEST(ReadTest, TapeRecordsOffsetsAndMatchingEnds) {
  Result<Tape> r = Tape::read(" {\"a\" : [true, -1.5], \"b\":\"x\"}");
  ASSERT_TRUE(r.ok());
  const Tape& t = *r;
  ASSERT_EQ(t.size(), 9u);
  EXPECT_EQ(t[0].kind, TokenKind::kObjectBegin);
  EXPECT_EQ(t[0].end, 8u);
  EXPECT_EQ(t[1].kind, TokenKind::kKey);
  EXPECT_EQ(t.string(t[1]), "a");
  EXPECT_EQ(t[2].kind, TokenKind::kArrayBegin);
  EXPECT_EQ(t[2].end, 5u);
  std::vector<size_t> offsets;
  for (const Token& tok : t.tokens()) offsets.push_back(tok.offset);
  EXPECT_EQ(offsets, (std::vector<size_t>{1, 2, 8, 9, 15, 19, 22, 26, 29}));
  EXPECT_EQ(to_value(t, 2), parsed("[true,-1.5]"));
}

TEST(ReadTest, WritesFromTheTapeInKeyOrder) {
  for (const auto& [text, written] : std::vector<std::pair<std::string, std::string>>{
           {R"({"a":{"d":1,"c":[{"f":2,"e":3}]},"b":{"b":1,"b":2},"c":"\u00e9\/"})",
            R"({"a":{"c":[{"e":3,"f":2}],"d":1},"b":{"b":2},"c":"é/"})"},
           {R"([{"a":1,"ab":2,"b":{}}, 1e2, -0, {"":0}])",
            R"([{"a":1,"ab":2,"b":{}},100.0,0,{"":0}])"},
       }) {
    Result<Tape> t = Tape::read(text);
    ASSERT_TRUE(t.ok()) << text;
    Writer w;
    write_value(w, *t, 0);
    EXPECT_EQ(w.text(), written);
    EXPECT_EQ(error_of(text), "ok: " + written);
  }
  Result<Tape> t = Tape::read(R"({"b":1,"a":2})");
  ASSERT_TRUE(t.ok());
  EXPECT_FALSE(keys_ascend(*t, 0));
  t = Tape::read(R"({"a":2,"b":{"d":1,"c":2}})");
  ASSERT_TRUE(t.ok());
  EXPECT_TRUE(keys_ascend(*t, 0));
  EXPECT_FALSE(keys_ascend(*t, 4));
}

// Doubles are echoed from their text when that is what the writer would
// print: numbers of every shape, against writing the value read.
TEST(ReadTest, WritesDoublesFromTheTapeAsTheirValues) {
  std::vector<std::string> numbers = {"0.0",
                                      "-0.0",
                                      "0.5",
                                      "-12.75",
                                      "100.0",
                                      "0.000001",
                                      "0.0000001",
                                      "0.0000015",
                                      "123456789012345.0",
                                      "1234567890123456.0",
                                      "12345678901234.5",
                                      "1234567890123.4567",
                                      "0.30000000000000004",
                                      "0.1000",
                                      "1.10",
                                      "9007199254740993.0",
                                      "1e2",
                                      "1.5E3",
                                      "-2.5e-7",
                                      "0.00",
                                      "5.0e0",
                                      "0.000123",
                                      "999999999999999.9",
                                      "18446744073709551616"};
  std::mt19937_64 rng(21);
  auto digits = [&](size_t n, bool leading_zero) {
    std::string d;
    for (size_t i = 0; i < n; ++i) {
      d += static_cast<char>('0' + rng() % 10);
      if (i == 0 && !leading_zero && d[0] == '0') d[0] = '1';
    }
    return d;
  };
  for (int k = 0; k < 20000; ++k) {
    std::string n = rng() % 4 == 0 ? "-" : "";
    n += rng() % 3 == 0 ? "0" : digits(1 + rng() % 17, false);
    if (rng() % 8 != 0) {
      n += '.';
      if (rng() % 3 == 0) n.append(rng() % 8, '0');
      n += digits(1 + rng() % 17, true);
    }
    if (rng() % 8 == 0) {
      n += 'e';
      n += std::to_string(static_cast<int>(rng() % 40) - 20);
    }
    numbers.push_back(n);
  }
  for (const std::string& n : numbers) {
    // Without a space the array may be copied whole; with one, each number
    // is written on its own.
    for (const std::string& text : {"[" + n + "," + n + "]", "[" + n + ", " + n + "]"}) {
      Result<Tape> t = Tape::read(text);
      ASSERT_TRUE(t.ok()) << text;
      Writer w;
      write_value(w, *t, 0);
      ASSERT_EQ(w.text(), write(to_value(*t, 0))) << text;
    }
  }
}

// A container whose text is what the writer writes is copied; anything the
// writer would write otherwise, however deep, rules that out for every
// container around it.
TEST(ReadTest, CopiesContainersAlreadyInTheWrittenForm) {
  for (const auto& [text, copied] : std::vector<std::pair<std::string, bool>>{
           {R"({"a":[1,-2,0.5,"x",true,false,null],"b":{},"c":[]})", true},
           {R"([])", true},
           {R"({"":1,"a":{"":2,"b":3}})", true},
           {R"(["é/\u007f","\u00e9"])", false},
           {"[\"é/\x7f\"]", true},
           {R"(["a\/b"])", false},
           {R"([" "])", true},
           {R"([1 ])", false},
           {R"({"a" :1})", false},
           {"[1,\n2]", false},
           {R"([-0])", false},
           {R"([0,-1])", true},
           {R"([1.50])", false},
           {R"([1e2])", false},
           {R"([1.0E2])", false},
           {R"([18446744073709551616])", false},
           {R"([18446744073709551615,-9223372036854775808])", true},
           {R"({"b":1,"a":2})", false},
           {R"({"a":1,"a":2})", false},
           {R"({"a":1,"ab":2,"b":3})", true},
           {R"({"key000001":1,"key000002":2,"key00001":3})", true},
           {R"({"key000002":1,"key000001":2})", false},
           {R"({"abcdefgh":1,"abcdefgh2":2})", true},
           {R"({"abcdefgh2":1,"abcdefgh":2})", false},
           {R"({"abcdefghij":1,"abcdefghij":2})", false},
           {R"({"":1,"":2})", false},
           {R"({"az":1,"aé":2})", true},
           {R"({"aé":1,"az":2})", false},
           {R"({"ab":1,"a":2})", false},
           {R"({"\u00e9":1,"z":2})", false},
           {R"({"z":1,"é":2})", true},
           {R"([[[{"a":{"c":1,"b":2}}]]])", false},
           {R"([[[{"a":{"b":1,"c":2}}]],{"d":[0.25]}])", true},
       }) {
    Result<Tape> t = Tape::read(text);
    ASSERT_TRUE(t.ok()) << text;
    EXPECT_EQ((*t)[(*t)[0].end].written_form, copied) << text;
    Writer w;
    write_value(w, *t, 0);
    EXPECT_EQ(w.text(), write(to_value(*t, 0))) << text;
    if (copied) {
      EXPECT_EQ(w.text(), text);
    }
  }
  // Inside a container that is not copied, the ones that can be still are,
  // and the rest keep their own order of keys.
  Result<Tape> t = Tape::read(R"([ {"b":[1, 2],"a":[3,4]}, {"d":{"f":1,"e":2}} ])");
  ASSERT_TRUE(t.ok());
  EXPECT_FALSE((*t)[(*t)[0].end].written_form);
  Writer w;
  write_value(w, *t, 0);
  EXPECT_EQ(w.text(), R"([{"a":[3,4],"b":[1,2]},{"d":{"e":2,"f":1}}])");
}

TEST(ReadTest, HookSeesTopLevelValuesAndCanStopReading) {
  std::vector<std::string> seen;
  auto hook = [&](const Tape& tape, size_t index) -> Status {
    const Token& t = tape[index];
    seen.push_back(std::to_string(static_cast<int>(t.kind)) + "@" + std::to_string(t.offset));
    if (t.kind == TokenKind::kString && tape.string(t) == "stop") {
      return Error("stopped" + tape.position(t.offset));
    }
    return ok_status();
  };
  ASSERT_TRUE(Tape::read(R"({"a":[1,[2]],"b":{"c":3}})", hook).ok());
  EXPECT_EQ(seen, (std::vector<std::string>{"7@5", "9@17"}));

  seen.clear();
  // The hook's error comes before the syntax error that follows it.
  Result<Tape> r = Tape::read(R"({"x":1,"type":"stop","y":[})", hook);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "stopped at line 1 column 15");
  // ... but a syntax error before it comes first.
  r = Tape::read(R"({"x":],"type":"stop"})", hook);
  EXPECT_EQ(r.error().message(), "expected value at line 1 column 6");
}

}  // namespace
}  // namespace dovek::json
