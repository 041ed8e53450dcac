// The tokenizer's scanners: structure, strings, literals and numbers, read in
// one pass onto the token tape. One file past 500 lines on purpose: every
// scanner here is inlined into the loop of read_into, and a scanner moved to
// a file of its own would cost a call per token on the reader's hot path.
#include "json/tokenizer.h"

#include <locale.h>
#include <stdlib.h>

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <system_error>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/bytes.h"
#include "base/utf8.h"
#include "json/decimal.h"
#include "json/tape.h"
#include "json/text.h"

namespace dovek::json {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Whether the digits of a number read without an exponent, `first` up to
// the point, `fraction` up to `end`, are those Writer::f64 writes for the
// double they read as: no redundant zero, a magnitude the writer prints
// without an exponent, and at most 15 significant digits. A double keeps
// any decimal of 15 digits exactly, so no shorter one reads as the same
// value, and these digits are its shortest round-trip digits. `digits`:
// how many there are on both sides of the point.
bool written_double(const char* first, const char* fraction, const char* end, size_t digits) {
  const auto fraction_digits = static_cast<size_t>(end - fraction);
  if (fraction_digits == 1 && *fraction == '0') {
    return digits - 1 <= 15;  // integral: "X.0", or zero
  }
  if (end[-1] == '0') return false;
  if (*first != '0') return digits <= 15;
  // "0.": its leading zeros do not count, and below 1e-6 the writer writes
  // an exponent.
  size_t zeros = 0;
  while (fraction[zeros] == '0') ++zeros;  // stops: the last digit is not 0
  return zeros <= 5 && fraction_digits - zeros <= 15;
}

// Reads the eight bytes at p; when all are ASCII digits, adds them to
// `mantissa` (times 10^8, wrapping past 19 digits as the caller allows) and
// returns true. Long numbers (coordinates, measurements) take their digits
// eight at a time instead of one. REQUIRES: eight readable bytes at p (the
// text's padding provides them).
bool eight_digits(const char* p, uint64_t& mantissa) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native != std::endian::little) return false;
  // Every byte in '0'..'9': its high nibble is 3, and adding 6 keeps it 3.
  if ((v & 0xF0F0F0F0F0F0F0F0) != 0x3030303030303030 ||
      ((v + 0x0606060606060606) & 0xF0F0F0F0F0F0F0F0) != 0x3030303030303030) {
    return false;
  }
  v -= 0x3030303030303030;  // the first digit in the lowest byte
  v = v * 10 + (v >> 8);    // pairs: 10 * d[i] + d[i + 1] in every other byte
  v = ((v & 0x000000FF000000FF) * (100 + (1000000ULL << 32)) +
       ((v >> 16) & 0x000000FF000000FF) * (1 + (10000ULL << 32))) >>
      32;
  mantissa = mantissa * 100000000 + v;
  return true;
}

// What a value's first byte starts, looked up in one load rather than a
// chain of compares. kNumber also stands for every byte that starts no
// value: number() rejects those where they stand.
enum class ValueStart : uint8_t {
  kNumber,
  kString,
  kArray,
  kObject,
  kNull,
  kTrue,
  kFalse,
  kUnexpected,  // a delimiter, a closing bracket or the end
};
constexpr std::array<ValueStart, 256> kValueStart = [] {
  std::array<ValueStart, 256> table{};
  table['"'] = ValueStart::kString;
  table['['] = ValueStart::kArray;
  table['{'] = ValueStart::kObject;
  table['n'] = ValueStart::kNull;
  table['t'] = ValueStart::kTrue;
  table['f'] = ValueStart::kFalse;
  for (const unsigned char c : {']', '}', ',', ':', '\0'}) table[c] = ValueStart::kUnexpected;
  return table;
}();

