#include "json/decimal.h"

#include <bit>
#include <cstdint>

namespace dovek::json {
namespace {

using u128 = unsigned __int128;

// How it works. digits * 10^q = digits * 5^q * 2^q, and the table holds 5^q
// as a 128-bit integer T with a binary exponent: 5^q ~ T * 2^e5, T in
// [2^127, 2^128). T is 5^q's leading 128 bits, cut off (never rounded up):
// exact for 0 <= q <= 55, just below the true value otherwise. The digits,
// shifted so that their top bit is set (w), times T give a 192-bit product
// P whose leading 54 bits are the double's 53 bits and the rounding bit.
//
// The true product Q = w * 5^q / 2^e5 lies in [P, P + w), and w < 2^64: so
// Q has the same leading bits as P unless the bits below them are all ones
// through P's middle word, where the unknown part could carry into them.
// Then (about once in 2^73 for random inputs) the caller reads the text
// exactly. Otherwise the rounding bit decides, with one exception: when T
// is exact and every bit below the rounding bit is zero, Q is halfway
// between two doubles, and the even one wins. When T is not exact, Q is
// strictly above P, so a set rounding bit always means above halfway.

constexpr int kMinExponent = -326;  // below: 2^64 * 10^-327 < 2^-1022, all subnormal
constexpr int kMaxExponent = 308;   // above: any non-zero digits overflow
constexpr int kLastExactPower = 55;  // 5^55 < 2^128 < 5^56

struct Power {
  uint64_t hi;
  uint64_t lo;
};

// An unsigned integer of 1024 bits for building the table at compile time:
// 5^308 needs 716 bits, and 2^1023 / 5^326 keeps 267, more than the 128
// taken from it.
struct Big {
  static constexpr int kLimbs = 16;
  uint64_t limb[kLimbs] = {};  // the lowest first

