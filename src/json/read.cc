#include "json/read.h"

#include <locale.h>

// SSE2 is part of x86-64: let RapidJSON skip whitespace and scan plain string
// bytes 16 at a time. Its loads are aligned 16-byte blocks that may reach
// past the terminating NUL, so the buffers we read carry kPadding extra bytes.
#if defined(__SSE2__) && !defined(RAPIDJSON_SSE2)
#define RAPIDJSON_SSE2
#endif
#include <rapidjson/error/error.h>
#include <rapidjson/reader.h>
#include <stdlib.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

#include "base/utf8.h"
#include "json/write.h"

namespace dovek::json {
namespace {

// The reader works in place on a copy of the text followed by NUL bytes: a
// sentinel NUL spares a bounds check per byte (RapidJSON's in-situ stream
// has none), strings are decoded where they stand, so nothing is copied
// again, and the rest is padding for the 16-byte loads. A NUL byte inside
// the text stops the reader just as the end does; the caller then sees that
// the value ended before the text did ("trailing characters") or gets an
// error at that byte, never a silently shortened document.
constexpr size_t kPadding = 16;

void copy_for_reading(std::string_view text, std::string& out) {
  out.reserve(text.size() + 1 + kPadding);
  out.append(text);
  out.append(1 + kPadding, '\0');
}

inline bool is_json_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// strtod in the "C" locale, for the inputs from_chars rejects as out of range.
double strtod_c(const char* s) {
  static locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return strtod_l(s, nullptr, c_locale);
}

// Classifies a JSON number's text into `token`: an integer (u64, or i64 when
// negative) or a correctly rounded double. False: the magnitude is too large
// for a double.
bool convert_number(const char* s, size_t n, Token& token) {
  const char* end = s + n;
  bool integral = true;
  for (size_t k = 0; k < n; ++k) {
    const char c = s[k];
    if (c == '.' || c == 'e' || c == 'E') {
      integral = false;
      break;
    }
  }
  if (integral) {
    if (s[0] == '-') {
      int64_t v = 0;
      auto r = std::from_chars(s, end, v);
      if (r.ec == std::errc() && r.ptr == end) {
        // "-0" is the integer 0, stored like every non-negative integer.
        if (v == 0) {
          token.kind = TokenKind::kU64;
          token.u64 = 0;
        } else {
          token.kind = TokenKind::kI64;
          token.i64 = v;
        }
        return true;
      }
    } else {
      uint64_t v = 0;
      auto r = std::from_chars(s, end, v);
      if (r.ec == std::errc() && r.ptr == end) {
        token.kind = TokenKind::kU64;
        token.u64 = v;
        return true;
      }
    }
  }
  double d = 0;
  auto r = std::from_chars(s, end, d);
  if (r.ec == std::errc::result_out_of_range) {
    // libstdc++ 12 reports underflow as out of range too; strtod gives the
    // correctly rounded subnormal or signed zero, and infinity on overflow.
    std::string copy(s, n);
    d = strtod_c(copy.c_str());
    if (std::isinf(d)) return false;
  } else if (r.ec != std::errc() || r.ptr != end) {
    // RapidJSON has already checked the grammar; keep the strict reading.
    std::string copy(s, n);
    d = strtod_c(copy.c_str());
    if (std::isinf(d)) return false;
  }
  token.kind = TokenKind::kDouble;
  token.f64 = d;
  return true;
}

// " at line L column C" for a byte offset of `text` (1-based; the column of
// the byte at the offset). Past the end, the position is that of the last
// byte, as other JSON readers report an unexpected end.
std::string position_in(std::string_view text, size_t offset) {
  const bool at_end = offset >= text.size();
  if (at_end) offset = text.size();
  size_t line = 1;
  size_t line_start = 0;
  for (size_t p = 0; p < offset; ++p) {
    if (text[p] == '\n') {
      ++line;
      line_start = p + 1;
    }
  }
  const size_t column = offset - line_start + (at_end ? 0 : 1);
  return " at line " + std::to_string(line) + " column " + std::to_string(column);
}

// Offset of the first \uDC00..\uDFFF escape not preceded by a high
// surrogate escape in the string token that starts (with its quote) at `start`.
size_t lone_surrogate_offset(std::string_view text, size_t start) {
  size_t p = start + 1;
  while (p + 6 <= text.size() && text[p] != '"') {
    if (text[p] != '\\') {
      ++p;
      continue;
    }
    if (text[p + 1] != 'u') {
      p += 2;
      continue;
    }
    unsigned v = 0;
    std::from_chars(text.data() + p + 2, text.data() + p + 6, v, 16);
    if (v >= 0xDC00 && v <= 0xDFFF) return p;
    p += v >= 0xD800 && v <= 0xDBFF ? 12 : 6;
  }
  return start;
}

// Why the string token starting at `start` decoded to bytes that are not
// UTF-8, and where. The reader copies string bytes unchecked; we check each
// decoded string instead (one fast pass, mostly ASCII), which is much cheaper
// than RapidJSON's byte-by-byte validation. Bad bytes are either in the raw
// text, or come from a lone low-surrogate escape: RapidJSON 1.1.0 accepts
// "\udc00" and writes the bytes ED B0 80.
Error bad_string(std::string_view text, size_t start) {
  size_t p = start + 1;
  while (p < text.size() && text[p] != '"') {
    const auto b = static_cast<unsigned char>(text[p]);
    if (b == '\\') {
      p += 2;
    } else if (b < 0x80) {
      ++p;
    } else {
      const size_t need = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
      if (utf8::valid_prefix(text.substr(p, need)) != need) {
        return Error("invalid unicode code point" + position_in(text, p));
      }
      p += need;
    }
  }
  return Error("lone leading surrogate in hex escape" + position_in(text, lone_surrogate_offset(text, start)));
}

// The order in which to take n object members so that keys ascend, with only
// the last member of each run of equal keys (the last one wins): `order`
// receives member indices, the return value is how many. Sorting indices
// rather than members keeps each member to a single move.
template <class KeyAt>
size_t member_order(size_t n, const KeyAt& key_at, std::vector<uint32_t>& order) {
  order.resize(n);
  for (size_t i = 0; i < n; ++i) order[i] = static_cast<uint32_t>(i);
  auto less = [&](uint32_t a, uint32_t b) {
    const std::string_view x = key_at(a);
    const std::string_view y = key_at(b);
    // Keys mostly differ in their first byte: decide that without memcmp.
    if (!x.empty() && !y.empty() && x[0] != y[0]) {
      return static_cast<unsigned char>(x[0]) < static_cast<unsigned char>(y[0]);
    }
    return x < y;
  };
  if (n <= 16) {
    // Insertion sort: stable and cheap for the small objects that dominate.
    for (size_t i = 1; i < n; ++i) {
      const uint32_t x = order[i];
      size_t j = i;
      for (; j > 0 && less(x, order[j - 1]); --j) order[j] = order[j - 1];
      order[j] = x;
    }
  } else {
    std::stable_sort(order.begin(), order.end(), less);
  }
  size_t w = 0;
  for (size_t k = 0; k < n; ++k) {
    if (k + 1 < n && key_at(order[k + 1]) == key_at(order[k])) continue;
    order[w++] = order[k];
  }
  return w;
}

}  // namespace

// SAX handler that appends tokens to a tape, counts nesting and reports
// top-level values to the hook.
//
// Token offsets come from the stream the handler watches: the reader works on
// a local copy of it inside strings and numbers, so during those callbacks it
// still stands on the token's first byte; brackets are reported before they
// are consumed; literals after (their length is known).
class TapeBuilder {
 public:
  TapeBuilder(Tape& tape, rapidjson::InsituStringStream& stream, const TopLevelHook* hook)
      : tape_(tape), stream_(stream), hook_(hook) {}