// Adds the run of digits at p to `mantissa` (wrapping past 19 digits as
// the caller allows) and returns its end. Most numbers are short: their
// first digits go one at a time, and only a run longer than that tries eight
// at a time.
[[gnu::always_inline]] inline char* add_digits(char* p, uint64_t& mantissa) {
  for (int k = 0; k < 4; ++k, ++p) {
    if (!is_digit(*p)) return p;
    mantissa = mantissa * 10 + static_cast<uint64_t>(*p - '0');
  }
  while (eight_digits(p, mantissa)) p += 8;
  while (is_digit(*p)) mantissa = mantissa * 10 + static_cast<uint64_t>(*p++ - '0');
  return p;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Writes code point `cp` as UTF-8 bytes, unchecked: a lone surrogate becomes
// three bytes that the string's UTF-8 check then rejects.
void put_utf8(char*& out, unsigned cp) {
  if (cp <= 0x7F) {
    *out++ = static_cast<char>(cp);
  } else if (cp <= 0x7FF) {
    *out++ = static_cast<char>(0xC0 | (cp >> 6));
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp <= 0xFFFF) {
    *out++ = static_cast<char>(0xE0 | (cp >> 12));
    *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *out++ = static_cast<char>(0xF0 | (cp >> 18));
    *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// strtod in the "C" locale, for the inputs from_chars rejects as out of range.
double strtod_c(const std::string& s) {
  static locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return strtod_l(s.c_str(), nullptr, c_locale);
}

// The integer in s[0, n) when it fits: u64, or i64 when negative ("-0" is
// the integer 0, stored like every non-negative integer).
bool convert_integer(const char* s, size_t n, Token& token) {
  const char* end = s + n;
  if (s[0] == '-') {
    int64_t v = 0;
    auto r = std::from_chars(s, end, v);
    if (r.ec != std::errc() || r.ptr != end) return false;
    token.kind = v == 0 ? TokenKind::kU64 : TokenKind::kI64;
    token.i64 = v;
    return true;
  }
  uint64_t v = 0;
  auto r = std::from_chars(s, end, v);
  if (r.ec != std::errc() || r.ptr != end) return false;
  token.kind = TokenKind::kU64;
  token.u64 = v;
  return true;
}

// Classifies a JSON number's text into `token`: an integer (u64, or i64 when
// negative) when it has neither fraction nor exponent (`integer`) and fits,
// else a correctly rounded double. False: the magnitude is too large for a
// double. REQUIRES: s[0, n) follows the JSON number grammar.
bool convert_number(const char* s, size_t n, bool integer, Token& token) {
  if (integer && convert_integer(s, n, token)) return true;
  double d = 0;
  auto r = std::from_chars(s, s + n, d);
  if (r.ec != std::errc() || r.ptr != s + n) {
    // libstdc++ 12 reports underflow as out of range too; strtod gives the
    // correctly rounded subnormal or signed zero, and infinity on overflow.
    d = strtod_c(std::string(s, n));
    if (std::isinf(d)) return false;
  }
  token.kind = TokenKind::kDouble;
  token.f64 = d;
  return true;
}

// The common numbers without a library call, exactly as convert_number
// classifies them: an integer that fits its type, or mantissa * 10^exponent
// when both are exact doubles (mantissa <= 2^53, |exponent| <= 22), so that
// one multiplication or division rounds correctly, in fewer instructions
// than any other way. False: not such a number.
// REQUIRES: mantissa holds all the significant digits (at most 19).
bool fast_number(bool negative, uint64_t mantissa, bool integer, int exponent, Token& token) {
  if (integer) {
    if (!negative) {
      token.kind = TokenKind::kU64;
      token.u64 = mantissa;
      return true;
    }
    if (mantissa > uint64_t{1} << 63) return false;
    token.kind = mantissa == 0 ? TokenKind::kU64 : TokenKind::kI64;
    token.i64 = static_cast<int64_t>(0 - mantissa);
    return true;
  }
  static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                      1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                      1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  if (mantissa > uint64_t{1} << 53 || exponent < -22 || exponent > 22) return false;
  double d = static_cast<double>(mantissa);
  d = exponent < 0 ? d / kPow10[-exponent] : d * kPow10[exponent];
  token.kind = TokenKind::kDouble;
  token.f64 = negative ? -d : d;
  return true;
}

}  // namespace

Tokenizer::State Tokenizer::after_value() const {
  switch (state_) {
    case State::kStart: return State::kFinish;
    case State::kKeyValueDelimiter: return State::kMemberValue;
    default: return State::kElement;  // kArrayInitial, kElementDelimiter
  }
}

// One token. Each state checks the byte that must follow it and goes on to
// what comes next: after a value in a container that is the comma (then a
// key or the next element, without another turn) or the closing bracket.
// The state is only stored for the next step and for the wording of errors.
template <bool kTape>
[[gnu::always_inline]] inline bool Tokenizer::step(Token& t) {
  // Whitespace is skipped in each case, so that the end needs no test of
  // its own before the dispatch and leaves the offset just past the value.
  // Every way to a value ends in the one dispatch below it.
  char c;
  State then;
  switch (state_) {
    case State::kMemberValue:
      c = skip_space_and_peek();
      if (c == ',') {
        ++p_;
        ++open_[depth_ - 1].count;
        state_ = State::kMemberDelimiter;
        if (skip_space_and_peek() != '"') return unexpected();
        state_ = State::kMemberKey;
        return key(t);
      }
      if (c == '}') return close<kTape>(t, TokenKind::kObjectEnd, true);
      return unexpected();
    case State::kElement:
      c = skip_space_and_peek();
      if (c == ',') {
        ++p_;
        ++open_[depth_ - 1].count;
        state_ = State::kElementDelimiter;
        skip_space();
        then = State::kElement;
        break;
      }
      if (c == ']') return close<kTape>(t, TokenKind::kArrayEnd, true);
      return unexpected();
    case State::kMemberKey:
      if (skip_space_and_peek() != ':') return unexpected();
      ++p_;
      state_ = State::kKeyValueDelimiter;
      skip_space();
      then = State::kMemberValue;
      break;
    case State::kObjectInitial:
    case State::kMemberDelimiter:
      c = skip_space_and_peek();
      if (c == '"') {
        state_ = State::kMemberKey;
        return key(t);
      }
      if (c == '}' && state_ == State::kObjectInitial) {
        return close<kTape>(t, TokenKind::kObjectEnd, false);
      }
      return unexpected();
    case State::kArrayInitial:
      if (skip_space_and_peek() == ']') return close<kTape>(t, TokenKind::kArrayEnd, false);
      then = State::kElement;
      break;
    case State::kFinish: return false;
    default:  // kStart; the delimiter states only stand between the steps above
      skip_space();
      then = after_value();
      break;
  }
  return value<kTape>(t, then);
}

bool Tokenizer::next(Token& t) { return step<false>(t); }

bool Tokenizer::read_into(std::vector<Token>& tokens, const TopLevelHook& hook, const Tape& tape) {
  for (;;) {
    index_ = tokens.size();
    // The tokenizer writes each token straight into its slot: copying a
    // token just written field by field would read it back whole before the
    // stores have landed, which stalls the processor on every token.
    Token& t = tokens.emplace_back();
    if (!step<true>(t)) {
      tokens.pop_back();
      return !failed();
    }
    // A value of depth 1 (a container at its begin token, which stands one
    // level out from its own frame) goes to the hook.
    if (depth_ <= 2 && hook) [[unlikely]] {
      const TokenKind kind = t.kind;
      const bool begins = kind == TokenKind::kArrayBegin || kind == TokenKind::kObjectBegin;
      const bool scalar = kind <= TokenKind::kString;
      if ((scalar && depth_ == 1) || (begins && depth_ == 2)) {
        Status status = hook(tape, index_);
        if (!status.ok()) return fail(std::move(status).error());
      }
    }
  }
}

template <bool kTape>
[[gnu::always_inline]] inline bool Tokenizer::value(Token& t, State then) {
  bool ok = false;
  switch (kValueStart[static_cast<unsigned char>(*p_)]) {
    case ValueStart::kArray: return open<kTape>(t, TokenKind::kArrayBegin, then);
    case ValueStart::kObject: return open<kTape>(t, TokenKind::kObjectBegin, then);
    case ValueStart::kUnexpected: return unexpected();
    case ValueStart::kString: ok = string(t, TokenKind::kString); break;
    case ValueStart::kNull: ok = literal(t, TokenKind::kNull, "null"); break;
    case ValueStart::kTrue: ok = literal(t, TokenKind::kTrue, "true"); break;
    case ValueStart::kFalse: ok = literal(t, TokenKind::kFalse, "false"); break;
    case ValueStart::kNumber: ok = number(t); break;
  }
  if (ok) state_ = then;
  return ok;
}

template <bool kTape>
[[gnu::always_inline]] inline bool Tokenizer::open(Token& t, TokenKind kind, State then) {
  if (depth_ >= static_cast<size_t>(kMaxDepth)) [[unlikely]]
    return too_deep();
  const bool is_array = kind == TokenKind::kArrayBegin;
  open_[depth_++] = Frame{then, is_array, 0, irregular_, 0, 0, index_};
  t.kind = kind;
  t.count = 0;
  t.offset = offset();
  t.end = 0;
  ++p_;
  state_ = is_array ? State::kArrayInitial : State::kObjectInitial;
  return true;
}

template <bool kTape>
inline bool Tokenizer::close(Token& t, TokenKind kind, bool after_item) {
  const Frame& frame = open_[--depth_];
  t.kind = kind;
  t.count = frame.count + (after_item ? 1 : 0);
  t.offset = offset();
  t.end = 0;
  t.written_form = irregular_ == frame.irregular;
  if constexpr (kTape) {
    Token& begin = *(&t - (index_ - frame.begin));
    begin.end = index_;
    begin.count = t.count;
  }
  ++p_;
  state_ = frame.resume;
  return true;
}

// The first letter chose the word; its last four bytes, compared as one
// load (the padding makes the load safe at the end of the text), settle it.
inline bool Tokenizer::literal(Token& t, TokenKind kind, std::string_view word) {
  const size_t start = offset();
  const size_t tail = word.size() - 4;
  uint32_t have, want;
  std::memcpy(&have, p_ + tail, sizeof have);
  std::memcpy(&want, word.data() + tail, sizeof want);
  if (have != want) [[unlikely]] {
    size_t k = 1;
    while (p_[k] == word[k]) ++k;  // stops: some byte differs
    return fail(SyntaxError::kExpectedValue, start + k);
  }
  p_ += word.size();
  t.kind = kind;
  t.count = 0;
  t.offset = start;
  t.u64 = 0;
  return true;
}

[[gnu::always_inline]] inline bool Tokenizer::number(Token& t) {
  char* p = p_;
  auto at = [&] { return static_cast<size_t>(p - buffer_); };
  const bool negative = *p == '-';
  if (negative) ++p;
  // The digits are gathered into `mantissa` while the grammar is checked, so
  // that short numbers need no second pass; more than 19 digits overflow it
  // and go the general way.
  uint64_t mantissa = 0;
  const char* const first_digit = p;
  if (*p == '0') {
    ++p;
  } else if (is_digit(*p)) {
    p = add_digits(p, mantissa);
  } else {
    return fail(SyntaxError::kExpectedValue, at());
  }
  size_t digits = static_cast<size_t>(p - first_digit);
  int exponent = 0;  // of the last digit
  bool integer = true;
  const char* fraction = nullptr;  // its first digit
  if (*p == '.') {
    integer = false;
    ++p;
    if (!is_digit(*p)) return fail(SyntaxError::kMissingFraction, at());
    fraction = p;
    p = add_digits(p, mantissa);
    digits += static_cast<size_t>(p - fraction);
    exponent = -static_cast<int>(p - fraction);
  }
  const bool exponent_part = *p == 'e' || *p == 'E';
  if (exponent_part) {
    integer = false;
    ++p;
    const bool negative_exponent = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    if (!is_digit(*p)) return fail(SyntaxError::kMissingExponent, at());
    int e = 0;
    while (is_digit(*p)) {
      if (e < 100000) e = e * 10 + (*p - '0');
      ++p;
    }
    exponent += negative_exponent ? -e : e;
  }
  t.count = 0;
  t.offset = offset();
  if (!(digits <= 19 && fast_number(negative, mantissa, integer, exponent, t)) &&
      !convert_other_number(t, p, digits, mantissa, integer, exponent, negative)) [[unlikely]] {
    return false;
  }
  // Integers are written in their digits, but "-0" as 0; a double only in
  // one form for each value.
  if (t.kind == TokenKind::kDouble) {
    if (fraction != nullptr && !exponent_part &&
        written_double(first_digit, fraction, p, static_cast<size_t>(p - first_digit) - 1)) {
      t.count = static_cast<uint32_t>(p - p_);
    } else {
      ++irregular_;
    }
  } else if (negative && t.u64 == 0) {
    ++irregular_;
  }
  p_ = p;
  return true;
}

bool Tokenizer::convert_other_number(Token& t, const char* end, size_t digits, uint64_t mantissa,
                                     bool integer, int exponent, bool negative) {
  if (digits <= 19 && !integer && mantissa != 0 &&
      decimal_to_double(mantissa, exponent, negative, t.f64)) {
    t.kind = TokenKind::kDouble;
    return true;
  }
  if (!convert_number(p_, static_cast<size_t>(end - p_), integer, t)) {
    return fail(Error("number out of range" + position_in(text_, t.offset)));
  }
  return true;
}

// Whether the key at buffer offset b (n bytes) comes after the one at a (m
// bytes) in bytewise order. Keys mostly differ within their first eight
// bytes, often after a common prefix ("key001", "key002"): one word from
// each decides that (the reading padding makes eight bytes loadable from
// any key's start, and only the keys' own bytes are compared).
inline bool Tokenizer::key_after(size_t a, size_t m, size_t b, size_t n) const {
  if constexpr (std::endian::native == std::endian::little) {
    uint64_t x, y;
    std::memcpy(&x, buffer_ + a, sizeof x);
    std::memcpy(&y, buffer_ + b, sizeof y);
    const size_t shorter = m < n ? m : n;
    uint64_t diff = x ^ y;
    if (shorter < 8) diff &= (uint64_t{1} << (8 * shorter)) - 1;
    if (diff != 0) {
      const auto at = static_cast<unsigned>(std::countr_zero(diff)) & ~7u;
      return ((x >> at) & 0xFF) < ((y >> at) & 0xFF);
    }
    if (shorter <= 8) return m < n;
  }
  return bytes::less({buffer_ + a, m}, {buffer_ + b, n});
}

// A member's key, and whether it comes after the object's previous key in
// the order the writer writes members.
[[gnu::always_inline]] inline bool Tokenizer::key(Token& t) {
  if (!string(t, TokenKind::kKey)) return false;
  Frame& frame = open_[depth_ - 1];
  if (frame.count != 0 && !key_after(frame.key_begin, frame.key_size, t.str.begin, t.str.size)) {
    ++irregular_;
  }
  frame.key_begin = t.str.begin;
  frame.key_size = t.str.size;
  return true;
}

#if defined(__SSE2__)
namespace {
// The bytes of a string among the 16 at `at` that end it or need a closer
// look: its quotes, and any backslash, control byte or byte of 0x80 and up
// (non-ASCII, which must have its UTF-8 checked). A signed compare finds
// the last two at once: both are "less than 0x20". The quotes get a mask of
// their own, so that whether the first special byte is the closing quote is
// a bit test, not a load of that byte.
struct StringMasks {
  unsigned quotes;
  unsigned special;  // quotes included
};
inline StringMasks string_masks(const char* at) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
  const auto quotes =
      static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('"'))));
  const auto others = static_cast<unsigned>(
      _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\\')),
                                     _mm_cmplt_epi8(v, _mm_set1_epi8(0x20)))));
  return {quotes, quotes | others};
}
}  // namespace
#endif

