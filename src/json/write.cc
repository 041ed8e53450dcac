#include "json/write.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
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

constexpr size_t kShort = 64;

// Copies s[at, at + sizeof(Word)) to out + at unless a byte of it needs an
// escape; false then.
template <class Word>
bool copy_plain_word(const char* s, size_t at, char* out) {
  Word v;
  std::memcpy(&v, s + at, sizeof v);
  if (escape_flags(v) != 0) return false;
  std::memcpy(out + at, &v, sizeof v);
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

}  // namespace

void append_string(std::string& out, std::string_view s) {
  Writer w(s.size() + 2);
  w.string(s);
  out += w.text();
}

namespace {

// The shortest round-trip digits of a finite, non-zero double, without the
// point, and the decimal exponent of the first digit: 1.5e-7 is "15" and -7.
struct Decimal {
  char digits[24];
  size_t n = 0;
  int exp = 0;
  bool negative = false;
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

Decimal shortest_decimal(double d) {
  Decimal dec;
  dec.negative = d < 0;
  if (short_decimal(std::fabs(d), dec)) return dec;
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

// A double as JSON text (see write.h): at most kDoubleRoom bytes.
constexpr size_t kDoubleRoom = 32;
char* put_double(char* o, double d) {
  if (!std::isfinite(d)) return put_bytes(o, "null", 4);
  if (d == 0) return put_zero(o, d);
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

}  // namespace

void append_double(std::string& out, double d) {
  char buf[kDoubleRoom];
  out.append(buf, static_cast<size_t>(put_double(buf, d) - buf));
}

void append_plain_double(std::string& out, double d) {
  char buf[kPlainDoubleRoom];
  char* end = d == 0 ? put_zero(buf, d) : put_plain(buf, shortest_decimal(d));
  out.append(buf, static_cast<size_t>(end - buf));
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

void append_value(std::string& out, const Value& v) {
  Writer w;
  w.value(v);
  out += w.text();
}

std::string write(const Value& v) {
  Writer w;
  w.value(v);
  return w.take();
}

Writer::Writer(size_t initial_capacity) : Writer(std::string(), initial_capacity) {}

void Writer::grow(size_t n) { buf_.resize(std::max(2 * buf_.size(), len_ + n)); }

Writer::Writer(std::string&& storage, size_t initial_capacity) : buf_(std::move(storage)) {
  const size_t room = std::max(initial_capacity, Key::kCopySize + kShort);
  if (buf_.size() < room) buf_.resize(room);
}

std::string Writer::release() {
  len_ = 0;
  depth_ = 0;
  comma_ = false;
  return std::move(buf_);
}

std::string Writer::take() {
  const size_t size = len_;
  std::string out = release();
  out.resize(size);  // shrinking only sets the length
  return out;
}

template <class Int>
void Writer::integer(Int n) {
  before_value();
  char* o = room(24);
  len_ += static_cast<size_t>(std::to_chars(o, o + 24, n).ptr - o);
}

void Writer::u64(uint64_t n) { integer(n); }

void Writer::i64(int64_t n) { integer(n); }

void Writer::f64(double d) {
  before_value();
  char* o = room(kDoubleRoom);
  len_ = static_cast<size_t>(put_double(o, d) - buf_.data());
}

// Ids and labels are short and plain: checked and copied in one loop
// straight into the room, given up (nothing counted) at the first byte that
// needs escaping.
void Writer::string(std::string_view s) {
  before_value();
  const size_t n = s.size();
  if (n > kShort) return escaped_string(s);
  char* const o = room(n + 2);
  const char* const p = s.data();
  o[0] = '"';
  // Whole words, the last one overlapping the one before it, each checked
  // and copied at once.
  if (n >= 8) {
    for (size_t at = 0;; at += 8) {
      if (at > n - 8) at = n - 8;
      if (!copy_plain_word<uint64_t>(p, at, o + 1)) return escaped_string(s);
      if (at == n - 8) break;
    }
  } else if (n >= 4) {
    if (!copy_plain_word<uint32_t>(p, 0, o + 1) || !copy_plain_word<uint32_t>(p, n - 4, o + 1)) {
      return escaped_string(s);
    }
  } else {
    for (size_t i = 0; i < n; ++i) {
      if (kEscape.code[static_cast<unsigned char>(p[i])] != 0) return escaped_string(s);
      o[1 + i] = p[i];
    }
  }
  o[n + 1] = '"';
  len_ += n + 2;
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
  escaped_body(s, p);
  put('"');
}

void Writer::escaped_body(std::string_view s, const char* first) {
  const char* const end = s.data() + s.size();
  const char* run = s.data();
  for (const char* p = first; p != end; p = find_escape(p + 1, end)) {
    const auto n = static_cast<size_t>(p - run);
    char* o = room(n + 6);
    std::memcpy(o, run, n);
    len_ = static_cast<size_t>(put_escape(o + n, static_cast<unsigned char>(*p)) - buf_.data());
    run = p + 1;
  }
  put(std::string_view(run, static_cast<size_t>(end - run)));
}

void Writer::string_parts(std::initializer_list<std::string_view> parts) {
  before_value();
  put('"');
  for (std::string_view s : parts) {
    if (!s.empty()) escaped_body(s, find_escape(s.data(), s.data() + s.size()));
  }
  put('"');
}

// An explicit stack instead of recursion: values built in code may nest
// deeper than anything the reader accepts. Commas fall into place as for
// any other items.
void Writer::value(const Value& root) {
  WriteStack stack;
  const Value* v = &root;
  while (v != nullptr) {
    switch (v->kind()) {
      case Value::Kind::kNull: null(); break;
      case Value::Kind::kBool: boolean(v->as_bool()); break;
      case Value::Kind::kU64: u64(v->as_u64()); break;
      case Value::Kind::kI64: i64(v->as_i64()); break;
      case Value::Kind::kDouble: f64(v->as_double()); break;
      case Value::Kind::kString: string(v->as_string()); break;
      case Value::Kind::kArray:
        begin_array();
        stack.push(v);
        break;
      case Value::Kind::kObject:
        begin_object();
        stack.push(v);
        break;
    }
    v = nullptr;
    while (!stack.empty()) {
      WriteStack::Frame& f = stack.back();
      if (f.container->is_array()) {
        const Array& a = f.container->as_array();
        if (f.next < a.size()) {
          v = &a[f.next++];
          break;
        }
        end_array();
      } else {
        const Object& o = f.container->as_object();
        if (f.next < o.size()) {
          const Object::Member& m = *(o.begin() + static_cast<std::ptrdiff_t>(f.next++));
          string(m.first);
          put(':');
          comma_ = false;  // the value follows the colon
          v = &m.second;
          break;
        }
        end_object();
      }
      stack.pop();
    }
  }
}

void Writer::raw_value(std::string_view json) {
  before_value();
  put(json);
}

}  // namespace dovek::json