  bool Null() { return literal(TokenKind::kNull, 4); }
  bool Bool(bool b) { return b ? literal(TokenKind::kTrue, 4) : literal(TokenKind::kFalse, 5); }
  // Numbers arrive as text (kParseNumbersAsStringsFlag); these are unused.
  bool Int(int) { return false; }
  bool Uint(unsigned) { return false; }
  bool Int64(int64_t) { return false; }
  bool Uint64(uint64_t) { return false; }
  bool Double(double) { return false; }

  bool RawNumber(const char* s, rapidjson::SizeType n, bool) {
    Token t;
    t.count = 0;
    t.offset = stream_.Tell();
    if (!convert_number(s, n, t)) return fail("number out of range", t.offset);
    return push_value(t);
  }

  bool String(const char* s, rapidjson::SizeType n, bool) { return string(s, n, TokenKind::kString); }
  bool Key(const char* s, rapidjson::SizeType n, bool) { return string(s, n, TokenKind::kKey); }

  bool StartObject() { return begin(TokenKind::kObjectBegin); }
  bool StartArray() { return begin(TokenKind::kArrayBegin); }
  bool EndObject(rapidjson::SizeType n) { return end(TokenKind::kObjectEnd, n); }
  bool EndArray(rapidjson::SizeType n) { return end(TokenKind::kArrayEnd, n); }