// Most keys, ids and titles are short ASCII without escapes: when the
// closing quote is among the next 16 bytes (or, less often, the 16 after
// them) and nothing before it needs a closer look, the string is taken with
// one vector compare (or two). The padding after the text makes the loads
// safe wherever the string starts.
inline bool Tokenizer::short_plain_string(Token& t, TokenKind kind) {
#if defined(__SSE2__)
  static_assert(kReadPadding >= 32, "the loads may reach 32 bytes past the opening quote");
  const StringMasks m = string_masks(p_ + 1);
  if (m.special == 0) return longer_plain_string(t, kind);
  return take_if_closed(t, kind, 0, m.quotes, m.special);
#else
  (void)t;
  (void)kind;
  return false;
#endif
}

// The second 16 bytes of a string whose first 16 are plain.
bool Tokenizer::longer_plain_string(Token& t, TokenKind kind) {
#if defined(__SSE2__)
  const StringMasks m = string_masks(p_ + 17);
  return m.special != 0 && take_if_closed(t, kind, 16, m.quotes, m.special);
#else
  (void)t;
  (void)kind;
  return false;
#endif
}

inline bool Tokenizer::take_if_closed(Token& t, TokenKind kind, size_t skip, unsigned quotes,
                                      unsigned special) {
  const auto first = static_cast<unsigned>(__builtin_ctz(special));
  if (((quotes >> first) & 1u) == 0) return false;
  const size_t n = skip + first;
  t.kind = kind;
  t.count = 0;
  t.offset = offset();
  t.str.begin = offset() + 1;
  t.str.size = n;
  p_ += n + 2;
  return true;
}

