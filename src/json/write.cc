#include "json/write.h"

#include <charconv>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// The first byte in [p, end) that needs an escape, or end. Prompts and
// skill contents are long runs of plain text, so sixteen bytes are checked
// per step where SSE2 is available (always on x86-64).
const char* find_escape(const char* p, const char* end) {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i max_control = _mm_set1_epi8(0x1F);
  for (; end - p >= 16; p += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // Unsigned v <= 0x1F exactly when min(v, 0x1F) == v.
    const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(v, max_control), v);
    const __m128i hits = _mm_or_si128(
        control, _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)));
    const int mask = _mm_movemask_epi8(hits);
    if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
  }
#endif
  for (; p != end; ++p) {
    if (kEscape.code[static_cast<unsigned char>(*p)] != 0) return p;
  }
  return end;
}

template <class Int>
void append_integer(std::string& out, Int n) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, n);
  out.append(buf, static_cast<size_t>(r.ptr - buf));
}

}  // namespace

void append_string(std::string& out, std::string_view s) {
  out.reserve(out.size() + s.size() + 2);
  out += '"';
  const char* p = s.data();
  const char* end = p + s.size();
  const char* run = p;
  for (; (p = find_escape(p, end)) != end; ++p) {
    const char code = kEscape.code[static_cast<unsigned char>(*p)];
    out.append(run, static_cast<size_t>(p - run));
    run = p + 1;
    if (code == 'u') {
      static const char kHex[] = "0123456789abcdef";
      const auto b = static_cast<unsigned char>(*p);
      const char esc[6] = {'\\', 'u', '0', '0', kHex[b >> 4], kHex[b & 0xF]};
      out.append(esc, 6);
    } else {
      const char esc[2] = {'\\', code};
      out.append(esc, 2);
    }
  }
  out.append(run, static_cast<size_t>(end - run));
  out += '"';
}

void append_double(std::string& out, double d) {
  if (!std::isfinite(d)) {
    out += "null";
    return;
  }
  if (d == 0) {
    // Negative zero keeps its sign so that it reads back as the same double.
    out += std::signbit(d) ? "-0.0" : "0.0";
    return;
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
  char digits[24];
  size_t n = 0;
  for (const char* q = p; q != e; ++q) {
    if (*q != '.') digits[n++] = *q;
  }
  const bool negative_exp = e[1] == '-';
  int exp = 0;
  std::from_chars(e + 2, end, exp);
  if (negative_exp) exp = -exp;

  if (exp >= -6 && exp <= 20) {
    // Plain notation, as JavaScript chooses for 1e-6 <= |x| < 1e21.
    if (exp >= 0) {
      const size_t int_len = static_cast<size_t>(exp) + 1;
      if (n <= int_len) {
        out.append(digits, n);
        out.append(int_len - n, '0');
        out += ".0";
      } else {
        out.append(digits, int_len);
        out += '.';
        out.append(digits + int_len, n - int_len);
      }
    } else {
      out += "0.";
      out.append(static_cast<size_t>(-exp - 1), '0');
      out.append(digits, n);
    }
    return;
  }
  // Exponent notation: first digit, the others after a point, then e+XX / e-XX.
  out += digits[0];
  if (n > 1) {
    out += '.';
    out.append(digits + 1, n - 1);
  }
  out += negative_exp ? "e-" : "e+";
  append_integer(out, negative_exp ? -exp : exp);
}

void append_value(std::string& out, const Value& root) {
  // An explicit stack instead of recursion: values built in code may nest
  // deeper than anything the reader accepts.
  struct Frame {
    const Value* container;
    size_t next;
  };
  std::vector<Frame> stack;
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
        stack.push_back({v, 0});
        break;
      case Value::Kind::kObject:
        out += '{';
        stack.push_back({v, 0});
        break;
    }
    v = nullptr;
    while (!stack.empty()) {
      Frame& f = stack.back();
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
      stack.pop_back();
    }
  }
}

std::string write(const Value& v) {
  std::string out;
  out.reserve(128);
  append_value(out, v);
  return out;
}

void Writer::before_value() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (!first_.empty()) {
    if (first_.back()) {
      first_.back() = false;
    } else {
      out_ += ',';
    }
  }
}

void Writer::begin_object() {
  before_value();
  out_ += '{';
  first_.push_back(true);
}

void Writer::end_object() {
  out_ += '}';
  first_.pop_back();
}

void Writer::begin_array() {
  before_value();
  out_ += '[';
  first_.push_back(true);
}

void Writer::end_array() {
  out_ += ']';
  first_.pop_back();
}

void Writer::key(std::string_view k) {
  before_value();
  append_string(out_, k);
  out_ += ':';
  after_key_ = true;
}

void Writer::null() {
  before_value();
  out_ += "null";
}

void Writer::boolean(bool b) {
  before_value();
  out_ += b ? "true" : "false";
}

void Writer::u64(uint64_t n) {
  before_value();
  append_integer(out_, n);
}

void Writer::i64(int64_t n) {
  before_value();
  append_integer(out_, n);
}

void Writer::f64(double d) {
  before_value();
  append_double(out_, d);
}

void Writer::string(std::string_view s) {
  before_value();
  append_string(out_, s);
}

void Writer::value(const Value& v) {
  before_value();
  append_value(out_, v);
}

void Writer::raw_value(std::string_view json) {
  before_value();
  out_ += json;
}

}  // namespace dovek::json