  // The error that stopped reading from inside the handler, if any.
  std::optional<Error>& error() { return error_; }
  bool in_array() const {
    return !open_.empty() && tape_.tokens_[open_.back()].kind == TokenKind::kArrayBegin;
  }

 private:
  bool fail(std::string message, size_t offset) {
    error_ = Error(message + position_in(tape_.text_, offset));
    return false;
  }

  bool push_value(const Token& t) {
    tape_.tokens_.push_back(t);
    if (hook_ != nullptr && open_.size() == 1) [[unlikely]] {
      Status s = (*hook_)(tape_, tape_.tokens_.size() - 1);
      if (!s.ok()) {
        error_ = std::move(s).error();
        return false;
      }
    }
    return true;
  }

  bool literal(TokenKind kind, size_t length) {
    Token t;
    t.kind = kind;
    t.count = 0;
    t.offset = stream_.Tell() - length;
    t.u64 = 0;
    return push_value(t);
  }

  bool string(const char* s, size_t n, TokenKind kind) {
    Token t;
    t.kind = kind;
    t.count = 0;
    t.offset = stream_.Tell();
    if (!utf8::is_valid({s, n})) [[unlikely]] {
      error_ = bad_string(tape_.text_, t.offset);
      return false;
    }
    t.str.begin = static_cast<size_t>(s - tape_.strings_.data());
    t.str.size = n;
    if (kind == TokenKind::kKey) {
      tape_.tokens_.push_back(t);
      return true;
    }
    return push_value(t);
  }

  bool begin(TokenKind kind) {
    // The stream stands on the bracket itself.
    const size_t offset = stream_.Tell();
    if (open_.size() >= static_cast<size_t>(kMaxDepth)) return fail("recursion limit exceeded", offset);
    Token t;
    t.kind = kind;
    t.count = 0;
    t.offset = offset;
    t.end = 0;
    const size_t index = tape_.tokens_.size();
    if (!push_value(t)) return false;
    open_.push_back(index);
    return true;
  }

  bool end(TokenKind kind, rapidjson::SizeType count) {
    Token t;
    t.kind = kind;
    t.count = count;
    t.offset = stream_.Tell();
    t.end = 0;
    Token& b = tape_.tokens_[open_.back()];
    b.end = tape_.tokens_.size();
    b.count = count;
    open_.pop_back();
    tape_.tokens_.push_back(t);
    return true;
  }

  Tape& tape_;
  rapidjson::InsituStringStream& stream_;
  const TopLevelHook* hook_;
  std::vector<size_t> open_;  // begin tokens of the open containers
  std::optional<Error> error_;
};

// SAX handler that builds a Value directly, for parse(): pending array
// elements and member values wait on one stack, member keys on another, and
// each container is assembled when it closes.
class ValueBuilder {
 public:
  ValueBuilder(std::string_view text, rapidjson::InsituStringStream& stream) : text_(text), stream_(stream) {
    values_.reserve(64);
  }

  bool Null() { return push(Value()); }
  bool Bool(bool b) { return push(Value(b)); }
  bool Int(int) { return false; }
  bool Uint(unsigned) { return false; }
  bool Int64(int64_t) { return false; }
  bool Uint64(uint64_t) { return false; }
  bool Double(double) { return false; }

  bool RawNumber(const char* s, rapidjson::SizeType n, bool) {
    Token t;
    if (!convert_number(s, n, t)) return fail("number out of range", stream_.Tell());
    switch (t.kind) {
      case TokenKind::kU64: return push(Value(t.u64));
      case TokenKind::kI64: return push(Value(t.i64));
      default: return push(Value(t.f64));
    }
  }

