#include "json/write.h"

// The writer: strings, integers and structure (doubles are written by
// double_text.cc, Writer::f64 included).
#include "json/write.h"

#include <algorithm>
#include <charconv>
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

// Writes v unless it is an array or an object; false then.
inline bool Writer::scalar(const Value& v) {
  switch (v.kind()) {
    case Value::Kind::kNull: null(); return true;
    case Value::Kind::kBool: boolean(v.as_bool()); return true;
    case Value::Kind::kU64: u64(v.as_u64()); return true;
    case Value::Kind::kI64: i64(v.as_i64()); return true;
    case Value::Kind::kDouble: f64(v.as_double()); return true;
    case Value::Kind::kString: string(v.as_string()); return true;
    default: return false;
  }
}

// An explicit stack instead of recursion: values built in code may nest
// deeper than anything the reader accepts. Commas fall into place as for
// any other items.
void Writer::value(const Value& root) {
  WriteStack stack;
  const Value* v = &root;
  while (v != nullptr) {
    switch (v->kind()) {
      case Value::Kind::kArray:
        begin_array();
        stack.push(v);
        break;
      case Value::Kind::kObject:
        begin_object();
        stack.push(v);
        break;
      default: scalar(*v); break;
    }
    v = nullptr;
    while (!stack.empty()) {
      WriteStack::Frame& f = stack.back();
      if (f.container->is_array()) {
        // A run of scalars (numbers, strings) is written here, without a
        // turn of the outer loop and a look at the stack for each.
        const Array& a = f.container->as_array();
        size_t i = f.next;
        while (i < a.size() && scalar(a[i])) ++i;
        if (i < a.size()) {
          v = &a[i];
          f.next = i + 1;
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

}  // namespace dovek::json
