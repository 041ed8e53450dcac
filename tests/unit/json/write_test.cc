#include "json/write.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

namespace dovek::json {
namespace {

std::string escaped(std::string_view s) {
  Writer w;
  w.string(s);
  return w.take();
}

std::string dbl(double d) {
  Writer w;
  w.f64(d);
  return w.take();
}

TEST(WriteTest, EscapeTable) {
  EXPECT_EQ(escaped("\""), R"("\"")");
  EXPECT_EQ(escaped("\\"), R"("\\")");
  EXPECT_EQ(escaped("\b\t\n\f\r"), R"("\b\t\n\f\r")");
  EXPECT_EQ(escaped(std::string("\0", 1)), R"("\u0000")");
  EXPECT_EQ(escaped("\x01\x0B\x0E\x1F"), R"("\u0001\u000b\u000e\u001f")");
  // Raw: '/', DEL and all non-ASCII.
  EXPECT_EQ(escaped("a/b\x7F\xC3\xA9\xF0\x9F\x98\x80"), "\"a/b\x7F\xC3\xA9\xF0\x9F\x98\x80\"");
  EXPECT_EQ(escaped("say \"hi\"\\\t\x01"), R"("say \"hi\"\\\t\u0001")");
  EXPECT_EQ(escaped(""), R"("")");
  // Every control byte is escaped one way or the other.
  for (int b = 0; b < 0x20; ++b) {
    std::string s = escaped(std::string(1, static_cast<char>(b)));
    EXPECT_EQ(s[1], '\\') << b;
  }
}

// Escapes found at every offset around the 4- and 8-byte words of a short
// string and the 16- and 32-byte blocks of the scan, and bytes that are
// close to the escaped ones but plain (0x20, 0x7F, 0x80+).
TEST(WriteTest, EscapesAtEveryOffset) {
  const std::string specials[] = {"\"", "\\", std::string(1, '\0'), "\x1f", "\n"};
  const std::string escapes[] = {"\\\"", "\\\\", "\\u0000", "\\u001f", "\\n"};
  // From 96 bytes on, the scan switches to 32-byte steps after the first 32.
  for (size_t len : {1u,  2u,  3u,  4u,  5u,  7u,  8u,  9u,  12u, 15u, 16u,  17u,
                     31u, 32u, 33u, 47u, 63u, 64u, 65u, 95u, 96u, 97u, 130u, 161u}) {
    for (size_t at = 0; at < len; ++at) {
      for (size_t k = 0; k < std::size(specials); ++k) {
        std::string text(len, 'a');
        text.replace(at, 1, specials[k]);
        // GCC 12 reports a false -Wrestrict in the std::string concatenation it inlines here.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
        std::string want =
            "\"" + std::string(at, 'a') + escapes[k] + std::string(len - at - 1, 'a') + "\"";
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
        ASSERT_EQ(escaped(text), want) << "len " << len << " at " << at << " special " << k;
        Writer w(1);  // grows while it writes
        w.string(text);
        ASSERT_EQ(w.text(), want) << "Writer(1): len " << len << " at " << at << " special " << k;
      }
    }
  }
  const std::string plain = " \x7f\xc3\xa9\xe3\x80\x80/~ !#" + std::string(20, ' ');
  EXPECT_EQ(escaped(plain), "\"" + plain + "\"");
}

// Texts with many escapes, at any spacing (adjacent, one block apart, at a
// block's last byte), against a byte-by-byte escaper: the writer's block
// loop must take up again right after each escape.
TEST(WriteTest, ManyEscapesAtAnySpacing) {
  auto reference = [](std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
      const auto b = static_cast<unsigned char>(c);
      switch (b) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\f': out += "\\f"; break;
        case '\r': out += "\\r"; break;
        default:
          if (b < 0x20) {
            static const char kHex[] = "0123456789abcdef";
            out += "\\u00";
            out += kHex[b >> 4];
            out += kHex[b & 0xF];
          } else {
            out += c;
          }
      }
    }
    return out + "\"";
  };
  std::mt19937 rng(7);
  const std::string pool = std::string("\"\\\n\t\x01\x1f\x7f\x80\xff ") + '\0';
  for (int i = 0; i < 4000; ++i) {
    const size_t len = rng() % 120;
    const size_t gap = 1 + rng() % 20;  // about one escape per `gap` bytes
    std::string text;
    for (size_t k = 0; k < len; ++k) {
      text += rng() % gap == 0 ? pool[rng() % pool.size()] : static_cast<char>('a' + k % 26);
    }
    Writer w(1);
    w.string(text);
    ASSERT_EQ(w.text(), reference(text)) << "case " << i;
  }
}