  constexpr void multiply(uint64_t m) {
    uint64_t carry = 0;
    for (uint64_t& x : limb) {
      const u128 v = static_cast<u128>(x) * m + carry;
      x = static_cast<uint64_t>(v);
      carry = static_cast<uint64_t>(v >> 64);
    }
  }
  // Rounds down: dividing by 5 again and again gives floor(x / 5^k) exactly.
  constexpr void divide(uint64_t d) {
    u128 rest = 0;
    for (int i = kLimbs - 1; i >= 0; --i) {
      const u128 v = (rest << 64) | limb[i];
      limb[i] = static_cast<uint64_t>(v / d);
      rest = v % d;
    }
  }
  constexpr int bit_length() const {
    for (int i = kLimbs - 1; i >= 0; --i) {
      if (limb[i] != 0) return 64 * i + 64 - std::countl_zero(limb[i]);
    }
    return 0;
  }
  constexpr bool bit(int at) const {
    return at >= 0 && at < 64 * kLimbs && ((limb[at / 64] >> (at % 64)) & 1) != 0;
  }
  // The 64 bits from bit `at` up; bits below bit 0 read as zero.
  constexpr uint64_t bits64(int at) const {
    uint64_t v = 0;
    for (int b = 63; b >= 0; --b) v = (v << 1) | (bit(at + b) ? 1 : 0);
    return v;
  }
  // The leading 128 bits, cut off below; `exact` when nothing was cut.
  constexpr Power leading(bool& exact) const {
    const int from = bit_length() - 128;
    exact = true;
    for (int at = 0; at < from; ++at) exact = exact && !bit(at);
    return {bits64(from + 64), bits64(from)};
  }
};

// floor(q * log2(5)) for every q of the table (checked below): 2^32 * log2(5)
// is 9972605231.2.
constexpr int floor_log2_pow5(int q) {
  return static_cast<int>((static_cast<int64_t>(q) * 9972605231) >> 32);
}

struct Table {
  Power power[kMaxExponent - kMinExponent + 1];
  bool consistent = true;  // exponents and exactness as the code assumes
};

constexpr Table make_table() {
  Table t;
  Big x;
  x.limb[0] = 1;  // 5^q for q = 0, 1, ...
  for (int q = 0; q <= kMaxExponent; ++q) {
    bool exact = false;
    t.power[q - kMinExponent] = x.leading(exact);
    t.consistent =
        t.consistent && exact == (q <= kLastExactPower) && x.bit_length() - 1 == floor_log2_pow5(q);
    x.multiply(5);
  }
  Big y;
  y.limb[Big::kLimbs - 1] = uint64_t{1} << 63;  // 2^1023 / 5^k for k = 1, 2, ...
  for (int q = -1; q >= kMinExponent; --q) {
    y.divide(5);
    bool exact = true;
    t.power[q - kMinExponent] = y.leading(exact);
    t.consistent = t.consistent && !exact && y.bit_length() - 1 - 1023 == floor_log2_pow5(q);
  }
  return t;
}

constexpr Table kTable = make_table();
static_assert(kTable.consistent);
static_assert(kTable.power[0 - kMinExponent].hi == uint64_t{1} << 63 &&
              kTable.power[0 - kMinExponent].lo == 0);
// 5^-1 = 0.2 = 0.0011 0011 ... in binary: leading bits 1100 1100 ...
static_assert(kTable.power[-1 - kMinExponent].hi == 0xCCCCCCCCCCCCCCCC &&
              kTable.power[-1 - kMinExponent].lo == 0xCCCCCCCCCCCCCCCC);

}  // namespace

bool decimal_to_double(uint64_t digits, int exponent, bool negative, double& out) {
  if (exponent < kMinExponent || exponent > kMaxExponent) return false;
  const Power t = kTable.power[exponent - kMinExponent];
  const int zeros = std::countl_zero(digits);
  const uint64_t w = digits << zeros;
  // P = w * T in three words: high:middle from the two partial products
  // (w * T.hi cannot reach 2^128 - 2^64, so adding the carry never wraps),
  // low from the second alone.
  const u128 low_product = static_cast<u128>(w) * t.lo;
  const u128 top = static_cast<u128>(w) * t.hi + (low_product >> 64);
  const auto high = static_cast<uint64_t>(top >> 64);
  const auto middle = static_cast<uint64_t>(top);
  // P >= 2^190: its leading bit is bit 63 or 62 of `high`, and the 54 bits
  // from there down end at bit 10 or 9.
  const int upper = static_cast<int>(high >> 63);
  const int shift = 9 + upper;
  const uint64_t below_mask = (uint64_t{1} << shift) - 1;
  const bool exact = exponent >= 0 && exponent <= kLastExactPower;
  if (!exact && (high & below_mask) == below_mask && middle == ~uint64_t{0}) return false;
  // value = Q * 2^(e5 + q - zeros), e5 = floor(log2(5^q)) - 127, and Q is
  // m53 * 2^(shift + 129) before rounding; the 52 is the mantissa's width.
  int biased = floor_log2_pow5(exponent) - 127 + exponent - zeros + shift + 129 + 52 + 1023;
  // Zero, subnormal: fewer than 53 bits of precision, rounded elsewhere.
  if (biased < 1) return false;
  uint64_t m = high >> shift;
  const bool round_bit = (m & 1) != 0;
  m >>= 1;
  if (round_bit) {
    const bool halfway =
        exact && (high & below_mask) == 0 && middle == 0 && static_cast<uint64_t>(low_product) == 0;
    if (!halfway || (m & 1) != 0) ++m;
  }
  if (m == uint64_t{1} << 53) {  // rounded up to the next power of two
    m >>= 1;
    ++biased;
  }
  if (biased > 2046) return false;  // too large for a double
  const uint64_t bits = (static_cast<uint64_t>(negative) << 63) |
                        (static_cast<uint64_t>(biased) << 52) | (m & ((uint64_t{1} << 52) - 1));
  out = std::bit_cast<double>(bits);
  return true;
}

}  // namespace dovek::json
