// Reading JSON text: a token tape (one pass over RapidJSON's SAX reader),
// generic values built from it, and the typed decoding toolkit that record
// decoders use.
//
// Guarantees of every reader here: UTF-8 validated (lone surrogate escapes
// rejected too, so every string we hold is valid UTF-8), numbers classified
// as u64 / i64 / double (correctly rounded; magnitude too large for a double
// is "number out of range"; underflow reads as 0, -0 or a subnormal), nesting
// limited to 127 levels ("recursion limit exceeded" on the 128th, skipped
// members included), no recursion in our code, and every syntax error ends in
// " at line L column C" (1-based, column of the offending byte).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "json/value.h"

namespace dovek::json {

inline constexpr int kMaxDepth = 127;

enum class TokenKind : uint8_t {
  kNull, kTrue, kFalse, kU64, kI64, kDouble, kString,
  kArrayBegin, kArrayEnd, kObjectBegin, kObjectEnd,
  kKey,  // an object member's key; its value follows as the next token(s)
};

struct Token {
  TokenKind kind;
  uint32_t count;  // kArrayBegin/kObjectBegin and their ends: elements / members
  size_t offset;   // byte offset of the token in the text (for positions)
  union {
    uint64_t u64;
    int64_t i64;
    double f64;
    struct { size_t begin, size; } str;  // kString, kKey: bytes in Tape::strings()
    size_t end;  // kArrayBegin, kObjectBegin: index of the matching end token
  };
};

class Tape;

// Called when a value starts at depth 1 (a direct member value or element of
// the top-level container) with the tape read so far and the index of that
// value's first token; the preceding token is its kKey in an object. A
// container value is reported at its begin token. An error returned stops
// reading and becomes the read's error. Used to check a command's tag as soon
// as it is read.
using TopLevelHook = std::function<Status(const Tape&, size_t index)>;

// The tokens of exactly one JSON value. Thread safety: immutable after read.
class Tape {
 public:
  // Reads one value from the start of `text` (leading whitespace allowed).
  // Does not look past the value: call check_trailing() for that, so that
  // callers can report field errors before trailing characters.
  static Result<Tape> read(std::string_view text, const TopLevelHook& hook = nullptr);

  const std::vector<Token>& tokens() const { return tokens_; }
  const Token& operator[](size_t i) const { return tokens_[i]; }
  size_t size() const { return tokens_.size(); }
  std::string_view string(const Token& t) const { return {strings_.data() + t.str.begin, t.str.size}; }
  std::string_view text() const { return text_; }

  // "trailing characters at line L column C" unless only space, tab, LF or CR
  // follow the value.
  Status check_trailing() const;

  // " at line L column C" for a byte offset of the text.
  std::string position(size_t offset) const;

 private:
  friend class TapeBuilder;
  std::string_view text_;
  size_t value_end_ = 0;  // offset just past the value
  std::vector<Token> tokens_;
  std::string strings_;  // copy of the text; the reader decodes each string in place
};

// Parses exactly one value surrounded only by whitespace.
Result<Value> parse(std::string_view text);

// Builds the generic value that starts at token `index`.
Value to_value(const Tape& tape, size_t index);

// How a record looks to the decoder, for cause texts and the array form.
struct RecordShape {
  std::string_view description;              // "struct Skill"
  std::span<const std::string_view> fields;  // JSON keys in declaration order
  uint64_t required;                         // bit i: field i required in object form
  size_t min_array_len;                      // array form: fewer elements fail
};

// A read position in a tape, for typed decoders. Each accessor consumes one
// whole value and fails with a serde-style cause text:
//   "invalid type: null, expected a string", "missing field `x`",
//   "duplicate field `x`", "invalid length 1, expected struct Model with 2 elements",
//   "invalid length 3, expected 2 elements in sequence".
// With positions on, every error gets " at line L column C" of the token at
// which it was found (the closing token for a missing field).
class Cursor {
 public:
  Cursor(const Tape& tape, size_t index, bool positions) : tape_(&tape), i_(index), positions_(positions) {}

  const Tape& tape() const { return *tape_; }
  size_t index() const { return i_; }
  const Token& token() const { return (*tape_)[i_]; }
  TokenKind kind() const { return token().kind; }
  bool is_null() const { return kind() == TokenKind::kNull; }

  // Describes the current value as serde does: "null", "boolean `true`",
  // "integer `5`", "integer `-5`", "floating point `1.5`", "string \"x\"",
  // "sequence", "map".
  std::string found() const;
  // An error at the current token (position appended when enabled).
  Error error(std::string message) const;
  // "invalid type: {found}, expected {expected}" at the current token.
  Error invalid_type(std::string_view expected) const;

  void skip();  // past the current value
  Result<std::string> string();                       // "a string"
  Result<std::optional<std::string>> optional_string();  // null -> nullopt
  Result<bool> boolean();                             // "a boolean"
  Result<uint32_t> u32();  // integers 0..2^32-1; "invalid value: integer `-1`, expected u32";
                           // doubles are "invalid type: floating point `1.0`, expected u32"
  Result<std::vector<std::string>> string_array();    // "a sequence" of strings
  Value value();                                      // any value, consumed

  // A unit enum: a string naming one of `names`, or an object with exactly
  // one member whose key is one of them and whose value is null. Returns the
  // index. Unknown names fail with "unknown variant `{s}`, expected {expected}"
  // where expected is e.g. "one of `system`, `user`, `external`".
  Result<size_t> unit_variant(std::span<const std::string_view> names, std::string_view expected);

  // A record in object or array form. `on_field(i, cursor)` decodes field i
  // and must consume exactly its value. Object form: members in text order,
  // unknown keys skipped, a repeated known key fails "duplicate field `k`",
  // afterwards the first missing required field (declaration order) fails.
  // Array form: positional, fewer than min_array_len elements fail
  // "invalid length n, expected {description} with N element(s)", more than
  // fields.size() fail "invalid length n, expected N element(s) in sequence".
  // Other kinds: "invalid type: {found}, expected {description}".
  Status record(const RecordShape& shape, const std::function<Status(size_t, Cursor&)>& on_field);

 private:
  const Tape* tape_;
  size_t i_;
  bool positions_;
};

// Reads `text`, runs `decode` on a cursor at the value, then checks for
// trailing characters: syntax errors first, then decode errors, then
// trailing characters.
template <class T>
Result<T> decode_text(std::string_view text, bool positions,
                      const std::function<Result<T>(Cursor&)>& decode) {
  DOVEK_ASSIGN_OR_RETURN(Tape tape, Tape::read(text));
  Cursor cursor(tape, 0, positions);
  DOVEK_ASSIGN_OR_RETURN(T value, decode(cursor));
  DOVEK_TRY(tape.check_trailing());
  return value;
}

}  // namespace dovek::json