  bool String(const char* s, rapidjson::SizeType n, bool) {
    if (!utf8::is_valid({s, n})) [[unlikely]] return bad_string_here();
    values_.emplace_back(std::string(s, n));
    return true;
  }
  bool Key(const char* s, rapidjson::SizeType n, bool) {
    if (!utf8::is_valid({s, n})) [[unlikely]] return bad_string_here();
    keys_.emplace_back(s, n);
    return true;
  }

  bool StartObject() { return begin(false); }
  bool StartArray() { return begin(true); }

  bool EndArray(rapidjson::SizeType n) {
    Array a;
    a.reserve(n);
    const auto first = values_.end() - static_cast<std::ptrdiff_t>(n);
    for (auto it = first; it != values_.end(); ++it) a.push_back(std::move(*it));
    values_.erase(first, values_.end());
    open_is_array_.pop_back();
    return push(Value(std::move(a)));
  }

  bool EndObject(rapidjson::SizeType n) {
    std::string* keys = keys_.data() + (keys_.size() - n);
    Value* values = values_.data() + (values_.size() - n);
    const size_t m =
        member_order(n, [&](uint32_t i) -> const std::string& { return keys[i]; }, order_);
    std::vector<Object::Member> members;
    members.reserve(m);
    for (size_t k = 0; k < m; ++k) {
      members.emplace_back(std::move(keys[order_[k]]), std::move(values[order_[k]]));
    }
    keys_.erase(keys_.end() - static_cast<std::ptrdiff_t>(n), keys_.end());
    values_.erase(values_.end() - static_cast<std::ptrdiff_t>(n), values_.end());
    open_is_array_.pop_back();
    return push(Value(Object::from_sorted(std::move(members))));
  }

  std::optional<Error>& error() { return error_; }
  bool in_array() const { return !open_is_array_.empty() && open_is_array_.back(); }
  Value take() { return std::move(values_.back()); }

 private:
  bool push(Value v) {
    values_.push_back(std::move(v));
    return true;
  }
  bool begin(bool is_array) {
    if (open_is_array_.size() >= static_cast<size_t>(kMaxDepth)) {
      return fail("recursion limit exceeded", stream_.Tell());
    }
    open_is_array_.push_back(is_array);
    return true;
  }
  bool bad_string_here() {
    error_ = bad_string(text_, stream_.Tell());
    return false;
  }
  bool fail(std::string message, size_t offset) {
    error_ = Error(message + position_in(text_, offset));
    return false;
  }