[[gnu::always_inline]] inline bool Tokenizer::string(Token& t, TokenKind kind) {
  return short_plain_string(t, kind) || any_string(t, kind);
}

bool Tokenizer::any_string(Token& t, TokenKind kind) {
  const size_t start = offset();
  char* const head = ++p_;
  char* out = head;  // decoded bytes go here, never ahead of p_
  const char* const end = buffer_ + text_.size() + 1;
  for (;;) {
    char* const run_end = const_cast<char*>(find_escape(p_, end));
    if (out != p_) std::memmove(out, p_, static_cast<size_t>(run_end - p_));
    out += run_end - p_;
    p_ = run_end;
    if (*p_ == '"') break;
    if (*p_ != '\\') {
      return fail(*p_ == '\0' ? SyntaxError::kUnterminatedString : SyntaxError::kBadEscape,
                  offset());
    }
    if (!unescape(out)) return false;
  }
  ++p_;  // the closing quote
  const auto n = static_cast<size_t>(out - head);
  // One fast pass over the decoded bytes, mostly ASCII, checks raw bytes and
  // escapes alike.
  if (!utf8::is_valid({head, n})) [[unlikely]]
    return fail(bad_string(text_, start));
  t.kind = kind;
  t.count = 0;
  t.offset = start;
  t.str.begin = static_cast<size_t>(head - buffer_);
  t.str.size = n;
  return true;
}

