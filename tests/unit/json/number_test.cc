// Numbers against the standard library's conversions: printed doubles have
// exactly std::to_chars's shortest digits and read back to the same bits;
// number texts read as std::strtod reads them (correctly rounded), with the
// integer kinds up to their 64-bit limits and doubles beyond.
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "json/read.h"
#include "json/write.h"

namespace dovek::json {
namespace {

std::string printed(double d) {
  Writer w;
  w.f64(d);
  return w.take();
}

// The significant digits of a decimal text (no leading or trailing zeros)
// and the decimal exponent of the first one: "-0.0150" is {"15", -2}.
struct Decimal {
  std::string digits;
  int exp = 0;
  bool operator==(const Decimal&) const = default;
};
Decimal decimal_of(std::string_view text) {
  Decimal out;
  int point = -1;  // digits before the point
  int skipped = 0;  // leading zeros
  size_t i = text.size() && text[0] == '-' ? 1 : 0;
  for (; i < text.size() && text[i] != 'e' && text[i] != 'E'; ++i) {
    if (text[i] == '.') {
      point = static_cast<int>(out.digits.size()) + skipped;
    } else if (out.digits.empty() && text[i] == '0') {
      ++skipped;
    } else {
      out.digits += text[i];
    }
  }
  if (point < 0) point = static_cast<int>(out.digits.size()) + skipped;
  int e = 0;
  if (i < text.size())
    std::from_chars(text.data() + i + (text[i + 1] == '+' ? 2 : 1), text.end(), e);
  out.exp = point - skipped - 1 + e;
  while (!out.digits.empty() && out.digits.back() == '0') out.digits.pop_back();
  return out;
}

uint64_t bits(double d) {
  uint64_t b;
  std::memcpy(&b, &d, sizeof b);
  return b;
}

// One double: shortest digits, today's notation, and the way back.
void check_printed(double d) {
  const std::string text = printed(d);
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  const Decimal want = decimal_of(std::string_view(buf, static_cast<size_t>(r.ptr - buf)));
  const Decimal got = decimal_of(text);
  if (d != 0) {
    ASSERT_EQ(got, want) << text << " vs " << buf;
  }
  // Plain for 1e-6 <= |d| < 1e21, ".0" on integral ones; exponent form outside.
  const bool plain = d == 0 || (want.exp >= -6 && want.exp <= 20);
  ASSERT_EQ(text.find('e') == std::string::npos, plain) << text;
  if (plain && std::trunc(d) == d) {
    ASSERT_EQ(text.substr(text.size() - 2), ".0") << text;
  }
  Result<Value> back = parse(text);
  ASSERT_TRUE(back.ok() && back->is_double()) << text;
  ASSERT_EQ(bits(back->as_double()), bits(d)) << text;
}

TEST(NumberTest, PrintedDoublesAreShortestAndReadBack) {
  ASSERT_EQ(decimal_of("-0.0150"), (Decimal{"15", -2}));
  ASSERT_EQ(decimal_of("1.5e+21"), (Decimal{"15", 21}));
  std::mt19937_64 rng(20261208);
  for (int i = 0; i < 200000; ++i) {
    double d;
    const uint64_t b = rng();
    std::memcpy(&d, &b, sizeof d);
    if (std::isfinite(d)) check_printed(d);
    // The decimals people write (few digits, a small scale), where printing
    // takes its short path, and their neighbours, where it must not.
    const double scale[] = {1, 10, 100, 1e3, 1e4, 1e6, 1e8, 1e9, 1e12, 1e15, 1e20, 1e22};
    const double written = static_cast<double>(rng() % 1000000000000000) / scale[rng() % 12];
    check_printed(written);
    check_printed(std::nextafter(written, 0.0));
    check_printed(-std::nextafter(written, 1e300));
    // Full-precision doubles from 2^-20 to 2^53, where most have 16 or 17
    // digits and printing takes its exact integer path.
    check_printed(std::ldexp(static_cast<double>(rng() >> 11), -72 + static_cast<int>(rng() % 73)));
    // Integral values, halves, quarters and the like, printed from their
    // exact decimal below 2^32 with up to five binary places, and around
    // those limits.
    const double places =
        std::ldexp(static_cast<double>(rng() % (uint64_t{1} << 40)), -static_cast<int>(rng() % 9));
    check_printed(rng() % 2 == 0 ? places : -places);
  }
  const double edges[] = {0.0,
                          -0.0,
                          std::numeric_limits<double>::denorm_min(),
                          -std::numeric_limits<double>::denorm_min(),
                          std::nextafter(std::numeric_limits<double>::min(), 0.0),
                          std::numeric_limits<double>::min(),
                          std::numeric_limits<double>::max(),
                          -std::numeric_limits<double>::max(),
                          9007199254740991.0,
                          9007199254740992.0,
                          9007199254740994.0,
                          18446744073709551616.0,
                          -9223372036854775808.0,
                          1e-6,
                          1e-8,
                          1.2e-8,
                          0x1p-26,
                          std::nextafter(0x1p-26, 0.0),
                          1.5e-8,
                          999999999999999.0,
                          1e15,
                          123456789012345.6,
                          std::nextafter(1e-6, 0.0),
                          1e21,
                          std::nextafter(1e21, 0.0),
                          0.1,
                          0.03125,
                          0.015625,
                          -0.5,
                          4294967295.96875,
                          0x1p32,
                          0x1p32 - 0.5,
                          5e-324,
                          1.7976931348623157e308};
  for (double d : edges) check_printed(d);
  EXPECT_EQ(printed(0.0), "0.0");
  EXPECT_EQ(printed(-0.0), "-0.0");
}

// A number text as we read it: the kind and the value from_chars gives, or a
// rejection when its magnitude is too large for a double.
void check_read(const std::string& text) {
  Result<Value> got = parse(text);
  const bool integer = text.find_first_of(".eE") == std::string::npos;
  if (integer) {
    if (text[0] == '-') {
      int64_t i;
      const auto r = std::from_chars(text.data(), text.data() + text.size(), i);
      if (r.ec == std::errc() && i != 0) {
        ASSERT_TRUE(got.ok() && got->is_i64() && got->as_i64() == i) << text;
        return;
      }
    }
    uint64_t u;
    const char* start = text.data() + (text == "-0" ? 1 : 0);
    const auto r = std::from_chars(start, text.data() + text.size(), u);
    if (r.ec == std::errc()) {
      ASSERT_TRUE(got.ok() && got->is_u64() && got->as_u64() == u) << text;
      return;
    }
  }
  // from_chars is the reference; it reports results below the normal range
  // as out of range too, where strtod still rounds them correctly.
  double want = 0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), want);
  if (r.ec != std::errc() || r.ptr != text.data() + text.size()) {
    want = std::strtod(text.c_str(), nullptr);
  }
  if (std::isinf(want)) {
    ASSERT_FALSE(got.ok()) << text;
    return;
  }
  ASSERT_TRUE(got.ok() && got->is_double()) << text;
  ASSERT_EQ(bits(got->as_double()), bits(want)) << text;
}