  std::string_view text_;
  rapidjson::InsituStringStream& stream_;
  std::vector<Value> values_;
  std::vector<std::string> keys_;
  std::vector<bool> open_is_array_;
  std::vector<uint32_t> order_;
  std::optional<Error> error_;
};

namespace {

// The message for a RapidJSON syntax error found at `offset`.
std::string syntax_message(rapidjson::ParseErrorCode code, size_t offset, std::string_view text,
                           bool in_array) {
  const bool eof = offset >= text.size();
  const char at = eof ? '\0' : text[offset];
  auto after_comma = [&] {
    size_t p = offset;
    while (p > 0 && is_json_space(text[p - 1])) --p;
    return p > 0 && text[p - 1] == ',';
  };
  switch (code) {
    case rapidjson::kParseErrorDocumentEmpty:
      return eof ? "EOF while parsing a value" : "expected value";
    case rapidjson::kParseErrorValueInvalid: {
      if (eof) return in_array ? "EOF while parsing a list" : "EOF while parsing a value";
      if (at == ']' && after_comma()) return "trailing comma";
      // A minus sign not followed by a digit.
      if (offset > 0 && text[offset - 1] == '-') return "invalid number";
      return "expected value";
    }
    case rapidjson::kParseErrorObjectMissName:
      if (eof) return "EOF while parsing an object";
      if (at == '}' && after_comma()) return "trailing comma";
      return "key must be a string";
    case rapidjson::kParseErrorObjectMissColon:
      return eof ? "EOF while parsing an object" : "expected `:`";
    case rapidjson::kParseErrorObjectMissCommaOrCurlyBracket:
      return eof ? "EOF while parsing an object" : "expected `,` or `}`";
    case rapidjson::kParseErrorArrayMissCommaOrSquareBracket:
      return eof ? "EOF while parsing a list" : "expected `,` or `]`";
    case rapidjson::kParseErrorStringUnicodeEscapeInvalidHex:
      return "invalid escape";
    case rapidjson::kParseErrorStringUnicodeSurrogateInvalid:
      // A high surrogate escape followed by something other than a low one.
      if (offset + 8 <= text.size() && text[offset + 6] == '\\' && text[offset + 7] == 'u') {
        return "lone leading surrogate in hex escape";
      }
      return "unexpected end of hex escape";
    case rapidjson::kParseErrorStringEscapeInvalid:
      if (at == '\\') return "invalid escape";
      return "control character (\\u0000-\\u001F) found while parsing a string";
    case rapidjson::kParseErrorStringMissQuotationMark:
      if (eof) return "EOF while parsing a string";
      return "control character (\\u0000-\\u001F) found while parsing a string";
    case rapidjson::kParseErrorStringInvalidEncoding:
      return "invalid unicode code point";
    case rapidjson::kParseErrorNumberTooBig:
      return "number out of range";
    case rapidjson::kParseErrorNumberMissFraction:
    case rapidjson::kParseErrorNumberMissExponent:
      return eof ? "EOF while parsing a value" : "invalid number";
    case rapidjson::kParseErrorDocumentRootNotSingular:
      return "trailing characters";
    default:
      return "expected value";
  }
}

constexpr unsigned kReadFlags = rapidjson::kParseIterativeFlag | rapidjson::kParseInsituFlag |
                                rapidjson::kParseNumbersAsStringsFlag |
                                rapidjson::kParseStopWhenDoneFlag;

// Scans one number by the JSON grammar and hands its text to the handler,
// which converts it (convert_number). RapidJSON's own scanner also adds the
// digits up as it goes and gives up ("number too big") on an integer part of
// more than 308 digits or an exponent above 308, even when the value fits a
// double: 1 followed by 400 zeros and "e-400" is 1.0, "0e400" is 0.0. Errors
// and their offsets are those RapidJSON reports for the same text.
template <class Handler>
rapidjson::ParseErrorCode scan_number(rapidjson::InsituStringStream& is, Handler& handler,
                                      size_t& error_offset) {
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  const char* const start = is.src_;
  const char* p = start;
  if (*p == '-') ++p;
  if (*p == '0') {
    ++p;
  } else if (digit(*p)) {
    while (digit(*p)) ++p;
  } else {
    error_offset = static_cast<size_t>(p - is.head_);
    return rapidjson::kParseErrorValueInvalid;
  }
  if (*p == '.') {
    ++p;
    if (!digit(*p)) {
      error_offset = static_cast<size_t>(p - is.head_);
      return rapidjson::kParseErrorNumberMissFraction;
    }
    while (digit(*p)) ++p;
  }
  if (*p == 'e' || *p == 'E') {
    ++p;
    if (*p == '+' || *p == '-') ++p;
    if (!digit(*p)) {
      error_offset = static_cast<size_t>(p - is.head_);
      return rapidjson::kParseErrorNumberMissExponent;
    }
    while (digit(*p)) ++p;
  }
  // The handler sees the stream still on the number's first byte.
  if (!handler.RawNumber(start, static_cast<rapidjson::SizeType>(p - start), false)) {
    error_offset = static_cast<size_t>(start - is.head_);
    return rapidjson::kParseErrorTermination;
  }
  is.src_ = const_cast<char*>(p);
  return rapidjson::kParseErrorNone;
}

}  // namespace

}  // namespace dovek::json

// The reader's number scanning, replaced for the two handlers used here.
#define DOVEK_SCAN_NUMBER(HANDLER)                                                          \
  template <>                                                                               \
  template <>                                                                               \
  void rapidjson::Reader::ParseNumber<dovek::json::kReadFlags, rapidjson::InsituStringStream, \
                                      HANDLER>(rapidjson::InsituStringStream & is,            \
                                               HANDLER & handler) {                           \
    size_t offset = 0;                                                                      \
    const rapidjson::ParseErrorCode code = dovek::json::scan_number(is, handler, offset);   \
    if (code != rapidjson::kParseErrorNone) SetParseError(code, offset);                    \
  }