bool Tokenizer::unescape(char*& out) {
  ++irregular_;  // the writer writes the decoded byte, or another escape
  const size_t escape_offset = offset();  // errors point at the backslash
  const char e = p_[1];
  char decoded = 0;
  switch (e) {
    case '"':
    case '\\':
    case '/': decoded = e; break;
    case 'b': decoded = '\b'; break;
    case 'f': decoded = '\f'; break;
    case 'n': decoded = '\n'; break;
    case 'r': decoded = '\r'; break;
    case 't': decoded = '\t'; break;
    case 'u': break;
    default: return fail(SyntaxError::kBadEscape, escape_offset);
  }
  p_ += 2;
  if (e != 'u') {
    *out++ = decoded;
    return true;
  }
  unsigned code = 0;
  if (!hex4(escape_offset, code)) return false;
  if (code >= 0xD800 && code <= 0xDBFF) {
    if (p_[0] != '\\' || p_[1] != 'u') return fail(SyntaxError::kBadSurrogatePair, escape_offset);
    p_ += 2;
    unsigned low = 0;
    if (!hex4(escape_offset, low)) return false;
    if (low < 0xDC00 || low > 0xDFFF) return fail(SyntaxError::kBadSurrogatePair, escape_offset);
    code = (((code - 0xD800) << 10) | (low - 0xDC00)) + 0x10000;
  }
  put_utf8(out, code);
  return true;
}

