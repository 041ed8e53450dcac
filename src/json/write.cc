#include "json/write.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

#include "json/text.h"

namespace dovek::json {
namespace {

// For each byte: 0 when written raw, else the letter of its short escape
// ('"', '\\', 'b', 't', 'n', 'f', 'r') or 'u' for \u00xx.
struct EscapeTable {
  char code[256];
  constexpr EscapeTable() : code() {
    for (int b = 0; b < 0x20; ++b) code[b] = 'u';
    code[0x08] = 'b';
    code[0x09] = 't';
    code[0x0A] = 'n';
    code[0x0C] = 'f';
    code[0x0D] = 'r';
    code[0x22] = '"';
    code[0x5C] = '\\';
  }
};
constexpr EscapeTable kEscape;

template <class Int>
void append_integer(std::string& out, Int n) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, n);
  out.append(buf, static_cast<size_t>(r.ptr - buf));
}

constexpr size_t kShort = 64;

// Writes s quoted, as one append, when s is short and needs no escape;
// false otherwise, with nothing written. Keys of values and short strings
// take this path: one check-and-copy loop and one append instead of a scan
// call and three appends.
bool append_short_plain(std::string& out, std::string_view s) {
  if (s.size() > kShort) return false;
  char buf[kShort + 2];
  char* o = buf;
  *o++ = '"';
  for (char c : s) {
    if (kEscape.code[static_cast<unsigned char>(c)] != 0) return false;
    *o++ = c;
  }
  *o++ = '"';
  out.append(buf, static_cast<size_t>(o - buf));
  return true;
}

// Writes the escape of byte b, one that needs escaping, at `o`; returns
// its end. REQUIRES: 6 bytes of room.
char* put_escape(char* o, unsigned char b) {
  const char code = kEscape.code[b];
  o[0] = '\\';
  o[1] = code;
  if (code != 'u') return o + 2;
  static const char kHex[] = "0123456789abcdef";
  o[2] = '0';
  o[3] = '0';
  o[4] = kHex[b >> 4];
  o[5] = kHex[b & 0xF];
  return o + 6;
}

// append_string for the strings append_short_plain turned down.
void append_long_or_escaped(std::string& out, std::string_view s) {
  const char* p = s.data();
  const char* end = p + s.size();
  p = find_escape(p, end);
  if (p == end) {
    // Nothing to escape (most strings): quote, bytes, quote in one step.
    const size_t at = out.size();
    out.resize(at + s.size() + 2);
    char* o = out.data() + at;
    o[0] = '"';
    std::memcpy(o + 1, s.data(), s.size());
    o[s.size() + 1] = '"';
    return;
  }
  out.reserve(out.size() + s.size() + 2);
  out += '"';
  const char* run = s.data();
  for (; p != end; p = find_escape(p + 1, end)) {
    out.append(run, static_cast<size_t>(p - run));
    run = p + 1;
    char esc[6];
    out.append(esc, static_cast<size_t>(put_escape(esc, static_cast<unsigned char>(*p)) - esc));
  }
  out.append(run, static_cast<size_t>(end - run));
  out += '"';
}

}  // namespace

void append_string(std::string& out, std::string_view s) {
  if (!append_short_plain(out, s)) append_long_or_escaped(out, s);
}

namespace {

// The shortest round-trip digits of a finite, non-zero double (its sign
// already written to `out`), without the point, and the decimal exponent of
// the first digit: 1.5e-7 is "15" and -7.
struct Decimal {
  char digits[24];
  size_t n = 0;
  int exp = 0;
};

// The decimal of `a` (positive, finite) when it is the double nearest to a
// decimal m / 10^k with m below 10^15 and k <= 8, as most doubles that people
// and programs write are (3.5, 0.25, 12.75, 0.000123). Distinct decimals of at
// most 15 significant digits never round to the same double, so that decimal
// is the shortest that reads back as `a`: the digits to_chars would give, at a
// fraction of the cost. m / 10^k is one correctly rounded division since both
// are exact doubles. False: take the general path.
bool short_decimal(double a, Decimal& dec) {
  static constexpr double kPow10[] = {1, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8};
  constexpr double kMaxMantissa = 1e15;
  if (!(a < kMaxMantissa)) return false;
  for (int k = 0; k < static_cast<int>(std::size(kPow10)); ++k) {
    const double scaled = a * kPow10[k];
    if (scaled >= kMaxMantissa) return false;
    const auto m = static_cast<uint64_t>(scaled + 0.5);
    if (m == 0 || static_cast<double>(m) / kPow10[k] != a) continue;
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, m);
    size_t n = static_cast<size_t>(r.ptr - buf);
    dec.exp = static_cast<int>(n) - 1 - k;
    while (n > 1 && buf[n - 1] == '0') --n;
    std::memcpy(dec.digits, buf, n);
    dec.n = n;
    return true;
  }
  return false;
}