DOVEK_SCAN_NUMBER(dovek::json::TapeBuilder)
DOVEK_SCAN_NUMBER(dovek::json::ValueBuilder)
#undef DOVEK_SCAN_NUMBER

namespace dovek::json {

Result<Tape> Tape::read(std::string_view text, const TopLevelHook& hook) {
  Tape tape;
  tape.text_ = text;
  tape.tokens_.reserve(text.size() / 12 + 4);
  // The strings are decoded in place in a copy of the text.
  copy_for_reading(text, tape.strings_);
  rapidjson::InsituStringStream stream(tape.strings_.data());
  TapeBuilder builder(tape, stream, hook ? &hook : nullptr);
  rapidjson::Reader reader;
  const rapidjson::ParseResult result = reader.Parse<kReadFlags>(stream, builder);
  if (result.IsError()) {
    if (result.Code() == rapidjson::kParseErrorTermination && builder.error()) {
      return std::move(*builder.error());
    }
    return Error(syntax_message(result.Code(), result.Offset(), text, builder.in_array()) +
                 position_in(text, result.Offset()));
  }
  tape.value_end_ = stream.Tell();
  return tape;
}

Status Tape::check_trailing() const {
  for (size_t p = value_end_; p < text_.size(); ++p) {
    if (!is_json_space(text_[p])) return Error("trailing characters" + position(p));
  }
  return ok_status();
}

std::string Tape::position(size_t offset) const { return position_in(text_, offset); }

namespace {

// Builds the value at tokens[i] and advances i past it. Recursion is bounded
// by the reader's nesting limit.
Value build(const Tape& tape, size_t& i) {
  const Token& t = tape[i];
  switch (t.kind) {
    case TokenKind::kNull: ++i; return Value();
    case TokenKind::kTrue: ++i; return Value(true);
    case TokenKind::kFalse: ++i; return Value(false);
    case TokenKind::kU64: ++i; return Value(t.u64);
    case TokenKind::kI64: ++i; return Value(t.i64);
    case TokenKind::kDouble: ++i; return Value(t.f64);
    case TokenKind::kString:
    case TokenKind::kKey: ++i; return Value(std::string(tape.string(t)));
    case TokenKind::kArrayBegin: {
      const size_t end = t.end;
      Array a;
      a.reserve(t.count);
      ++i;
      while (i < end) a.push_back(build(tape, i));
      i = end + 1;
      return Value(std::move(a));
    }
    case TokenKind::kObjectBegin: {
      const size_t end = t.end;
      // Key token indices in text order, then taken in key order.
      std::vector<uint32_t> keys;
      keys.reserve(t.count);
      for (size_t k = i + 1; k < end;) {
        keys.push_back(static_cast<uint32_t>(k));
        const Token& v = tape[k + 1];
        const bool container = v.kind == TokenKind::kArrayBegin || v.kind == TokenKind::kObjectBegin;
        k = container ? v.end + 1 : k + 2;
      }
      std::vector<uint32_t> order;
      const size_t m = member_order(
          keys.size(), [&](uint32_t n) { return tape.string(tape[keys[n]]); }, order);
      std::vector<Object::Member> members;
      members.reserve(m);
      for (size_t k = 0; k < m; ++k) {
        size_t v = keys[order[k]] + 1;
        std::string key(tape.string(tape[v - 1]));
        members.emplace_back(std::move(key), build(tape, v));
      }
      i = end + 1;
      return Value(Object::from_sorted(std::move(members)));
    }
    case TokenKind::kArrayEnd:
    case TokenKind::kObjectEnd:
      break;
  }
  ++i;
  return Value();
}

}  // namespace

Value to_value(const Tape& tape, size_t index) { return build(tape, index); }

Result<Value> parse(std::string_view text) {
  // Straight from reader events to the value, without a tape.
  std::string buffer;
  copy_for_reading(text, buffer);
  rapidjson::InsituStringStream stream(buffer.data());
  ValueBuilder builder(text, stream);
  rapidjson::Reader reader;
  const rapidjson::ParseResult result = reader.Parse<kReadFlags>(stream, builder);
  if (result.IsError()) {
    if (result.Code() == rapidjson::kParseErrorTermination && builder.error()) {
      return std::move(*builder.error());
    }
    return Error(syntax_message(result.Code(), result.Offset(), text, builder.in_array()) +
                 position_in(text, result.Offset()));
  }
  for (size_t p = stream.Tell(); p < text.size(); ++p) {
    if (!is_json_space(text[p])) return Error("trailing characters" + position_in(text, p));
  }
  return builder.take();
}

// ---------------------------------------------------------------------------
// Cursor

namespace {

// Plain decimal text of a double with the shortest round-trip digits and
// ".0" on integral values, as serde shows a float in its messages.
std::string plain_double(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d < 0 ? "-inf" : "inf";
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<size_t>(r.ptr - buf));
  std::string out;
  if (sci[0] == '-') {
    out += '-';
    sci.remove_prefix(1);
  }
  const size_t e_pos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e_pos)) {
    if (c != '.') digits += c;
  }
  int exp = 0;
  std::from_chars(sci.data() + e_pos + (sci[e_pos + 1] == '+' ? 2 : 1), sci.data() + sci.size(), exp);
  if (exp >= 0) {
    const size_t int_len = static_cast<size_t>(exp) + 1;
    if (digits.size() <= int_len) {
      out += digits;
      out.append(int_len - digits.size(), '0');
      out += ".0";
    } else {
      out += digits.substr(0, int_len);
      out += '.';
      out += digits.substr(int_len);
    }
  } else {
    out += "0.";
    out.append(static_cast<size_t>(-exp - 1), '0');
    out += digits;
  }
  return out;
}