TEST(WriteTest, Doubles) {
  struct Case {
    double d;
    const char* text;
  } cases[] = {
      {3.0, "3.0"},
      {-1.5, "-1.5"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {0.1 + 0.2, "0.30000000000000004"},
      {123.456, "123.456"},
      {1e-6, "0.000001"},
      {1.5e-6, "0.0000015"},
      {9.99e-7, "9.99e-7"},
      {1e-7, "1e-7"},
      {1.5e-7, "1.5e-7"},
      {1e20, "100000000000000000000.0"},
      {999999999999999900000.0, "999999999999999900000.0"},
      {1e21, "1e+21"},
      {-1e21, "-1e+21"},
      {1.2345e300, "1.2345e+300"},
      {std::numeric_limits<double>::denorm_min(), "5e-324"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
      {std::numeric_limits<double>::infinity(), "null"},
      {-std::numeric_limits<double>::infinity(), "null"},
      {std::nan(""), "null"},
  };
  for (const Case& c : cases) EXPECT_EQ(dbl(c.d), c.text);
}

// The significant digits of a number's text: "-0.00120e5" -> "12".
std::string significant(std::string_view text) {
  std::string digits;
  for (char c : text.substr(0, text.find_first_of("eE"))) {
    if (c >= '0' && c <= '9') digits += c;
  }
  const size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return "0";
  digits.erase(0, first);
  return digits.erase(digits.find_last_not_of('0') + 1);
}

// Decimals with few digits (written without the general shortest-digits
// search) and doubles next to them, which have no short decimal: each reads
// back as itself with exactly the digits of the shortest round trip.
TEST(WriteTest, DoublesHaveShortestDigits) {
  const double bases[] = {
      1, 5, 7, 12345, 999999999, 1e14 + 1, 1e15 - 1, 1e15 + 2, 4503599627370497, 123456789012345};
  for (double m : bases) {
    for (double scale : {1.0, 1e1, 1e2, 1e3, 1e6, 1e8, 1e9, 1e12, 1e20}) {
      const double exact = m / scale;
      for (double d : {exact, std::nextafter(exact, 0.0), std::nextafter(exact, 1e300), -exact}) {
        const std::string text = dbl(d);
        char shortest[40];
        *std::to_chars(shortest, shortest + sizeof shortest, d, std::chars_format::scientific).ptr =
            0;
        EXPECT_EQ(std::strtod(text.c_str(), nullptr), d) << text;
        EXPECT_EQ(significant(text), significant(shortest)) << text << " vs " << shortest;
      }
    }
  }
}

TEST(WriteTest, ValuesKeepNumberKinds) {
  Object o;
  o.set("z", Value(3));
  o.set("a", Value(3.0));
  o.set("m", Value(int64_t{-7}));
  o.set("e", Value(Array{}));
  o.set("o", Value(Object{}));
  o.set("n", Value(Array{Value(), Value(true), Value(false), Value("s")}));
  EXPECT_EQ(write(Value(o)), R"({"a":3.0,"e":[],"m":-7,"n":[null,true,false,"s"],"o":{},"z":3})");
  EXPECT_EQ(write(Value(std::numeric_limits<uint64_t>::max())), "18446744073709551615");
  EXPECT_EQ(write(Value(std::numeric_limits<int64_t>::min())), "-9223372036854775808");
}

TEST(WriteTest, WriterPlacesSeparators) {
  Writer w;
  w.begin_object();
  w.key(json::kKey<"type">);
  w.string("model_switched");
  w.key(json::kKey<"model">);
  w.begin_object();
  w.key(json::kKey<"provider">);
  w.begin_object();
  w.key(json::kKey<"id">);
  w.string("p");
  w.end_object();
  w.key(json::kKey<"id">);
  w.string("m");
  w.end_object();
  w.key(json::kKey<"events">);
  w.begin_array();
  w.begin_array();
  w.end_array();
  w.u64(1);
  w.i64(-2);
  w.f64(2.0);
  w.boolean(true);
  w.null();
  w.optional_string(nullptr);
  std::string s = "x";
  w.optional_string(&s);
  w.value(Value(Array{Value(1)}));
  w.end_array();
  w.key(json::kKey<"empty">);
  w.begin_object();
  w.end_object();
  w.end_object();
  EXPECT_EQ(w.text(), R"({"type":"model_switched","model":{"provider":{"id":"p"},"id":"m"},)"
                      R"("events":[[],1,-2,2.0,true,null,null,"x",[1]],"empty":{}})");
  EXPECT_EQ(w.take().size(), 123u);
}

TEST(WriteTest, WriterGrowsFromAnyFillLevel) {
  // Each round starts from a tiny buffer and writes items of every size, so
  // that keys, numbers and strings each meet the end of the room at many
  // offsets; the text must be what writing the same value gives (members in
  // key order, as a Value writes them).
  for (size_t n = 0; n < 120; ++n) {
    Writer w(1);
    Array items;
    w.begin_array();
    for (size_t i = 0; i < n; ++i) {
      const std::string s(i % 70, i % 7 == 0 ? '\n' : 's');
      const auto u = uint64_t{i * 977};
      const auto d = -static_cast<int64_t>(i);
      const double x = static_cast<double>(i) / 8;
      w.begin_object();
      w.key(json::kKey<"d">);
      w.i64(d);
      w.key(json::kKey<"id">);
      w.string(s);
      w.key(json::kKey<"n">);
      w.u64(u);
      w.key(json::kKey<"none">);
      w.null();
      w.key(json::kKey<"ok">);
      w.boolean(i % 2 == 0);
      w.key(json::kKey<"x">);
      w.f64(x);
      w.end_object();
      Object o;
      o.set("d", Value(d));
      o.set("id", Value(s));
      o.set("n", Value(u));
      o.set("none", Value());
      o.set("ok", Value(i % 2 == 0));
      o.set("x", Value(x));
      items.push_back(Value(std::move(o)));
    }
    w.end_array();
    const std::string want = write(Value(std::move(items)));
    ASSERT_EQ(w.text(), want) << n;
    EXPECT_EQ(w.take(), want) << n;
  }
}

TEST(WriteTest, DeepValuesWithoutRecursion) {
  // Deeper than the reader allows: values built in code are not bounded.
  Value v("leaf");
  for (int i = 0; i < 5000; ++i) {
    Array a;
    a.push_back(std::move(v));
    v = Value(std::move(a));
  }
  const std::string text = write(v);
  EXPECT_EQ(text.size(), 5000u * 2 + 6);
  EXPECT_EQ(text.substr(4998, 10), "[[\"leaf\"]]");
}

TEST(WriteTest, NestingAroundTheInlineStackDepth) {
  // The writer keeps the first open containers in a fixed array and the rest
  // in a vector: depths on both sides of that boundary, with siblings after
  // the deepest container so that frames are popped back across it.
  for (int depth : {1, 31, 32, 33, 34, 65}) {
    Value v(Object{});
    for (int i = 0; i < depth; ++i) {
      Object o;
      o.set("a", Value(Array{std::move(v), Value(i)}));
      o.set("b", Value(i));
      v = Value(std::move(o));
    }
    std::string expected = "{}";
    for (int i = 0; i < depth; ++i) {
      expected =
          R"({"a":[)" + expected + "," + std::to_string(i) + R"(],"b":)" + std::to_string(i) + "}";
    }
    EXPECT_EQ(write(v), expected) << depth;
  }
}

}  // namespace
}  // namespace dovek::json