Decimal shortest_decimal(std::string& out, double d) {
  Decimal dec;
  if (short_decimal(std::fabs(d), dec)) {
    if (d < 0) out += '-';
    return dec;
  }
  // Shortest round-trip digits in scientific form: [-]D[.DDD]e(+|-)XX.
  char buf[40];
  auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  const char* p = buf;
  const char* end = r.ptr;
  if (*p == '-') {
    out += '-';
    ++p;
  }
  const char* e = static_cast<const char*>(std::memchr(p, 'e', static_cast<size_t>(end - p)));
  for (const char* q = p; q != e; ++q) {
    if (*q != '.') dec.digits[dec.n++] = *q;
  }
  std::from_chars(e + 2, end, dec.exp);
  if (e[1] == '-') dec.exp = -dec.exp;
  return dec;
}

// Plain notation: all integer digits, ".0" on integral values.
void append_plain(std::string& out, const Decimal& dec) {
  if (dec.exp >= 0) {
    const size_t int_len = static_cast<size_t>(dec.exp) + 1;
    if (dec.n <= int_len) {
      out.append(dec.digits, dec.n);
      out.append(int_len - dec.n, '0');
      out += ".0";
    } else {
      out.append(dec.digits, int_len);
      out += '.';
      out.append(dec.digits + int_len, dec.n - int_len);
    }
  } else {
    out += "0.";
    out.append(static_cast<size_t>(-dec.exp - 1), '0');
    out.append(dec.digits, dec.n);
  }
}

// True (and nothing written) unless d is zero, which is written with its sign
// so that it reads back as the same double.
bool append_zero(std::string& out, double d) {
  if (d != 0) return false;
  out += std::signbit(d) ? "-0.0" : "0.0";
  return true;
}

}  // namespace

void append_double(std::string& out, double d) {
  if (!std::isfinite(d)) {
    out += "null";
    return;
  }
  if (append_zero(out, d)) return;
  const Decimal dec = shortest_decimal(out, d);
  if (dec.exp >= -6 && dec.exp <= 20) {
    // Plain notation, as JavaScript chooses for 1e-6 <= |x| < 1e21.
    append_plain(out, dec);
    return;
  }
  // Exponent notation: first digit, the others after a point, then e+XX / e-XX.
  out += dec.digits[0];
  if (dec.n > 1) {
    out += '.';
    out.append(dec.digits + 1, dec.n - 1);
  }
  out += dec.exp < 0 ? "e-" : "e+";
  append_integer(out, dec.exp < 0 ? -dec.exp : dec.exp);
}

void append_plain_double(std::string& out, double d) {
  if (append_zero(out, d)) return;
  append_plain(out, shortest_decimal(out, d));
}

namespace {

// The open containers while writing a value: a fixed array for the depths
// that real documents have, a vector past that. Values built in code may nest
// deeper than anything the reader accepts, so there is no fixed limit.
class WriteStack {
 public:
  struct Frame {
    const Value* container;
    size_t next;
  };

  bool empty() const { return size_ == 0; }
  Frame& back() { return size_ <= kInline ? inline_[size_ - 1] : spill_.back(); }
  void push(const Value* container) {
    if (size_ < kInline) {
      inline_[size_] = {container, 0};
    } else {
      spill_.push_back({container, 0});
    }
    ++size_;
  }
  void pop() {
    if (size_ > kInline) spill_.pop_back();
    --size_;
  }

 private:
  static constexpr size_t kInline = 32;
  Frame inline_[kInline];
  std::vector<Frame> spill_;  // frames kInline and deeper
  size_t size_ = 0;
};

}  // namespace