TEST(NumberTest, ReadNumbersAreCorrectlyRoundedOfTheirKind) {
  std::mt19937_64 rng(8122026);
  for (int i = 0; i < 200000; ++i) {
    std::string text = rng() % 2 ? "-" : "";
    const size_t digits = 1 + rng() % 25;
    for (size_t k = 0; k < digits; ++k) {
      text += static_cast<char>('0' + (k == 0 && digits > 1 ? 1 + rng() % 9 : rng() % 10));
    }
    if (rng() % 2) {
      text += '.';
      for (size_t k = 1 + rng() % 20; k > 0; --k) text += static_cast<char>('0' + rng() % 10);
    }
    if (rng() % 2) {
      text += "eE"[rng() % 2];
      const int range = rng() % 4 ? 30 : 700;  // mostly the fast path's exponents
      text += std::to_string(static_cast<int>(rng() % (2 * range + 1)) - range);
    }
    check_read(text);
  }
  for (const char* text : {"0",
                           "-0",
                           "0.0",
                           "-0.0",
                           "9007199254740991",
                           "9007199254740993",
                           "9007199254740993.0",
                           "18446744073709551615",
                           "18446744073709551616",
                           "-9223372036854775808",
                           "-9223372036854775809",
                           "99999999999999999999999",
                           "4.9406564584124654e-324",
                           "2.4703282292062327e-324",
                           "2.4703282292062328e-324",
                           "1e-400",
                           "-1e-400",
                           "2.2250738585072011e-308",
                           "1.7976931348623157e308",
                           "1.7976931348623159e308",
                           "1e309"}) {
    check_read(text);
  }
}