bool Tokenizer::hex4(size_t escape_offset, unsigned& code) {
  for (int k = 0; k < 4; ++k, ++p_) {
    const int d = hex_digit(*p_);
    if (d < 0) return fail(SyntaxError::kBadHexEscape, escape_offset);
    code = code << 4 | static_cast<unsigned>(d);
  }
  return true;
}

bool Tokenizer::too_deep() {
  return fail(Error("recursion limit exceeded" + position_in(text_, offset())));
}

bool Tokenizer::unexpected() {
  SyntaxError error = SyntaxError::kExpectedValue;  // a value must come here
  switch (state_) {
    case State::kStart: error = SyntaxError::kNoValue; break;
    case State::kObjectInitial:
    case State::kMemberDelimiter: error = SyntaxError::kExpectedKey; break;
    case State::kMemberKey: error = SyntaxError::kExpectedColon; break;
    case State::kMemberValue: error = SyntaxError::kExpectedCommaOrBrace; break;
    case State::kElement: error = SyntaxError::kExpectedCommaOrBracket; break;
    default: break;
  }
  return fail(error, offset());
}

bool Tokenizer::fail(SyntaxError error, size_t at) {
  const bool in_array = depth_ > 0 && open_[depth_ - 1].is_array;
  return fail(Error(syntax_message(error, at, text_, in_array) + position_in(text_, at)));
}

bool Tokenizer::fail(Error error) {
  error_ = std::move(error);
  return false;
}

}  // namespace dovek::json
