// Writing JSON: compact, one pass into one growing buffer. Records write
// themselves through Writer without building a generic Value first.
//
// Strings: '"' and '\\' escaped, \b \t \n \f \r, other bytes below 0x20 as
// \u00xx (lowercase hex); '/', 0x7F and non-ASCII written raw.
// Numbers: integers in decimal; doubles with the shortest round-trip digits,
// plain for 1e-6 <= |x| < 1e21 with ".0" kept on integral values, exponent
// form outside ("1e+21", "1.5e-7", "5e-324"); -0.0 as "-0.0"; non-finite as null.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>

#include "json/value.h"

namespace dovek::json {

// Always plain decimal notation, ".0" on integral values ("1e21" as
// "1000000000000000000000.0", 5e-324 with all its zeros), as error messages
// show a float. REQUIRES: d finite.
void append_plain_double(std::string& out, double d);

// Compact text of a generic value.
std::string write(const Value& v);

// An object key known when the program is compiled: checked then to need no
// escaping (a key that would is a compile error) and kept with its comma,
// quotes and colon, `,"id":`, so that writing it is one append of a constant.
class Key {
 public:
  template <size_t N>
  consteval Key(const char (&k)[N]) {  // NOLINT: implicit, from a literal
    static_assert(N - 1 <= kMaxLength, "key too long for json::Key");
    text_[size_++] = ',';
    text_[size_++] = '"';
    for (size_t i = 0; i + 1 < N; ++i) {
      const auto c = static_cast<unsigned char>(k[i]);
      if (c < 0x20 || c == '"' || c == '\\') throw "json::Key: the key needs escaping";
      text_[size_++] = k[i];
    }
    text_[size_++] = '"';
    text_[size_++] = ':';
  }

  // `,"k":` after an earlier member, `"k":` for the first one.
  std::string_view text(bool comma) const {
    return comma ? std::string_view(text_, size_) : std::string_view(text_ + 1, size_ - 1u);
  }

  // Every text() may be copied as kCopySize bytes from its start: the
  // storage runs on past the key, so a writer copies a constant size.
  static constexpr size_t kCopySize = 48;

 private:
  static constexpr size_t kMaxLength = 40;
  char text_[1 + kCopySize] = {};
  uint8_t size_ = 0;
};

// A key's text as a template argument, for kKey.
template <size_t N>
struct KeyName {
  char text[N];
  consteval KeyName(const char (&k)[N]) {  // NOLINT: implicit, from a literal
    for (size_t i = 0; i < N; ++i) text[i] = k[i];
  }
};

// The Key of a literal as a constant in static storage: `w.key(json::kKey<"id">)`.
// A Key built at the call instead is a temporary the compiler writes to the
// stack piece by piece just before the writer reads it back whole, and the
// processor stalls on that read.
template <KeyName K>
inline constexpr Key kKey{K.text};

// Structured writer that places commas and colons itself.
//
// It writes into a buffer of its own whose whole length is usable room, with
// the length written kept apart, so that a key, a comma or a short string is
// a few stores after one bounds check rather than a library call per append.
// Thread safety: none; one writer per thread.
class Writer {
 public:
  explicit Writer(size_t initial_capacity = 128);
  // Writes into `storage` instead of a buffer of its own: its whole length
  // is taken as room (grown to at least initial_capacity), so that a caller
  // writing one text after another reuses one allocation, and bytes once
  // filled are not filled again. Give the buffer back with release().
  Writer(std::string&& storage, size_t initial_capacity);

  // The brackets and literals are inline: a record is mostly these, and a
  // call each would cost more than the stores they make.
  void begin_object() { open('{'); }
  void end_object() { close('}'); }
  void begin_array() { open('['); }
  void end_array() { close(']'); }
  // REQUIRES: inside an object, before each value.
  // A temporary Key (`w.key("id")`) does not compile: use json::kKey.
  void key(const Key&& k) = delete;
  void key(const Key& k) {
    const std::string_view text = k.text(comma_);
    // Copies the key's whole storage; only its own bytes count.
    std::memcpy(room(Key::kCopySize), text.data(), Key::kCopySize);
    len_ += text.size();
    comma_ = false;  // the value follows the colon
  }
  void null() { literal(",null\0\0\0\0", 5); }
  void boolean(bool b) {
    if (b) literal(",true\0\0\0\0", 5);
    else literal(",false\0\0\0", 6);
  }
  void u64(uint64_t n);
  void i64(int64_t n);
  void f64(double d);
  void string(std::string_view s);
  // One string value whose text is the parts joined in order, escaped as
  // string() would escape their concatenation (escaping is byte by byte, so
  // a part may end inside a multi-byte character).
  void string_parts(std::initializer_list<std::string_view> parts);
  void optional_string(const std::string* s) {
    if (s) string(*s);
    else null();
  }
  void value(const Value& v);
  // An object member's key known only when the program runs, escaped as
  // string() escapes. REQUIRES: inside an object, before each value.
  void member_key(std::string_view k) {
    string(k);
    put(':');
    comma_ = false;  // the value follows the colon
  }
  // A value already written as JSON text (by another Writer), copied as it
  // is. REQUIRES: `text` is exactly one complete value.
  void raw_value(std::string_view text) {
    before_value();
    put(text);
  }

  std::string_view text() const { return {buf_.data(), len_}; }
  std::string take();
  // The buffer, text() in its first text().size() bytes and room after;
  // the writer is left empty.
  std::string release();

 private:
  bool scalar(const Value& v);
  // At least n bytes of room after the text, where the next bytes go.
  char* room(size_t n) {
    if (buf_.size() - len_ < n) [[unlikely]]
      grow(n);
    return buf_.data() + len_;
  }
  void grow(size_t n);
  void put(char c) {
    *room(1) = c;
    ++len_;
  }
  void put(std::string_view s) {
    std::memcpy(room(s.size()), s.data(), s.size());
    len_ += s.size();
  }
  void escaped_string(std::string_view s);
  // The escaped text of s without quotes; `first` is its first byte that
  // needs an escape (or its end).
  void escaped_body(std::string_view s, const char* first);
  template <class Int>
  void integer(Int n);
  void open(char bracket) {
    before_value();
    put(bracket);
    ++depth_;
    comma_ = false;
  }
  void close(char bracket) {
    put(bracket);
    --depth_;
    comma_ = depth_ != 0;
  }
  // Writes text[1, size), after a comma (text[0]) when one is due. The
  // literal is copied as 8 bytes (a constant-size copy is one store), and
  // only its own bytes counted.
  void literal(const char (&text)[10], size_t size) {
    const bool comma = comma_;
    std::memcpy(room(8), text + (comma ? 0 : 1), 8);
    len_ += size - (comma ? 0 : 1);
    comma_ = depth_ != 0;
  }
  // Starts a value: its comma when one is due, and the next item inside the
  // same container will need one.
  void before_value() {
    if (comma_) put(',');
    comma_ = depth_ != 0;
  }
  std::string buf_;  // [0, len_) written; the rest is room
  size_t len_ = 0;
  // Containers open. Narrower than len_ on purpose: as two adjacent size_t
  // the compiler updates both with one 16-byte load and add, and that load
  // stalls on the separate store of len_ just before it.
  uint32_t depth_ = 0;
  // Whether the next value or key needs a comma before it: an item has been
  // written in the innermost open container. Kept as a flag rather than read
  // off the last byte written, which the processor would have to forward
  // from the wide store that just wrote it, a stall on every item.
  bool comma_ = false;
};

}  // namespace dovek::json