// The texts that decide rounding: doubles written with 1 to 17 significant
// digits (where the reader's quick paths end and begin), exact halfway
// points between neighbouring doubles and the decimals just beside them
// (ties go to the even neighbour), subnormals, and the edge of overflow.
TEST(NumberTest, ReadNumbersRoundLikeFromCharsWhereRoundingIsHard) {
  std::mt19937_64 rng(20261209);
  char buf[64];
  auto random_double = [&] {
    double d;
    uint64_t b = rng();
    std::memcpy(&d, &b, sizeof d);
    return d;
  };
  for (int i = 0; i < 100000; ++i) {
    const double d = random_double();
    if (!std::isfinite(d)) continue;
    const int digits = 1 + static_cast<int>(rng() % 17);
    std::snprintf(buf, sizeof buf, "%.*e", digits - 1, d);
    check_read(buf);
    // The same magnitudes people write: fixed notation, few integer digits.
    std::snprintf(buf, sizeof buf, "%.*f", digits,
                  std::ldexp(static_cast<double>(rng() >> 11), -40));
    check_read(buf);
  }
  for (int i = 0; i < 100000; ++i) {
    // An odd 54-bit integer is halfway between two doubles; so is it over
    // 2^j, whose decimal is M * 5^j / 10^j, and it times 10^e.
    const uint64_t m = (rng() >> 10) | (uint64_t{1} << 53) | 1;
    const int j = static_cast<int>(rng() % 4);
    uint64_t scaled = m;
    for (int k = 0; k < j; ++k) scaled *= 5;
    for (int delta : {-1, 0, 1}) {
      const std::string digits = std::to_string(scaled + static_cast<uint64_t>(delta));
      check_read(digits.substr(0, digits.size() - static_cast<size_t>(j)) + "." +
                 digits.substr(digits.size() - static_cast<size_t>(j)) + "0");
      check_read(std::to_string(m + static_cast<uint64_t>(delta)) + "e" +
                 std::to_string(rng() % 20));
    }
    // Subnormals and the smallest normals, written shortest and longer.
    const double tiny =
        std::ldexp(static_cast<double>(rng() >> 11), -1074 - static_cast<int>(rng() % 60));
    std::snprintf(buf, sizeof buf, "%.*e", static_cast<int>(rng() % 20), tiny);
    check_read(buf);
    // Around the largest double: the last ones round down, the rest overflow.
    std::snprintf(buf, sizeof buf, "%.*e", static_cast<int>(rng() % 19),
                  std::numeric_limits<double>::max() *
                      (1 - std::ldexp(static_cast<double>(rng() % 4), -54)));
    check_read(buf);
  }
  for (const char* text :
       {"9007199254740993.0", "9007199254740995e0", "4503599627370496.5", "4503599627370497.5",
        "2.2250738585072014e-308", "2.2250738585072011e-308", "1.7976931348623158e308",
        "1.7976931348623158079e308", "1.797693134862315808e308", "9999999999999999999e-343",
        "9999999999999999999e-327", "1844674407370955161e-326", "1e-326", "9999999999999999999e289",
        "1e308", "0.1e309", "123456789012345678e-5"}) {
    check_read(text);
  }
}

}  // namespace
}  // namespace dovek::json