void append_value(std::string& out, const Value& root) {
  // An explicit stack instead of recursion: values built in code may nest
  // deeper than anything the reader accepts.
  WriteStack stack;
  const Value* v = &root;
  while (v != nullptr) {
    switch (v->kind()) {
      case Value::Kind::kNull: out += "null"; break;
      case Value::Kind::kBool: out += v->as_bool() ? "true" : "false"; break;
      case Value::Kind::kU64: append_integer(out, v->as_u64()); break;
      case Value::Kind::kI64: append_integer(out, v->as_i64()); break;
      case Value::Kind::kDouble: append_double(out, v->as_double()); break;
      case Value::Kind::kString: append_string(out, v->as_string()); break;
      case Value::Kind::kArray:
        out += '[';
        stack.push(v);
        break;
      case Value::Kind::kObject:
        out += '{';
        stack.push(v);
        break;
    }
    v = nullptr;
    while (!stack.empty()) {
      WriteStack::Frame& f = stack.back();
      if (f.container->is_array()) {
        const Array& a = f.container->as_array();
        if (f.next < a.size()) {
          if (f.next > 0) out += ',';
          v = &a[f.next++];
          break;
        }
        out += ']';
      } else {
        const Object& o = f.container->as_object();
        if (f.next < o.size()) {
          if (f.next > 0) out += ',';
          const Object::Member& m = *(o.begin() + static_cast<std::ptrdiff_t>(f.next++));
          append_string(out, m.first);
          out += ':';
          v = &m.second;
          break;
        }
        out += '}';
      }
      stack.pop();
    }
  }
}

std::string write(const Value& v) {
  std::string out;
  out.reserve(128);
  append_value(out, v);
  return out;
}

Writer::Writer(size_t initial_capacity) {
  buf_.resize(std::max(initial_capacity, Key::kCopySize + kShort));
}

void Writer::grow(size_t n) { buf_.resize(std::max(2 * buf_.size(), len_ + n)); }

std::string Writer::take() {
  buf_.resize(len_);  // shrinking only sets the length
  len_ = 0;
  depth_ = 0;
  return std::move(buf_);
}

template <class Append>
void Writer::through_string(const Append& append) {
  buf_.resize(len_);
  append(buf_);
  len_ = buf_.size();
  buf_.resize(buf_.capacity());
}

void Writer::begin_object() {
  before_value();
  put('{');
  ++depth_;
}

void Writer::end_object() {
  put('}');
  --depth_;
}

void Writer::begin_array() {
  before_value();
  put('[');
  ++depth_;
}

void Writer::end_array() {
  put(']');
  --depth_;
}

void Writer::null() { put(needs_comma() ? std::string_view(",null") : std::string_view("null")); }

void Writer::boolean(bool b) {
  const std::string_view text = b ? ",true" : ",false";
  put(needs_comma() ? text : text.substr(1));
}

void Writer::u64(uint64_t n) {
  before_value();
  char* o = room(24);
  len_ += static_cast<size_t>(std::to_chars(o, o + 24, n).ptr - o);
}

void Writer::i64(int64_t n) {
  before_value();
  char* o = room(24);
  len_ += static_cast<size_t>(std::to_chars(o, o + 24, n).ptr - o);
}

void Writer::f64(double d) {
  before_value();
  through_string([d](std::string& out) { append_double(out, d); });
}

// Ids and labels are short and plain: checked and copied in one loop
// straight into the room, given up (nothing counted) at the first byte that
// needs escaping.
void Writer::string(std::string_view s) {
  if (needs_comma()) put(',');
  if (s.size() <= kShort) {
    char* const start = room(s.size() + 2);
    char* o = start;
    *o++ = '"';
    for (char c : s) {
      if (kEscape.code[static_cast<unsigned char>(c)] != 0) return escaped_string(s);
      *o++ = c;
    }
    *o++ = '"';
    len_ += static_cast<size_t>(o - start);
    return;
  }
  escaped_string(s);
}

void Writer::escaped_string(std::string_view s) {
  const char* p = s.data();
  const char* const end = p + s.size();
  p = find_escape(p, end);
  if (p == end) {
    char* o = room(s.size() + 2);
    o[0] = '"';
    std::memcpy(o + 1, s.data(), s.size());
    o[s.size() + 1] = '"';
    len_ += s.size() + 2;
    return;
  }
  put('"');
  const char* run = s.data();
  for (; p != end; p = find_escape(p + 1, end)) {
    const auto n = static_cast<size_t>(p - run);
    char* o = room(n + 6);
    std::memcpy(o, run, n);
    len_ = static_cast<size_t>(put_escape(o + n, static_cast<unsigned char>(*p)) - buf_.data());
    run = p + 1;
  }
  put(std::string_view(run, static_cast<size_t>(end - run)));
  put('"');
}

void Writer::value(const Value& v) {
  before_value();
  through_string([&v](std::string& out) { append_value(out, v); });
}

void Writer::raw_value(std::string_view json) {
  before_value();
  put(json);
}

}  // namespace dovek::json