// A string as a debug literal: quoted, with quote, backslash and control
// characters escaped.
std::string debug_string(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    const auto b = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (b < 0x20 || b == 0x7F) {
          static const char kHex[] = "0123456789abcdef";
          out += "\\u{";
          if (b >= 0x10) out += kHex[b >> 4];
          out += kHex[b & 0xF];
          out += '}';
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

std::string elements(size_t n) { return n == 1 ? "1 element" : std::to_string(n) + " elements"; }

}  // namespace

std::string Cursor::found() const {
  const Token& t = token();
  switch (t.kind) {
    case TokenKind::kNull: return "null";
    case TokenKind::kTrue: return "boolean `true`";
    case TokenKind::kFalse: return "boolean `false`";
    case TokenKind::kU64: return "integer `" + std::to_string(t.u64) + "`";
    case TokenKind::kI64: return "integer `" + std::to_string(t.i64) + "`";
    case TokenKind::kDouble: return "floating point `" + plain_double(t.f64) + "`";
    case TokenKind::kString:
    case TokenKind::kKey: return "string " + debug_string(tape_->string(t));
    case TokenKind::kArrayBegin: return "sequence";
    case TokenKind::kObjectBegin: return "map";
    case TokenKind::kArrayEnd:
    case TokenKind::kObjectEnd: break;
  }
  return "end of container";
}

Error Cursor::error(std::string message) const {
  if (positions_) message += tape_->position(i_ < tape_->size() ? token().offset : tape_->text().size());
  return Error(std::move(message));
}

Error Cursor::invalid_type(std::string_view expected) const {
  std::string message = "invalid type: " + found() + ", expected ";
  message += expected;
  return error(std::move(message));
}

void Cursor::skip() {
  const Token& t = token();
  if (t.kind == TokenKind::kArrayBegin || t.kind == TokenKind::kObjectBegin) {
    i_ = t.end + 1;
  } else {
    ++i_;
  }
}

Result<std::string> Cursor::string() {
  if (kind() != TokenKind::kString) return invalid_type("a string");
  std::string s(tape_->string(token()));
  ++i_;
  return s;
}

Result<std::optional<std::string>> Cursor::optional_string() {
  if (is_null()) {
    ++i_;
    return std::optional<std::string>();
  }
  DOVEK_ASSIGN_OR_RETURN(std::string s, string());
  return std::optional<std::string>(std::move(s));
}

Result<bool> Cursor::boolean() {
  if (kind() == TokenKind::kTrue || kind() == TokenKind::kFalse) {
    const bool b = kind() == TokenKind::kTrue;
    ++i_;
    return b;
  }
  return invalid_type("a boolean");
}

Result<uint32_t> Cursor::u32() {
  const Token& t = token();
  if (t.kind == TokenKind::kU64) {
    if (t.u64 > std::numeric_limits<uint32_t>::max()) {
      return error("invalid value: integer `" + std::to_string(t.u64) + "`, expected u32");
    }
    ++i_;
    return static_cast<uint32_t>(t.u64);
  }
  if (t.kind == TokenKind::kI64) {
    return error("invalid value: integer `" + std::to_string(t.i64) + "`, expected u32");
  }
  return invalid_type("u32");
}

Result<std::vector<std::string>> Cursor::string_array() {
  if (kind() != TokenKind::kArrayBegin) return invalid_type("a sequence");
  const size_t end = token().end;
  std::vector<std::string> out;
  ++i_;
  while (i_ < end) {
    DOVEK_ASSIGN_OR_RETURN(std::string s, string());
    out.push_back(std::move(s));
  }
  i_ = end + 1;
  return out;
}

Value Cursor::value() { return build(*tape_, i_); }

Result<size_t> Cursor::unit_variant(std::span<const std::string_view> names,
                                    std::string_view expected) {
  auto lookup = [&](std::string_view s) -> Result<size_t> {
    for (size_t k = 0; k < names.size(); ++k) {
      if (names[k] == s) return k;
    }
    std::string message = "unknown variant `";
    message += s;
    message += "`, expected ";
    message += expected;
    return error(std::move(message));
  };
  const Token& t = token();
  if (t.kind == TokenKind::kString) {
    DOVEK_ASSIGN_OR_RETURN(size_t index, lookup(tape_->string(t)));
    ++i_;
    return index;
  }
  if (t.kind == TokenKind::kObjectBegin) {
    // {"name": null}: exactly one member, whose value is null.
    const size_t end = t.end;
    if (i_ + 1 == end) {
      i_ = end;
      return error("expected value");
    }
    ++i_;  // the key
    DOVEK_ASSIGN_OR_RETURN(size_t index, lookup(tape_->string(token())));
    ++i_;  // the value
    if (!is_null()) return invalid_type("unit");
    ++i_;
    if (i_ != end) return error("expected value");
    i_ = end + 1;
    return index;
  }
  return error("expected value");
}

Status Cursor::record(const RecordShape& shape,
                      const std::function<Status(size_t, Cursor&)>& on_field) {
  const Token& t = token();
  const size_t end = t.end;
  const size_t n_fields = shape.fields.size();
  if (t.kind == TokenKind::kObjectBegin) {
    uint64_t seen = 0;
    ++i_;
    while (i_ < end) {
      const std::string_view key = tape_->string(token());
      size_t field = n_fields;
      for (size_t k = 0; k < n_fields; ++k) {
        if (shape.fields[k] == key) {
          field = k;
          break;
        }
      }
      if (field == n_fields) {
        ++i_;
        skip();
        continue;
      }
      if (seen & (uint64_t{1} << field)) {
        std::string message = "duplicate field `";
        message += key;
        message += '`';
        return error(std::move(message));
      }
      seen |= uint64_t{1} << field;
      ++i_;
      Cursor sub(*tape_, i_, positions_);
      skip();  // wherever the field decoder stops, the next member follows its value
      DOVEK_TRY(on_field(field, sub));
    }
    const uint64_t missing = shape.required & ~seen;
    if (missing != 0) {
      for (size_t k = 0; k < n_fields; ++k) {
        if (missing & (uint64_t{1} << k)) {
          std::string message = "missing field `";
          message += shape.fields[k];
          message += '`';
          return error(std::move(message));
        }
      }
    }
    i_ = end + 1;
    return ok_status();
  }
  if (t.kind == TokenKind::kArrayBegin) {
    size_t count = 0;
    ++i_;
    while (i_ < end) {
      if (count < n_fields) {
        Cursor sub(*tape_, i_, positions_);
        skip();
        DOVEK_TRY(on_field(count, sub));
      } else {
        skip();
      }
      ++count;
    }
    if (count < shape.min_array_len) {
      std::string message = "invalid length " + std::to_string(count) + ", expected ";
      message += shape.description;
      message += " with " + elements(n_fields);
      return error(std::move(message));
    }
    if (count > n_fields) {
      return error("invalid length " + std::to_string(count) + ", expected " + elements(n_fields) +
                   " in sequence");
    }
    i_ = end + 1;
    return ok_status();
  }
  return invalid_type(shape.description);
}

}  // namespace dovek::json
