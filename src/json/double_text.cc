// Binary to decimal: doubles as JSON text with their shortest round-trip
// digits (see write.h for the forms), the writer's number path. Writer::f64
// is defined here, beside the formatting it inlines; decimal.h goes the other
// way.
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "json/write.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace dovek::json {
namespace {

// The shortest round-trip digits of a finite, non-zero double, without the
// point, and the decimal exponent of the first digit: 1.5e-7 is "15" and -7.
struct Decimal {
  char digits[24];
  size_t n = 0;
  int exp = 0;
  bool negative = false;
};

// The same for at most 15 digits, held in a register as one byte a digit,
// the first in the lowest byte, then '0' bytes up to the sixteenth: written
// out with whole-word stores, never read back from memory piecewise (a load
// that spans several earlier stores waits for them all).
struct ShortDecimal {
  unsigned __int128 digits;
  size_t n;
  int exp;
};

// The eight decimal digits of v < 10^8 (leading zeros included) as byte
// values 0..9, the first digit in the lowest byte: three rounds of splitting
// every lane in two at once (by 10^4, then 100, then 10), with
// multiplications by reciprocals that are exact for the lanes' ranges.
[[maybe_unused]] uint64_t eight_digits(uint32_t v) {
  const uint64_t q4 = v / 10000;
  uint64_t x = q4 | (static_cast<uint64_t>(v - q4 * 10000) << 32);
  const uint64_t q2 = ((x * 10486) >> 20) & 0x0000007F0000007F;  // lanes < 10^4
  x = q2 | ((x - q2 * 100) << 16);
  const uint64_t q1 = ((x * 103) >> 10) & 0x000F000F000F000F;  // lanes < 100
  return q1 | ((x - q1 * 10) << 8);
}

// The sixteen decimal digits of v < 10^16 (leading zeros included) in ASCII,
// the first in the lowest byte, and in `significant` how many there are up
// to the last that is not '0'.
//
// With SSE2 (always there on x86-64), the same three rounds of splitting as
// eight_digits on both halves at once: each is a handful of vector
// instructions, where the scalar rounds cost some sixty.
unsigned __int128 sixteen_digits(uint64_t v, size_t& significant) {
  const uint64_t hi = v / 100000000;
  const uint64_t lo = v - hi * 100000000;
#if defined(__SSE2__)
  // 64-bit lanes below 10^8, then 32-bit lanes below 10^4 (x / 10^4 is
  // x * 0xD1B71759 >> 45), 16-bit lanes below 100 (x * 5243 >> 19), bytes.
  __m128i x = _mm_set_epi64x(static_cast<int64_t>(lo), static_cast<int64_t>(hi));
  const __m128i q4 =
      _mm_srli_epi64(_mm_mul_epu32(x, _mm_set1_epi32(static_cast<int>(0xD1B71759))), 45);
  const __m128i r4 = _mm_sub_epi32(x, _mm_mul_epu32(q4, _mm_set1_epi32(10000)));
  x = _mm_or_si128(q4, _mm_slli_epi64(r4, 32));
  const __m128i q2 = _mm_srli_epi16(_mm_mulhi_epu16(x, _mm_set1_epi16(5243)), 3);
  const __m128i r2 = _mm_sub_epi16(x, _mm_mullo_epi16(q2, _mm_set1_epi16(100)));
  x = _mm_or_si128(q2, _mm_slli_epi32(r2, 16));
  const __m128i q1 = _mm_mulhi_epu16(x, _mm_set1_epi16(6554));  // x * 6554 >> 16 = x / 10
  const __m128i r1 = _mm_sub_epi16(x, _mm_mullo_epi16(q1, _mm_set1_epi16(10)));
  const __m128i zero = _mm_set1_epi8('0');
  const __m128i ascii = _mm_or_si128(_mm_or_si128(q1, _mm_slli_epi16(r1, 8)), zero);
  const auto nonzero =
      static_cast<uint32_t>(~_mm_movemask_epi8(_mm_cmpeq_epi8(ascii, zero)) & 0xFFFF);
  significant = static_cast<size_t>(32 - std::countl_zero(nonzero));
  unsigned __int128 out;
  std::memcpy(&out, &ascii, sizeof out);
  return out;
#else
  const uint64_t first = eight_digits(static_cast<uint32_t>(hi));
  const uint64_t second = eight_digits(static_cast<uint32_t>(lo));
  significant = second != 0 ? 16 - static_cast<size_t>(std::countl_zero(second)) / 8
                            : 8 - static_cast<size_t>(std::countl_zero(first)) / 8;
  constexpr uint64_t kAscii = 0x3030303030303030;
  return (static_cast<unsigned __int128>(second | kAscii) << 64) | (first | kAscii);
#endif
}

// The decimal of `a` (positive, finite) when its shortest round-trip digits
// number at most 15 and 2^-26 <= a < 1e15, as most doubles that people and
// programs write are (3.5, 0.25, 12.75, 0.000123, 51.507351): the digits
// to_chars would give, at a fraction of the cost. False: take the general
// path.
//
// Why one check suffices: scale `a` by an exact power of ten 10^k into
// [1e14, 1e15) and round to the integer m. If a's shortest decimal D has at
// most 15 digits, D * 10^k is an integer below 1e15 and differs from the
// computed a * 10^k by less than 0.5 (a's own rounding contributes at most
// 1e15 * 2^-53, the product's at most 2^-4), so m is D * 10^k. Conversely,
// m / 10^k is one correctly rounded division of two exact doubles; if it
// gives back `a`, the decimal m / 10^k of at most 15 digits reads as `a`,
// and as distinct decimals of at most 15 significant digits never round to
// the same double, it is D.
bool short_decimal(double a, ShortDecimal& dec) {
  if constexpr (std::endian::native != std::endian::little) return false;
  static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                      1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                      1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  constexpr double kMaxMantissa = 1e15;
  if (!(a < kMaxMantissa && a >= 0x1p-26)) return false;  // then 0 <= k <= 22 below
  // floor(log10(2^e)) for a's binary exponent e, which is floor(log10(a)) or
  // one less (78913 / 2^18 gives exactly that for every exponent a double has).
  uint64_t bits;
  std::memcpy(&bits, &a, sizeof bits);
  const int e2 = static_cast<int>(bits >> 52) - 1023;
  int k = 14 - ((e2 * 78913) >> 18);  // a * 10^k in [1e14, 1e16)
  double scaled = a * kPow10[k];
  if (scaled >= kMaxMantissa) scaled = a * kPow10[--k];
  // Through int64_t: converting a double to uint64_t directly costs a test
  // and a branch for values of 2^63 and up, which cannot occur here.
  const auto m = static_cast<uint64_t>(static_cast<int64_t>(scaled + 0.5));
  if (m >= 1000000000000000 || static_cast<double>(m) / kPow10[k] != a) return false;
  // 1e14 <= scaled, so m has exactly 15 digits; times ten, a '0' follows.
  dec.digits = sixteen_digits(m * 10, dec.n);
  dec.exp = 14 - k;
  return true;
}

// 10^k for k <= 22 as exact integers (10^20 and up need more than 64 bits).
constexpr auto kPow10Int = [] {
  std::array<unsigned __int128, 23> p{};
  p[0] = 1;
  for (size_t i = 1; i < p.size(); ++i) p[i] = p[i - 1] * 10;
  return p;
}();

// The decimal of `a` (positive, finite) with 16 or 17 digits, for
// 1e-5 <= a < 1e15 when short_decimal found none: the digits to_chars would
// give, without its general machinery. False: take the general path.
//
// In exact integer arithmetic: a = M * 2^E, and a * 10^k in [1e16, 1e17)
// for the chosen k. The doubles that read as `a` are those within half a
// unit of M of it (the bounds themselves when M is even, as ties round to
// even), an interval wider than 1.1 at that scale. The shortest decimal is
// a multiple of 10 in that interval when there is one (16 digits), else the
// integer nearest to a * 10^k (17 digits); of several, the nearest to `a`.
// As no decimal of 15 digits or fewer reads as `a`, neither has trailing
// zeros. An exact tie between two candidates, or a power of two (whose
// lower neighbour is nearer than its upper), goes the general way.
struct LongDecimal {
  unsigned __int128 digits;  // the first 16, one byte each, the first lowest
  char last;                 // the 17th digit, or 0
  size_t n;
  int exp;
};
bool long_decimal(double a, LongDecimal& dec) {
  using u128 = unsigned __int128;
  if constexpr (std::endian::native != std::endian::little) return false;
  if (!(a >= 1e-5 && a < 1e15)) return false;
  uint64_t bits;
  std::memcpy(&bits, &a, sizeof bits);
  const uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
  if (fraction == 0) return false;
  const uint64_t m = fraction | (uint64_t{1} << 52);
  const int biased = static_cast<int>(bits >> 52);
  const int shift = 1075 - biased + 1;  // 2^shift is the denominator of the halves below
  int k = 16 - (((biased - 1023) * 78913) >> 18);  // a * 10^k in [1e16, 1e18)
  // 10^k below 2^64 (k <= 19, for a >= 2^-9) takes one 64-bit multiplication.
  auto times_pow10 = [](uint64_t x, int e) {
    const u128 p = kPow10Int[static_cast<size_t>(e)];
    return e <= 19 ? static_cast<u128>(x) * static_cast<uint64_t>(p) : x * p;
  };
  u128 v = times_pow10(2 * m, k);
  if ((v >> shift) >= 100000000000000000) v = times_pow10(2 * m, --k);
  const u128 p = kPow10Int[static_cast<size_t>(k)];
  const u128 lower = v - p;  // (2m - 1) * 10^k, over 2^shift
  const u128 upper = v + p;
  const bool inclusive = m % 2 == 0;
  // Each of v, lower and upper as its integer part and what is below it:
  // 64-bit arithmetic from here on.
  const u128 below_one = (u128{1} << shift) - 1;
  const u128 half_unit = u128{1} << (shift - 1);
  const auto lower_int = static_cast<uint64_t>(lower >> shift);
  const bool lower_whole = (lower & below_one) == 0;
  const auto upper_int = static_cast<uint64_t>(upper >> shift);
  const bool upper_whole = (upper & below_one) == 0;
  const auto value_int = static_cast<uint64_t>(v >> shift);
  const u128 value_rest = v & below_one;
  // The multiples of 10 inside: [lo, hi] in tens (lo rounds lower up).
  uint64_t lo = (lower_int + (lower_whole ? 9 : 10)) / 10;
  if (!inclusive && lower_whole && lower_int == lo * 10) ++lo;
  uint64_t hi = upper_int / 10;
  if (!inclusive && upper_whole && upper_int == hi * 10) --hi;
  uint64_t n;
  size_t digits;
  if (lo <= hi) {
    const uint64_t below = value_int / 10;
    const uint64_t units = value_int - below * 10;
    if (units == 5 && value_rest == 0) return false;  // a tie
    n = std::clamp(below + (units >= 5 ? 1 : 0), lo, hi);
    digits = 16;
    if (n < 1000000000000000 || n >= 10000000000000000) return false;
  } else {
    if (value_rest == half_unit) return false;  // a tie
    n = value_int + (value_rest > half_unit ? 1 : 0);
    digits = 17;
    if (n < 10000000000000000 || n >= 100000000000000000) return false;
  }
  size_t significant = 0;  // 16 or 17 digits have no trailing zero (see above)
  if (digits == 17) {
    const u128 sixteen = sixteen_digits(n % 10000000000000000, significant);
    dec.digits = (sixteen << 8) | static_cast<u128>('0' + n / 10000000000000000);
    dec.last = static_cast<char>(sixteen >> 120);
  } else {
    dec.digits = sixteen_digits(n, significant);
    dec.last = 0;
  }
  dec.n = digits;
  dec.exp = 16 - k;
  return true;
}

void store16(char* o, unsigned __int128 v) { std::memcpy(o, &v, sizeof v); }

// A long decimal as JSON text, always plain (-5 <= exp <= 14): the digits
// around a point, or after "0." and zeros. Writes whole blocks: up to 32
// bytes past `o` may change (see kDoubleRoom).
char* put_long(char* o, bool negative, const LongDecimal& dec) {
  *o = '-';
  o += negative;
  if (dec.exp >= 0) {
    const size_t int_len = static_cast<size_t>(dec.exp) + 1;  // 1 to 15, below n
    store16(o, dec.digits);
    o[int_len] = '.';
    store16(o + int_len + 1, dec.digits >> (8 * int_len));
    o[17] = dec.last;  // the 17th digit's place whatever int_len is (past the text for 16)
    return o + dec.n + 1;
  }
  std::memcpy(o, "0.000000", 8);  // up to four zeros after the point
  o += 1 - dec.exp;
  store16(o, dec.digits);
  o[16] = dec.last;
  return o + dec.n;
}

// A short decimal as JSON text: plain for -6 <= exp (always below 15 here),
// else in exponent form. Writes whole blocks: up to 32 bytes past `o` may
// change, of which the text is at most 1 + 15 + 2 (see kDoubleRoom).
char* put_short(char* o, bool negative, const ShortDecimal& dec) {
  *o = '-';
  o += negative;
  const unsigned __int128 d = dec.digits;
  if (dec.exp >= 0) {
    const size_t int_len = static_cast<size_t>(dec.exp) + 1;
    store16(o, d);
    if (dec.n <= int_len) {  // integral: zeros up to the point, then ".0"
      std::memset(o + dec.n, '0', 16);
      std::memcpy(o + int_len, ".0", 2);
      return o + int_len + 2;
    }
    o[int_len] = '.';
    store16(o + int_len + 1, d >> (8 * int_len));
    return o + dec.n + 1;
  }
  if (dec.exp >= -6) {
    std::memcpy(o, "0.000000", 8);  // up to five zeros after the point
    o += 1 - dec.exp;
    store16(o, d);
    return o + dec.n;
  }
  // 1.5e-7: the first digit, the others after a point, then the exponent
  // (one digit: exp is -7 or -8).
  store16(o, d);
  if (dec.n > 1) {
    o[1] = '.';
    store16(o + 2, d >> 8);
    o += dec.n + 1;
  } else {
    o += 1;
  }
  std::memcpy(o, "e-", 2);
  o[2] = static_cast<char>('0' - dec.exp);
  return o + 3;
}

Decimal shortest_decimal(double d) {
  Decimal dec;
  dec.negative = d < 0;
  ShortDecimal s;
  if (short_decimal(std::fabs(d), s)) {
    std::memcpy(dec.digits, &s.digits, sizeof s.digits);
    dec.n = s.n;
    dec.exp = s.exp;
    return dec;
  }
  // Shortest round-trip digits in scientific form: [-]D[.DDD]e(+|-)XX.
  char buf[40];
  auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  const char* p = buf;
  const char* end = r.ptr;
  if (*p == '-') ++p;
  const char* e = static_cast<const char*>(std::memchr(p, 'e', static_cast<size_t>(end - p)));
  for (const char* q = p; q != e; ++q) {
    if (*q != '.') dec.digits[dec.n++] = *q;
  }
  std::from_chars(e + 2, end, dec.exp);
  if (e[1] == '-') dec.exp = -dec.exp;
  return dec;
}

char* put_bytes(char* o, const char* s, size_t n) {
  std::memcpy(o, s, n);
  return o + n;
}

char* put_zeros(char* o, size_t n) {
  std::memset(o, '0', n);
  return o + n;
}

// Plain notation: sign, all integer digits, ".0" on integral values. At
// most kPlainDoubleRoom bytes (1e308 has 309 digits, 5e-324 323 zeros).
constexpr size_t kPlainDoubleRoom = 360;
char* put_plain(char* o, const Decimal& dec) {
  if (dec.negative) *o++ = '-';
  if (dec.exp >= 0) {
    const size_t int_len = static_cast<size_t>(dec.exp) + 1;
    if (dec.n <= int_len) {
      o = put_bytes(o, dec.digits, dec.n);
      o = put_zeros(o, int_len - dec.n);
      return put_bytes(o, ".0", 2);
    }
    o = put_bytes(o, dec.digits, int_len);
    *o++ = '.';
    return put_bytes(o, dec.digits + int_len, dec.n - int_len);
  }
  o = put_bytes(o, "0.", 2);
  o = put_zeros(o, static_cast<size_t>(-dec.exp - 1));
  return put_bytes(o, dec.digits, dec.n);
}

// Zero keeps its sign, so that it reads back as the same double.
char* put_zero(char* o, double d) {
  return std::signbit(d) ? put_bytes(o, "-0.0", 4) : put_bytes(o, "0.0", 3);
}

// A double as JSON text (see write.h): at most 32 bytes, in a room of
// kDoubleRoom (put_short writes whole blocks).
constexpr size_t kDoubleRoom = 1 + 32;

// The doubles that short_decimal leaves (zero, infinity and NaN among
// them) go out of line, so that the common case saves no registers.
[[gnu::noinline]] char* put_other_double(char* o, double d) {
  if (!std::isfinite(d)) return put_bytes(o, "null", 4);
  if (d == 0) return put_zero(o, d);
  const double a = std::fabs(d);
  LongDecimal l;
  if (long_decimal(a, l)) return put_long(o, d < 0, l);
  // Below 2^53, fixed notation with the shortest round-trip digits is ours,
  // without ".0" on integral values (above, to_chars would print an
  // integral value's exact digits instead of the shortest ones).
  if (a >= 1e-6 && a < 0x1p53) {
    o = std::to_chars(o, o + kDoubleRoom, d, std::chars_format::fixed).ptr;
    return std::trunc(d) == d ? put_bytes(o, ".0", 2) : o;
  }
  const Decimal dec = shortest_decimal(d);
  // Plain notation, as JavaScript chooses for 1e-6 <= |x| < 1e21.
  if (dec.exp >= -6 && dec.exp <= 20) return put_plain(o, dec);
  // Exponent notation: first digit, the others after a point, then e+XX / e-XX.
  if (dec.negative) *o++ = '-';
  *o++ = dec.digits[0];
  if (dec.n > 1) {
    *o++ = '.';
    o = put_bytes(o, dec.digits + 1, dec.n - 1);
  }
  o = put_bytes(o, dec.exp < 0 ? "e-" : "e+", 2);
  return std::to_chars(o, o + 8, dec.exp < 0 ? -dec.exp : dec.exp).ptr;
}

// d when 0 < |d| < 2^32 and it has at most five binary places (integral
// values, halves, quarters: what programs write most), written from its
// exact decimal: the integer part, then up to five fraction digits. That
// decimal has at most 15 significant digits, and as no two decimals of 15
// digits or fewer read as the same double, it is the shortest that reads
// back, the digits the general way would find at more cost. nullptr: not
// such a double.
char* put_few_places(char* o, double d) {
  const double a = std::fabs(d);
  if (!(a < 0x1p32)) return nullptr;  // NaN too
  const double scaled = a * 32;       // exact: a power of two
  const auto units = static_cast<uint64_t>(static_cast<int64_t>(scaled));
  if (units == 0 || static_cast<double>(units) != scaled) return nullptr;
  *o = '-';
  o += d < 0;
  o = std::to_chars(o, o + 10, static_cast<uint32_t>(units >> 5)).ptr;
  // The fraction (units mod 32) / 32 in units of 1e-5.
  auto fraction = static_cast<uint32_t>(units & 31) * 3125;
  if (fraction == 0) return put_bytes(o, ".0", 2);
  char digits[5];
  for (size_t i = 5; i-- > 0; fraction /= 10) digits[i] = static_cast<char>('0' + fraction % 10);
  size_t n = 5;
  while (digits[n - 1] == '0') --n;
  *o++ = '.';
  return put_bytes(o, digits, n);
}

inline char* put_double(char* o, double d) {
  if (char* end = put_few_places(o, d)) return end;
  ShortDecimal s;
  if (short_decimal(std::fabs(d), s)) return put_short(o, d < 0, s);
  return put_other_double(o, d);
}

}  // namespace

void append_plain_double(std::string& out, double d) {
  char buf[kPlainDoubleRoom];
  char* end = d == 0 ? put_zero(buf, d) : put_plain(buf, shortest_decimal(d));
  out.append(buf, static_cast<size_t>(end - buf));
}

void Writer::f64(double d) {
  before_value();
  char* o = room(kDoubleRoom);
  len_ = static_cast<size_t>(put_double(o, d) - buf_.data());
}

}  // namespace dovek::json
